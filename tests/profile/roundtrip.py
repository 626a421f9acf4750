"""Round trip of a built probe through the stamping tool, unsigned and signed.

  roundtrip.py stamp <tool> <sign.sh> <probe.exe> <work dir>
  roundtrip.py check <wine-run.sh> <wine-env> <probe.exe> <work dir> <loopback host> <production host>

'stamp' writes into the work dir the stamped copy, a signed copy stamped in its
certificate area (checked with osslsigncode verify, also after a second stamp)
and signed copies whose certificate-area record is damaged in one way each.
'check' runs the original and every copy under Wine and compares every line
each prints with what was stamped (or built in, for the damaged ones).
"""
import os
import struct
import subprocess
import sys

URL = "http://www.example.com/r?x=1&y=%20"
STAMP_ARGS = ["--server", "5", "--server-mask", "0", "--product", "1", "--did", "123456", "--lang", "NO",
              "--lang-mask", "0", "--tag1", "-12", "--tag2", "77", "--chain-start-time", "1700000000",
              "--chain-start-random", "4242", "--fun", "2", "--currency", "3", "--brand", "30",
              "--referrer-url", URL]


def expected_stamped(loopback):
    hexurl = URL.encode().hex().upper()
    lines = {"slot.server": "5", "slot.server_mask": "0", "slot.product": "1", "slot.did": "123456",
             "slot.lang": "16", "slot.lang_mask": "0", "slot.tag1": "-12", "slot.tag2": "77",
             "slot.chain_start_time": "1700000000", "slot.chain_start_random": "4242", "slot.fun": "2",
             "slot.currency": "3", "slot.brand": "30", "referrer": hexurl, "referrer_registry": URL,
             "host": loopback, "product_word": "Corvantis", "request_key": "ReqData_5_1_123456",
             "ini_name": "%Product_Corvantis%Did_123456%Lang_NO%Tag_-12%Tag2_77%ChainStartTime_1700000000"
                         "%ChainStartRandom_4242%Fun_2%Currency_3%BrandId_30.ini",
             "brand": "Lunaridge"}
    for i, v in enumerate([5, 1, 123456, 16, -12, 77, 1700000000, 4242, 2, 3, 30]):
        lines["answer.%d" % i] = str(v)
    return lines


def expected_template(production):
    lines = {"slot.server": "4", "slot.server_mask": "0", "slot.product": "2", "slot.did": "1",
             "slot.lang": "0", "slot.lang_mask": "262143", "slot.tag1": "1", "slot.tag2": "1",
             "slot.chain_start_time": "1191945099", "slot.chain_start_random": "8246", "slot.fun": "1",
             "slot.currency": "1", "slot.brand": "1", "referrer": "", "referrer_registry": "",
             "host": production, "product_word": "Tindermoor", "request_key": "ReqData_4_2_1",
             "ini_name": "%Product_Tindermoor%Did_1%Lang_%Tag_1%Tag2_1%ChainStartTime_1191945099"
                         "%ChainStartRandom_8246%Fun_1%Currency_1%BrandId_1.ini",
             "brand": "Halvenor"}
    for i, v in enumerate([4, 2, 1, 0, 1, 1, 1191945099, 8246, 1, 1, 1]):
        lines["answer.%d" % i] = str(v)
    return lines


def verify(cert, exe):
    """osslsigncode's verdict on exe, trusting the throw-away certificate; None when sound."""
    r = subprocess.run(["osslsigncode", "verify", "-CAfile", cert, "-in", exe], stdout=subprocess.PIPE,
                       stderr=subprocess.STDOUT, timeout=120)
    text = r.stdout.decode("latin-1")
    if r.returncode != 0 or "Signature verification: ok" not in text or "Warning" in text:
        return "osslsigncode verify %s:\n%s" % (exe, text)
    return None


