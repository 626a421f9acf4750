#!/usr/bin/env bash
# Native side of the scenario tests: packs the sample client as two releases
# (v2 differs from v1 in one file), signs and stamps a copy of the installer and starts
# one server per release on loopback, which also takes the log server's role
# and stores funnel reports (both in one database). The Wine-side tests read
# the ports and access logs from the state folder; the clean-up stops the servers
# and turns the player's screenshots into PNG files.
#   e2e-fixture.sh setup   <state-dir> <src-dir> <Orvanta.exe> <guiclient.exe> <lzma.exe> [stack]
#   e2e-fixture.sh cleanup <state-dir>
# stack: "embedded" (default) runs service/download_server.py per release, with
# reports in reports.sqlite; "production" runs nginx + gunicorn (two workers) per
# release in front of one PostgreSQL cluster (service/localstack.py; its
# connection string in dsn). Either way: server<n>.port, access<n>.log.
set -u
action=$1 state=$2
src=${3:-$(cd "$(dirname "$0")/../.." && pwd)}

# ORVANTA_PYTHON names the build's Python; without it Debian's interpreter
# (the PostgreSQL store needs its python3-psycopg2), else python3 from PATH.
py=${ORVANTA_PYTHON:-python3}
[ -z "${ORVANTA_PYTHON:-}" ] && [ -x /usr/bin/python3 ] && py=/usr/bin/python3

stop_servers() {
  for n in 2 1; do
    [ -d "$state/stack$n" ] && $py "$src/service/localstack.py" down "$state/stack$n"
  done
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
  orvanta=$4 client=$5 lzma=$6 stack=${7:-embedded}
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
    $py "$src/packer/pack_release.py" --client "$state/client" --description "$state/release.json" \
      --decoder "$lzma" --quiet "$@" || { echo "packing failed"; exit 1; }
  }
  pack --out "$state/release1" --date 20240101000000
  cp "$state/client/Bin/readme.txt" "$state/readme1.txt"
  cp -r "$state/release1" "$state/release2"
  printf 'Orvanta sample client\r\nrelease notes, second edition\r\n' >"$state/client/Bin/readme.txt"
  pack --out "$state/release2" --date 20240202000000
  cp "$state/client/Bin/readme.txt" "$state/readme2.txt"

  # The copy a player downloads: signed (with a throw-away certificate) and
  # stamped in its certificate area, so the signature stays valid: product 2,
  # brand 30 (Copperine), its own download id and funnel, production server,
  # only the language open, seven flags offered. Every value the program sends
  # that can differ from the built-in profile does.
  profile=(--server 4 --server-mask 0 --product 2 --brand 30 --did 9901 --lang 0 --lang-mask 0x31A03
           --tag1 7 --tag2 -12 --chain-start-time 1765000000 --chain-start-random 4242 --fun 3 --currency 5
           --referrer-url "http://www.example.com/welcome?from=e2e")
  openssl req -x509 -newkey rsa:2048 -nodes -keyout "$state/key.pem" -out "$state/cert.pem" -days 2 \
    -subj "/CN=Orvanta e2e signing" >/dev/null 2>&1 || { echo "no test certificate"; exit 1; }
  cp "$orvanta" "$state/OrvantaSigned.exe"
  bash "$src/scripts/sign.sh" --cert "$state/cert.pem" --key "$state/key.pem" "$state/OrvantaSigned.exe" >/dev/null \
    || { echo "signing failed"; exit 1; }
  $py "$src/tools/stamp/orvanta_stamp.py" "$state/OrvantaSigned.exe" -o "$state/downloads/OrvantaSetup.exe" \
    "${profile[@]}" >/dev/null || { echo "stamping failed"; exit 1; }
  osslsigncode verify -CAfile "$state/cert.pem" -in "$state/downloads/OrvantaSetup.exe" >"$state/verify.txt" 2>&1 \
    && ! grep -q Warning "$state/verify.txt" || { echo "the stamped copy does not verify"; cat "$state/verify.txt"; exit 1; }
  # The same download unsigned (the profile in the built-in block) with its
  # identifier left open: a typed-number page first.
  $py "$src/tools/stamp/orvanta_stamp.py" "$orvanta" -o "$state/downloads/NoDid/OrvantaSetup.exe" \
    "${profile[@]}" --did 0 >/dev/null || { echo "stamping failed"; exit 1; }
  # The same download with its language stamped (nothing asked): Arabic,
  # German and Japanese.
  for lang in AR:14 DE:2 JA:7; do
    mkdir -p "$state/downloads/${lang%%:*}"
    $py "$src/tools/stamp/orvanta_stamp.py" "$orvanta" -o "$state/downloads/${lang%%:*}/OrvantaSetup.exe" \
      "${profile[@]}" --lang "${lang##*:}" --lang-mask 0 >/dev/null || { echo "stamping failed"; exit 1; }
  done

  if [ "$stack" = production ]; then
    # Two application hosts' worth of servers sharing one database, as deployed.
    for n in 1 2; do
      db=()
      [ $n -eq 2 ] && db=(--log-db "$(cat "$state/stack1/dsn")")
      $py "$src/service/localstack.py" up "$state/stack$n" --release "$state/release$n" "${db[@]}" \
        >/dev/null 2>"$state/server$n.err" </dev/null \
        || { echo "the production stack $n could not be started:"; cat "$state/server$n.err"; stop_servers; exit 1; }
      ln -sf "stack$n/access.log" "$state/access$n.log"
      cp "$state/stack$n/port" "$state/server$n.port"
    done
  else
    for n in 1 2; do
      setsid $py "$src/service/download_server.py" --release "$state/release$n" --port 0 \
        --port-file "$state/server$n.port" --log-db "$state/reports.sqlite" \
        --access-log "$state/access$n.log" >/dev/null 2>"$state/server$n.err" </dev/null &
      echo $! >"$state/server$n.pid"
    done
  fi
  for n in 1 2; do
    for _ in $(seq 1 100); do [ -s "$state/server$n.port" ] && break; sleep 0.1; done
    [ -s "$state/server$n.port" ] || { echo "server $n did not start"; cat "$state/server$n.err"; stop_servers; exit 1; }
  done
  echo "releases packed, servers on ports $(cat "$state/server1.port") and $(cat "$state/server2.port")"
  ;;
cleanup)
  stop_servers
  # What the player saw, as PNG files beside the BMPs (ImageMagick, when present).
  if command -v convert >/dev/null; then
    for f in "$(dirname "$state")"/screens/*.bmp; do
      [ -e "$f" ] && convert "$f" "${f%.bmp}.png"
    done
  fi
  ;;
esac
exit 0
