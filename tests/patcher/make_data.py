#!/usr/bin/env python3
"""Writes the patch tests' sample files into OUTDIR and makes their patches with
the release machine's vpatch:  make_data.py VPATCH OUTDIR

  base.bin      game-like data: records, noise, repeated pieces
  changed.bin   base with scattered edits, bytes inserted and deleted, a longer tail
  other.bin     base with one byte changed (the same size: a wrong base)
  small.bin     a few hundred bytes;  empty.bin  nothing
  changed.vpatch  base -> changed;  to_empty.vpatch  base -> empty;  from_empty.vpatch  empty -> small
"""
import os
import random
import subprocess
import sys


def game_like(rng, size):
    parts, total = [], 0
    assets = [rng.randbytes(rng.randint(500, 3000)) for _ in range(4)]
    while total < size:
        kind = rng.random()
        if kind < 0.5:
            part = b"".join(b"ITEM%06d" % rng.randint(0, 999999) + rng.randint(0, 3).to_bytes(1, "little") * 12 +
                            rng.randbytes(4) for _ in range(rng.randint(10, 200)))
        elif kind < 0.8:
            part = rng.randbytes(rng.randint(100, 5000))
        else:
            part = rng.choice(assets)
        parts.append(part)
        total += len(part)
    return b"".join(parts)[:size]


def main():
    vpatch, out = sys.argv[1], sys.argv[2]
    os.makedirs(out, exist_ok=True)
    rng = random.Random(20250118)  # fixed: the same files on every run
    base = game_like(rng, 400000)
    changed = bytearray(base)
    for _ in range(60):
        at = rng.randrange(len(changed) - 8)
        changed[at:at + rng.randint(1, 8)] = rng.randbytes(rng.randint(1, 8))
    changed[250000:250000] = rng.randbytes(3000)
    del changed[1000:2500]
    changed += game_like(rng, 5000)
    other = bytearray(base)
    other[len(other) // 3] ^= 0x01
    files = {"base.bin": base, "changed.bin": bytes(changed), "other.bin": bytes(other),
             "small.bin": game_like(rng, 700), "empty.bin": b""}
    for name, data in files.items():
        with open(os.path.join(out, name), "wb") as f:
            f.write(data)
    for old, new, patch in [("base", "changed", "changed"), ("base", "empty", "to_empty"),
                            ("empty", "small", "from_empty")]:
        subprocess.run([vpatch, "make", os.path.join(out, old + ".bin"), os.path.join(out, new + ".bin"),
                        os.path.join(out, patch + ".vpatch")], check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    main()
