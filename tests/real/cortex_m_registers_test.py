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
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import targets  # noqa: E402

CHECKER = os.path.join(HERE, "cortex_m_registers_gdb.py")


def main():
    name, opt = sys.argv[1], sys.argv[2]
    plugin = os.environ.get("VUSK_PLUGIN") or os.path.join(targets.SOURCE, "build", "vusk_threadx")
    target = targets.find(name)
    reason = target.missing()
    if reason:
        print("SKIP: %s" % reason)
        return targets.SKIP
    with tempfile.TemporaryDirectory(prefix="vusk_real_") as scratch:
        env = dict(os.environ, VUSK_REAL_TARGET=name, VUSK_REAL_OPT=opt)
        run = targets.checked_session(target, "scenario-%s.elf" % opt, plugin, CHECKER, scratch, env)
    for line in run.notable_lines():
        print(line)
    if run.summary is None:
        print(run.output[-3000:])
        print("FAIL: the check did not finish")
        return 1
    print(run.summary)
    if run.failures != 0:
        return 1
    print("playback: status %d, %s" % (run.playback_status, run.playback_text))
    return 0 if run.passed() else 1


if __name__ == "__main__":
    sys.exit(main())
