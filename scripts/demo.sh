#!/usr/bin/env bash
# The whole story in one command: build, publish the sample client as a
# signed release, serve it on loopback, and let a scripted player install,
# update and uninstall it under Wine, printing what happened at each stage.
# The installer carries the demo's own release key (made by the demo, kept in
# its build folder, never a production key); a forged answer is refused.
#
#   bash scripts/demo.sh
#
# Environment (all optional):
#   DEMO_BUILD_DIR     the demo's build folder (default build/demo/x86_64): its
#                      installer carries the demo key, unlike the tests' build
#   DEMO_OUT           output folder for screenshots and logs (default demo-out)
#   DEMO_SKIP_SETUP=1  do not check the Debian packages
#   DEMO_SKIP_BUILD=1  use the programs already built in the build folder
#   DISPLAY            when set, the installer's windows appear there; else a
#                      private Xvfb is used
# Ctrl-C at any point stops the servers, Wine and Xvfb.
set -euo pipefail

root="$(cd "$(dirname "$0")/.." && pwd)"
build="${DEMO_BUILD_DIR:-$root/build/demo/x86_64}"
key="$build/demo-release-key.pem"
out="${DEMO_OUT:-$root/demo-out}"
work="$out/work"
export WINEPREFIX="$root/build/demo/prefix"
export WINEDEBUG=-all
# No Mono/Gecko prompts; no menu entries written into the real desktop session.
export WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d"
brand=Halvenor

# ---------------------------------------------------------------- bookkeeping
pids=()
xvfb_pid=""
cleanup() {
  local rc=$?
  trap - INT TERM EXIT
  for p in "${pids[@]}"; do kill "$p" 2>/dev/null || true; done
  if command -v wineserver >/dev/null && [ -d "$WINEPREFIX" ]; then
    wineserver -k 2>/dev/null || true
    wineserver -w 2>/dev/null || true
  fi
  [ -n "$xvfb_pid" ] && kill "$xvfb_pid" 2>/dev/null || true
  for p in "${pids[@]}"; do wait "$p" 2>/dev/null || true; done
  exit "$rc"
}
trap cleanup EXIT
trap 'echo; echo "demo: interrupted"; exit 130' INT TERM

stage_start=0
stage_name=""
stage() {
  finish_stage
  stage_name="$1"
  stage_start=$(date +%s.%N)
  printf '\n\033[1m== %s\033[0m\n' "$1"
}
finish_stage() {
  if [ -n "$stage_name" ]; then
    local t
    t=$(awk -v a="$stage_start" -v b="$(date +%s.%N)" 'BEGIN { printf "%.1f", b - a }')
    printf '   (%s s)\n' "$t"
    printf '%-34s %6s s\n' "$stage_name" "$t" >>"$out/timings.txt"
  fi
  stage_name=""
}
say() { printf '   %s\n' "$*"; }
indent() { sed -e 's/\r$//' -e 's/^/     /'; }

player() { wine "$build/tools/player/orvanta_player.exe" "$@" </dev/null 2>/dev/null | tr -d '\r'; }
shot() {  # shot NAME [what]
  if player --timeout 10000 shot "$out/$1.bmp" "${2:-dialog}" >/dev/null; then
    if command -v convert >/dev/null; then convert "$out/$1.bmp" "$out/$1.png" && rm -f "$out/$1.bmp"; fi
    say "screenshot: $(ls "$out/$1".* | head -n1)"
  else
    say "screenshot $1: window already gone"
  fi
}
reg_query() { wine reg query "$@" </dev/null 2>/dev/null | tr -d '\r' | sed '/^$/d' | indent || true; }
pf="$WINEPREFIX/drive_c/Program Files"
installed="C:\\Program Files\\$brand\\$brand.exe"

