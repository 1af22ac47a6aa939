"""What the extension's commands show, read back by the real-kernel checkers
(GDB Python scripts). Only parsing lives here; what is true of the kernel is
kernel_truth's business."""

import gdb


def shown_registers(address):
    """name -> int, or None for <unavailable>, as `threadx registers` shows
    the thread whose control block is at address."""
    text = gdb.execute("threadx registers 0x%x" % address, to_string=True)
    shown = {}
    for line in text.splitlines()[1:]:
        parts = line.split()
        if len(parts) >= 2:
            shown[parts[0]] = None if parts[1] == "<unavailable>" else int(parts[1], 16)
    return shown
