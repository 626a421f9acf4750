#!/usr/bin/env python3
"""Log server for the installer's funnel and failure reports.

    log_server.py [serve] --db DB [--port 0] [--port-file F] [--dashboard-token-file F]
    log_server.py funnel --db DB [--by did|tag1|tag2]

DB is an SQLite file (the default store) or a postgresql:// connection string.
"serve" runs the service's WSGI application with its log role: every
"ClientsRecruitChain.asp?StartTime=..&StartRandom=..&Status=..&Did=..&Tag1=..&Tag2=..&"
and "ClientsFailure.asp?..." request (service/reports.py) is stored; "funnel" prints how
many distinct funnels (StartTime + StartRandom) reached each stage and the conversion
between stages. With a token the log server also serves the operators' dashboard
(service/dashboard.py) from the same database.
"""

import argparse
import os
import sys

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import httpcommon  # noqa: E402
from service.reports import STAGES, percent  # noqa: E402
from service.app import OrvantaApp  # noqa: E402
from service.download_server import dashboard_token  # noqa: E402
from service.funnel_store import BY_COLUMNS, is_postgres, open_store, sqlite_path  # noqa: E402



def make_server(db, bind="127.0.0.1", port=0, log_stream=sys.stderr, trusted_proxies=(), dashboard_token=None):
    store = open_store(db)
    app = OrvantaApp([], store=store, roles=("log", "dashboard"), trusted_proxies=trusted_proxies,
                     dashboard_token=dashboard_token)
    server = httpcommon.Server((bind, port), app, log_stream)
    server.store = store
    return server


def funnel_counts(db, by=None):
    """{group: {status: distinct funnels}}; the group is None unless `by` is given."""
    store = open_store(db)
    try:
        return store.funnel_counts(by)
    finally:
        store.close()


def failure_counts(db, by="reason"):
    """{value of `by`: failure reports}."""
    store = open_store(db)
    try:
        return store.failure_counts(by)
    finally:
        store.close()


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
                "" if previous is None else percent(n, previous),
                "" if previous is None else percent(n, started)))
            previous = n
        lines.append("")
    lines.append("reports: %d, distinct funnels: %d" % totals)
    return "\n".join(lines) + "\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Funnel report log server")
    sub = parser.add_subparsers(dest="command", required=True)
    serve = sub.add_parser("serve", help="receive and store reports")
    serve.add_argument("--db", required=True,
                       help="SQLite file (created when missing) or postgresql:// connection string")
    serve.add_argument("--trust-proxy", action="append", default=[], metavar="ADDRESS",
                       help="a proxy at this address names the client in X-Real-IP (e.g. nginx)")
    serve.add_argument("--dashboard-token-file", metavar="FILE",
                       help="the operators' dashboard token (one line); without it nobody gets in")
    httpcommon.add_common_arguments(serve)
    funnel = sub.add_parser("funnel", help="print the funnel")
    funnel.add_argument("--db", required=True)
    funnel.add_argument("--by", choices=sorted(BY_COLUMNS), help="one funnel per value of this field")
    argv = list(sys.argv[1:] if argv is None else argv)
    if not argv or argv[0] not in ("serve", "funnel", "-h", "--help"):
        argv.insert(0, "serve")  # serving is the default
    args = parser.parse_args(argv)

    if args.command == "funnel":
        if not is_postgres(args.db) and not os.path.exists(sqlite_path(args.db)):
            print("no such database: %s" % args.db, file=sys.stderr)
            return 2
        counts, totals = funnel_counts(args.db, args.by)
        sys.stdout.write(format_funnel(counts, totals, args.by))
        return 0

    httpcommon.configure_logging()
    try:
        token = dashboard_token(args.dashboard_token_file)
    except ValueError as e:
        print(e, file=sys.stderr)
        return 2
    server = make_server(args.db, args.bind, args.port, httpcommon.open_access_log(args.access_log),
                         args.trust_proxy, token)
    return httpcommon.serve_until_signalled(server, args, server.store.close)


if __name__ == "__main__":
    sys.exit(main())
