"""Summary tables of the report store, kept up to date by the database itself (triggers on
the raw tables), so the dashboard reads a few hundred counters instead of counting distinct
funnels over millions of rows, and rows written by any writer (an older server, a script)
are counted too.

    summary_seen(start_time, start_random, kind, grp, sub)   first sighting of a funnel in
        a group: kind "funnel" (grp, sub empty), "all" (sub = status), "did"/"tag1"/"tag2"/
        "day" (grp = the value, sub = status), "install_day" (grp = day, sub = release)
    summary_counts(kind, grp, sub, shard, n)   rows of summary_seen per (kind, grp, sub),
        plus plain counts: "rows" (grp = table), "fail_reason", "fail_win_ver" (grp = value),
        "manifest" (grp = release, sub = outcome). Readers add up the rows of a key (shard
        is 0 except in stores that v1 kept on PostgreSQL, with up to 8 per key).
    install_release(start_time, start_random, release_date, failed)   per installation its
        newest release given (NULL until one is) and whether it ever reported a failure.
    summary_pending(tbl, id)   PostgreSQL: the raw rows not yet counted. A stored row only
        adds its line here; FOLD counts the lines taken in one go, set by set, and the store
        runs it every few hundred rows and before every read. Counted in its own transaction
        (v1), a funnel report wrote a dozen rows besides itself (six first-seen rows, seven
        counter updates, through thirteen trigger calls) before its commit; now it writes one.

SQLite counts each row as it arrives (one writer at a time: nothing to gain from batches).
A store made before these tables existed is backfilled from the raw rows once, on open,
inside the transaction that creates them (summary_state records it).
"""

VERSION = "v2"

TABLES = ("""
CREATE TABLE IF NOT EXISTS summary_seen (
    start_time BIGINT NOT NULL, start_random BIGINT NOT NULL,
    kind TEXT NOT NULL, grp TEXT NOT NULL, sub TEXT NOT NULL,
    PRIMARY KEY (start_time, start_random, kind, grp, sub)
)""", """
CREATE TABLE IF NOT EXISTS summary_counts (
    kind TEXT NOT NULL, grp TEXT NOT NULL, sub TEXT NOT NULL, shard INTEGER NOT NULL, n BIGINT NOT NULL,
    PRIMARY KEY (kind, grp, sub, shard)
)""", """
CREATE TABLE IF NOT EXISTS install_release (
    start_time BIGINT NOT NULL, start_random BIGINT NOT NULL, release_date TEXT, failed INTEGER NOT NULL,
    PRIMARY KEY (start_time, start_random)
)""", "CREATE INDEX IF NOT EXISTS install_release_by_release ON install_release(release_date, failed)",
    "CREATE TABLE IF NOT EXISTS summary_pending (tbl TEXT NOT NULL, id BIGINT NOT NULL)",
    "CREATE TABLE IF NOT EXISTS summary_state (version TEXT PRIMARY KEY)")

# The groups a funnel report counts in, as (kind, grp, sub) SQL over the report's columns
# (prefixed by {r}: "NEW." in a trigger, "" in the backfill).
_REPORT_GROUPS = (("'funnel'", "''", "''"),
                  ("'all'", "''", "CAST({r}status AS TEXT)"),
                  ("'did'", "CAST({r}did AS TEXT)", "CAST({r}status AS TEXT)"),
                  ("'tag1'", "CAST({r}tag1 AS TEXT)", "CAST({r}status AS TEXT)"),
                  ("'tag2'", "CAST({r}tag2 AS TEXT)", "CAST({r}status AS TEXT)"),
                  ("'day'", "substr({r}received, 1, 10)", "CAST({r}status AS TEXT)"))
_INSTALL_DAY = ("'install_day'", "substr({r}received, 1, 10)", "{r}release_date")
_INSTALLED = "{r}outcome <> 'error' AND {r}start_time IS NOT NULL"
# Newest release wins; a failure's row (release NULL) takes the first release given.
_NEWER = ("CASE WHEN install_release.release_date IS NULL OR excluded.release_date > install_release.release_date"
          " THEN excluded.release_date ELSE install_release.release_date END")
_UPSERT_RELEASE = ("INSERT INTO install_release VALUES ({r}start_time, {r}start_random, {r}release_date, 0)"
                   " ON CONFLICT (start_time, start_random) DO UPDATE SET release_date = " + _NEWER)
_UPSERT_FAILED = ("INSERT INTO install_release VALUES ({r}start_time, {r}start_random, NULL, 1)"
                  " ON CONFLICT (start_time, start_random) DO UPDATE SET failed = 1")
