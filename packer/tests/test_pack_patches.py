"""Patches in releases: made with the release machine's vpatch (built by
scripts/build.sh; ORVANTA_VPATCH names it when it is elsewhere)."""
import hashlib
import json
import os
import random
import subprocess
import tempfile
import unittest

from packer import pack_release
from service import ini

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def find_vpatch():
    for path in (os.environ.get("ORVANTA_VPATCH"), os.path.join(ROOT, "build", "x86_64", "host", "vpatch"),
                 os.path.join(ROOT, "build", "host", "vpatch")):
        if path and os.access(path, os.X_OK):
            return path
    return None


VPATCH = find_vpatch()


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


@unittest.skipUnless(VPATCH, "vpatch for this machine not built (scripts/build.sh host)")
class PatchReleaseTest(unittest.TestCase):
    def setUp(self):
        tmp = tempfile.TemporaryDirectory()
        self.addCleanup(tmp.cleanup)
        self.tmp = tmp.name
        self.client, self.out = os.path.join(self.tmp, "client"), os.path.join(self.tmp, "release")
        self.tools = {name: os.path.join(self.tmp, "tools", name) for name in ("lzma.exe", "vpatch.exe")}
        for name, path in self.tools.items():
            write(path, b"MZ " + name.encode() * 50)
        rng = random.Random(3)
        self.data = b"".join(b"ITEM%06d" % i + bytes([i % 5]) * 10 + rng.randbytes(6) for i in range(12000))
        self.noise = rng.randbytes(30000)
        write(os.path.join(self.client, "Data", "items.pak"), self.data)
        write(os.path.join(self.client, "Data", "noise.bin"), self.noise)
        self.description = os.path.join(self.tmp, "release.json")
        with open(self.description, "w") as f:
            json.dump({"BRAND_NAME": "Halvenor", "EXE_WORK_PATH": "Bin"}, f)

    def pack(self, **kw):
        kw.setdefault("decoders", list(self.tools.values()))
        kw.setdefault("patch_maker", VPATCH)
        return pack_release.pack(self.client, self.description, self.out, log=lambda *a: None, **kw)

    def sections(self):
        return ini.read(os.path.join(self.out, "manifest.ini"))

    def test_a_changed_file_gets_a_patch_that_applies(self):
        self.pack(date="1")
        self.assertNotIn("PATCH", self.sections())
        first = self.sections()["FILE"]
        changed = bytearray(self.data)
        changed[5000:5004] = b"XXXX"
        changed[100000:100000] = b"inserted record " * 40
        write(os.path.join(self.client, "Data", "items.pak"), bytes(changed))
        write(os.path.join(self.client, "Data", "noise.bin"), random.Random(4).randbytes(30000))
        self.pack(date="2")
        sections = self.sections()
        # Only the file whose patch pays is listed: rewritten noise is fetched whole.
        self.assertEqual(["Data__items.pak"], list(sections["PATCH"]))
        self.assertEqual({"Data__items.pak": str(len(changed))}, dict(sections["PATCH_SIZE"]))
        base, spec = sections["PATCH"]["Data__items.pak"].split(",")
        self.assertEqual(ini.file_spec_checksum(first["Data__items.pak"].split(",")[1]), base)
        self.assertTrue(spec.startswith("files/Data/items.pak^") and spec.endswith(".vpatch"), spec)
        patch = os.path.join(self.out, *spec.split("/"))
        self.assertEqual(hashlib.sha256(read(patch)).hexdigest(), ini.file_spec_checksum(spec))
        whole = sections["FILE"]["Data__items.pak"].split(",")[1]
        self.assertLess(os.path.getsize(patch) * 2, os.path.getsize(os.path.join(self.out, *whole.split("/"))))
        self.assertIn("vpatch.exe", sections["FILE"])

        old, result = os.path.join(self.tmp, "old.pak"), os.path.join(self.tmp, "new.pak")
        write(old, self.data)
        subprocess.run([VPATCH, "apply", old, patch, result], check=True, timeout=60)
        self.assertEqual(bytes(changed), read(result))
        self.assertEqual(hashlib.sha256(read(result)).hexdigest(), ini.file_spec_checksum(whole))

        # Re-packed unchanged, the patch stays; another file's change keeps it too.
        self.assertFalse(self.pack()[0])
        write(os.path.join(self.client, "Data", "extra.txt"), b"new file")
        self.pack(date="3")
        self.assertEqual(sections["PATCH"], self.sections()["PATCH"])
        self.assertEqual(sections["PATCH_SIZE"], self.sections()["PATCH_SIZE"])
        # A release in a folder of its own carries the patch file along.
        self.out, previous = os.path.join(self.tmp, "release4"), self.out
        self.pack(previous=previous, date="4")
        self.assertTrue(os.path.isfile(os.path.join(self.out, *spec.split("/"))))

    def test_patches_need_the_tool_in_the_release(self):
        self.pack(date="1")
        write(os.path.join(self.client, "Data", "items.pak"), self.data + b"more")
        with self.assertRaisesRegex(pack_release.PackError, "vpatch.exe"):
            self.pack(decoders=[self.tools["lzma.exe"]], date="2")
        self.pack(patch_maker=None, decoders=[self.tools["lzma.exe"]], date="2")
        self.assertNotIn("PATCH", self.sections())


if __name__ == "__main__":
    unittest.main()
