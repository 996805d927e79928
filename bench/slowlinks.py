#!/usr/bin/env python3
"""Runs the update check over slow, lossy links and against a header flood.

For each link profile, bench/impair.py stands on the port that the bench's
updater fetches from and passes on to a server on a port the system chooses:
bench_server, then Caddy (bench/caddy.py), whose TLS sends nothing after the
client's Finished. Round
after round, each build's `bench_check updater` and curl fetch the manifest
through it, in turn, the order reversed every other round. Prints for each
profile how often each succeeded and the median and maximum times of the
successes, why each failure failed (the check's red line, curl's message)
with what the link did to that connection, and whether the check succeeded as
often as curl wherever curl got the manifest.

The slow origin: bench_server answers each request only some seconds after
it (by default 10, 15 and 20 s in turn, one delay a round, the same for every
side of the round), as a slow backend answers, behind the proxy with the LAN profile.
Prints the same figures as for a profile, and how far past the delay each
side got the manifest.

The flood: bench_server answers the manifest with header lines without end,
on the updater's port and without a proxy; each build's check, with the
program's own limits, runs a few times against it and as many times against
a normal server, and the driver prints the red line, the time from File >
Start to it and how much higher the peak RSS went than in a normal check.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse

from bench import Build, rounds

HERE = os.path.dirname(os.path.abspath(__file__))

# name, round-trip time in ms, bandwidth each way in kbit/s, segment loss.
PROFILES = [
    ("LAN", 1, 1000000, 0.0),
    ("DSL", 40, 8000, 0.001),
    ("3G", 300, 1000, 0.01),
    ("hotel Wi-Fi", 500, 256, 0.03),
    ("satellite", 650, 2000, 0.01),
    ("fringe", 1000, 64, 0.05),
    ("bufferbloat", 2000, 1000, 0.0),
]
# The updater gives up after 120 s (its transfer deadline); a run that is
# still going some time after that is stopped and counted as a failure.
CHECK_BOUND = 150
CURL_TIME = 30
CURL_BOUND = CURL_TIME + 10
# The servers at the links' far end: bench_server, whose TLS (OpenSSL's)
# sends session tickets after the client's Finished, and Caddy, whose TLS
# (Go's) sends nothing after it.
SERVERS = ("bench_server", "Caddy")
# The slow origin's link: its delay is the origin's alone.
ORIGIN_LINK = PROFILES[0]
# What a header flood may cost the check at most: the growth of the peak RSS
# over a normal check, in MiB, and the seconds from File > Start to the red line.
FLOOD_GROWTH_GOAL = 64
FLOOD_TIME_GOAL = 2


class Run:
    """One run of a check or of curl: whether it fetched the manifest, in how
    many seconds, why not, and its peak RSS."""

    def __init__(self, ok, seconds, reason, rss, started, ended):
        self.ok = ok
        self.seconds = seconds
        self.reason = reason
        self.rss = rss
        self.started = started
        self.ended = ended
        self.connections = []


def run_bounded(argv, env, bound):
    """Runs a child, killed if it outlives bound seconds; returns (exit code,
    stdout, stderr, peak RSS in KiB, monotonic start and end in seconds)."""
    with tempfile.TemporaryFile() as out, tempfile.TemporaryFile() as err:
        started = time.monotonic()
        proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL, stdout=out, stderr=err)
        killer = threading.Timer(bound, proc.kill)
        killer.start()
        _, status, usage = os.wait4(proc.pid, 0)
        ended = time.monotonic()
        killer.cancel()
        proc.returncode = os.waitstatus_to_exitcode(status)
        out.seek(0)
        err.seek(0)
        return (proc.returncode, out.read().decode(errors="replace"),
                err.read().decode(errors="replace"), usage.ru_maxrss, started, ended)


def why(code, err, seconds, bound):
    """The line that says why a run failed."""
    lines = [line for line in err.splitlines() if line.strip()]
    red = [line for line in lines if line.startswith("^ [")]
    if red:
        return red[-1]
    if seconds >= bound:
        return f"still running after {bound} s, stopped"
    return lines[-1] if lines else f"exit code {code}"


def check(build, ca, env):
    code, out, err, rss, started, ended = run_bounded(
        [build.exe("bench_check"), "updater", ca], env, CHECK_BOUND)
    # The check's own clock runs from File > Start to the verdict or the red line.
    seconds = int(out) / 1e9 if out.strip().isdigit() else ended - started
    reason = "" if code == 0 else why(code, err, ended - started, CHECK_BOUND)
    return Run(code == 0, seconds, reason, rss / 1024, started, ended)


def curl(ca, url, env):
    code, _, err, rss, started, ended = run_bounded(
        ["curl", "-sS", "--cacert", ca, "-o", "/dev/null", "--max-time", str(CURL_TIME), url],
        env, CURL_BOUND)
    reason = "" if code == 0 else why(code, err, ended - started, CURL_BOUND)
    return Run(code == 0, ended - started, reason, rss / 1024, started, ended)


class Child:
    """A helper process of the driver's own that says on its first line of
    standard output that it is ready, and what it has to say."""

    def __init__(self, argv, env=None):
        self.log = tempfile.TemporaryFile()
        self.proc = subprocess.Popen(argv, env=env, stdin=subprocess.DEVNULL,
                                     stdout=subprocess.PIPE, stderr=self.log)
        self.first = self.proc.stdout.readline().decode().strip()
        if not self.first:
            self.stop()
            sys.exit(f"{' '.join(argv)} did not start: {self.errors()}")

    def stop(self):
        if self.proc.poll() is None:
            self.proc.terminate()
        self.proc.wait()
        self.proc.stdout.close()

    def errors(self):
        self.log.seek(0)
        return self.log.read().decode(errors="replace")


def start_server(build, port=0, flood=False, delay=0):
    """bench_server on port (0: one the system chooses), answering delay
    seconds after each request; returns it, the authority to trust and the
    port it listens on."""
    server = Child([build.exe("bench_server"), "--port", str(port)]
                   + (["--endless-header-lines"] if flood else [])
                   + (["--answer-delay", str(round(delay * 1000))] if delay else []),
                   dict(os.environ, QT_QPA_PLATFORM="offscreen"))
    ca, url = server.first.split()
    return server, ca, urllib.parse.urlsplit(url).port


def start_caddy():
    """Caddy on a port the system chooses; returns it, the authority to trust
    and the port."""
    caddy = Child([sys.executable, "-B", os.path.join(HERE, "caddy.py")])
    ca, url = caddy.first.split()
    return caddy, ca, urllib.parse.urlsplit(url).port


def start_proxy(profile, port, upstream, seed):
    name, rtt, rate, loss = profile
    return Child([sys.executable, os.path.join(HERE, "impair.py"), "--listen", str(port),
                  "--upstream", str(upstream), "--rtt", str(rtt), "--rate", str(rate),
                  "--loss", str(loss), "--seed", f"{seed}/{name}"])


def attach_connections(proxy, results):
    """Gives each run the proxy's lines for the connections accepted during it."""
    everything = [run for side_runs in results.values() for run in side_runs]
    for accepted, line in connection_lines(proxy.errors()):
        for run in everything:
            if run.started <= accepted <= run.ended:
                run.connections.append(line.split(": ", 1)[1])