def damaged_copies(tool, signed):
    """name -> bytes: the stamped signed copy with its record broken in one way each."""
    data = bytearray(signed)
    layout = tool.pe_layout(data)
    area = tool.signature_area(data, layout)
    at = area.record_at

    def variant(change):
        d = bytearray(data)
        change(d)
        return bytes(d)

    def rewritten(record):
        d = bytearray(data)
        tool.write_record(d, layout, tool.signature_area(d, layout), record)
        return bytes(d)

    def grow_table(d, offset, size):  # moves the security directory's entry
        table_at, table_size = struct.unpack_from("<II", d, layout.directory_at)
        struct.pack_into("<II", d, layout.directory_at, table_at + offset, table_size + size)

    def resealed(record):  # a record whose checksum holds again after a change
        head = record[4:12]
        return record[:12] + struct.pack("<I", tool.crc32(head, record[16:])) + record[16:]

    record = bytes(data[at:area.table_at + area.entry_length]).rstrip(b"\0")
    slots = struct.pack("<13i", *range(13))
    too_long = tool.RECORD_MAGIC + struct.pack("<HHI", 1, 0, 52 + 1024) + b"\0" * 4 + slots + b"A" * 1024
    return {
        "checksum": variant(lambda d: d.__setitem__(at + 16 + 12, d[at + 16 + 12] ^ 1)),
        "magic": variant(lambda d: d.__setitem__(at, ord("X"))),
        "version": rewritten(resealed(record[:4] + struct.pack("<H", 2) + record[6:])),
        "huge-length": variant(lambda d: struct.pack_into("<I", d, at + 8, 0xFFFFFFF0)),
        "over-the-maximum": rewritten(resealed(too_long)),
        "cut-short": rewritten(record[:-20]),
        "table-past-the-end": variant(lambda d: struct.pack_into("<I", d, layout.directory_at + 4,
                                                                 len(d) - area.table_at + 4096)),
        "entry-past-the-table": variant(lambda d: struct.pack_into("<I", d, area.table_at, len(d))),
        # Sound records in tables of a shape the stamping tool refuses.
        "table-not-at-the-end": variant(lambda d: d.extend(b"\0" * 8)),
        "table-size-unaligned": variant(lambda d: (d.extend(b"\0" * 4), grow_table(d, 0, 4))),
        "table-offset-unaligned": variant(lambda d: (d.__setitem__(slice(area.table_at, area.table_at), b"\0" * 4),
                                                     grow_table(d, 4, 0))),
    }


def stamp_copies(tool_path, sign, probe, work):
    sys.path.insert(0, os.path.dirname(tool_path))
    import orvanta_stamp as tool
    os.makedirs(work, exist_ok=True)
    for name in os.listdir(work):
        os.unlink(os.path.join(work, name))
    stamp = [sys.executable, tool_path]
    subprocess.check_call(stamp + [probe, "-o", os.path.join(work, "stamped.exe")] + STAMP_ARGS)

    # A throw-away certificate; the signed probe is stamped with the same profile.
    cert, key = os.path.join(work, "cert.pem"), os.path.join(work, "key.pem")
    subprocess.check_call(["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                           "-days", "2", "-subj", "/CN=Orvanta test signing"], stderr=subprocess.DEVNULL)
    signed = os.path.join(work, "signed.exe")
    with open(probe, "rb") as src, open(signed, "wb") as dst:
        dst.write(src.read())
    subprocess.check_call(["bash", sign, "--cert", cert, "--key", key, signed], stdout=subprocess.DEVNULL)
    signed_stamped = os.path.join(work, "signed_stamped.exe")
    subprocess.check_call(stamp + [signed, "-o", signed_stamped, "--did", "999", "--referrer-raw", "old"])
    subprocess.check_call(stamp + [signed_stamped, "-o", signed_stamped + ".tmp"] + STAMP_ARGS)
    os.replace(signed_stamped + ".tmp", signed_stamped)
    problems = [p for p in (verify(cert, signed), verify(cert, signed_stamped)) if p]
    with open(signed_stamped, "rb") as f:
        for name, data in damaged_copies(tool, f.read()).items():
            with open(os.path.join(work, "damaged_%s.exe" % name), "wb") as out:
                out.write(data)
    for p in problems:
        print(p)
    return 1 if problems else 0


def run_probe(wine_run, wine_env, exe):
    r = subprocess.run(["bash", wine_run, wine_env, exe], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                       timeout=120)
    printed = {"exit code": str(r.returncode)}
    out = r.stdout.decode("latin-1")
    for line in out.splitlines():
        key, sep, value = line.rstrip("\r").partition("=")
        if sep:
            printed[key] = value
    return printed


def compare(label, printed, expected):
    bad = ["%s: %s printed %r, expected %r" % (label, k, printed.get(k), v)
           for k, v in expected.items() if printed.get(k) != v]
    for line in bad:
        print(line)
    return not bad


def main(argv):
    if argv[0] == "stamp":
        return stamp_copies(*argv[1:5])
    wine_run, wine_env, probe, work, loopback, production = argv[1:7]
    cases = [("template", probe, expected_template(production)),
             ("stamped", os.path.join(work, "stamped.exe"), expected_stamped(loopback)),
             ("signed and stamped", os.path.join(work, "signed_stamped.exe"), expected_stamped(loopback))]
    cases += [(name[:-4], os.path.join(work, name), expected_template(production))
              for name in sorted(os.listdir(work)) if name.startswith("damaged_")]
    ok = len(cases) > 3
    for label, exe, expected in cases:
        expected["exit code"] = "0"
        ok = compare(label, run_probe(wine_run, wine_env, exe), expected) and ok
    print("round trip of %d copies" % len(cases), "passed" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
