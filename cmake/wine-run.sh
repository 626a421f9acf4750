#!/usr/bin/env bash
# Runs a Windows program under Wine in the build's own prefix.
#   wine-run.sh <wine-env-dir> <program.exe> [args...]
# ORVANTA_WINVER (optional): the Windows version Wine reports to this program.
set -u
envdir=$1; shift
export WINEPREFIX="$envdir/prefix"
export WINEDEBUG="${WINEDEBUG:--all}"
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
if [ -f "$envdir/display" ]; then
  export DISPLAY="$(cat "$envdir/display")"
else
  unset DISPLAY
fi
exe=$1
if [ -n "${ORVANTA_WINVER:-}" ]; then
  wine reg add "HKCU\\Software\\Wine\\AppDefaults\\$(basename "$exe")" /v Version /d "$ORVANTA_WINVER" /f >/dev/null 2>&1 </dev/null
fi
# A test process that crashes under Wine can still end with exit code 0, so a
# GoogleTest run counts only when it wrote its XML report (it does so at the end).
report=""
for arg in "$@"; do
  case "$arg" in --gtest_output=xml:*) report="${arg#--gtest_output=xml:}" ;; esac
done
if [ -z "$report" ]; then
  exec wine "$@"
fi
rm -f "$report"
wine "$@"
rc=$?
if [ $rc -eq 0 ] && [ ! -s "$report" ]; then
  echo "wine-run: $(basename "$exe") ended without its test report ($report): it crashed" >&2
  exit 1
fi
exit $rc
