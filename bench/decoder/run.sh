#!/usr/bin/env bash
# Decoding throughput of our lzma.exe under Wine against `xz -d` run natively,
# on a 64 MiB file packed by `xz --format=lzma`.
#   bench/decoder/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
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
cp "$exe" lzma.exe

now() { date +%s.%N; }
mbps() { python3 -c "import sys; s=float(sys.argv[2]); print('%.1f' % (float(sys.argv[1]) / s / 1e6) if s > 0 else 'n/a')" "$@"; }
bytes=$(stat -c %s sample.bin)

wineserver -p30 >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null   # first start of a prefix is slow; not part of the figures

best_xz=999 best_our=999 start_cost=999
for _ in 1 2 3; do
  t0=$(now); xz -d --format=lzma -c sample.lzma > /dev/null; t1=$(now)
  best_xz=$(python3 -c "print(min($best_xz, $t1 - $t0))")
  t0=$(now); wine lzma.exe d tiny.lzma tiny.out >/dev/null 2>&1 </dev/null; t1=$(now)
  start_cost=$(python3 -c "print(min($start_cost, $t1 - $t0))")
  rm -f sample.out
  t0=$(now); wine lzma.exe d sample.lzma sample.out >/dev/null 2>&1 </dev/null; rc=$?; t1=$(now)
  [ $rc -eq 0 ] || { echo "decoder: lzma.exe failed with exit code $rc"; exit 1; }
  best_our=$(python3 -c "print(min($best_our, $t1 - $t0))")
done
cmp -s sample.bin sample.out || { echo "decoder: output differs from the original"; exit 1; }
wineserver -k >/dev/null 2>&1

echo "input: $(stat -c %s sample.lzma) bytes packed, $bytes bytes unpacked (best of 3)"
printf 'xz -d (native)        %6.3f s  %s MB/s\n' "$best_xz" "$(mbps "$bytes" "$best_xz")"
printf 'lzma.exe under Wine   %6.3f s  %s MB/s (Wine start %.3f s included)\n' "$best_our" "$(mbps "$bytes" "$best_our")" "$start_cost"
net=$(python3 -c "print($best_our - $start_cost)")
printf 'lzma.exe, start cost removed       %s MB/s, %s%% of xz\n' "$(mbps "$bytes" "$net")" \
  "$(python3 -c "print(round(100 * $best_xz / $net) if $net > 0 else 'n/a')")"
