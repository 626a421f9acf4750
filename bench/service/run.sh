#!/usr/bin/env bash
# Download server figures: manifest requests per second under 50 concurrent loopback
# clients, and the throughput of one package file. Needs only python3.
set -euo pipefail
exec python3 "$(cd "$(dirname "$0")" && pwd)/bench_manifest.py"
