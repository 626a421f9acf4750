import concurrent.futures
import hashlib
import http.client
import os
import socket
import tempfile
import tracemalloc
import unittest

from service import download_server, ini
from service.tests.support import RunningServer, raw_request, write_release

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


if __name__ == "__main__":
    unittest.main()
