"""The download and log endpoints as one WSGI application (standard library only).

    OrvantaApp(releases, role_hosts=None, store=None, roles=ROLES, options=PackageOptions())

The embedded server (download_server.py, log_server.py) runs it in threads; any WSGI server
runs it in worker processes (service/wsgi.py for gunicorn). It answers:
  Dl/ClientResources.asp?Remote=1&<profile pairs>&LastUpdateDate=<d>&Brand=<b>
      the manifest of the release for <b>; the no-update answer when <d> is that
      release's date; "${Name}" in GENERAL/REG values becomes the request's value
  Dl/UpdateResources.asp?<same query>   the full manifest, whatever the date
      (a release folder with a staged release answers some funnels with that one instead:
      service/rollout.py)
  files/...                             package files (single byte ranges, HEAD)
  uninstall.html?fromClient=1&lang=..&Username=..&BrandId=..   the farewell page
  ClientsRecruitChain.asp?...           funnel reports, stored when a store is given
  ClientsFailure.asp?...                failure reports, likewise (service/reports.py)
  dashboard, dashboard/data.json        the operators' dashboard (service/dashboard.py)
Targets may be origin-form (with or without "/") or absolute ("http://host:80/..."), as
they arrive through a proxy setting. A request whose host belongs to a configured role
is served only that role's paths; other hosts (e.g. 127.0.0.1) reach every role.

A signed manifest (its last line ";signature=...") is served byte for byte: never
templated or re-rendered, since the signature covers the bytes as they are.
"""

import email.utils
import html
import logging
import os
import re
import sys
import threading
from collections import OrderedDict, namedtuple
from http import HTTPStatus
from urllib.parse import quote

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import dashboard, httpcommon, ini, reports, rollout  # noqa: E402
from service.httpcommon import CHUNK, FileSlice  # noqa: E402
from service.release_layout import (DIGEST_NAME, FILES_DIR, MANIFEST_NAME, NO_UPDATE_NAME,  # noqa: E402
                                    STAGED_DIR, file_stamp, is_signed)

ROLES = ("download", "package", "log", "farewell", "dashboard")
DEFAULT_HOSTS = {
    "download": ["dl.orvanta.net", "dltest.orvanta.net"],
    "package": [],
    "log": ["log.orvanta.net"],
    "farewell": ["www.orvanta.net"],
    "dashboard": [],
}
DASHBOARD_PATHS = ("dashboard", "dashboard/", "dashboard/data.json")
# Package files named by their SHA-256 never change; anything else is revalidated.
IMMUTABLE = "public, max-age=31536000, immutable"
REVALIDATE = "no-cache"
_PLACEHOLDER = re.compile(r"\$\{([A-Za-z0-9_]+)\}")
_SAFE_VALUE = re.compile(r"^[A-Za-z0-9_.-]*$")
_RANGE = re.compile(r"^bytes=[ \t]*(\d*)[ \t]*-[ \t]*(\d*)[ \t]*$", re.I)
LOG = logging.getLogger("orvanta.service")
# Sections whose values may carry request placeholders.
_TEMPLATED = ("GENERAL", "REG")
CLIENT_RESOURCES = "dl/clientresources.asp"
UPDATE_RESOURCES = "dl/updateresources.asp"

Snapshot = namedtuple("Snapshot", "brand date download_host sections text no_update_text templated signed parts")


def _no_update_text(sections):
    # The installer still reads GENERAL on a no-update answer: the brand names the data
    # folder from which the client is then started.
    general = sections.get("GENERAL", OrderedDict())
    return ini.render(OrderedDict([("GENERAL", general), ("NO_UPDATE_AVILABLE", {"VALUE": "1"})]))


def _read_bytes(path):
    with open(path, "rb") as f:
        return f.read()


