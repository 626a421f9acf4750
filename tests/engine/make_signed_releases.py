#!/usr/bin/env python3
"""Signed releases for the signed-release scenario tests, made by the real packer with
a key made for this run:

    make_signed_releases.py <out folder> <folder of standin_client.exe> <lzma.exe>

<out>/release/        the package files of every release below
<out>/r1.ini ...      signed manifests of release 1 (a first installation), 2 (Bin/data.txt
                      changed: a stored file) and 3 (Bin/big.txt changed: a compressed one)
<out>/r1-noupdate.ini, r2-noupdate.ini   their signed no-update answers
<out>/r2-other-key.ini  release 2 signed by a key the installer does not know
<out>/swap.lzma, swap.txt  other content for a package file swapped on the server
<out>/key.txt         the public key, for the driver's ORV_DRIVER_KEYS
"""
import json
import lzma
import os
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from packer import pack_release, release_signing  # noqa: E402
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey  # noqa: E402

DATES = {"r1": "20250101000000", "r2": "20250102000000", "r3": "20250103000000"}


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def big(edition):
    return ("Release %s notes, line after line.\r\n" % edition).encode() * 128


def main():
    out, exe_folder, decoder = sys.argv[1:4]
    shutil.rmtree(out, ignore_errors=True)
    client, release = os.path.join(out, "client"), os.path.join(out, "release")
    with open(os.path.join(exe_folder, "standin_client.exe"), "rb") as f:
        write(os.path.join(client, "Bin", "guiclient.exe"), f.read())
    description = os.path.join(out, "release.json")
    with open(description, "w") as f:
        json.dump({"BRAND_NAME": "OrvScnBrand", "EXE_NAME": "guiclient.exe", "EXE_WORK_PATH": "Bin",
                   "DOWNLOAD_URL": "pkg.orvanta.test", "REG": {"Channel/": "S/Y/signed"}}, f)
    key, other = Ed25519PrivateKey.generate(), Ed25519PrivateKey.generate()
    contents = {"r1": (b"signed data 1", big(1)), "r2": (b"signed data 2", big(1)), "r3": (b"signed data 2", big(3))}
    for name, (data, notes) in contents.items():
        write(os.path.join(client, "Bin", "data.txt"), data)
        write(os.path.join(client, "Bin", "big.txt"), notes)
        pack_release.pack(client, description, release, decoders=[decoder], date=DATES[name], sign_key=key,
                          log=lambda *a: None)
        shutil.copyfile(os.path.join(release, "manifest.ini"), os.path.join(out, name + ".ini"))
        shutil.copyfile(os.path.join(release, "noupdate.ini"), os.path.join(out, name + "-noupdate.ini"))
    with open(os.path.join(out, "r2.ini"), encoding="latin-1", newline="") as f:
        body = f.read().rsplit(release_signing.SIGNATURE_PREFIX, 1)[0]
    with open(os.path.join(out, "r2-other-key.ini"), "w", encoding="latin-1", newline="") as f:
        f.write(release_signing.sign_text(body, other))
    write(os.path.join(out, "swap.lzma"), lzma.compress(big("swapped"), format=lzma.FORMAT_ALONE))
    write(os.path.join(out, "swap.txt"), b"swapped data")
    with open(os.path.join(out, "key.txt"), "w") as f:
        f.write(release_signing.public_key_hex(key))


if __name__ == "__main__":
    main()