mkdir -p "$out"
rm -rf "$work" "$out"/*.png "$out"/*.bmp "$out/timings.txt"
mkdir -p "$work"

# ---------------------------------------------------------------- 1. setup + build
stage "Packages"
if [ "${DEMO_SKIP_SETUP:-0}" != 1 ]; then bash "$root/scripts/setup.sh" | indent; else say "skipped"; fi

stage "Build (x86_64, demo release key)"
mkdir -p "$build"
[ -f "$key" ] || openssl genpkey -algorithm ed25519 -out "$key" 2>/dev/null
public_key=$(python3 "$root/packer/pack_release.py" --sign-key "$key" --print-public-key)
say "release key: $public_key"
say "(the demo's own, made by the demo: $key)"
if [ "${DEMO_SKIP_BUILD:-0}" = 1 ]; then
  say "skipped"
  grep -qx "ORVANTA_RELEASE_KEYS:STRING=$public_key" "$build/CMakeCache.txt" 2>/dev/null \
    || { echo "demo: $build was not built with this key; run without DEMO_SKIP_BUILD"; exit 1; }
elif ! ORVANTA_BUILD_DIR="$build" bash "$root/scripts/build.sh" x86_64 -DORVANTA_BUILD_TESTS=OFF \
    -DORVANTA_RELEASE_KEYS="$public_key" >"$work/build.log" 2>&1; then
  # Work in progress elsewhere in the tree must not stop the demo: build what it needs.
  say "full build failed (see $work/build.log); building the demo's programs only"
  cmake --build "$build" --target Orvanta sampleclient lzma orvanta_player >>"$work/build.log" 2>&1
fi
for f in app/Orvanta.exe sampleclient/guiclient.exe sampleclient/firstrun.exe decoder/lzma.exe tools/player/orvanta_player.exe; do
  [ -f "$build/$f" ] || { echo "demo: $build/$f was not built"; exit 1; }
  say "$f  $(stat -c %s "$build/$f") bytes"
done

# ---------------------------------------------------------------- 2. release + servers
stage "Release 1 packed"
mkdir -p "$work/client/Bin"
cp "$build/sampleclient/guiclient.exe" "$work/client/Bin/guiclient.exe"
cp "$build/sampleclient/firstrun.exe" "$work/client/Bin/firstrun.exe"
printf 'Orvanta sample client\r\nRelease notes: first edition.\r\n' >"$work/client/Bin/readme.txt"
printf '[sound]\r\nvolume=3\r\n' >"$work/client/Bin/settings.ini"
cat >"$work/release.json" <<EOF
{"BRAND_NAME": "$brand", "EXE_NAME": "guiclient.exe", "EXE_WORK_PATH": "Bin",
 "DOWNLOAD_URL": "", "SKIN_URL": "", "UNINSTALL_ICON": "Bin\\\\$brand.exe", "EXE_UPDATERES": "firstrun.exe",
 "REG": {"Edition/": "S/Y/demo"}}
EOF
python3 "$root/packer/pack_release.py" --client "$work/client" --description "$work/release.json" \
  --out "$work/release" --decoder "$build/decoder/lzma.exe" --sign-key "$key" --quiet
sed -n '/^\[FILE\]/,/^\[REG\]/p' "$work/release/manifest.ini" | sed '$d' | indent
say "signed: $(tail -n1 "$work/release/manifest.ini" | cut -c1-51)..."

stage "Servers on loopback"
start_download_server() {  # start_download_server PORT (0: any)
  python3 "$root/service/download_server.py" --release "$work/release" --port "$1" --port-file "$work/download.port" \
    --log-db "$work/reports.sqlite" --access-log "$work/download-access.log" >/dev/null 2>>"$work/download.err" </dev/null &
  download_pid=$!
  pids+=($download_pid)
}
start_download_server 0
python3 "$root/service/log_server.py" serve --db "$work/reports.sqlite" --port 0 --port-file "$work/log.port" \
  --access-log "$work/log-access.log" >/dev/null 2>"$work/log.err" </dev/null &
pids+=($!)
for f in download log; do
  for _ in $(seq 1 100); do [ -s "$work/$f.port" ] && break; sleep 0.1; done
  [ -s "$work/$f.port" ] || { echo "demo: the $f server did not start"; cat "$work/$f.err"; exit 1; }
done
dport=$(cat "$work/download.port")
say "download server: 127.0.0.1:$dport (also takes the funnel reports sent to log.orvanta.net)"
say "log server:      127.0.0.1:$(cat "$work/log.port") (same database: $work/reports.sqlite)"
# WinINet keeps the real host names and port 80 and sends everything here.
export http_proxy="http://127.0.0.1:$dport"

stage "Stamped download"
python3 "$root/tools/stamp/orvanta_stamp.py" "$build/app/Orvanta.exe" -o "$work/OrvantaSetup.exe" \
  --server 4 --server-mask 0 --product 2 --brand 1 --did 77 --lang 0 --lang-mask 262143 \
  --tag1 1 --tag2 1 --chain-start-time "$(date +%s)" --chain-start-random $((RANDOM * 7 + 1)) \
  --referrer-url "http://www.orvanta.net/download?campaign=demo" >/dev/null
python3 "$root/tools/stamp/orvanta_stamp.py" "$work/OrvantaSetup.exe" --show | indent

# ---------------------------------------------------------------- 3. Wine
stage "Wine prefix and display"
if [ -z "${DISPLAY:-}" ]; then
  exec 3>"$work/display.num"
  Xvfb -displayfd 3 -screen 0 1024x768x24 -nolisten tcp >/dev/null 2>&1 </dev/null &
  xvfb_pid=$!
  exec 3>&-
  for _ in $(seq 1 100); do [ -s "$work/display.num" ] && break; sleep 0.1; done
  export DISPLAY=":$(head -n1 "$work/display.num")"
  say "private Xvfb on $DISPLAY"
  private_display=1
else
  say "using your display $DISPLAY"
  private_display=0
fi
mkdir -p "$WINEPREFIX"
wineserver -p60 >/dev/null 2>&1 </dev/null
wine rundll32.exe >/dev/null 2>&1 </dev/null || true
# No window manager on a private Xvfb: Wine would wait for one on every hidden window.
[ "$private_display" = 1 ] && wine reg add 'HKCU\Software\Wine\X11 Driver' /v Managed /d N /f >/dev/null 2>&1 </dev/null
# The installer's desktop shortcut stays inside the prefix.
bash "$root/cmake/wine-own-folders.sh" "$WINEPREFIX"
# Every script of the installer's languages (Japanese and German runs below).
bash "$root/cmake/wine-fonts.sh"
say "prefix $WINEPREFIX"
# A previous demo's installation would make this a repeat run.
wine reg delete 'HKCU\Software\Tindermoor' /f >/dev/null 2>&1 </dev/null || true
wine reg delete "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$brand" /f >/dev/null 2>&1 </dev/null || true
rm -rf "$pf/$brand"
# The client closes itself after a while, so the uninstall later finds it closed.
export ORVANTA_CLIENT_EXIT_AFTER=6

# ---------------------------------------------------------------- 4. first installation
stage "First installation"
wine "$work/OrvantaSetup.exe" >"$work/install1.out" 2>&1 </dev/null &
inst=$!
pids+=($inst)
player --timeout 120000 wait-dialog | indent
shot 01-language-page
say "flags offered:"
player list | indent || true
player click-lang EN | indent
shot 02-installing
rc=0; wait "$inst" || rc=$?
say "installer exit code: $rc"
for _ in $(seq 1 100); do [ -f "$pf/$brand/Bin/started.log" ] && break; sleep 0.2; done
player --timeout 20000 wait-window "Orvanta sample client" | indent || true
shot 03-client-started screen
say "installed files:"
(cd "$pf/$brand" && find . -type f | sort | sed 's/^\.\///') | indent
say "client started:"
indent <"$pf/$brand/Bin/started.log"
say "shortcuts:"
find "$WINEPREFIX/drive_c/users" -name "*.lnk" -path "*$brand*" 2>/dev/null | sed "s|$WINEPREFIX/||" | indent
say "registry:"
reg_query "HKCU\\Software\\Tindermoor" /s
reg_query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$brand"

# ---------------------------------------------------------------- 5. update
stage "New release (one file changed)"
sleep 1  # the release date has one-second steps
printf 'Orvanta sample client\r\nRelease notes: second edition.\r\n' >"$work/client/Bin/readme.txt"
python3 "$root/packer/pack_release.py" --client "$work/client" --description "$work/release.json" \
  --out "$work/release" --decoder "$build/decoder/lzma.exe" --sign-key "$key" --quiet
grep -E "^Bin__readme.txt=[0-9]+,|LastUpdateDate" "$work/release/manifest.ini" | indent
say "signed: $(tail -n1 "$work/release/manifest.ini" | cut -c1-51)..."
player --timeout 30000 wait-gone >/dev/null || true
for _ in $(seq 1 60); do pgrep -f "Program Files.$brand.Bin.$brand.exe" >/dev/null || break; sleep 0.5; done

stage "Update run of the installed copy"
mark=$(wc -l <"$work/download-access.log")
# The player is ready first: an update check is over in a moment.
player --timeout 30000 shot "$out/04-update-compact.bmp" dialog >"$work/shot4.out" &
shooter=$!
sleep 1
wine "$installed" >"$work/install2.out" 2>&1 </dev/null &
inst=$!
pids+=($inst)
rc=0; wait "$inst" || rc=$?
wait "$shooter" 2>/dev/null || true
if [ -f "$out/04-update-compact.bmp" ]; then
  command -v convert >/dev/null && convert "$out/04-update-compact.bmp" "$out/04-update-compact.png" && rm -f "$out/04-update-compact.bmp"
  say "screenshot: $(ls "$out"/04-update-compact.* | head -n1)"
else
  say "the update check was over before a screenshot could be taken"
fi
say "installer exit code: $rc"
say "requests of this run (download server log):"
tail -n +"$((mark + 1))" "$work/download-access.log" | grep -v ClientsRecruitChain | sed -E 's/.*"(GET [^ ]*) .*" ([0-9]+).*/\1 -> \2/' | indent
say "readme.txt now: $(sed -n 2p "$pf/$brand/Bin/readme.txt" | tr -d '\r')"
for _ in $(seq 1 100); do [ "$(wc -l <"$pf/$brand/Bin/started.log")" -ge 2 ] && break; sleep 0.2; done
say "client starts so far: $(wc -l <"$pf/$brand/Bin/started.log")"
for _ in $(seq 1 60); do pgrep -f "Program Files.$brand.Bin.$brand.exe" >/dev/null || break; sleep 0.5; done

