"""Where funnel and failure reports are kept: SQLite (the default, standard library) or
PostgreSQL (python3-psycopg2), chosen by a connection string:

    reports.sqlite | sqlite:///abs/path/reports.sqlite      SQLite file (created when missing)
    postgresql://user@host:port/dbname (also postgres://)  PostgreSQL

    store = open_store(location)
    store.add((start_time, start_random, status, did, tag1, tag2), client)
    counts, totals = store.funnel_counts(by=None | "did" | "tag1" | "tag2")
    store.add_failure(Failure(...), client)
    store.add_manifest_request(ManifestRequest(...), client)
    counts = store.failure_counts(by="reason" | "win_ver" | "stage" | "build" | "did" | ...)
    store.counts(["all", "day", ...])  # the summary's counters (service/summary.py)
    store.close()

The funnel, the dashboard's figures and the failure counts by reason and Windows version
are read from summary tables the database keeps as rows arrive; other counts scan the rows.

Both create their schema on first use and take concurrent writers: threads of one
process and several processes (application workers on one or more hosts). Connections
are opened lazily and per process, so a store made before a worker fork is safe.
"""

import datetime
import os
import threading
import time
from collections import namedtuple

from service import summary

BY_COLUMNS = {"did": "did", "tag1": "tag1", "tag2": "tag2"}
COLUMNS = "received, start_time, start_random, status, did, tag1, tag2, client"
# A failed installation's report; error is the system's or the HTTP code (unsigned 32 bits),
# asked_date the release date the installer asked with ("" on a first installation).
Failure = namedtuple("Failure", "start_time start_random did tag1 tag2 reason error stage build win_ver asked_date")
FAILURE_COLUMNS = "received, " + ", ".join(Failure._fields) + ", client"
FAILURE_BY = ("reason", "win_ver", "stage", "build", "asked_date", "did", "tag1", "tag2")
# A manifest request's answer: the release (its LastUpdateDate) and the outcome ("manifest",
# "no-update", "error"); the funnel values are None when the request's profile lacks them.
ManifestRequest = namedtuple("ManifestRequest",
                             "start_time start_random did tag1 tag2 brand asked_date release_date outcome")
MANIFEST_COLUMNS = "received, " + ", ".join(ManifestRequest._fields) + ", client"

# {id}: the key column's type, which the two databases name differently.
_SCHEMA = ("""
CREATE TABLE IF NOT EXISTS reports (
    id {id} PRIMARY KEY,
    received TEXT NOT NULL,
    start_time INTEGER NOT NULL,
    start_random INTEGER NOT NULL,
    status INTEGER NOT NULL,
    did INTEGER NOT NULL,
    tag1 INTEGER NOT NULL,
    tag2 INTEGER NOT NULL,
    client TEXT NOT NULL
)""", "CREATE INDEX IF NOT EXISTS reports_funnel ON reports(status, start_time, start_random)", """
CREATE TABLE IF NOT EXISTS failures (
    id {id} PRIMARY KEY,
    received TEXT NOT NULL,
    start_time INTEGER NOT NULL,
    start_random INTEGER NOT NULL,
    did INTEGER NOT NULL,
    tag1 INTEGER NOT NULL,
    tag2 INTEGER NOT NULL,
    reason TEXT NOT NULL,
    error BIGINT NOT NULL,
    stage TEXT NOT NULL,
    build TEXT NOT NULL,
    win_ver TEXT NOT NULL,
    asked_date TEXT NOT NULL,
    client TEXT NOT NULL
)""", "CREATE INDEX IF NOT EXISTS failures_funnel ON failures(start_time, start_random)", """
CREATE TABLE IF NOT EXISTS manifest_requests (
    id {id} PRIMARY KEY,
    received TEXT NOT NULL,
    start_time INTEGER,
    start_random INTEGER,
    did INTEGER,
    tag1 INTEGER,
    tag2 INTEGER,
    brand TEXT NOT NULL,
    asked_date TEXT NOT NULL,
    release_date TEXT NOT NULL,
    outcome TEXT NOT NULL,
    client TEXT NOT NULL
)""", "CREATE INDEX IF NOT EXISTS manifest_requests_funnel ON manifest_requests(start_time, start_random)")


def _now():
    return datetime.datetime.now(datetime.timezone.utc).isoformat(timespec="milliseconds")


def is_postgres(location):
    return location.startswith(("postgresql://", "postgres://"))


