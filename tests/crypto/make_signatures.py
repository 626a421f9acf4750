#!/usr/bin/env python3
"""Writes the verifier tests' data into the given folder, fresh on every run:

  signatures.txt  <public key> <message> <signature>   (hex; "-" for the empty message)
                  made by `openssl pkeyutl -sign -rawin` with random keys and random
                  messages of random length; the empty message (which openssl cannot
                  sign) by python3-cryptography. Every line must verify.
  crafted.txt     accept|reject <label> <public key> <message> <signature>
                  signatures whose R is the neutral point, made from a known secret
                  scalar: canonical R verifies, non-canonical spellings of the same R
                  must not (the equation itself holds for them).
  sha512.txt      <message> <SHA-512> <SHA-256>   hashlib's digests of random messages of
                  every length around the block boundaries.
  wycheproof.txt  valid|invalid <tcId> <public key> <message> <signature>   the Wycheproof
                  Ed25519 verification vectors, from the JSON file given as second argument
                  ("-" for an empty message or signature).
"""
import hashlib
import json
import os
import random
import subprocess
import sys
import tempfile
from concurrent.futures import ThreadPoolExecutor

from cryptography.hazmat.primitives import serialization
from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey

KEYS = 40
MESSAGES_PER_KEY = 26          # 40 * 26 = 1040 openssl signatures
DER_PREFIX = bytes.fromhex("302e020100300506032b657004220420")  # PKCS#8 wrapper of a raw seed
ORDER = 2 ** 252 + 27742317777372353535851937790883648493


def openssl(*args):
    return subprocess.run(["openssl"] + list(args), check=True, capture_output=True).stdout


def public_key(der_path):
    return openssl("pkey", "-inform", "DER", "-in", der_path, "-pubout", "-outform", "DER")[-32:]


def sign(der_path, message_path):
    return openssl("pkeyutl", "-sign", "-rawin", "-keyform", "DER", "-inkey", der_path, "-in", message_path)


def message_length(rng):
    roll = rng.random()
    if roll < 0.1:
        return rng.randint(1, 4)
    if roll < 0.9:
        return rng.randint(1, 3000)
    return rng.randint(3000, 70000)


def crafted(seed, rng):
    """Signatures with R = the neutral point: S = k * a makes [S]B = [k]A, so the
    equation holds whatever bytes stand for R in the hash."""
    digest = hashlib.sha512(seed).digest()
    scalar = int.from_bytes(digest[:32], "little")
    scalar &= (1 << 254) - 8
    scalar |= 1 << 254
    key = Ed25519PrivateKey.from_private_bytes(seed).public_key().public_bytes(
        serialization.Encoding.Raw, serialization.PublicFormat.Raw)
    message = rng.randbytes(rng.randint(1, 200))
    lines = []
    p = 2 ** 255 - 19
    spellings = [
        ("accept", "neutral-R", (1).to_bytes(32, "little")),
        ("reject", "R-y-plus-p", (p + 1).to_bytes(32, "little")),
        ("reject", "R-x0-sign-bit", ((1 << 255) | 1).to_bytes(32, "little")),
    ]
    for expect, label, r in spellings:
        k = int.from_bytes(hashlib.sha512(r + key + message).digest(), "little") % ORDER
        s = (k * scalar) % ORDER
        lines.append("%s %s %s %s %s\n" % (expect, label, key.hex(), message.hex(),
                                           (r + s.to_bytes(32, "little")).hex()))
    return lines


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(int.from_bytes(os.urandom(8), "little"))
    work = tempfile.TemporaryDirectory(dir=out)
    jobs = []  # (der path, message path, message)
    keys = {}
    empties = []
    for n in range(KEYS):
        seed = os.urandom(32)
        der = os.path.join(work.name, "key%d.der" % n)
        with open(der, "wb") as f:
            f.write(DER_PREFIX + seed)
        keys[der] = None
        if n % 10 == 0:
            empties.append((der, seed))
        for m in range(MESSAGES_PER_KEY):
            message = rng.randbytes(message_length(rng))
            path = os.path.join(work.name, "msg%d_%d" % (n, m))
            with open(path, "wb") as f:
                f.write(message)
            jobs.append((der, path, message))

    with ThreadPoolExecutor(max_workers=4) as pool:
        for der, key in zip(keys, pool.map(public_key, keys)):
            keys[der] = key
        signatures = list(pool.map(lambda job: sign(job[0], job[1]), jobs))

    with open(os.path.join(out, "signatures.txt"), "w") as f:
        for (der, _, message), signature in zip(jobs, signatures):
            f.write("%s %s %s\n" % (keys[der].hex(), message.hex(), signature.hex()))
        for der, seed in empties:
            signature = Ed25519PrivateKey.from_private_bytes(seed).sign(b"")
            f.write("%s - %s\n" % (keys[der].hex(), signature.hex()))

    with open(os.path.join(out, "crafted.txt"), "w") as f:
        for _ in range(4):
            f.writelines(crafted(os.urandom(32), rng))

    with open(os.path.join(out, "sha512.txt"), "w") as f:
        for length in list(range(0, 300)) + [1000, 4096, 65535, 100000]:
            message = rng.randbytes(length)
            f.write("%s %s %s\n" % (message.hex() or "-", hashlib.sha512(message).hexdigest(),
                                    hashlib.sha256(message).hexdigest()))
    work.cleanup()
    write_wycheproof(sys.argv[2], os.path.join(out, "wycheproof.txt"))


def write_wycheproof(source, target):
    with open(source) as f:
        suite = json.load(f)
    lines = []
    for group in suite["testGroups"]:
        key = group["publicKey"]["pk"]
        for case in group["tests"]:
            lines.append("%s %d %s %s %s\n" % (case["result"], case["tcId"], key, case["msg"] or "-",
                                               case["sig"] or "-"))
    if len(lines) != suite["numberOfTests"]:
        sys.exit("%s: %d vectors, the file says %d" % (source, len(lines), suite["numberOfTests"]))
    with open(target, "w") as f:
        f.writelines(lines)


if __name__ == "__main__":
    main()
