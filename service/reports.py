"""What the installer reports to the log server, read from a request's query.

    ClientsRecruitChain.asp?StartTime=..&StartRandom=..&Status=..&Did=..&Tag1=..&Tag2=..&
        a funnel report: the stage a download reached (30, 40, 50, 60)
    ClientsFailure.asp?StartTime=..&StartRandom=..&Did=..&Tag1=..&Tag2=..&Reason=<name>&Error=<code>
                      &Stage=<step>&Build=<text>&WinVer=<major.minor.build>&Date=<digits or empty>&
        a failure report: the run ended for Reason (lower case, words joined by "-"), with the
        system's or the HTTP code Error, in the engine's step Stage

A report with a missing or malformed value is refused whole, never stored half-read.
Stage, Build, WinVer and Date may be empty or left out.

Manifest requests are recorded too (manifest_request): the funnel named by their profile
pairs, the release date asked with, the release answered and how.
"""

import re

from service import httpcommon
from service.funnel_store import Failure, ManifestRequest

# The funnel's stages, in order: the Status of a funnel report.
STAGES = ((30, "downloads started"), (40, "answered"), (50, "installed"), (60, "finished"))
REPORT_PATH = "clientsrecruitchain.asp"
FAILURE_PATH = "clientsfailure.asp"
REPORT_PARAMS = ("StartTime", "StartRandom", "Status", "Did", "Tag1", "Tag2")
FUNNEL_PARAMS = ("StartTime", "StartRandom", "Did", "Tag1", "Tag2")
# The profile pairs of a manifest request that name its funnel, download and tags.
PROFILE_FUNNEL = ("ChainStartTime", "ChainStartRandom", "Did", "Tag", "Tag2")
OUTCOME_MANIFEST = "manifest"
OUTCOME_NO_UPDATE = "no-update"
OUTCOME_ERROR = "error"
_INT32 = re.compile(r"^-?\d{1,10}$")
_UINT32 = re.compile(r"^\d{1,10}$")
# The text fields of a failure report: what each may hold.
_FAILURE_TEXT = (
    ("Reason", re.compile(r"^[a-z0-9][a-z0-9-]{0,47}$")),
    ("Stage", re.compile(r"^[A-Za-z0-9_.-]{0,48}$")),
    ("Build", re.compile(r"^[\x20-\x7e]{0,64}$")),
    ("WinVer", re.compile(r"^(\d{1,5}\.\d{1,5}\.\d{1,6})?$")),
    ("Date", re.compile(r"^\d{0,20}$")),
)


def percent(part, whole):
    return "%.1f%%" % (100.0 * part / whole) if whole else "-"


def int32(text):
    """A signed 32-bit decimal number, or None."""
    if text is None or not _INT32.match(text):
        return None
    number = int(text)
    return number if -2**31 <= number < 2**31 else None


def _ints(values, names):
    numbers = [int32(values.get(name)) for name in names]
    return None if None in numbers else tuple(numbers)


def parse_report(query):
    """The six funnel report values as ints, or None when one is missing or not a 32-bit
    decimal number."""
    return _ints(httpcommon.parse_query(query), REPORT_PARAMS)


def parse_failure(query):
    """A Failure, or None when the report is malformed."""
    values = httpcommon.parse_query(query)
    funnel = _ints(values, FUNNEL_PARAMS)
    error = values.get("Error", "")
    if funnel is None or not _UINT32.match(error) or int(error) >= 2**32:
        return None
    texts = []
    for name, pattern in _FAILURE_TEXT:
        text = values.get(name, "")
        if not pattern.match(text):
            return None
        texts.append(text)
    reason, stage, build, win_ver, date = texts
    return Failure(*funnel, reason=reason, error=int(error), stage=stage, build=build, win_ver=win_ver,
                   asked_date=date)


def manifest_request(pairs, release_date, outcome):
    """The record of one manifest request: a profile value that is missing or not a
    32-bit number is None; text values are cut to a size a column takes."""
    funnel = [int32(pairs.get(name)) for name in PROFILE_FUNNEL]
    return ManifestRequest(*funnel, brand=pairs.get("Brand", "")[:64], asked_date=pairs.get("LastUpdateDate", "")[:32],
                           release_date=release_date, outcome=outcome)
