#!/usr/bin/env -S python3 -I -S
"""Stamp a download profile into a copy of the Orvanta executable.

The executable carries one guarded 1128-byte profile block. For an unsigned
file this tool finds it by its guard words, rewrites the value slots and the
referrer text that are asked for, keeps every other byte, and writes the result
to a new file or to standard output. The input file is never modified.

A signed file keeps its signature: the profile goes into a record placed right
after the signature blob inside the first certificate table entry, which the
Authenticode hash does not cover (see PROFILE RECORD below). The program reads
that record in preference to its built-in block.

Exit codes: 0 success, 2 bad arguments or values, 3 the input has no profile
block or more than one, 4 the input cannot be read or the output written,
5 a signed input whose certificate area cannot take the profile.
"""

import binascii
import os
import struct
import sys
from array import array

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

EXIT_USAGE, EXIT_BLOCK, EXIT_IO, EXIT_SIGNED = 2, 3, 4, 5

# PROFILE RECORD, in the certificate area of a signed copy (little-endian):
#   0  4  magic "OvPf"
#   4  2  version, 1
#   6  2  reserved, 0
#   8  4  payload length N, RECORD_MIN_PAYLOAD..RECORD_MAX_PAYLOAD
#  12  4  CRC-32 (as zlib's) of bytes 4..12 followed by the payload
#  16  N  payload: the 13 value slots as in the block, then N - 52 bytes of
#         referrer text (no NUL)
# It starts where the DER signature blob of the first WIN_CERTIFICATE ends and
# is followed by zeros up to the entry's 8-byte aligned end. The program ignores
# a record whose magic, version, length or checksum does not hold.
RECORD_MAGIC = b"OvPf"
RECORD_VERSION = 1
RECORD_HEADER = 16
RECORD_MIN_PAYLOAD = 13 * 4
RECORD_MAX_PAYLOAD = RECORD_MIN_PAYLOAD + REFERRER_SIZE - 1

WIN_CERT_TYPE_PKCS_SIGNED_DATA = 2
SECURITY_DIRECTORY = 4


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


def stamp(data, values, referrer=None, at=None):
    """Rewrites the given slots (index -> number) and the referrer of the block at 'at' (found
    when not given) in a bytearray, in place."""
    at = find_block(data) if at is None else at
    for index, value in values.items():
        struct.pack_into("<I", data, at + SLOTS_OFFSET + 4 * index, value & 0xFFFFFFFF)
    if referrer is not None:
        # Zero the whole field so nothing of an earlier, longer referrer stays behind.
        field = referrer + b"\0" * (REFERRER_SIZE - len(referrer))
        data[at + REFERRER_OFFSET:at + REFERRER_OFFSET + REFERRER_SIZE] = field
    return at


# ---------------------------------------------------------------------------
# Signed files. The Authenticode hash skips the PE checksum, the security
# directory entry and the certificate table; everything this part writes lies
# there.

class PeLayout:
    """Where a PE file keeps its checksum and its security directory entry."""
    def __init__(self, checksum_at, directory_at):
        self.checksum_at = checksum_at
        self.directory_at = directory_at


def pe_layout(data):
    """The layout of a PE file, or None for anything that is not one (treated as unsigned)."""
    if len(data) < 64 or data[:2] != b"MZ":
        return None
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if pe + 24 > len(data) or data[pe:pe + 4] != b"PE\0\0":
        return None
    optional = pe + 24
    optional_size = struct.unpack_from("<H", data, pe + 20)[0]
    if optional + 2 > len(data):
        return None
    magic = struct.unpack_from("<H", data, optional)[0]
    directories = optional + {0x10B: 96, 0x20B: 112}.get(magic, 0)
    end = min(len(data), optional + optional_size)
    if directories == optional or directories + 8 * (SECURITY_DIRECTORY + 1) > end:
        return None
    if struct.unpack_from("<I", data, directories - 4)[0] <= SECURITY_DIRECTORY:
        return None
    return PeLayout(optional + 64, directories + 8 * SECURITY_DIRECTORY)


class SignatureArea:
    """The first certificate table entry of a signed file and what follows its signature blob."""
    def __init__(self, table_at, entry_length, blob_end, record_at):
        self.table_at = table_at          # file offset of the table (and of the first entry)
        self.entry_length = entry_length  # the first entry's dwLength
        self.blob_end = blob_end          # file offset where the DER signature blob ends
        self.record_at = record_at        # file offset of a profile record, or None


class UnusableSignature(Exception):
    pass


def der_length(data, at, end):
    """Bytes taken by the DER SEQUENCE at 'at' (header included); None when it cannot be read."""
    if at + 2 > end or data[at] != 0x30:
        return None
    first = data[at + 1]
    if first < 0x80:
        return 2 + first
    count = first & 0x7F
    if count == 0 or count > 4 or at + 2 + count > end:
        return None  # indefinite or absurd length
    return 2 + count + int.from_bytes(data[at + 2:at + 2 + count], "big")


