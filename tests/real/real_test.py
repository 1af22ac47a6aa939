#!/usr/bin/env python3
"""The GDB extension and the plugin on the real ThreadX kernels.

    real_test.py TARGET        every ELF of one target (tests/real/targets.py)
    real_test.py --list        the target names, one per line

For each ELF: start the kernel, stop at scenario_stop, and in that one GDB
session run every `threadx` command and compare each cell with the
kernel's control blocks (check_tables.py, kernel_truth.py). The first ELF's
session is recorded with `threadx record` and played back by the plugin.
Before any of it, GDB on the bare ELF must refuse to list objects (there is
no running target yet) and tell the CPU type it would send.

Environment: VUSK_PLUGIN (required), VUSK_TARGETS (see targets.py).
Exit: 0 all held, 1 a mismatch or a failed run, 77 the target cannot run
here (the reason is printed).
"""

import json
import os
import select
import signal
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import targets  # noqa: E402

EXTENSION = os.path.join(targets.SOURCE, "host", "gdb", "vusk_gdb.py")
CHECK = os.path.join(HERE, "check_tables.py")
# Longest GDB session (start, stop, every command, the record): the
# sanitizer build of the plugin on the 109-thread kernels takes the most.
GDB_SECONDS = 150
PLAYBACK_SECONDS = 60
# The kernels reach scenario_stop in a few seconds. The native SMP port
# (4 simulated cores on host threads) was seen, on a loaded machine, not
# to get there at all; such a run is killed and the kernel started again,
# once (before that the plugin and the extension have not run).
STOP_MARK = "Breakpoint 1, scenario_stop"
STOP_SECONDS = 60
START_ATTEMPTS = 2
PLUGIN_TIMEOUT_SECONDS = 20

# What each target is: the frame family check_tables.py decodes, the CPU
# type (major and label) the extension must choose, SMP, extra settings.
EXPECT = {
    "cortex-m3": ("cortex-m", 14, "ARMv7-M"),
    "cortex-m4f": ("cortex-m", 14, "ARMv7E-M"),
    "cortex-m7": ("cortex-m", 14, "ARMv7E-M"),
    "cortex-m33": ("cortex-m", 14, "ARMv8-M mainline"),
    "cortex-m0": ("cortex-m0", 14, "ARMv6-M"),
    "linux-x86_64": ("x86-64", 77, "x86-64"),
    "linux-smp-x86_64": ("x86-64", 77, "x86-64"),
    "aarch64-smp": ("aarch64", 50, "AArch64"),
}
# The AArch64 kernel reports 4 cores; the plugin takes it only from a host
# that has as many.
SETTINGS = {"aarch64-smp": ["set threadx core-count 4"]}


def run_bounded(args, seconds, env=None, milestone=None):
    """Runs a command in a session of its own; on time-out the whole
    session (GDB and the program it runs) is killed. milestone: (text,
    seconds) that must appear in the output in time, else the session is
    killed as well. (status, output, milestone reached)."""
    child = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, stdin=subprocess.DEVNULL,
                             env=env, start_new_session=True)
    started = time.monotonic()
    out = bytearray()
    reached = milestone is None
    note = ""
    while True:
        deadline = started + (seconds if reached else min(seconds, milestone[1]))
        ready, _, _ = select.select([child.stdout], [], [], max(0.0, deadline - time.monotonic()))
        if ready:
            chunk = os.read(child.stdout.fileno(), 65536)
            if not chunk:
                break
            out += chunk
            reached = reached or milestone[0].encode() in out
            continue
        _kill_session(child.pid)
        note = "\n[killed after %d s%s]" % (deadline - started, "" if reached else ", before " + milestone[0])
        out += child.stdout.read()
        break
    status = child.wait()
    child.stdout.close()
    return (status if not note else None), out.decode("utf-8", errors="replace") + note, reached


def _kill_session(session):
    """SIGKILL to every process of the session we started (its leader's id)."""
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        try:
            with open("/proc/%s/stat" % entry) as f:
                fields = f.read().rsplit(")", 1)[1].split()
        except OSError:
            continue
        if int(fields[3]) == session:
            try:
                os.kill(int(entry), signal.SIGKILL)
            except ProcessLookupError:
                pass


def extension_commands(plugin, config_dir, target):
    return ["source " + EXTENSION, "set threadx plugin " + plugin, "set threadx config-dir " + config_dir,
            "set threadx timeout %d" % PLUGIN_TIMEOUT_SECONDS] + SETTINGS.get(target.name, [])


