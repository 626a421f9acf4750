#!/usr/bin/env python3
"""Releases with patches for the big-file scenario tests, made by the real packer with
the release machine's vpatch:

    make_patch_releases.py <out folder> <folder of standin_client.exe> <lzma.exe> <vpatch.exe> <host vpatch>

<out>/release/        the package files of every release below
<out>/r1.ini          release 1: Bin/big.dat (game-like data, packed as .lzma)
<out>/r2.ini          release 2: big.dat changed in scattered places and 300 bytes inserted;
                      [PATCH] lists the patch from release 1's big.dat
<out>/r2-<case>.ini   release 2 whose [PATCH] line names another patch file (in release/):
                      damaged (bytes changed, named by its own digest), truncated (the
                      first half, named by its own digest), misnamed (the damaged bytes
                      under the good patch's name), other-base (the patch from release 2
                      to a release 3, which applies to release 2's big.dat)
<out>/r2-size.ini     release 2 whose [PATCH_SIZE] lists one byte more than the patch makes
<out>/big1.dat, big2.dat   big.dat of releases 1 and 2
"""
import hashlib
import json
import os
import random
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
sys.path.insert(0, ROOT)
from packer import pack_release  # noqa: E402


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)


def read(path):
    with open(path, "rb") as f:
        return f.read()


def game_data(size):
    """Records, text and noise: packs to roughly half, like a game's data file."""
    rng = random.Random(18)
    out = bytearray()
    while len(out) < size:
        kind = rng.randrange(3)
        if kind == 0:
            out += b"".join(b"item%05d;%d;%d;" % (rng.randrange(99999), rng.randrange(500), rng.randrange(9))
                            for _ in range(32))
        elif kind == 1:
            out += b"The quest giver waits by the old mill until dusk.\r\n" * rng.randrange(1, 8)
        else:
            out += rng.randbytes(1024)
    return bytes(out[:size])


def changed(data, seed, places):
    rng = random.Random(seed)
    out = bytearray(data)
    for _ in range(places):
        at = rng.randrange(len(out))
        out[at] ^= 0x5A
    middle = len(out) // 2
    return bytes(out[:middle]) + rng.randbytes(300) + bytes(out[middle:])


def patch_line(manifest):
    for line in manifest.splitlines():
        if line.startswith("Bin__big.dat=") and "^" in line and line.endswith(".vpatch"):
            return line
    raise SystemExit("no [PATCH] line for Bin__big.dat in the manifest")


def named_patch(release, data):
    """Stores patch bytes under their own digest; returns its remote name."""
    spec = "files/Bin/big.dat^%s.vpatch" % hashlib.sha256(data).hexdigest()
    write(os.path.join(release, *spec.split("/")), data)
    return spec


def main():
    out, exe_folder, lzma_exe, vpatch_exe, maker = sys.argv[1:6]
    shutil.rmtree(out, ignore_errors=True)
    client, release = os.path.join(out, "client"), os.path.join(out, "release")
    write(os.path.join(client, "Bin", "guiclient.exe"), read(os.path.join(exe_folder, "standin_client.exe")))
    description = os.path.join(out, "release.json")
    with open(description, "w") as f:
        json.dump({"BRAND_NAME": "OrvScnBrand", "EXE_NAME": "guiclient.exe", "EXE_WORK_PATH": "Bin",
                   "DOWNLOAD_URL": "pkg.orvanta.test"}, f)
    big1 = game_data(768 * 1024)
    big2 = changed(big1, 2, 40)
    big3 = changed(big2, 3, 40)
    manifests = {}
    for name, data in (("r1", big1), ("r2", big2), ("r3", big3)):
        write(os.path.join(client, "Bin", "big.dat"), data)
        pack_release.pack(client, description, release, decoders=[lzma_exe, vpatch_exe],
                          date="2025010%s000000" % name[1], patch_maker=maker, log=lambda *a: None)
        with open(os.path.join(release, "manifest.ini"), encoding="latin-1", newline="") as f:
            manifests[name] = f.read()
    write(os.path.join(out, "big1.dat"), big1)
    write(os.path.join(out, "big2.dat"), big2)

    good = patch_line(manifests["r2"])
    base, spec = good.split("=", 1)[1].split(",", 1)
    patch = read(os.path.join(release, *spec.split("/")))
    damaged = bytearray(patch)
    for at in range(120, len(damaged), 97):
        damaged[at] ^= 0xFF
    damaged = bytes(damaged)
    write(os.path.join(out, "misnamed.vpatch"), damaged)  # swapped in for the good patch by the test
    other_spec = patch_line(manifests["r3"]).split(",", 1)[1]
    variants = {
        "damaged": named_patch(release, damaged),
        "truncated": named_patch(release, patch[:len(patch) // 2]),
        "other-base": other_spec,
    }
    for name, text in manifests.items():
        with open(os.path.join(out, name + ".ini"), "w", encoding="latin-1", newline="") as f:
            f.write(text)
    for case, variant in variants.items():
        with open(os.path.join(out, "r2-%s.ini" % case), "w", encoding="latin-1", newline="") as f:
            f.write(manifests["r2"].replace(good, "Bin__big.dat=%s,%s" % (base, variant)))
    # The good patch, listed as making one byte more than it does.
    size_line = "\nBin__big.dat=%d" % len(big2)
    assert manifests["r2"].count(size_line) == 1
    with open(os.path.join(out, "r2-size.ini"), "w", encoding="latin-1", newline="") as f:
        f.write(manifests["r2"].replace(size_line, "\nBin__big.dat=%d" % (len(big2) + 1)))


if __name__ == "__main__":
    main()
