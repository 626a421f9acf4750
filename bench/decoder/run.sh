#!/usr/bin/env bash
# Decoding throughput of our lzma.exe under Wine against `xz -d` run natively,
# on a 64 MiB file packed by `xz --format=lzma`.
#   bench/decoder/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
# LZMA_EXE: another lzma.exe to measure (an older build, for before/after);
# REPEAT: runs per figure (median, default 5).
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" && pwd)" || exit 1
exe="$build/decoder/lzma.exe"
[ -f "$exe" ] || { echo "decoder: $exe missing (build the lzma target first)"; exit 1; }

work="$build/bench/decoder"
mkdir -p "$work"
cd "$work" || exit 1
# A prefix of its own, so running this never disturbs tests using the build's prefix.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY

if [ ! -f sample.lzma ]; then
  # Game-like content: runs of text, repeated structures and incompressible chunks.
  python3 - <<'PY'
import random
rng = random.Random(1)
words = [b"texture", b"model", b"sound", b"orvanta", b"level", b"0123", b"\0\0\0\0", b"vertex"]
parts, size = [], 0
while size < 64 << 20:
    if rng.random() < 0.15:
        chunk = rng.randbytes(rng.randint(1000, 20000))
    else:
        chunk = b" ".join(rng.choice(words) for _ in range(rng.randint(100, 3000)))
    parts.append(chunk)
    size += len(chunk)
open("sample.bin", "wb").write(b"".join(parts)[: 64 << 20])
PY
  xz --format=lzma -6 -k -c sample.bin > sample.lzma
  xz --format=lzma -c /dev/null > tiny.lzma
fi
cp "${LZMA_EXE:-$exe}" lzma.exe

now() { date +%s.%N; }
mbps() { python3 -c "import sys; s=float(sys.argv[2]); print('%.1f' % (float(sys.argv[1]) / s / 1e6) if s > 0 else 'n/a')" "$@"; }
bytes=$(stat -c %s sample.bin)

# Kept running until the end (the trap ends it): a server started by a later
# "wine" would end with its last program, and every run after would start Wine anew.
wineserver -p >/dev/null 2>&1 </dev/null
trap 'wineserver -k >/dev/null 2>&1' EXIT
wine cmd /c exit >/dev/null 2>&1 </dev/null   # first start of a prefix is slow; not part of the figures

# Medians, wall clock and CPU time (user + system of the child): on a shared,
# loaded machine the CPU figure is the steadier one.
python3 - "$(stat -c %s sample.bin)" "${REPEAT:-5}" <<'PY'
import os, resource, statistics, subprocess, sys, time
size, repeat = int(sys.argv[1]), int(sys.argv[2])

def measure(command, output=None):
    walls, cpus = [], []
    for _ in range(repeat):
        before = resource.getrusage(resource.RUSAGE_CHILDREN)
        start = time.perf_counter()
        with open(output or os.devnull, "wb") as sink:
            rc = subprocess.call(command, stdout=sink, stderr=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
        wall = time.perf_counter() - start
        after = resource.getrusage(resource.RUSAGE_CHILDREN)
        cpu = (after.ru_utime - before.ru_utime) + (after.ru_stime - before.ru_stime)
        if rc != 0:
            sys.exit("decoder: %s failed with exit code %d" % (command[0], rc))
        walls.append(wall)
        cpus.append(cpu)
    return statistics.median(walls), statistics.median(cpus)

xz = measure(["xz", "-d", "--format=lzma", "-c", "sample.lzma"])
start = measure(["wine", "lzma.exe", "d", "tiny.lzma", "tiny.out"])
ours = measure(["wine", "lzma.exe", "d", "sample.lzma", "sample.out"])
if open("sample.out", "rb").read() != open("sample.bin", "rb").read():
    sys.exit("decoder: output differs from the original")

mb = size / 1e6
print("input: %d bytes packed, %d bytes unpacked (medians of %d; load average %s on 2 cores)"
      % (os.path.getsize("sample.lzma"), size, repeat, " ".join(open("/proc/loadavg").read().split()[:3])))
print("xz -d (native)       wall %6.2f s %6.1f MB/s   cpu %6.2f s %6.1f MB/s" % (xz[0], mb / xz[0], xz[1], mb / xz[1]))
print("lzma.exe under Wine  wall %6.2f s %6.1f MB/s   cpu %6.2f s %6.1f MB/s" % (ours[0], mb / ours[0], ours[1], mb / ours[1]))
net = ours[1] - start[1]
print("lzma.exe without Wine's start (cpu %.2f s): %.1f MB/s, %d%% of xz's speed" % (start[1], mb / net, round(100 * xz[1] / net)))
PY
exit $?
