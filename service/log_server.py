#!/usr/bin/env python3
"""Log server for the installer's funnel reports.

    log_server.py [serve] --db reports.sqlite [--port 0] [--port-file F]
    log_server.py funnel --db reports.sqlite [--by did|tag1|tag2]

"serve" stores every "ClientsRecruitChain.asp?StartTime=..&StartRandom=..&Status=..&Did=..
&Tag1=..&Tag2=..&" request in SQLite; "funnel" prints how many distinct funnels
(StartTime + StartRandom) reached each stage and the conversion between stages.
"""

import argparse
import datetime
import os
import re
import sqlite3
import sys
import threading

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import httpcommon  # noqa: E402

REPORT_PATH = "clientsrecruitchain.asp"
PARAMS = ("StartTime", "StartRandom", "Status", "Did", "Tag1", "Tag2")
STAGES = ((30, "downloads started"), (40, "answered"), (50, "installed"), (60, "finished"))
BY_COLUMNS = {"did": "did", "tag1": "tag1", "tag2": "tag2"}

_INT32 = re.compile(r"^-?\d{1,10}$")

SCHEMA = """
CREATE TABLE IF NOT EXISTS reports (
    id INTEGER PRIMARY KEY,
    received TEXT NOT NULL,
    start_time INTEGER NOT NULL,
    start_random INTEGER NOT NULL,
    status INTEGER NOT NULL,
    did INTEGER NOT NULL,
    tag1 INTEGER NOT NULL,
    tag2 INTEGER NOT NULL,
    client TEXT NOT NULL
);
CREATE INDEX IF NOT EXISTS reports_funnel ON reports(status, start_time, start_random);
"""


def parse_report(query):
    """The six report values as ints, or None when one is missing or not a 32-bit
    decimal number (such a request is refused rather than stored half-read)."""
    values = httpcommon.parse_query(query)
    result = []
    for name in PARAMS:
        text = values.get(name, "")
        if not _INT32.match(text):
            return None
        number = int(text)
        if not -2**31 <= number < 2**31:
            return None
        result.append(number)
    return tuple(result)


class ReportStore:
    """One SQLite connection shared by the request threads under a lock."""

    def __init__(self, path):
        self._lock = threading.Lock()
        self._db = sqlite3.connect(path, check_same_thread=False)
        self._db.executescript(SCHEMA)
        self._db.commit()

    def add(self, report, client):
        received = datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")
        with self._lock:
            self._db.execute(
                "INSERT INTO reports (received, start_time, start_random, status, did, tag1, tag2, client)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)", (received,) + tuple(report) + (client,))
            self._db.commit()

    def close(self):
        with self._lock:
            self._db.close()


def handle_report(handler, query, store):
    """Answer one funnel report; shared with the download server's log role."""
    report = parse_report(query)
    if report is None:
        handler.send_text(400, "bad report\n")
        return
    if store is not None:
        store.add(report, handler.client_address[0])
    handler.send_text(200, "OK\n")


class LogHandler(httpcommon.Handler):
    def do_GET(self):
        target = self.target()
        if target is None or target[1].lower() != REPORT_PATH:
            self.send_text(404, "not found\n")
            return
        handle_report(self, target[2], self.server.store)

    do_HEAD = do_GET


def make_server(db_path, bind="127.0.0.1", port=0, log_stream=sys.stderr):
    server = httpcommon.Server((bind, port), LogHandler, log_stream)
    server.store = ReportStore(db_path)
    return server


def funnel_counts(db_path, by=None):
    """{group: {status: distinct funnels}}; the group is None unless `by` is given."""
    column = BY_COLUMNS[by] if by else "NULL"
    db = sqlite3.connect(db_path)
    try:
        db.executescript(SCHEMA)
        rows = db.execute(
            "SELECT %s, status, COUNT(DISTINCT start_time || ':' || start_random) FROM reports"
            " GROUP BY 1, 2" % column).fetchall()
        totals = db.execute("SELECT COUNT(*), COUNT(DISTINCT start_time || ':' || start_random)"
                            " FROM reports").fetchone()
    finally:
        db.close()
    result = {}
    for group, status, count in rows:
        result.setdefault(group, {})[status] = count
    return result, totals


def _percent(part, whole):
    return "%.1f%%" % (100.0 * part / whole) if whole else "-"


def format_funnel(counts, totals, by=None):
    lines = []
    groups = sorted(counts, key=lambda g: (g is None, g)) or [None]
    for group in groups:
        per_status = counts.get(group, {})
        if by:
            lines.append("%s=%s" % (by, group))
        lines.append("%-22s %8s %14s %14s" % ("stage", "funnels", "from previous", "from started"))
        started = per_status.get(STAGES[0][0], 0)
        previous = None
        for status, name in STAGES:
            n = per_status.get(status, 0)
            lines.append("%-22s %8d %14s %14s" % (
                "%d %s" % (status, name), n,
                "" if previous is None else _percent(n, previous),
                "" if previous is None else _percent(n, started)))
            previous = n
        lines.append("")
    lines.append("reports: %d, distinct funnels: %d" % totals)
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Funnel report log server")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="receive and store reports")
    serve.add_argument("--db", required=True, help="SQLite file (created when missing)")
    httpcommon.add_common_arguments(serve)
    funnel = sub.add_parser("funnel", help="print the funnel")
    funnel.add_argument("--db", required=True)
    funnel.add_argument("--by", choices=sorted(BY_COLUMNS), help="one funnel per value of this field")
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("serve", "funnel", "-h", "--help"):
        argv.insert(0, "serve")  # serving is the default
    args = parser.parse_args(argv)

    if args.command == "funnel":
        if not os.path.exists(args.db):
            print("no such database: %s" % args.db, file=sys.stderr)
            return 2
        counts, totals = funnel_counts(args.db, args.by)
        sys.stdout.write(format_funnel(counts, totals, args.by))
        return 0

    server = make_server(args.db, args.bind, args.port, httpcommon.open_access_log(args.access_log))
    return httpcommon.serve_until_signalled(server, args, server.store.close)


if __name__ == "__main__":
    sys.exit(main())
