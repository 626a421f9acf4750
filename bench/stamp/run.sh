#!/usr/bin/env bash
# Stamping a copy of the release build against a plain copy of the same file,
# unsigned and signed (with a throw-away certificate; the profile then goes into
# the certificate area). Uses build/x86_64/app/Orvanta.exe when it exists, else
# a built profile probe.
set -euo pipefail
root="$(cd "$(dirname "$0")/../.." && pwd)"
exe="$root/build/x86_64/app/Orvanta.exe"
if [ ! -f "$exe" ]; then
  exe="$(ls -t "$root"/build/*/tests/profile/profile_probe.exe 2>/dev/null | head -n1 || true)"
fi
if [ -z "$exe" ] || [ ! -f "$exe" ]; then
  echo "no executable to stamp: build first (scripts/build.sh x86_64)" >&2
  exit 1
fi
python=python3
[ -x /usr/bin/python3 ] && python=/usr/bin/python3
work="$(mktemp -d)"
trap 'rm -rf "$work"' EXIT
openssl req -x509 -newkey rsa:2048 -nodes -keyout "$work/key.pem" -out "$work/cert.pem" -days 2 \
  -subj "/CN=Orvanta benchmark signing" >/dev/null 2>&1
cp "$exe" "$work/signed.exe"
bash "$root/scripts/sign.sh" --cert "$work/cert.pem" --key "$work/key.pem" "$work/signed.exe" >/dev/null
"$python" "$root/bench/stamp/bench_stamp.py" "$python" "$root/tools/stamp/orvanta_stamp.py" "$exe" "$work" \
  "$work/signed.exe"
