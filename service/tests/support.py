"""Helpers for the service tests: servers in a thread, raw HTTP exchanges."""

import os
import socket
import threading

from service import download_server, ini


def write_release(folder, brand, date, files=None, extra_general=None, reg=None):
    """A release folder as the packer writes it; `files` maps spec -> bytes."""
    files = files or {}
    general = {"BRAND_NAME": brand, "EXE_NAME": "client.exe", "EXE_WORK_PATH": "Bin"}
    general.update(extra_general or {})
    entries = {}
    for order, (spec, data) in enumerate(sorted(files.items()), start=1):
        path = os.path.join(folder, *spec.split("/"))
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
        base, _, tail = spec.split("/", 1)[1].rpartition("^")
        ext = tail[tail.find("."):]
        key = (base if ext == ".lzma" else base + ext).replace("/", "__")
        entries[key] = "1,%s,%d" % (spec, order)
    sections = {"GENERAL": general, "FILE": entries, "REG": reg or {}, "PRODUCT_REG": {"LastUpdateDate": date}}
    os.makedirs(folder, exist_ok=True)
    manifest = os.path.join(folder, download_server.MANIFEST_NAME)
    with open(manifest + ".part", "w", newline="") as f:
        f.write(ini.render(sections))
    os.replace(manifest + ".part", manifest)  # as the packer does: a new file, never half written


class RunningServer:
    """Runs a server on 127.0.0.1 with a picked port until stopped."""

    def __init__(self, server):
        self.server = server
        self.port = server.server_address[1]
        self.thread = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.05}, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()
        self.thread.join(30)

    def request(self, target, host=None, method="GET", timeout=30):
        """Send one request with the exact target; returns (status, headers dict, body)."""
        return raw_request(self.port, target, host, method, timeout)


def _read_response(sock_file, method):
    status_line = sock_file.readline().decode("latin-1")
    if not status_line:
        raise ConnectionError("no answer")
    status = int(status_line.split()[1])
    headers = {}
    while True:
        line = sock_file.readline().decode("latin-1").rstrip("\r\n")
        if not line:
            break
        name, _, value = line.partition(":")
        headers[name.strip().lower()] = value.strip()
    length = int(headers.get("content-length", "0"))
    body = b"" if method == "HEAD" else sock_file.read(length)
    return status, headers, body


def raw_request(port, target, host=None, method="GET", timeout=30):
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        lines = ["%s %s HTTP/1.1" % (method, target)]
        if host:
            lines.append("Host: %s" % host)
        lines.append("Connection: close")
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        with s.makefile("rb") as f:
            return _read_response(f, method)


def sign_manifest(text, private_key=None):
    """A signed manifest as the packer writes it: the text, then the signature line over
    every byte before it. Returns (bytes, public key bytes)."""
    from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
    key = private_key or Ed25519PrivateKey.generate()
    data = text.encode("latin-1")
    line = b";signature=ed25519:" + key.sign(data).hex().encode() + b"\r\n"
    return data + line, key


def http_exchange(port, target, headers=(), method="GET", timeout=60):
    """One request with extra header lines, read to the end of the connection:
    (status, headers dict, body); a body cut short arrives as it is."""
    with socket.create_connection(("127.0.0.1", port), timeout=timeout) as s:
        lines = ["%s %s HTTP/1.1" % (method, target), "Host: 127.0.0.1"] + list(headers) + ["Connection: close"]
        s.sendall(("\r\n".join(lines) + "\r\n\r\n").encode("latin-1"))
        data = bytearray()
        while True:
            chunk = s.recv(1 << 16)
            if not chunk:
                break
            data += chunk
    head, _, body = bytes(data).partition(b"\r\n\r\n")
    lines = head.decode("latin-1").split("\r\n")
    fields = {}
    for line in lines[1:]:
        name, _, value = line.partition(":")
        fields[name.strip().lower()] = value.strip()
    return int(lines[0].split()[1]), fields, body


CURRENT_DATE, STAGED_DATE = "20240301120000", "20240302120000"


def pack_releases(folder, key, brand="Halvenor", stage=None):
    """A release folder as the release machine writes it, signed with `key`: a current
    release of CURRENT_DATE and, with `stage`, one of STAGED_DATE staged at `stage` %."""
    import json
    from packer import pack_release
    client, description, decoder = folder + ".client", folder + ".json", os.path.join(folder + ".tools", "lzma.exe")
    for path, data in ((os.path.join(client, "Bin", "client.exe"), b"MZ client 1 " * 500),
                       (os.path.join(client, "Data", "readme.txt"), b"read me " * 50), (decoder, b"MZ decoder")):
        os.makedirs(os.path.dirname(path), exist_ok=True)
        with open(path, "wb") as f:
            f.write(data)
    with open(description, "w") as f:
        json.dump({"BRAND_NAME": brand, "EXE_NAME": "client.exe", "EXE_WORK_PATH": "Bin"}, f)
    options = dict(decoders=[decoder], sign_key=key, log=lambda *a: None)
    pack_release.pack(client, description, folder, date=CURRENT_DATE, **options)
    if stage is not None:
        with open(os.path.join(client, "Bin", "client.exe"), "wb") as f:
            f.write(b"MZ client 2 " * 500)
        pack_release.pack(client, description, folder, date=STAGED_DATE, stage=stage, **options)
    return folder


