"""Inside GDB, stopped at scenario_stop of a Cortex-M ThreadX kernel:
compares what `threadx registers` shows for every thread with the
registers read independently, by plain GDB, from the thread's saved frame
with the port's own table (the targets README, "Saved frames of the
Cortex-M ports"), and for the running thread with the CPU's registers.

Run by cortex_m_registers_test.py, which tells the target in the
environment (VUSK_REAL_TARGET, VUSK_REAL_OPT). Prints one "FAIL: ..." line
per difference and, when it got through, "CHECKED threads=N registers=M".
"""

import collections
import os
import re
import struct
import sys

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shown import shown_registers  # noqa: E402

TARGET = os.environ["VUSK_REAL_TARGET"]
OPT = os.environ["VUSK_REAL_OPT"]

FPU_TARGETS = ("cortex-m4f", "cortex-m7", "cortex-m33")
# Threads that used the FPU before they were switched out: on the FPU
# targets exactly these saved the extended frame (EXC_RETURN 0xffffffed).
FP_THREADS = ("fp_worker_1", "fp_worker_2", "spin_fp")
EXC_RETURN_INTEGER = 0xFFFFFFFD
EXC_RETURN_EXTENDED = 0xFFFFFFED
XPSR_ALIGNED = 1 << 9     # the hardware put a 4-byte pad above the frame
ALIGN_PAD = 4
READY = 0


def _words(first, names):
    return {name: first + 4 * i for i, name in enumerate(names)}


_R4_R11 = ["r%d" % i for i in range(4, 12)]
_STACKED = ["r0", "r1", "r2", "r3", "r12", "lr", "pc", "xpsr"]

# Where each register lies: offsets from tx_thread_stack_ptr (EXC_RETURN at
# 0), and the frame's size.
Frame = collections.namedtuple("Frame", "offsets size")
INTEGER_FRAME = Frame(dict(_words(4, _R4_R11), **_words(36, _STACKED)), 68)
EXTENDED_FRAME = Frame(dict(_words(4, ["s%d" % i for i in range(16, 32)]), **_words(68, _R4_R11),
                            **_words(100, _STACKED), **_words(132, ["s%d" % i for i in range(16)]), fpscr=196), 204)
ARMV6_FRAME = Frame(dict(_words(4, ["r8", "r9", "r10", "r11"]), **_words(20, ["r4", "r5", "r6", "r7"]),
                         **_words(36, _STACKED)), 68)

INTEGER_NAMES = ["r%d" % i for i in range(13)] + ["sp", "lr", "pc", "xpsr"]
FP_NAMES = ["s%d" % i for i in range(32)] + ["fpscr"]

failures = []


def fail(text):
    failures.append(text)
    gdb.write("FAIL: %s\n" % text)


def word(address):
    return struct.unpack("<I", gdb.selected_inferior().read_memory(address, 4).tobytes())[0]


def float_bits(number):
    return struct.unpack("<I", struct.pack("<f", number))[0]


def symbol(address):
    text = gdb.execute("info symbol 0x%x" % address, to_string=True)
    m = re.match(r"^(\S+)(?: \+ \d+)? in section", text)
    return m.group(1) if m else None


def threads():
    """(address, name) of every created thread, in list order."""
    found = []
    first = thread = int(gdb.parse_and_eval("(unsigned long)_tx_thread_created_ptr"))
    for _ in range(int(gdb.parse_and_eval("_tx_thread_created_count"))):
        block = gdb.parse_and_eval("*(TX_THREAD *)0x%x" % thread)
        name_ptr = int(block["tx_thread_name"])
        name = block["tx_thread_name"].string("utf-8", "replace") if name_ptr else None
        found.append((thread, name, int(block["tx_thread_state"]), int(block["tx_thread_stack_ptr"])))
        thread = int(block["tx_thread_created_next"])
        if thread == first:
            break
    return found


def saved_registers(name, stack_ptr):
    """The registers the port's table puts in the frame at stack_ptr;
    floating-point registers of an integer frame have no value."""
    exc_return = word(stack_ptr)
    extended = TARGET in FPU_TARGETS and name in FP_THREADS
    if exc_return != (EXC_RETURN_EXTENDED if extended else EXC_RETURN_INTEGER):
        fail("%s: EXC_RETURN 0x%08x" % (name, exc_return))
    frame = ARMV6_FRAME if TARGET == "cortex-m0" else EXTENDED_FRAME if extended else INTEGER_FRAME
    values = {reg: word(stack_ptr + offset) for reg, offset in frame.offsets.items()}
    pad = ALIGN_PAD if values["xpsr"] & XPSR_ALIGNED else 0
    values["sp"] = (stack_ptr + frame.size + pad) & 0xFFFFFFFF
    if TARGET in FPU_TARGETS:
        for reg in FP_NAMES:
            values.setdefault(reg, None)
    return values


