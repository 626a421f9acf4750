#!/usr/bin/env bash
# Configures and builds one target: scripts/build.sh x86_64|i686|host [extra cmake args...]
# ORVANTA_BUILD_DIR overrides the build folder (default build/<arch>);
# ORVANTA_WERROR=ON makes every compiler warning an error (the test command sets it).
# Release signing: with ORVANTA_SIGN_CERT and ORVANTA_SIGN_KEY (PEM files) or
# ORVANTA_SIGN_PKCS12 set, the shipped programs are signed after the build
# (scripts/sign.sh; ORVANTA_SIGN_PASS_FILE and ORVANTA_SIGN_TIMESTAMP optional).
# "host" builds the release machine's tools with the system compiler (vpatch,
# which makes the patches the packer lists).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch=${1:-x86_64}; shift || true
build="${ORVANTA_BUILD_DIR:-$root/build/$arch}"
if [ "$arch" = host ]; then
  cmake -S "$root/patcher/host" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release "$@" >/dev/null
  exec cmake --build "$build" --parallel "$(nproc)"
fi
# CMake keeps the compilers it found first: a build folder configured with an
# earlier toolchain file would go on using the old compilers. Start such a
# folder's configuration afresh (the Wine prefix and test state stay).
toolchain="$root/cmake/toolchain-$arch.cmake"
stamp="$build/toolchain.sha256"
if [ -f "$build/CMakeCache.txt" ] && ! sha256sum "$toolchain" | cmp -s - "$stamp" 2>/dev/null; then
  echo "build.sh: $toolchain changed; configuring $build afresh"
  rm -rf "$build/CMakeCache.txt" "$build/CMakeFiles"
fi
mkdir -p "$build"
tests=ON
[ "$arch" = i686 ] && tests=OFF   # 32-bit code cannot run here; the release target is built only
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$toolchain" -DORVANTA_BUILD_TESTS=$tests \
  -DORVANTA_WERROR="${ORVANTA_WERROR:-OFF}" "$@" >/dev/null
sha256sum "$toolchain" >"$stamp"
cmake --build "$build" --parallel "$(nproc)"

if [ -n "${ORVANTA_SIGN_PKCS12:-}" ] || [ -n "${ORVANTA_SIGN_CERT:-}" ]; then
  sign=()
  [ -z "${ORVANTA_SIGN_PKCS12:-}" ] || sign+=(--pkcs12 "$ORVANTA_SIGN_PKCS12")
  [ -z "${ORVANTA_SIGN_CERT:-}" ] || sign+=(--cert "$ORVANTA_SIGN_CERT" --key "${ORVANTA_SIGN_KEY:-}")
  [ -z "${ORVANTA_SIGN_PASS_FILE:-}" ] || sign+=(--pass-file "$ORVANTA_SIGN_PASS_FILE")
  [ -z "${ORVANTA_SIGN_TIMESTAMP:-}" ] || sign+=(--timestamp "$ORVANTA_SIGN_TIMESTAMP")
  bash "$root/scripts/sign.sh" "${sign[@]}" "$build"
fi
