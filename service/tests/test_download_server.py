import concurrent.futures
import hashlib
import http.client
import os
import socket
import tempfile
import sqlite3
import tracemalloc
import unittest
from contextlib import closing
from unittest import mock

from service import app, download_server, ini
from service.funnel_store import open_store
from service.tests.support import RunningServer, http_exchange, raw_request, sign_manifest, write_release

QUERY = ("Remote=1&Product=Tindermoor&Did=1&Lang=EN&Tag=1&Tag2=1&ChainStartTime=1191945099"
         "&ChainStartRandom=8246&Fun=1&Currency=1&BrandId=1&LastUpdateDate=%s&Brand=%s")


def manifest_target(date, brand, prefix="/"):
    return prefix + "Dl/ClientResources.asp?" + QUERY % (date, brand)


class DownloadServerTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.root = self.tmp.name
        self.halvenor = os.path.join(self.root, "halvenor")
        self.zentaro = os.path.join(self.root, "zentaro")
        write_release(self.halvenor, "Halvenor", "20240101120000",
                      {"files/Bin/readme^aa.txt": b"halvenor readme"},
                      extra_general={"SKIN_URL": "http://www.orvanta.net/skin?lang=${Lang}"},
                      reg={"Language/": "S/Y/${Lang}", "Did/": "D/Y/${Did}", "Plain/": "S/N/a/b"})
        write_release(self.zentaro, "Zentaro", "20240202120000",
                      {"files/Data/pack^bb.dat": b"zentaro data"})
        self.server = self.start([download_server.Release(self.halvenor),
                                  download_server.Release(self.zentaro, ["Vesperhall"])])

    def start(self, releases, **kw):
        server = download_server.DownloadServer(("127.0.0.1", 0), releases, log_stream=None, **kw)
        running = RunningServer(server)
        self.addCleanup(running.stop)
        return running

    def tearDown(self):
        self.tmp.cleanup()

    def manifest(self, date, brand, **kw):
        status, _, body = self.server.request(manifest_target(date, brand), **kw)
        self.assertEqual(200, status)
        return ini.parse(body.decode("latin-1"))

    def test_manifest_is_chosen_by_brand_and_filled_from_the_query(self):
        cases = [  # request brand -> release brand
            ("Halvenor", "Halvenor"), ("halvenor", "Halvenor"), ("Zentaro", "Zentaro"),
            ("Vesperhall", "Zentaro"),  # named on the command line
            ("BrandUnknown", "Halvenor"),  # the first release is the default
        ]
        for asked, expected in cases:
            with self.subTest(brand=asked):
                sections = self.manifest("", asked)
                self.assertEqual(expected, sections["GENERAL"]["BRAND_NAME"])
                self.assertNotIn("NO_UPDATE_AVILABLE", sections)
                self.assertEqual(1, len(sections["FILE"]))
        sections = self.manifest("", "Halvenor")
        self.assertEqual({"Language/": "S/Y/EN", "Did/": "D/Y/1", "Plain/": "S/N/a/b"}, dict(sections["REG"]))
        self.assertEqual("http://www.orvanta.net/skin?lang=EN", sections["GENERAL"]["SKIN_URL"])
        self.assertEqual("20240101120000", sections["PRODUCT_REG"]["LastUpdateDate"])

    def test_unsafe_query_values_are_not_copied_into_the_manifest(self):
        target = "/Dl/ClientResources.asp?Remote=1&Lang=EN%0D%0A[FILE]%0D%0Aevil=1&Did=1&LastUpdateDate=&Brand=Halvenor"
        status, _, body = self.server.request(target)
        self.assertEqual(200, status)
        sections = ini.parse(body.decode("latin-1"))
        self.assertEqual("S/Y/", sections["REG"]["Language/"])
        self.assertNotIn("evil", sections["FILE"])

    def test_no_update_only_for_the_current_date_of_that_release(self):
        cases = [
            ("20240101120000", "Halvenor", True),
            ("20231231000000", "Halvenor", False),  # an older release
            ("", "Halvenor", False),
            ("20240101120000", "Zentaro", False),  # Halvenor's date, Zentaro's release
            ("20240202120000", "Zentaro", True),
        ]
        for date, brand, no_update in cases:
            with self.subTest(date=date, brand=brand):
                sections = self.manifest(date, brand)
                self.assertEqual(no_update, "NO_UPDATE_AVILABLE" in sections)
                # The brand is always named: the installer starts the client from its folder.
                self.assertEqual(brand, sections["GENERAL"]["BRAND_NAME"])
                if no_update:
                    self.assertEqual("1", sections["NO_UPDATE_AVILABLE"]["VALUE"])
                    self.assertNotIn("FILE", sections)
                else:
                    self.assertIn("FILE", sections)

    def test_update_resources_gives_the_full_manifest_even_for_the_current_date(self):
        target = "Dl/UpdateResources.asp?" + QUERY % ("20240101120000", "Halvenor")
        status, _, body = self.server.request(target, host="dltest.orvanta.net")
        self.assertEqual(200, status)
        sections = ini.parse(body.decode("latin-1"))
        self.assertNotIn("NO_UPDATE_AVILABLE", sections)
        self.assertIn("Bin__readme.txt", sections["FILE"])

    def test_target_forms(self):
        query = QUERY % ("", "Zentaro")
        forms = [
            ("/Dl/ClientResources.asp?" + query, None),
            ("Dl/ClientResources.asp?" + query, None),  # no leading slash
            ("/Dl/ClientResources.asp?" + query, "dl.orvanta.net"),
            ("http://dl.orvanta.net:80/Dl/ClientResources.asp?" + query, None),
            ("http://dl.orvanta.net:80Dl/ClientResources.asp?" + query, None),
            ("http://DL.Orvanta.NET/dl/clientresources.asp?" + query, None),
            ("http://127.0.0.1:8080/Dl/ClientResources.asp?" + query, None),
        ]
        for target, host in forms:
            with self.subTest(target=target[:45]):
                status, headers, body = self.server.request(target, host=host)
                self.assertEqual(200, status)
                self.assertEqual(str(len(body)), headers["content-length"])
                self.assertEqual("Zentaro", ini.parse(body.decode())["GENERAL"]["BRAND_NAME"])

    def test_hosts_are_told_apart_by_role(self):
        report = "ClientsRecruitChain.asp?StartTime=1&StartRandom=2&Status=30&Did=1&Tag1=1&Tag2=1&"
        manifest = manifest_target("", "Halvenor", prefix="")
        farewell = "uninstall.html?fromClient=1&lang=EN&Username=joe&BrandId=1"
        package = "files/Bin/readme^aa.txt"
        cases = [
            ("dl.orvanta.net", manifest, 200), ("dl.orvanta.net", report, 404),
            ("dl.orvanta.net", farewell, 404), ("dl.orvanta.net", package, 200),
            ("log.orvanta.net", report, 200), ("log.orvanta.net", manifest, 404),
            ("log.orvanta.net", package, 404), ("www.orvanta.net", farewell, 200),
            ("www.orvanta.net", manifest, 404), ("127.0.0.1", report, 200),
            ("127.0.0.1", manifest, 200), ("somewhere.example", package, 200),
        ]
        for host, path, expected in cases:
            with self.subTest(host=host, path=path[:20]):
                status, _, _ = self.server.request("http://%s:80/%s" % (host, path))
                self.assertEqual(expected, status)

    def test_download_url_host_serves_packages_only(self):
        write_release(self.halvenor, "Halvenor", "20240303120000", {"files/Bin/readme^cc.txt": b"new"},
                      extra_general={"DOWNLOAD_URL": "pkg.orvanta.net"})
        status, _, body = self.server.request("http://pkg.orvanta.net:80/files/Bin/readme^cc.txt")
        self.assertEqual((200, b"new"), (status, body))
        status, _, _ = self.server.request("http://pkg.orvanta.net:80/" + manifest_target("", "Halvenor", ""))
        self.assertEqual(404, status)

    def test_package_files_and_refused_paths(self):
        status, headers, body = self.server.request("http://dl.orvanta.net:80/files/Data/pack^bb.dat")
        self.assertEqual((200, b"zentaro data"), (status, body))
        self.assertEqual("12", headers["content-length"])
        status, headers, body = self.server.request("/files/Data/pack^bb.dat", method="HEAD")
        self.assertEqual((200, "12", b""), (status, headers["content-length"], body))
        with open(os.path.join(self.root, "secret.txt"), "w") as f:
            f.write("secret")
        refused = ["/files/Data/missing^00.dat", "/files/../manifest.ini", "/files/%2e%2e/manifest.ini",
                   "/files/../../secret.txt", "/files/..%2f..%2fsecret.txt", "/files", "/files/",
                   "/files/Data", "/manifest.ini", "/files/Data\\pack^bb.dat", "/files/%ff"]
        for target in refused:
            with self.subTest(target=target):
                status, _, body = self.server.request(target)
                self.assertIn(status, (400, 404))
                self.assertNotIn(b"secret", body)
                self.assertNotIn(b"BRAND_NAME", body)

    def test_farewell_page_escapes_the_query(self):
        target = "/uninstall.html?fromClient=1&lang=DE&Username=<script>x</script>&BrandId=10"
        status, headers, body = self.server.request(target, host="www.orvanta.net")
        self.assertEqual(200, status)
        self.assertTrue(headers["content-type"].startswith("text/html"))
        text = body.decode("latin-1")
        self.assertIn("&lt;script&gt;x&lt;/script&gt;", text)
        self.assertNotIn("<script>", text)
        self.assertIn("lang=DE brand=10", text)

    def test_a_repacked_manifest_is_served_without_restart(self):
        self.assertTrue("NO_UPDATE_AVILABLE" in self.manifest("20240101120000", "Halvenor"))
        write_release(self.halvenor, "Halvenor", "20240505120000", {"files/Bin/readme^dd.txt": b"v2"})
        sections = self.manifest("20240101120000", "Halvenor")
        self.assertNotIn("NO_UPDATE_AVILABLE", sections)
        self.assertEqual("20240505120000", sections["PRODUCT_REG"]["LastUpdateDate"])

    def test_a_new_manifest_that_fails_to_load_is_logged_once_with_its_reason(self):
        path = os.path.join(self.halvenor, app.MANIFEST_NAME)

        def unrenderable():
            with open(path + ".part", "w", newline="") as f:
                f.write("[GENERAL]\r\nBRAND_NAME =Halvenor\r\n[PRODUCT_REG]\r\nLastUpdateDate=20240505120000\r\n")
            os.replace(path + ".part", path)

        def folder():
            os.remove(path)
            os.mkdir(path)

        for publish, reason in ((unrenderable, "'BRAND_NAME '"), (folder, "Is a directory")):
            with self.subTest(reason=reason):
                publish()
                with self.assertLogs("orvanta.service", "ERROR") as logged:
                    dates = {self.manifest("", "Halvenor")["PRODUCT_REG"]["LastUpdateDate"] for _ in range(3)}
                self.assertEqual({"20240101120000"}, dates)
                self.assertEqual(1, len(logged.records), logged.output)
                for part in (path, reason, "still serving release 20240101120000"):
                    self.assertIn(part, logged.output[0])
        os.rmdir(path)
        write_release(self.halvenor, "Halvenor", "20240505120000", {"files/Bin/readme^dd.txt": b"v2"})
        self.assertEqual("20240505120000", self.manifest("", "Halvenor")["PRODUCT_REG"]["LastUpdateDate"])

    def test_large_file_is_streamed_not_loaded(self):
        size = 48 * 1024 * 1024
        big = os.path.join(self.halvenor, "files", "Bin", "big^ee.bin")
        with open(big, "wb") as f:
            block = hashlib.sha256(b"seed").digest() * 2048  # 64 KiB
            for _ in range(size // len(block)):
                f.write(block)
        with open(big, "rb") as f:
            expected = hashlib.sha256(f.read()).hexdigest()
        tracemalloc.start()
        try:
            conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=60)
            conn.request("GET", "http://dl.orvanta.net:80/files/Bin/big^ee.bin")
            response = conn.getresponse()
            digest, received = hashlib.sha256(), 0
            while True:
                chunk = response.read(64 * 1024)
                if not chunk:
                    break
                digest.update(chunk)
                received += len(chunk)
            conn.close()
            _, peak = tracemalloc.get_traced_memory()
        finally:
            tracemalloc.stop()
        self.assertEqual(200, response.status)
        self.assertEqual(size, received)
        self.assertEqual(expected, digest.hexdigest())
        # Reading the file whole in the server would show up as a peak near its size.
        self.assertLess(peak, 8 * 1024 * 1024)

    def test_keep_alive_connection_serves_several_requests(self):
        conn = http.client.HTTPConnection("127.0.0.1", self.server.port, timeout=30)
        try:
            for target in (manifest_target("", "Halvenor"), "/files/Bin/readme^aa.txt",
                           manifest_target("20240101120000", "Halvenor")):
                conn.request("GET", target)
                response = conn.getresponse()
                self.assertEqual(200, response.status)
                self.assertTrue(response.read())
        finally:
            conn.close()

    def test_concurrent_clients_while_one_connection_stalls(self):
        # A client that sends half a request must not hold up the others.
        stalled = socket.create_connection(("127.0.0.1", self.server.port), timeout=30)
        self.addCleanup(stalled.close)
        stalled.sendall(b"GET /Dl/ClientResources.asp?Remote=1")

        def fetch(i):
            brand = "Halvenor" if i % 2 else "Zentaro"
            status, _, body = raw_request(self.server.port, manifest_target("", brand), timeout=60)
            return status, ini.parse(body.decode())["GENERAL"]["BRAND_NAME"], brand

        with concurrent.futures.ThreadPoolExecutor(32) as pool:
            results = list(pool.map(fetch, range(200)))
        for status, served, asked in results:
            self.assertEqual((200, asked), (status, served))


