#!/usr/bin/env python3
"""Reference download server for the installer.

    download_server.py --release DIR [--release NAME=DIR ...] [--port 0] [--port-file F]
                       [--log-db reports.sqlite] [--download-host H ...] [--package-host H ...]
                       [--log-host H ...] [--farewell-host H ...]

A release folder (written by packer/pack_release.py) holds "manifest.ini" and the package
files below "files/". The server answers:
  Dl/ClientResources.asp?Remote=1&<profile pairs>&LastUpdateDate=<d>&Brand=<b>
      the manifest of the release for <b>; "[NO_UPDATE_AVILABLE] VALUE=1" when <d> is
      that release's date; "${Name}" in GENERAL/REG values becomes the request's value
  Dl/UpdateResources.asp?<same query>   the full manifest, whatever the date
  files/...                             package files, streamed
  uninstall.html?fromClient=1&lang=..&Username=..&BrandId=..   the farewell page
  ClientsRecruitChain.asp?...           funnel reports, stored when --log-db is given
Targets may be origin-form (with or without "/") or absolute ("http://host:80/..."), as
they arrive through a proxy setting. A request whose host belongs to a configured role
is served only that role's paths; other hosts (e.g. 127.0.0.1) reach every role.
"""

import argparse
import html
import os
import re
import sys
import threading
from collections import OrderedDict, namedtuple

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import httpcommon, ini, log_server  # noqa: E402

MANIFEST_NAME = "manifest.ini"
FILES_DIR = "files"
ROLES = ("download", "package", "log", "farewell")
DEFAULT_HOSTS = {
    "download": ["dl.orvanta.net", "dltest.orvanta.net"],
    "package": [],
    "log": ["log.orvanta.net"],
    "farewell": ["www.orvanta.net"],
}
_PLACEHOLDER = re.compile(r"\$\{([A-Za-z0-9_]+)\}")
_SAFE_VALUE = re.compile(r"^[A-Za-z0-9_.-]*$")
# Sections whose values may carry request placeholders.
_TEMPLATED = ("GENERAL", "REG")

Snapshot = namedtuple("Snapshot", "brand date download_host sections text no_update_text templated")


def _no_update_text(sections):
    # The installer still reads GENERAL on a no-update answer: the brand names the data
    # folder from which the client is then started.
    general = sections.get("GENERAL", OrderedDict())
    return ini.render(OrderedDict([("GENERAL", general), ("NO_UPDATE_AVILABLE", {"VALUE": "1"})]))


class Release:
    """One release folder; its manifest is re-read when the packer replaces it."""

    def __init__(self, folder, names=()):
        self.folder = os.path.abspath(folder)
        self.manifest_path = os.path.join(self.folder, MANIFEST_NAME)
        self.files_dir = os.path.realpath(os.path.join(self.folder, FILES_DIR))
        self.names = {n.lower() for n in names}
        self._lock = threading.Lock()
        self._stamp = None
        self._snapshot = None
        self.current()
        if self._snapshot is None:
            raise ValueError("%s: no readable %s" % (self.folder, MANIFEST_NAME))

    def current(self):
        try:
            st = os.stat(self.manifest_path)
            stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        except OSError:
            return self._snapshot
        with self._lock:
            if stamp != self._stamp:
                try:
                    self._snapshot = self._load()
                    self._stamp = stamp
                except (OSError, ini.IniError):
                    pass  # keep serving the last good manifest
            return self._snapshot

    def _load(self):
        sections = ini.read(self.manifest_path)
        general = sections.get("GENERAL", {})
        brand = general.get("BRAND_NAME", "")
        date = sections.get("PRODUCT_REG", {}).get("LastUpdateDate", "")
        templated = any(_PLACEHOLDER.search(v) for s in _TEMPLATED for v in sections.get(s, {}).values())
        return Snapshot(brand, date, general.get("DOWNLOAD_URL", "").lower(), sections,
                        ini.render(sections), _no_update_text(sections), templated)

    def matches(self, brand):
        brand = brand.lower()
        return brand in self.names or brand == self.current().brand.lower()

    def file_path(self, relative):
        """Absolute path of a package file, or None when it is not a file inside files/."""
        if "\\" in relative or "\0" in relative:
            return None
        candidate = os.path.realpath(os.path.join(self.folder, relative))
        if os.path.commonpath([candidate, self.files_dir]) != self.files_dir or candidate == self.files_dir:
            return None
        return candidate if os.path.isfile(candidate) else None