# ---------------------------------------------------------------- 6. forged answer
stage "Forged answer refused"
# The installed copy asks with the release's date, so the server answers with the
# release's signed no-update answer. Someone on the way changes it: the client
# is to be started from another folder.
cp "$work/release/noupdate.ini" "$work/noupdate.ini.signed"
sed -i 's/^EXE_WORK_PATH=Bin/EXE_WORK_PATH=Tmp/' "$work/release/noupdate.ini"
say "served: $(grep -a EXE_WORK_PATH "$work/release/noupdate.ini" | tr -d '\r') (signed: EXE_WORK_PATH=Bin)"
wine reg add 'HKCU\Software\Tindermoor' /v LogFile /t REG_DWORD /d 1 /f >/dev/null 2>&1 </dev/null  # log to stdout
mark=$(wc -l <"$work/download-access.log")
rc=0; wine "$installed" >"$work/install3.out" 2>&1 </dev/null || rc=$?
mv "$work/noupdate.ini.signed" "$work/release/noupdate.ini"
wine reg delete 'HKCU\Software\Tindermoor' /v LogFile /f >/dev/null 2>&1 </dev/null || true
say "installer exit code: $rc"
say "installer log: $(tr -d '\r' <"$work/install3.out" | grep -m1 "^manifest refused" || echo "no refusal logged!")"
say "requests of this run (download server log):"
tail -n +"$((mark + 1))" "$work/download-access.log" | grep -v ClientsRecruitChain | sed -E 's/.*"(GET [^ ]*) .*" ([0-9]+).*/\1 -> \2/' | indent
for _ in $(seq 1 100); do [ "$(wc -l <"$pf/$brand/Bin/started.log")" -ge 3 ] && break; sleep 0.2; done
say "client starts so far: $(wc -l <"$pf/$brand/Bin/started.log") (the installed client, as after any failed check)"
for _ in $(seq 1 60); do pgrep -if "Program Files.$brand.Bin.$brand.exe" >/dev/null || break; sleep 0.5; done

