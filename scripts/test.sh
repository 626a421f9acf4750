#!/usr/bin/env bash
# The one test command: installs what is missing, builds both targets
# (x86_64, tested here; i686, the 32-bit release build) and the release
# machine's tools (host), and runs every test under Wine. Exits non-zero when a
# build or a test fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
# Both targets build without a single warning; the x86_64 tests read the
# i686 executables too (the import check of the shipped programs).
export ORVANTA_WERROR=ON
bash "$root/scripts/build.sh" i686
bash "$root/scripts/build.sh" x86_64 -DORVANTA_I686_BUILD_DIR="$root/build/i686"
bash "$root/scripts/build.sh" host
cd "$root/build/x86_64"
# Every test runs once: a test that fails now and then is a race to find,
# never run again to pass.
ctest --output-on-failure -j2 "$@"
