#!/usr/bin/env python3
"""The production stack on one machine, in one folder: a PostgreSQL cluster, the
application under gunicorn, nginx in front. Tests, benchmarks and the scenario fixture
start it; it is also a quick way to try a deployment.

    localstack.py up STATE_DIR --release DIR [--release ...] [--workers 2] [--log-db DSN]
                     [--app-arg ARG ...]
    localstack.py down STATE_DIR

"up" starts the three servers on free loopback ports and returns once each answers;
STATE_DIR then holds port (nginx), app.port (gunicorn), dsn (PostgreSQL), access.log
(nginx, one line per request) and the servers' own logs. With --log-db the application
uses that database (e.g. the cluster of another stack) and no cluster is started. "down" stops them. Every server
runs in the foreground of its own process group, so a stop never leaves one behind.

Needs the Debian packages nginx, gunicorn, postgresql and python3-psycopg2. Run as root,
PostgreSQL runs as the unprivileged user nobody (it refuses root).
"""

import argparse
import glob
import os
import pwd
import shlex
import shutil
import signal
import socket
import subprocess
import sys
import time

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import nginx_site  # noqa: E402

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
START_TIMEOUT = 120.0  # a loaded two-core machine starts PostgreSQL slowly
PORT_TRIES = 5


class StackError(RuntimeError):
    """A server could not be started; the message says which and why."""


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


def _tail(path, lines=15):
    try:
        with open(path, errors="replace") as f:
            return "".join(f.readlines()[-lines:])
    except OSError:
        return ""


def _wait(predicate, proc, what, log, timeout=START_TIMEOUT):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        if predicate():
            return
        if proc is not None and proc.poll() is not None:
            raise StackError("%s exited with code %s:\n%s" % (what, proc.returncode, _tail(log)))
        time.sleep(0.05)
    raise StackError("%s did not start within %.0f s:\n%s" % (what, timeout, _tail(log)))


def _stop(proc, timeout=60):
    if proc is None or proc.poll() is not None:
        return
    proc.send_signal(signal.SIGTERM)
    try:
        proc.wait(timeout)
    except subprocess.TimeoutExpired:
        os.killpg(proc.pid, signal.SIGKILL)
        proc.wait(timeout)


def _find_postgres_bin():
    found = sorted(glob.glob("/usr/lib/postgresql/*/bin/initdb"), key=lambda p: int(p.split("/")[4]))
    if not found:
        raise StackError("PostgreSQL is not installed (no /usr/lib/postgresql/<version>/bin/initdb)")
    return os.path.dirname(found[-1])


class Postgres:
    """A private cluster: initdb + postgres on 127.0.0.1, trust authentication."""

    def __init__(self, folder):
        self.folder = folder
        self.data = os.path.join(folder, "pgdata")
        self.log = os.path.join(folder, "postgres.log")
        self.proc = None
        self.port = None
        self.dsn = None

    def _owner(self):
        # PostgreSQL refuses to run as root: its processes run as nobody, started
        # directly (no su-like parent in between that would handle signals its own way).
        if os.geteuid() != 0:
            return {}
        nobody = pwd.getpwnam("nobody")
        return {"user": nobody.pw_uid, "group": nobody.pw_gid, "extra_groups": []}

    def start(self):
        bindir = _find_postgres_bin()
        os.makedirs(self.folder, exist_ok=True)
        if os.geteuid() == 0:
            nobody = pwd.getpwnam("nobody")
            os.chmod(self.folder, 0o755)
            os.makedirs(self.data, exist_ok=True)
            os.chown(self.data, nobody.pw_uid, nobody.pw_gid)
            with open(self.log, "a"):
                pass
            os.chown(self.log, nobody.pw_uid, nobody.pw_gid)
        if not os.path.exists(os.path.join(self.data, "PG_VERSION")):
            result = subprocess.run([os.path.join(bindir, "initdb"), "-D", self.data, "-U", "orvanta",
                                     "-A", "trust", "-E", "UTF8", "--no-instructions"],
                                    capture_output=True, text=True, timeout=START_TIMEOUT, cwd="/", **self._owner())
            if result.returncode != 0:
                raise StackError("initdb failed:\n%s%s" % (result.stdout, result.stderr))
        for _ in range(PORT_TRIES):
            port = free_port()
            with open(self.log, "a") as log:
                self.proc = subprocess.Popen(
                    [os.path.join(bindir, "postgres"), "-D", self.data, "-p", str(port),
                     "-c", "listen_addresses=127.0.0.1", "-c", "unix_socket_directories=",
                     "-c", "max_connections=200"],
                    stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL, cwd="/",
                    start_new_session=True, **self._owner())
            try:
                _wait(lambda: self._ready(bindir, port), self.proc, "PostgreSQL", self.log)
            except StackError:
                if self.proc.poll() is not None and "could not bind" in _tail(self.log, 5):
                    continue  # the port was taken meanwhile: another one
                self.stop()
                raise
            self.port = port
            self.dsn = "postgresql://orvanta@127.0.0.1:%d/postgres" % port
            return self
        raise StackError("PostgreSQL found no free port:\n%s" % _tail(self.log))

    def _ready(self, bindir, port):
        return subprocess.run([os.path.join(bindir, "pg_isready"), "-q", "-h", "127.0.0.1", "-p", str(port)],
                              timeout=30).returncode == 0

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGINT)  # fast shutdown
            try:
                self.proc.wait(60)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(30)