def sqlite_path(location):
    return location[len("sqlite://"):] if location.startswith("sqlite://") else location


def open_store(location):
    return PostgresStore(location) if is_postgres(location) else SqliteStore(sqlite_path(location))


class _Store:
    """What both databases do alike. A database's class gives _insert(table, columns,
    values) and _fetch(queries), both with "?" for parameters."""

    def fetch(self, queries):
        """[rows of each (sql, params)], on one connection; "?" stands for a parameter."""
        return self._fetch(queries)

    def add(self, report, client):
        self._insert("reports", COLUMNS, (_now(),) + tuple(report) + (client,))

    def add_failure(self, failure, client):
        self._insert("failures", FAILURE_COLUMNS, (_now(),) + tuple(failure) + (client,))

    def add_manifest_request(self, record, client):
        self._insert("manifest_requests", MANIFEST_COLUMNS, (_now(),) + tuple(record) + (client,))

    def counts(self, kinds):
        """{kind: {(grp, sub): n}} from the summary counters (service/summary.py)."""
        self._fold(wait=True)
        rows, = self._fetch([("SELECT kind, grp, sub, SUM(n) FROM summary_counts WHERE kind IN (%s)"
                              " GROUP BY kind, grp, sub" % ", ".join("?" * len(kinds)), tuple(kinds))])
        result = {kind: {} for kind in kinds}
        for kind, grp, sub, n in rows:
            result[kind][(grp, sub)] = int(n)
        return result

    def _fold(self, wait):
        """Counts the rows the summary has not counted yet, where the database leaves that for
        later; with `wait`, after a fold under way, so that what is read includes every row
        stored before."""

    def manifest_counts(self):
        """{(release date, outcome): requests}."""
        return self.counts(["manifest"])["manifest"]

    def funnel_counts(self, by=None):
        """({group: {status: distinct funnels}}, (reports, distinct funnels)); the group
        is None unless `by` is given."""
        kind = "all" if by is None else BY_COLUMNS[by]  # the summary names its kinds as the columns
        found = self.counts([kind, "rows", "funnel"])
        result = {}
        for (grp, sub), n in found[kind].items():
            result.setdefault(int(grp) if by else None, {})[int(sub)] = n
        return result, (found["rows"].get(("reports", ""), 0), found["funnel"].get(("", ""), 0))

    def failure_counts(self, by="reason"):
        """{value of `by`: failure reports}."""
        if by not in FAILURE_BY:
            raise ValueError("failures cannot be counted by %r" % by)
        if by in ("reason", "win_ver"):  # kept in the summary: the dashboard's
            kind = "fail_" + by
            return {grp: n for (grp, _), n in self.counts([kind])[kind].items()}
        rows, = self._fetch([("SELECT %s, COUNT(*) FROM failures GROUP BY %s" % (by, by), ())])
        return {group: count for group, count in rows}


class SqliteStore(_Store):
    """One connection per process, shared by its threads under a lock; processes
    wait for each other through SQLite's own file lock (WAL journal)."""

    def __init__(self, path, timeout=60.0):
        self.path = path
        self._timeout = timeout
        self._lock = threading.Lock()
        self._db = None
        self._pid = None
        with self._lock:
            self._connection()  # the schema exists once the store is made

    def _connection(self):
        if self._db is None or self._pid != os.getpid():
            import sqlite3
            db = sqlite3.connect(self.path, timeout=self._timeout, check_same_thread=False,
                                 isolation_level=None)
            self._use_wal(db, sqlite3)
            try:
                db.execute("BEGIN IMMEDIATE")  # one process creates and backfills the summary
                for statement in _SCHEMA + summary.TABLES:
                    db.execute(statement.format(id="INTEGER"))
                found = {v for v, in db.execute("SELECT version FROM summary_state")}
                if summary.VERSION not in found:
                    for statement in summary.migration(False, found):
                        db.execute(statement)
                db.execute("COMMIT")
            except BaseException:
                if db.in_transaction:
                    db.execute("ROLLBACK")
                db.close()
                raise
            self._db, self._pid = db, os.getpid()
        return self._db

    def _use_wal(self, db, sqlite3):
        # Two processes opening a new store at once: SQLite refuses the
        # journal switch of one at once ("database is locked") instead of
        # waiting its busy time-out, so the switch is tried again here.
        deadline = time.monotonic() + self._timeout
        while True:
            try:
                db.execute("PRAGMA journal_mode=WAL")
                return
            except sqlite3.OperationalError as error:
                if "locked" not in str(error) or time.monotonic() > deadline:
                    raise
                time.sleep(0.05)

    def _insert(self, table, columns, values):
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, columns, ", ".join("?" * len(values)))
        with self._lock:
            self._connection().execute(sql, values)

    def _fetch(self, queries):
        with self._lock:
            db = self._connection()
            return [db.execute(sql, params).fetchall() for sql, params in queries]

    def close(self):
        with self._lock:
            if self._db is not None and self._pid == os.getpid():
                self._db.close()
            self._db = None