_TRIGGERS = ("summary_seen_count ON summary_seen", "reports_summary ON reports",
             "failures_summary ON failures", "manifest_requests_summary ON manifest_requests")


def _seen_values(groups, r):
    return ", ".join("(%sstart_time, %sstart_random, %s, %s, %s)" % ((r, r) + tuple(g.format(r=r) for g in group))
                     for group in groups)


def _backfill(sql_true):
    """Statements filling the summary from the raw rows; sql_true makes an upsert's
    SELECT unambiguous for SQLite."""
    seen = ["INSERT INTO summary_seen SELECT DISTINCT start_time, start_random, %s, %s, %s FROM reports"
            % tuple(g.format(r="") for g in group) for group in _REPORT_GROUPS]
    seen.append("INSERT INTO summary_seen SELECT DISTINCT start_time, start_random, %s, %s, %s"
                " FROM manifest_requests WHERE %s" % (tuple(g.format(r="") for g in _INSTALL_DAY)
                                                     + (_INSTALLED.format(r=""),)))
    return seen + [
        "INSERT INTO summary_counts SELECT kind, grp, sub, 0, COUNT(*) FROM summary_seen GROUP BY kind, grp, sub",
        "INSERT INTO summary_counts SELECT 'rows', 'reports', '', 0, COUNT(*) FROM reports",
        "INSERT INTO summary_counts SELECT 'rows', 'failures', '', 0, COUNT(*) FROM failures",
        "INSERT INTO summary_counts SELECT 'rows', 'manifest_requests', '', 0, COUNT(*) FROM manifest_requests",
        "INSERT INTO summary_counts SELECT 'fail_reason', reason, '', 0, COUNT(*) FROM failures GROUP BY reason",
        "INSERT INTO summary_counts SELECT 'fail_win_ver', win_ver, '', 0, COUNT(*) FROM failures GROUP BY win_ver",
        "INSERT INTO summary_counts SELECT 'manifest', release_date, outcome, 0, COUNT(*) FROM manifest_requests"
        " GROUP BY release_date, outcome",
        "INSERT INTO install_release SELECT start_time, start_random, MAX(release_date), 0 FROM manifest_requests"
        " WHERE %s GROUP BY start_time, start_random" % _INSTALLED.format(r=""),
        "INSERT INTO install_release SELECT DISTINCT start_time, start_random, NULL, 1 FROM failures WHERE %s"
        " ON CONFLICT (start_time, start_random) DO UPDATE SET failed = 1" % sql_true]


def _sqlite_triggers():
    count = ("INSERT INTO summary_counts VALUES (%s, %s, %s, 0, 1)"
             " ON CONFLICT (kind, grp, sub, shard) DO UPDATE SET n = n + 1;")
    rows = lambda table: count % ("'rows'", "'%s'" % table, "''")  # noqa: E731
    return [
        "CREATE TRIGGER summary_seen_count AFTER INSERT ON summary_seen BEGIN %s END"
        % count % ("NEW.kind", "NEW.grp", "NEW.sub"),
        "CREATE TRIGGER reports_summary AFTER INSERT ON reports BEGIN INSERT OR IGNORE INTO summary_seen VALUES %s;"
        " %s END" % (_seen_values(_REPORT_GROUPS, "NEW."), rows("reports")),
        "CREATE TRIGGER failures_summary AFTER INSERT ON failures BEGIN %s; %s %s %s END"
        % (_UPSERT_FAILED.format(r="NEW."), count % ("'fail_reason'", "NEW.reason", "''"),
           count % ("'fail_win_ver'", "NEW.win_ver", "''"), rows("failures")),
        "CREATE TRIGGER manifest_requests_summary AFTER INSERT ON manifest_requests BEGIN"
        " INSERT OR IGNORE INTO summary_seen SELECT %s WHERE %s;"
        " %s WHERE %s ON CONFLICT (start_time, start_random) DO UPDATE SET release_date = %s; %s %s END"
        % (_seen_values([_INSTALL_DAY], "NEW.")[1:-1], _INSTALLED.format(r="NEW."),
           "INSERT INTO install_release SELECT NEW.start_time, NEW.start_random, NEW.release_date, 0",
           _INSTALLED.format(r="NEW."), _NEWER, count % ("'manifest'", "NEW.release_date", "NEW.outcome"),
           rows("manifest_requests"))]


def _taken(table):
    """The rows of `table` in this fold's batch, for a FROM clause."""
    return ("(SELECT t.* FROM %s t JOIN summary_batch b ON b.tbl = '%s' AND b.id = t.id) AS x" % (table, table))


_ADD = " ON CONFLICT (kind, grp, sub, shard) DO UPDATE SET n = summary_counts.n + excluded.n"

