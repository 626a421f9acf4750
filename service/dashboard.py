"""The operators' dashboard: the funnel by day and by campaign (Did, Tag1, Tag2) with the
conversion between stages, failures by reason and by Windows version, installations per
release over time, and each release folder's rollout with the failures of its staged
release against the current one.

    GET dashboard             the page: figures in tables, charts drawn by Chart.js
                              (service/vendor/chart.js, carried inline: nothing is fetched)
    GET dashboard/data.json   the same figures as JSON

Only operators get in: the token set at deploy time (--dashboard-token-file), sent as
"Authorization: Bearer <token>" or as the password of HTTP Basic authentication (any user
name). Every other request gets 401 and no data; without a token nobody gets in.
"""

import base64
import binascii
import datetime
import hmac
import html
import json
import os

from service.reports import STAGES, percent

DAYS = 90  # the days the charts over time show
VENDOR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "vendor", "chart.js", "chart.umd.min.js")
REALM = 'Basic realm="Orvanta operators", charset="UTF-8"'

# Per release: the installations whose newest release it is, and how many of them reported a
# failure (service/summary.py keeps install_release; the rest of the figures are counters).
_BY_RELEASE = ("SELECT release_date, COUNT(*), SUM(failed) FROM install_release WHERE release_date IS NOT NULL"
               " GROUP BY release_date")


def read_token(path):
    """The operators' token from its file (one line); ValueError when it is empty."""
    with open(path, encoding="utf-8") as f:
        token = f.read().strip()
    if len(token) < 16:
        raise ValueError("%s: the dashboard token needs at least 16 characters" % path)
    return token


def authorized(environ, token):
    """Whether the request carries the operators' token (compared in constant time)."""
    if not token:
        return False
    scheme, _, value = environ.get("HTTP_AUTHORIZATION", "").strip().partition(" ")
    given = ""
    if scheme.lower() == "bearer":
        given = value.strip()
    elif scheme.lower() == "basic":
        try:
            given = base64.b64decode(value.strip(), validate=True).decode("utf-8").partition(":")[2]
        except (binascii.Error, UnicodeDecodeError):
            return False
    return bool(given) and hmac.compare_digest(given.encode("utf-8"), token.encode("utf-8"))


def _days(first, last):
    day, end, days = datetime.date.fromisoformat(first), datetime.date.fromisoformat(last), []
    while day <= end:
        days.append(day.isoformat())
        day += datetime.timedelta(days=1)
    return days


def _series(rows):
    """{day: {key: count}} rows as (days from the first to the last, {key: [count per day]})."""
    per_day = {}
    for day, key, count in rows:
        per_day.setdefault(day, {})[str(key)] = count
    days = _days(min(per_day), max(per_day)) if per_day else []
    keys = sorted({k for counts in per_day.values() for k in counts})
    return days, {k: [per_day.get(day, {}).get(k, 0) for day in days] for k in keys}


def _rollout(release):
    current, staged = release.current(), release.staged.current()
    state = release.rollout_state.current() if staged is not None else None
    given = state is not None and state.release == staged.date
    return {"brand": current.brand, "current": current.date, "staged": staged.date if staged else None,
            "percent": state.percent if given else None,
            "state": ("halted" if state.halted else "active") if given else ("not given" if staged else "-")}


def _since(counts, since, key=str):
    return [(day, key(sub), n) for (day, sub), n in counts.items() if day >= since]


