#!/usr/bin/env python3
"""The operators' dashboard page time with 1,000,000 stored funnel reports, on SQLite and on
PostgreSQL: the raw rows are bulk-loaded as a store of any version holds them (400,000
installations over 90 days, 20 campaigns; a manifest request each, a failure report from
one in twenty), the store is opened (an older store gets its summary made then: timed
apart), and the page (figures and HTML) is built three times; the median is printed.

    bench_dashboard.py [--reports N]
"""

import argparse
import datetime
import io
import os
import random
import sys
import tempfile
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from service import dashboard, localstack  # noqa: E402
from service.funnel_store import _SCHEMA, COLUMNS, FAILURE_COLUMNS, MANIFEST_COLUMNS, open_store  # noqa: E402

STAGES = (30, 40, 50, 60)
REASONS = ("server-unreachable", "disk-full", "digest-mismatch", "manifest-refused", "cancelled")
WINDOWS = ("10.0.19045", "10.0.22631", "6.1.7601", "")


def rows(reports):
    """(reports, failures, manifest requests) rows: funnels of 1 to 4 stages until `reports`."""
    rng = random.Random(24)
    now = datetime.datetime.now(datetime.timezone.utc)
    out = ([], [], [])
    funnel = 0
    while len(out[0]) < reports:
        funnel += 1
        start, rnd = 1700000000 + funnel // 7, funnel % 7 * 4099
        did, tag1, tag2 = rng.randint(1, 20), rng.randint(0, 9), rng.randint(-12, -8)
        received = (now - datetime.timedelta(seconds=rng.randint(0, 90 * 86400))).isoformat(timespec="milliseconds")
        for status in STAGES[:min(rng.choice((1, 2, 3, 4, 4)), reports - len(out[0]))]:
            out[0].append((received, start, rnd, status, did, tag1, tag2, "bench"))
        release = rng.choice(("20240101120000", "20240301120000", "20240501120000"))
        out[2].append((received, start, rnd, did, tag1, tag2, "Halvenor", "", release,
                       rng.choice(("manifest", "manifest", "no-update", "error")), "bench"))
        if funnel % 20 == 0:
            out[1].append((received, start, rnd, did, tag1, tag2, rng.choice(REASONS), 12029, "FetchManifest",
                           "1.4.2", rng.choice(WINDOWS), "", "bench"))
    return out


def load_sqlite(path, data):
    import sqlite3
    db = sqlite3.connect(path)
    with db:
        for statement in _SCHEMA:
            db.execute(statement.format(id="INTEGER"))
        for table, columns, values in zip(("reports", "failures", "manifest_requests"),
                                          (COLUMNS, FAILURE_COLUMNS, MANIFEST_COLUMNS), data):
            db.executemany("INSERT INTO %s (%s) VALUES (%s)" % (table, columns, ", ".join("?" * len(values[0]))),
                           values)
    db.close()


def load_postgres(dsn, data):
    import psycopg2
    conn = psycopg2.connect(dsn)
    with conn, conn.cursor() as cur:
        for statement in _SCHEMA:
            cur.execute(statement.format(id="BIGSERIAL"))
        for table, columns, values in zip(("reports", "failures", "manifest_requests"),
                                          (COLUMNS, FAILURE_COLUMNS, MANIFEST_COLUMNS), data):
            text = "".join("\t".join(str(v) for v in row) + "\n" for row in values)
            cur.copy_expert("COPY %s (%s) FROM STDIN" % (table, columns), io.StringIO(text))
        cur.execute("ANALYZE")
    conn.close()


def measure(name, location, data, load):
    start = time.monotonic()
    load(location, data)
    loaded = time.monotonic() - start
    start = time.monotonic()
    store = open_store(location)
    opened = time.monotonic() - start
    times = []
    for _ in range(3):
        start = time.monotonic()
        figures = dashboard.collect(store, [])
        dashboard.page(figures)
        times.append(time.monotonic() - start)
    store.close()
    print("  %-11s page %6.2f s (median of 3; %s)   store opened in %5.1f s, rows loaded in %5.1f s;"
          " %d reports, %d funnels" % (name, sorted(times)[1], ", ".join("%.2f" % t for t in times), opened, loaded,
                                       figures["totals"]["reports"], figures["totals"]["funnels"]))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--reports", type=int, default=1000000)
    args = parser.parse_args()
    data = rows(args.reports)
    print("dashboard page, %d funnel reports, %d failure reports, %d manifest requests:"
          % tuple(len(d) for d in data))
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        measure("SQLite", os.path.join(tmp, "reports.sqlite"), data, load_sqlite)
        pg = localstack.Postgres(os.path.join(tmp, "postgres")).start()
        try:
            measure("PostgreSQL", pg.dsn, data, load_postgres)
        finally:
            pg.stop()


if __name__ == "__main__":
    main()