def connection_lines(log):
    """(accepted at, line) for each connection the proxy reported."""
    found = []
    for line in log.splitlines():
        accepted = re.match(r"connection \d+ at ([\d.]+),", line)
        if accepted:
            found.append((float(accepted.group(1)), line))
    return found


def seconds_summary(runs):
    times = [run.seconds for run in runs if run.ok]
    ok = f"{len(times)}/{len(runs)}"
    if not times:
        return ok, "-", "-"
    return ok, f"{statistics.median(times):.2f}", f"{max(times):.2f}"


def link_name(profile):
    name, rtt, rate, loss = profile
    speed = f"{rate / 1000:g} Mbit/s" if rate >= 1000 else f"{rate:g} kbit/s"
    return f"{name} ({rtt} ms, {speed}, {loss * 100:g} % loss)"


def slow_link(profile, builds, ca, port, upstream, runs, seed):
    """Runs the checks and curl through the proxy; returns {side: [Run]}."""
    proxy = start_proxy(profile, port, upstream, seed)
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    url = f"https://127.0.0.1:{port}/telvora-version.xml"
    sides = [build.name for build in builds] + ["curl"]
    by_name = {build.name: build for build in builds}
    results = {side: [] for side in sides}
    try:
        for _, side in rounds(sides, runs, 0):
            results[side].append(curl(ca, url, env) if side == "curl"
                                 else check(by_name[side], ca, env))
    finally:
        proxy.stop()
    attach_connections(proxy, results)
    return results


