#!/usr/bin/env bash
# Native side of the scenario tests: packs the sample client as two releases
# (v2 differs from v1 in one file), stamps a copy of the installer and starts
# one reference download server per release on loopback (it also takes the
# log server's role and stores funnel reports). The Wine-side tests read the
# ports and access logs from the state folder.
#   e2e-fixture.sh setup   <state-dir> <src-dir> <Orvanta.exe> <guiclient.exe> <lzma.exe>
#   e2e-fixture.sh cleanup <state-dir>
# ORVANTA_PYTHON names the build's Python (default: python3 from PATH).
set -u
action=$1 state=$2
python=${ORVANTA_PYTHON:-python3}

stop_servers() {
  for f in "$state"/server*.pid; do
    [ -f "$f" ] || continue
    kill "$(cat "$f")" 2>/dev/null
    for _ in $(seq 1 50); do kill -0 "$(cat "$f")" 2>/dev/null || break; sleep 0.1; done
    kill -9 "$(cat "$f")" 2>/dev/null
    rm -f "$f"
  done
}

case "$action" in
setup)
  src=$3 orvanta=$4 client=$5 lzma=$6
  stop_servers
  rm -rf "$state" "$(dirname "$state")/screens"
  mkdir -p "$state/client/Bin" "$state/downloads/NoDid"
  cp "$client" "$state/client/Bin/guiclient.exe"
  printf 'Orvanta sample client\r\nrelease notes, first edition\r\n' >"$state/client/Bin/readme.txt"
  printf 'volume=3\r\n' >"$state/client/Bin/settings.ini"
  cat >"$state/release.json" <<'EOF'
{"BRAND_NAME": "Copperine", "EXE_NAME": "guiclient.exe", "EXE_WORK_PATH": "Bin",
 "DOWNLOAD_URL": "", "SKIN_URL": "", "UNINSTALL_ICON": "Bin\\Copperine.exe", "EXE_UPDATERES": "",
 "REG": {"Language/": "S/Y/${Lang}"}}
EOF
  pack() {
    "$python" "$src/packer/pack_release.py" --client "$state/client" --description "$state/release.json" \
      --decoder "$lzma" --quiet "$@" || { echo "packing failed"; exit 1; }
  }
  pack --out "$state/release1" --date 20240101000000
  cp "$state/client/Bin/readme.txt" "$state/readme1.txt"
  cp -r "$state/release1" "$state/release2"
  printf 'Orvanta sample client\r\nrelease notes, second edition\r\n' >"$state/client/Bin/readme.txt"
  pack --out "$state/release2" --date 20240202000000
  cp "$state/client/Bin/readme.txt" "$state/readme2.txt"

  # The copy a player downloads: product 2, brand 30 (Copperine), its own
  # download id, production server, only the language open, seven flags offered.
  "$python" "$src/tools/stamp/orvanta_stamp.py" "$orvanta" -o "$state/downloads/OrvantaSetup.exe" \
    --server 4 --server-mask 0 --product 2 --brand 30 --did 9901 --lang 0 --lang-mask 0x31A03 \
    --tag1 7 --tag2 -12 --chain-start-time 1191945099 --chain-start-random 8246 >/dev/null \
    || { echo "stamping failed"; exit 1; }
  # The same download with its identifier left open: a typed-number page first.
  "$python" "$src/tools/stamp/orvanta_stamp.py" "$state/downloads/OrvantaSetup.exe" -o "$state/downloads/NoDid/OrvantaSetup.exe" \
    --did 0 >/dev/null || { echo "stamping failed"; exit 1; }

  for n in 1 2; do
    setsid "$python" "$src/service/download_server.py" --release "$state/release$n" --port 0 \
      --port-file "$state/server$n.port" --log-db "$state/reports$n.sqlite" \
      --access-log "$state/access$n.log" >/dev/null 2>"$state/server$n.err" </dev/null &
    echo $! >"$state/server$n.pid"
  done
  for n in 1 2; do
    for _ in $(seq 1 100); do [ -s "$state/server$n.port" ] && break; sleep 0.1; done
    [ -s "$state/server$n.port" ] || { echo "server $n did not start"; cat "$state/server$n.err"; stop_servers; exit 1; }
  done
  echo "releases packed, servers on ports $(cat "$state/server1.port") and $(cat "$state/server2.port")"
  ;;
cleanup)
  stop_servers
  ;;
esac
exit 0
