#!/usr/bin/env bash
# INI reader figures: load time, look-ups per second and peak memory for a
# manifest of 20,000 keys in one section (and 2,000 / 200,000 for the trend).
#   bench/ini/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" && pwd)" || exit 1
exe="$build/bench/ini/ini_bench.exe"
[ -f "$exe" ] || { echo "ini: $exe missing (build the ini_bench target first)"; exit 1; }

cd "$(dirname "$exe")" || exit 1
"$root/cmake/wine-fixture.sh" setup "$build/wine-env" >/dev/null
"$root/cmake/wine-run.sh" "$build/wine-env" "$exe" 2>/dev/null
rc=$?
"$root/cmake/wine-fixture.sh" cleanup "$build/wine-env" >/dev/null
exit $rc
