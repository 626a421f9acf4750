#!/usr/bin/env bash
# Configures and builds one target: scripts/build.sh x86_64|i686|host [extra cmake args...]
# ORVANTA_BUILD_DIR overrides the build folder (default build/<arch>).
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
tests=ON
[ "$arch" = i686 ] && tests=OFF   # 32-bit code cannot run here; the release target is built only
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DORVANTA_BUILD_TESTS=$tests "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
