#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
#   wine-run.sh <wine-env-dir> <program.exe> [args...]
# ORVANTA_WINVER (optional): the Windows version Wine reports to this program.
set -u
envdir=$1; shift
export WINEPREFIX="$envdir/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml="
if [ -f "$envdir/display" ]; then
  export DISPLAY="$(cat "$envdir/display")"
else
  unset DISPLAY
fi
exe=$1
if [ -n "${ORVANTA_WINVER:-}" ]; then
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$(basename "$exe")" /v Version /d "$ORVANTA_WINVER" /f >/dev/null 2>&1 </dev/null
fi
exec wine "$@"
