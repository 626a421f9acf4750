#!/usr/bin/env bash
# Installs what a fresh Debian machine lacks to build and test Orvanta.
# Idempotent: packages already present are not fetched again.
# Only 64-bit Wine: this kernel cannot run 32-bit code, and Debian's 32-bit
# Wine package (with the foreign architecture it needs) breaks the `wine` command.
set -euo pipefail

packages=(
  cmake ninja-build make python3 curl xz-utils time
  g++ liblzma-dev
  g++-mingw-w64-x86-64-win32 g++-mingw-w64-i686-win32 mingw-w64-tools
  wine wine64
  xvfb xauth x11-apps imagemagick xdotool fonts-dejavu-core
  # every script of the 18 languages in the windows tests and the demo show:
  # CJK (with Latin, Greek, Cyrillic), Arabic and Hebrew
  fonts-wqy-microhei fonts-dejavu-extra
  googletest
  openssl osslsigncode python3-cryptography
  # the production stack of the service side, started by its tests and benchmark
  nginx gunicorn postgresql python3-psycopg2
  # the operators' dashboard, tested in a headless browser
  chromium chromium-driver python3-selenium
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ ${#missing[@]} -gt 0 ]; then
  echo "setup: installing ${missing[*]}"
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  export DEBIAN_FRONTEND=noninteractive
  # Several engineers may run this at once: wait for dpkg's lock instead of failing.
  $SUDO apt-get -o DPkg::Lock::Timeout=600 update -qq
  $SUDO apt-get -o DPkg::Lock::Timeout=600 install -y -qq --no-install-recommends "${missing[@]}" >/dev/null
else
  echo "setup: all packages present"
fi