def fill_placeholders(sections, pairs):
    def value_of(m):
        value = pairs.get(m.group(1), "")
        return value if _SAFE_VALUE.match(value) else ""

    out = OrderedDict()
    for name, entries in sections.items():
        if name in _TEMPLATED:
            entries = OrderedDict((k, _PLACEHOLDER.sub(value_of, v)) for k, v in entries.items())
        out[name] = entries
    return out


def manifest_text(snapshot, pairs):
    if not snapshot.templated:
        return snapshot.text
    return ini.render(fill_placeholders(snapshot.sections, pairs))


class DownloadHandler(httpcommon.Handler):
    def do_GET(self):
        target = self.target()
        if target is None:
            self.send_text(400, "bad target\n")
            return
        host, path, query = target
        lower = path.lower()
        roles = self.server.roles_for(host)
        if lower in ("dl/clientresources.asp", "dl/updateresources.asp") and "download" in roles:
            pairs = httpcommon.parse_query(query)
            snapshot = self.server.select(pairs.get("Brand", "")).current()
            date = pairs.get("LastUpdateDate", "")
            if lower == "dl/clientresources.asp" and date and date == snapshot.date:
                self.send_text(200, snapshot.no_update_text)
            else:
                self.send_text(200, manifest_text(snapshot, pairs))
        elif lower.startswith(FILES_DIR + "/") and "package" in roles:
            for release in self.server.releases:
                found = release.file_path(path)
                if found and httpcommon.stream_file(self, found):
                    return
            self.send_text(404, "not found\n")
        elif lower == log_server.REPORT_PATH and "log" in roles:
            log_server.handle_report(self, query, self.server.store)
        elif lower == "uninstall.html" and "farewell" in roles:
            self.send_text(200, farewell_page(httpcommon.parse_query(query)), "text/html; charset=latin-1")
        else:
            self.send_text(404, "not found\n")

    do_HEAD = do_GET


def farewell_page(pairs):
    # Every value comes from the client's query (the user name is typed by a person).
    esc = {k: html.escape(pairs.get(k, ""), quote=True) for k in ("lang", "Username", "BrandId")}
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\"><title>Orvanta</title></head>\n"
            "<body><h1>Goodbye%s</h1>\n<p>The game client has been removed from this computer.</p>\n"
            "<p class=\"info\">lang=%s brand=%s</p></body></html>\n"
            % (", " + esc["Username"] if esc["Username"] else "", esc["lang"], esc["BrandId"]))


class DownloadServer(httpcommon.Server):
    def __init__(self, address, releases, role_hosts=None, store=None, log_stream=sys.stderr):
        super().__init__(address, DownloadHandler, log_stream)
        if not releases:
            raise ValueError("at least one release is needed")
        self.releases = list(releases)
        hosts = role_hosts if role_hosts is not None else DEFAULT_HOSTS
        self.role_hosts = {role: {h.lower() for h in hosts.get(role, ())} for role in ROLES}
        self.store = store

    def select(self, brand):
        for release in self.releases:
            if brand and release.matches(brand):
                return release
        return self.releases[0]

    def roles_for(self, host):
        if not host:
            return ROLES
        package = self.role_hosts["package"] | self.role_hosts["download"]
        package |= {r.current().download_host for r in self.releases}
        found = tuple(role for role in ROLES
                      if host in (package if role == "package" else self.role_hosts[role]))
        return found or ROLES


def parse_release_argument(text):
    name, sep, folder = text.partition("=")
    if sep and not os.path.isdir(text):
        return Release(folder, [name])
    return Release(text)


def main(argv=None):
    parser = argparse.ArgumentParser(description="Reference download server")
    parser.add_argument("--release", action="append", required=True, metavar="[BRAND=]DIR",
                        help="release folder; the first is the default for unknown brands")
    parser.add_argument("--log-db", help="store funnel reports in this SQLite file")
    for role in ROLES:
        parser.add_argument("--%s-host" % role, action="append", metavar="HOST",
                            help="host name of the %s role (default: %s)" % (
                                role, ", ".join(DEFAULT_HOSTS[role]) or "download hosts and DOWNLOAD_URL"))
    httpcommon.add_common_arguments(parser)
    args = parser.parse_args(argv)
    try:
        releases = [parse_release_argument(r) for r in args.release]
    except ValueError as e:
        print(e, file=sys.stderr)
        return 2
    role_hosts = {role: getattr(args, "%s_host" % role) or DEFAULT_HOSTS[role] for role in ROLES}
    store = log_server.ReportStore(args.log_db) if args.log_db else None
    server = DownloadServer((args.bind, args.port), releases, role_hosts, store,
                            httpcommon.open_access_log(args.access_log))
    return httpcommon.serve_until_signalled(server, args, store.close if store else None)


if __name__ == "__main__":
    sys.exit(main())
