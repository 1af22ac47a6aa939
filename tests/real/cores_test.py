#!/usr/bin/env python3
"""The cores of a real ThreadX kernel as the GDB extension finds and shows
them, against the kernel read by plain GDB at the same stop.

    cores_test.py TARGET OPT        # e.g. aarch64-smp O0

Nothing about cores is configured: the extension must give the plugin the
kernel's own core count at TargetInit (4 on the SMP kernels, 1 with no core
list elsewhere, exactly as before cores were looked for), and
cores_gdb.py checks `threadx current`, the status and core columns of
`threadx threads` and the registers of running (and, on AArch64, saved)
threads. The session is recorded and must play back. Environment:
VUSK_PLUGIN. Exits 77 (skipped) when the kernels or QEMU are not here.
"""

import json
import os
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import targets  # noqa: E402

CHECKER = os.path.join(HERE, "cores_gdb.py")
SMP_CORES = 4        # both SMP kernels (TX_THREAD_SMP_MAX_CORES)


def target_init(record):
    """The params of the first TargetInit in a record."""
    with open(record, encoding="utf-8") as f:
        for line in f:
            tag, _, message = line.partition(":")
            if tag.strip() == "PLISK" and "VUSK_Client_TargetInit" in message:
                return json.loads(message)["params"]
    return None


def check_cores_given(target, record):
    params = target_init(record)
    if params is None:
        return ["the record holds no TargetInit"]
    want = SMP_CORES if target.smp else 1
    problems = []
    if params.get("coreCount") != want:
        problems.append("TargetInit coreCount %r, not %d" % (params.get("coreCount"), want))
    if target.smp and params.get("coreIdList") != list(range(1, want + 1)):
        problems.append("TargetInit coreIdList %r" % params.get("coreIdList"))
    if not target.smp and "coreIdList" in params:
        problems.append("a single-core kernel got a core list %r" % params["coreIdList"])
    return problems


if __name__ == "__main__":
    sys.exit(targets.checked_main(sys.argv, CHECKER, record_problems=check_cores_given))