def slow_origin(builds, port, runs, delays, seed):
    """Runs the checks and curl against an origin that answers each request
    only after a delay, a new server each round with that round's delay (and
    a new proxy, as the server's port changes), all sides of a round alike;
    returns {side: [Run]}, each run with its delay."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    url = f"https://127.0.0.1:{port}/telvora-version.xml"
    sides = [build.name for build in builds] + ["curl"]
    by_name = {build.name: build for build in builds}
    results = {side: [] for side in sides}
    servers, proxies, ca = [], [], None
    try:
        for i, side in rounds(sides, runs, 0):
            delay = delays[i % len(delays)]
            if len(servers) == i:
                for child in servers + proxies:
                    child.stop()
                server, ca, upstream = start_server(builds[0], delay=delay)
                servers.append(server)
                proxies.append(start_proxy(ORIGIN_LINK, port, upstream, seed))
            run = curl(ca, url, env) if side == "curl" else check(by_name[side], ca, env)
            run.delay = delay
            results[side].append(run)
    finally:
        for child in servers + proxies:
            child.stop()
    for proxy in proxies:
        attach_connections(proxy, results)
    return results


def origin_name(delays):
    listed = ", ".join(f"{delay:g}" for delay in sorted(set(delays)))
    return f"slow origin: answers {listed} s after the request, over {link_name(ORIGIN_LINK)}"


def print_runs(title, results, details, delayed=False):
    """Each side's successes and times under title, then every failure (with
    details, every run) with what the link did; delayed: the runs were
    against the slow origin, whose delay each run names."""
    print(title)
    for side, side_runs in results.items():
        what = "curl, whole process" if side == "curl" else f"{side} check, File > Start to verdict"
        ok, median, most = seconds_summary(side_runs)
        past = [run.seconds - run.delay for run in side_runs if run.ok] if delayed else []
        beyond = f"  past the delay median {statistics.median(past):.2f} s" if past else ""
        print(f"  {what:<40} {ok:>6} succeeded  median {median} s  max {most} s{beyond}")
    for side, side_runs in results.items():
        for i, run in enumerate(side_runs):
            if run.ok and not details:
                continue
            outcome = "succeeded" if run.ok else "failed"
            answer = f" (answer after {run.delay:g} s)" if delayed else ""
            print(f"  {outcome}: {side}, round {i + 1}{answer}, after {run.seconds:.2f} s"
                  + ("" if run.ok else f": {run.reason}"))
            for connection in run.connections:
                print(f"    link: {connection}")


def goal(results):
    """Whether every build's check succeeded as often as curl, where curl
    fetched the manifest at all."""
    curl_ok = sum(run.ok for run in results["curl"])
    if curl_ok == 0:
        return "curl never got it"
    missed = [side for side in results if side != "curl"
              and sum(run.ok for run in results[side]) < curl_ok]
    return "missed with " + " and ".join(missed) if missed else "met"


def against_curl(results, builds):
    """Each build's median time over curl's, of the successes."""
    curl_times = [run.seconds for run in results["curl"] if run.ok]
    ratios = []
    for build in builds:
        times = [run.seconds for run in results[build.name] if run.ok]
        ratios.append(f"{statistics.median(times) / statistics.median(curl_times):.2f}x"
                      if times and curl_times else "-")
    return " / ".join(ratios)


def print_table(rows, builds):
    """rows: (name, results) for each link profile or origin."""
    print("\nSummary: successes, median / max seconds of the successes")
    header = (["link, server"] + [f"{build.name} check" for build in builds] + ["curl", "goal"]
              + [f"check / curl, median ({' / '.join(build.name for build in builds)})"])
    print("| " + " | ".join(header) + " |")
    print("|" + " --- |" * len(header))
    for name, results in rows:
        cells = [name]
        for side in [build.name for build in builds] + ["curl"]:
            ok, median, most = seconds_summary(results[side])
            cells.append(f"{ok}, {median} / {most}" if median != "-" else ok)
        cells.append(goal(results))
        cells.append(against_curl(results, builds))
        print("| " + " | ".join(cells) + " |")


def written(server):
    """Bytes the server process has written so far, TLS records and all."""
    with open(f"/proc/{server.proc.pid}/io") as io:
        return int(re.search(r"^wchar: (\d+)$", io.read(), re.M).group(1))


def flood(builds, port, runs):
    """The checks against a header flood and against a normal server, runs
    times each per build, the builds in turn."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    results = {}
    for kind in ("flood", "normal"):
        server, ca, _ = start_server(builds[0], port, flood=kind == "flood")
        try:
            for _, build in rounds(builds, runs, 0):
                before = written(server)
                run = check(build, ca, env)
                run.sent = (written(server) - before) / 1048576
                results.setdefault((build.name, kind), []).append(run)
        finally:
            server.stop()

    print(f"\nHeader flood on 127.0.0.1:{port}, no proxy, the updater with its own limits"
          f" ({runs} runs per build and server)")
    print(f"  goal: peak RSS at most +{FLOOD_GROWTH_GOAL} MiB over a normal check, the red line"
          f" within {FLOOD_TIME_GOAL} s of File > Start, in every run")
    for build in builds:
        flooded = results[build.name, "flood"]
        normal = results[build.name, "normal"]
        reasons = sorted({run.reason or "succeeded, which it must not" for run in flooded})
        base = statistics.median(r.rss for r in normal)
        growth = [r.rss - base for r in flooded]
        times = [r.seconds for r in flooded]
        print(f"  {build.name}:")
        for reason in reasons:
            print(f"    red line: {reason}")
        print(f"    File > Start to the red line: median {statistics.median(times):.2f} s"
              f" (max {max(times):.2f} s)")
        peak = statistics.median(r.rss for r in flooded)
        print(f"    peak RSS growth over a normal check: median {statistics.median(growth):+.1f}"
              f" MiB (max {max(growth):+.1f}); flood median {peak:.1f} MiB, normal check median"
              f" {base:.1f} MiB ({sum(r.ok for r in normal)}/{len(normal)} succeeded)")
        print(f"    sent by the server meanwhile: median "
              f"{statistics.median(r.sent for r in flooded):.1f} MiB")
        missed = []
        if max(growth) > FLOOD_GROWTH_GOAL:
            missed.append("memory")
        if max(times) > FLOOD_TIME_GOAL:
            missed.append("time")
        if any(run.ok for run in flooded):
            missed.append("a flood let through")
        print(f"    goal: {'missed (' + ', '.join(missed) + ')' if missed else 'met'}")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", action="append", required=True,
                        help="a bench build folder; give one per Qt version")
    parser.add_argument("--runs", type=int, default=10, help="rounds per link profile")
    parser.add_argument("--flood-runs", type=int, default=3,
                        help="runs per build against the flood and a normal server; 0: none")
    parser.add_argument("--profiles", help="comma-separated names of the profiles to run")
    parser.add_argument("--servers", default=",".join(SERVERS),
                        help="comma-separated servers behind the links, of "
                             + ", ".join(SERVERS))
    parser.add_argument("--origin-runs", type=int, default=3,
                        help="rounds against the slow origin; 0: none")
    parser.add_argument("--origin-delays", default="10,15,20",
                        help="the slow origin's answer delays in seconds, comma-separated,"
                             " one a round in turn")
    parser.add_argument("--seed", default="1", help="seed of the proxy's losses")
    parser.add_argument("--details", action="store_true",
                        help="show every run with what the link did, not only failures")
    args = parser.parse_args()
    builds = [Build(folder) for folder in args.build]
    ports = set()
    for build in builds:
        with open(os.path.join(build.folder, "CMakeCache.txt")) as cache:
            ports.add(int(re.search(r"^TELVORA_BENCH_PORT:\w+=(\d+)$", cache.read(), re.M)
                          .group(1)))
    if len(ports) != 1:
        sys.exit(f"the builds fetch from different ports: {sorted(ports)}")
    port = ports.pop()
    profiles = PROFILES
    if args.profiles:
        wanted = args.profiles.split(",")
        profiles = [profile for profile in PROFILES if profile[0] in wanted]
        if len(profiles) != len(wanted):
            sys.exit(f"known profiles: {', '.join(p[0] for p in PROFILES)}")

    servers = args.servers.split(",") if args.servers else []
    if not set(servers) <= set(SERVERS):
        sys.exit(f"known servers: {', '.join(SERVERS)}")

    try:
        delays = [float(delay) for delay in args.origin_delays.split(",")]
    except ValueError:
        sys.exit(f"not delays in seconds: {args.origin_delays}")
    # Past curl's own limit curl could not show what the check should do.
    if not all(0 < delay < CURL_TIME for delay in delays):
        sys.exit(f"the slow origin's delays must lie between 0 and {CURL_TIME} s")

    began = time.monotonic()
    rows = []
    for name in servers if profiles and args.runs > 0 else []:
        server, ca, upstream = start_caddy() if name == "Caddy" else start_server(builds[0])
        try:
            for profile in profiles:
                results = slow_link(profile, builds, ca, port, upstream, args.runs, args.seed)
                title = f"{link_name(profile)}, {name}"
                print_runs(f"\n{title}: {args.runs} rounds, seed {args.seed}", results,
                           args.details)
                rows.append((title, results))
                sys.stdout.flush()
        finally:
            server.stop()
    if args.origin_runs > 0:
        used = [delays[i % len(delays)] for i in range(args.origin_runs)]
        results = slow_origin(builds, port, args.origin_runs, delays, args.seed)
        print_runs(f"\n{origin_name(used)}: {args.origin_runs} rounds, the delays in turn", results,
                   args.details, delayed=True)
        rows.append((origin_name(used), results))
        sys.stdout.flush()
    if rows:
        print_table(rows, builds)
    if args.flood_runs > 0:
        flood(builds, port, args.flood_runs)
    print(f"\nTook {(time.monotonic() - began) / 60:.1f} minutes")


if __name__ == "__main__":
    main()