class ManifestFile:
    """A manifest and its signed no-update companion in one folder, re-read when the packer
    replaces them. keep_last: a manifest that disappears goes on being served (the current
    release); otherwise it is gone (a staged release withdrawn)."""

    def __init__(self, folder, keep_last=True):
        self.manifest_path = os.path.join(folder, MANIFEST_NAME)
        self.no_update_path = os.path.join(folder, NO_UPDATE_NAME)
        self.keep_last = keep_last
        self._lock = threading.Lock()
        self._stamp = None
        self._snapshot = None
        self._refused = None  # the stamp and reason of the last manifest that failed to load

    def refused(self):
        return self._refused[1] if self._refused else "missing"

    def current(self):
        manifest = file_stamp(self.manifest_path)
        if manifest is None:
            return self._snapshot if self.keep_last else None
        stamp = (manifest, file_stamp(self.no_update_path))
        with self._lock:
            if stamp != self._stamp:
                try:
                    self._snapshot = self._load()
                    self._stamp = stamp
                except (OSError, ini.IniError) as e:
                    self._refuse(stamp, e)
            return self._snapshot

    def _refuse(self, stamp, error):
        """The last good manifest goes on being served. Tried again on every request (the
        fault may be passing), logged once per published file; the first manifest of a
        current release that fails is the Release constructor's error instead."""
        if self._refused and self._refused[0] == stamp:
            return
        self._refused = (stamp, str(error) or type(error).__name__)
        if self._snapshot is not None:
            LOG.error("%s: new manifest not loaded, still serving release %s: %s",
                      self.manifest_path, self._snapshot.date, self._refused[1])
        elif not self.keep_last:
            LOG.error("%s: manifest not loaded: %s", self.manifest_path, self._refused[1])

    def _load(self):
        data = _read_bytes(self.manifest_path)
        sections = ini.parse(data.decode("latin-1"))
        general = sections.get("GENERAL", {})
        brand = general.get("BRAND_NAME", "")
        date = sections.get("PRODUCT_REG", {}).get("LastUpdateDate", "")
        download_host = general.get("DOWNLOAD_URL", "").lower()
        if is_signed(data):
            return Snapshot(brand, date, download_host, sections, data, self._signed_no_update(date), False, True,
                            None)
        # Rendered once: the sections that take request values are rendered per request.
        parts = []
        for name, entries in sections.items():
            one = OrderedDict([(name, entries)])
            templated = name in _TEMPLATED and any(_PLACEHOLDER.search(v) for v in entries.values())
            parts.append(one if templated else ini.render(one))
        templated = any(not isinstance(p, str) for p in parts)
        return Snapshot(brand, date, download_host, sections, ini.render(sections), _no_update_text(sections),
                        templated, False, parts)

    def _signed_no_update(self, date):
        """The signed no-update companion, or None (then the full manifest answers):
        an unsigned answer or one of another release would be refused by the installer."""
        try:
            data = _read_bytes(self.no_update_path)
        except OSError:
            return None
        if not is_signed(data):
            return None
        if ini.parse(data.decode("latin-1")).get("PRODUCT_REG", {}).get("LastUpdateDate", "") != date:
            return None
        return data


class Release:
    """One release folder: its current release, and a staged one given to a share of the
    installations while it is rolled out (service/rollout.py)."""

    def __init__(self, folder, names=()):
        self.folder = os.path.abspath(folder)
        self.files_dir = os.path.realpath(os.path.join(self.folder, FILES_DIR))
        self.names = {n.lower() for n in names}
        self.main = ManifestFile(self.folder)
        self.staged = ManifestFile(os.path.join(self.folder, STAGED_DIR), keep_last=False)
        self.rollout_state = rollout.RolloutFile(self.folder)
        self.manifest_path = self.main.manifest_path
        if self.main.current() is None:
            raise ValueError("%s: no readable %s (%s)" % (self.folder, MANIFEST_NAME, self.main.refused()))

    def current(self):
        return self.main.current()

    def answer_for(self, pairs):
        """The release a manifest request gets: the staged one for the funnels in the
        rollout's share and for installations that already run it, else the current one."""
        current, staged = self.main.current(), self.staged.current()
        state = self.rollout_state.current() if staged is not None else None
        if state is None or state.release != staged.date:
            return current
        if pairs.get("LastUpdateDate") == staged.date:
            return staged
        start_time, start_random = (reports.int32(pairs.get(n)) for n in reports.PROFILE_FUNNEL[:2])
        if state.halted or start_time is None or start_random is None:
            return current
        return staged if rollout.takes_staged(start_time, start_random, state) else current

    def download_hosts(self):
        return {s.download_host for s in (self.main.current(), self.staged.current()) if s is not None}

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
    return "".join(p if isinstance(p, str) else ini.render(fill_placeholders(p, pairs)) for p in snapshot.parts)


