#!/usr/bin/env python3
"""Requests per second of the download server's manifest endpoint under 50 concurrent
clients on loopback, plus the throughput of one large package file. Bounded in request
count and time; starts and stops its own server."""

import hashlib
import http.client
import json
import os
import signal
import subprocess
import sys
import tempfile
import threading
import time

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
CLIENTS = 50
REQUESTS = 4000     # per measurement, across all clients
TIME_LIMIT = 60.0   # seconds per measurement
TARGET = ("http://dl.orvanta.net:80/Dl/ClientResources.asp?Remote=1&Product=Tindermoor&Did=1&Lang=EN"
          "&Tag=1&Tag2=1&ChainStartTime=1191945099&ChainStartRandom=8246&Fun=1&Currency=1&BrandId=1"
          "&LastUpdateDate=&Brand=Halvenor")


def make_release(tmp):
    client = os.path.join(tmp, "client")
    for i in range(40):
        path = os.path.join(client, "Data", "pack%02d.dat" % i)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(hashlib.sha256(b"%d" % i).digest() * 64)
    big = os.path.join(client, "Bin", "big.bin")
    os.makedirs(os.path.dirname(big), exist_ok=True)
    with open(big, "wb") as f:
        block = os.urandom(1 << 20)
        for _ in range(32):
            f.write(block)
    with open(os.path.join(tmp, "lzma.exe"), "wb") as f:
        f.write(b"MZ stand-in")
    desc = os.path.join(tmp, "release.json")
    with open(desc, "w") as f:
        json.dump({"BRAND_NAME": "Halvenor", "EXE_NAME": "client.exe", "EXE_WORK_PATH": "Bin",
                   "REG": {"Language/": "S/Y/${Lang}"}}, f)
    out = os.path.join(tmp, "release")
    subprocess.run([sys.executable, os.path.join(ROOT, "packer", "pack_release.py"), "--client", client,
                    "--description", desc, "--out", out, "--decoder", os.path.join(tmp, "lzma.exe"),
                    "--preset", "0", "--quiet"], check=True, timeout=300)
    return out


def run_clients(port, keep_alive):
    counter = {"left": REQUESTS, "done": 0, "errors": 0}
    lock = threading.Lock()
    deadline = time.monotonic() + TIME_LIMIT

    def take():
        with lock:
            if counter["left"] <= 0 or time.monotonic() > deadline:
                return False
            counter["left"] -= 1
            return True

    def client():
        conn = None
        while take():
            try:
                if conn is None:
                    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
                conn.request("GET", TARGET)
                response = conn.getresponse()
                ok = response.status == 200 and b"BRAND_NAME=Halvenor" in response.read()
                if not keep_alive:
                    conn.close()
                    conn = None
            except OSError:
                ok = False
                conn = None
            with lock:
                counter["done" if ok else "errors"] += 1
        if conn is not None:
            conn.close()

    threads = [threading.Thread(target=client) for _ in range(CLIENTS)]
    start = time.monotonic()
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    elapsed = time.monotonic() - start
    return counter["done"], counter["errors"], elapsed


def file_throughput(port, release):
    with open(os.path.join(release, "manifest.ini")) as f:
        spec = next(line.split(",")[1] for line in f if line.startswith("Bin__big.bin="))
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    start = time.monotonic()
    conn.request("GET", "http://dl.orvanta.net:80/" + spec)
    response = conn.getresponse()
    received = 0
    while True:
        chunk = response.read(1 << 20)
        if not chunk:
            break
        received += len(chunk)
    conn.close()
    return received, time.monotonic() - start


def main():
    with tempfile.TemporaryDirectory() as tmp:
        release = make_release(tmp)
        server = subprocess.Popen([sys.executable, os.path.join(ROOT, "service", "download_server.py"),
                                   "--release", release, "--access-log", os.devnull],
                                  stdout=subprocess.PIPE, text=True)
        try:
            port = int(server.stdout.readline())
            for keep_alive in (True, False):
                done, errors, elapsed = run_clients(port, keep_alive)
                print("manifest endpoint, %d clients, %s: %d requests in %.2f s = %.0f requests/s (%d errors)"
                      % (CLIENTS, "keep-alive" if keep_alive else "new connection per request",
                         done, elapsed, done / elapsed if elapsed else 0, errors))
            received, elapsed = file_throughput(port, release)
            print("package file: %d MiB in %.2f s = %.0f MiB/s" % (received >> 20, elapsed,
                                                                  received / (1 << 20) / elapsed))
        finally:
            server.send_signal(signal.SIGTERM)
            try:
                server.wait(30)
            except subprocess.TimeoutExpired:
                server.kill()


if __name__ == "__main__":
    main()