def collect(store, releases, now=None):
    """Every figure of the page, as JSON-ready values."""
    now = now or datetime.datetime.now(datetime.timezone.utc)
    since = (now - datetime.timedelta(days=DAYS)).date().isoformat()
    kinds = ["all", "did", "tag1", "tag2", "day", "install_day", "funnel", "rows", "fail_reason", "fail_win_ver"]
    counts = store.counts(kinds)
    by_release, = store.fetch([(_BY_RELEASE, ())])
    rows = lambda table: counts["rows"].get((table, ""), 0)  # noqa: E731
    days, stages = _series(_since(counts["day"], since, int))
    install_days, per_release = _series(_since(counts["install_day"], since))
    campaigns = {}
    for by in ("did", "tag1", "tag2"):
        for (grp, sub), n in counts[by].items():
            campaigns.setdefault(by, {}).setdefault(int(grp), {})[int(sub)] = n
    by_count = lambda kind: sorted(((g, n) for (g, _), n in counts[kind].items()),  # noqa: E731
                                   key=lambda i: (-i[1], i[0]))
    return {
        "generated": now.isoformat(timespec="seconds"),
        "totals": {"reports": rows("reports"), "funnels": counts["funnel"].get(("", ""), 0),
                   "failures": rows("failures"), "manifest_requests": rows("manifest_requests")},
        "stages": [[status, name] for status, name in STAGES],
        "funnel": {str(s): counts["all"].get(("", str(s)), 0) for s, _ in STAGES},
        "funnel_by_day": {"days": days, "stages": stages},
        "campaigns": {by: [[group] + [groups.get(s, 0) for s, _ in STAGES]
                           for group, groups in sorted(campaigns.get(by, {}).items())]
                      for by in ("did", "tag1", "tag2")},
        "failures_by_reason": by_count("fail_reason"),
        "failures_by_win_ver": by_count("fail_win_ver"),
        "installs_by_day": {"days": install_days, "releases": per_release},
        "releases": [[release, int(served), int(failed)] for release, served, failed in sorted(by_release)],
        "rollouts": [_rollout(r) for r in releases],
    }


def to_json(data):
    # Safe inside a <script> element: no "</script>" can end it early.
    return json.dumps(data, sort_keys=True).replace("<", "\\u003c").replace(">", "\\u003e")


# ---------------------------------------------------------------------- the page

_STYLE = """
body { font: 14px/1.4 sans-serif; margin: 1.5em; color: #222; }
h1 { font-size: 1.5em; margin: 0 0 .2em; } h2 { font-size: 1.15em; margin: 1.4em 0 .4em; }
table { border-collapse: collapse; margin: .4em 1.5em .8em 0; display: inline-table; vertical-align: top; }
th, td { border: 1px solid #ccc; padding: 2px 8px; } td { text-align: right; } td:first-child { text-align: left; }
th { background: #eef2f7; } caption { text-align: left; font-weight: bold; padding: 2px 0; }
canvas { display: block; margin: .3em 0 1em; } .pair { display: flex; gap: 2em; flex-wrap: wrap; }
.note { color: #666; }
"""

# Our drawing calls: every chart from the figures embedded in the page.
_CHARTS = """
(function () {
  var data = JSON.parse(document.getElementById("dashboard-data").textContent);
  var colours = ["#2f6db5", "#e08a1e", "#3a9a4a", "#c4393f", "#7b52ab", "#8c6d31", "#1a9c9c", "#d45fa4"];
  function chart(id, type, labels, series) {
    var sets = Object.keys(series).map(function (label, i) {
      var colour = colours[i % colours.length];
      return {label: label, data: series[label], borderColor: colour, backgroundColor: colour};
    });
    new Chart(document.getElementById(id), {type: type, data: {labels: labels, datasets: sets},
      options: {animation: false, responsive: false, plugins: {legend: {position: "bottom"}}}});
  }
  function counts(pairs, label) {
    var series = {};
    series[label] = pairs.map(function (p) { return p[1]; });
    return series;
  }
  var stages = {};
  data.stages.forEach(function (s) { stages[s[0] + " " + s[1]] = data.funnel_by_day.stages[String(s[0])] || []; });
  chart("chart-funnel-day", "line", data.funnel_by_day.days, stages);
  chart("chart-failures-reason", "bar", data.failures_by_reason.map(function (p) { return p[0]; }),
        counts(data.failures_by_reason, "failure reports"));
  chart("chart-failures-winver", "bar", data.failures_by_win_ver.map(function (p) { return p[0] || "unknown"; }),
        counts(data.failures_by_win_ver, "failure reports"));
  chart("chart-installs", "line", data.installs_by_day.days, data.installs_by_day.releases);
  document.body.setAttribute("data-charts", "drawn");
})();
"""


