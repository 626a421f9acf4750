#!/usr/bin/env bash
# Service figures: manifest requests per second (embedded server vs gunicorn),
# package throughput (nginx vs embedded), funnel reports stored per second
# (SQLite vs PostgreSQL). Starts and stops its own servers (scripts/setup.sh
# installs them); needs no build.
set -euo pipefail
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3   # Debian's, with python3-psycopg2
exec "$py" "$(cd "$(dirname "$0")" && pwd)/bench_service.py"
