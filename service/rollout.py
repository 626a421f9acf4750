#!/usr/bin/env python3
"""Staged rollouts: a new release given to a share of the installations first.

A release folder with a staged release holds, beside its current release:
    staged/manifest.ini, staged/noupdate.ini   the staged release (signed when the release is)
    rollout.ini    [ROLLOUT] RELEASE=<staged release's date> PERCENT=<P> STATE=active|halted

The packer stages a release (pack_release.py --stage P). The download server then gives it
to the manifest requests whose funnel (ChainStartTime + ChainStartRandom) falls in the first
P % by a stable hash of the funnel and the staged release's date, and to installations that
already run it (they ask with its date); everyone else gets the current release. A request
without a funnel gets the current release. Both are served as published, signatures and all:
the server only chooses. A state that names another release than the staged one gives the
staged release to nobody new.

Operator commands (no key needed; the packer's "rollback" is the signed way back):
    rollout.py status DIR [DIR ...]
    rollout.py raise DIR PERCENT   give it to PERCENT % of the funnels (lower is allowed too)
    rollout.py halt DIR            nobody new gets it; installations that have it keep it
    rollout.py resume DIR
    rollout.py promote DIR         the staged release becomes the current one, for everyone
    rollout.py rollback DIR        withdraw it: everyone is given the current release
"""

import argparse
import hashlib
import logging
import os
import shutil
import sys
import threading
from collections import namedtuple

