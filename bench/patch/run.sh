#!/usr/bin/env bash
# Patch size, time and peak memory, vpatch against xdelta3, zstd --patch-from and
# bsdiff, on 256 MiB of game-like data (see make_data.py): 1 % changed in
# scattered places, and 1 MiB inserted in the middle; and on real pairs of close
# versions fetched from npm into the build folder (never committed): a Go
# executable (esbuild 0.19.0 -> 0.19.1), a Rust executable (biome 1.8.2 -> 1.8.3),
# a shared library (libvips-cpp.so from sharp's libvips 1.0.4 -> 1.0.6) and a big
# JavaScript file (typescript.js 5.5.3 -> 5.5.4). The patch is set against the
# whole new file packed as the packer packs it (xz --format=lzma -6). The maker
# runs natively (the release machine's vpatch), the applier under Wine (vpatch.exe).
#   bench/patch/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
# SIZE_MIB overrides the game-like file size; REPEAT the runs per figure (median, default 3);
# VPATCH_EXE another vpatch.exe to apply with and VPATCH_MAKER another maker (an older
# build, for before/after); CASES picks cases (default: scattered inserted esbuild biome
# libvips typescript); PAIRS=0 leaves out the real pairs. The anchors run natively, in the
# same run, as Debian packages (installed here when missing): xdelta3, zstd --patch-from
# and bsdiff make and apply the same pairs (bsdiff only below 64 MiB: it needs ~17x the
# file in memory and minutes).
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "patch: no build folder"; exit 1; }
maker="${VPATCH_MAKER:-$build/host/vpatch}"
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
# The anchors and npm, as Debian packages (the way scripts/setup.sh installs) when
# the command is missing (npm may come with a Node.js installed otherwise).
missing=()
for p in xdelta3 zstd bsdiff npm; do
  command -v "$p" >/dev/null || missing+=("$p")
