#!/usr/bin/env bash
# Runs the one-command demo and prints its stages timed (seconds, wall clock).
# Extra environment is passed through (e.g. DEMO_SKIP_BUILD=1 to time the
# player's run without the build, DEMO_BUILD_DIR to pick the demo's build folder).
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
out="${DEMO_OUT:-$root/build/demo/bench-out}"
start=$(date +%s.%N)
DEMO_OUT="$out" bash "$root/scripts/demo.sh" >"$out.log" 2>&1 || { echo "demo failed, see $out.log"; tail -20 "$out.log"; exit 1; }
total=$(awk -v a="$start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
echo "demo stages ($(nproc) cores, $(date -u +%Y-%m-%dT%H:%MZ)):"
sed 's/^/  /' "$out/timings.txt"
printf '  %-34s %6s s\n' "total (incl. cleanup)" "$total"