if __package__ in (None, ""):
    sys.path.insert(0, os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
from service import ini  # noqa: E402
from service.release_layout import MANIFEST_NAME, NO_UPDATE_NAME, ROLLOUT_NAME, STAGED_DIR, file_stamp  # noqa: E402

LOG = logging.getLogger("orvanta.service")
Rollout = namedtuple("Rollout", "release percent halted")
SECTION = "ROLLOUT"
BUCKETS = 10000  # a funnel's share is one hundredth of a percent


class RolloutError(ValueError):
    pass


def parse_percent(text):
    try:
        percent = float(text)
    except (TypeError, ValueError):
        raise RolloutError("%r is not a percentage" % (text,))
    if not 0 <= percent <= 100:
        raise RolloutError("%r is not between 0 and 100" % (text,))
    return percent


def read_state(folder):
    """The rollout state of a release folder; None when there is none. RolloutError when
    it cannot be read."""
    path = os.path.join(folder, ROLLOUT_NAME)
    try:
        values = ini.read(path).get(SECTION, {})
    except FileNotFoundError:
        return None
    except OSError as e:
        raise RolloutError("%s: %s" % (path, e))
    state = values.get("STATE", "")
    if state not in ("active", "halted") or not values.get("RELEASE"):
        raise RolloutError("%s: needs RELEASE and STATE=active or halted" % path)
    return Rollout(values["RELEASE"], parse_percent(values.get("PERCENT")), state == "halted")


def write_state(folder, rollout):
    path = os.path.join(folder, ROLLOUT_NAME)
    text = ini.render({SECTION: {"RELEASE": rollout.release, "PERCENT": "%g" % rollout.percent,
                                 "STATE": "halted" if rollout.halted else "active"}})
    with open(path + ".part", "w", newline="") as f:
        f.write(text)
    os.replace(path + ".part", path)  # the server never reads half a state


def bucket(start_time, start_random, release):
    """A funnel's place among BUCKETS, the same for one staged release on every server and
    in every process; another staged release draws another sample."""
    digest = hashlib.sha256(("%s:%d:%d" % (release, start_time, start_random)).encode()).digest()
    return int.from_bytes(digest[:8], "big") % BUCKETS


def takes_staged(start_time, start_random, rollout):
    return bucket(start_time, start_random, rollout.release) < round(rollout.percent * BUCKETS / 100)


class RolloutFile:
    """A release folder's rollout state, re-read when it is replaced; a state that cannot
    be read counts as none (nobody new gets the staged release) and is logged once."""

    def __init__(self, folder):
        self.folder = folder
        self.path = os.path.join(folder, ROLLOUT_NAME)
        self._lock = threading.Lock()
        self._stamp = None
        self._state = None

    def current(self):
        stamp = file_stamp(self.path)
        with self._lock:
            if stamp != self._stamp:
                self._stamp = stamp
                try:
                    self._state = read_state(self.folder) if stamp else None
                except RolloutError as e:
                    self._state = None
                    LOG.error("rollout state not used: %s", e)
            return self._state


# ---------------------------------------------------------------------- operator commands

def _date(manifest_path):
    return ini.read(manifest_path).get("PRODUCT_REG", {}).get("LastUpdateDate", "")


def staged_date(folder):
    path = os.path.join(folder, STAGED_DIR, MANIFEST_NAME)
    if not os.path.isfile(path):
        raise RolloutError("%s: no staged release" % folder)
    return _date(path)


def _state_of_staged(folder):
    """The state of the staged release; a missing one or one of another release starts at 0 %."""
    release = staged_date(folder)
    try:
        state = read_state(folder)
    except RolloutError:
        state = None
    return state if state is not None and state.release == release else Rollout(release, 0.0, False)


def set_percent(folder, percent):
    state = _state_of_staged(folder)._replace(percent=percent)
    write_state(folder, state)
    return state


def set_halted(folder, halted):
    state = _state_of_staged(folder)._replace(halted=halted)
    write_state(folder, state)
    return state


def withdraw(folder):
    """Nobody is given the staged release any more; its files stay for its history entry."""
    state = os.path.join(folder, ROLLOUT_NAME)
    if os.path.exists(state):
        os.remove(state)  # first: from here on the server gives everyone the current release
    shutil.rmtree(os.path.join(folder, STAGED_DIR), ignore_errors=True)


def promote(folder):
    """The staged release becomes the current one: its no-update answer first, the manifest
    last, each renamed over the current one in one step."""
    release = staged_date(folder)
    staged = os.path.join(folder, STAGED_DIR)
    no_update = os.path.join(folder, NO_UPDATE_NAME)
    if os.path.isfile(os.path.join(staged, NO_UPDATE_NAME)):
        os.replace(os.path.join(staged, NO_UPDATE_NAME), no_update)
    elif os.path.exists(no_update):
        os.remove(no_update)  # an unsigned release has none; the old one names another date
    os.replace(os.path.join(staged, MANIFEST_NAME), os.path.join(folder, MANIFEST_NAME))
    withdraw(folder)
    return release


def status(folder):
    line = "%s: current %s" % (folder, _date(os.path.join(folder, MANIFEST_NAME)) or "-")
    try:
        release = staged_date(folder)
    except RolloutError:
        return line + "; nothing staged"
    try:
        state = read_state(folder)
    except RolloutError as e:
        return line + "; staged %s, given to nobody new: %s" % (release, e)
    if state is None or state.release != release:
        return line + "; staged %s, given to nobody new (no rollout state for it)" % release
    return line + "; staged %s at %g %% (%s)" % (release, state.percent, "halted" if state.halted else "active")


def main(argv=None):
    parser = argparse.ArgumentParser(description="Staged rollouts of release folders")
    sub = parser.add_subparsers(dest="command", required=True)
    sub.add_parser("status").add_argument("folder", nargs="+")
    raise_ = sub.add_parser("raise", help="give the staged release to PERCENT %% of the funnels")
    raise_.add_argument("folder")
    raise_.add_argument("percent", type=parse_percent)
    for name in ("halt", "resume", "promote", "rollback"):
        sub.add_parser(name).add_argument("folder")
    args = parser.parse_args(argv)
    try:
        if args.command == "status":
            print("\n".join(status(f) for f in args.folder))
        elif args.command == "raise":
            set_percent(args.folder, args.percent)
        elif args.command in ("halt", "resume"):
            set_halted(args.folder, args.command == "halt")
        elif args.command == "promote":
            print("%s: release %s is current for everyone" % (args.folder, promote(args.folder)))
        else:
            staged_date(args.folder)
            withdraw(args.folder)
        if args.command in ("raise", "halt", "resume", "rollback"):
            print(status(args.folder))
    except (RolloutError, OSError) as e:
        print("rollout: %s" % e, file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
