#!/usr/bin/env python3
"""The whole program as the player waits for it: the stamped Orvanta.exe under
Wine, through the proxy setting the tests use, against the delaying server of
bench/install, timed from the process's start to its end and to the game
client's start; beside it curl (4 at once and one after the other) fetching the
same files from the same server, and an empty Windows program (Wine's own start
and end), all in the same run. Called by run.sh.
    whole.py <root> <build> <work> <wine-env>
Environment:
    SCENARIOS  which of a b c d e f to run (default all):
               a  first installation, 200 files / 64 MiB, 50 ms per answer
               b  first installation, 200 files / 256 MiB, no delay
               c  first installation, 2,000 files of 4 KiB, 20 ms per answer
               d  the installed copy's run that updates one file (20 ms per answer)
               e  the installed copy's run that finds nothing to do (20 ms per answer)
               f  /uninstall: the question, Yes, the final message, OK
    REPEAT     runs of every program per scenario (default 3); medians are printed
    WHOLE_BASELINE another Orvanta.exe (e.g. main's) timed beside the build's, in turns
    PACKAGES_DIRECT=1 the package files come from a second server on 127.0.0.1:80,
               reached without the proxy (port 80 free, root), the manifest
               through the proxy as always: Wine's WinINet opens a new
               connection for every request it sends through a proxy, and keeps
               connections to a server it reaches directly (see README)
    WINE_CPUS  Linux CPU list (taskset) for every Wine process and the Wine server,
               e.g. "0": on a virtual machine whose idle processors halt, each
               call to the Wine server that wakes another processor costs tens of
               microseconds more than one on the same processor (see README)
Each run of the installer is split by the server's request log: before the
first package request (process start, dialog, profile, manifest, self-copy,
...), the package requests' span (first arrival to last answer sent) with the
gaps between consecutive request arrivals, and after the last answer (the last
file's commit, shortcuts, registry, reports, the client's start, the end)."""
import os
import shutil
import statistics
import subprocess
import sys
import time

BRAND = "OrvWhole"
PRODUCT_WORD = "Tindermoor"  # product 2
CLIENT_NAME = "client.exe"   # installed as Bin\<brand>.exe, started after the pass
SCENARIOS = {
    # key: (title, files, total bytes, delay ms, kind)
    "a": ("first installation, 200 files / 64 MiB, 50 ms", 200, 64 << 20, 50, "install"),
    "b": ("first installation, 200 files / 256 MiB, 0 ms", 200, 256 << 20, 0, "install"),
    "c": ("first installation, 2,000 x 4 KiB, 20 ms", 2000, 2000 * 4096, 20, "install"),
    "d": ("update run, one of 20 files changed, 20 ms", 20, 20 * 65536, 20, "update"),
    "e": ("run with nothing to do, 20 files, 20 ms", 20, 20 * 65536, 20, "noupdate"),
    "f": ("/uninstall: question to final message", 20, 20 * 65536, 20, "uninstall"),
}
PACKAGE_HOST = "pkg.orvanta.test"
DIRECT_HOST = "127.0.0.1"


def packages_direct():
    return os.environ.get("PACKAGES_DIRECT") == "1"


def package_host():
    return DIRECT_HOST if packages_direct() else PACKAGE_HOST


def now():
    return time.monotonic()


def wine_command(*args):
    """A Wine command line, on WINE_CPUS when given."""
    cpus = os.environ.get("WINE_CPUS")
    return (["taskset", "-c", cpus] if cpus else []) + ["wine"] + [str(a) for a in args]


def pin_wine_server(prefix):
    """The running Wine server of the prefix and its system programs onto
    WINE_CPUS; the programs started later inherit it from wine_command."""
    cpus = os.environ.get("WINE_CPUS")
    if not cpus:
        return
    for pid in os.listdir("/proc"):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" in f.read():
                    subprocess.run(["taskset", "-a", "-p", "-c", cpus, pid], stdout=subprocess.DEVNULL,
                                   stderr=subprocess.DEVNULL)
        except OSError:
            continue


