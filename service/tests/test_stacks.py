"""The embedded server and the production stack (nginx + gunicorn with two workers +
PostgreSQL, started here on loopback ports in a temporary folder) answer alike, and the
funnel stores keep every report under concurrency. A server that cannot be started
fails these tests: they never pass without the real servers."""

import concurrent.futures
import json
import os
import tempfile
import unittest

from service import app, download_server, localstack, log_server
from service.funnel_store import open_store
from service.tests.support import RunningServer, http_exchange, pack_releases, read_file, sign_manifest, write_release
from service.tests.test_download_server import BIG, BIG_DATA, QUERY, check_range_table
from service.tests.test_log_server import failure
from service.tests.test_rollout import FUNNELS, manifest_target

DATE = "20240101120000"
SIGNED_DATE = "20240202120000"
SENDERS = 50
TOKEN = "stack-operators-token-0123"


def report_target(i, status=30, host="log.orvanta.net"):
    return ("http://%s:80/ClientsRecruitChain.asp?StartTime=%d&StartRandom=%d&Status=%d&Did=%d&Tag1=%d&Tag2=-12&"
            % (host, 1700000000 + i // 3, i % 7, status, i % 4, i % 2))


def setUpModule():
    global TMP, STACK, EMBEDDED, SQLITE
    TMP = tempfile.TemporaryDirectory()
    os.chmod(TMP.name, 0o755)  # nginx workers and PostgreSQL (user nobody) look inside
    halvenor = os.path.join(TMP.name, "halvenor")
    write_release(halvenor, "Halvenor", DATE, {BIG: BIG_DATA, "files/Bin/readme^aa.txt": b"halvenor readme"},
                  extra_general={"SKIN_URL": "http://www.orvanta.net/skin?lang=${Lang}"},
                  reg={"Language/": "S/Y/${Lang}"})
    zentaro = os.path.join(TMP.name, "zentaro")
    write_release(zentaro, "Zentaro", SIGNED_DATE, {"files/Data/pack^bb.dat": b"zentaro data"})
    manifest = os.path.join(zentaro, app.MANIFEST_NAME)
    with open(manifest, encoding="latin-1", newline="") as f:
        signed, key = sign_manifest("; signed\n" + f.read())
    no_update, _ = sign_manifest("[GENERAL]\r\nBRAND_NAME=Zentaro\r\n[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n"
                                 "[PRODUCT_REG]\r\nLastUpdateDate=%s\r\n" % SIGNED_DATE, key)
    for path, data in ((manifest, signed), (os.path.join(zentaro, app.NO_UPDATE_NAME), no_update)):
        with open(path, "wb") as f:
            f.write(data)
    # Orlwyn rolls a signed release out to 10 % of its installations.
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
    orlwyn = pack_releases(os.path.join(TMP.name, "orlwyn"), Ed25519PrivateKey.generate(), "Orlwyn", stage=10)
    releases = [halvenor, "Vesperhall=" + zentaro, orlwyn]
    token_file = os.path.join(TMP.name, "dashboard.token")
    with open(token_file, "w") as f:
        f.write(TOKEN + "\n")
    STACK = None
    try:
        STACK = localstack.Stack(os.path.join(TMP.name, "stack"), releases, workers=2,
                                 app_args=["--dashboard-token-file", token_file]).start()
    except BaseException:
        TMP.cleanup()
        raise
    SQLITE = os.path.join(TMP.name, "embedded.sqlite")
    server = download_server.DownloadServer(
        ("127.0.0.1", 0), [download_server.Release(halvenor), download_server.Release(zentaro, ["Vesperhall"]),
                           download_server.Release(orlwyn)],
        store=open_store(SQLITE), log_stream=None)
    EMBEDDED = RunningServer(server)


def tearDownModule():
    EMBEDDED.stop()
    EMBEDDED.server.store.close()
    STACK.stop()
    TMP.cleanup()


class SameAnswersTest(unittest.TestCase):
    def exchange_both(self, target, headers=(), method="GET"):
        return [http_exchange(port, target, headers, method) for port in (EMBEDDED.port, STACK.port)]

    def test_requests_as_the_installer_sends_them(self):
        manifest = "Dl/ClientResources.asp?" + QUERY
        cases = [
            "http://dl.orvanta.net:80/" + manifest % ("", "Halvenor"),
            "http://dl.orvanta.net/" + manifest % ("", "Halvenor"),
            "http://dl.orvanta.net:80/" + manifest % (DATE, "Halvenor"),  # no update
            "http://dltest.orvanta.net:80/" + manifest.replace("Client", "Update") % (DATE, "Halvenor"),
            "http://dl.orvanta.net:80/" + manifest % ("", "Zentaro"),  # signed: verbatim
            "http://dl.orvanta.net:80/" + manifest % (SIGNED_DATE, "Vesperhall"),  # its signed no-update
            "/" + manifest % ("", "Unknown"),
            "http://log.orvanta.net:80/" + manifest % ("", "Halvenor"),  # not the log host's role
            "http://dl.orvanta.net:80/files/Bin/readme^aa.txt",
            "http://dl.orvanta.net:80/files/Bin/readme%5Eaa.txt",
            "http://dl.orvanta.net:80/files/Data/pack^bb.dat",  # found in the second release
            "http://log.orvanta.net:80/files/Bin/readme^aa.txt",
            "http://www.orvanta.net:80/files/Bin/readme^aa.txt",
            "http://dl.orvanta.net:80/files/Bin/missing^00.txt",
            "/files/../manifest.ini", "/files/%2e%2e/manifest.ini", "/manifest.ini", "/files/", "/files/Bin/",
            "http://www.orvanta.net:80/uninstall.html?fromClient=1&lang=DE&Username=<b>jo</b>&BrandId=10",
            "http://dl.orvanta.net:80/uninstall.html?fromClient=1&lang=DE&Username=jo&BrandId=10",
            "http://log.orvanta.net:80/ClientsRecruitChain.asp?StartTime=1&StartRandom=2&Status=30&Did=1&Tag1=1&",
        ]
        for target in cases:
            for method in ("GET", "HEAD"):
                with self.subTest(target=target, method=method):
                    embedded, production = self.exchange_both(target, method=method)
                    self.assertEqual(embedded[0], production[0])
                    if embedded[0] < 300:
                        self.assertEqual(embedded[2], production[2])
                        for field in ("content-type", "content-length", "cache-control", "etag"):
                            self.assertEqual(embedded[1].get(field), production[1].get(field), field)

    def test_signed_manifests_pass_every_layer_byte_for_byte(self):
        with open(os.path.join(TMP.name, "zentaro", app.MANIFEST_NAME), "rb") as f:
            signed = f.read()
        for port in (EMBEDDED.port, STACK.port, STACK.gunicorn.port):
            with self.subTest(port=port):
                status, _, body = http_exchange(port, "/Dl/ClientResources.asp?" + QUERY % ("", "Zentaro"))
                self.assertEqual((200, signed), (status, body))

    def test_ranges_on_nginx_as_on_the_embedded_server(self):
        check_range_table(self, STACK.port, "http://dl.orvanta.net:80/" + BIG)

    def test_concurrent_reports_are_all_stored_and_give_one_funnel(self):
        # Funnels that stop at every stage: 250 reports from 100 funnels.
        targets = [report_target(i, status) for i in range(100) for status in (30, 40, 50, 60)[: 1 + i % 4]]
        stores = {"embedded": (EMBEDDED.port, SQLITE), "production": (STACK.port, STACK.dsn)}
        before = {name: log_server.funnel_counts(db)[1][0] for name, (_, db) in stores.items()}

        def send(port, chunk):
            return [http_exchange(port, t)[0] for t in chunk]

        for name, (port, db) in stores.items():
            chunks = [targets[i::SENDERS] for i in range(SENDERS)]
            with concurrent.futures.ThreadPoolExecutor(SENDERS) as pool:
                statuses = [s for part in pool.map(lambda c: send(port, c), chunks) for s in part]
            self.assertEqual([200] * len(targets), statuses, name)
            self.assertEqual(before[name] + len(targets), log_server.funnel_counts(db)[1][0], name)
        # The same reports give the same funnel, whatever the database.
        for by in (None, "did", "tag1", "tag2"):
            with self.subTest(by=by):
                embedded, production = (log_server.funnel_counts(db, by) for _, db in stores.values())
                self.assertEqual(embedded, production)
                self.assertEqual(log_server.format_funnel(*embedded, by), log_server.format_funnel(*production, by))

    def test_a_staged_release_reaches_the_same_funnels_on_both_stacks(self):
        orlwyn = os.path.join(TMP.name, "orlwyn")
        signed = {read_file(orlwyn, "manifest.ini"): False, read_file(orlwyn, "staged", "manifest.ini"): True}
        sides = {}
        for name, port in (("embedded", EMBEDDED.port), ("production", STACK.port)):
            bodies = [http_exchange(port, manifest_target(f).replace("Halvenor", "Orlwyn"))[2] for f in FUNNELS[:200]]
            self.assertLessEqual(set(bodies), set(signed), name)
            sides[name] = [signed[body] for body in bodies]
        self.assertEqual(sides["embedded"], sides["production"])
        self.assertTrue(0 < sum(sides["production"]) < 50, sum(sides["production"]))

    def test_manifest_requests_are_recorded_alike_in_both_stores(self):
        stores = {"embedded": (EMBEDDED.port, SQLITE), "production": (STACK.port, STACK.dsn)}
        targets = ["http://dl.orvanta.net:80/Dl/ClientResources.asp?" + QUERY % (date, brand)
                   for date, brand in (("", "Halvenor"), (DATE, "Halvenor"), ("", "Zentaro"), (SIGNED_DATE, "Zentaro"))]
        recorded = {}
        for name, (port, db) in stores.items():
            store = open_store(db)
            before = store.manifest_counts()
            for target in targets:
                self.assertEqual(200, http_exchange(port, target)[0])
            after = store.manifest_counts()
            store.close()
            recorded[name] = {key: n - before.get(key, 0) for key, n in after.items() if n != before.get(key, 0)}
        self.assertEqual({(DATE, "manifest"): 1, (DATE, "no-update"): 1, (SIGNED_DATE, "manifest"): 1,
                          (SIGNED_DATE, "no-update"): 1}, recorded["production"])
        self.assertEqual(recorded["embedded"], recorded["production"])

    def test_the_dashboard_behind_nginx_counts_the_database(self):
        target = "http://ops.orvanta.net:80/dashboard/data.json"
        self.assertEqual(401, http_exchange(STACK.port, target)[0])
        status, fields, body = http_exchange(STACK.port, target, ["Authorization: Bearer " + TOKEN])
        self.assertEqual((200, "no-store"), (status, fields["cache-control"]))
        store = open_store(STACK.dsn)
        self.addCleanup(store.close)
        reports, failures, requests = store.fetch([("SELECT COUNT(*) FROM %s" % table, ())
                                                   for table in ("reports", "failures", "manifest_requests")])
        self.assertEqual({"reports": reports[0][0], "failures": failures[0][0], "manifest_requests": requests[0][0],
                          "funnels": store.funnel_counts()[1][1]}, json.loads(body)["totals"])
        self.assertEqual(["Halvenor", "Zentaro", "Orlwyn"], [r["brand"] for r in json.loads(body)["rollouts"]])

    def test_failure_reports_are_stored_alike_in_both_stores(self):
        reasons = ("server-unreachable", "digest-mismatch", "disk-full", "cancelled")
        targets = ["http://log.orvanta.net:80/" + failure(StartRandom=str(i), Reason=reasons[i % 4],
                                                          WinVer="10.0.%d" % (19041 + i % 3))
                   for i in range(60)]
        for port in (EMBEDDED.port, STACK.port):
            with concurrent.futures.ThreadPoolExecutor(10) as pool:
                self.assertEqual([200] * len(targets), list(pool.map(lambda t: http_exchange(port, t)[0], targets)))
        for by in ("reason", "win_ver"):
            embedded, production = (log_server.failure_counts(db, by) for db in (SQLITE, STACK.dsn))
            self.assertEqual(embedded, production)
        self.assertEqual({r: 15 for r in reasons}, log_server.failure_counts(STACK.dsn))


if __name__ == "__main__":
    unittest.main()
