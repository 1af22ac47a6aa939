#!/usr/bin/python3
"""What every `threadx` view costs in GDB on the 109-thread kernels, against
a direct GDB Python script reading the same columns in the same session.

    bench/bench_views.py BUILD_DIR [--runs N] [--target NAME ...]

Starts cortex-m3/scenario-many-Os.elf under QEMU and
linux-x86_64/scenario-many-O0.elf natively (tests/real/targets.py), stops
each at scenario_stop and runs bench/views_gdb.py there with BUILD_DIR's
plugin. Prints per view: the median time after a stop, the first view of
the session (nothing parsed yet), the direct script's median, their ratio
and the remote memory packets of one view and of the direct script (QEMU).
A target this machine cannot run is skipped with the reason.
"""

import argparse
import json
import os
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "real"))

import targets  # noqa: E402

BENCHED = (("cortex-m3", "scenario-many-Os.elf"), ("linux-x86_64", "scenario-many-O0.elf"))
GDB_SECONDS = 600
# The goals, in seconds, and the ratio to the direct script.
THREADS_SECONDS = 0.3
THREADS_RATIO = 1.5
VIEW_SECONDS = 0.2
REGISTERS_SECONDS = 0.1


def run_views(target, elf, plugin, runs):
    """views_gdb.py's result at the stop of one kernel."""
    with target.stopped(elf) as stop, tempfile.TemporaryDirectory(prefix="vusk_bench_") as scratch:
        commands = stop.commands() + [
            "source " + targets.EXTENSION, "set threadx plugin " + plugin,
            "set threadx config-dir " + os.path.join(scratch, "no_config"),
            "source " + os.path.join(HERE, "views_gdb.py")]
        args = [target.gdb, "-nx", "-batch", stop.elf]
        for command in commands:
            args += ["-ex", command]
        env = dict(os.environ, VUSK_BENCH_RUNS=str(runs),
                   VUSK_BENCH_LOG="" if target.native else os.path.join(scratch, "remote.log"))
        done = subprocess.run(args, capture_output=True, text=True, env=env, timeout=GDB_SECONDS,
                              stdin=subprocess.DEVNULL)
    for line in done.stdout.splitlines():
        if line.startswith("BENCH "):
            return json.loads(line[len("BENCH "):])
    raise RuntimeError("GDB did not get through the views:\n" + (done.stdout + done.stderr)[-3000:])


def goal(view):
    if view == "threads":
        return THREADS_SECONDS
    return REGISTERS_SECONDS if view.startswith("registers") else VIEW_SECONDS


def report(target, elf, result):
    print("bench_views: %s/%s (%s), %d threads, median of %d views, each after a stop"
          % (target.name, elf, "native" if target.native else "QEMU", result["threads"], result["runs"]))
    print("  %-18s %8s %8s %8s %6s %8s %8s  %s" % ("view", "time s", "first s", "direct s", "ratio", "packets",
                                                   "direct", "goal"))
    for row in result["views"]:
        ratio = row["median"] / row["direct"] if row["direct"] else float("inf")
        wanted = "under %.1f s" % goal(row["view"])
        met = row["median"] < goal(row["view"])
        if row["view"] == "threads" and not target.native:
            wanted += ", ratio at most %.1f" % THREADS_RATIO
            met = met and ratio <= THREADS_RATIO
        packets = "-" if row["packets"] is None else str(row["packets"])
        direct_packets = "-" if row["direct_packets"] is None else str(row["direct_packets"])
        print("  %-18s %8.3f %8.3f %8.3f %6.2f %8s %8s  %s: %s" % (
            row["view"], row["median"], row["first"], row["direct"], ratio, packets, direct_packets, wanted,
            "met" if met else "NOT met"))


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--runs", type=int, default=15)
    parser.add_argument("--target", action="append", help="only these targets (cortex-m3, linux-x86_64)")
    options = parser.parse_args()
    plugin = os.path.abspath(os.path.join(options.build, "vusk_threadx"))
    for name, elf in BENCHED:
        if options.target and name not in options.target:
            continue
        target = targets.find(name)
        reason = target.missing()
        if reason:
            print("bench_views: %s skipped: %s" % (name, reason))
            continue
        report(target, elf, run_views(target, elf, plugin, options.runs))
    return 0


if __name__ == "__main__":
    sys.exit(main())