def wall_to_monotonic(wall):
    """A system-clock moment (the client's record) on the monotonic clock."""
    return wall - time.time() + time.monotonic()


class Env:
    def __init__(self, root, build, work, wine_env):
        self.root, self.build, self.work = root, build, work
        self.prefix = os.path.join(wine_env, "prefix")
        self.vars = dict(os.environ, WINEPREFIX=self.prefix, WINEDEBUG="-all",
                         WINEDLLOVERRIDES="mscoree,mshtml=,winemenubuilder.exe=d")
        with open(os.path.join(wine_env, "display")) as f:
            self.vars["DISPLAY"] = f.read().strip()
        self.drive_c = os.path.join(self.prefix, "drive_c")
        users = os.path.join(self.drive_c, "users")
        self.user = next(u for u in os.listdir(users) if u not in ("Public", "public") and
                         os.path.isdir(os.path.join(users, u, "Desktop")))
        self.install_dir = os.path.join(self.drive_c, "Program Files", BRAND)
        self.installed_exe = os.path.join(self.install_dir, BRAND + ".exe")
        self.started = os.path.join(self.install_dir, "Bin", "started.txt")

    def wine(self, *args, **kw):
        return subprocess.run(wine_command(*args), env=self.vars, stdin=subprocess.DEVNULL,
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, **kw)

    def clean(self):
        """No trace of an installation: a first installation follows."""
        reg = os.path.join(self.work, "clean.reg")
        with open(reg, "w") as f:
            f.write("REGEDIT4\n\n[-HKEY_CURRENT_USER\\Software\\%s]\n\n[-HKEY_CURRENT_USER\\Software\\Corvantis]\n\n"
                    "[-HKEY_LOCAL_MACHINE\\Software\\Microsoft\\Windows\\CurrentVersion\\Uninstall\\%s]\n\n"
                    % (PRODUCT_WORD, BRAND))
            if os.environ.get("DIAGNOSE"):
                # The installer's own log, to standard output (run_program keeps it).
                f.write("[HKEY_CURRENT_USER\\Software\\%s]\n\"LogFile\"=dword:00000001\n\n" % PRODUCT_WORD)
        self.wine("regedit", "/s", reg)
        user = os.path.join(self.drive_c, "users", self.user)
        for path in (self.install_dir, os.path.join(user, "AppData", "Roaming", "Microsoft", "Windows",
                                                    "Start Menu", "Programs", BRAND),
                     os.path.join(user, "AppData", "Local", BRAND)):
            shutil.rmtree(path, ignore_errors=True)
        for path in (os.path.join(user, "Desktop", BRAND + ".lnk"),):
            if os.path.exists(path):
                os.remove(path)


