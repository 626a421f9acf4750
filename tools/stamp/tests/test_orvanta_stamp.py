"""Tests of the stamping tool on synthetic executables holding a profile block."""

import hashlib
import os
import struct
import subprocess
import sys
import tempfile
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
TOOL = os.path.join(os.path.dirname(HERE), "orvanta_stamp.py")
sys.path.insert(0, os.path.dirname(HERE))
import orvanta_stamp as tool  # noqa: E402

DEFAULT_SLOTS = [4, 0, 2, 1, 0, 262143, 1, 1, 1191945099, 8246, 1, 1, 1]


def block(slots=DEFAULT_SLOTS, referrer=b""):
    return (tool.LEADING_GUARD + struct.pack("<13i", *slots) + tool.TRAILING_GUARD + b"\0" * 4
            + referrer + b"\0" * (1024 - len(referrer)))


def image(*blocks, head=4096, tail=777):
    """Bytes that look like an executable: noise around the given blocks."""
    noise = bytes((i * 131 + 7) % 256 for i in range(head))
    data = b"MZ" + noise
    for b in blocks:
        data += b + noise[:333]
    return data + noise[:tail]


def signature(size=1500, short=False):
    """A DER SEQUENCE standing for a signature blob (the tool reads only its length)."""
    if short:
        return b"\x30\x7f" + bytes(range(127))
    return b"\x30\x82" + struct.pack(">H", size) + bytes((i * 7) % 256 for i in range(size))


def reference_checksum(data, checksum_at):
    """The PE checksum as the platform computes it, word by word."""
    total = 0
    padded = bytes(data) + b"\0" * (len(data) % 2)
    for i in range(0, len(padded), 2):
        if checksum_at <= i < checksum_at + 4:
            continue
        total += padded[i] | padded[i + 1] << 8
        total = (total & 0xFFFF) + (total >> 16)
    return ((total & 0xFFFF) + (total >> 16)) + len(data)


def pe_image(magic=0x20B, sig=None, further=b"", slack=b"", after_table=b"", length_slack=0):
    """A PE-shaped file holding one profile block; with sig, signed: a certificate table whose
    first entry holds sig followed by slack (then zero padding), and further entries after it.
    Returns (data, checksum offset, security directory entry offset)."""
    pe = 0x80
    directories = pe + 24 + (112 if magic == 0x20B else 96)
    data = bytearray(0x200)
    data[0:2] = b"MZ"
    struct.pack_into("<I", data, 0x3C, pe)
    data[pe:pe + 4] = b"PE\0\0"
    struct.pack_into("<H", data, pe + 20, directories + 16 * 8 - pe - 24)
    struct.pack_into("<H", data, pe + 24, magic)
    struct.pack_into("<I", data, directories - 4, 16)
    data += image(block(), head=3000, tail=501)
    if sig is not None:
        data += b"\0" * (-len(data) % 8)
        entry = struct.pack("<IHH", 8 + len(sig) + len(slack) + length_slack, 0x200, 2) + sig + slack
        entry += b"\0" * (-len(entry) % 8)
        struct.pack_into("<II", data, directories + 32, len(data), len(entry) + len(further))
        data += entry + further + after_table
    struct.pack_into("<I", data, pe + 24 + 64, reference_checksum(data, pe + 24 + 64))
    return bytes(data), pe + 24 + 64, directories + 32


class ToolCase(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)

    def path(self, name):
        return os.path.join(self.tmp.name, name)

    def write_input(self, data, name="in.exe"):
        p = self.path(name)
        with open(p, "wb") as f:
            f.write(data)
        return p

    def run_tool(self, *args):
        return subprocess.run([sys.executable, TOOL] + list(args), stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=60)

    def read(self, p):
        with open(p, "rb") as f:
            return f.read()

    def profile_of(self, data):
        return tool.read_profile(data, tool.find_block(data))


