import os
import signal
import sqlite3
import subprocess
import sys
import tempfile
import time
import unittest
from contextlib import closing

from service import download_server, funnel_store, log_server
from service.tests.support import RunningServer, raw_request, write_release

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def report(start, rnd, status, did=1, tag1=1, tag2=1):
    return ("ClientsRecruitChain.asp?StartTime=%d&StartRandom=%d&Status=%d&Did=%d&Tag1=%d&Tag2=%d&"
            % (start, rnd, status, did, tag1, tag2))


def installer_encoded(text):
    """A value as the installer's URL encoding writes it: letters and digits kept, a space as
    "+", every other byte as %XX."""
    return "".join(c if c.isascii() and c.isalnum() else "+" if c == " " else "%%%02X" % ord(c) for c in text)


FAILURE = {"StartTime": "1191945099", "StartRandom": "8246", "Did": "1", "Tag1": "1", "Tag2": "-12",
           "Reason": "server-unreachable", "Error": "12029", "Stage": "FetchManifest", "Build": "1.4.2 beta",
           "WinVer": "10.0.19045", "Date": "20240101120000"}


def failure(**fields):
    """A failure report's target; a field given as None is left out."""
    values = dict(FAILURE, **fields)
    return "ClientsFailure.asp?" + "".join("%s=%s&" % (name, installer_encoded(value))
                                           for name, value in values.items() if value is not None)


class LogServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.db = os.path.join(self.tmp.name, "reports.sqlite")
        server = log_server.make_server(self.db, log_stream=None)
        self.server = RunningServer(server)
        self.addCleanup(server.store.close)
        self.addCleanup(self.server.stop)

    def rows(self):
        with closing(sqlite3.connect(self.db)) as db:
            return db.execute("SELECT start_time, start_random, status, did, tag1, tag2, client, received"
                              " FROM reports ORDER BY id").fetchall()

    def test_reports_are_stored_with_address_and_time(self):
        targets = ["http://log.orvanta.net:80/" + report(1191945099, 8246, 30),
                   "/" + report(1191945099, 8246, 40, tag1=-12),
                   report(5, 6, 50, did=7, tag2=2147483647)]
        for target in targets:
            status, _, _ = self.server.request(target)
            self.assertEqual(200, status)
        rows = self.rows()
        self.assertEqual([(1191945099, 8246, 30, 1, 1, 1), (1191945099, 8246, 40, 1, -12, 1),
                          (5, 6, 50, 7, 1, 2147483647)], [r[:6] for r in rows])
        self.assertTrue(all(r[6] == "127.0.0.1" for r in rows))
        self.assertTrue(all(r[7].endswith("+00:00") and r[7][:2] == "20" for r in rows))

    def test_malformed_reports_are_refused_and_not_stored(self):
        bad = [
            "ClientsRecruitChain.asp?StartTime=1&StartRandom=2&Status=30&Did=1&Tag1=1&",  # no Tag2
            "ClientsRecruitChain.asp?StartTime=x&StartRandom=2&Status=30&Did=1&Tag1=1&Tag2=1&",
            "ClientsRecruitChain.asp?StartTime=1.5&StartRandom=2&Status=30&Did=1&Tag1=1&Tag2=1&",
            "ClientsRecruitChain.asp?StartTime=2147483648&StartRandom=2&Status=30&Did=1&Tag1=1&Tag2=1&",
            "ClientsRecruitChain.asp?StartTime=&StartRandom=2&Status=30&Did=1&Tag1=1&Tag2=1&",
            "ClientsRecruitChain.asp",
        ]
        for target in bad:
            with self.subTest(target=target):
                self.assertEqual(400, self.server.request(target)[0])
        self.assertEqual(404, self.server.request("/Dl/ClientResources.asp?Remote=1")[0])
        self.assertEqual([], self.rows())

    def failures(self):
        with closing(sqlite3.connect(self.db)) as db:
            return db.execute("SELECT start_time, start_random, did, tag1, tag2, reason, error, stage, build,"
                              " win_ver, asked_date, client FROM failures ORDER BY id").fetchall()

    def test_failure_reports_are_stored_as_sent(self):
        cases = [
            ({}, (1191945099, 8246, 1, 1, -12, "server-unreachable", 12029, "FetchManifest", "1.4.2 beta",
                  "10.0.19045", "20240101120000")),
            ({"Reason": "disk-full", "Error": "4294967295", "Date": "", "Stage": "", "Build": ""},
             (1191945099, 8246, 1, 1, -12, "disk-full", 4294967295, "", "", "10.0.19045", "")),
            ({"Reason": "cancelled", "Error": "0", "Stage": None, "WinVer": "6.1.7601"},
             (1191945099, 8246, 1, 1, -12, "cancelled", 0, "", "1.4.2 beta", "6.1.7601", "20240101120000")),
        ]
        for fields, _ in cases:
            self.assertEqual(200, self.server.request("http://log.orvanta.net:80/" + failure(**fields))[0])
        self.assertEqual([expected + ("127.0.0.1",) for _, expected in cases], self.failures())
        self.assertEqual([], self.rows(), "a failure is not a funnel report")

    def test_malformed_failure_reports_are_refused_and_not_stored(self):
        bad = [{"Reason": "Server-Unreachable"}, {"Reason": "server unreachable"}, {"Reason": ""},
               {"Reason": "disk_full"}, {"Reason": "a" * 49}, {"Reason": None}, {"Error": "-1"},
               {"Error": "4294967296"}, {"Error": ""}, {"Error": "0x5"}, {"WinVer": "10"},
               {"WinVer": "10.0.x"}, {"Date": "2024-01-01"}, {"StartTime": None}, {"Tag2": "2147483648"},
               {"Build": "a\nb"}, {"Build": "b" * 65}, {"Stage": "Fetch Manifest"}]
        for fields in bad:
            with self.subTest(fields=fields):
                self.assertEqual(400, self.server.request(failure(**fields))[0])
        self.assertEqual([], self.failures())

    def test_funnel_counts_distinct_funnels_per_stage(self):
        # Funnel A reaches 60 (with a repeated 50), B stops at 40, C at 30, D reports
        # only 50 (its earlier reports were lost), E has another StartRandom than A.
        sent = [(1, 1, 30), (1, 1, 40), (1, 1, 50), (1, 1, 50), (1, 1, 60),
                (2, 1, 30), (2, 1, 40), (3, 1, 30), (4, 1, 50), (1, 2, 30)]
        for start, rnd, status in sent:
            self.assertEqual(200, self.server.request(report(start, rnd, status, did=start % 2))[0])
        counts, totals = log_server.funnel_counts(self.db)
        self.assertEqual({None: {30: 4, 40: 2, 50: 2, 60: 1}}, counts)
        self.assertEqual((10, 5), tuple(totals))
        text = log_server.format_funnel(counts, totals)
        lines = {line.split()[0]: line.split() for line in text.splitlines() if line[:1].isdigit()}
        self.assertEqual(["30", "downloads", "started", "4"], lines["30"])
        self.assertEqual(["40", "answered", "2", "50.0%", "50.0%"], lines["40"])
        self.assertEqual(["50", "installed", "2", "100.0%", "50.0%"], lines["50"])
        self.assertEqual(["60", "finished", "1", "50.0%", "25.0%"], lines["60"])
        self.assertIn("reports: 10, distinct funnels: 5", text)
        by_did, _ = log_server.funnel_counts(self.db, "did")
        self.assertEqual({1: {30: 3, 40: 1, 50: 1, 60: 1}, 0: {30: 1, 40: 1, 50: 1}}, by_did)