class Server:
    def __init__(self, env, folder, delay_ms, listen=None, log_name="requests.log"):
        self.log_path = os.path.join(folder, log_name)
        self.process = subprocess.Popen(
            [sys.executable, os.path.join(env.root, "bench/install/serve.py"), folder, "--delay-ms", str(delay_ms),
             "--log", self.log_path] + (["--listen", listen] if listen else []),
            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        line = self.process.stdout.readline()
        if not line:
            sys.exit(f"whole: the server on {listen or 'an ephemeral port'} did not start")
        self.port = int(line)

    def mark(self):
        with open(self.log_path) as log:
            return len(log.read().splitlines())

    def rows(self, mark):
        # The server writes a request's line once the answer has gone out: a
        # client can end (curl) before the line of its last request is there.
        time.sleep(0.3)
        with open(self.log_path) as log:
            lines = log.read().splitlines()[mark:]
        rows = []
        for line in lines:
            parts = line.split()
            if len(parts) == 5:
                rows.append((int(parts[0]), float(parts[1]), float(parts[2]), int(parts[3]), parts[4]))
        return rows

    def stop(self):
        self.process.terminate()
        self.process.wait()


class Servers:
    """The server the proxy setting names (the manifest, and the package files
    unless PACKAGES_DIRECT), and with PACKAGES_DIRECT the package server on
    port 80; one request log for both."""
    def __init__(self, env, folder, delay_ms):
        self.proxy = Server(env, folder, delay_ms)
        self.port = self.proxy.port
        self.all = [self.proxy]
        if packages_direct():
            self.all.append(Server(env, folder, delay_ms, f"{DIRECT_HOST}:80", "requests-direct.log"))

    def mark(self):
        return [server.mark() for server in self.all]

    def rows(self, mark):
        rows = []
        for server, start in zip(self.all, mark):
            rows += server.rows(start)
        return sorted(rows, key=lambda r: r[1])

    def stop(self):
        for server in self.all:
            server.stop()


def make_release(env, key):
    """The release folder of a scenario: package files, the client, a manifest."""
    title, files, total, delay, kind = SCENARIOS[key]
    folder = os.path.join(env.work, f"release-{key}")
    subprocess.run([sys.executable, os.path.join(env.root, "bench/install/make_release.py"), "install", folder,
                    str(files), str(total), package_host()], check=True)
    shutil.copy(os.path.join(env.build, "bench/whole/whole_client.exe"), os.path.join(folder, "files", CLIENT_NAME))
    write_manifest(folder, files, changed=False)
    return folder


def write_manifest(folder, files, changed):
    """changed: one file (and the release date) newer, as a release that changes one file."""
    lines = ["[GENERAL]", f"BRAND_NAME={BRAND}", f"EXE_NAME={CLIENT_NAME}", "EXE_WORK_PATH=Bin",
             f"DOWNLOAD_URL={package_host()}", "DISPLAY_VERSION=1.0", "[FILE]",
             f"Bin__{CLIENT_NAME}=1,files/{CLIENT_NAME},0"]
    for i in range(files):
        version = 2 if changed and i == files // 2 else 1
        lines.append(f"Data__part{i:04d}.bin={version},files/part{i:04d}^s{i:04d}.bin,{i + 1}")
    lines += ["[PRODUCT_REG]", "LastUpdateDate=" + ("20250202000000" if changed else "20250101000000")]
    os.makedirs(os.path.join(folder, "Dl"), exist_ok=True)
    with open(os.path.join(folder, "Dl", "ClientResources.asp"), "w") as out:
        out.write("\n".join(lines) + "\n")


def stamp(env, source, name):
    """The copy a player downloads: product 2, its download id and language
    stamped, so no question is asked. Each program in a folder of its own."""
    folder = os.path.join(env.work, name)
    os.makedirs(folder, exist_ok=True)
    out = os.path.join(folder, "OrvantaSetup.exe")
    if os.path.exists(out):
        os.remove(out)
    subprocess.run([sys.executable, os.path.join(env.root, "tools/stamp/orvanta_stamp.py"), source, "-o", out,
                    "--server", "4", "--server-mask", "0", "--product", "2", "--brand", "30", "--did", "9901",
                    "--lang", "EN", "--lang-mask", "0", "--tag1", "7", "--tag2", "-12", "--chain-start-time",
                    "1765000000", "--chain-start-random", "4242"], check=True, stdout=subprocess.DEVNULL)
    return out


def run_program(env, exe, args=(), proxy_port=None, started_file=None, timeout=600):
    """Start to end of one Windows program run as a double-click runs it (its
    own folder as the working folder); the client's start when it wrote one."""
    vars = dict(env.vars)
    if proxy_port:
        vars["http_proxy"] = f"http://127.0.0.1:{proxy_port}"
        vars["no_proxy"] = DIRECT_HOST
    log = subprocess.DEVNULL
    if os.environ.get("DIAGNOSE"):
        log = open(os.path.join(env.work, "diagnose-%s.log" % os.path.basename(exe)), "a")
        log.write("=== start %.6f (system clock %.6f)\n" % (now(), time.time()))
        log.flush()
    start = now()
    out = subprocess.run(wine_command(exe, *args), env=vars, cwd=os.path.dirname(exe), stdin=subprocess.DEVNULL,
                         stdout=log, stderr=subprocess.STDOUT if log != subprocess.DEVNULL else log, timeout=timeout)
    end = now()
    if log != subprocess.DEVNULL:
        log.write("=== end %.6f\n" % end)
        log.close()
    client = None
    if started_file:
        # The client may be still on its way when the installer has ended.
        deadline = now() + 10
        while now() < deadline:
            if os.path.exists(started_file) and open(started_file).read().strip():
                client = wall_to_monotonic(float(open(started_file).read().split()[-1]))
                break
            time.sleep(0.01)
    return {"start": start, "end": end, "client": client, "code": out.returncode}


def split(run, rows):
    """Before the first package request, the package requests' span, after the
    last answer; the gaps between package request arrivals."""
    files = sorted((r for r in rows if "/files/" in r[4]), key=lambda r: r[1])
    result = {"total": run["end"] - run["start"], "requests": len(files), "all_requests": len(rows)}
    if run.get("client"):
        result["client"] = run["client"] - run["start"]
    work = [r for r in rows if "/files/" in r[4] or "ClientResources" in r[4]]
    if work:
        result["manifest"] = min(r[1] for r in work) - run["start"]
        if run.get("client"):
            # The game's start after the last piece of work the server saw.
            result["client_after_work"] = run["client"] - max(r[2] for r in work)
    if files:
        first, last = files[0][1], max(r[2] for r in files)
        result["before"] = first - run["start"]
        result["span"] = last - first
        result["after"] = run["end"] - last
        gaps = sorted((b[1] - a[1]) * 1000 for a, b in zip(files, files[1:]))
        if gaps:
            result["gap_median"] = statistics.median(gaps)
            result["gap_p90"] = gaps[min(len(gaps) - 1, int(0.9 * len(gaps)))]
            result["gap_max"] = gaps[-1]
            result["gaps_over_40"] = sum(1 for g in gaps if g > 40)
    return result


def curl(env, folder, port, names, parallel, host=PACKAGE_HOST):
    """curl fetching the same files through the same server (as a proxy)."""
    cfg = os.path.join(env.work, "curl.cfg")
    out_dir = os.path.join(env.work, "curl_out")
    shutil.rmtree(out_dir, ignore_errors=True)
    with open(cfg, "w") as f:
        for i, name in enumerate(names):
            f.write(f'url = "http://{host}/{name}"\noutput = "{out_dir}/f{i:05d}"\n')
    args = ["curl", "-s", "--proxy", f"http://127.0.0.1:{port}", "--noproxy", DIRECT_HOST, "-K", cfg, "--create-dirs"]
    if parallel:
        args += ["--parallel", "--parallel-max", "4"]
    start = now()
    subprocess.run(args, check=False, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    end = now()
    shutil.rmtree(out_dir, ignore_errors=True)
    return {"start": start, "end": end}


def median_of(results, field):
    values = [r[field] for r in results if field in r and r[field] is not None]
    return statistics.median(values) if values else None


def wait_gone(env, name, timeout=30):
    """Until no process of that name runs (its Unix command line names it)."""
    deadline = now() + timeout
    while now() < deadline:
        if subprocess.run(["pgrep", "-f", name], stdout=subprocess.DEVNULL).returncode != 0:
            return now()
        time.sleep(0.01)
    return None


def player_command(env, *args):
    exe = os.path.join(env.build, "tools/player/orvanta_player.exe")
    return subprocess.Popen(wine_command(exe, *args), env=env.vars, stdin=subprocess.DEVNULL,
                            stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)


def uninstall_once(env, server):
    """/uninstall of the installed copy: the player answers Yes and OK. Times:
    start to the question, the question's Yes to the final message, the final
    OK to the end of the last process of the uninstall."""
    question = f"Are you sure you want to uninstall {BRAND}?"
    finished = "Uninstall finished successfully"
    ask = player_command(env, "--timeout", "60000", "--text", question, "msgbox", "yes")
    done = player_command(env, "--timeout", "90000", "--text", finished, "msgbox", "ok")
    time.sleep(1.0)  # both players are up and polling before the run starts
    vars = dict(env.vars, http_proxy=f"http://127.0.0.1:{server.port}")
    start = now()
    subprocess.run(wine_command(env.installed_exe, "/uninstall"), env=vars, cwd=env.install_dir,
                   stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, timeout=120)
    relaunched = now()
    asked = answered_ok = None
    for line in ask.stdout:
        if asked is None:
            asked = now()
    ask.wait()
    for line in done.stdout:
        if answered_ok is None:
            answered_ok = now()
    done.wait()
    end = wait_gone(env, f"{BRAND}.exe") or now()
    result = {"total": end - start, "relaunch": relaunched - start}
    if asked and answered_ok:
        result["question"] = asked - start
        result["question_to_final"] = answered_ok - asked
        result["after"] = end - answered_ok
    return result


def run_scenario(env, key, repeat, programs):
    """programs: (label, stamped installer) pairs, run one after the other in
    every round, so each sees the machine as the others do."""
    title, files, total, delay, kind = SCENARIOS[key]
    folder = make_release(env, key)
    server = Servers(env, folder, delay)
    names = [f"files/{CLIENT_NAME}"] + [f"files/part{i:04d}^s{i:04d}.bin" for i in range(files)]
    results = {label: [] for label, _ in programs}
    results.update({"curl-par": [], "curl": [], "empty": []})
    empty = os.path.join(env.build, "bench/whole/whole_empty.exe")
    try:
        for _ in range(repeat):
            for label, setup_exe in programs:
                if kind == "install":
                    env.clean()
                    mark = server.mark()
                    run = run_program(env, setup_exe, proxy_port=server.port, started_file=env.started)
                    results[label].append(split(run, server.rows(mark)))
                    continue
                # An installation of the release first, then the run measured.
                write_manifest(folder, files, changed=False)
                env.clean()
                run_program(env, setup_exe, proxy_port=server.port, started_file=env.started)
                wait_gone(env, f"{BRAND}.exe")
                if kind == "uninstall":
                    results[label].append(uninstall_once(env, server))
                    continue
                if kind == "update":
                    write_manifest(folder, files, changed=True)
                os.remove(env.started)
                mark = server.mark()
                run = run_program(env, env.installed_exe, proxy_port=server.port, started_file=env.started)
                results[label].append(split(run, server.rows(mark)))
            results["empty"].append((lambda r: {"total": r["end"] - r["start"]})(run_program(env, empty)))
            if kind == "uninstall":
                continue
            fetched = names if kind == "install" else (
                [f"files/part{files // 2:04d}^s{files // 2:04d}.bin"] if kind == "update" else [])
            for tool in ("curl-par", "curl"):
                mark = server.mark()
                # The manifest first, then the files: what the installer asks for.
                first = curl(env, folder, server.port, ["Dl/ClientResources.asp"], False)
                run = curl(env, folder, server.port, fetched, tool == "curl-par", package_host()) if fetched else first
                run = {"start": first["start"], "end": run["end"], "client": None}
                results[tool].append(split(run, server.rows(mark)))
    finally:
        server.stop()
    return title, results


def fmt(value, unit="s", width=6, digits=2):
    if value is None:
        return " " * (width - 1) + "-"
    return f"{value:{width}.{digits}f}"


def server_call_us(env):
    """Microseconds per call to the Wine server (a registry read), median of 3."""
    values = []
    for _ in range(3):
        out = subprocess.run(wine_command(os.path.join(env.build, "bench/whole/whole_calls.exe")), env=env.vars,
                             stdin=subprocess.DEVNULL, capture_output=True, text=True)
        try:
            values.append(float(out.stdout.strip().splitlines()[-1]))
        except (ValueError, IndexError):
            pass
    return statistics.median(values) if values else None


def print_table(results, labels, repeat, load_before, call_us):
    load = " ".join(open("/proc/loadavg").read().split()[:3])
    cpus = os.environ.get("WINE_CPUS")
    print(f"whole program under Wine, medians of {repeat} runs, the programs taking turns in every round;"
          f" load average {load_before} at the start, {load} at the end ({os.cpu_count()} cores)"
          + (f"; Wine on CPU {cpus}" if cpus else "")
          + ("; package files from 127.0.0.1:80 without the proxy" if packages_direct() else ""))
    if call_us is not None:
        print(f"  one call to the Wine server (a registry value read, median of 3 x 20,000): {call_us:.1f} us")
    print("  scenario / program          total  client c-work  manif. before   span  after  reqs  gap med   p90   max"
          "  >40ms  x par.curl  runs (total, s)")
    for key, (title, res) in results.items():
        empty = [r["total"] for r in res.get("empty", [])]
        print(f"({key}) {title}; an empty Windows program: {fmt(median_of(res.get('empty', []), 'total')).strip()} s"
              f" ({' '.join(f'{t:.2f}' for t in empty)})")
        par = median_of(res.get("curl-par", []), "total")
        rows = [(label, "Orvanta.exe, " + label) for label in labels]
        rows += [("curl-par", "curl, 4 at once"), ("curl", "curl, serial")]
        for tool, label in rows:
            runs = res.get(tool, [])
            if not runs:
                continue
            each = " ".join(f"{r['total']:.2f}" for r in runs)
            if key == "f":
                print(f"    {label:24s} {fmt(median_of(runs, 'total'))}  start to question "
                      f"{fmt(median_of(runs, 'question'))}  question to final message "
                      f"{fmt(median_of(runs, 'question_to_final'))}  OK to end {fmt(median_of(runs, 'after'))}  ({each})")
                continue
            total = median_of(runs, "total")
            ratio = f"{total / par:6.2f}" if par and total else "     -"
            print(f"    {label:24s} {fmt(total)}  {fmt(median_of(runs, 'client'))} {fmt(median_of(runs, 'client_after_work'))}"
                  f"  {fmt(median_of(runs, 'manifest'))} {fmt(median_of(runs, 'before'))}"
                  f" {fmt(median_of(runs, 'span'))} {fmt(median_of(runs, 'after'))}"
                  f"  {int(median_of(runs, 'requests') or 0):4d}  {fmt(median_of(runs, 'gap_median'), width=6, digits=1)}"
                  f" {fmt(median_of(runs, 'gap_p90'), width=5, digits=0)} {fmt(median_of(runs, 'gap_max'), width=5, digits=0)}"
                  f"  {int(median_of(runs, 'gaps_over_40') or 0):5d}  {ratio}      ({each})")
    print("  total: process start to end (curl: the manifest, then the files); client: to the game client's start;")
    print("  c-work: the client's start after the last answer of the manifest or a file; manif.: to the manifest request;")
    print("  before / span / after: to the first package request, first request to last answer, last answer to end;")
    print("  gaps: between consecutive package requests' arrivals, ms (median, 90th percentile, longest, count > 40 ms);")
    print("  (f): start to the question box, the player's Yes to the final message box, the player's OK to the end")
    print("  targets: (a) <= 1.3 x parallel curl and gap p90 < 20 ms; (b) <= 1.5 x; (c) <= 1.2 x;"
          " (d), (e) <= 1.0 s start to end, client <= 0.5 s after the work")


def main():
    root, build, work, wine_env = sys.argv[1:5]
    env = Env(root, build, work, wine_env)
    keys = os.environ.get("SCENARIOS", "a b c d e f").split()
    repeat = int(os.environ.get("REPEAT", "3"))
    load_before = " ".join(open("/proc/loadavg").read().split()[:3])
    programs = []
    if os.environ.get("WHOLE_BASELINE"):
        programs.append(("baseline", stamp(env, os.environ["WHOLE_BASELINE"], "baseline")))
    programs.append(("this build", stamp(env, os.path.join(env.build, "app/Orvanta.exe"), "current")))
    # The desktop stays up for the whole run, as a player's shell keeps it;
    # the Wine server is kept by the set-up's persistence.
    pin_wine_server(env.prefix)
    desktop = subprocess.Popen(wine_command(os.path.join(env.build, "bench/whole/whole_desktop.exe")), env=env.vars,
                               stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    results = {}
    try:
        call_us = server_call_us(env)
        for key in keys:
            results[key] = run_scenario(env, key, repeat, programs)
    finally:
        desktop.kill()
    print_table(results, [label for label, _ in programs], repeat, load_before, call_us)


if __name__ == "__main__":
    main()
