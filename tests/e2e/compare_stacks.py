#!/usr/bin/env python3
"""After the same scenarios ran against the embedded servers and the production stack,
checks that both saw the same requests with the same answers and that their stores
give the same funnel and the same failure reports.

    compare_stacks.py EMBEDDED_STATE PRODUCTION_STATE

Requests are compared as sets of request line + status: a scenario that CTest ran a
second time repeats its requests; the scenarios themselves count them per run.
"""

import os
import re
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from service import log_server  # noqa: E402

# Both access-log formats end with: "<request line>" <status> <size>
_LINE = re.compile(r'"([^"]*)" (\d{3}) ')


def requests(state):
    seen = set()
    for n in (1, 2):
        with open(os.path.join(state, "access%d.log" % n), encoding="latin-1") as f:
            for line in f:
                m = _LINE.search(line)
                if m:
                    seen.add((n, m.group(1), int(m.group(2))))
    return seen


def store(state):
    dsn = os.path.join(state, "stack1", "dsn")
    if os.path.exists(dsn):
        with open(dsn) as f:
            return f.read().strip()
    return os.path.join(state, "reports.sqlite")


def funnel(state):
    counts, totals = log_server.funnel_counts(store(state))
    return log_server.format_funnel(counts, totals), counts


def main(embedded, production):
    failed = False
    ours, theirs = requests(embedded), requests(production)
    print("requests: %d distinct on the embedded servers, %d on the production stack" % (len(ours), len(theirs)))
    for what, lines in (("embedded only", ours - theirs), ("production only", theirs - ours)):
        for n, line, status in sorted(lines):
            print("%s (release %d): %s -> %d" % (what, n, line, status))
            failed = True
    if not ours:
        print("no requests were logged")
        failed = True
    (text_a, counts_a), (text_b, counts_b) = funnel(embedded), funnel(production)
    print("funnel, embedded (SQLite):\n%s\nfunnel, production (PostgreSQL):\n%s" % (text_a, text_b))
    if counts_a != counts_b or not counts_a:
        print("the funnels differ")
        failed = True
    failures_a, failures_b = (log_server.failure_counts(store(s)) for s in (embedded, production))
    print("failure reports by reason: embedded %s, production %s" % (failures_a, failures_b))
    if failures_a != failures_b or not failures_a:
        print("the failure reports differ")
        failed = True
    print("stacks compared: %s" % ("DIFFERENT" if failed else "same requests, answers, funnel and failures"))
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:3]))
