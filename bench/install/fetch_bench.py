#!/usr/bin/env python3
"""First installations at a given round trip: the engine (fetching N files at
once, and one file at a time) and curl (in parallel and one file after the
other) fetching the same files from the same delaying server, in the same run.
Called by run.sh.
    fetch_bench.py <root> <work> <wine-env> <install_bench.exe>
Environment:
    SCENARIOS  which of a b c to run (default "a b c"):
               a  200 files / 64 MiB, 50 ms per answer
               b  200 files / 256 MiB, no delay
               c  2,000 files of 4 KiB, 20 ms per answer
    REPEAT     runs of every tool per scenario (default 3); medians are printed
    AHEAD      the engine's downloads at once (default 6; the engine is also run
               with 1, one file after the other)
    DIAGNOSE=1 also: scenario a against a server that leaves Nagle's algorithm
               on (as a plain server does), and the engine's steps per file
Every tool goes through the server as a proxy, as the engine does (WinINet
under Wine opens a new connection for every request made through a proxy).
The server's request log gives each run's connections and the client's own
time per file (from one answer's end to the next request's arrival)."""
import os
import re
import shutil
import statistics
import subprocess
import sys
import time

SCENARIOS = {
    "a": ("200 files / 64 MiB, 50 ms per answer", 200, 64 << 20, 50),
    "b": ("200 files / 256 MiB, no delay", 200, 256 << 20, 0),
    "c": ("2,000 files of 4 KiB, 20 ms per answer", 2000, 2000 * 4096, 20),
}


class Server:
    def __init__(self, root, folder, delay_ms, nodelay=True):
        self.log_path = os.path.join(folder, "requests.log")
        args = [sys.executable, os.path.join(root, "bench/install/serve.py"), folder, "--delay-ms", str(delay_ms),
                "--log", self.log_path]
        if not nodelay:
            args.append("--no-nodelay")
        self.process = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.port = int(self.process.stdout.readline())

    def lines(self):
        with open(self.log_path) as log:
            return log.read().splitlines()

    def stop(self):
        self.process.terminate()
        self.process.wait()


def request_stats(rows):
    """Connections, and the median client time per file, of one run's requests."""
    rows = [r.split() for r in rows]
    rows = [r for r in rows if len(r) == 5 and "/files/" in r[4]]
    if len(rows) < 2:
        return None
    gaps = [float(b[1]) - float(a[2]) for a, b in zip(rows, rows[1:])]
    return len({r[0] for r in rows}), statistics.median(gaps) * 1000


def timed(args, cwd=None):
    """Wall seconds, peak RSS in MiB and the output of a Linux command."""
    start = time.monotonic()
    out = subprocess.run(["/usr/bin/time", "-f", "maxrss=%M"] + args, cwd=cwd, capture_output=True, text=True)
    seconds = time.monotonic() - start
    rss = re.findall(r"maxrss=(\d+)", out.stderr)
    return seconds, int(rss[-1]) / 1024 if rss else 0.0, out


def curl(release, work, port, parallel):
    out_dir = os.path.join(work, "curl_out")
    shutil.rmtree(out_dir, ignore_errors=True)
    args = ["curl", "-s", "--proxy", f"http://127.0.0.1:{port}", "-K", "curl.cfg", "--create-dirs",
            "--output-dir", work]
    if parallel:
        args += ["--parallel", "--parallel-max", "4"]
    seconds, rss, _ = timed(args, cwd=release)
    got = sum(os.path.getsize(os.path.join(out_dir, f)) for f in os.listdir(out_dir))
    shutil.rmtree(out_dir, ignore_errors=True)
    return {"seconds": seconds, "mem": rss, "bytes": got}


def wine(root, envdir, exe, *args):
    out = subprocess.run([os.path.join(root, "cmake/wine-run.sh"), envdir, exe] + [str(a) for a in args],
                         capture_output=True, text=True)
    for line in out.stdout.replace("\r", "").splitlines():
        if line.startswith("mode="):
            return dict(kv.split("=", 1) for kv in line.split() if "=" in kv)
    return {"error": (out.stdout + out.stderr)[-400:]}