class StampFields(ToolCase):
    def test_every_field_round_trips_and_only_the_block_changes(self):
        src = self.write_input(image(block()))
        before = self.read(src)
        args = ["--server", "3", "--server-mask", "0", "--product", "1", "--did", "-5", "--lang", "17",
                "--lang-mask", "0xFFFFFFFF", "--tag1", "-12", "--tag2", "2147483647",
                "--chain-start-time", "1700000000", "--chain-start-random", "99", "--fun", "0",
                "--currency", "4294967295", "--brand", "30", "--referrer-raw", "plain text"]
        r = self.run_tool(src, "-o", self.path("out.exe"), *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        out = self.read(self.path("out.exe"))
        slots, referrer = self.profile_of(out)
        self.assertEqual(slots, [3, 0, 1, -5, 17, -1, -12, 2147483647, 1700000000, 99, 0, -1, 30])
        self.assertEqual(referrer, b"plain text")
        self.assertEqual(self.read(src), before, "input must stay as it was")
        self.assertEqual(len(out), len(before))
        at = tool.find_block(out)
        changed = [i for i in range(len(out)) if out[i] != before[i]]
        self.assertTrue(changed)
        self.assertTrue(all(at + 24 <= i < at + 76 or at + 104 <= i < at + 1128 for i in changed), changed[:5])

    def test_fields_not_given_keep_their_values(self):
        src = self.write_input(image(block(referrer=b"CAFE")))
        r = self.run_tool(src, "-o", self.path("out.exe"), "--did", "77")
        self.assertEqual(r.returncode, 0, r.stderr)
        slots, referrer = self.profile_of(self.read(self.path("out.exe")))
        expected = list(DEFAULT_SLOTS)
        expected[3] = 77
        self.assertEqual(slots, expected)
        self.assertEqual(referrer, b"CAFE")

    def test_language_codes_and_url_referrer(self):
        src = self.write_input(image(block()))
        url = "http://www.example.com/landing?campaign=7&x=y"
        r = self.run_tool(src, "-o", self.path("out.exe"), "--lang", "en", "--referrer-url", url)
        self.assertEqual(r.returncode, 0, r.stderr)
        slots, referrer = self.profile_of(self.read(self.path("out.exe")))
        self.assertEqual(slots[4], 1)
        self.assertEqual(bytes.fromhex(referrer.decode("ascii")).decode(), url)
        self.assertTrue(all(c in b"0123456789ABCDEF" for c in referrer))

    def test_shorter_referrer_leaves_nothing_of_the_longer_one(self):
        src = self.write_input(image(block(referrer=b"X" * 1000)))
        r = self.run_tool(src, "-o", self.path("out.exe"), "--referrer-raw", "ab")
        self.assertEqual(r.returncode, 0, r.stderr)
        out = self.read(self.path("out.exe"))
        at = tool.find_block(out)
        self.assertEqual(out[at + 104:at + 1128], b"ab" + b"\0" * 1022)

    def test_stdout_copy_equals_file_copy(self):
        src = self.write_input(image(block()))
        args = ["--did", "9", "--referrer-url", "http://a/b"]
        r1 = self.run_tool(src, "-o", self.path("out.exe"), *args)
        r2 = self.run_tool(src, "--stdout", *args)
        self.assertEqual((r1.returncode, r2.returncode), (0, 0), r2.stderr)
        self.assertEqual(r2.stdout, self.read(self.path("out.exe")))

    def test_show_prints_the_stamped_profile(self):
        src = self.write_input(image(block()))
        r = self.run_tool(src, "-o", self.path("out.exe"), "--show", "--lang", "DE",
                          "--referrer-url", "http://x/")
        self.assertEqual(r.returncode, 0, r.stderr)
        text = r.stdout.decode()
        self.assertRegex(text, r"lang\s+2 \(DE\)")
        self.assertRegex(text, r"chain-start-time\s+1191945099")
        self.assertIn("http://x/", text)
        shown = self.run_tool(src, "--show")
        self.assertRegex(shown.stdout.decode(), r"lang\s+0\n")


class Refusals(ToolCase):
    def assert_refused(self, result, code, fragment, output=None):
        self.assertEqual(result.returncode, code, result.stderr)
        self.assertIn(fragment, result.stderr.decode())
        self.assertEqual(result.stdout, b"")
        if output:
            self.assertFalse(os.path.exists(output), "no output file after a refusal")

    def test_files_without_exactly_one_block(self):
        lone_guard = tool.LEADING_GUARD + b"\1" * 1104  # guard without the trailing guard
        cases = [("none", image(), "no profile block"),
                 ("guard only", image(lone_guard), "no profile block"),
                 ("cut short", image(head=10, tail=0)[:-1] + block()[:1000], "no profile block"),
                 ("two", image(block(), block()), "2 profile blocks")]
        for label, data, fragment in cases:
            with self.subTest(label):
                src = self.write_input(data)
                out = self.path("out-%s.exe" % label.replace(" ", "_"))
                self.assert_refused(self.run_tool(src, "-o", out, "--did", "1"), 3, fragment, out)

    def test_values_that_do_not_fit(self):
        src = self.write_input(image(block()))
        cases = [(["--did", "4294967296"], "32 bits"),
                 (["--tag1", "-2147483649"], "32 bits"),
                 (["--fun", "12abc"], "not a number"),
                 (["--lang", "XX"], "not a number"),
                 (["--referrer-raw", "r" * 1024], "does not fit"),
                 (["--referrer-url", "u" * 512], "does not fit")]
        for args, fragment in cases:
            with self.subTest(args[0] + " " + args[1][:12]):
                out = self.path("out.exe")
                self.assert_refused(self.run_tool(src, "-o", out, *args), 2, fragment, out)

    def test_largest_values_that_fit_are_taken(self):
        src = self.write_input(image(block()))
        r = self.run_tool(src, "-o", self.path("out.exe"), "--referrer-raw", "r" * 1023,
                          "--did", "-2147483648", "--tag2", "4294967295")
        self.assertEqual(r.returncode, 0, r.stderr)
        slots, referrer = self.profile_of(self.read(self.path("out.exe")))
        self.assertEqual((slots[3], slots[7], len(referrer)), (-2147483648, -1, 1023))

    def test_misuse_of_the_command_line(self):
        src = self.write_input(image(block()))
        before = self.read(src)
        self.assert_refused(self.run_tool(src, "--did", "1"), 2, "nothing to do")
        self.assert_refused(self.run_tool(src, "-o", src, "--did", "1"), 2, "input")
        self.assert_refused(self.run_tool(self.path("missing.exe"), "-o", self.path("o.exe")), 4, "cannot read")
        self.assert_refused(self.run_tool(src, "-o", self.path("no/such/dir/o.exe")), 4, "cannot write")
        self.assertEqual(self.read(src), before)
        for args, fragment in [(["--did"], "needs a value"), (["--dd", "1", "--show"], "unknown option"),
                               (["-o", self.path("a"), "--stdout"], "not both"),
                               (["--referrer-raw", "a", "--referrer-url", "b", "--show"], "not both"),
                               (["--show", "extra.exe"], "unexpected argument"),
                               (["--stdout", "--show"], "cannot be combined")]:
            with self.subTest(args):
                usage = self.run_tool(src, *args)
                self.assert_refused(usage, 2, fragment)
                self.assertIn("usage:", usage.stderr.decode())
        self.assert_refused(self.run_tool("--show"), 2, "no input")

    def test_option_equals_value_spelling(self):
        src = self.write_input(image(block()))
        r = self.run_tool(src, "--output=" + self.path("out.exe"), "--did=42", "--referrer-raw=a=b")
        self.assertEqual(r.returncode, 0, r.stderr)
        slots, referrer = self.profile_of(self.read(self.path("out.exe")))
        self.assertEqual((slots[3], referrer), (42, b"a=b"))

    def test_help(self):
        r = self.run_tool("--help")
        self.assertEqual(r.returncode, 0)
        for option in ["--server", "--lang-mask", "--chain-start-random", "--referrer-url", "--stdout"]:
            self.assertIn(option, r.stdout.decode())


class SignedFiles(ToolCase):
    FIELDS = ["--did", "4711", "--lang", "NO", "--tag2", "-3", "--referrer-url", "http://example.com/a?b=c"]

    def stamp_bytes(self, data, *args, name="out.exe"):
        r = self.run_tool(self.write_input(data, "in-" + name), "-o", self.path(name), *args)
        self.assertEqual(r.returncode, 0, r.stderr)
        return self.read(self.path(name))

    def test_profile_goes_where_the_signature_does_not_look(self):
        further = struct.pack("<IHH", 16, 0x200, 1) + b"\1" * 8  # a second entry, kept as it is
        for magic, sig, more in [(0x20B, signature(), b""), (0x10B, signature(short=True), further)]:
            with self.subTest(magic=hex(magic)):
                before, checksum_at, directory_at = pe_image(magic, sig, more)
                table_at = struct.unpack_from("<I", before, directory_at)[0]
                out = self.stamp_bytes(before, *self.FIELDS)
                def hashed(d):  # what the Authenticode hash covers: the block too is as it was
                    return d[:checksum_at] + d[checksum_at + 4:directory_at] + d[directory_at + 8:table_at]
                self.assertEqual(hashed(out), hashed(before))
                length = struct.unpack_from("<I", out, table_at)[0]
                self.assertEqual(struct.unpack_from("<II", out, directory_at), (table_at, len(out) - table_at))
                self.assertEqual((length % 8, len(out) - table_at), (0, length + len(more)))
                self.assertEqual(out[table_at + 8:table_at + 8 + len(sig)], sig)
                self.assertEqual(out[table_at + length:], more)
                self.assertEqual(struct.unpack_from("<I", out, checksum_at)[0], reference_checksum(out, checksum_at))
                slots, referrer = tool.read_record(out, tool.signature_area(out, tool.pe_layout(out)))
                expected = list(DEFAULT_SLOTS)
                expected[3], expected[4], expected[7] = 4711, 16, -3
                self.assertEqual((slots, bytes.fromhex(referrer.decode()).decode()),
                                 (expected, "http://example.com/a?b=c"))
                self.assertRegex(self.run_tool(self.path("out.exe"), "--show").stdout.decode(),
                                 r"^certificate-area record .*\n(.*\n){3}did\s+4711\n")

    def test_stamping_twice_replaces_the_record(self):
        signed, checksum_at, _ = pe_image(sig=signature())
        once = self.stamp_bytes(signed, *self.FIELDS, name="once.exe")
        twice = self.stamp_bytes(once, "--did", "5", "--referrer-raw", "x", name="twice.exe")
        direct = self.stamp_bytes(signed, *(self.FIELDS[:-2] + ["--did", "5", "--referrer-raw", "x"]))
        self.assertEqual(twice, direct)
        self.assertEqual(twice.count(tool.RECORD_MAGIC), 1)
        # A damaged record is replaced too; its values are not taken over.
        damaged = bytearray(once)
        damaged[-9] ^= 0xFF
        struct.pack_into("<I", damaged, checksum_at, reference_checksum(damaged, checksum_at))
        show = self.run_tool(self.write_input(bytes(damaged), "damaged.exe"), "--show").stdout.decode()
        self.assertIn("damaged certificate-area record ignored", show)
        self.assertRegex(show, r"did\s+1\n")
        self.assertEqual(self.stamp_bytes(bytes(damaged), "--did", "5", "--tag2", "-3", "--lang", "NO",
                                          "--referrer-raw", "x"), direct)

    def test_data_block_flag_moves_the_profile_into_the_block(self):
        signed, checksum_at, _ = pe_image(sig=signature())
        once = self.stamp_bytes(signed, *self.FIELDS, name="once.exe")
        out = self.stamp_bytes(once, "--data-block", "--did", "6")
        at = tool.find_block(out)
        slots, referrer = tool.read_profile(out, at)
        self.assertEqual((slots[3], slots[4], slots[7]), (6, 16, -3))
        self.assertTrue(referrer)
        outside = lambda d: d[:checksum_at] + d[checksum_at + 4:at] + d[at + 1128:]
        self.assertEqual(outside(out), outside(signed), "the signed input's table, as it was")
        self.assertNotIn(tool.RECORD_MAGIC, out)
        self.assertEqual(struct.unpack_from("<I", out, checksum_at)[0], reference_checksum(out, checksum_at))

    def test_a_certificate_area_that_cannot_take_the_profile_is_refused(self):
        indefinite = b"\x30\x80" + bytes(100) + b"\0\0"
        cases = [("table not at the end", dict(sig=signature(), after_table=b"tail" * 2), "end of the file"),
                 ("indefinite length", dict(sig=indefinite), "cannot be read"),
                 ("blob longer than its entry", dict(sig=b"\x30\x82\x10\x00" + bytes(60)), "cannot be read"),
                 ("foreign data after the blob", dict(sig=signature(), slack=b"TAG1"), "unknown data"),
                 ("entry longer than the table", dict(sig=signature(), length_slack=64), "sane length")]
        for label, shape, fragment in cases:
            with self.subTest(label):
                data = pe_image(**shape)[0]
                src = self.write_input(data)
                out = self.path("refused.exe")
                r = self.run_tool(src, "-o", out, "--did", "8")
                self.assertEqual(r.returncode, 5, r.stderr)
                self.assertIn(fragment, r.stderr.decode())
                self.assertFalse(os.path.exists(out))
                forced = self.stamp_bytes(data, "--data-block", "--did", "8")
                self.assertEqual(tool.read_profile(forced, tool.find_block(forced))[0][3], 8)


if __name__ == "__main__":
    unittest.main()