def signature_area(data, layout):
    """None for an unsigned file, else its SignatureArea; UnusableSignature when the
    certificate table is signed but cannot take a record."""
    if layout is None:
        return None
    table_at, table_size = struct.unpack_from("<II", data, layout.directory_at)
    if table_at == 0 and table_size == 0:
        return None
    if table_at % 8 or table_size % 8 or table_size < 8 or table_at + table_size != len(data):
        raise UnusableSignature("the certificate table (offset 0x%x, %d bytes) is not an aligned table at the end "
                                "of the file" % (table_at, table_size))
    length, _revision, kind = struct.unpack_from("<IHH", data, table_at)
    if kind != WIN_CERT_TYPE_PKCS_SIGNED_DATA or length < 8 or length > table_size:
        raise UnusableSignature("the first certificate entry is not an Authenticode signature of a sane length")
    entry_end = table_at + length
    blob = der_length(data, table_at + 8, entry_end)
    if blob is None or table_at + 8 + blob > entry_end:
        raise UnusableSignature("the signature blob's length cannot be read")
    blob_end = table_at + 8 + blob
    after = data[blob_end:entry_end]
    if after[:len(RECORD_MAGIC)] == RECORD_MAGIC:
        return SignatureArea(table_at, length, blob_end, blob_end)
    if after.count(0) != len(after):
        raise UnusableSignature("unknown data follows the signature blob")
    return SignatureArea(table_at, length, blob_end, None)


def crc32(*parts):
    value = 0
    for part in parts:
        value = binascii.crc32(part, value)
    return value & 0xFFFFFFFF


def make_record(slots, referrer):
    payload = struct.pack("<13i", *slots) + referrer
    head = struct.pack("<HHI", RECORD_VERSION, 0, len(payload))
    return RECORD_MAGIC + head + struct.pack("<I", crc32(head, payload)) + payload


def read_record(data, area):
    """(slots, referrer) of a sound record; None when there is none or it does not hold."""
    if area.record_at is None:
        return None
    at, end = area.record_at, area.table_at + area.entry_length
    if at + RECORD_HEADER > end:
        return None
    version, reserved, size, checksum = struct.unpack_from("<HHII", data, at + 4)
    if (version != RECORD_VERSION or reserved != 0 or not RECORD_MIN_PAYLOAD <= size <= RECORD_MAX_PAYLOAD
            or at + RECORD_HEADER + size > end):
        return None
    payload = bytes(data[at + RECORD_HEADER:at + RECORD_HEADER + size])
    if crc32(bytes(data[at + 4:at + 12]), payload) != checksum:
        return None
    slots = list(struct.unpack_from("<13i", payload))
    return slots, payload[RECORD_MIN_PAYLOAD:].split(b"\0", 1)[0]


def word_sum(buf):
    """Sum of the little-endian 16-bit words of buf (an even number of bytes)."""
    words = array("H", bytes(buf))
    if sys.byteorder == "big":
        words.byteswap()
    return sum(words)


def fold(total, positive=False):
    """A sum of 16-bit words folded with end-around carry, as the PE checksum does it.
    positive: total is only known modulo 0xFFFF, and the sum it stands for is not 0."""
    return 0 if total == 0 and not positive else (total - 1) % 0xFFFF + 1


def full_pe_checksum(data, checksum_at):
    """The PE checksum computed over the whole file (the slow way)."""
    padded = bytes(data) + b"\0" * (len(data) % 2)
    total = word_sum(padded) - word_sum(padded[checksum_at:checksum_at + 4])
    return fold(total) + len(data)


