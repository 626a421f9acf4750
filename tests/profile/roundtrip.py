"""Round trip of a built probe through the stamping tool.

  roundtrip.py stamp <tool> <probe.exe> <stamped.exe>
  roundtrip.py check <wine-run.sh> <wine-env> <probe.exe> <stamped.exe> <loopback host> <production host>

'stamp' writes the stamped copy; 'check' runs the original and the copy under
Wine and compares every line each prints with what was stamped (or built in).
"""
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


def run_probe(wine_run, wine_env, exe):
    out = subprocess.run(["bash", wine_run, wine_env, exe], stdout=subprocess.PIPE, stdin=subprocess.DEVNULL,
                         timeout=120).stdout.decode("latin-1")
    printed = {}
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
        tool, probe, stamped = argv[1:4]
        return subprocess.call([sys.executable, tool, probe, "-o", stamped] + STAMP_ARGS)
    wine_run, wine_env, probe, stamped, loopback, production = argv[1:7]
    ok = compare("template", run_probe(wine_run, wine_env, probe), expected_template(production))
    ok = compare("stamped", run_probe(wine_run, wine_env, stamped), expected_stamped(loopback)) and ok
    print("round trip", "passed" if ok else "FAILED")
    return 0 if ok else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
