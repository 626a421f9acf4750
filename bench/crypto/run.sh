#!/usr/bin/env bash
# Signed-manifest figures under Wine: verification time of a 1 KiB, 64 KiB and
# 1 MiB manifest, and SHA-512 throughput (Python's hashlib, i.e. OpenSSL's
# assembly, natively, for reference).
#   bench/crypto/run.sh [build-dir]     (default: $ORVANTA_BUILD_DIR or build/x86_64)
set -uo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
build="${1:-${ORVANTA_BUILD_DIR:-$root/build/x86_64}}"
build="$(cd "$build" && pwd)" || exit 1
exe="$build/bench/crypto/crypto_bench.exe"
[ -f "$exe" ] || { echo "crypto: $exe missing (build the crypto_bench target first)"; exit 1; }

data="$build/bench/crypto/data"
python3 "$root/bench/crypto/make_manifests.py" "$data" || exit 1
cd "$(dirname "$exe")" || exit 1
"$root/cmake/wine-fixture.sh" setup "$build/wine-env" >/dev/null
"$root/cmake/wine-run.sh" "$build/wine-env" "$exe" data 2>/dev/null
rc=$?
"$root/cmake/wine-fixture.sh" cleanup "$build/wine-env" >/dev/null
python3 - <<'PY'
import hashlib, time
data = bytes(16 << 20)
best = min((lambda t0: (hashlib.sha512(data).digest(), time.perf_counter() - t0)[1])(time.perf_counter())
           for _ in range(5))
print("SHA-512 reference, hashlib natively: %.0f MB/s" % (len(data) / best / 1e6))
PY
exit $rc