def farewell_page(pairs):
    # Every value comes from the client's query (the user name is typed by a person).
    esc = {k: html.escape(pairs.get(k, ""), quote=True) for k in ("lang", "Username", "BrandId")}
    return ("<!DOCTYPE html>\n<html><head><meta charset=\"iso-8859-1\"><title>Orvanta</title></head>\n"
            "<body><h1>Goodbye%s</h1>\n<p>The game client has been removed from this computer.</p>\n"
            "<p class=\"info\">lang=%s brand=%s</p></body></html>\n"
            % (", " + esc["Username"] if esc["Username"] else "", esc["lang"], esc["BrandId"]))


UNSATISFIABLE = "unsatisfiable"


def byte_range(header, size):
    """The single range a Range header asks for, as (first, last) inclusive; None for
    the whole file (no header, several ranges or another unit); UNSATISFIABLE, also for
    a byte range that cannot be read (as nginx answers)."""
    header = header or ""
    if not header[:6].lower() == "bytes=" or "," in header:
        return None
    m = _RANGE.match(header)
    if not m or m.groups() == ("", ""):
        return UNSATISFIABLE
    first, last = m.groups()
    if not first:  # the last n bytes
        n = int(last)
        if n == 0 or size == 0:
            return UNSATISFIABLE
        return (max(0, size - n), size - 1)
    first = int(first)
    last = int(last) if last else size - 1
    if first >= size or last < first:
        return UNSATISFIABLE
    return (first, min(last, size - 1))


def entity_tag(st):
    # The form nginx gives static files, so both stacks answer If-Range alike.
    return '"%x-%x"' % (int(st.st_mtime), st.st_size)


class PackageOptions:
    """Test switches of the package role: cut_after N cuts each package body after N
    bytes (the first cut_count answers only, when cut_count > 0), as a dropped connection
    would; ignore_range answers every Range request with the whole file."""

    def __init__(self, cut_after=None, cut_count=0, ignore_range=False):
        self.cut_after = cut_after
        self.cut_count = cut_count
        self.ignore_range = ignore_range
        self._cuts = 0
        self._lock = threading.Lock()

    def take_cut(self):
        if self.cut_after is None:
            return None
        with self._lock:
            if self.cut_count and self._cuts >= self.cut_count:
                return None
            self._cuts += 1
            return self.cut_after


def _status(code):
    return "%d %s" % (code, HTTPStatus(code).phrase)


def request_target(environ):
    """The request target as the client sent it (absolute form included)."""
    raw = environ.get("RAW_URI") or environ.get("REQUEST_URI")
    if raw:
        return raw
    path = environ.get("PATH_INFO", "").encode("latin-1")  # PEP 3333: the bytes as latin-1
    query = environ.get("QUERY_STRING", "")
    return quote(path, safe="/^()+~!$'*@,;:=&-") + ("?" + query if query else "")