def engine(root, envdir, exe, port, files, ahead):
    fields = wine(root, envdir, exe, port, "install", files, ahead)
    if "seconds" not in fields or fields.get("ok") != "1":
        return {"seconds": float("nan"), "mem": float("nan"), "error": fields}
    return {"seconds": float(fields["seconds"]), "mem": float(fields["peak_working_set_MiB"]),
            "bytes": int(fields.get("bytes", -1))}


def run_scenario(root, work, envdir, exe, key, repeat, ahead, nodelay=True, tools=None):
    title, files, total, delay = SCENARIOS[key]
    release = os.path.join(work, f"release-{key}")
    subprocess.run([sys.executable, os.path.join(root, "bench/install/make_release.py"), "install", release,
                    str(files), str(total)], check=True)
    server = Server(root, release, delay, nodelay)
    tools = tools or ["curl-par", "curl", "engine-1", f"engine-{ahead}"]
    results = {tool: [] for tool in tools}
    stats = {tool: [] for tool in tools}
    try:
        for _ in range(repeat):
            for tool in tools:
                before = len(server.lines())
                if tool == "curl-par":
                    r = curl(release, work, server.port, True)
                elif tool == "curl":
                    r = curl(release, work, server.port, False)
                else:
                    r = engine(root, envdir, exe, server.port, files, int(tool.split("-")[1]))
                if "error" in r:
                    print(f"  {tool}: failed: {r['error']}")
                results[tool].append(r)
                s = request_stats(server.lines()[before:])
                if s:
                    stats[tool].append(s)
    finally:
        server.stop()

    name = f"({key}) {title}" + ("" if nodelay else ", server with Nagle's algorithm on")
    print(f"{name}: median of {repeat}")
    par = statistics.median(r["seconds"] for r in results["curl-par"]) if "curl-par" in results else None
    labels = {"curl-par": "curl --parallel-max 4", "curl": "curl, serial", "engine-1": "engine, N=1",
              f"engine-{ahead}": f"engine, N={ahead}"}
    for tool in tools:
        runs = results[tool]
        seconds = statistics.median(r["seconds"] for r in runs)
        mem = max(r["mem"] for r in runs)
        line = f"  {labels[tool]:<26} {seconds:7.3f} s  {total / seconds / 1e6:7.1f} MB/s"
        line += f"  peak {'RSS' if tool.startswith('curl') else 'working set'} {mem:6.1f} MiB"
        if par and tool != "curl-par":
            line += f"  {seconds / par:5.2f} x parallel curl"
        if stats[tool] and tool in ("curl", "engine-1"):
            conns = statistics.median(s[0] for s in stats[tool])
            gap = statistics.median(s[1] for s in stats[tool])
            line += f"  [{conns:.0f} connections, client {gap:.1f} ms/file between answers]"
        line += "  runs " + "/".join(f"{r['seconds']:.2f}" for r in runs)
        print(line)
    return results


def steps(root, work, envdir, exe, key):
    """The engine's file loop taken apart, at scenario key's delay."""
    _, files, total, delay = SCENARIOS[key]
    release = os.path.join(work, f"release-{key}")
    server = Server(root, release, delay)
    try:
        for reuse in ([], ["reuse"]):
            fields = wine(root, envdir, exe, server.port, "steps", *reuse)
            keys = ["per_file_ms", "open_ms", "create_ms", "send_ms", "length_ms", "body_ms", "status_ms", "close_ms",
                    "record_ms"]
            text = "  ".join(f"{k[:-3]} {fields.get(k, '?')}" for k in keys)
            print(f"  steps per file, ms (medians; {'one downloader for all files' if reuse else 'a downloader per file'}):"
                  f" {text}")
    finally:
        server.stop()


def main():
    root, work, envdir, exe = sys.argv[1:5]
    repeat = int(os.environ.get("REPEAT", "3"))
    ahead = int(os.environ.get("AHEAD", "6"))
    for key in os.environ.get("SCENARIOS", "a b c").split():
        run_scenario(root, work, envdir, exe, key, repeat, ahead)
    if os.environ.get("DIAGNOSE") == "1":
        run_scenario(root, work, envdir, exe, "a", repeat, ahead, nodelay=False, tools=["curl", "engine-1"])
        steps(root, work, envdir, exe, "a")


if __name__ == "__main__":
    main()