def read_file(*parts):
    with open(os.path.join(*parts), "rb") as f:
        return f.read()


# The dashboard's figures counted straight from the raw rows, as the dashboard did before it
# kept a summary: the reference the summary must always equal.
_RAW_QUERIES = {
    "totals": "SELECT (SELECT COUNT(*) FROM reports), (SELECT COUNT(*) FROM failures),"
              " (SELECT COUNT(*) FROM manifest_requests),"
              " (SELECT COUNT(*) FROM (SELECT DISTINCT start_time, start_random FROM reports) AS d)",
    "funnel": "SELECT status, COUNT(*) FROM (SELECT DISTINCT status, start_time, start_random FROM reports) AS d"
              " GROUP BY status",
    "by_day": "SELECT day, status, COUNT(*) FROM (SELECT DISTINCT substr(received, 1, 10) AS day, status,"
              " start_time, start_random FROM reports WHERE received >= ?) AS d GROUP BY day, status",
    "campaign": "SELECT grp, status, COUNT(*) FROM (SELECT DISTINCT {by} AS grp, status, start_time, start_random"
                " FROM reports) AS d GROUP BY grp, status",
    "failures": "SELECT {by}, COUNT(*) FROM failures GROUP BY {by}",
    "installs": "SELECT day, release_date, COUNT(*) FROM (SELECT DISTINCT substr(received, 1, 10) AS day,"
                " release_date, start_time, start_random FROM manifest_requests WHERE received >= ?"
                " AND outcome <> 'error' AND start_time IS NOT NULL) AS d GROUP BY day, release_date",
    "releases": "SELECT r.release_date, COUNT(*), COUNT(f.start_time) FROM (SELECT start_time, start_random,"
                " MAX(release_date) AS release_date FROM manifest_requests WHERE outcome <> 'error'"
                " AND start_time IS NOT NULL GROUP BY start_time, start_random) AS r"
                " LEFT JOIN (SELECT DISTINCT start_time, start_random FROM failures) AS f"
                " ON f.start_time = r.start_time AND f.start_random = r.start_random GROUP BY r.release_date",
    "manifest": "SELECT release_date, outcome, COUNT(*) FROM manifest_requests GROUP BY release_date, outcome",
}


def raw_figures(store, now):
    """The figures of dashboard.collect(store, [], now) but "generated" and "rollouts",
    plus "manifest" (store.manifest_counts()), recounted from the raw rows."""
    import datetime
    import json
    from service import dashboard
    from service.reports import STAGES
    since = (now - datetime.timedelta(days=dashboard.DAYS)).date().isoformat()
    q = lambda name, params=(), **by: store.fetch([(_RAW_QUERIES[name].format(**by), params)])[0]  # noqa: E731
    (reports, failures, requests, funnels), = q("totals")
    funnel = dict(q("funnel"))
    days, stages = dashboard._series(q("by_day", (since,)))
    install_days, per_release = dashboard._series(q("installs", (since,)))
    campaigns = {}
    for by in ("did", "tag1", "tag2"):
        groups = {}
        for group, status, n in q("campaign", by=by):
            groups.setdefault(group, {})[status] = n
        campaigns[by] = [[g] + [c.get(s, 0) for s, _ in STAGES] for g, c in sorted(groups.items())]
    by_count = lambda by: sorted(q("failures", by=by), key=lambda i: (-i[1], i[0]))  # noqa: E731
    figures = {"totals": {"reports": reports, "funnels": funnels, "failures": failures, "manifest_requests": requests},
            "stages": [[s, name] for s, name in STAGES], "funnel": {str(s): funnel.get(s, 0) for s, _ in STAGES},
            "funnel_by_day": {"days": days, "stages": stages}, "campaigns": campaigns,
            "failures_by_reason": by_count("reason"), "failures_by_win_ver": by_count("win_ver"),
            "installs_by_day": {"days": install_days, "releases": per_release},
            "releases": sorted(q("releases"))}
    figures = json.loads(dashboard.to_json(figures))  # the shapes JSON gives: lists, string keys
    figures["manifest"] = {(r, o): n for r, o, n in q("manifest")}
    return figures


def shown_figures(store, now):
    """What the dashboard shows from the store (the summary), in raw_figures' shape."""
    import json
    from service import dashboard
    figures = json.loads(dashboard.to_json(dashboard.collect(store, [], now)))
    del figures["generated"], figures["rollouts"]
    figures["manifest"] = store.manifest_counts()
    return figures
