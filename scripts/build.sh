#!/usr/bin/env bash
# Configures and builds one target: scripts/build.sh x86_64|i686 [extra cmake args...]
# ORVANTA_BUILD_DIR overrides the build folder (default build/<arch>);
# ORVANTA_WERROR=ON makes every compiler warning an error (the test command sets it).
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
arch=${1:-x86_64}; shift || true
build="${ORVANTA_BUILD_DIR:-$root/build/$arch}"
tests=ON
[ "$arch" = i686 ] && tests=OFF   # 32-bit code cannot run here; the release target is built only
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=Release \
  -DCMAKE_TOOLCHAIN_FILE="$root/cmake/toolchain-$arch.cmake" -DORVANTA_BUILD_TESTS=$tests \
  -DORVANTA_WERROR="${ORVANTA_WERROR:-OFF}" "$@" >/dev/null
cmake --build "$build" --parallel "$(nproc)"