def gdb_args(target, commands, elf):
    args = [target.gdb, "-nx", "-batch"]
    for command in commands:
        args += ["-ex", command]
    return args + [elf]


def before_target(target, elf, plugin, scratch, failures):
    """GDB with the ELF loaded but nothing running."""
    family, major, label = EXPECT[target.name]
    commands = ["set pagination off", "set width 0"] + extension_commands(plugin, scratch, target) + \
               ["threadx threads", "show threadx cpu-type"]
    status, out, _ = run_bounded(gdb_args(target, commands, target.elf(elf)), GDB_SECONDS)
    if "no running target" not in out or "Address" in out:
        failures.append("%s before the target runs: %r" % (elf, out[-600:]))
    shown = [line for line in out.splitlines() if line.startswith("auto")]
    want_prefix = "auto (%d " % major
    if not shown or not shown[0].startswith(want_prefix) or not shown[0].endswith(": %s)" % label):
        failures.append("%s before the target runs: cpu-type shown as %r, want %s.. %s)"
                        % (elf, shown, want_prefix, label))


def play_back(plugin, record, failures):
    done = subprocess.run([plugin, "-file", record], capture_output=True, text=True, stdin=subprocess.DEVNULL,
                          timeout=PLAYBACK_SECONDS)
    if done.returncode != 0 or "Successfully played back" not in done.stdout:
        failures.append("playback of %s: status %s\n%s%s" % (record, done.returncode, done.stdout[-2000:],
                                                              done.stderr[-2000:]))


def check_elf(target, elf, plugin, scratch, record, failures):
    family, major, label = EXPECT[target.name]
    result = os.path.join(scratch, "result.json")
    if os.path.exists(result):
        os.remove(result)
    env = dict(os.environ, VUSK_REAL_RESULT=result, VUSK_REAL_RECORD=record or "",
               VUSK_REAL_EXPECT=json.dumps({"family": family, "cpu": [major, label], "smp": target.smp,
                                            "many": "many" in elf}))
    for attempt in range(START_ATTEMPTS):
        with target.stopped(elf) as stop:
            commands = stop.commands() + extension_commands(plugin, scratch, target) + ["source " + CHECK]
            started = time.monotonic()
            status, out, stopped = run_bounded(gdb_args(target, commands, stop.elf), GDB_SECONDS, env,
                                               (STOP_MARK, STOP_SECONDS))
            seconds = time.monotonic() - started
        if stopped:
            break
        print("%s %s: the kernel did not reach scenario_stop within %d s; started again"
              % (target.name, elf, STOP_SECONDS))
    if not os.path.exists(result):
        failures.append("%s: GDB gave no result (status %s):\n%s" % (elf, status, out[-3000:]))
        return
    with open(result, encoding="utf-8") as f:
        outcome = json.load(f)
    for line in out.splitlines():
        if "vusk_threadx (stderr)" in line or "Traceback" in line or "failed in the host" in line:
            outcome["mismatches"].append("GDB output: " + line)
    print("%s %s: %d cells checked, %d mismatches, %.1f s" % (target.name, elf, outcome["checked"],
                                                               len(outcome["mismatches"]), seconds))
    for note in outcome["notes"]:
        print("    left out: " + note)
    failures.extend("%s %s: %s" % (target.name, elf, m) for m in outcome["mismatches"])
    if record:
        play_back(plugin, record, failures)


def main():
    if sys.argv[1:] == ["--list"]:
        print("\n".join(t.name for t in targets.TARGETS))
        return 0
    if len(sys.argv) != 2:
        print(__doc__)
        return 2
    target = targets.find(sys.argv[1])
    reason = target.missing()
    if reason:
        print("SKIP: " + reason)
        return targets.SKIP
    plugin = os.environ.get("VUSK_PLUGIN")
    if not plugin:
        print("real_test: set VUSK_PLUGIN")
        return 2
    failures = []
    with tempfile.TemporaryDirectory(prefix="vusk_real_") as scratch:
        before_target(target, target.elfs[0], plugin, scratch, failures)
        for index, elf in enumerate(target.elfs):
            record = os.path.join(scratch, "session.rec") if index == 0 else None
            check_elf(target, elf, plugin, scratch, record, failures)
    for failure in failures:
        print("FAIL " + failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
