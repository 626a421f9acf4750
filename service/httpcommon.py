"""Pieces shared by the download and log servers: request-target parsing (origin and
absolute form), the body of a package file answer, the embedded HTTP/1.1 server that
runs the WSGI application, and the start/stop cycle of a server process."""

import http.server
import io
import logging
import os
import re
import signal
import sys
import threading
from urllib.parse import parse_qsl, unquote

CHUNK = 64 * 1024
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


class FileSlice:
    """A byte range of an open file, read in chunks; the embedded server sends it with
    sendfile instead."""

    def __init__(self, f, offset, length, limit=None):
        self.file = f
        self.offset = offset
        self.length = length
        # Bytes actually sent: fewer than length stands in for a dropped connection.
        self.limit = length if limit is None else min(limit, length)
        f.seek(offset)

    def __iter__(self):
        left = self.limit
        while left > 0:
            chunk = self.file.read(min(CHUNK, left))
            if not chunk:
                break
            left -= len(chunk)
            yield chunk

    def close(self):
        self.file.close()


class Handler(http.server.BaseHTTPRequestHandler):
    """Runs the server's WSGI application for every request: HTTP/1.1 with keep-alive
    (the application gives every answer a Content-Length), package files sent with
    sendfile, access lines to the server's log stream."""

    protocol_version = "HTTP/1.1"
    # Headers and a sendfile body go out as two writes: with Nagle's algorithm the second
    # waits for the client's delayed ACK (40 ms per small file on a kept-alive connection).
    disable_nagle_algorithm = True
    # Idle or stalled connections give their thread back eventually.
    timeout = 120
    server_version = "OrvantaService/1.0"

    def run_app(self):
        environ = self._environ()
        started = []

        def start_response(status, headers, exc_info=None):
            if exc_info and started and started[0] is True:
                raise exc_info[1].with_traceback(exc_info[2])
            started[:] = [status, headers]
            return self._write_unexpected

        result = self.server.app(environ, start_response)
        try:
            status, headers = started
            code, _, reason = status.partition(" ")
            self.send_response(int(code), reason)
            declared = None
            for name, value in headers:
                self.send_header(name, value)
                if name.lower() == "content-length":
                    declared = int(value)
            if declared is None:
                self.close_connection = True  # the end of the body marks the end of the answer
            self.end_headers()
            started[0] = True
            sent = 0 if self.command != "HEAD" else declared
            if self.command != "HEAD":
                sent = self._send_body(result)
            if declared is not None and sent != declared:
                # A body shorter than announced: the connection must end with it.
                self.close_connection = True
        except ConnectionError:
            self.close_connection = True
        finally:
            if hasattr(result, "close"):
                result.close()

    do_GET = do_HEAD = do_POST = do_PUT = do_DELETE = do_PATCH = do_OPTIONS = run_app

    def _send_body(self, result):
        self.wfile.flush()
        if isinstance(result, FileSlice):
            if result.limit <= 0:
                return 0
            return self.connection.sendfile(result.file, result.offset, result.limit)
        sent = 0
        for chunk in result:
            if chunk:
                self.wfile.write(chunk)
                sent += len(chunk)
        self.wfile.flush()
        return sent

    def _write_unexpected(self, data):
        raise RuntimeError("the application must return its body, not write it")

    def _environ(self):
        target = self.path
        rest = target
        m = _ABSOLUTE.match(target)
        if m:
            rest = m.group(3)
        path, _, query = rest.partition("#")[0].partition("?")
        environ = {
            "REQUEST_METHOD": self.command,
            "SCRIPT_NAME": "",
            "PATH_INFO": unquote(path, encoding="latin-1"),
            "QUERY_STRING": query,
            "RAW_URI": target,
            "SERVER_NAME": self.server.server_address[0],
            "SERVER_PORT": str(self.server.server_address[1]),
            "SERVER_PROTOCOL": self.request_version,
            "REMOTE_ADDR": self.client_address[0],
            "CONTENT_TYPE": self.headers.get("Content-Type", ""),
            "CONTENT_LENGTH": self.headers.get("Content-Length", ""),
            "wsgi.version": (1, 0),
            "wsgi.url_scheme": "http",
            "wsgi.input": io.BytesIO(),  # no endpoint reads a request body
            "wsgi.errors": sys.stderr,
            "wsgi.multithread": True,
            "wsgi.multiprocess": False,
            "wsgi.run_once": False,
        }
        for name, value in self.headers.items():
            key = "HTTP_" + name.upper().replace("-", "_")
            if key not in ("HTTP_CONTENT_TYPE", "HTTP_CONTENT_LENGTH"):
                environ[key] = value if key not in environ else environ[key] + "," + value
        return environ

    def log_message(self, fmt, *args):
        stream = getattr(self.server, "log_stream", None)
        if stream is None:
            return
        line = "%s - [%s] %s\n" % (self.client_address[0], self.log_date_time_string(), fmt % args)
        with self.server.log_lock:
            stream.write(line)
            stream.flush()


class Server(http.server.ThreadingHTTPServer):
    """The embedded server: one thread per connection, running `app`."""

    daemon_threads = True
    # Wine's proxy path and scripts reconnect quickly after a restart.
    allow_reuse_address = True
    # Many installers connect at once; a short backlog turns bursts into SYN retries.
    request_queue_size = 128

    def __init__(self, address, app, log_stream=sys.stderr):
        super().__init__(address, Handler)
        self.app = app
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


def configure_logging(stream=None):
    """The service's own records (logger "orvanta") to standard error with their time: the
    console of the embedded server, the error log under gunicorn."""
    logger = logging.getLogger("orvanta")
    if not logger.handlers:
        handler = logging.StreamHandler(stream or sys.stderr)
        handler.setFormatter(logging.Formatter("%(asctime)s %(levelname)s %(name)s: %(message)s"))
        logger.addHandler(handler)
        logger.setLevel(logging.INFO)


def open_access_log(path):
    if not path:
        return sys.stderr
    return open(path, "a", buffering=1)
