import hashlib
import json
import lzma
import os
import random
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

from packer import pack_release
from service import ini

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def sha(data):
    return hashlib.sha256(data).hexdigest()


def holds_its_digest(path, spec, compressed):
    """Whether a package file holds the content its spec's digest names (decoded when compressed)."""
    try:
        with open(path, "rb") as f:
            data = f.read()
        return sha(lzma.decompress(data, format=lzma.FORMAT_ALONE) if compressed else data) == \
            ini.file_spec_checksum(spec)
    except (lzma.LZMAError, EOFError):
        return False


def program_with_version(a, b, c, d):
    """A minimal 64-bit Windows program: headers and a resource section holding
    a version block whose product version is a.b.c.d."""
    high, low = (a << 16) | b, (c << 16) | d
    block = struct.pack("<3H", 92, 52, 0) + "VS_VERSION_INFO\0".encode("utf-16-le") + b"\0\0" + \
        struct.pack("<13I", 0xFEEF04BD, 0x10000, 0, 0, high, low, 0x3F, 0, 4, 1, 0, 0, 0)
    resources = b"\0" * 16 + block  # the block lies behind the resource directory
    header = bytearray(512)
    header[:2] = b"MZ"
    struct.pack_into("<I", header, 60, 64)
    header[64:68] = b"PE\0\0"
    struct.pack_into("<HH12xH", header, 68, 0x8664, 1, 240)  # one section, 240-byte optional header
    struct.pack_into("<H", header, 88, 0x20b)
    struct.pack_into("<II", header, 88 + 128, 0x1000, len(resources))  # data directory 2
    header[328:336] = b".rsrc\0\0\0"
    struct.pack_into("<IIII", header, 336, len(resources), 0x1000, len(resources), 512)
    return bytes(header) + resources


