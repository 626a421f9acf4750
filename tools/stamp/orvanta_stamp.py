#!/usr/bin/env -S python3 -I -S
"""Stamp a download profile into a copy of the Orvanta executable.

The executable carries one guarded 1128-byte profile block. This tool finds it
by its guard words, rewrites the value slots and the referrer text that are
asked for, keeps every other byte, and writes the result to a new file or to
standard output. The input file is never modified.

Exit codes: 0 success, 2 bad arguments or values, 3 the input has no profile
block or more than one, 4 the input cannot be read or the output written.
"""

import os
import struct
import sys

LEADING_GUARD = struct.pack("<6i", 348, 2001, 9, 637, 27, 637)
TRAILING_GUARD = struct.pack("<6i", 637, 27, 637, 9, 2001, 348)
SLOTS_OFFSET = 24
TRAILING_OFFSET = 76
ZERO_OFFSET = 100
REFERRER_OFFSET = 104
REFERRER_SIZE = 1024
BLOCK_SIZE = 1128

# Slot order is the block's layout; option names are what the web site passes.
SLOTS = [
    ("server", "download server, 1-based: 1 LAN, 2 LAN, 3 test, 4 production, 5 loopback"),
    ("server-mask", "server offer mask (0: use the server value)"),
    ("product", "product family (1 Corvantis, 2 Tindermoor)"),
    ("did", "download identifier"),
    ("lang", "language, 1-18 or a code such as EN (0: ask the player)"),
    ("lang-mask", "language offer mask (bit k offers language k+1; 262143 offers all)"),
    ("tag1", "tracking tag 1"),
    ("tag2", "tracking tag 2"),
    ("chain-start-time", "funnel start time, seconds since 1970-01-01 UTC"),
    ("chain-start-random", "funnel random number"),
    ("fun", "fun (play-money) number"),
    ("currency", "currency number"),
    ("brand", "brand identifier within the product family"),
]

LANGUAGE_CODES = ["EN", "DE", "IT", "HE", "TR", "EL", "JA", "SV", "NL",
                  "FR", "DK", "ES", "ZH", "AR", "FI", "NO", "RU", "PT"]

EXIT_USAGE, EXIT_BLOCK, EXIT_IO = 2, 3, 4


class StampError(Exception):
    def __init__(self, message, code):
        super().__init__(message)
        self.code = code


def parse_number(text, name):
    """A 32-bit number: signed (-2147483648..) or unsigned (..4294967295), decimal or 0x hex."""
    t = text.strip()
    if name == "lang" and t.upper() in LANGUAGE_CODES:
        return LANGUAGE_CODES.index(t.upper()) + 1
    try:
        body = t[1:] if t[:1] in "+-" else t
        value = int(t, 16) if body.lower().startswith("0x") else int(t, 10)
    except ValueError:
        raise StampError("--%s: '%s' is not a number" % (name, text), EXIT_USAGE)
    if not -2**31 <= value < 2**32:
        raise StampError("--%s: %d does not fit in 32 bits" % (name, value), EXIT_USAGE)
    return value


def referrer_bytes(url=None, raw=None):
    """The referrer text to store: the URL hex-encoded, or the raw text as given."""
    if url is not None:
        data = url.encode("utf-8").hex().upper().encode("ascii")
    else:
        data = raw.encode("utf-8", "surrogateescape")
    if b"\0" in data:
        raise StampError("referrer must not contain a NUL character", EXIT_USAGE)
    if len(data) >= REFERRER_SIZE:
        raise StampError("referrer of %d bytes does not fit (at most %d)" % (len(data), REFERRER_SIZE - 1),
                         EXIT_USAGE)
    return data


def find_block(data):
    """Offset of the one profile block in data; StampError when there is none or more than one."""
    found = []
    start = 0
    while True:
        at = data.find(LEADING_GUARD, start)
        if at < 0:
            break
        start = at + 1
        if (at + BLOCK_SIZE <= len(data)
                and data[at + TRAILING_OFFSET:at + TRAILING_OFFSET + 24] == TRAILING_GUARD
                and data[at + ZERO_OFFSET:at + ZERO_OFFSET + 4] == b"\0\0\0\0"):
            found.append(at)
    if not found:
        raise StampError("no profile block found: not an Orvanta executable", EXIT_BLOCK)
    if len(found) > 1:
        raise StampError("%d profile blocks found (at %s): refusing an ambiguous file"
                         % (len(found), ", ".join(hex(a) for a in found)), EXIT_BLOCK)
    return found[0]


