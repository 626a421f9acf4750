#!/usr/bin/env bash
# Service figures: manifest requests per second (embedded server vs gunicorn),
# package throughput (nginx vs embedded), funnel and failure reports stored per
# second (SQLite vs PostgreSQL), the dashboard page with 1,000,000 stored reports
# (SQLite and PostgreSQL). Starts and stops its own servers (scripts/setup.sh
# installs them); needs no build.
set -euo pipefail
py=python3
[ -x /usr/bin/python3 ] && py=/usr/bin/python3   # Debian's, with python3-psycopg2
here="$(cd "$(dirname "$0")" && pwd)"
"$py" "$here/bench_service.py"
exec "$py" "$here/bench_dashboard.py"