class PostgresStore(_Store):
    """A small pool of connections per process; a thread waits for a free one."""

    POOL = 8
    FOLD_EVERY = 500  # rows stored by this process between two folds of the summary
    _SCHEMA_LOCK = 0x4F52564E  # advisory lock: workers starting together create the schema once

    def __init__(self, dsn):
        try:
            import psycopg2  # only this store needs it
        except ImportError:
            raise RuntimeError("the PostgreSQL store needs python3-psycopg2: run Debian's /usr/bin/python3")
        self._psycopg2 = psycopg2
        self.dsn = dsn
        self._lock = threading.Lock()
        self._free = []
        self._slots = threading.BoundedSemaphore(self.POOL)
        self._pid = os.getpid()
        self._stored = 0
        conn = self._take()
        self._give(conn)

    def _connect(self):
        conn = self._psycopg2.connect(self.dsn)
        with conn, conn.cursor() as cur:
            cur.execute("SELECT pg_advisory_xact_lock(%s)", (self._SCHEMA_LOCK,))
            for statement in _SCHEMA + summary.TABLES:
                cur.execute(statement.format(id="BIGSERIAL"))
            cur.execute("SELECT version FROM summary_state")
            found = {v for v, in cur.fetchall()}
            if summary.VERSION not in found:
                for statement in summary.migration(True, found):
                    cur.execute(statement)
        return conn

    def _take(self):
        self._slots.acquire()
        with self._lock:
            if self._pid != os.getpid():  # forked: the parent's connections are not ours
                self._free, self._pid = [], os.getpid()
            conn = self._free.pop() if self._free else None
        try:
            return conn if conn is not None and not conn.closed else self._connect()
        except BaseException:
            self._slots.release()
            raise

    def _give(self, conn, broken=False):
        if broken:
            try:
                conn.close()
            except self._psycopg2.Error:
                pass
        else:
            with self._lock:
                self._free.append(conn)
        self._slots.release()

    def _run(self, work):
        # A connection that broke (database restarted) is dropped and the work tried once more.
        for attempt in (1, 2):
            conn = self._take()
            try:
                with conn:
                    result = work(conn)
            except self._psycopg2.OperationalError:
                self._give(conn, broken=True)
                if attempt == 2:
                    raise
                continue
            except BaseException:
                self._give(conn, broken=True)
                raise
            self._give(conn)
            return result

    def _insert(self, table, columns, values):
        sql = "INSERT INTO %s (%s) VALUES (%s)" % (table, columns, ", ".join(["%s"] * len(values)))

        def insert(conn):
            with conn.cursor() as cur:
                cur.execute(sql, values)
        self._run(insert)
        with self._lock:
            self._stored += 1
            due = self._stored % self.FOLD_EVERY == 0
        if due:
            try:
                self._fold(wait=False)
            except self._psycopg2.Error:
                pass  # the row is stored and stays pending: the next fold counts it

    def _fold(self, wait):
        def fold(conn):
            with conn.cursor() as cur:
                cur.execute("SELECT pg_%sadvisory_xact_lock(%%s)" % ("" if wait else "try_"), (summary.FOLD_LOCK,))
                if wait or cur.fetchone()[0]:  # else a fold is under way: it or the next one counts these
                    for statement in summary.FOLD:
                        cur.execute(statement)
        self._run(fold)

    def _fetch(self, queries):
        def fetch(conn):
            results = []
            with conn.cursor() as cur:
                for sql, params in queries:
                    cur.execute(sql.replace("?", "%s"), params or None)
                    results.append(cur.fetchall())
            return results
        return self._run(fetch)

    def close(self):
        with self._lock:
            conns, self._free = self._free, []
        for conn in conns:
            conn.close()