def write_record(data, layout, area, record):
    """Replaces whatever follows the signature blob in the first entry by record (b"": nothing),
    keeps the table's further entries, and brings dwLength, the directory size and the PE
    checksum up to date. data is a bytearray, changed in place."""
    def changing_words():
        return word_sum(data[area.table_at:]) + word_sum(data[layout.directory_at:layout.directory_at + 8])

    old_checksum = struct.unpack_from("<I", data, layout.checksum_at)[0]
    old_size = len(data)
    old_words = changing_words()

    entry = bytearray(data[area.table_at:area.blob_end]) + record
    entry += b"\0" * (-len(entry) % 8)
    struct.pack_into("<I", entry, 0, len(entry))
    further = data[area.table_at + (area.entry_length + 7) // 8 * 8:]
    del data[area.table_at:]
    data += entry
    data += further
    struct.pack_into("<I", data, layout.directory_at + 4, len(data) - area.table_at)

    if old_checksum == 0:
        return  # never set: stays unset
    folded = old_checksum - old_size  # the folded word sum the stored checksum stands for
    if 1 <= folded <= 0xFFFF and layout.directory_at % 2 == 0:
        # Only the table and the directory entry changed: move the folded sum by
        # their difference instead of summing the whole file again.
        checksum = fold(folded + changing_words() - old_words, positive=True) + len(data)
    else:
        checksum = full_pe_checksum(data, layout.checksum_at)
    struct.pack_into("<I", data, layout.checksum_at, checksum & 0xFFFFFFFF)


def effective_profile(data, at):
    """(where, slots, referrer) of the profile the program reads: a sound certificate-area
    record, else the block at 'at'."""
    try:
        area = signature_area(data, pe_layout(data))
    except UnusableSignature as e:
        area, note = None, "signed; certificate area unusable (%s)" % e
    else:
        note = "unsigned" if area is None else "signed"
    record = read_record(data, area) if area is not None else None
    if record is not None:
        return ("certificate-area record at offset 0x%x (signed; signature kept)" % area.record_at,) + record
    if area is not None and area.record_at is not None:
        note += "; damaged certificate-area record ignored"
    slots, referrer = read_profile(data, at)
    return ("profile block at offset 0x%x (%s)" % (at, note), slots, referrer)


def describe(data, at):
    where, slots, referrer = effective_profile(data, at)
    lines = [where]
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


def stamp_file(data, values, referrer=None, data_block=False):
    """Stamps a whole file held in a bytearray, in place: the block of an unsigned file, the
    certificate-area record of a signed one (data_block: the block even so, breaking the
    signature, and any record dropped so the program reads the block). Returns the block's offset."""
    at = find_block(data)
    layout = pe_layout(data)
    try:
        area = signature_area(data, layout)
    except UnusableSignature as e:
        if not data_block:
            raise StampError("signed file: %s; --data-block writes the built-in block instead, which breaks "
                             "the signature" % e, EXIT_SIGNED)
        return stamp(data, values, referrer, at)
    if area is None:
        return stamp(data, values, referrer, at)

    record = read_record(data, area)
    slots, old_referrer = record if record is not None else read_profile(data, at)
    for index, value in values.items():
        slots[index] = value - 2**32 if value >= 2**31 else value
    referrer = old_referrer if referrer is None else referrer
    if data_block:
        if area.record_at is not None:
            write_record(data, layout, area, b"")
        stamp(data, dict(enumerate(slots)), referrer, at)
        if struct.unpack_from("<I", data, layout.checksum_at)[0]:
            struct.pack_into("<I", data, layout.checksum_at, full_pe_checksum(data, layout.checksum_at))
    else:
        write_record(data, layout, area, make_record(slots, referrer))
    return at


USAGE = "usage: orvanta_stamp.py INPUT (-o OUTPUT | --stdout | --show) [--data-block] [--FIELD VALUE ...]\n"


def help_text():
    lines = [USAGE,
             "Write a download profile into a copy of the Orvanta executable. Only the fields given",
             "change; every other byte is copied as it is and the input file is never modified.",
             "A signed file keeps a valid signature: its profile goes into the certificate area.",
             "",
             "output:",
             "  -o, --output FILE   write the stamped copy to FILE (a new file; not the input)",
             "  --stdout            write the stamped copy to standard output (not to a terminal)",
             "  --show              print the profile in effect and where it is (of the stamped copy;",
             "                      of the input as it is when no field and no output is given)",
             "  --data-block        signed file: write the built-in block anyway (breaks the signature)",
             "  -h, --help          show this help",
             "",
             "profile fields (numbers are 32-bit: -2147483648 to 4294967295, decimal or 0x hex):"]
    for name, meaning in SLOTS:
        lines.append("  --%-20s %s" % (name + " N", meaning))
    lines += ["  --%-20s %s" % ("referrer-url URL", "referrer URL, stored hex-encoded (at most 511 bytes)"),
              "  --%-20s %s" % ("referrer-raw TEXT", "referrer text stored as given (at most 1023 bytes)"),
              "",
              "exit codes: 0 success, 2 bad arguments or values, 3 no profile block or more than one,",
              "4 the input cannot be read or the output written, 5 a signed file whose certificate",
              "area cannot take the profile (and no --data-block).",
              "",
              "example: orvanta_stamp.py Orvanta.exe --did 77 --lang EN --lang-mask 0 -o Orvanta_77.exe"]
    return "\n".join(lines) + "\n"


class Options:
    def __init__(self):
        self.input = self.output = None
        self.stdout = self.show = self.help = self.data_block = False
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
        if arg in ("--stdout", "--show", "--data-block"):
            setattr(opts, arg[2:].replace("-", "_"), True)
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

    if opts.output or opts.stdout or values or referrer is not None or opts.data_block:
        at = stamp_file(data, values, referrer, opts.data_block)  # --show without output: a preview
    else:
        at = find_block(data)  # --show alone: the input as it is
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
