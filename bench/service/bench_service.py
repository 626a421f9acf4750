#!/usr/bin/env python3
"""Figures of the service on loopback, embedded server vs the production stack:
  - manifest requests per second, 50 concurrent keep-alive clients: the embedded
    server, gunicorn with 2 workers, and nginx in front of that gunicorn;
  - package throughput, nginx vs the embedded server: one 64 MiB file, and 2,000 small
    files (1-16 KiB) over 4 parallel connections (curl);
  - funnel reports stored per second with 50 concurrent senders: SQLite (embedded and
    gunicorn) and PostgreSQL (gunicorn), with the stored rows counted;
  - failure reports stored per second with 50 concurrent senders: SQLite (embedded) and
    PostgreSQL (gunicorn), likewise.
The dashboard's page time is bench_dashboard.py's. PARTS=reports (environment) measures only
the reports stored per second, STORES=postgresql (or sqlite) only that store's: for comparing
versions of the store back to back.
Every server is started here and stopped at the end; request loops are bounded in count
and time. The clients run on the same two cores as the servers.
"""

import hashlib
import http.client
import os
import random
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from service import ini, localstack  # noqa: E402
from service.funnel_store import open_store  # noqa: E402

CLIENTS = 50
REQUESTS = 4000      # per measurement, across all clients
TIME_LIMIT = 60.0    # seconds per measurement
SMALL_FILES = 2000
BIG_MIB = 64
MANIFEST = ("http://dl.orvanta.net:80/Dl/ClientResources.asp?Remote=1&Product=Tindermoor&Did=1&Lang=EN"
            "&Tag=1&Tag2=1&ChainStartTime=1191945099&ChainStartRandom=8246&Fun=1&Currency=1&BrandId=1"
            "&LastUpdateDate=&Brand=Halvenor")
PYTHON = "/usr/bin/python3" if os.path.exists("/usr/bin/python3") else sys.executable


