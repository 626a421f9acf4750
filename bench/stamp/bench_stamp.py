"""Stamping a copy against a plain copy of the same file, in one run.

Per command: the tool as the web site starts it (interpreter start included)
against cp / cat. In process: the tool's work (read, find, patch, write) against
a plain read and write of the same bytes, as when the site loads the module
once and stamps every download with orvanta_stamp.run(). With a signed copy of
the file given too, the same for it (the profile then goes into the
certificate area); the target there is at most 1.5 x the plain copy in process.
"""
import io
import os
import statistics
import subprocess
import sys
import time

ROUNDS = 25


class Sink(io.StringIO):
    """Standard output stand-in with a binary buffer, as run() expects."""
    def __init__(self, f):
        super().__init__()
        self.buffer = f

    def isatty(self):
        return False


def median_ms(samples):
    return statistics.median(samples) * 1000.0


def timed(fn):
    t = time.perf_counter()
    fn()
    return time.perf_counter() - t


def main(python, tool, exe, work, signed=None):
    sys.path.insert(0, os.path.dirname(tool))
    import orvanta_stamp as stamp_tool

    out_file = os.path.join(work, "stamped.exe")
    fields = ["--did", "123456", "--lang", "EN", "--lang-mask", "0", "--chain-start-time", "1700000000",
              "--referrer-url", "http://www.example.com/landing?campaign=7"]
    tool_cmd = [python, "-I", "-S", tool, exe]

    def sh(cmd, stdout=subprocess.DEVNULL):
        subprocess.run(cmd, stdout=stdout, check=True)

    def to_file(cmd, path):
        with open(path, "wb") as f:
            sh(cmd, f)

    # Every case writes its own file, so no case pays for another's dirty pages.
    def out(name):
        return os.path.join(work, name)

    def plain_copy_in_process():
        data = stamp_tool.read_file(exe)
        stamp_tool.write_file(out("lib-copy.exe"), data)

    def stamp_stdout_in_process():
        with open(out("lib-stamp-stream.exe"), "wb") as f:
            stamp_tool.run([exe, "--stdout"] + fields, Sink(f))

    def plain_stdout_in_process():
        with open(out("lib-copy-stream.exe"), "wb") as f:
            f.write(stamp_tool.read_file(exe))

    def signed_copy_in_process():
        stamp_tool.write_file(out("lib-signed-copy.exe"), stamp_tool.read_file(signed))

    cases = {
        "cmd python start": lambda: sh([python, "-I", "-S", "-c", "pass"]),
        "cmd cp": lambda: sh(["cp", exe, out("cp.exe")]),
        "cmd stamp -o": lambda: sh(tool_cmd + ["-o", out("stamp.exe")] + fields),
        "cmd cat >": lambda: to_file(["cat", exe], out("cat.exe")),
        "cmd stamp --stdout >": lambda: to_file(tool_cmd + ["--stdout"] + fields, out_file),
        "lib copy": plain_copy_in_process,
        "lib stamp -o": lambda: stamp_tool.run([exe, "-o", out("lib-stamp.exe")] + fields),
        "lib copy to stream": plain_stdout_in_process,
        "lib stamp to stream": stamp_stdout_in_process,
    }
    if signed:
        cases.update({
            "cmd cp signed": lambda: sh(["cp", signed, out("cp-signed.exe")]),
            "cmd stamp signed -o": lambda: sh([python, "-I", "-S", tool, signed, "-o", out("stamp-signed.exe")]
                                              + fields),
            "lib copy signed": signed_copy_in_process,
            "lib stamp signed -o": lambda: stamp_tool.run([signed, "-o", out("lib-stamp-signed.exe")] + fields),
        })
    samples = dict((name, []) for name in cases)
    # Interleaved, so load changes hit every case alike; commands and in-process
    # work in separate loops so a finishing child does not disturb the latter.
    for prefix, rounds in (("cmd", ROUNDS), ("lib", ROUNDS * 4)):
        names = [name for name in cases if name.startswith(prefix)]
        for r in range(rounds):
            for name in names[r % len(names):] + names[:r % len(names)]:  # rotated: no case always first
                samples[name].append(timed(cases[name]))
    ms = dict((name, median_ms(s)) for name, s in samples.items())

    size = os.path.getsize(exe)
    print("file: %s (%.1f KiB), medians of %d command / %d in-process rounds, python %s"
          % (exe, size / 1024.0, ROUNDS, ROUNDS * 4, python))
    rows = [("to a file, per command", "cmd stamp -o", "cmd cp"),
            ("to stdout, per command", "cmd stamp --stdout >", "cmd cat >"),
            ("to a file, in process", "lib stamp -o", "lib copy"),
            ("to a stream, in process", "lib stamp to stream", "lib copy to stream")]
    if signed:
        rows += [("signed, to a file, per cmd", "cmd stamp signed -o", "cmd cp signed"),
                 ("signed, to a file, in proc", "lib stamp signed -o", "lib copy signed")]
    for label, stamped, plain in rows:
        print("%-26s stamp %8.2f ms   plain copy %8.2f ms   ratio %5.2fx"
              % (label, ms[stamped], ms[plain], ms[stamped] / ms[plain]))
    print("%-26s %8.2f ms of each stamp command is the interpreter's start (%.2fx of the plain copy)"
          % ("python start alone", ms["cmd python start"], ms["cmd python start"] / ms["cmd cp"]))
    with open(out_file, "rb") as f:
        stamped_bytes = f.read()
    with open(exe, "rb") as f:
        original = f.read()
    diff = sum(1 for a, b in zip(stamped_bytes, original) if a != b)
    print("check: stamped copy %d bytes, %d bytes differ from the input (block only)" % (len(stamped_bytes), diff))
    if signed:
        ratio = ms["lib stamp signed -o"] / ms["lib copy signed"]
        with open(out("lib-stamp-signed.exe"), "rb") as f:
            stamped_signed = f.read()
        print("check: signed copy %d -> %d bytes stamped (%s); in process %.2fx a plain copy (target at most 1.50x): %s"
              % (os.path.getsize(signed), len(stamped_signed),
                 stamp_tool.effective_profile(stamped_signed, stamp_tool.find_block(stamped_signed))[0],
                 ratio, "met" if ratio <= 1.5 else "MISSED"))


if __name__ == "__main__":
    main(*sys.argv[1:6])
