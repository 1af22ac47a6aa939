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

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)
import targets  # noqa: E402

CHECKER = os.path.join(HERE, "cortex_m_registers_gdb.py")


if __name__ == "__main__":
    sys.exit(targets.checked_main(sys.argv, CHECKER))
