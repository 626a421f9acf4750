"""Pieces shared by the download and log servers: request-target parsing (origin and
absolute form), whole-file streaming, and the start/stop cycle of a server process."""

import http.server
import os
import re
import signal
import sys
import threading
from urllib.parse import parse_qsl, unquote

# "http://host:80/path?q", "http://host:80path" (no slash after the port), "http://host/path"
_ABSOLUTE = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*://([^/?#:]*)(?::(\d*))?(.*)$", re.S)


def split_target(target, host_header=None):
    """Split a request target into (host, path, query).

    The host comes from an absolute target, else from the Host header; it is lower
    case and without port, or "" when unknown. The path has no leading "/" (clients
    send it with or without one) and is percent-decoded; the query is left raw."""
    host = ""
    rest = target
    m = _ABSOLUTE.match(target)
    if m:
        host = m.group(1)
        rest = m.group(3)
    elif host_header:
        host = host_header.strip()
        if host.startswith("["):  # [v6]:port
            host = host[: host.find("]") + 1]
        else:
            host = host.partition(":")[0]
    rest = rest.partition("#")[0]
    path, _, query = rest.partition("?")
    return host.lower(), unquote(path.lstrip("/"), errors="strict"), query


def parse_query(query):
    """Query pairs in order; the first of repeated names wins in the dict."""
    pairs = parse_qsl(query, keep_blank_values=True)
    result = {}
    for name, value in pairs:
        result.setdefault(name, value)
    return result


def stream_file(handler, path, content_type="application/octet-stream"):
    """Answer with a whole file without reading it into memory (sendfile where the
    socket allows it). Returns False when the file cannot be opened."""
    try:
        f = open(path, "rb")
    except OSError:
        return False
    with f:
        size = os.fstat(f.fileno()).st_size
        handler.send_response(200)
        handler.send_header("Content-Type", content_type)
        handler.send_header("Content-Length", str(size))
        handler.end_headers()
        if handler.command == "HEAD":
            return True
        handler.wfile.flush()
        try:
            handler.connection.sendfile(f)
        except ConnectionError:
            handler.close_connection = True
    return True


class Handler(http.server.BaseHTTPRequestHandler):
    """Base handler: HTTP/1.1 with keep-alive, every answer carries Content-Length,
    access lines go to the server's log stream."""

    protocol_version = "HTTP/1.1"
    # Idle or stalled connections give their thread back eventually.
    timeout = 120
    server_version = "OrvantaService/1.0"

    def send_text(self, status, text, content_type="text/plain; charset=latin-1"):
        body = text.encode("latin-1", "replace") if isinstance(text, str) else text
        self.send_response(status)
        self.send_header("Content-Type", content_type)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        if self.command != "HEAD":
            self.wfile.write(body)

    def target(self):
        try:
            return split_target(self.path, self.headers.get("Host"))
        except UnicodeDecodeError:
            return None

    def log_message(self, fmt, *args):
        stream = getattr(self.server, "log_stream", None)
        if stream is None:
            return
        line = "%s - [%s] %s\n" % (self.client_address[0], self.log_date_time_string(), fmt % args)
        with self.server.log_lock:
            stream.write(line)
            stream.flush()


class Server(http.server.ThreadingHTTPServer):
    daemon_threads = True
    # Wine's proxy path and scripts reconnect quickly after a restart.
    allow_reuse_address = True
    # Many installers connect at once; a short backlog turns bursts into SYN retries.
    request_queue_size = 128

    def __init__(self, address, handler, log_stream=sys.stderr):
        super().__init__(address, handler)
        self.log_stream = log_stream
        self.log_lock = threading.Lock()


def write_port_file(path, port):
    tmp = path + ".tmp"
    with open(tmp, "w") as f:
        f.write("%d\n" % port)
    os.replace(tmp, path)


def add_common_arguments(parser):
    parser.add_argument("--bind", default="127.0.0.1", help="address to listen on (default 127.0.0.1)")
    parser.add_argument("--port", type=int, default=0, help="port; 0 picks a free one (default)")
    parser.add_argument("--port-file", help="write the chosen port to this file once listening")
    parser.add_argument("--access-log", help="append request lines to this file instead of stderr")


def serve_until_signalled(server, args, on_stop=None):
    """Announce the port, serve until SIGINT/SIGTERM, then stop cleanly."""
    port = server.server_address[1]
    # The port file first: whoever reads the stdout line may look for the file at once.
    if args.port_file:
        write_port_file(args.port_file, port)
    print(port, flush=True)
    stop = threading.Event()

    def request_stop(signum, frame):
        stop.set()

    signal.signal(signal.SIGINT, request_stop)
    signal.signal(signal.SIGTERM, request_stop)
    worker = threading.Thread(target=server.serve_forever, kwargs={"poll_interval": 0.2}, daemon=True)
    worker.start()
    while not stop.is_set() and worker.is_alive():
        stop.wait(0.5)
    server.shutdown()
    server.server_close()
    if on_stop:
        on_stop()
    if args.port_file:
        try:
            os.remove(args.port_file)
        except OSError:
            pass
    return 0


def open_access_log(path):
    if not path:
        return sys.stderr
    return open(path, "a", buffering=1)
