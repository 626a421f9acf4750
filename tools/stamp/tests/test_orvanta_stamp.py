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


if __name__ == "__main__":
    unittest.main()