done
if [ ${#missing[@]} -gt 0 ]; then
  SUDO=""; [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  echo "patch: installing ${missing[*]}"
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq && \
    DEBIAN_FRONTEND=noninteractive $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq \
      --no-install-recommends "${missing[@]}" >/dev/null || echo "patch: could not install ${missing[*]}"
fi
# fetch_pair CASE PACKAGE OLD-VERSION NEW-VERSION FILE-GLOB: one file of two versions
# of an npm package, as CASE-old.bin and CASE-new.bin.
fetch_pair() {
  local v
  [ -s "$1-new.bin" ] && return 0
  for v in "old:$3" "new:$4"; do
    rm -rf npm && mkdir npm && (cd npm && npm pack --silent "$2@${v#*:}" >/dev/null 2>&1 \
      && tar xzf ./*.tgz && cp $5 "../$1-${v%%:*}.bin") || { echo "patch: npm pack $2@${v#*:} failed"; rm -f "$1-old.bin"; }
  done
  rm -rf npm
  [ -s "$1-old.bin" ] && [ -s "$1-new.bin" ]
}
pairs=(scattered inserted)
if [ "${PAIRS:-1}" != 0 ]; then
  fetch_pair esbuild @esbuild/linux-x64 0.19.0 0.19.1 'package/bin/esbuild' && pairs+=(esbuild)         # Go
  fetch_pair biome @biomejs/cli-linux-x64 1.8.2 1.8.3 'package/biome' && pairs+=(biome)                   # Rust
  fetch_pair libvips @img/sharp-libvips-linux-x64 1.0.4 1.0.6 'package/lib/libvips-cpp.so.*' && pairs+=(libvips)
  fetch_pair typescript typescript 5.5.3 5.5.4 'package/lib/typescript.js' && pairs+=(typescript)      # JS
fi
[ -z "${CASES:-}" ] || read -r -a pairs <<<"$CASES"
cp "${VPATCH_EXE:-$exe}" vpatch.exe
# A prefix of its own, so running this never disturbs tests using the build's prefix.
export WINEPREFIX="$work/prefix" WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml="
unset DISPLAY
# Kept running until the end (the trap ends it): a server started by a later
# "wine" would end with its last program, and every run after would start Wine anew.
wineserver -p >/dev/null 2>&1 </dev/null
wine cmd /c exit >/dev/null 2>&1 </dev/null   # first start of a prefix is slow; not part of the figures
trap 'wineserver -k >/dev/null 2>&1; rm -f result.bin' EXIT

# GNU time: wall seconds, CPU seconds (user + system), peak resident KiB; the median run by wall time.
measure() { /usr/bin/time -f '%e %U %S %M' "$@" 2>&1 >/dev/null | tail -n1; }
repeat="${REPEAT:-3}"
median() {
  local runs=() i
  for ((i = 0; i < repeat; i++)); do runs+=("$(measure "$@")"); done
  printf '%s\n' "${runs[@]}" | sort -n | sed -n "$(( (repeat + 1) / 2 ))p"
}
fmt() { echo "$1" | awk '{printf "%6.2f / %5.2f, %5.0f", $1, $2 + $3, $4/1024}'; }
idle="$(median wine vpatch.exe)"   # Wine's own start and footprint (usage message only)
echo "files: ${size_mib} MiB game-like base; Wine alone (vpatch.exe usage run): $(echo "$idle" | awk '{printf "%.2f s, %.0f MiB", $1, $4/1024}')"
echo "load average at the start: $(cut -d' ' -f1-3 /proc/loadavg) (2 cores); medians of $repeat runs"
printf '%-10s %-13s %12s %8s | %-26s | %-26s\n' case tool patch "of .lzma" "make: wall/cpu s, peak MiB" "apply: wall/cpu s, peak MiB"
status=0
row() {  # case tool patch-file make-figures apply-figures
  sizes+=("$(stat -c %s "$3")"); walls+=("$(echo "$5" | cut -d' ' -f1)")
  printf '%-10s %-13s %12d %7.2f%% | %-26s | %-26s\n' "$1" "$2" "$(stat -c %s "$3")" \
    "$(python3 -c "print(100 * $(stat -c %s "$3") / $whole)")" "$(fmt "$4")" "$(fmt "$5")"
}
check() { cmp -s result.bin "$1" || { echo "patch: $2 on $3: the result differs"; status=1; }; }
for case in "${pairs[@]}"; do
  old=base.bin new="$case.bin"
  [ -s "$case-new.bin" ] && old="$case-old.bin" new="$case-new.bin"
  if [ ! -s "$case.lzma-size" ]; then
    xz --format=lzma -6 -T1 -c "$new" | wc -c > "$case.lzma-size"
  fi
  whole="$(cat "$case.lzma-size")"
  sizes=() walls=()
  made="$(measure "$maker" make "$old" "$new" "$case.vpatch")"
  applied="$(median wine vpatch.exe apply "$old" "$case.vpatch" result.bin)"
  check "$new" vpatch.exe "$case"
  row "$case" "vpatch.exe" "$case.vpatch" "$made" "$applied"
  if command -v xdelta3 >/dev/null; then
    made="$(measure xdelta3 -f -e -s "$old" "$new" "$case.xd3")"
    applied="$(median xdelta3 -f -d -s "$old" "$case.xd3" result.bin)"
    check "$new" xdelta3 "$case"; row "$case" xdelta3 "$case.xd3" "$made" "$applied"
  fi
  if command -v zstd >/dev/null; then
    made="$(measure zstd -q -f -T1 --patch-from="$old" "$new" -o "$case.zst")"
    applied="$(median zstd -q -f -d --memory=2048MB --patch-from="$old" "$case.zst" -o result.bin)"
    check "$new" zstd "$case"; row "$case" "zstd --patch" "$case.zst" "$made" "$applied"
  fi
  if command -v bsdiff >/dev/null && [ "$(stat -c %s "$new")" -lt $((64 << 20)) ]; then
    made="$(measure bsdiff "$old" "$new" "$case.bsdiff")"
    applied="$(median bspatch "$old" result.bin "$case.bsdiff")"
    check "$new" bspatch "$case"; row "$case" bsdiff "$case.bsdiff" "$made" "$applied"
  fi
  # vpatch against the best anchor of the same run: patch size and apply wall time.
  [ ${#sizes[@]} -gt 1 ] && python3 - "${sizes[@]}" -- "${walls[@]}" <<'PY'
import sys
cut = sys.argv.index("--")
sizes, walls = [int(v) for v in sys.argv[1:cut]], [float(v) for v in sys.argv[cut + 1:]]
print("%-10s vpatch / smallest anchor: %.2f x; apply wall / fastest anchor: %.2f x" % (
    "", sizes[0] / min(sizes[1:]), walls[0] / max(min(walls[1:]), 0.01)))
PY
  rm -f "$case.xd3" "$case.zst" "$case.bsdiff"
done
echo "vpatch.exe runs under Wine (its start included), the anchors natively"
echo "goals: patch at most 5 % of the whole .lzma file; within 1.1 x of the smallest anchor, applied no slower than the fastest"
exit $status
