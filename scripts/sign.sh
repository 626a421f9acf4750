#!/usr/bin/env bash
# Signs Windows programs with an Authenticode signature (osslsigncode, SHA-256),
# each in place.
#   scripts/sign.sh (--cert CERT.pem --key KEY.pem | --pkcs12 FILE.p12) [--pass-file FILE]
#                   [--timestamp URL] [--name TEXT] [--url URL] TARGET...
# A TARGET is a program, or a build folder standing for every program a release
# ships from it: app/Orvanta.exe, decoder/lzma.exe, sampleclient/guiclient.exe and
# sampleclient/firstrun.exe. --timestamp names an RFC 3161 time-stamping server, so
# the signature stays valid after the certificate expires. A signed program keeps
# its signature when the web site stamps it (tools/stamp/orvanta_stamp.py).
set -euo pipefail

usage() {
  sed -n '2,10p' "$0" | sed 's/^# \{0,1\}//' >&2
  exit 2
}

cert="" key="" pkcs12="" pass_file="" timestamp="" name="Orvanta" url=""
targets=()
while [ $# -gt 0 ]; do
  case "$1" in
    --cert) cert=${2:?}; shift 2 ;;
    --key) key=${2:?}; shift 2 ;;
    --pkcs12) pkcs12=${2:?}; shift 2 ;;
    --pass-file) pass_file=${2:?}; shift 2 ;;
    --timestamp) timestamp=${2:?}; shift 2 ;;
    --name) name=${2:?}; shift 2 ;;
    --url) url=${2:?}; shift 2 ;;
    -h|--help) usage ;;
    -*) echo "sign.sh: unknown option $1" >&2; usage ;;
    *) targets+=("$1"); shift ;;
  esac
done

credentials=()
if [ -n "$pkcs12" ]; then
  [ -z "$cert$key" ] || { echo "sign.sh: give --pkcs12 or --cert and --key, not both" >&2; exit 2; }
  credentials=(-pkcs12 "$pkcs12")
elif [ -n "$cert" ] && [ -n "$key" ]; then
  credentials=(-certs "$cert" -key "$key")
else
  echo "sign.sh: a certificate and key (--cert, --key) or --pkcs12 is needed" >&2
  usage
fi
[ -z "$pass_file" ] || credentials+=(-readpass "$pass_file")
[ ${#targets[@]} -gt 0 ] || { echo "sign.sh: nothing to sign" >&2; usage; }
command -v osslsigncode >/dev/null || { echo "sign.sh: osslsigncode is missing (scripts/setup.sh installs it)" >&2; exit 1; }

options=(-h sha256 -n "$name")
[ -z "$url" ] || options+=(-i "$url")
[ -z "$timestamp" ] || options+=(-ts "$timestamp")

files=()
for t in "${targets[@]}"; do
  if [ -d "$t" ]; then
    for f in app/Orvanta.exe decoder/lzma.exe sampleclient/guiclient.exe sampleclient/firstrun.exe; do
      [ -f "$t/$f" ] || { echo "sign.sh: $t/$f is missing (build first)" >&2; exit 1; }
      files+=("$t/$f")
    done
  elif [ -f "$t" ]; then
    files+=("$t")
  else
    echo "sign.sh: $t does not exist" >&2
    exit 1
  fi
done

for f in "${files[@]}"; do
  # Through a new file beside it: a failed signing leaves the program as it was.
  # An existing signature is replaced (and with it a profile stamped there).
  tmp="$(dirname "$f")/.signing-$$-$(basename "$f")"
  if ! osslsigncode sign "${credentials[@]}" "${options[@]}" -in "$f" -out "$tmp" >"$tmp.log" 2>&1; then
    cat "$tmp.log" >&2
    rm -f "$tmp" "$tmp.log"
    echo "sign.sh: signing $f failed" >&2
    exit 1
  fi
  rm -f "$tmp.log"
  chmod --reference="$f" "$tmp"
  mv -f "$tmp" "$f"
  echo "signed $f"
done
