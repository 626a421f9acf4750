import contextlib
import io
import os
import subprocess
import unittest
from unittest import mock

from packer import pack_release
from packer.tests import test_pack_release
from service import ini

SIGNATURE_PREFIX = b";signature=ed25519:"


def openssl(*args, **kw):
    return subprocess.run(["openssl"] + list(args), capture_output=True, **kw)


class SignTest(unittest.TestCase):
    # The packer tests' client folder, description and pack() call.
    setUp = test_pack_release.PackTest.setUp
    describe = test_pack_release.PackTest.describe
    pack = test_pack_release.PackTest.pack
    entries = test_pack_release.PackTest.entries
    manifest = test_pack_release.PackTest.manifest
    release_files = test_pack_release.PackTest.release_files

    def key(self, algorithm="ed25519"):
        path = os.path.join(self.tmp.name, "%s.pem" % algorithm)
        openssl("genpkey", "-algorithm", algorithm, "-out", path, check=True)
        return path

    def signed_pack(self, key_path, **kw):
        from packer import release_signing
        self.describe(REG={"Volume/Settings\\Sound": "D/N/3"})  # no request placeholders
        return self.pack(sign_key=release_signing.load_key(key_path), **kw)

    def split(self, name):
        with open(os.path.join(self.out, name), "rb") as f:
            data = f.read()
        start = data.rindex(b"\n", 0, len(data) - 2) + 1
        line = data[start:].rstrip(b"\r\n")
        self.assertTrue(line.startswith(SIGNATURE_PREFIX), line)
        self.assertTrue(data.endswith(b"\r\n"))
        return data[:start], bytes.fromhex(line[len(SIGNATURE_PREFIX):].decode())

    def openssl_verifies(self, key_path, body, signature):
        files = {}
        for name, content in (("body", body), ("sig", signature)):
            files[name] = os.path.join(self.tmp.name, name)
            with open(files[name], "wb") as f:
                f.write(content)
        pub = key_path + ".pub"
        openssl("pkey", "-in", key_path, "-pubout", "-out", pub, check=True)
        result = openssl("pkeyutl", "-verify", "-rawin", "-pubin", "-inkey", pub, "-in", files["body"],
                         "-sigfile", files["sig"])
        return result.returncode == 0

    def test_manifest_and_no_update_answer_verify_with_openssl(self):
        key = self.key()
        replaced = []
        real_replace = os.replace
        with mock.patch("os.replace", side_effect=lambda a, b: (replaced.append(os.path.basename(b)),
                                                                real_replace(a, b))):
            changed, sections = self.signed_pack(key)
        self.assertTrue(changed)
        self.assertEqual(replaced[-2:], ["noupdate.ini", "manifest.ini"])  # the manifest last
        for name in ("manifest.ini", "noupdate.ini"):
            body, signature = self.split(name)
            self.assertTrue(self.openssl_verifies(key, body, signature), name)
            self.assertFalse(self.openssl_verifies(key, body.replace(b"Halvenor", b"Halvenoe"), signature), name)
        self.assertEqual(self.split("manifest.ini")[0].decode("latin-1"), ini.render(sections))
        manifest = ini.read(os.path.join(self.out, "manifest.ini"))
        answer = ini.read(os.path.join(self.out, "noupdate.ini"))
        self.assertEqual(list(answer), ["GENERAL", "NO_UPDATE_AVILABLE", "PRODUCT_REG"])
        self.assertEqual(answer["GENERAL"], manifest["GENERAL"])
        self.assertEqual(answer["NO_UPDATE_AVILABLE"], {"VALUE": "1"})
        self.assertEqual(answer["PRODUCT_REG"], manifest["PRODUCT_REG"])

    def test_repacking_keeps_signed_files_and_unsigned_drops_the_answer(self):
        key = self.key()
        self.signed_pack(key, date="20260101000000")
        before = {n: os.stat(os.path.join(self.out, n)).st_mtime_ns for n in ("manifest.ini", "noupdate.ini")}
        changed, _ = self.signed_pack(key)
        self.assertFalse(changed)
        for name, stamp in before.items():
            self.assertEqual(os.stat(os.path.join(self.out, name)).st_mtime_ns, stamp, name)
        self.pack()
        self.assertFalse(os.path.exists(os.path.join(self.out, "noupdate.ini")))
        with open(os.path.join(self.out, "manifest.ini"), "rb") as f:
            self.assertNotIn(SIGNATURE_PREFIX, f.read())

    def test_refused(self):
        key = self.key()
        garbage = os.path.join(self.tmp.name, "garbage.pem")
        with open(garbage, "w") as f:
            f.write("not a key\n")
        base = ["--client", self.client, "--description", self.description, "--out", self.out,
                "--decoder", self.decoder, "--quiet"]
        cases = [
            ("placeholder ${Lang} in REG", base + ["--sign-key", key], "placeholder ${Lang}"),
            ("not PEM", base + ["--sign-key", garbage], "not a private key"),
            ("not Ed25519", base + ["--sign-key", self.key("x25519")], "not an Ed25519 key"),
        ]
        for name, argv, message in cases + [("date not digits", None, "LastUpdateDate of digits")]:
            if argv is None:  # installers with keys compare release dates
                self.describe(REG={"Volume/Settings\\Sound": "D/N/3"})
                argv = base + ["--sign-key", key, "--date", "release-2"]
            err = io.StringIO()
            with contextlib.redirect_stderr(err):
                self.assertEqual(pack_release.main(argv), 1, name)
            self.assertIn(message, err.getvalue(), name)
            self.assertEqual(os.listdir(self.out) if os.path.isdir(self.out) else [], [], name)

    def test_rollback_republishes_the_previous_release_signed(self):
        key = self.key()
        self.signed_pack(key, date="20260101000000")
        first = self.entries()
        test_pack_release.write(os.path.join(self.client, "Bin", "client.exe"), b"MZ second client")
        self.signed_pack(key, date="20260102000000")
        second = self.entries()
        with contextlib.redirect_stdout(io.StringIO()):
            self.assertEqual(0, pack_release.main(["rollback", "--out", self.out, "--sign-key", key]))
        back = self.entries()
        self.assertEqual({k: spec for k, (_, spec, _) in first.items()}, {k: spec for k, (_, spec, _) in back.items()})
        self.assertEqual(second["Bin__client.exe"][0] + 1, back["Bin__client.exe"][0])
        self.assertEqual(second["Data__LICENSE"][0], back["Data__LICENSE"][0])
        self.assertGreater(int(self.manifest()["PRODUCT_REG"]["LastUpdateDate"]), 20260102000000)
        for name in ("manifest.ini", "noupdate.ini"):
            self.assertTrue(self.openssl_verifies(key, *self.split(name)), name)

    def refused(self, cases):
        """Each call is refused with its message and leaves the release folder as it was."""
        for name, call, message in cases:
            with self.subTest(name):
                before = self.release_files()
                with self.assertRaisesRegex(pack_release.PackError, message):
                    call()
                self.assertEqual(before, self.release_files())

    def test_staging_and_rollback_refusals(self):
        from packer import release_signing
        key = release_signing.load_key(self.key())
        self.describe(REG={"Volume/Settings\\Sound": "D/N/3"})
        self.pack(sign_key=key, date="20260101000000")
        self.refused([
            ("staging an unchanged client", lambda: self.pack(stage=10, sign_key=key), "nothing to stage"),
            ("staging against another folder", lambda: self.pack(stage=10, previous=self.out, sign_key=key),
             "--previous"),
            ("rollback unsigned", lambda: pack_release.rollback(self.out, log=None), "give --sign-key"),
            ("rollback with no older release", lambda: pack_release.rollback(self.out, sign_key=key),
             "no release older"),
        ])
        test_pack_release.write(os.path.join(self.client, "Bin", "client.exe"), b"MZ staged client")
        self.pack(stage=10, date="20260102000000", sign_key=key)
        self.refused([
            ("packing over a staged release", lambda: self.pack(sign_key=key), "holds a staged release"),
            ("rollback dated before the staged release",
             lambda: pack_release.rollback(self.out, date="20260101120000", sign_key=key), "newer than"),
        ])

    def test_print_public_key(self):
        key = self.key()
        out = io.StringIO()
        with contextlib.redirect_stdout(out):
            self.assertEqual(pack_release.main(["--sign-key", key, "--print-public-key"]), 0)
        der = openssl("pkey", "-in", key, "-pubout", "-outform", "DER", check=True).stdout
        self.assertEqual(out.getvalue(), der[-32:].hex() + "\n")


if __name__ == "__main__":
    unittest.main()