def read_profile(data, at):
    slots = struct.unpack_from("<13i", data, at + SLOTS_OFFSET)
    referrer = bytes(data[at + REFERRER_OFFSET:at + REFERRER_OFFSET + REFERRER_SIZE]).split(b"\0", 1)[0]
    return list(slots), referrer


def stamp(data, values, referrer=None):
    """Rewrites the given slots (index -> number) and the referrer in a bytearray, in place."""
    at = find_block(data)
    for index, value in values.items():
        struct.pack_into("<I", data, at + SLOTS_OFFSET + 4 * index, value & 0xFFFFFFFF)
    if referrer is not None:
        # Zero the whole field so nothing of an earlier, longer referrer stays behind.
        field = referrer + b"\0" * (REFERRER_SIZE - len(referrer))
        data[at + REFERRER_OFFSET:at + REFERRER_OFFSET + REFERRER_SIZE] = field
    return at


def describe(data, at):
    slots, referrer = read_profile(data, at)
    lines = ["profile block at offset 0x%x" % at]
    for (name, _), value in zip(SLOTS, slots):
        extra = ""
        if name == "lang" and 1 <= value <= len(LANGUAGE_CODES):
            extra = " (%s)" % LANGUAGE_CODES[value - 1]
        elif name.endswith("mask"):
            extra = " (0x%x)" % (value & 0xFFFFFFFF)
        lines.append("%-19s %d%s" % (name, value, extra))
    text = referrer.decode("latin-1")
    lines.append("%-19s %s" % ("referrer", text))
    if text and len(text) % 2 == 0 and all(c in "0123456789abcdefABCDEF" for c in text):
        lines.append("%-19s %s" % ("referrer (decoded)", bytes.fromhex(text).decode("utf-8", "replace")))
    return "\n".join(lines) + "\n"


USAGE = "usage: orvanta_stamp.py INPUT (-o OUTPUT | --stdout | --show) [--FIELD VALUE ...]\n"


def help_text():
    lines = [USAGE,
             "Write a download profile into a copy of the Orvanta executable. Only the fields given",
             "change; every other byte is copied as it is and the input file is never modified.",
             "",
             "output:",
             "  -o, --output FILE   write the stamped copy to FILE (a new file; not the input)",
             "  --stdout            write the stamped copy to standard output (not to a terminal)",
             "  --show              print the profile (of the stamped copy with -o, else of the input)",
             "  -h, --help          show this help",
             "",
             "profile fields (numbers are 32-bit: -2147483648 to 4294967295, decimal or 0x hex):"]
    for name, meaning in SLOTS:
        lines.append("  --%-20s %s" % (name + " N", meaning))
    lines += ["  --%-20s %s" % ("referrer-url URL", "referrer URL, stored hex-encoded (at most 511 bytes)"),
              "  --%-20s %s" % ("referrer-raw TEXT", "referrer text stored as given (at most 1023 bytes)"),
              "",
              "exit codes: 0 success, 2 bad arguments or values, 3 no profile block or more than one,",
              "4 the input cannot be read or the output written.",
              "",
              "example: orvanta_stamp.py Orvanta.exe --did 77 --lang EN --lang-mask 0 -o Orvanta_77.exe"]
    return "\n".join(lines) + "\n"


class Options:
    def __init__(self):
        self.input = self.output = None
        self.stdout = self.show = self.help = False
        self.values = {}        # slot index -> text
        self.referrer_url = self.referrer_raw = None


SLOT_INDEX = dict((name, i) for i, (name, _) in enumerate(SLOTS))


