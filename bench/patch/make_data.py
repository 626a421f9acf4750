#!/usr/bin/env python3
"""Game-like sample files for the patch benchmark:  make_data.py FOLDER [MiB]

base.bin (256 MiB by default), by share of bytes:
  ~35 %  item/monster tables: 48-byte records (id, name, level, stats, price,
         weight, flags, zero padding), runs of 200..4000 records
  ~30 %  texture-like data, 16..512 KiB each, laid out like block-compressed
         images: per 8-byte block two colour endpoints that vary slowly across
         the image, then 4 bytes of pixel indices that look random
  ~15 %  localisation text: lines of words with ids
  ~20 %  repeated assets: 40 meshes/sounds (16..256 KiB, half float-like
         structure, half noise) placed again and again, as packs repeat them
scattered.bin  base with 1 % of its bytes rewritten in 20,000 places (runs of
               1..256 random bytes: the worst case for a patch, nothing compresses)
inserted.bin   base with 1 MiB of new game-like content inserted in the middle
"""
import os
import random
import struct
import sys

WORDS = ("the sword of ember frost guard village quest reward gold silver level monster dragon forest "
         "castle potion heal mana shield arrow bow ranger mage knight elder stone river bridge").split()


def records(rng, first, count):
    pack = struct.Struct("<I16sHHHHIf8x").pack
    out = []
    for i in range(first, first + count):
        name = ("%s_%s" % (rng.choice(WORDS), rng.choice(WORDS))).encode()[:16]
        out.append(pack(i, name, rng.randint(1, 60), rng.randint(10, 5000), rng.randint(1, 300),
                        rng.randint(1, 300), rng.randint(0, 100000), rng.random() * 20))
    return b"".join(out)


def text(rng, size):
    lines, total, n = [], 0, 0
    while total < size:
        line = ("TXT_%06d=" % n + " ".join(rng.choices(WORDS, k=rng.randint(4, 20))) + "\r\n").encode()
        lines.append(line)
        total += len(line)
        n += 1
    return b"".join(lines)


def texture(rng, size):
    blocks = size // 8
    ramp = bytes(v for v in range(256) for _ in range(32))
    out = bytearray(blocks * 8)
    for lane in range(4):
        start = rng.randrange(len(ramp))
        tiled = (ramp[start:] + ramp * (blocks // len(ramp) + 2))[:blocks]
        out[lane::8] = tiled
    indices = rng.randbytes(blocks * 4)
    for lane in range(4):
        out[4 + lane::8] = indices[lane::4]
    return bytes(out)


def asset(rng):
    size = rng.randint(16, 256) << 10
    floats = struct.pack("<%df" % (size // 8), *(round(rng.uniform(-50, 50), 2) for _ in range(size // 8)))
    return floats + rng.randbytes(size - len(floats))


def game_like(rng, size, assets, record_id=0):
    parts, total = [], 0
    while total < size:
        kind = rng.random()
        if kind < 0.35:
            count = rng.randint(200, 4000)
            part = records(rng, record_id, count)
            record_id += count
        elif kind < 0.65:
            part = texture(rng, rng.randint(16, 512) << 10)
        elif kind < 0.80:
            part = text(rng, rng.randint(4, 64) << 10)
        else:
            part = rng.choice(assets)
        parts.append(part)
        total += len(part)
    return b"".join(parts)[:size]


def main():
    folder = sys.argv[1]
    size = (int(sys.argv[2]) if len(sys.argv) > 2 else 256) << 20
    rng = random.Random(2025)
    assets = [asset(rng) for _ in range(40)]
    base = game_like(rng, size, assets)
    scattered = bytearray(base)
    budget = size // 100
    while budget > 0:
        length = min(budget, rng.randint(1, 256))
        at = rng.randrange(size - length)
        scattered[at:at + length] = rng.randbytes(length)
        budget -= length
    middle = size // 2
    inserted = base[:middle] + game_like(rng, 1 << 20, [asset(rng)], 10 ** 7) + base[middle:]
    for name, data in (("base.bin", base), ("scattered.bin", scattered), ("inserted.bin", inserted)):
        with open(os.path.join(folder, name), "wb") as f:
            f.write(data)


if __name__ == "__main__":
    main()
