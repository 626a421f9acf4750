#!/usr/bin/env bash
# Setup and cleanup of the Wine prefix and Xvfb display shared by all tests.
#   wine-fixture.sh setup|cleanup <wine-env-dir>
set -u
action=$1 envdir=$2
export WINEPREFIX="$envdir/prefix"
export WINEDEBUG=-all
# No menu entries written into the home folder that every prefix here shares.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"

stop_xvfb() {
  if [ -f "$envdir/xvfb.pid" ]; then
    kill "$(cat "$envdir/xvfb.pid")" 2>/dev/null
    rm -f "$envdir/xvfb.pid" "$envdir/display"
  fi
}

case "$action" in
setup)
  mkdir -p "$WINEPREFIX"
  stop_xvfb
  # A display of our own; -displayfd picks a free number. No -terminate: it
  # would end the server whenever the last Wine window closed, and every later
  # test would find no display. The cleanup step stops it.
  exec 3>"$envdir/display.num"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
  echo $! >"$envdir/xvfb.pid"
  exec 3>&-
  for _ in $(seq 1 100); do [ -s "$envdir/display.num" ] && break; sleep 0.1; done
  [ -s "$envdir/display.num" ] || { echo "Xvfb did not start"; exit 1; }
  echo ":$(head -n1 "$envdir/display.num")" >"$envdir/display"
  export DISPLAY="$(cat "$envdir/display")"
  # Exits 60 s after its last client, so an interrupted run leaves nothing behind.
  wineserver -p60 >/dev/null 2>&1 </dev/null
  wine rundll32.exe >/dev/null 2>&1 </dev/null
  bash "$(dirname "$0")/wine-own-folders.sh" "$WINEPREFIX"
  # No window manager under Xvfb: without this Wine waits 2 s on every hidden window.
  wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
  wine reg delete 'HKCU\Software\Wine\Drivers' /v Graphics /f >/dev/null 2>&1 </dev/null
  # Every script of the installer's languages: the dialog and message fonts
  # draw CJK, Latin, Greek and Cyrillic from WenQuanYi Micro Hei, which links
  # DejaVu Sans for Arabic and Hebrew (one link list serves one base font).
  bash "$(dirname "$0")/wine-fonts.sh"
  # A test killed inside a ScopedProxy leaves WinINet pointed at a dead port,
  # and the next ScopedProxy would restore that: start every run without one.
  for v in ProxyEnable ProxyServer ProxyOverride; do
    wine reg delete 'HKCU\Software\Microsoft\Windows\CurrentVersion\Internet Settings' /v $v /f >/dev/null 2>&1 </dev/null
  done
  # No desktop integration. Wine's menu builder, started for every shortcut a
  # test writes, holds the shortcut's target open for a while (an installer run
  # right after an installation then cannot replace its installed copy) and
  # writes menu entries into the real home folder. A DLL override does not
  # stop an executable, so the prefix simply has none.
  rm -f "$WINEPREFIX/drive_c/windows/system32/winemenubuilder.exe" \
        "$WINEPREFIX/drive_c/windows/syswow64/winemenubuilder.exe"
  echo "wine prefix ready at $WINEPREFIX, display $DISPLAY"
  ;;
cleanup)
  wineserver -k 2>/dev/null
  wineserver -w 2>/dev/null
  stop_xvfb
  ;;
esac
exit 0