def parse_args(argv):
    """A small hand-written parser: the tool runs once per download, so start-up time counts."""
    opts = Options()
    args = list(argv)
    i = 0
    while i < len(args):
        arg = args[i]
        i += 1
        if arg in ("-h", "--help"):
            opts.help = True
            continue
        if arg in ("--stdout", "--show"):
            setattr(opts, arg[2:], True)
            continue
        if arg == "-" or not arg.startswith("-"):
            if opts.input is not None:
                raise StampError("unexpected argument '%s'" % arg, EXIT_USAGE)
            opts.input = arg
            continue
        name, eq, value = arg.partition("=")
        key = name[2:] if name.startswith("--") else ("output" if name == "-o" else None)
        if key not in SLOT_INDEX and key not in ("output", "referrer-url", "referrer-raw"):
            raise StampError("unknown option '%s'" % name, EXIT_USAGE)
        if not eq:
            if i >= len(args):
                raise StampError("%s needs a value" % name, EXIT_USAGE)
            value = args[i]
            i += 1
        if key == "output":
            opts.output = value
        elif key == "referrer-url":
            opts.referrer_url = value
        elif key == "referrer-raw":
            opts.referrer_raw = value
        else:
            opts.values[SLOT_INDEX[key]] = value
    if opts.help:
        return opts
    if opts.input is None:
        raise StampError("no input file given", EXIT_USAGE)
    if opts.referrer_url is not None and opts.referrer_raw is not None:
        raise StampError("give --referrer-url or --referrer-raw, not both", EXIT_USAGE)
    if sum(1 for x in (opts.output is not None, opts.stdout) if x) > 1:
        raise StampError("give -o or --stdout, not both", EXIT_USAGE)
    if not opts.output and not opts.stdout and not opts.show:
        raise StampError("nothing to do: give -o FILE, --stdout or --show", EXIT_USAGE)
    if opts.stdout and opts.show:
        raise StampError("--show cannot be combined with --stdout", EXIT_USAGE)
    return opts


def write_file(path, data):
    """Writes through a temporary file in the same folder, so no reader sees half a copy."""
    folder = os.path.dirname(os.path.abspath(path))
    tmp = os.path.join(folder, ".stamp-%d-%s" % (os.getpid(), os.path.basename(path)))
    fd = os.open(tmp, os.O_WRONLY | os.O_CREAT | os.O_EXCL | getattr(os, "O_BINARY", 0), 0o755)
    try:
        with os.fdopen(fd, "wb") as f:
            f.write(data)
        os.replace(tmp, path)
    except BaseException:
        try:
            os.unlink(tmp)
        except OSError:
            pass
        raise


def read_file(path):
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        data = bytearray(size)
        got = f.readinto(data)
        if got != size:  # the file changed under us; take what is there
            del data[got:]
            data += f.read()
    return data


def run(argv, stdout=None):
    """The whole command; returns the exit code or raises StampError. Usable from a web server."""
    stdout = stdout if stdout is not None else sys.stdout
    opts = parse_args(argv)
    if opts.help:
        stdout.write(help_text())
        return 0
    if opts.stdout and stdout.isatty():
        raise StampError("refusing to write a binary to a terminal; redirect standard output", EXIT_USAGE)

    names = dict((i, name) for name, i in SLOT_INDEX.items())
    values = dict((i, parse_number(text, names[i])) for i, text in opts.values.items())
    referrer = None
    if opts.referrer_url is not None or opts.referrer_raw is not None:
        referrer = referrer_bytes(opts.referrer_url, opts.referrer_raw)

    if opts.output and os.path.exists(opts.output) and os.path.exists(opts.input) \
            and os.path.samefile(opts.input, opts.output):
        raise StampError("output is the input file; the input is never modified", EXIT_USAGE)
    try:
        data = read_file(opts.input)
    except OSError as e:
        raise StampError("cannot read %s: %s" % (opts.input, e.strerror), EXIT_IO)

    at = stamp(data, values, referrer)
    try:
        if opts.output:
            write_file(opts.output, data)
        elif opts.stdout:
            stdout.buffer.write(data)
            stdout.flush()
    except OSError as e:
        raise StampError("cannot write the stamped copy: %s" % e.strerror, EXIT_IO)
    if opts.show:
        stdout.write(describe(data, at))
    return 0


def main():
    try:
        return run(sys.argv[1:])
    except StampError as e:
        sys.stderr.write("%sorvanta_stamp: error: %s\n" % (USAGE if e.code == EXIT_USAGE else "", e))
        return e.code


if __name__ == "__main__":
    sys.exit(main())