class ManifestRecordTest(unittest.TestCase):
    """Every manifest answer is recorded with its funnel, the release it named and how."""

    def test_answers_are_recorded_with_release_and_outcome(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        release, db = os.path.join(tmp.name, "rel"), os.path.join(tmp.name, "r.sqlite")
        write_release(release, "Halvenor", "20240101120000", {"files/a^00.txt": b"a"})
        store = open_store(db)
        self.addCleanup(store.close)
        server = RunningServer(download_server.DownloadServer(
            ("127.0.0.1", 0), [download_server.Release(release)], store=store, log_stream=None))
        self.addCleanup(server.stop)
        funnel = (1191945099, 8246, 1, 1, 1)
        cases = [  # target -> status, recorded funnel, brand, asked, answered release, outcome
            (manifest_target("", "Halvenor"), 200, funnel + ("Halvenor", "", "20240101120000", "manifest")),
            (manifest_target("20240101120000", "Halvenor"), 200,
             funnel + ("Halvenor", "20240101120000", "20240101120000", "no-update")),
            ("/Dl/UpdateResources.asp?" + QUERY % ("20240101120000", "Halvenor"), 200,
             funnel + ("Halvenor", "20240101120000", "20240101120000", "manifest")),
            ("/Dl/ClientResources.asp?Remote=1&ChainStartTime=x&Tag=1&LastUpdateDate=&Brand=Other", 200,
             (None, None, None, 1, None, "Other", "", "20240101120000", "manifest")),
        ]
        for target, status, _ in cases:
            self.assertEqual(status, server.request(target)[0])
        with mock.patch.object(app, "manifest_text", side_effect=RuntimeError("broken")), \
                self.assertLogs("orvanta.service", "ERROR"):
            self.assertEqual(500, server.request(manifest_target("", "Halvenor"))[0])
        expected = [row for _, _, row in cases] + [funnel + ("Halvenor", "", "20240101120000", "error")]
        with closing(sqlite3.connect(db)) as reader:
            rows = reader.execute("SELECT start_time, start_random, did, tag1, tag2, brand, asked_date, release_date,"
                                  " outcome, client FROM manifest_requests ORDER BY id").fetchall()
        self.assertEqual([row + ("127.0.0.1",) for row in expected], rows)


# Range requests: the table both stacks must answer alike (test_stacks runs it on nginx).
BIG = "files/Bin/big^" + "ab" * 32 + ".bin"
BIG_DATA = bytes(range(256)) * 40  # 10240 bytes
RANGE_CASES = [  # Range header -> status, Content-Range, body slice
    (None, 200, None, slice(None)),
    ("bytes=0-99", 206, "bytes 0-99/10240", slice(0, 100)),
    ("bytes=10240-", 416, "bytes */10240", None),
    ("bytes=10000-", 206, "bytes 10000-10239/10240", slice(10000, None)),
    ("bytes=-16", 206, "bytes 10224-10239/10240", slice(10224, None)),
    ("bytes=-99999", 206, "bytes 0-10239/10240", slice(None)),
    ("bytes=10239-99999", 206, "bytes 10239-10239/10240", slice(10239, None)),
    ("bytes=-0", 416, "bytes */10240", None),
    ("bytes=5-2", 416, "bytes */10240", None),
    ("bytes=0-1,5-6", 200, None, slice(None)),  # several ranges: the whole file
    ("items=0-1", 200, None, slice(None)),
]


def check_range_table(test, port, target="/" + BIG):
    for header, status, content_range, part in RANGE_CASES:
        for method in ("GET", "HEAD"):
            with test.subTest(range=header, method=method):
                got, fields, body = http_exchange(port, target, ["Range: " + header] if header else [], method)
                test.assertEqual(status, got)
                test.assertEqual(content_range, fields.get("content-range"))
                if part is not None:
                    test.assertEqual(str(len(BIG_DATA[part])), fields["content-length"])
                    test.assertEqual(b"" if method == "HEAD" else BIG_DATA[part], body)
                    if status == 200:  # nginx names it on whole answers only
                        test.assertEqual("bytes", fields["accept-ranges"])
                    test.assertEqual(app.IMMUTABLE, fields["cache-control"])
    # A validator that no longer matches asks for the whole file.
    status, fields, _ = http_exchange(port, target, ["Range: bytes=0-9"])
    got, _, body = http_exchange(port, target, ["Range: bytes=0-9", "If-Range: " + fields["etag"]])
    test.assertEqual((206, BIG_DATA[:10]), (got, body))
    got, _, body = http_exchange(port, target, ["Range: bytes=0-9", 'If-Range: "0-0"'])
    test.assertEqual((200, BIG_DATA), (got, body))
    # A cache revalidating its copy.
    for condition, expected in [("If-None-Match: " + fields["etag"], 304), ('If-None-Match: "0-0"', 200),
                                ("If-Modified-Since: " + fields["last-modified"], 304)]:
        with test.subTest(condition=condition):
            test.assertEqual(expected, http_exchange(port, target, [condition])[0])


class PackageFileTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.release = os.path.join(tmp.name, "rel")
        write_release(self.release, "Halvenor", "20240101120000", {BIG: BIG_DATA, "files/a^00.txt": b"a"})

    def start(self, **options):
        server = download_server.DownloadServer(("127.0.0.1", 0), [download_server.Release(self.release)],
                                                log_stream=None, options=app.PackageOptions(**options))
        running = RunningServer(server)
        self.addCleanup(running.stop)
        return running.port

    def test_single_ranges_head_and_if_range(self):
        check_range_table(self, self.start())
        status, fields, _ = http_exchange(self.start(), "/files/a^00.txt")
        self.assertEqual((200, app.REVALIDATE), (status, fields["cache-control"]))

    def test_switches_cut_the_body_and_ignore_ranges(self):
        port = self.start(cut_after=1000, cut_count=2)
        for _ in range(2):  # announced whole, ended after 1000 bytes, connection closed
            status, fields, body = http_exchange(port, "/" + BIG)
            self.assertEqual((200, "10240", BIG_DATA[:1000]), (status, fields["content-length"], body))
        status, fields, body = http_exchange(port, "/" + BIG, ["Range: bytes=2000-"])
        self.assertEqual((206, BIG_DATA[2000:]), (status, body), "only the first two answers are cut")
        port = self.start(cut_after=100)
        status, _, body = http_exchange(port, "/" + BIG, ["Range: bytes=5000-"])
        self.assertEqual((206, BIG_DATA[5000:5100]), (status, body))
        port = self.start(ignore_range=True)
        status, fields, body = http_exchange(port, "/" + BIG, ["Range: bytes=5000-"])
        self.assertEqual((200, None, BIG_DATA), (status, fields.get("content-range"), body))

    def test_any_wsgi_server_without_the_raw_target(self):
        # Servers that pass no RAW_URI/REQUEST_URI: the target is rebuilt from PATH_INFO.
        from wsgiref.util import setup_testing_defaults
        application = app.OrvantaApp([download_server.Release(self.release)])
        for path, expected in (("/files/a^00.txt", b"a"), ("/files/Bin/big^" + "ab" * 32 + ".bin", BIG_DATA)):
            environ = {"PATH_INFO": path, "HTTP_HOST": "dl.orvanta.net"}
            setup_testing_defaults(environ)
            answer = []
            body = application(environ, lambda status, headers: answer.append(status))
            self.assertEqual(["200 OK"], answer)
            self.assertEqual(expected, b"".join(body))
            body.close()

    def test_only_get_and_head(self):
        self.assertEqual(405, http_exchange(self.start(), "/" + BIG, method="POST")[0])


class SignedManifestTest(unittest.TestCase):
    """Signed manifests are served byte for byte: never templated or re-rendered."""

    DATE = "20240404120000"

    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.release = os.path.join(tmp.name, "rel")
        write_release(self.release, "Halvenor", self.DATE, {"files/a^00.txt": b"a"})
        with open(os.path.join(self.release, app.MANIFEST_NAME), encoding="latin-1", newline="") as f:
            text = f.read()
        # Not what ini.render would write: comments, spacing, LF line ends, a placeholder.
        self.manifest, key = sign_manifest("; release notes\n" + text.replace("\r\n", "\n").replace("[REG]\n", "[REG]\nLanguage/=S/Y/${Lang}\n"))
        self.no_update, _ = sign_manifest("[GENERAL]\r\nBRAND_NAME=Halvenor\r\n[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n"
                                          "[PRODUCT_REG]\r\nLastUpdateDate=%s\r\n" % self.DATE, key)
        self.write(app.MANIFEST_NAME, self.manifest)
        server = download_server.DownloadServer(("127.0.0.1", 0), [download_server.Release(self.release)],
                                                log_stream=None)
        self.server = RunningServer(server)
        self.addCleanup(self.server.stop)

    def write(self, name, data):
        path = os.path.join(self.release, name)
        with open(path + ".part", "wb") as f:
            f.write(data)
        os.replace(path + ".part", path)

    def answer(self, date, page="ClientResources"):
        status, _, body = self.server.request("/Dl/%s.asp?" % page + QUERY % (date, "Halvenor"))
        self.assertEqual(200, status)
        return body

    def test_served_verbatim_with_the_signed_no_update_companion(self):
        self.assertEqual(self.manifest, self.answer(""))
        self.assertEqual(self.manifest, self.answer(self.DATE), "no companion yet: the full signed manifest")
        self.write(app.NO_UPDATE_NAME, self.no_update)
        cases = [("", self.manifest), ("20200101000000", self.manifest), (self.DATE, self.no_update)]
        for date, expected in cases:
            with self.subTest(date=date):
                self.assertEqual(expected, self.answer(date))
        self.assertEqual(self.manifest, self.answer(self.DATE, "UpdateResources"))

    def test_a_companion_that_is_unsigned_or_of_another_release_is_not_used(self):
        for name, data in [("unsigned", self.no_update.split(b";signature=")[0]),
                           ("other date", sign_manifest("[NO_UPDATE_AVILABLE]\r\nVALUE=1\r\n[PRODUCT_REG]\r\n"
                                                        "LastUpdateDate=20200101000000\r\n")[0])]:
            with self.subTest(name):
                self.write(app.NO_UPDATE_NAME, data)
                self.assertEqual(self.manifest, self.answer(self.DATE))

    def test_only_a_last_signature_line_marks_a_signed_file(self):
        sig = b";signature=ed25519:" + b"0" * 128
        cases = [(b"[A]\r\n" + sig + b"\r\n", True), (b"[A]\n" + sig, True), (sig + b"\n", True),
                 (b"[A]\r\n" + sig + b"\r\n[B]\r\n", False), (b"[A]\r\n;sig\r\n", False),
                 (b"[A]\r\n" + sig + b"\r\n\r\n", False)]
        for data, signed in cases:
            with self.subTest(data=data[-12:]):
                self.assertEqual(signed, app.is_signed(data))


if __name__ == "__main__":
    unittest.main()