class Gunicorn:
    """The application under gunicorn on a loopback socket the caller's process opened
    (handed over as systemd does), so the port is known before gunicorn starts."""

    def __init__(self, folder, app_args, workers=2):
        self.folder = folder
        self.app_args = list(app_args)
        self.workers = workers
        self.log = os.path.join(folder, "gunicorn.log")
        self.proc = None
        self.port = None

    def start(self):
        if shutil.which("gunicorn") is None:
            raise StackError("gunicorn is not installed")
        os.makedirs(self.folder, exist_ok=True)
        listener = socket.socket()
        listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        listener.bind(("127.0.0.1", 0))
        listener.listen(512)
        self.port = listener.getsockname()[1]
        fd = listener.fileno()
        env = dict(os.environ, ORVANTA_SERVICE_ARGS=" ".join(shlex.quote(a) for a in self.app_args),
                   PYTHONDONTWRITEBYTECODE="1")
        command = ["gunicorn", "--workers", str(self.workers), "--chdir", ROOT, "--graceful-timeout", "5",
                   "--error-logfile", self.log, "service.wsgi:application"]
        # LISTEN_PID must be gunicorn's own pid: the shell's, which exec keeps. bash, since
        # dash takes single-digit descriptors only and the caller's may be any number.
        script = 'exec 3<&%d; LISTEN_FDS=1 LISTEN_PID=$$ exec "$@"' % fd
        with open(self.log, "a") as log:
            self.proc = subprocess.Popen(["bash", "-c", script, "bash"] + command, env=env, pass_fds=(fd,),
                                         stdout=log, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                                         start_new_session=True)
        listener.close()
        _wait(self._ready, self.proc, "gunicorn", self.log)
        return self

    def _ready(self):
        # Answered once a worker has imported the application.
        try:
            with socket.create_connection(("127.0.0.1", self.port), timeout=30) as s:
                s.sendall(b"GET /ready HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n")
                return s.recv(12).startswith(b"HTTP/1.")
        except OSError:
            return False

    def stop(self):
        _stop(self.proc)


class Nginx:
    """nginx with its own configuration and prefix in the folder, in the foreground."""

    def __init__(self, folder, releases, apps, refused_hosts=None):
        self.folder = folder
        self.releases = releases
        self.apps = apps
        self.refused_hosts = refused_hosts
        self.conf = os.path.join(folder, "nginx.conf")
        self.log = os.path.join(folder, "error.log")
        self.access_log = os.path.join(folder, "access.log")
        self.proc = None
        self.port = None

    def start(self):
        nginx = shutil.which("nginx") or ("/usr/sbin/nginx" if os.path.exists("/usr/sbin/nginx") else None)
        if nginx is None:
            raise StackError("nginx is not installed")
        os.makedirs(self.folder, exist_ok=True)
        pid_file = os.path.join(self.folder, "nginx.pid")
        refused = self.refused_hosts
        if refused is None:
            refused = nginx_site.DEFAULT_HOSTS["log"] + nginx_site.DEFAULT_HOSTS["farewell"]
        for _ in range(PORT_TRIES):
            port = free_port()
            text = nginx_site.site(self.releases, self.apps, "127.0.0.1:%d" % port, ["_"], refused, self.access_log)
            with open(self.conf, "w") as f:
                f.write(nginx_site.standalone(self.folder, text))
            if os.path.exists(pid_file):
                os.remove(pid_file)
            with open(self.log, "a") as log:
                self.proc = subprocess.Popen([nginx, "-p", self.folder, "-e", self.log, "-c", self.conf,
                                              "-g", "daemon off;"], stdout=log, stderr=subprocess.STDOUT,
                                             stdin=subprocess.DEVNULL, start_new_session=True)
            # nginx writes its pid file once its sockets are bound.
            try:
                _wait(lambda: _read_pid(pid_file) == self.proc.pid, self.proc, "nginx", self.log)
            except StackError:
                if self.proc.poll() is not None and "Address already in use" in _tail(self.log, 5):
                    continue
                self.stop()
                raise
            self.port = port
            return self
        raise StackError("nginx found no free port:\n%s" % _tail(self.log))

    def stop(self):
        # SIGQUIT: finish the requests in flight, then exit.
        if self.proc is not None and self.proc.poll() is None:
            self.proc.send_signal(signal.SIGQUIT)
            try:
                self.proc.wait(30)
            except subprocess.TimeoutExpired:
                os.killpg(self.proc.pid, signal.SIGKILL)
                self.proc.wait(30)