class PackTest(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.TemporaryDirectory()
        self.addCleanup(self.tmp.cleanup)
        self.client = os.path.join(self.tmp.name, "client")
        self.out = os.path.join(self.tmp.name, "release")
        self.decoder = os.path.join(self.tmp.name, "tools", "lzma.exe")
        write(self.decoder, b"MZ decoder " * 10)
        rng = random.Random(7)
        self.content = {
            "Bin/client.exe": b"MZ" + b"client code " * 4000,
            "Bin/readme.txt": bytes(rng.getrandbits(8) for _ in range(4000)),  # does not compress
            "Data/LICENSE": b"no extension " * 10,
            "Data/sound.ogg": b"OggS" + b"\x01" * 2000,
            "Data/old.lzma": b"\0" * 3000,  # would compress, but the installer would not unpack it
        }
        for rel, data in self.content.items():
            write(os.path.join(self.client, *rel.split("/")), data)
        self.description = os.path.join(self.tmp.name, "release.json")
        self.describe()

    def describe(self, **extra):
        desc = {"BRAND_NAME": "Halvenor", "EXE_NAME": "client.exe", "EXE_WORK_PATH": "Bin",
                "DOWNLOAD_URL": "", "UNINSTALL_ICON": "Bin\\Halvenor.exe",
                "REG": {"Language/": "S/Y/${Lang}", "Volume/Settings\\Sound": "D/N/3"}}
        desc.update(extra)
        with open(self.description, "w") as f:
            json.dump(desc, f)

    def pack(self, **kw):
        kw.setdefault("decoders", [self.decoder])
        kw.setdefault("log", lambda *a: None)
        return pack_release.pack(self.client, self.description, self.out, **kw)

    def manifest(self):
        return ini.read(os.path.join(self.out, "manifest.ini"))

    def entries(self):
        result = {}
        for key, value in self.manifest()["FILE"].items():
            version, spec, order = value.split(",")
            result[key] = (int(version), spec, int(order))
        return result

    def spec_file(self, spec):
        return os.path.join(self.out, *spec.split("/"))

    def release_files(self):
        found = {}
        for root, _, files in os.walk(self.out):
            for name in files:
                path = os.path.join(root, name)
                found[path] = os.stat(path).st_mtime_ns
        return found

    def test_specs_carry_the_digest_of_the_installed_content(self):
        self.pack(date="1")
        entries = self.entries()
        with open(self.decoder, "rb") as f:
            content = dict(self.content, **{"lzma.exe": f.read()})
        self.assertEqual({rel.replace("/", "__") for rel in content}, set(entries))
        compressed = set()
        for rel, data in content.items():
            with self.subTest(rel=rel):
                version, spec, _ = entries[rel.replace("/", "__")]
                self.assertEqual(1, version)
                self.assertEqual(sha(data), ini.file_spec_checksum(spec))
                with open(self.spec_file(spec), "rb") as f:
                    stored = f.read()
                self.assertEqual(sha(stored), self.manifest()["PACKAGE_SHA256"][rel.replace("/", "__")])
                if spec == "files/" + rel + "^" + sha(data) + ".lzma":
                    compressed.add(rel)
                    self.assertEqual(data, lzma.decompress(stored, format=lzma.FORMAT_ALONE))
                    self.assertLess(len(stored), len(data))
                else:
                    # Raw files keep their extension so the installer does not unpack them.
                    stem, ext = rel.rsplit(".", 1)
                    self.assertEqual("files/%s^%s.%s" % (stem, sha(data), ext), spec)
                    self.assertEqual(data, stored)
        # Random bytes do not pay; a name without extension is always compressed.
        self.assertEqual({"Bin/client.exe", "Data/LICENSE", "Data/sound.ogg"}, compressed)
        general = self.manifest()["GENERAL"]
        self.assertEqual("SHA256", general["FILE_DIGEST"])
        self.assertEqual("Halvenor", general["BRAND_NAME"])
        self.assertNotIn("DOWNLOAD_URL", general)
        self.assertEqual({"Language/": "S/Y/${Lang}", "Volume/Settings\\Sound": "D/N/3"},
                         dict(self.manifest()["REG"]))
        self.assertEqual("1", self.manifest()["PRODUCT_REG"]["LastUpdateDate"])

    def test_lzma_files_match_what_xz_writes(self):
        self.pack(date="1")
        _, spec, _ = self.entries()["Bin__client.exe"]
        with open(self.spec_file(spec), "rb") as f:
            header = f.read(13)
        # The .lzma "alone" header: properties byte, dictionary size, unknown length.
        self.assertEqual(0x5D, header[0])
        self.assertEqual(b"\xff" * 8, header[5:13])
        try:
            out = subprocess.run(["xz", "--format=lzma", "-dc", self.spec_file(spec)], capture_output=True,
                                 timeout=60)
        except FileNotFoundError:
            self.skipTest("xz not installed")
        self.assertEqual(self.content["Bin/client.exe"], out.stdout)

    def test_decoder_comes_first_uncompressed_at_the_root(self):
        self.pack(date="1")
        entries = self.entries()
        ordered = sorted(entries, key=lambda k: entries[k][2])
        self.assertEqual("lzma.exe", ordered[0])
        _, spec, order = entries["lzma.exe"]
        self.assertTrue(spec.startswith("files/lzma^") and spec.endswith(".exe"))
        lzma_orders = [o for _, s, o in entries.values() if s.endswith(".lzma")]
        self.assertLess(order, min(lzma_orders))
        self.assertEqual(len(entries), len({o for _, _, o in entries.values()}))

    def test_compressed_files_need_a_decoder(self):
        with self.assertRaisesRegex(pack_release.PackError, "lzma.exe"):
            self.pack(decoders=[])
        self.assertFalse(os.path.exists(os.path.join(self.out, "manifest.ini")))

    def test_versions_rise_only_for_changed_files(self):
        self.pack(date="1")
        first = self.entries()
        write(os.path.join(self.client, "Bin", "client.exe"), b"MZ" + b"new client " * 4000)
        write(os.path.join(self.client, "Bin", "extra.dll"), b"extra " * 100)
        os.remove(os.path.join(self.client, "Data", "sound.ogg"))
        changed, _ = self.pack()
        self.assertTrue(changed)
        second = self.entries()
        self.assertEqual(2, second["Bin__client.exe"][0])
        self.assertNotEqual(first["Bin__client.exe"][1], second["Bin__client.exe"][1])
        self.assertEqual(1, second["Bin__extra.dll"][0])
        self.assertNotIn("Data__sound.ogg", second)
        for key in ("Bin__readme.txt", "Data__LICENSE", "lzma.exe"):
            self.assertEqual(first[key][:2], second[key][:2])
        self.assertNotEqual("1", self.manifest()["PRODUCT_REG"]["LastUpdateDate"])
        # A third change of the same file goes on counting; its old files stay for old clients.
        write(os.path.join(self.client, "Bin", "client.exe"), b"MZ third")
        self.pack()
        self.assertEqual(3, self.entries()["Bin__client.exe"][0])
        self.assertTrue(os.path.isfile(self.spec_file(first["Bin__client.exe"][1])))

    def test_repacking_an_unchanged_client_changes_nothing(self):
        self.pack()
        with open(os.path.join(self.out, "manifest.ini"), "rb") as f:
            before_text = f.read()
        before = self.release_files()
        changed, _ = self.pack()
        self.assertFalse(changed)
        self.assertEqual(before, self.release_files())  # same files, none rewritten
        with open(os.path.join(self.out, "manifest.ini"), "rb") as f:
            self.assertEqual(before_text, f.read())

    def test_published_files_get_the_mode_a_new_file_gets(self):
        # the servers read the release under users of their own (nginx, the application)
        for umask, mode in ((0o022, 0o644), (0o027, 0o640)):
            with self.subTest(umask=oct(umask)):
                old = os.umask(umask)
                try:
                    shutil.rmtree(self.out, ignore_errors=True)
                    self.pack()
                finally:
                    os.umask(old)
                self.assertEqual({mode}, {os.stat(p).st_mode & 0o777 for p in self.release_files()})

    def test_description_change_gives_a_new_date_but_keeps_versions(self):
        self.pack(date="20240101000000")
        versions = {k: v[0] for k, v in self.entries().items()}
        self.describe(SKIN_URL="http://www.orvanta.net/skin")
        changed, _ = self.pack()
        self.assertTrue(changed)
        self.assertNotEqual("20240101000000", self.manifest()["PRODUCT_REG"]["LastUpdateDate"])
        self.assertEqual(versions, {k: v[0] for k, v in self.entries().items()})

    def test_dates_always_move_forward(self):
        self.assertEqual("20991231235960", pack_release.next_date("20991231235959"))
        self.assertRegex(pack_release.next_date("19990101000000"), r"^20\d{12}$")
        self.assertRegex(pack_release.next_date(""), r"^20\d{12}$")
        with self.assertRaises(pack_release.PackError):
            pack_release.next_date("", "2024 01&x")

    def test_previous_release_in_another_folder(self):
        self.pack(date="1")
        first = self.entries()
        previous, self.out = self.out, os.path.join(self.tmp.name, "release2")
        write(os.path.join(self.client, "Data", "LICENSE"), b"changed")
        self.pack(previous=previous)
        second = self.entries()
        self.assertEqual(2, second["Data__LICENSE"][0])
        self.assertEqual(first["Bin__client.exe"], second["Bin__client.exe"])
        for _, spec, _ in second.values():  # the new folder is complete on its own
            self.assertTrue(os.path.isfile(self.spec_file(spec)), spec)

    def test_names_the_installer_cannot_handle_are_refused(self):
        bad = ["Bin/a__b.dll", "Bin/a,b.dll", "Bin/a^b.dll", "Bin/a=b.txt", ";x.txt", "[x.txt", "#x.txt", "Bin/\u00e9.txt",
               "Bin/x.t%20"]
        for rel in bad:
            with self.subTest(rel=rel):
                path = os.path.join(self.client, *rel.split("/"))
                write(path, b"x")
                try:
                    with self.assertRaises(pack_release.PackError):
                        self.pack(date="1")
                finally:
                    os.remove(path)
        write(os.path.join(self.client, "bin", "CLIENT.EXE"), b"x")
        with self.assertRaisesRegex(pack_release.PackError, "letter case"):
            self.pack(date="1")

    def test_names_with_spaces_are_stored_raw_and_escaped(self):
        write(os.path.join(self.client, "My Data", "big file.txt"), b"compressible " * 500)
        self.pack(date="1")
        _, spec, _ = self.entries()["My Data__big file.txt"]
        # The decoder's command line is not quoted, so such a file is never unpacked.
        self.assertTrue(spec.startswith("files/My%20Data/big%20file^") and spec.endswith(".txt"), spec)
        self.assertTrue(os.path.isfile(os.path.join(self.out, "files", "My Data",
                                                    "big file^%s.txt" % sha(b"compressible " * 500))))

    def test_ini_description_and_bad_reg_values(self):
        desc = os.path.join(self.tmp.name, "release.ini")
        with open(desc, "w") as f:
            f.write("[GENERAL]\nBRAND_NAME=Zentaro\nEXE_NAME=client.exe\nEXE_WORK_PATH=Bin\n"
                    "[REG]\nMode/=D/Y/3\nPath/Sub\\Key=S/N/a/b\n")
        pack_release.pack(self.client, desc, self.out, decoders=[self.decoder], date="1", log=lambda *a: None)
        self.assertEqual("Zentaro", self.manifest()["GENERAL"]["BRAND_NAME"])
        self.assertEqual({"Mode/": "D/Y/3", "Path/Sub\\Key": "S/N/a/b"}, dict(self.manifest()["REG"]))
        for reg in ({"Mode/": "D/Y/x"}, {"Mode/": "Q/Y/1"}, {"Mode/": "S/Y"}, {"A=B/": "S/Y/1"}):
            with self.subTest(reg=reg):
                self.describe(REG=reg)
                with self.assertRaises(pack_release.PackError):
                    self.pack(date="2")
        self.describe(BRAND_NAME="")
        with self.assertRaisesRegex(pack_release.PackError, "BRAND_NAME"):
            self.pack(date="2")

    def test_a_damaged_package_file_is_written_again_not_reused(self):
        self.pack(date="1")
        entries = self.entries()
        damages = [("Bin__client.exe", "compressed, cut short", lambda data: data[: len(data) // 2]),
                   ("Bin__readme.txt", "raw, one byte changed", lambda data: data[:-1] + bytes([data[-1] ^ 1])),
                   ("lzma.exe", "raw, emptied", lambda data: b"")]
        for key, _, damage in damages:
            path = self.spec_file(entries[key][1])
            with open(path, "rb") as f:
                data = f.read()
            write(path, damage(data))
        changed, _ = self.pack()
        self.assertFalse(changed)  # the same release, its files whole again
        self.assertEqual(entries, self.entries())
        for key, kind, _ in damages:
            with self.subTest(kind):
                spec = entries[key][1]
                self.assertTrue(holds_its_digest(self.spec_file(spec), spec, spec.endswith(".lzma")))

    def test_a_packer_killed_at_any_moment_never_publishes_a_file_unlike_its_name(self):
        os.remove(os.path.join(self.client, "Data", "old.lzma"))  # below, ".lzma" means compressed
        for i in range(30):  # enough work that kills land while files are written
            write(os.path.join(self.client, "Data", "part%02d.bin" % i), (b"part %d " % i) * 40000)
        # Unchanged files are copied from the previous release, the others written anew.
        previous = os.path.join(self.tmp.name, "previous")
        pack_release.pack(self.client, self.description, previous, decoders=[self.decoder], log=lambda *a: None)
        command = [sys.executable, os.path.join(ROOT, "packer", "pack_release.py"), "--client", self.client,
                   "--description", self.description, "--out", self.out, "--previous", previous,
                   "--decoder", self.decoder, "--quiet"]
        rng = random.Random(11)
        for attempt in range(8):
            with self.subTest(attempt=attempt):
                packer = subprocess.Popen(command)
                try:
                    packer.wait(timeout=rng.uniform(0.1, 1.5))
                except subprocess.TimeoutExpired:
                    packer.kill()
                    packer.wait()
                self.assertEqual([], self.unlike_their_names())
                if attempt % 3 == 2:  # a new client build now and then
                    write(os.path.join(self.client, "Data", "part00.bin"), b"build %d " % attempt * 40000)
        self.assertEqual(0, subprocess.run(command, timeout=300).returncode)
        self.assertEqual([], self.unlike_their_names())
        for key, (_, spec, _) in self.entries().items():
            with open(os.path.join(self.client, *key.split("__")) if key != "lzma.exe" else self.decoder, "rb") as f:
                self.assertEqual(sha(f.read()), ini.file_spec_checksum(spec), key)

    def unlike_their_names(self):
        """Package files (not the packer's own temporary ones) whose content differs from what
        their names promise, and manifest entries without such a file."""
        wrong = []
        for root, _, files in os.walk(os.path.join(self.out, "files")):
            for name in files:
                path = os.path.join(root, name)
                spec = "files/" + os.path.relpath(path, os.path.join(self.out, "files")).replace(os.sep, "/")
                if "^" in name and not name.startswith(".") and not holds_its_digest(path, spec, name.endswith(".lzma")):
                    wrong.append(spec)
        if os.path.exists(os.path.join(self.out, "manifest.ini")):
            wrong += [spec for _, spec, _ in self.entries().values() if not os.path.isfile(self.spec_file(spec))]
        return wrong

    def test_display_version_from_the_description_the_client_or_the_date(self):
        display = lambda: self.manifest()["GENERAL"].get("DISPLAY_VERSION")
        # No version in the client program: the release date stands in, and stays
        # while nothing changes.
        self.pack(date="20240131093005")
        self.assertEqual("2024.01.31.093005", display())
        changed, _ = self.pack()
        self.assertFalse(changed)
        self.assertEqual("2024.01.31.093005", display())
        self.assertIsNone(pack_release.program_version(self.description))  # not a program
        # The version the client program carries; a change of it is a new release.
        write(os.path.join(self.client, "Bin", "client.exe"), program_with_version(1, 2, 3, 40))
        self.assertTrue(self.pack()[0])
        self.assertEqual("1.2.3.40", display())
        # The description's own text comes first.
        self.describe(DISPLAY_VERSION="2.0 beta")
        self.pack()
        self.assertEqual("2.0 beta", display())
        for bad in ("x" * 65, "2.0\tbeta"):
            with self.subTest(bad=bad):
                self.describe(DISPLAY_VERSION=bad)
                with self.assertRaisesRegex(pack_release.PackError, "DISPLAY_VERSION"):
                    self.pack()

    def test_command_line(self):
        out = subprocess.run([sys.executable, os.path.join(ROOT, "packer", "pack_release.py"),
                              "--client", self.client, "--description", self.description, "--out", self.out,
                              "--decoder", self.decoder, "--date", "42"],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(0, out.returncode, out.stderr)
        self.assertIn("release written: 42", out.stdout)
        self.assertEqual("42", self.manifest()["PRODUCT_REG"]["LastUpdateDate"])
        out = subprocess.run([sys.executable, os.path.join(ROOT, "packer", "pack_release.py"),
                              "--client", self.client, "--description", self.description, "--out", self.out],
                             capture_output=True, text=True, timeout=120)
        self.assertEqual(1, out.returncode)
        self.assertIn("lzma.exe", out.stderr)


if __name__ == "__main__":
    unittest.main()
