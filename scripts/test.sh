#!/usr/bin/env bash
# The one test command: installs what is missing, builds both targets
# (x86_64, tested here; i686, the 32-bit release build) and the release
# machine's tools (host), and runs every test under Wine. Exits non-zero when a
# build or a test fails.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
bash "$root/scripts/setup.sh"
# Started as root, the tests run PostgreSQL and nginx's workers as user nobody, which must
# reach the build folder: a checkout in root's own home (mode 700) fails them, so say so
# before the build rather than after it.
if [ "$(id -u)" -eq 0 ] && ! runuser -u nobody -- test -x "$root"; then
  echo "test.sh: user nobody cannot enter $root (the test servers run as nobody when started as root)."
  echo "test.sh: check the repository out below folders others may enter (e.g. /srv, /opt), or chmod o+x the folders above it."
  exit 1
fi
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