def make_release(folder, manifest_files=200):
    """A release with SMALL_FILES small files and one big file, named by digest; the
    manifest lists the big file and the first `manifest_files` small ones (a client of
    a few hundred files), with a templated REG value as the packer's demo has."""
    rng = random.Random(7)
    specs = []
    for i in range(SMALL_FILES):
        data = rng.randbytes(rng.randint(1024, 16 * 1024))
        specs.append(("Data/f%04d.dat" % i, data))
    entries, small = [], []
    for rel, data in specs:
        stem, ext = rel.rsplit(".", 1)
        spec = "files/%s^%s.%s" % (stem, hashlib.sha256(data).hexdigest(), ext)
        path = os.path.join(folder, *spec.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        small.append(spec)
        entries.append((rel.replace("/", "__"), spec))
    block = rng.randbytes(1 << 20)
    digest = hashlib.sha256()
    for _ in range(BIG_MIB):
        digest.update(block)
    big = "files/Bin/big^%s.bin" % digest.hexdigest()
    path = os.path.join(folder, *big.split("/"))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        for _ in range(BIG_MIB):
            f.write(block)
    listed = [("Bin__big.bin", big)] + entries[:manifest_files]
    sections = {"GENERAL": {"BRAND_NAME": "Halvenor", "EXE_NAME": "client.exe", "EXE_WORK_PATH": "Bin",
                            "FILE_DIGEST": "SHA256"},
                "FILE": {key: "1,%s,%d" % (spec, 100 + i) for i, (key, spec) in enumerate(listed)},
                "REG": {"Language/": "S/Y/${Lang}"}, "PRODUCT_REG": {"LastUpdateDate": "20240101120000"}}
    with open(os.path.join(folder, "manifest.ini"), "w", newline="") as f:
        f.write(ini.render(sections))
    return big, small


def run_clients(port, target, check, count=REQUESTS):
    counter = {"left": count, "done": 0, "errors": 0}
    lock = threading.Lock()
    deadline = time.monotonic() + TIME_LIMIT

    def take():
        with lock:
            if counter["left"] <= 0 or time.monotonic() > deadline:
                return None
            counter["left"] -= 1
            return count - counter["left"]

    def client():
        conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
        while True:
            n = take()
            if n is None:
                break
            try:
                conn.request("GET", target(n))
                response = conn.getresponse()
                ok = response.status == 200 and check(response.read())
            except (OSError, http.client.HTTPException):
                ok = False
                conn.close()
            with lock:
                counter["done" if ok else "errors"] += 1
        conn.close()

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    return counter["done"], counter["errors"], time.monotonic() - start


def curl_files(port, specs, parallel):
    """Fetches every spec with curl through keep-alive connections; (bytes, seconds)."""
    config = "".join('url = "http://127.0.0.1:%d/%s"\noutput = "/dev/null"\n' % (port, s.replace("^", "%5E"))
                     for s in specs)
    start = time.monotonic()
    result = subprocess.run(["curl", "-sS", "--fail", "--parallel", "--parallel-max", str(parallel), "-K", "-",
                             "-w", "%{size_download}\n"], input=config, capture_output=True, text=True,
                            timeout=TIME_LIMIT * 5)
    elapsed = time.monotonic() - start
    if result.returncode != 0:
        raise RuntimeError("curl failed: %s" % result.stderr[-500:])
    return sum(int(x) for x in result.stdout.split()), elapsed


def start_embedded(release, db, folder, name):
    log = open(os.path.join(folder, name + ".err"), "w")
    proc = subprocess.Popen([PYTHON, os.path.join(ROOT, "service", "download_server.py"), "--release", release,
                             "--log-db", db, "--access-log", os.devnull], stdout=subprocess.PIPE, stderr=log,
                            text=True, start_new_session=True)
    port = int(proc.stdout.readline())
    return proc, port


def stop(proc):
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(30)
    except subprocess.TimeoutExpired:
        proc.kill()
        proc.wait()


def report_target(n):
    return ("http://log.orvanta.net:80/ClientsRecruitChain.asp?StartTime=%d&StartRandom=%d&Status=%d&Did=1"
            "&Tag1=1&Tag2=1&" % (1700000000 + n // 4, n % 1000, (30, 40, 50, 60)[n % 4]))


REASONS = ("server-unreachable", "disk-full", "digest-mismatch", "manifest-refused")


def failure_target(n):
    return ("http://log.orvanta.net:80/ClientsFailure.asp?StartTime=%d&StartRandom=%d&Did=1&Tag1=1&Tag2=1"
            "&Reason=%s&Error=12029&Stage=FetchManifest&Build=1.4.2&WinVer=10.0.19045&Date=20240101120000&"
            % (1800000000 + n, n % 1000, REASONS[n % 4]))


def stored_rows(db, table):
    store = open_store(db)
    try:
        (count,), = store.fetch([("SELECT COUNT(*) FROM %s" % table, ())])[0]
        return count
    finally:
        store.close()


def store_reports(kind, servers, target):
    """Reports of one kind sent by CLIENTS senders to each (name, port, store) of servers;
    the rate answered and the rows the store gained."""
    print("%s reports, %d concurrent senders:" % (kind, CLIENTS))
    table = {"funnel": "reports", "failure": "failures"}[kind]
    stores = os.environ.get("STORES", "sqlite,postgresql").split(",")
    for name, port, db in servers:
        if ("postgresql" if db.startswith("postgresql:") else "sqlite") not in stores:
            continue
        before = stored_rows(db, table)
        done, errors, elapsed = run_clients(port, target, lambda body: body == b"OK\n")
        stored = stored_rows(db, table) - before
        print("  %-32s %5d answered OK in %6.2f s = %6.0f reports/s; stored %d, lost %d (%d errors)"
              % (name, done, elapsed, rate(done, elapsed), stored, done - stored, errors))


def rate(done, elapsed):
    return done / elapsed if elapsed else 0.0


def main():
    with tempfile.TemporaryDirectory() as tmp:
        os.chmod(tmp, 0o755)
        release = os.path.join(tmp, "release")
        big, small = make_release(release)
        pg = localstack.Postgres(os.path.join(tmp, "postgres")).start()
        servers = []
        try:
            sqlite_db = os.path.join(tmp, "embedded.sqlite")
            embedded, embedded_port = start_embedded(release, sqlite_db, tmp, "embedded")
            servers.append(embedded)
            gunicorn_sqlite = localstack.Gunicorn(os.path.join(tmp, "g-sqlite"),
                                                  ["--release", release, "--log-db",
                                                   os.path.join(tmp, "gunicorn.sqlite")], 2).start()
            servers.append(gunicorn_sqlite)
            gunicorn_pg = localstack.Gunicorn(os.path.join(tmp, "g-pg"),
                                              ["--release", release, "--log-db", pg.dsn], 2).start()
            servers.append(gunicorn_pg)
            nginx = localstack.Nginx(os.path.join(tmp, "nginx"), [release],
                                     ["127.0.0.1:%d" % gunicorn_pg.port]).start()
            servers.append(nginx)

            if os.environ.get("PARTS", "all") != "reports":
                serve_manifests_and_files(embedded_port, gunicorn_pg.port, nginx.port, big, small)
            store_reports("funnel", [("embedded server + SQLite", embedded_port, sqlite_db),
                                     ("gunicorn 2 workers + SQLite", gunicorn_sqlite.port,
                                      os.path.join(tmp, "gunicorn.sqlite")),
                                     ("gunicorn 2 workers + PostgreSQL", gunicorn_pg.port, pg.dsn)], report_target)
            store_reports("failure", [("embedded server + SQLite", embedded_port, sqlite_db),
                                      ("gunicorn 2 workers + PostgreSQL", gunicorn_pg.port, pg.dsn)], failure_target)
        finally:
            for server in reversed(servers):
                stop(server) if isinstance(server, subprocess.Popen) else server.stop()
            pg.stop()


def serve_manifests_and_files(embedded_port, gunicorn_port, nginx_port, big, small):
    print("manifest requests, %d concurrent keep-alive clients (%d-file manifest):" % (
        CLIENTS, 201))
    check = lambda body: b"BRAND_NAME=Halvenor" in body and b"Language/=S/Y/EN" in body  # noqa: E731
    for name, port in (("embedded server", embedded_port), ("gunicorn, 2 workers", gunicorn_port),
                       ("nginx -> gunicorn, 2 workers", nginx_port)):
        done, errors, elapsed = run_clients(port, lambda n: MANIFEST, check)
        print("  %-30s %5d requests in %6.2f s = %7.0f requests/s (%d errors)"
              % (name, done, elapsed, rate(done, elapsed), errors))

    print("package files (curl):")
    for name, port in (("embedded server", embedded_port), ("nginx", nginx_port)):
        size, elapsed = curl_files(port, [big], 1)
        print("  %-30s %d MiB file in %6.2f s = %7.0f MiB/s"
              % (name, size >> 20, elapsed, size / (1 << 20) / elapsed))
        size, elapsed = curl_files(port, small, 4)
        print("  %-30s %d small files (%.1f MiB) in %6.2f s = %7.0f files/s, %5.1f MiB/s"
              % (name, len(small), size / (1 << 20), elapsed, len(small) / elapsed,
                 size / (1 << 20) / elapsed))


if __name__ == "__main__":
    main()
