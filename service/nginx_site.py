#!/usr/bin/env python3
"""Writes an nginx configuration that serves release folders' package files itself and
passes everything else (manifests, funnel reports, the farewell page) to the application.

    nginx_site.py --release DIR [--release DIR ...] --app HOST:PORT|unix:PATH [--app ...]
                  [--listen 80] [--server-name NAME ...] [--log-host H ...] [--farewell-host H ...]
                  [--access-log FILE] [--standalone PREFIX] [-o site.conf]

Without --standalone it writes a site file for nginx's http block (e.g.
/etc/nginx/sites-enabled/orvanta); with it, a whole nginx.conf whose pid file, logs and
temporary folders lie below PREFIX (nginx -p PREFIX -c FILE), as the tests run it.

Package files: only below /files/, looked up in each release in the order given;
digest-named files (name^<64 hex>.ext) are cached as immutable, others revalidated; one
type for all (application/octet-stream); no directory listing; single byte ranges
(several ranges get the whole file, as from the embedded server). A request whose host
is a log or farewell host gets 404 for them, as the application answers.
"""

import argparse
import os
import re
import sys

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service.app import DEFAULT_HOSTS, IMMUTABLE, REVALIDATE  # noqa: E402
from service.release_layout import DIGEST_NAME, FILES_DIR, MANIFEST_NAME  # noqa: E402

_SAFE_WORD = re.compile(r"^[A-Za-z0-9_./:\[\]@+-]+$")

ACCESS_FORMAT = '$remote_addr - [$time_local] "$request" $status $body_bytes_sent'


def quoted(value):
    """A value as one nginx token; refuses what would break out of it."""
    if any(c in value for c in "\"\\\n\r;{}$") or not value:
        raise ValueError("%r cannot be written into the nginx configuration" % value)
    return '"%s"' % value


def app_server(value):
    if value.startswith("unix:"):
        return "unix:" + os.path.abspath(value[5:])
    if not _SAFE_WORD.match(value) or ":" not in value:
        raise ValueError("application address %r: expected HOST:PORT or unix:PATH" % value)
    return value


def site(releases, apps, listen="80", server_names=("_",), refused_hosts=(), access_log=None):
    releases = [os.path.abspath(r) for r in releases]
    for release in releases:
        if not os.path.isfile(os.path.join(release, MANIFEST_NAME)):
            raise ValueError("%s: no %s (not a release folder)" % (release, MANIFEST_NAME))
    out = ["# Orvanta download service: package files from the release folders, the rest",
           "# from the application.",
           "upstream orvanta_app {"]
    out += ["    server %s;" % app_server(a) for a in apps]
    out += ["    keepalive 32;", "}", "",
            "map $host $orvanta_not_package {", "    default 0;"]
    out += ["    %s 1;" % quoted(h.lower()) for h in sorted(set(refused_hosts))]
    out += ["}", "",
            "map $uri $orvanta_files_cache {",
            '    "~%s" %s;' % (DIGEST_NAME.pattern, quoted(IMMUTABLE)),
            "    default %s;" % quoted(REVALIDATE), "}", "",
            "log_format orvanta '%s';" % ACCESS_FORMAT, "",
            "server {",
            "    listen %s;" % listen,
            "    server_name %s;" % " ".join(server_names),
            "    server_tokens off;",
            "    autoindex off;",
            "    access_log %s orvanta;" % (quoted(os.path.abspath(access_log)) if access_log else "/var/log/nginx/orvanta.log"),
            ""]

    def files_location(head, root, fallback):
        return ["    location %s {" % head,
                "        if ($orvanta_not_package) { return 404; }",
                "        root %s;" % quoted(root),
                "        types { }",
                "        default_type application/octet-stream;",
                "        charset off;",
                "        max_ranges 1;",
                "        add_header Cache-Control $orvanta_files_cache always;",
                "        add_header X-Content-Type-Options nosniff always;",
                "        try_files $uri %s;" % fallback,
                "    }"]

    names = ["@orvanta_release_%d" % i for i in range(1, len(releases))] + ["=404"]
    out += files_location("/%s/" % FILES_DIR, releases[0], names[0])
    for i, release in enumerate(releases[1:], start=1):
        out += files_location(names[i - 1], release, names[i])
    out += ["",
            "    # Manifests, funnel reports, the farewell page, and every other target.",
            "    location / {",
            "        proxy_pass http://orvanta_app;",
            "        proxy_http_version 1.1;",
            '        proxy_set_header Connection "";',
            "        proxy_set_header Host $host;",
            "        proxy_set_header X-Real-IP $remote_addr;",
            "        proxy_set_header X-Forwarded-For $proxy_add_x_forwarded_for;",
            "        proxy_buffering on;",
            "    }",
            "}", ""]
    return "\n".join(out)


def standalone(prefix, site_text):
    prefix = os.path.abspath(prefix)
    p = lambda name: quoted(os.path.join(prefix, name))  # noqa: E731
    head = ["# nginx.conf for a private instance below one folder: nginx -p PREFIX -c THIS_FILE",
            "worker_processes 2;",
            "pid %s;" % p("nginx.pid"),
            "error_log %s warn;" % p("error.log"),
            "events { worker_connections 1024; }",
            "http {",
            "    sendfile on;",
            "    tcp_nopush on;",
            "    keepalive_timeout 65;",
            "    client_body_temp_path %s;" % p("client_body"),
            "    proxy_temp_path %s;" % p("proxy"),
            "    fastcgi_temp_path %s;" % p("fastcgi"),
            "    uwsgi_temp_path %s;" % p("uwsgi"),
            "    scgi_temp_path %s;" % p("scgi"),
            ""]
    if os.geteuid() == 0:
        # Started as root, workers would run as an account that may not read the release.
        head.insert(1, "user root;")
    return "\n".join(head) + "\n" + "\n".join("    " + line if line else "" for line in site_text.split("\n")) + "}\n"


def main(argv=None):
    parser = argparse.ArgumentParser(description="Write an nginx configuration for release folders")
    parser.add_argument("--release", action="append", required=True, metavar="DIR")
    parser.add_argument("--app", action="append", required=True, metavar="HOST:PORT|unix:PATH",
                        help="application server (gunicorn); several are balanced")
    parser.add_argument("--listen", default="80", help="nginx listen parameters (default 80)")
    parser.add_argument("--server-name", action="append", metavar="NAME",
                        help="server names (default: any, '_')")
    parser.add_argument("--log-host", action="append", metavar="HOST")
    parser.add_argument("--farewell-host", action="append", metavar="HOST")
    parser.add_argument("--access-log", metavar="FILE")
    parser.add_argument("--standalone", metavar="PREFIX", help="write a whole nginx.conf for this prefix")
    parser.add_argument("-o", "--output", help="file to write (default: standard output)")
    args = parser.parse_args(argv)
    refused = (args.log_host or DEFAULT_HOSTS["log"]) + (args.farewell_host or DEFAULT_HOSTS["farewell"])
    try:
        text = site(args.release, args.app, args.listen, args.server_name or ["_"], refused, args.access_log)
        if args.standalone:
            text = standalone(args.standalone, text)
    except ValueError as e:
        print(e, file=sys.stderr)
        return 2
    if args.output:
        tmp = args.output + ".tmp"
        with open(tmp, "w") as f:
            f.write(text)
        os.replace(tmp, args.output)
    else:
        sys.stdout.write(text)
    return 0


if __name__ == "__main__":
    sys.exit(main())
