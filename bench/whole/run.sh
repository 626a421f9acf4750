#!/usr/bin/env bash
# Whole-program benchmark: what the player waits for. The stamped Orvanta.exe
# under Wine (warm prefix, private Xvfb, the tests' proxy setting) against the
# delaying server of bench/install, from the process's start to its end and to
# the game client's start: (a) 200 files / 64 MiB at 50 ms per answer, (b) 200
# files / 256 MiB on loopback, (c) 2,000 x 4 KiB at 20 ms, (d) an update of one
# file, (e) a run with nothing to do, (f) /uninstall; beside curl (4 at once and
# serial) and an empty Windows program, measured in the same run. See whole.py
# for the split and SCENARIOS / REPEAT.
#   bench/whole/run.sh [build-dir]   (default: $ORVANTA_BUILD_DIR or build/x86_64)
# WHOLE_BASELINE=<another Orvanta.exe> times that one too, in turns with the build's.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "whole: no build folder"; exit 1; }
for f in app/Orvanta.exe tools/player/orvanta_player.exe bench/whole/whole_empty.exe bench/whole/whole_client.exe bench/whole/whole_desktop.exe bench/whole/whole_calls.exe; do
  [ -f "$build/$f" ] || { echo "whole: $build/$f missing (build Orvanta, orvanta_player, whole_empty, whole_client, whole_desktop, whole_calls)"; exit 1; }
done
work="$build/bench/whole/work"
envdir="$work/wine-env"
mkdir -p "$work" "$envdir"
cleanup() { "$root/cmake/wine-fixture.sh" cleanup "$envdir" >/dev/null 2>&1; }
trap cleanup EXIT
"$root/cmake/wine-fixture.sh" setup "$envdir" >/dev/null 2>&1 || { echo "whole: wine setup failed"; exit 1; }
python3 "$root/bench/whole/whole.py" "$root" "$build" "$work" "$envdir"
