#!/usr/bin/env python3
"""Registers of every thread on a real Cortex-M ThreadX kernel, through GDB
and the plugin, against the saved frames read by plain GDB.

    cortex_m_registers_test.py TARGET OPT      # e.g. cortex-m4f O0

Starts the kernel (tests/real/targets.py), stops GDB at scenario_stop, and
inside GDB records the plugin conversation while cortex_m_registers_gdb.py
compares `threadx registers` of all 23 threads with its own reading. Then
the record must play back with status 0. Environment: VUSK_PLUGIN (the
plugin to use). Exits 77 (skipped) when the kernels or QEMU are not here.
"""

import os
import re
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import targets  # noqa: E402

SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
CHECKER = os.path.join(HERE, "cortex_m_registers_gdb.py")
EXTENSION = os.path.join(SOURCE, "host", "gdb", "vusk_gdb.py")
GDB_SECONDS = 240
PLAYBACK_SECONDS = 60
SUMMARY = re.compile(r"^CHECKED threads=(\d+) registers=(\d+) failures=(\d+)$", re.M)


def main():
    name, opt = sys.argv[1], sys.argv[2]
    plugin = os.environ.get("VUSK_PLUGIN") or os.path.join(SOURCE, "build", "vusk_threadx")
    target = targets.find(name)
    reason = target.missing()
    if reason:
        print("SKIP: %s" % reason)
        return targets.SKIP
    with tempfile.TemporaryDirectory(prefix="vusk_real_") as scratch:
        record = os.path.join(scratch, "session.rec")
        with target.stopped("scenario-%s.elf" % opt) as stop:
            commands = stop.commands() + [
                "source " + EXTENSION,
                "set threadx plugin " + plugin,
                "set threadx config-dir " + os.path.join(scratch, "no_config"),
                "threadx record " + record,
                "source " + CHECKER,
                "threadx record off",
            ]
            args = [target.gdb, "-nx", "-batch", stop.elf]
            for command in commands:
                args += ["-ex", command]
            env = dict(os.environ, VUSK_REAL_TARGET=name, VUSK_REAL_OPT=opt)
            run = subprocess.run(args, capture_output=True, text=True, env=env, timeout=GDB_SECONDS,
                                 stdin=subprocess.DEVNULL)
        output = run.stdout + run.stderr
        for line in output.splitlines():
            if line.startswith("FAIL:") or "Error" in line or "vusk_threadx" in line:
                print(line)
        summary = SUMMARY.search(run.stdout)
        if not summary:
            print(output[-3000:])
            print("FAIL: the check did not finish")
            return 1
        print(summary.group(0))
        if int(summary.group(3)) != 0:
            return 1
        played = subprocess.run([plugin, "-file", record], capture_output=True, text=True, timeout=PLAYBACK_SECONDS,
                                cwd=scratch)
        print("playback: status %d, %s" % (played.returncode, (played.stdout + played.stderr).strip()))
        return 0 if played.returncode == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
