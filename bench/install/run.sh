#!/usr/bin/env bash
# Install benchmark under Wine:
#  (1) first installations at a round trip the server adds to every answer
#      (fetch_bench.py): the engine, the fetch-ahead file loop, curl in parallel
#      and curl one file after the other, same files, same server, same run:
#      (a) 200 files / 64 MiB at 50 ms, (b) 200 files / 256 MiB at 0 ms,
#      (c) 2,000 files of 4 KiB at 20 ms; medians of REPEAT runs (default 3),
#      peak memory. SCENARIOS, REPEAT, AHEAD, DIAGNOSE: see fetch_bench.py;
#  (2) an update check that finds nothing to do in a manifest of CHECK_FILES
#      entries (default 10,000): time, and the share of the manifest request,
#      parsing and registry reads.
#   bench/install/run.sh [build-dir]   (default: $ORVANTA_BUILD_DIR or build/x86_64)
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "install: no build folder"; exit 1; }
exe="$build/bench/install/install_bench.exe"
[ -f "$exe" ] || { echo "install: $exe missing (build the install_bench target first)"; exit 1; }
check_files="${CHECK_FILES:-10000}"

work="$build/bench/install/work"
envdir="$work/wine-env"
mkdir -p "$work" "$envdir"
cd "$work" || exit 1
server=""
cleanup() {
  [ -n "$server" ] && kill "$server" 2>/dev/null
  "$root/cmake/wine-fixture.sh" cleanup "$envdir" >/dev/null 2>&1
}
trap cleanup EXIT

start_server() {  # folder
  [ -n "$server" ] && kill "$server" 2>/dev/null
  rm -f port.txt
  python3 "$root/bench/install/serve.py" "$1" > port.txt 2>/dev/null &
  server=$!
  for _ in $(seq 1 50); do [ -s port.txt ] && break; sleep 0.1; done
  port="$(head -n1 port.txt)"
}

"$root/cmake/wine-fixture.sh" setup "$envdir" >/dev/null 2>&1 || { echo "install: wine setup failed"; exit 1; }
cp "$exe" "$work/install_bench.exe"

# (1) first installations at a round trip
python3 "$root/bench/install/fetch_bench.py" "$root" "$work" "$envdir" "$work/install_bench.exe"

# (2) update check with nothing to do
python3 "$root/bench/install/make_release.py" check "$work/check" "$check_files"
start_server "$work/check"
check_out="$("$root/cmake/wine-run.sh" "$envdir" "$work/install_bench.exe" "$port" check 2>&1 | tr -d '\r' | grep -E '^mode=|^message')"

python3 - "$check_out" <<'PY'
import sys
check_out = sys.argv[1]

def fields(block, mode):
    for line in block.splitlines():
        if line.startswith("mode=" + mode):
            return dict(kv.split("=", 1) for kv in line.split())
    return {}

chk = fields(check_out, "check")
if chk:
    print(f"(2) update check, nothing to do: {chk['entries']} entries, to fetch {chk['to_fetch']}, ok={chk['ok']}")
    print(f"  whole pass: {float(chk['seconds']):.3f} s (target < 2 s)  peak working set {chk['peak_working_set_MiB']} MiB")
    print(f"  manifest request {float(chk['manifest_s']):.3f} s ({chk['manifest_share']}), parsing {float(chk['parse_s']):.3f} s"
          f" ({chk['parse_share']}), registry reads {float(chk['registry_reads_s']):.3f} s ({chk['registry_share']})"
          f"  [records prefilled in {float(chk['prefill_writes_s']):.3f} s]")
else:
    print("(2) update check: no result\n" + check_out)
PY