def _table(table_id, caption, headers, rows):
    cells = lambda row, tag: "".join("<%s>%s</%s>" % (tag, html.escape(str(c)), tag) for c in row)  # noqa: E731
    return ('<table id="%s"><caption>%s</caption><thead><tr>%s</tr></thead><tbody>%s</tbody></table>'
            % (table_id, html.escape(caption), cells(headers, "th"),
               "".join("<tr>%s</tr>" % cells(row, "td") for row in rows)))


def _funnel_rows(counts):
    rows = []
    for i, ((status, name), n) in enumerate(zip(STAGES, counts)):
        rows.append(["%d %s" % (status, name), n, percent(n, counts[i - 1]) if i else "",
                     percent(n, counts[0]) if i else ""])
    return rows


def _rate(by_release, release):
    served, failed = by_release.get(release, (0, 0))
    return "%s (%d of %d)" % (percent(failed, served), failed, served) if release else "-"


def _tables(data):
    stage_names = [str(s) for s, _ in STAGES]
    by_release = {release: (served, failed) for release, served, failed in data["releases"]}
    out = [_table("funnel", "Distinct funnels per stage", ["stage", "funnels", "from previous", "from started"],
                  _funnel_rows([data["funnel"][s] for s in stage_names]))]
    out.append("<h2>Funnel by campaign</h2>")
    for by, groups in data["campaigns"].items():
        out.append(_table("campaign-" + by, "By " + by, [by] + stage_names + ["30 to 60"],
                          [row + [percent(row[-1], row[1])] for row in groups]))
    failures = [_table("failures-reason", "Failure reports by reason", ["reason", "reports"],
                       data["failures_by_reason"]),
                _table("failures-winver", "Failure reports by Windows version", ["Windows", "reports"],
                       [[v or "unknown", n] for v, n in data["failures_by_win_ver"]])]
    releases = _table("releases", "Installations by their newest release",
                      ["release", "installations", "failed", "failure rate"],
                      [[r, s, f, percent(f, s)] for r, s, f in data["releases"]])
    rollouts = _table("rollouts", "Rollouts", ["brand", "current", "staged", "share", "state",
                                               "current's failures", "staged's failures"],
                      [[r["brand"], r["current"], r["staged"] or "-",
                        "-" if r["percent"] is None else "%g %%" % r["percent"], r["state"],
                        _rate(by_release, r["current"]), _rate(by_release, r["staged"])] for r in data["rollouts"]])
    return "".join(out), failures, releases, rollouts


def page(data):
    """The dashboard page: tables of the figures, canvases the charts are drawn on."""
    funnel, failures, releases, rollouts = _tables(data)
    totals = data["totals"]
    with open(VENDOR, encoding="utf-8") as f:
        library = f.read()
    return "".join([
        '<!DOCTYPE html>\n<html lang="en"><head><meta charset="utf-8"><title>Orvanta operators</title>'
        '<link rel="icon" href="data:,">',
        "<style>", _STYLE, "</style></head><body>",
        "<h1>Orvanta operators</h1>",
        '<p id="totals" class="note">%d funnel reports from %d funnels, %d failure reports, %d manifest requests;'
        " figures of %s (UTC), days over the last %d.</p>"
        % (totals["reports"], totals["funnels"], totals["failures"], totals["manifest_requests"],
           html.escape(data["generated"]), DAYS),
        "<h2>Funnel</h2>", '<canvas id="chart-funnel-day" width="960" height="280"></canvas>', funnel,
        "<h2>Failures</h2>", '<div class="pair"><div>', failures[0],
        '<canvas id="chart-failures-reason" width="460" height="260"></canvas></div><div>', failures[1],
        '<canvas id="chart-failures-winver" width="460" height="260"></canvas></div></div>',
        "<h2>Releases</h2>", '<canvas id="chart-installs" width="960" height="280"></canvas>', releases,
        "<h2>Rollouts</h2>", rollouts,
        "<script>", library, "</script>",
        '<script type="application/json" id="dashboard-data">', to_json(data), "</script>",
        "<script>", _CHARTS, "</script></body></html>\n"])
