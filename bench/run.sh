#!/usr/bin/env bash
# Runs every benchmark and prints its figures. Build first: scripts/build.sh x86_64
set -uo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
for script in "$root"/bench/*/run.sh; do
  echo "=== $(basename "$(dirname "$script")")"
  bash "$script" "$@"
done
