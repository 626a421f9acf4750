#!/usr/bin/env bash
# Install benchmark under Wine:
#  (1) first installations at a round trip the server adds to every answer
#      (fetch_bench.py): the engine, the fetch-ahead file loop, curl in parallel
#      and curl one file after the other, same files, same server, same run:
#      (a) 200 files / 64 MiB at 50 ms, (b) 200 files / 256 MiB at 0 ms,
#      (c) 2,000 files of 4 KiB at 20 ms; medians of REPEAT runs (default 3),
#      peak memory. SCENARIOS, REPEAT, AHEAD, DIAGNOSE: see fetch_bench.py;
#  (2) an update check that finds nothing to do in a manifest of CHECK_FILES
#      entries (default 10,000), every file recorded and on disk: time, and the
#      share of the manifest request, parsing, registry reads and the folder
#      listings that tell whether the recorded files are there; run as a
#      downloaded copy (which copies itself and so measures the installation's
#      size, walking the listed files) and as the installed copy (which must not
#      walk them), and the walk alone.
#  (3) the same check by an installer with a release key, of the same manifest
#      signed: what the signature and the signed-release rules add.
#  (4) a download of one RESUME_MIB MiB file (default 256) that the service's
#      download server cuts at half its length, then the next run: the bytes it
#      fetched (goal: at most 55 % of the file).
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
installed="$envdir/prefix/drive_c/Program Files/OrvBenchCheck/OrvBenchCheck.exe"
check_out+=$'\n'"$("$root/cmake/wine-run.sh" "$envdir" "$installed" "$port" installed 2>&1 | tr -d '\r' | grep -E '^mode=|^message')"

# (3) the same, signed, with the release key
python3 "$root/bench/install/make_release.py" check-signed "$work/check-signed" "$check_files"
start_server "$work/check-signed"
signed_out="$("$root/cmake/wine-run.sh" "$envdir" "$work/install_bench.exe" "$port" check \
  "$(cat "$work/check-signed/key.txt")" 2>&1 | tr -d '\r' | grep -E '^mode=|^message')"

# (4) a cut download continued by the next run, against the real download server
resume_bytes=$(( ${RESUME_MIB:-256} << 20 ))
python3 "$root/bench/install/make_release.py" resume "$work/resume" 1 "$resume_bytes"
[ -n "$server" ] && kill "$server" 2>/dev/null
rm -f port.txt access.log
python3 "$root/service/download_server.py" --release "$work/resume" --port 0 --port-file port.txt \
  --cut-after $((resume_bytes / 2)) --cut-count 1 --access-log access.log 2>/dev/null &
server=$!
for _ in $(seq 1 100); do [ -s port.txt ] && break; sleep 0.1; done
resume_out="$("$root/cmake/wine-run.sh" "$envdir" "$work/install_bench.exe" "$(head -n1 port.txt)" resume 2>&1 \
  | tr -d '\r' | grep -E '^mode=')"
resume_answers="$(grep -o '"GET [^"]*big.bin[^"]*" [0-9]*' access.log | awk '{print $NF}' | tr '\n' ' ')"

python3 - "$check_out" "$signed_out" "$resume_bytes" "$resume_out" "$resume_answers" <<'PY'
import sys
check_out, signed_out, resume_bytes, resume_out, resume_answers = sys.argv[1:]

def fields(block, mode):
    for line in block.splitlines():
        if line.startswith("mode=" + mode):
            return dict(kv.split("=", 1) for kv in line.split())
    return {}

chk = fields(check_out, "check")
if chk:
    print(f"(2) update check, nothing to do: {chk['entries']} entries, to fetch {chk['to_fetch']}, ok={chk['ok']}")
    print(f"  whole pass: {float(chk['seconds']):.3f} s best of 5, median {float(chk['median_s']):.3f} s"
          f"  peak working set {chk['peak_working_set_MiB']} MiB")
    print(f"  manifest request {float(chk['manifest_s']):.3f} s ({chk['manifest_share']}), parsing {float(chk['parse_s']):.3f} s"
          f" ({chk['parse_share']}), registry reads {float(chk['registry_reads_s']):.3f} s ({chk['registry_share']}),"
          f" listing {chk['folders']} folders for existence {float(chk['listing_s']):.3f} s ({chk['listing_share']})"
          f"  [records prefilled in {float(chk['prefill_writes_s']):.3f} s]")
    print(f"  the whole pass above is a downloaded copy's: it copies itself, so it measures the installation"
          f" ({chk['size_kib']} KiB): walking the {chk['entries']} files alone takes {float(chk['size_walk_s']):.3f} s")
    inst = fields(check_out, "installed")
    if inst:
        print(f"  the installed copy's check (the shortcuts' run): {float(inst['seconds']):.3f} s (target <= 0.5 s), no walk"
              f" (a planted size kept: {'yes' if inst['size_kept'] == '1' else 'NO'}); the uninstall entry's"
              f" share: {inst['entry_ms']} ms")
    else:
        print("  installed copy: no result")
else:
    print("(2) update check: no result\n" + check_out)
sig = fields(signed_out, "check")
if sig and chk:
    added = (float(sig["seconds"]) - float(chk["seconds"])) * 1000
    added_median = (float(sig["median_s"]) - float(chk["median_s"])) * 1000
    print(f"(3) the same check with a release key, manifest signed: ok={sig['ok']} keys={sig['keys']}")
    print(f"  manifest of {sig['entries']} entries: reading it and checking its signature"
          f" {float(sig['signature_s']) * 1000:.1f} ms, the signed-release rules {float(sig['rules_s']) * 1000:.1f} ms"
          f" (best of 5)")
    print(f"  whole pass: {float(sig['seconds']):.3f} s best of 5, median {float(sig['median_s']):.3f} s;"
          f" against (2): {added:+.1f} ms (best), {added_median:+.1f} ms (median)")
else:
    print("(3) signed update check: no result\n" + signed_out)
res = fields(resume_out, "resume")
if res:
    size, kept, cut = int(resume_bytes), int(res["kept"]), int(resume_bytes) // 2
    answers = resume_answers.split()
    # The first run received the cut answer's bytes; the second, after a 206, the rest only.
    second = size - kept if answers[-1:] == ["206"] else size
    print(f"(4) a {size >> 20} MiB download cut at {100 * cut / size:.0f} % (answers {' '.join(answers)}): the first run"
          f" kept {kept} bytes in {float(res['cut_seconds']):.2f} s; the next run fetched {second} bytes"
          f" ({100 * second / size:.1f} %) in {float(res['seconds']):.2f} s, ok={res['ok']}, file {res['size']} bytes")
    print(f"  the next run's share of the file: {100 * second / size:.1f} % (goal <= 55 %); both runs together"
          f" {100 * (cut + second) / size:.1f} % (100 % when no byte travels twice)")
else:
    print("(4) resume: no result\n" + resume_out)
PY
