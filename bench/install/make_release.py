#!/usr/bin/env python3
"""Writes the benchmark releases.
    make_release.py install <folder> <files> <total-bytes> [<package host>]
        <files> uncompressed package files of equal size, their manifest and a
        curl config fetching the same files. The contents are fixed (a seeded
        generator): every run serves the same bytes.
    make_release.py check <folder> <files>
        a manifest listing <files> entries (the benchmark writes the installed
        files itself, empty: the check finds every one of them installed).
    make_release.py check-signed <folder> <files>
        the same manifest signed with a key made for this run, whose public key
        goes to <folder>/key.txt (for an installer with that release key).
    make_release.py resume <folder> 1 <bytes>
        one stored file of <bytes> random bytes named by its SHA-256, in the
        packer's layout (manifest.ini + files/) for the service's download server."""
import hashlib
import os
import random
import sys

BRAND = {"install": "OrvBenchInstall", "check": "OrvBenchCheck", "check-signed": "OrvBenchCheck",
         "resume": "OrvBenchResume"}


def manifest(brand, entries, host="pkg.orvanta.test"):
    lines = ["[GENERAL]", f"BRAND_NAME={brand}", "EXE_NAME=", "EXE_WORK_PATH=Bin", f"DOWNLOAD_URL={host}",
             "DISPLAY_VERSION=1.0", "[FILE]"]
    lines += [f"{key}={version},{spec},{order}" for key, version, spec, order in entries]
    lines += ["[PRODUCT_REG]", "LastUpdateDate=20250101000000"]
    return "\n".join(lines) + "\n"


def write_manifest(folder, text):
    os.makedirs(os.path.join(folder, "Dl"), exist_ok=True)
    with open(os.path.join(folder, "Dl", "ClientResources.asp"), "w") as out:
        out.write(text)


def main():
    mode, folder, count = sys.argv[1], sys.argv[2], int(sys.argv[3])
    entries = []
    host = sys.argv[5] if len(sys.argv) > 5 else "pkg.orvanta.test"
    if mode == "install":
        total = int(sys.argv[4])
        size = total // count
        os.makedirs(os.path.join(folder, "files"), exist_ok=True)
        curl = []
        for i in range(count):
            spec = f"files/part{i:04d}^s{i:04d}.bin"
            path = os.path.join(folder, spec)
            if not os.path.exists(path) or os.path.getsize(path) != size:
                with open(path, "wb") as out:
                    out.write(random.Random(i).randbytes(size))
            entries.append((f"Data__part{i:04d}.bin", 1, spec, i + 1))
            curl.append(f'url = "http://{host}/{spec}"\noutput = "curl_out/part{i:04d}.bin"\n')
        with open(os.path.join(folder, "curl.cfg"), "w") as out:
            out.write("".join(curl))
    elif mode == "resume":
        size = int(sys.argv[4])
        os.makedirs(os.path.join(folder, "files"), exist_ok=True)
        digest = hashlib.sha256()
        data = os.path.join(folder, "files", "big.tmp")
        with open(data, "wb") as out:
            for _ in range(0, size, 1 << 20):
                block = os.urandom(min(1 << 20, size))
                digest.update(block)
                out.write(block)
        for old in os.listdir(os.path.join(folder, "files")):
            if old.startswith("big.bin^"):
                os.remove(os.path.join(folder, "files", old))
        spec = "files/big.bin^%s.bin" % digest.hexdigest()
        os.replace(data, os.path.join(folder, spec))
        entries.append(("Data__big.bin", 1, spec, 1))
    else:
        # As the packer lists them: SHA-256 checksums, declared as such.
        for i in range(count):
            digest = hashlib.sha256(b"%d" % i).hexdigest()
            entries.append((f"Data__sub{i % 50:02d}__file{i:05d}.dat", 1 + i % 7, f"files/file{i:05d}^{digest}.dat",
                            (i * 7919) % count))
    text = manifest(BRAND[mode], entries, host)
    if mode != "install":
        text = text.replace("[FILE]\n", "FILE_DIGEST=SHA256\n[FILE]\n", 1)
    if mode == "check-signed":
        from cryptography.hazmat.primitives import serialization
        from cryptography.hazmat.primitives.asymmetric.ed25519 import Ed25519PrivateKey
        key = Ed25519PrivateKey.generate()
        text += ";signature=ed25519:" + key.sign(text.encode()).hex() + "\n"
    if mode == "resume":
        with open(os.path.join(folder, "manifest.ini"), "w") as out:
            out.write(text)
        return
    write_manifest(folder, text)
    if mode == "check-signed":
        with open(os.path.join(folder, "key.txt"), "w") as out:
            out.write(key.public_key().public_bytes(serialization.Encoding.Raw,
                                                    serialization.PublicFormat.Raw).hex())


if __name__ == "__main__":
    main()