class OrvantaApp:
    def __init__(self, releases, role_hosts=None, store=None, roles=ROLES, options=None, trusted_proxies=(),
                 dashboard_token=None):
        if "download" in roles and not releases:
            raise ValueError("at least one release is needed")
        self.releases = list(releases)
        hosts = role_hosts if role_hosts is not None else DEFAULT_HOSTS
        self.role_hosts = {role: {h.lower() for h in hosts.get(role, ())} for role in ROLES}
        self.roles = tuple(r for r in ROLES if r in roles)
        self.store = store
        self.options = options or PackageOptions()
        self.trusted_proxies = set(trusted_proxies)
        self.dashboard_token = dashboard_token

    # ------------------------------------------------------------------ routing

    def select(self, brand):
        for release in self.releases:
            if brand and release.matches(brand):
                return release
        return self.releases[0]

    def roles_for(self, host):
        if not host:
            return self.roles
        package = self.role_hosts["package"] | self.role_hosts["download"]
        package |= {host for r in self.releases for host in r.download_hosts()}
        found = tuple(role for role in ROLES
                      if host in (package if role == "package" else self.role_hosts[role]))
        return tuple(r for r in (found or ROLES) if r in self.roles)

    def __call__(self, environ, start_response):
        method = environ.get("REQUEST_METHOD", "GET")
        if method not in ("GET", "HEAD"):
            return self._text(environ, start_response, 405, "method not allowed\n", extra=[("Allow", "GET, HEAD")])
        try:
            host, path, query = httpcommon.split_target(request_target(environ), environ.get("HTTP_HOST"))
        except UnicodeDecodeError:
            return self._text(environ, start_response, 400, "bad target\n")
        lower = path.lower()
        roles = self.roles_for(host)
        if lower in (CLIENT_RESOURCES, UPDATE_RESOURCES) and "download" in roles:
            return self._manifest(environ, start_response, lower, httpcommon.parse_query(query))
        if lower.startswith(FILES_DIR + "/") and "package" in roles:
            for release in self.releases:
                found = release.file_path(path)
                if found:
                    answer = self._file(environ, start_response, found)
                    if answer is not None:
                        return answer
            return self._text(environ, start_response, 404, "not found\n")
        if lower == reports.REPORT_PATH and "log" in roles:
            return self._store(environ, start_response, reports.parse_report(query), "add")
        if lower == reports.FAILURE_PATH and "log" in roles:
            return self._store(environ, start_response, reports.parse_failure(query), "add_failure")
        if lower == "uninstall.html" and "farewell" in roles:
            return self._text(environ, start_response, 200, farewell_page(httpcommon.parse_query(query)),
                              "text/html; charset=latin-1", cache=False)
        if lower in DASHBOARD_PATHS and "dashboard" in roles:
            return self._dashboard(environ, start_response, lower)
        return self._text(environ, start_response, 404, "not found\n")

    # ------------------------------------------------------------------ answers

    def _text(self, environ, start_response, code, text, content_type="text/plain; charset=latin-1",
              cache=True, extra=()):
        body = text.encode("latin-1", "replace") if isinstance(text, str) else text
        headers = [("Content-Type", content_type), ("Content-Length", str(len(body)))]
        if not cache:
            # Manifests and reports answer one request; no proxy or CDN may keep them.
            headers.append(("Cache-Control", "no-store"))
        start_response(_status(code), headers + list(extra))
        return [b""] if environ.get("REQUEST_METHOD") == "HEAD" else [body]

    def _manifest(self, environ, start_response, page, pairs):
        """The manifest or the no-update answer; each answer, and the release it named, is
        recorded when a store is given (adoption by release)."""
        snapshot = None
        try:
            snapshot = self.select(pairs.get("Brand", "")).answer_for(pairs)
            date = pairs.get("LastUpdateDate", "")
            no_update = page == CLIENT_RESOURCES and date and date == snapshot.date and snapshot.no_update_text
            text = snapshot.no_update_text if no_update else manifest_text(snapshot, pairs)
        except Exception as e:
            LOG.exception("manifest not answered: %s", e)
            self._record(environ, pairs, snapshot, reports.OUTCOME_ERROR)
            return self._text(environ, start_response, 500, "manifest not available\n", cache=False)
        self._record(environ, pairs, snapshot, reports.OUTCOME_NO_UPDATE if no_update else reports.OUTCOME_MANIFEST)
        return self._text(environ, start_response, 200, text, cache=False)

    def _record(self, environ, pairs, snapshot, outcome):
        # A record that cannot be stored never costs the installer its answer.
        if self.store is None:
            return
        try:
            self.store.add_manifest_request(reports.manifest_request(pairs, snapshot.date if snapshot else "", outcome),
                                            self._client(environ))
        except Exception as e:  # the store's own errors differ per database
            environ["wsgi.errors"].write("manifest request not recorded: %s\n" % e)

    def _dashboard(self, environ, start_response, page):
        if not dashboard.authorized(environ, self.dashboard_token):
            return self._text(environ, start_response, 401, "operators only\n", cache=False,
                              extra=[("WWW-Authenticate", dashboard.REALM)])
        if self.store is None:
            return self._text(environ, start_response, 503, "no report database (--log-db)\n", cache=False)
        data = dashboard.collect(self.store, self.releases)
        if page.endswith(".json"):
            return self._text(environ, start_response, 200, dashboard.to_json(data).encode("utf-8"),
                              "application/json", cache=False)
        return self._text(environ, start_response, 200, dashboard.page(data).encode("utf-8"),
                          "text/html; charset=utf-8", cache=False, extra=[("X-Frame-Options", "DENY")])

    def _client(self, environ):
        client = environ.get("REMOTE_ADDR", "")
        if client in self.trusted_proxies and environ.get("HTTP_X_REAL_IP"):
            client = environ["HTTP_X_REAL_IP"].strip()
        return client

    def _store(self, environ, start_response, report, method):
        """Store a parsed report with the store's `method`; 400 for a malformed one (None)."""
        if report is None:
            return self._text(environ, start_response, 400, "bad report\n", cache=False)
        if self.store is not None:
            try:
                getattr(self.store, method)(report, self._client(environ))
            except Exception as e:  # the store's own errors differ per database
                environ["wsgi.errors"].write("report not stored: %s\n" % e)
                return self._text(environ, start_response, 503, "report not stored\n", cache=False)
        return self._text(environ, start_response, 200, "OK\n", cache=False)

    def _file(self, environ, start_response, path):
        """Answer with a package file (None when it cannot be opened). Ranges, If-Range
        and conditional requests are answered the way nginx answers static files."""
        try:
            f = open(path, "rb")
        except OSError:
            return None
        try:
            st = os.fstat(f.fileno())
            size = st.st_size
            etag = entity_tag(st)
            modified = email.utils.formatdate(int(st.st_mtime), usegmt=True)
            headers = [("Content-Type", "application/octet-stream"), ("Last-Modified", modified),
                       ("ETag", etag), ("Accept-Ranges", "bytes"),
                       ("Cache-Control", IMMUTABLE if DIGEST_NAME.search(path) else REVALIDATE),
                       ("X-Content-Type-Options", "nosniff")]
            if environ.get("HTTP_IF_NONE_MATCH") in (etag, "*") or (
                    "HTTP_IF_NONE_MATCH" not in environ and environ.get("HTTP_IF_MODIFIED_SINCE") == modified):
                f.close()
                start_response(_status(304), headers)
                return [b""]
            wanted = None
            if not self.options.ignore_range and environ.get("HTTP_IF_RANGE", etag) in (etag, modified):
                wanted = byte_range(environ.get("HTTP_RANGE"), size)
            if wanted == UNSATISFIABLE:
                f.close()
                body = b"range not satisfiable\n"
                start_response(_status(416), [("Content-Type", "text/plain; charset=latin-1"),
                                              ("Content-Length", str(len(body))),
                                              ("Content-Range", "bytes */%d" % size)])
                return [b"" if environ.get("REQUEST_METHOD") == "HEAD" else body]
            first, last = wanted if wanted else (0, size - 1)
            length = last - first + 1
            if wanted:
                start_response(_status(206), headers + [("Content-Length", str(length)),
                                                        ("Content-Range", "bytes %d-%d/%d" % (first, last, size))])
            else:
                start_response(_status(200), headers + [("Content-Length", str(size))])
            if environ.get("REQUEST_METHOD") == "HEAD":
                f.close()
                return [b""]
            cut = self.options.take_cut()
            if cut is None and not wanted and "wsgi.file_wrapper" in environ:
                return environ["wsgi.file_wrapper"](f, CHUNK)  # the server's sendfile
            return FileSlice(f, first, length, cut)
        except BaseException:
            f.close()
            raise
