#!/usr/bin/env python3
"""Reference download server for the installer: the embedded server running the
service's WSGI application (service/app.py), which says what it answers.

    download_server.py --release DIR [--release NAME=DIR ...] [--port 0] [--port-file F]
                       [--log-db reports.sqlite | --log-db postgresql://...]
                       [--download-host H ...] [--package-host H ...]
                       [--log-host H ...] [--farewell-host H ...]
                       [--cut-after N [--cut-count K]] [--ignore-range]

The same options configure the application under gunicorn (service/wsgi.py).
"""

import argparse
import os
import sys

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import dashboard, httpcommon  # noqa: E402
from service.app import DEFAULT_HOSTS, ROLES, OrvantaApp, PackageOptions, Release  # noqa: E402
from service.release_layout import MANIFEST_NAME  # noqa: E402,F401
from service.funnel_store import open_store  # noqa: E402


class DownloadServer(httpcommon.Server):
    def __init__(self, address, releases, role_hosts=None, store=None, log_stream=sys.stderr, options=None):
        app = OrvantaApp(releases, role_hosts, store, options=options)
        super().__init__(address, app, log_stream)
        self.releases = app.releases
        self.store = store


def parse_release_argument(text):
    name, sep, folder = text.partition("=")
    if sep and not os.path.isdir(text):
        return Release(folder, [name])
    return Release(text)


def add_app_arguments(parser):
    """The application's options: shared by this command and service/wsgi.py."""
    parser.add_argument("--release", action="append", required=True, metavar="[BRAND=]DIR",
                        help="release folder; the first is the default for unknown brands")
    parser.add_argument("--log-db", metavar="DB",
                        help="store funnel reports: an SQLite file or a postgresql:// connection string")
    defaults = dict(package="download hosts and DOWNLOAD_URL", dashboard="none: hosts not named for a role")
    for role in ROLES:
        parser.add_argument("--%s-host" % role, action="append", metavar="HOST",
                            help="host name of the %s role (default: %s)" % (
                                role, ", ".join(DEFAULT_HOSTS[role]) or defaults[role]))
    parser.add_argument("--dashboard-token-file", metavar="FILE",
                        help="the operators' dashboard token (one line); without it nobody gets in")
    parser.add_argument("--trust-proxy", action="append", default=[], metavar="ADDRESS",
                        help="a proxy at this address names the client in X-Real-IP (e.g. nginx)")
    tests = parser.add_argument_group("test switches (package files)")
    tests.add_argument("--cut-after", type=int, metavar="N",
                       help="end each package answer after N bytes of its body, as a dropped connection")
    tests.add_argument("--cut-count", type=int, default=0, metavar="K",
                       help="cut only the first K package answers (default 0: every one)")
    tests.add_argument("--ignore-range", action="store_true",
                       help="answer Range requests with the whole file (200)")


def build_app(args):
    """The application for parsed options; ValueError when a release cannot be read."""
    releases = [parse_release_argument(r) for r in args.release]
    token = dashboard_token(args.dashboard_token_file)
    role_hosts = {role: getattr(args, "%s_host" % role) or DEFAULT_HOSTS[role] for role in ROLES}
    store = open_store(args.log_db) if args.log_db else None
    options = PackageOptions(args.cut_after, args.cut_count, args.ignore_range)
    return OrvantaApp(releases, role_hosts, store, options=options, trusted_proxies=args.trust_proxy,
                      dashboard_token=token)


def dashboard_token(path):
    """The token from --dashboard-token-file; ValueError when it cannot be read."""
    if not path:
        return None
    try:
        return dashboard.read_token(path)
    except OSError as e:
        raise ValueError("%s: %s" % (path, e.strerror or e))


def main(argv=None):
    parser = argparse.ArgumentParser(description="Reference download server")
    add_app_arguments(parser)
    httpcommon.add_common_arguments(parser)
    args = parser.parse_args(argv)
    httpcommon.configure_logging()
    try:
        app = build_app(args)
    except ValueError as e:
        print(e, file=sys.stderr)
        return 2
    server = httpcommon.Server((args.bind, args.port), app, httpcommon.open_access_log(args.access_log))
    return httpcommon.serve_until_signalled(server, args, app.store.close if app.store else None)


if __name__ == "__main__":
    sys.exit(main())
