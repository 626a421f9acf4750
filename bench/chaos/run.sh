#!/usr/bin/env bash
# Chaos benchmark under Wine: the engine driver, run as a downloaded installer
# against a slow loopback server, killed KILLS times (default 200) in a row at
# random moments, most of them aimed at a stage (manifest, self-copy,
# registration, download, decode, shortcuts), then one run left alone. The
# same program as the test_engine_chaos test, run longer. Prints the kills,
# the stages they landed in, the repairs the runs made (missing files fetched
# again, leftovers cleared) and anything lost (must be none).
#   bench/chaos/run.sh [build-dir]   (default: $ORVANTA_BUILD_DIR or build/x86_64)
#   SEED (default 7), KILLS (default 200), BUDGET seconds (default 3000)
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "chaos: no build folder"; exit 1; }
seed="${SEED:-7}"
kills="${KILLS:-200}"
budget="${BUDGET:-3000}"
programs="test_engine_chaos.exe engine_driver.exe lzma.exe oggdec.exe"
for program in $programs; do
  [ -f "$build/tests/engine/$program" ] || { echo "chaos: $program missing (build test_engine_chaos first)"; exit 1; }
done

# A folder and a Wine prefix of its own: the test suite may run at the same time.
work="$build/bench/chaos/work"
envdir="$work/wine-env"
mkdir -p "$envdir"
cleanup() { "$root/cmake/wine-fixture.sh" cleanup "$envdir" >/dev/null 2>&1; }
trap cleanup EXIT
"$root/cmake/wine-fixture.sh" setup "$envdir" >/dev/null 2>&1 || { echo "chaos: wine setup failed"; exit 1; }
for program in $programs; do cp "$build/tests/engine/$program" "$work/"; done
cd "$work" || exit 1

start=$(date +%s)
"$root/cmake/wine-run.sh" "$envdir" "$work/test_engine_chaos.exe" --chaos-seed="$seed" --chaos-kills="$kills" \
  --chaos-budget="$budget" 2>&1 | tr -d '\r' > chaos.log
seconds=$(( $(date +%s) - start ))

python3 - "$seconds" chaos.log <<'PY'
import collections, re, sys
seconds, log = int(sys.argv[1]), open(sys.argv[2], errors="replace").read().splitlines()
kills = [re.match(r"kill \d+: aimed at (\S+), landed in (\S+) after (\d+) ms", l) for l in log]
kills = [k for k in kills if k]
landed = collections.Counter(k.group(2) for k in kills)
aimed = collections.Counter(k.group(1) for k in kills)
on_target = collections.Counter(k.group(1) for k in kills if k.group(1) == k.group(2))
summary = next((l for l in log if l.startswith("chaos: ")), None)
print(f"chaos: {len(kills)} kills in {seconds} s (Wine start-up included)")
print(f"  {'stage':<14}{'landed':>8}{'aimed':>8}{'on target':>11}")
for stage in ("start", "manifest", "self-copy", "registration", "download", "decode", "shortcuts", "launch", "anytime"):
    if landed[stage] or aimed[stage]:
        print(f"  {stage:<14}{landed[stage]:>8}{aimed[stage]:>8}{on_target[stage]:>11}")
if summary:
    fields = dict(f.split("=", 1) for f in summary[len("chaos: "):].split())
    print(f"  completed runs between kills {fields['completed_runs']}, fresh starts {fields['fresh_starts']}")
    print(f"  repairs (recorded files found missing and fetched again, leftovers cleared): {fields['repairs']}")
    print(f"  lost (a recorded file not as recorded, a part of a file, an incomplete end): {fields['lost']} (must be 0)")
else:
    print("  no summary: the run did not finish")
failures = [l for l in log if "Failure" in l or l.startswith("[  FAILED")]
print("  result:", "FAILED" if failures or not summary else "passed")
for line in failures[:20]:
    print("   ", line)
PY