# ---------------------------------------------------------------- 7. uninstall
stage "Uninstall"
rc=0; wine "$installed" /uninstall >"$work/uninstall.out" 2>&1 </dev/null || rc=$?
say "\"/uninstall\" relaunched the copy in the temporary folder and ended with $rc"
question="Are you sure you want to uninstall $brand?"
finished="Uninstall finished successfully"
player --timeout 60000 --text "$question" msgbox >/dev/null || true
shot 05-uninstall-question msgbox
player --timeout 60000 --text "$question" msgbox yes | indent
player --timeout 60000 --text "$finished" msgbox >/dev/null && shot 06-uninstall-finished msgbox || true
player --timeout 60000 --text "$finished" msgbox ok | indent || true
player --timeout 60000 wait-gone >/dev/null || true
sleep 1
if [ -d "$pf/$brand" ]; then say "install folder still there!"; else say "install folder removed"; fi
left=$(find "$WINEPREFIX/drive_c/users" -name "*.lnk" -path "*$brand*" 2>/dev/null | wc -l)
say "shortcuts left: $left"
say "registry after uninstall:"
reg_query "HKCU\\Software\\Tindermoor" /s
wine reg query "HKLM\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\$brand" >/dev/null 2>&1 </dev/null \
  && say "uninstall entry still there!" || say "uninstall entry removed"

