#!/usr/bin/env python3
"""Runs the updater's benchmarks and prints medians, minima, maxima and ratios.

Every figure that matters is a ratio against a floor measured in the same run:
the sides of a comparison run in turn, round after round, so that whatever else
the machine is doing falls on all of them. Given several builds (one per Qt
version), every round runs every side of every build, each side on each build
back to back, so that versions are compared round by round too.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import time


def run_child(argv, env):
    """Runs one child process; returns (monotonic ns at start, its stdout, peak RSS in KiB)."""
    start = time.monotonic_ns()
    proc = subprocess.Popen(argv, env=env, stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    out = proc.stdout.read()
    _, status, usage = os.wait4(proc.pid, 0)
    proc.returncode = os.waitstatus_to_exitcode(status)
    if proc.returncode != 0:
        sys.exit(f"{' '.join(argv)} failed with exit code {proc.returncode}")
    return start, out.decode().strip(), usage.ru_maxrss


def summary(values):
    return statistics.median(values), min(values), max(values)


class Table:
    def __init__(self):
        self.rows = []

    def add(self, name, values, unit):
        med, lo, hi = summary(values)
        self.rows.append((name, f"{med:.2f}", f"{lo:.2f}", f"{hi:.2f}", unit))

    def note(self, name, value, unit):
        self.rows.append((name, value, "", "", unit))

    def print(self, title):
        print(f"\n{title}")
        header = ("measurement", "median", "min", "max", "unit")
        widths = [max(len(str(r[i])) for r in self.rows + [header]) for i in range(5)]
        for row in [header] + self.rows:
            print("  ".join(str(c).ljust(w) for c, w in zip(row, widths)).rstrip())


class Build:
    """One build folder of the bench and the Qt it was configured with."""

    def __init__(self, folder):
        self.folder = folder
        major = "5"
        try:
            with open(os.path.join(folder, "CMakeCache.txt")) as cache:
                found = re.search(r"^TELVORA_QT_MAJOR:\w+=(\d+)$", cache.read(), re.M)
                major = found.group(1) if found else major
        except OSError:
            sys.exit(f"{folder} is not a configured build folder")
        self.major = int(major)
        self.name = f"Qt {major}"

    def exe(self, program):
        return os.path.join(self.folder, program)


def rounds(sides, runs, warmup):
    """Yields (round, side), every side once a round, the order reversed every other round."""
    for i in range(warmup + runs):
        order = sides if i % 2 == 0 else sides[::-1]
        for side in order:
            yield i - warmup, side


def per_round(values, other, op):
    return [op(a, b) for a, b in zip(values, other)]


def ratio(a, b):
    return a / b


def difference(a, b):
    return a - b


def versions_table(builds, sides, values, names, unit, what):
    """Rows comparing each later build with the first, side by side and round by round."""
    base = builds[0]
    table = Table()
    for build in builds[1:]:
        for side in sides:
            if what == "ratio":
                table.add(f"{names[side]}: {build.name} / {base.name}",
                          per_round(values[build, side], values[base, side], ratio), "x")
            else:
                table.add(f"{names[side]}: {build.name} - {base.name}",
                          per_round(values[build, side], values[base, side], difference), unit)
    return table


def bench_startup(builds, platform, runs, warmup):
    env = dict(os.environ, QT_QPA_PLATFORM=platform)
    # Without a GL integration to skip, the offscreen platform needs no second floor.
    floors = ("bare",) if platform == "offscreen" else ("bare", "bare-nogl")
    sides = floors + ("form", "updater")
    pairs = [(build, side) for side in sides for build in builds]
    ms = {pair: [] for pair in pairs}
    rss = {pair: [] for pair in pairs}
    for i, (build, side) in rounds(pairs, runs, warmup):
        start, out, maxrss = run_child([build.exe("bench_startup"), side], env)
        if i < 0:
            continue
        ms[build, side].append((int(out) - start) / 1e6)
        rss[build, side].append(maxrss / 1024)

    names = {"bare": "bare QMainWindow", "bare-nogl": "bare QMainWindow, no GL integration",
             "form": "the form alone", "updater": "updater window"}
    # The floor on the same footing as the form and the updater, which both
    # start without the GL integration.
    floor = floors[-1]
    title = f"Start-up, {platform} platform ({runs} rounds after {warmup} warm-up)"
    for build in builds:
        table = Table()
        for side in sides:
            table.add(f"{names[side]}, start to first paint", ms[build, side], "ms")
        for top, bottom, target in [("updater", f, " (target <= 1.3)") for f in floors] + [
                ("form", floor, ""), ("updater", "form", "")]:
            table.add(f"ratio {top} / {bottom} (per round)",
                      per_round(ms[build, top], ms[build, bottom], ratio), "x" + target)
        for side in sides:
            table.add(f"{names[side]}, peak RSS", rss[build, side], "MiB")
        for top, bottom, target in [("updater", f, " (target <= 8)") for f in floors] + [
                ("form", floor, ""), ("updater", "form", "")]:
            table.add(f"peak RSS {top} - {bottom} (per round)",
                      per_round(rss[build, top], rss[build, bottom], difference),
                      "MiB" + target)
        table.print(f"{title}, {build.name}")
    if len(builds) > 1:
        table = versions_table(builds, sides, ms, names, "ms", "ratio")
        table.rows += versions_table(builds, sides, rss, names, "MiB", "difference").rows
        table.print(f"{title}, versions side by side (per round)")


def bench_check(builds, ca, url, runs, warmup, origin):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    sides = ("get", "get-premade", "updater")
    # curl is the same whatever the build, so it runs once a round.
    pairs = [(build, side) for side in sides for build in builds] + [(None, "curl")]
    ms = {pair: [] for pair in pairs}
    for i, (build, side) in rounds(pairs, runs, warmup):
        if side == "curl":
            start, _, _ = run_child(["curl", "-sS", "--cacert", ca, "-o", "/dev/null", url], env)
            value = (time.monotonic_ns() - start) / 1e6
        else:
            args = [build.exe("bench_check"), side, ca] + ([] if side == "updater" else [url])
            value = int(run_child(args, env)[1]) / 1e6
        if i >= 0:
            ms[build, side].append(value)

    names = {"get": "new QNetworkAccessManager + GET", "get-premade": "GET on a premade manager",
             "updater": "File > Start to verdict line"}
    title = f"Update check against {origin} at {url} ({runs} rounds after {warmup} warm-up)"
    for build in builds:
        table = Table()
        table.add("new QNetworkAccessManager + GET, fresh process", ms[build, "get"], "ms")
        table.add("GET on a manager made beforehand, fresh process", ms[build, "get-premade"],
                  "ms")
        table.add("File > Start to verdict line, fresh process", ms[build, "updater"], "ms")
        table.add("ratio check / (new manager + GET) (per round)",
                  per_round(ms[build, "updater"], ms[build, "get"], ratio), "x (target <= 1.3)")
        table.add("ratio check / GET on a premade manager (per round)",
                  per_round(ms[build, "updater"], ms[build, "get-premade"], ratio), "x")
        table.add("curl, whole process", ms[None, "curl"], "ms")
        table.add("ratio check / curl (per round)",
                  per_round(ms[build, "updater"], ms[None, "curl"], ratio), "x (goal <= 1.05)")
        table.print(f"{title}, {build.name}")
    if len(builds) > 1:
        versions_table(builds, sides, ms, names, "ms", "ratio").print(
            f"{title}, versions side by side (per round)")


def bench_console(builds, runs):
    """Runs the console's measurement a few times a build, builds in turn, and prints medians."""
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    # Each run writes over a thousand lines, seconds of work: a few runs
    # suffice to keep one slow run out of the figures.
    rows = {build: [] for build in builds}
    header = None
    for _, build in rounds(builds, runs, 0):
        _, out, _ = run_child([build.exe("bench_console")], env)
        lines = [line.split("\t") for line in out.splitlines()]
        header = lines[0]
        rows[build].append(lines[1:])
    column = header.index("us_per_line")
    for build in builds:
        print(f"\nConsole: printConsole cost as the log grows (offscreen, median of {runs} runs), "
              f"{build.name}")
        print("  " + "  ".join(header))
        for i, row in enumerate(rows[build][0]):
            cost = statistics.median(float(run[i][column]) for run in rows[build])
            print("  " + "  ".join(f"{cost:.1f}" if c == column else v for c, v in enumerate(row)))
    base = builds[0]
    for build in builds[1:]:
        ratios = []
        for i, row in enumerate(rows[base][0]):
            per_run = [float(b[i][column]) / float(a[i][column])
                       for a, b in zip(rows[base], rows[build])]
            ratios.append(f"{row[0]} lines {statistics.median(per_run):.2f}x")
        print(f"  microseconds per line, {build.name} / {base.name} (per run): "
              + ", ".join(ratios))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", action="append", required=True,
                        help="a bench build folder; give one per Qt version, the first is the base")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--ca", help="certificate authority that signed the server's certificate")
    parser.add_argument("--url", help="the published manifest's address on loopback")
    parser.add_argument("--xcb", action="store_true", help="also measure start-up on the xcb platform")
    parser.add_argument("--origin", default="bench_server",
                        help="what serves --url, for the check's title")
    parser.add_argument("--check-only", action="store_true",
                        help="only the update check, against --ca and --url")
    parser.add_argument("--console-runs", type=int, default=3)
    args = parser.parse_args()
    builds = [Build(folder) for folder in args.build]

    if not args.check_only:
        bench_startup(builds, "offscreen", args.runs, args.warmup)
        if args.xcb:
            bench_startup(builds, "xcb", args.runs, args.warmup)
    if args.ca and args.url:
        bench_check(builds, args.ca, args.url, args.runs, args.warmup, args.origin)
    if not args.check_only:
        bench_console(builds, args.console_runs)


if __name__ == "__main__":
    main()
