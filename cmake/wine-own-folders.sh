#!/usr/bin/env bash
# A fresh Wine prefix links the user's Desktop, Documents, Downloads, ... to
# the Unix home folder, which every prefix on the machine shares: shortcuts
# and files written there by one test run would be seen (and deleted) by
# another. Gives each such folder of the prefix a real folder of its own.
#   wine-own-folders.sh <prefix>
set -u
for link in "$1"/drive_c/users/*/*; do
  if [ -L "$link" ]; then rm -f "$link" && mkdir -p "$link"; fi
done
