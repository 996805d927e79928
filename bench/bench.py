#!/usr/bin/env python3
"""Runs the updater's benchmarks and prints medians, minima, maxima and ratios.

Every figure that matters is a ratio against a floor measured in the same run:
the two sides of a pair run in turn, round after round, so that whatever else
the machine is doing falls on both.
"""

import argparse
import os
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


def rounds(sides, runs, warmup):
    """Yields (round, side), every side once a round, the order reversed every other round."""
    for i in range(warmup + runs):
        order = sides if i % 2 == 0 else sides[::-1]
        for side in order:
            yield i - warmup, side


def bench_startup(build, platform, runs, warmup):
    env = dict(os.environ, QT_QPA_PLATFORM=platform)
    exe = os.path.join(build, "bench_startup")
    # Without a GL integration to skip, the offscreen platform needs no second floor.
    sides = ("bare", "updater") if platform == "offscreen" else ("bare", "bare-nogl", "updater")
    ms = {side: [] for side in sides}
    rss = {side: [] for side in sides}
    for i, side in rounds(sides, runs, warmup):
        start, out, maxrss = run_child([exe, side], env)
        if i < 0:
            continue
        ms[side].append((int(out) - start) / 1e6)
        rss[side].append(maxrss / 1024)

    names = {"bare": "bare QMainWindow", "bare-nogl": "bare QMainWindow, no GL integration",
             "updater": "updater window"}
    table = Table()
    for side in sides:
        table.add(f"{names[side]}, start to first paint", ms[side], "ms")
    for floor in sides[:-1]:
        table.add(f"ratio updater / {floor} (per round)",
                  [u / b for u, b in zip(ms["updater"], ms[floor])], "x (target <= 1.3)")
    for side in sides:
        table.add(f"{names[side]}, peak RSS", rss[side], "MiB")
    for floor in sides[:-1]:
        table.add(f"peak RSS updater - {floor} (per round)",
                  [u - b for u, b in zip(rss["updater"], rss[floor])], "MiB (target <= 8)")
    table.print(f"Start-up, {platform} platform ({runs} rounds after {warmup} warm-up)")


def bench_check(build, ca, url, runs, warmup):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    exe = os.path.join(build, "bench_check")
    sides = ("get", "get-premade", "updater", "curl")
    ms = {side: [] for side in sides}
    for i, side in rounds(sides, runs, warmup):
        if side == "curl":
            start, _, _ = run_child(["curl", "-sS", "--cacert", ca, "-o", "/dev/null", url], env)
            value = (time.monotonic_ns() - start) / 1e6
        else:
            args = [exe, side, ca] + ([] if side == "updater" else [url])
            value = int(run_child(args, env)[1]) / 1e6
        if i >= 0:
            ms[side].append(value)
    table = Table()
    table.add("new QNetworkAccessManager + GET, fresh process", ms["get"], "ms")
    table.add("GET on a manager made beforehand, fresh process", ms["get-premade"], "ms")
    table.add("File > Start to verdict line, fresh process", ms["updater"], "ms")
    table.add("ratio check / (new manager + GET) (per round)",
              [u / g for u, g in zip(ms["updater"], ms["get"])], "x (target <= 1.3)")
    table.add("ratio check / GET on a premade manager (per round)",
              [u / g for u, g in zip(ms["updater"], ms["get-premade"])], "x")
    table.add("curl, whole process", ms["curl"], "ms")
    table.print(f"Update check against {url} ({runs} rounds after {warmup} warm-up)")


def bench_console(build):
    env = dict(os.environ, QT_QPA_PLATFORM="offscreen")
    _, out, _ = run_child([os.path.join(build, "bench_console")], env)
    print("\nConsole: printConsole cost as the log grows (offscreen)")
    for line in out.splitlines():
        print("  " + line.replace("\t", "  "))


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the bench build folder")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--warmup", type=int, default=3)
    parser.add_argument("--ca", help="certificate authority that signed the server's certificate")
    parser.add_argument("--url", help="the published manifest's address on loopback")
    parser.add_argument("--xcb", action="store_true", help="also measure start-up on the xcb platform")
    args = parser.parse_args()

    bench_startup(args.build, "offscreen", args.runs, args.warmup)
    if args.xcb:
        bench_startup(args.build, "xcb", args.runs, args.warmup)
    if args.ca and args.url:
        bench_check(args.build, args.ca, args.url, args.runs, args.warmup)
    bench_console(args.build)


if __name__ == "__main__":
    main()
