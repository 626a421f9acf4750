#!/usr/bin/env bash
# Download throughput of FileDownloader + FileDownloaderListener under Wine
# (progress going to a real progress bar) against curl, both fetching a
# 256 MiB file from the same native loopback server through it as a proxy.
#   bench/download/run.sh [build-dir]   (default: $ORVANTA_BUILD_DIR or build/x86_64)
# SIZE_MIB overrides the file size.
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" 2>/dev/null && pwd)" || { echo "download: no build folder"; exit 1; }
exe="$build/bench/download/download_bench.exe"
[ -f "$exe" ] || { echo "download: $exe missing (build the download_bench target first)"; exit 1; }
size_mib="${SIZE_MIB:-256}"

work="$build/bench/download/work"
mkdir -p "$work/www"
cd "$work" || exit 1
if [ "$(stat -c %s www/big.bin 2>/dev/null)" != "$((size_mib << 20))" ]; then
  head -c "$((size_mib << 20))" /dev/urandom > www/big.bin
fi

python3 "$root/bench/download/serve.py" "$work/www" > port.txt 2>/dev/null &
server=$!
for _ in $(seq 1 50); do [ -s port.txt ] && break; sleep 0.1; done
port="$(head -n1 port.txt)"
envdir="$work/wine-env"
cleanup() {
  kill "$server" 2>/dev/null
  "$root/cmake/wine-fixture.sh" cleanup "$envdir" >/dev/null
  rm -f curl.out listener.out raw.out
}
trap cleanup EXIT
# The same prefix and private display as the tests (the display stays up for
# the whole run: the benchmark's window needs it between Wine processes).
"$root/cmake/wine-fixture.sh" setup "$envdir" >/dev/null || { echo "download: Wine set-up failed"; exit 1; }
cp "$exe" "$work/download_bench.exe"

url="http://bench.orvanta.test/big.bin"
# curl: wall seconds, CPU seconds and peak RSS from GNU time.
curl_line="$(/usr/bin/time -f '%e %U %S %M' curl -s -o curl.out --proxy "http://127.0.0.1:$port" "$url" 2>&1 | tail -n1)"
read -r c_wall c_user c_sys c_rss <<<"$curl_line"

run_wine() {  # mode-args...; prints the program's line, then GNU time's line
  /usr/bin/time -f '%e %U %S %M' "$root/cmake/wine-run.sh" "$envdir" "$work/download_bench.exe" \
    "$port" bench.orvanta.test big.bin "$@" 2>&1 | tr -d '\r' | grep -E '^mode=|^[0-9.]+ [0-9.]+ [0-9.]+ [0-9]+$'
}
# The body-dropping run first: it also warms up Wine's services and the page cache.
null_out="$(run_wine "Z:$work/null.out" --null)"
listener_out="$(run_wine "Z:$work/listener.out")"
[ -n "${BENCH_DEBUG:-}" ] && echo "$listener_out"
raw_out=""
[ "${RAW:-0}" = 1 ] && raw_out="$(run_wine "Z:$work/raw.out" --raw1k)"

cmp -s www/big.bin listener.out && same=yes || same=NO
bytes=$((size_mib << 20))
python3 - "$bytes" "$c_wall" "$c_user" "$c_sys" "$c_rss" "$same" "$listener_out" "$raw_out" "$null_out" <<'PY'
import sys
bytes_, c_wall, c_user, c_sys, c_rss, same, listener, raw, null = sys.argv[1:]
bytes_ = int(bytes_)
def fields(block):
    for line in block.splitlines():
        if line.startswith("mode="):
            return dict(kv.split("=", 1) for kv in line.split())
    return {}
lis = fields(listener)
curl_mbps = bytes_ / float(c_wall) / 1e6
print(f"file: {bytes_ >> 20} MiB, listener output identical to source: {same}")
print(f"curl:      {float(c_wall):7.3f} s  {curl_mbps:8.1f} MB/s  cpu {float(c_user) + float(c_sys):.2f} s  peak RSS {int(c_rss) / 1024:.1f} MiB")
if lis:
    s = float(lis["seconds"])
    mbps = bytes_ / s / 1e6
    cpu = float(lis["cpu_user"]) + float(lis["cpu_kernel"])
    print(f"listener:  {s:7.3f} s  {mbps:8.1f} MB/s  cpu {cpu:.2f} s  peak working set {lis['peak_working_set_MiB']} MiB"
          f"  private {lis['peak_private_MiB']} MiB  progress posts {lis['progress_posts']}  bar {lis['bar']}  ok={lis['ok']}")
    print(f"ratio listener/curl time: {s / float(c_wall):.2f}x (target <= 1.5x)")
n = fields(null)
if n:
    s = float(n["seconds"])
    cpu = float(n["cpu_user"]) + float(n["cpu_kernel"])
    print(f"downloader alone (body dropped): {s:7.3f} s  {bytes_ / s / 1e6:8.1f} MB/s  cpu {cpu:.2f} s")
r = fields(raw)
if r:
    s = float(r["seconds"])
    print(f"raw 1 KiB loop (for comparison): {s:7.3f} s  {bytes_ / s / 1e6:8.1f} MB/s  progress posts {r['progress_posts']}"
          f"  peak working set {r['peak_working_set_MiB']} MiB")
PY