# Counts the pending rows (PostgreSQL), in one transaction that holds the advisory lock
# FOLD_LOCK, so one fold runs at a time. Rows stored while it runs stay pending for the next.
FOLD_LOCK = 0x4F56464C
FOLD = [
    "CREATE TEMP TABLE IF NOT EXISTS summary_batch (tbl TEXT NOT NULL, id BIGINT NOT NULL) ON COMMIT DELETE ROWS",
    "WITH taken AS (DELETE FROM summary_pending RETURNING tbl, id) INSERT INTO summary_batch SELECT tbl, id FROM taken",
    "WITH seen AS (INSERT INTO summary_seen %s ON CONFLICT DO NOTHING RETURNING kind, grp, sub)"
    " INSERT INTO summary_counts SELECT kind, grp, sub, 0, COUNT(*) FROM seen GROUP BY kind, grp, sub%s" % (
        " UNION ".join(["SELECT start_time, start_random, %s, %s, %s FROM %s" % (
            tuple(g.format(r="") for g in group) + (_taken("reports"),)) for group in _REPORT_GROUPS]
            + ["SELECT start_time, start_random, %s, %s, %s FROM %s WHERE %s" % (
                tuple(g.format(r="") for g in _INSTALL_DAY) + (_taken("manifest_requests"), _INSTALLED.format(r="")))]),
        _ADD),
    "INSERT INTO summary_counts SELECT kind, grp, sub, 0, COUNT(*) FROM ("
    "SELECT 'rows' AS kind, tbl AS grp, '' AS sub FROM summary_batch"
    " UNION ALL SELECT 'fail_reason', reason, '' FROM %s"
    " UNION ALL SELECT 'fail_win_ver', win_ver, '' FROM %s"
    " UNION ALL SELECT 'manifest', release_date, outcome FROM %s) AS c GROUP BY kind, grp, sub%s" % (
        _taken("failures"), _taken("failures"), _taken("manifest_requests"), _ADD),
    "INSERT INTO install_release SELECT start_time, start_random, MAX(release_date), 0 FROM %s WHERE %s"
    " GROUP BY start_time, start_random ON CONFLICT (start_time, start_random) DO UPDATE SET release_date = %s"
    % (_taken("manifest_requests"), _INSTALLED.format(r=""), _NEWER),
    "INSERT INTO install_release SELECT DISTINCT start_time, start_random, NULL, 1 FROM %s"
    " ON CONFLICT (start_time, start_random) DO UPDATE SET failed = 1" % _taken("failures")]

_RAW_TABLES = ("reports", "failures", "manifest_requests")
_V1_FUNCTIONS = ("orvanta_count(TEXT, TEXT, TEXT)", "orvanta_summary_seen_count()", "orvanta_reports_summary()",
                 "orvanta_failures_summary()", "orvanta_manifest_requests_summary()")


def _postgres_triggers():
    out = ["CREATE OR REPLACE FUNCTION orvanta_pending() RETURNS trigger LANGUAGE plpgsql AS $$ BEGIN"
           " INSERT INTO summary_pending VALUES (TG_TABLE_NAME, NEW.id); RETURN NULL; END $$"]
    for table in _RAW_TABLES:
        out.append("CREATE TRIGGER %s_summary AFTER INSERT ON %s FOR EACH ROW EXECUTE FUNCTION orvanta_pending()"
                   % (table, table))
    return out


def migration(postgres, found=()):
    """Statements bringing a store's summary to VERSION, run in the transaction that found
    the versions `found` in summary_state. From v1 only the way rows are counted changes:
    its counts stay. Otherwise: dropped triggers, emptied tables, the backfill, the
    triggers, the state."""
    drop = ["DROP TRIGGER IF EXISTS %s" % (t if postgres else t.split(" ON ")[0]) for t in _TRIGGERS]
    triggers = _postgres_triggers() if postgres else _sqlite_triggers()
    state = ["INSERT INTO summary_state VALUES ('%s')" % VERSION]
    if "v1" in found:  # v1 stays listed: a v1 server still running takes the store as its own
        return (drop + ["DROP FUNCTION IF EXISTS %s" % f for f in _V1_FUNCTIONS] + triggers if postgres else []) + state
    empty = ["DELETE FROM %s" % t for t in ("summary_seen", "summary_counts", "summary_pending", "install_release")]
    memory = ["SET LOCAL work_mem = '128MB'"] if postgres else []  # the backfill's DISTINCTs sort in memory
    return memory + drop + empty + _backfill("TRUE") + triggers + ["DELETE FROM summary_state"] + state