def _read_pid(path):
    try:
        with open(path) as f:
            return int(f.read().strip() or 0)
    except (OSError, ValueError):
        return None


class Stack:
    """PostgreSQL + gunicorn (the application) + nginx, started in that order."""

    def __init__(self, folder, releases, workers=2, app_args=(), log_db=None):
        self.folder = os.path.abspath(folder)
        self.releases = [os.path.abspath(r.partition("=")[2] if "=" in r and not os.path.isdir(r) else r)
                         for r in releases]
        self.release_args = list(releases)
        self.workers = workers
        self.app_args = list(app_args)
        self.log_db = log_db
        self.postgres = None if log_db else Postgres(os.path.join(self.folder, "postgres"))
        self.gunicorn = None
        self.nginx = None

    def start(self):
        try:
            args = []
            for r in self.release_args:
                args += ["--release", r]
            args += ["--log-db", self.postgres.start().dsn if self.postgres else self.log_db]
            args += ["--trust-proxy", "127.0.0.1"] + self.app_args
            self.gunicorn = Gunicorn(self.folder, args, self.workers).start()
            self.nginx = Nginx(self.folder, self.releases, ["127.0.0.1:%d" % self.gunicorn.port]).start()
        except BaseException:
            self.stop()
            raise
        return self

    @property
    def port(self):
        return self.nginx.port

    @property
    def dsn(self):
        return self.postgres.dsn if self.postgres else self.log_db

    def stop(self):
        for server in (self.nginx, self.gunicorn, self.postgres):
            if server is not None:
                server.stop()

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()


def _write(path, text):
    with open(path + ".tmp", "w") as f:
        f.write(text)
    os.replace(path + ".tmp", path)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Run nginx + gunicorn + PostgreSQL in a folder")
    sub = parser.add_subparsers(dest="command", required=True)
    up = sub.add_parser("up")
    up.add_argument("state")
    up.add_argument("--release", action="append", required=True, metavar="[BRAND=]DIR")
    up.add_argument("--workers", type=int, default=2)
    up.add_argument("--log-db", metavar="DSN", help="an existing database instead of a new cluster")
    up.add_argument("--app-arg", action="append", default=[], help="one more option of the application")
    down = sub.add_parser("down")
    down.add_argument("state")
    args = parser.parse_args(argv)
    state = os.path.abspath(args.state)
    pids = os.path.join(state, "stack.pids")
    if args.command == "down":
        for line in reversed(_read_lines(pids)):
            _stop_group(int(line))
        if os.path.exists(pids):
            os.remove(pids)
        return 0
    os.makedirs(state, exist_ok=True)
    stack = Stack(state, args.release, args.workers, args.app_arg, args.log_db)
    try:
        stack.start()
    except StackError as e:
        print("stack: %s" % e, file=sys.stderr)
        return 1
    _write(pids, "".join("%d\n" % s.proc.pid for s in (stack.postgres, stack.gunicorn, stack.nginx) if s))
    _write(os.path.join(state, "dsn"), stack.dsn + "\n")
    _write(os.path.join(state, "app.port"), "%d\n" % stack.gunicorn.port)
    _write(os.path.join(state, "port"), "%d\n" % stack.port)
    print(stack.port, flush=True)
    return 0


def _read_lines(path):
    try:
        with open(path) as f:
            return [line.strip() for line in f if line.strip()]
    except OSError:
        return []


def _stop_group(pid, timeout=60):
    """Stops the process group that pid leads (a server started by "up") and waits.
    SIGINT: the fast shutdown of PostgreSQL, nginx and gunicorn alike."""
    try:
        os.killpg(pid, signal.SIGINT)
    except ProcessLookupError:
        return
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            os.killpg(pid, 0)
        except ProcessLookupError:
            return
        time.sleep(0.05)
    try:
        os.killpg(pid, signal.SIGKILL)
    except ProcessLookupError:
        pass


if __name__ == "__main__":
    sys.exit(main())