# ---------------------------------------------------------------- 8. languages, no server
stage "German and Japanese, and a server that does not answer"
# Copies of the download with their language stamped; each is a new funnel.
for lang in DE JA; do
  python3 "$root/tools/stamp/orvanta_stamp.py" "$work/OrvantaSetup.exe" -o "$work/OrvantaSetup_$lang.exe" \
    --lang "$lang" --lang-mask 0 --chain-start-time "$(date +%s)" --chain-start-random $((RANDOM * 7 + 1)) >/dev/null
done
server_down() { kill "$download_pid" 2>/dev/null; wait "$download_pid" 2>/dev/null || true; }
server_up() {
  start_download_server "$dport"
  for _ in $(seq 1 100); do curl -s -o /dev/null "http://127.0.0.1:$dport/" && break; sleep 0.1; done
}
# German, first installation, the server away: the player is told, and Retry
# goes on once it is back.
server_down
wine "$work/OrvantaSetup_DE.exe" >"$work/install_de.out" 2>&1 </dev/null &
inst=$!
pids+=($inst)
player --timeout 120000 msgbox | indent
shot 07-german-no-server msgbox
server_up
player --timeout 30000 msgbox 4 | indent  # Retry
rc=0; wait "$inst" || rc=$?
for _ in $(seq 1 100); do [ -f "$pf/$brand/Bin/started.log" ] && break; sleep 0.2; done
say "German installation after Retry: exit code $rc, client starts: $(wc -l <"$pf/$brand/Bin/started.log" 2>/dev/null || echo 0)"
player --timeout 30000 wait-gone >/dev/null || true
for _ in $(seq 1 60); do pgrep -f "Program Files.$brand.Bin.$brand.exe" >/dev/null || break; sleep 0.5; done
# Japanese: the Japanese copy updates the installation (and becomes its
# installed copy); then the installed game's check finds no server: Retry or
# "Play now".
rc=0; wine "$work/OrvantaSetup_JA.exe" >"$work/install_ja.out" 2>&1 </dev/null || rc=$?
say "Japanese copy: exit code $rc"
player --timeout 30000 wait-gone >/dev/null || true
for _ in $(seq 1 60); do pgrep -f "Program Files.$brand.Bin.$brand.exe" >/dev/null || break; sleep 0.5; done
server_down
wine "$installed" >"$work/update_ja.out" 2>&1 </dev/null &
inst=$!
pids+=($inst)
player --timeout 120000 msgbox | indent
shot 08-japanese-no-server msgbox
player --timeout 30000 msgbox 2 | indent  # the Cancel button: "Play now"
rc=0; wait "$inst" || rc=$?
for _ in $(seq 1 100); do [ "$(wc -l <"$pf/$brand/Bin/started.log")" -ge 3 ] && break; sleep 0.2; done
say "Japanese run, \"Play now\": exit code $rc, client starts: $(wc -l <"$pf/$brand/Bin/started.log" 2>/dev/null || echo 0)"
server_up
player --timeout 30000 wait-gone >/dev/null || true

# ---------------------------------------------------------------- 9. funnel
stage "Funnel reports (log database)"
python3 "$root/service/log_server.py" funnel --db "$work/reports.sqlite" | indent
finish_stage

printf '\n\033[1m== Time per stage\033[0m\n'
indent <"$out/timings.txt"
echo
echo "Screenshots and logs: $out"
