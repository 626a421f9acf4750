"""The report store's summary (service/summary.py) against the raw rows, on SQLite and on
PostgreSQL (started here on loopback): after any mix of reports it equals a recount, and a
store made before the summary existed opens with the same dashboard figures."""

import datetime
import os
import sqlite3
import tempfile
import threading
import unittest
from contextlib import closing

from service import localstack
from service.funnel_store import _SCHEMA, COLUMNS, _Store, Failure, ManifestRequest, open_store
from service.tests.support import raw_figures, shown_figures

NOW = datetime.datetime.now(datetime.timezone.utc)
OLD, NEW = "20240101120000", "20240301120000"
F1, F2 = (1700000000, 11), (1700000001, 22)


def ago(days):
    return (NOW - datetime.timedelta(days=days)).isoformat(timespec="milliseconds")


# Operations: ("report", funnel, status, did, received or None for now),
# ("failure", funnel, reason, win_ver), ("manifest", funnel or None, release, outcome).
CASES = {
    "stages of one funnel, some sent twice": [("report", F1, s, 1, None) for s in (30, 30, 40, 60, 60)],
    "one funnel under two campaigns": [("report", F1, 30, 1, None), ("report", F1, 30, 2, None),
                                       ("report", F1, 40, 2, None)],
    "one funnel over days, one day out of sight": [("report", F1, 30, 1, ago(3)), ("report", F1, 30, 1, None),
                                                   ("report", F2, 30, 1, ago(200)), ("report", F2, 40, 1, ago(1))],
    "a failure before its manifest request": [("failure", F1, "disk-full", "6.1.7601"),
                                              ("manifest", F1, OLD, "manifest"), ("failure", F1, "disk-full", "")],
    "a failure after, a newer then an older release": [("manifest", F1, NEW, "manifest"),
                                                       ("manifest", F1, OLD, "no-update"),
                                                       ("manifest", F2, OLD, "manifest"),
                                                       ("failure", F2, "server-unreachable", "10.0.19045")],
    "errors and requests without a funnel": [("manifest", F1, OLD, "error"), ("manifest", None, OLD, "manifest"),
                                             ("failure", F2, "cancelled", "")],
}


# Many funnels over few campaigns, with failures and manifest requests among the reports.
MIXED = [op for i in range(160) for op in (
    [("report", (1700000000 + i // 4, i % 7), (30, 40, 50, 60)[i % 4], i % 3, None)]
    + ([("failure", (1700000000 + i // 4, i % 7), ("disk-full", "cancelled")[i % 2], "6.1.7601")] if i % 5 == 0 else [])
    + ([("manifest", (1700000000 + i // 4, i % 7), (OLD, NEW)[i % 2], "manifest")] if i % 3 == 0 else []))]


def apply(store, location, operations):
    for op, funnel, *rest in operations:
        if op == "report" and rest[2] is not None:
            raw_insert(location, "reports", COLUMNS, (rest[2],) + funnel + (rest[0], rest[1], 0, -12, "test"))
        elif op == "report":
            store.add(funnel + (rest[0], rest[1], 0, -12), "test")
        elif op == "failure":
            store.add_failure(Failure(*funnel, 1, 0, -12, rest[0], 5, "Install", "1.0", rest[1], ""), "test")
        else:
            store.add_manifest_request(ManifestRequest(*(funnel or (None, None)), *((1, 0, -12) if funnel else
                                                       (None,) * 3), "Halvenor", "", *rest), "test")


def raw_execute(location, sql, params=()):
    """One statement on its own connection, beside any store (another program, an older
    server); a query's rows."""
    if location.startswith("postgresql://"):
        import psycopg2
        with closing(psycopg2.connect(location)) as db, db, db.cursor() as cur:
            cur.execute(sql.replace("?", "%s"), params or None)
            return cur.fetchall() if cur.description else []
    with closing(sqlite3.connect(location)) as db, db:
        return db.execute(sql, params).fetchall()


def raw_insert(location, table, columns, values):
    raw_execute(location, "INSERT INTO %s (%s) VALUES (%s)" % (table, columns, ", ".join("?" * len(values))), values)


class RawStore(_Store):
    """The raw tables only, written and read as stores did before the summary."""

    def __init__(self, location):
        self.location = location

    def _insert(self, table, columns, values):
        raw_insert(self.location, table, columns, values)

    def _fetch(self, queries):
        return [raw_execute(self.location, sql, params) for sql, params in queries]


def setUpModule():
    global TMP, PG
    TMP = tempfile.TemporaryDirectory()
    os.chmod(TMP.name, 0o755)  # PostgreSQL (user nobody) looks inside
    PG = localstack.Postgres(os.path.join(TMP.name, "postgres")).start()


def tearDownModule():
    PG.stop()
    TMP.cleanup()


class SummaryTest(unittest.TestCase):
    def locations(self, name):
        """An empty SQLite store and an emptied PostgreSQL database."""
        raw_execute(PG.dsn, "DROP SCHEMA public CASCADE; CREATE SCHEMA public")
        sqlite = os.path.join(TMP.name, "".join(c for c in name if c.isalnum()) + ".sqlite")
        return {"SQLite": sqlite, "PostgreSQL": PG.dsn}

    def test_summary_equals_a_recount_after_a_mix_of_reports(self):
        for name, operations in CASES.items():
            for kind, location in self.locations(name).items():
                with self.subTest(case=name, store=kind):
                    store = open_store(location)
                    self.addCleanup(store.close)
                    apply(store, location, operations)
                    self.assertEqual(raw_figures(store, NOW), shown_figures(store, NOW))

    def test_a_store_from_before_the_summary_shows_the_same_figures(self):
        operations = [op for ops in CASES.values() for op in ops]
        for kind, location in self.locations("before").items():
            with self.subTest(store=kind):
                postgres = kind == "PostgreSQL"
                for statement in _SCHEMA:  # the tables as stores were made before
                    raw_execute(location, statement.format(id="BIGSERIAL" if postgres else "INTEGER"))
                raw = RawStore(location)
                apply(raw, location, operations)
                expected = raw_figures(raw, NOW)
                self.assertEqual(12, expected["totals"]["reports"])
                store = open_store(location)
                self.addCleanup(store.close)
                self.assertEqual(expected, shown_figures(store, NOW))
                apply(store, location, CASES["one funnel under two campaigns"])  # and it keeps counting
                self.assertEqual(raw_figures(store, NOW), shown_figures(store, NOW))

    def test_rows_stored_by_concurrent_writers_while_the_summary_is_read_count_once(self):
        for kind, location in self.locations("concurrent").items():
            with self.subTest(store=kind):
                store = open_store(location)
                self.addCleanup(store.close)
                store.FOLD_EVERY = 5  # PostgreSQL: writers fold often, beside the reader's folds
                writers = [threading.Thread(target=apply, args=(store, location, MIXED[i::4])) for i in range(4)]
                for writer in writers:
                    writer.start()
                while any(writer.is_alive() for writer in writers):
                    shown_figures(store, NOW)
                for writer in writers:
                    writer.join()
                self.assertEqual(raw_figures(store, NOW), shown_figures(store, NOW))