def _open_store(path, barrier):
    barrier.wait()
    funnel_store.SqliteStore(path, timeout=10).close()


class SqliteStoreTest(unittest.TestCase):
    def test_servers_opening_a_new_store_at_once_all_start(self):
        # Two servers started together on one new file: SQLite refuses one
        # journal switch at once unless it is tried again.
        import multiprocessing
        failed = 0
        with tempfile.TemporaryDirectory() as folder:
            for round_ in range(60):
                path = os.path.join(folder, "r%d.sqlite" % round_)
                barrier = multiprocessing.Barrier(3)
                openers = [multiprocessing.Process(target=_open_store, args=(path, barrier)) for _ in range(3)]
                for opener in openers:
                    opener.start()
                for opener in openers:
                    opener.join(60)
                failed += sum(opener.exitcode != 0 for opener in openers)
        self.assertEqual(0, failed)


class CommandLineTest(unittest.TestCase):
    """The scripts as other tests start them: chosen port announced, clean stop on signals."""

    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def start(self, script, *args):
        proc = subprocess.Popen([sys.executable, os.path.join(ROOT, "service", script)] + list(args),
                                stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        self.addCleanup(lambda: proc.poll() is None and proc.kill())
        port = int(proc.stdout.readline())
        return proc, port

    def stop(self, proc, sig):
        proc.send_signal(sig)
        try:
            out, err = proc.communicate(timeout=60)
        except subprocess.TimeoutExpired:
            proc.kill()
            self.fail("server did not stop on signal %d" % sig)
        self.assertEqual(0, proc.returncode, err)
        return err

    def test_log_server_round_trip_and_funnel_command(self):
        db = os.path.join(self.tmp.name, "r.sqlite")
        port_file = os.path.join(self.tmp.name, "port")
        proc, port = self.start("log_server.py", "--db", db, "--port", "0", "--port-file", port_file)
        with open(port_file) as f:
            self.assertEqual(port, int(f.read()))
        for status in (30, 40):
            self.assertEqual(200, raw_request(port, "http://log.orvanta.net:80/" + report(9, 9, status))[0])
        err = self.stop(proc, signal.SIGTERM)
        self.assertIn("ClientsRecruitChain.asp?StartTime=9", err)  # the access log
        self.assertFalse(os.path.exists(port_file))
        out = subprocess.run([sys.executable, os.path.join(ROOT, "service", "log_server.py"), "funnel",
                              "--db", db], capture_output=True, text=True, timeout=60)
        self.assertEqual(0, out.returncode, out.stderr)
        self.assertRegex(out.stdout, r"40 answered\s+1\s+100\.0%")

    def test_download_server_with_log_role_stops_on_sigint(self):
        release = os.path.join(self.tmp.name, "rel")
        write_release(release, "Halvenor", "20240101000000", {"files/a^00.txt": b"a"})
        db = os.path.join(self.tmp.name, "r.sqlite")
        proc, port = self.start("download_server.py", "--release", release, "--log-db", db)
        self.assertEqual(200, raw_request(port, "http://log.orvanta.net:80/" + report(1, 2, 30))[0])
        self.assertEqual((200, b"a"), raw_request(port, "http://dl.orvanta.net:80/files/a^00.txt")[::2])
        self.stop(proc, signal.SIGINT)
        counts, _ = log_server.funnel_counts(db)
        self.assertEqual({None: {30: 1}}, counts)

    def test_download_server_refuses_a_folder_without_manifest(self):
        proc = subprocess.run([sys.executable, os.path.join(ROOT, "service", "download_server.py"),
                               "--release", self.tmp.name], capture_output=True, text=True, timeout=60)
        self.assertEqual(2, proc.returncode)
        self.assertIn("manifest.ini", proc.stderr)


if __name__ == "__main__":
    unittest.main()
