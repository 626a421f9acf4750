#!/usr/bin/env python3
"""Writes signed manifests of about 1 KiB, 64 KiB and 1 MiB (FILE entries as the packer
writes them) and the public key into the given folder, for crypto_bench.exe."""
import hashlib
import os
import sys

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

SIZES = {"1k": 1 << 10, "64k": 64 << 10, "1m": 1 << 20}


def manifest(size):
    lines = ["[GENERAL]", "BRAND_NAME=Halvenor", "EXE_NAME=client.exe", "EXE_WORK_PATH=Bin",
             "FILE_DIGEST=SHA256", "[FILE]"]
    n = 0
    while sum(len(l) + 2 for l in lines) < size - 200:
        digest = hashlib.sha256(b"%d" % n).hexdigest()
        lines.append("Data__pack%05d.bin=3,files/Data/pack%05d.bin^%s.lzma,%d" % (n, n, digest, 100 + n))
        n += 1
    lines += ["[PRODUCT_REG]", "LastUpdateDate=20260101000000"]
    return ("\r\n".join(lines) + "\r\n").encode()


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    key = Ed25519PrivateKey.generate()
    public = key.public_key().public_bytes(serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    with open(os.path.join(out, "key.txt"), "w") as f:
        f.write(public.hex())
    for name, size in SIZES.items():
        body = manifest(size)
        with open(os.path.join(out, "manifest_%s.ini" % name), "wb") as f:
            f.write(body + b";signature=ed25519:" + key.sign(body).hex().encode() + b"\r\n")


if __name__ == "__main__":
    main()
