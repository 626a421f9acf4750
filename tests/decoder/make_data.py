#!/usr/bin/env python3
"""Writes the decoder tests' sample files: <name>.bin (plain) and <name>.lzma
(the same data as `xz --format=lzma` would pack it) into the given folder."""
import lzma
import os
import random
import struct
import sys


def alone(data, **options):
    filters = None
    if options:
        opts = {"id": lzma.FILTER_LZMA1}
        opts.update(options)
        filters = [opts]
    return lzma.compress(data, format=lzma.FORMAT_ALONE, filters=filters)


def with_known_size(packed, size):
    # Same stream, but the header states the size (the end marker stays).
    return packed[:5] + struct.pack("<Q", size) + packed[13:]


def main():
    out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(20240607)  # fixed: the same files on every run

    text = "".join("line %d: the quick brown fox jumps over the lazy dog\n" % i for i in range(400)).encode()
    chunks = []
    while sum(len(c) for c in chunks) < 1 << 20:
        if rng.random() < 0.5:
            chunks.append(bytes(rng.getrandbits(8) for _ in range(rng.randint(1, 3000))))
        else:
            chunks.append(rng.choice([b"abc", b"Orvanta ", b"\0", b"0123456789"]) * rng.randint(1, 2000))
    mixed = b"".join(chunks)[: 1 << 20]
    small = text[:1000] + bytes(rng.getrandbits(8) for _ in range(500)) + text[:500]

    samples = {
        "empty": (b"", alone(b"")),
        "one": (b"x", alone(b"x")),
        "text": (text, alone(text)),
        "small": (small, alone(small)),
        "text_extreme": (text, alone(text, preset=9 | lzma.PRESET_EXTREME)),
        "mixed": (mixed, alone(mixed)),
        # A 4 KiB window is far smaller than the data: the window wraps many times.
        "mixed_dict4k": (mixed, alone(mixed, dict_size=4096)),
        "mixed_known": (mixed, with_known_size(alone(mixed), len(mixed))),
        "empty_known": (b"", with_known_size(alone(b""), 0)),
    }
    for lc, lp, pb in [(0, 0, 0), (4, 0, 2), (0, 4, 4), (1, 3, 1), (3, 1, 0), (2, 2, 3)]:
        samples["props_%d%d%d" % (lc, lp, pb)] = (mixed[:200000], alone(mixed[:200000], lc=lc, lp=lp, pb=pb, dict_size=1 << 16))

    for name, (plain, packed) in samples.items():
        with open(os.path.join(out, name + ".bin"), "wb") as f:
            f.write(plain)
        with open(os.path.join(out, name + ".lzma"), "wb") as f:
            f.write(packed)


if __name__ == "__main__":
    main()
