#!/usr/bin/env bash
# Patch size, time and peak memory on 256 MiB of game-like data (see
# make_data.py): 1 % changed in scattered places, and 1 MiB inserted in the
# middle. The patch is set against the whole new file packed as the packer
# packs it (xz --format=lzma -6). The maker runs natively (the release
# machine's vpatch), the applier under Wine (vpatch.exe).
#   bench/patch/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
# SIZE_MIB overrides the file size.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "patch: no build folder"; exit 1; }
maker="$build/host/vpatch"
exe="$build/patcher/vpatch.exe"
for f in "$maker" "$exe"; do [ -f "$f" ] || { echo "patch: $f missing (build first)"; exit 1; }; done
size_mib="${SIZE_MIB:-256}"

work="$build/bench/patch"
mkdir -p "$work"
cd "$work" || exit 1
if [ "$(cat size.txt 2>/dev/null)" != "$size_mib" ]; then
  echo "making ${size_mib} MiB sample files..."
  rm -f ./*.lzma-size
  python3 "$root/bench/patch/make_data.py" . "$size_mib" && echo "$size_mib" > size.txt || exit 1
fi
cp "$exe" vpatch.exe
# A prefix of its own, so running this never disturbs tests using the build's prefix.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
wineserver -p30 >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null   # first start of a prefix is slow; not part of the figures
trap 'wineserver -k >/dev/null 2>&1; rm -f result.bin' EXIT

# GNU time: wall seconds, CPU seconds (user + system), peak resident KiB.
measure() { /usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null | tail -n1; }
idle="$(measure wine vpatch.exe)"   # Wine's own start and footprint (usage message only)
echo "files: ${size_mib} MiB game-like base; Wine alone (vpatch.exe usage run): $(echo "$idle" | awk '{printf "%.2f s, %.0f MiB", $1, $4/1024}')"
printf '%-10s %12s %12s %7s | %-30s | %-30s\n' case "whole .lzma" patch ratio "make: wall/cpu s, peak MiB" "apply (Wine): wall/cpu s, peak MiB"
status=0
for case in scattered inserted; do
  if [ ! -s "$case.lzma-size" ]; then
    xz --format=lzma -6 -T1 -c "$case.bin" | wc -c > "$case.lzma-size"
  fi
  whole="$(cat "$case.lzma-size")"
  made="$(measure "$maker" make base.bin "$case.bin" "$case.vpatch")"
  applied="$(measure wine vpatch.exe apply base.bin "$case.vpatch" result.bin)"
  if ! cmp -s result.bin "$case.bin"; then echo "patch: $case: the result differs"; status=1; fi
  patch="$(stat -c %s "$case.vpatch")"
  fmt() { echo "$1" | awk '{printf "%6.2f / %6.2f, %5.0f", $1, $2 + $3, $4/1024}'; }
  printf '%-10s %12d %12d %6.2f%% | %-30s | %-30s\n' "$case" "$whole" "$patch" \
    "$(python3 -c "print(100 * $patch / $whole)")" "$(fmt "$made")" "$(fmt "$applied")"
done
echo "goal: patch at most 5 % of the whole .lzma file"
exit $status