def check_values(name, expected, shown):
    wanted = INTEGER_NAMES + (FP_NAMES if TARGET in FPU_TARGETS else [])
    if sorted(shown) != sorted(wanted):
        fail("%s: shows registers %s" % (name, " ".join(shown)))
    for reg in wanted:
        if shown.get(reg, "missing") != expected.get(reg):
            fail("%s: %s shown %s, saved %s" % (name, reg, _hex(shown.get(reg, "missing")), _hex(expected.get(reg))))
    return len(wanted)


def _hex(value):
    return "0x%08x" % value if isinstance(value, int) else str(value)


def check_known_values(name, values):
    """What the scenario left: the floating-point registers of its FP
    threads, and where the saved pc and lr lie."""
    if TARGET in FPU_TARGETS and name in FP_THREADS:
        base = {"fp_worker_1": 100, "fp_worker_2": 200, "spin_fp": 300}[name]
        first = 16 if name == "spin_fp" else 0    # spin_fp's s0-s15 are loop temporaries
        for i in range(first, 32):
            if values["s%d" % i] != float_bits(base + i):
                fail("%s: s%d 0x%08x, not %d.0" % (name, i, values["s%d" % i], base + i))
        if name != "spin_fp" and values["fpscr"] != 0x10:
            fail("%s: fpscr 0x%08x" % (name, values["fpscr"]))
    pc_in, lr = symbol(values["pc"]), values["lr"]
    if name == "never_started":
        wanted, lr_wanted = ("_tx_thread_shell_entry",), "0xffffffff"
        lr_ok = lr == 0xFFFFFFFF
    elif name == "spin_int":
        wanted, lr_ok, lr_wanted = ("spin_int_entry",), True, None
    elif name == "spin_fp":
        wanted = ("spin_fp_entry",) if TARGET in FPU_TARGETS else ("__aeabi_fadd", "__aeabi_fmul", "__mulsf3")
        lr_ok, lr_wanted = True, None
    else:
        # Blocked in a kernel call: switched out in _tx_thread_system_suspend.
        # The stacked lr is what the register held: at -Os on ARMv7-M and
        # ARMv8-M the compiler uses it as a scratch register there and it
        # holds the address of _tx_thread_preempted_maps; otherwise a return
        # address in the kernel.
        wanted = ("_tx_thread_system_suspend",)
        if OPT == "Os" and TARGET != "cortex-m0":
            lr_ok = lr == int(gdb.parse_and_eval("(unsigned long)&_tx_thread_preempted_maps"))
            lr_wanted = "&_tx_thread_preempted_maps"
        else:
            lr_ok, lr_wanted = (symbol(lr) or "").startswith("_tx_"), "a kernel function"
    if pc_in not in wanted:
        fail("%s: saved pc 0x%08x in %s, not %s" % (name, values["pc"], pc_in, " or ".join(wanted)))
    if not lr_ok:
        fail("%s: saved lr 0x%08x (%s), not %s" % (name, lr, symbol(lr), lr_wanted))


def live_registers():
    frame = gdb.newest_frame()
    values = {}
    for reg in INTEGER_NAMES + (FP_NAMES if TARGET in FPU_TARGETS else []):
        value = frame.read_register(reg)
        if value.type.strip_typedefs().code == gdb.TYPE_CODE_FLT:
            values[reg] = int(value.format_string(format="x"), 16)
        else:
            values[reg] = int(value) & 0xFFFFFFFF
    return values


def main():
    current = int(gdb.parse_and_eval("(unsigned long)_tx_thread_current_ptr"))
    checked_threads = checked_registers = 0
    for address, name, state, stack_ptr in threads():
        label = name if name is not None else "0x%08x" % address
        shown = shown_registers(address)
        if address == current:
            checked_registers += check_values(label + " (running)", live_registers(), shown)
        else:
            values = saved_registers(label, stack_ptr)
            checked_registers += check_values(label, values, shown)
            check_known_values(label, values)
            if state == READY and label not in ("peer_ready", "spin_int", "spin_fp"):
                fail("%s: unexpectedly ready" % label)
        checked_threads += 1
    if checked_threads != 23:
        fail("%d threads checked, not 23" % checked_threads)
    gdb.write("CHECKED threads=%d registers=%d failures=%d\n" % (checked_threads, checked_registers, len(failures)))


main()
