"""Inside GDB, stopped at scenario_stop of a real ThreadX kernel: what the
extension shows of the kernel's cores, against the kernel read by plain
GDB at this stop (which core runs which thread varies from run to run on
aarch64-smp).

- `threadx current`: on an SMP kernel one line per core, the thread in
  _tx_thread_current_ptr[k]; on a single-core kernel the one thread.
- `threadx threads`: each thread's status (Executing on Core k for the
  running ones), core column (tx_thread_smp_cores_excluded) and mapped
  core (tx_thread_smp_core_mapped); "N/A" for both on a single-core kernel;
  on aarch64-smp the stack of the thread on the selected core, from $sp.
- `threadx registers` of each running thread: the registers of the GDB
  thread of its core (QEMU: the thread whose details say CPU#k; Linux port:
  the thread `info threads` names by the pthread id the control block
  holds).
- aarch64-smp: every other thread's registers against its saved frame,
  decoded here from the targets README's frame table (the FP flag read at
  its offset, not by name).
- `threadx core-count` as an override, last (it restarts the plugin).

Run by cores_test.py (environment: VUSK_REAL_TARGET). Prints one
"FAIL: ..." line per difference and, when it got through,
"CHECKED threads=N registers=M failures=F".
"""

import os
import re
import struct
import sys

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from shown import shown_registers  # noqa: E402

TARGET = os.environ["VUSK_REAL_TARGET"]

READY, COMPLETED, TERMINATED = 0, 1, 2
X86_64_REGISTERS = ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp"] + ["r%d" % i for i in range(8, 16)] + \
                   ["rip", "eflags"]
AARCH64_REGISTERS = ["x%d" % i for i in range(31)] + ["sp", "pc", "cpsr"]
AARCH64_FP_FLAG_OFFSET = 268        # in TX_THREAD (the targets README)
_INFO_THREAD = re.compile(r"^\*?\s*(\d+)\s+Thread (0x[0-9a-f]+) \(LWP", re.M)
_CPU_DETAILS = re.compile(r"^CPU#(\d+)")

failures = []


def fail(text):
    failures.append(text)
    gdb.write("FAIL: %s\n" % text)


def value(expression):
    return int(gdb.parse_and_eval(expression))


def words(address, count):
    data = gdb.selected_inferior().read_memory(address, 8 * count).tobytes()
    return struct.unpack("<%dQ" % count, data)


def symbol(address):
    text = gdb.execute("info symbol 0x%x" % address, to_string=True)
    m = re.match(r"^(\S+)(?: \+ \d+)? in section", text)
    return m.group(1) if m else None


class Thread:
    def __init__(self, address):
        block = gdb.parse_and_eval("*(TX_THREAD *)0x%x" % address)
        self.address = address
        self.name = block["tx_thread_name"].string("utf-8", "replace") if int(block["tx_thread_name"]) else None
        self.label = self.name if self.name is not None else "0x%08x" % address
        self.state = int(block["tx_thread_state"])
        self.stack_ptr = int(block["tx_thread_stack_ptr"])
        self.smp = kernel_cores() > 1
        if self.smp:
            self.mapped = int(block["tx_thread_smp_core_mapped"])
            self.excluded = int(block["tx_thread_smp_cores_excluded"])


def kernel_cores():
    kind = gdb.parse_and_eval("_tx_thread_current_ptr").type.strip_typedefs()
    return kind.range()[1] + 1 if kind.code == gdb.TYPE_CODE_ARRAY else 1


def running():
    """Kernel core index -> running thread address (0: none)."""
    if kernel_cores() == 1:
        return {0: value("(unsigned long)_tx_thread_current_ptr")}
    return {k: value("(unsigned long)_tx_thread_current_ptr[%d]" % k) for k in range(kernel_cores())}


def created_threads():
    found = []
    first = address = value("(unsigned long)_tx_thread_created_ptr")
    for _ in range(value("_tx_thread_created_count")):
        found.append(Thread(address))
        address = value("(unsigned long)((TX_THREAD *)0x%x)->tx_thread_created_next" % address)
        if address == first:
            break
    return found


# ---- what the extension shows -------------------------------------------------

def threads_table():
    """address -> {heading: cell} of `threadx threads`; columns start where
    their headings do."""
    lines = gdb.execute("threadx threads", to_string=True).splitlines()
    headings = re.findall(r"\S+(?: \S+)*", lines[0])
    starts = [lines[0].index(h) for h in headings]
    rows = {}
    for line in lines[2:]:
        if line.startswith(" "):
            continue
        cells = [line[a:b].strip() for a, b in zip(starts, starts[1:] + [len(line) + 1])]
        rows[int(cells[1], 16)] = dict(zip(headings, cells))
    return rows


# ---- what plain GDB reads -------------------------------------------------------

def gdb_thread_of_core(core, thread_address):
    """The GDB thread that holds core `core`: QEMU's CPU#core, or the host
    thread `info threads` names by the pthread id of the thread running
    there."""
    threads = gdb.selected_inferior().threads()
    if TARGET.startswith("linux"):
        pthread = value("(unsigned long)((TX_THREAD *)0x%x)->tx_thread_linux_thread_id" % thread_address)
        listed = {int(tid, 16): int(num) for num, tid in _INFO_THREAD.findall(gdb.execute("info threads",
                                                                                             to_string=True))}
        return next((t for t in threads if t.num == listed.get(pthread)), None)
    for t in threads:
        m = _CPU_DETAILS.match(getattr(t, "details", None) or "")
        if m and int(m.group(1)) == core:
            return t
    return None


def core_registers(gdb_thread, names):
    selected = gdb.selected_thread()
    gdb_thread.switch()
    try:
        frame = gdb.newest_frame()
        return {name: int(frame.read_register(name)) & ((1 << 64) - 1) for name in names}
    finally:
        selected.switch()


def aarch64_saved(thread):
    """The registers the port's frames keep, decoded by the README's table."""
    sp = thread.stack_ptr
    fp = struct.unpack("<I", gdb.selected_inferior().read_memory(
        thread.address + AARCH64_FP_FLAG_OFFSET, 4).tobytes())[0] != 0
    first = words(sp, 2)
    regs = {name: None for name in AARCH64_REGISTERS}
    if first[1] == 0:        # solicited
        start, size = (160, 256) if fp else (16, 112)
        saved = words(sp + start, 12)
        for i, n in enumerate((27, 28, 25, 26, 23, 24, 21, 22, 19, 20, 29, 30)):
            regs["x%d" % n] = saved[i]
        regs["pc"] = regs["x30"]
    else:
        start, size = (544, 800) if fp else (16, 272)
        saved = words(sp + start, 32)
        for i, n in enumerate((28, 29, 26, 27, 24, 25, 22, 23, 20, 21)):
            regs["x%d" % n] = saved[i]
        for i, n in enumerate((18, 19, 16, 17, 14, 15, 12, 13, 10, 11, 8, 9, 6, 7, 4, 5, 2, 3, 0, 1)):
            regs["x%d" % n] = saved[10 + i]
        regs["x29"], regs["x30"] = saved[30], saved[31]
        regs["pc"], regs["cpsr"] = first[1], first[0] & 0xFFFFFFFF
    regs["sp"] = sp + size
    return regs, fp, size


# ---- checks ---------------------------------------------------------------------

def check_current(cores):
    text = gdb.execute("threadx current", to_string=True)
    if len(cores) == 1:
        thread = Thread(cores[0])
        want = "Current thread: %s (0x%x), Executing" % (thread.label, thread.address)
        if text.strip() != want:
            fail("threadx current shows %r, not %r" % (text.strip(), want))
        return
    lines = text.strip().splitlines()
    if len(lines) != len(cores):
        fail("threadx current shows %d lines for %d cores: %r" % (len(lines), len(cores), text))
    for core, address in cores.items():
        thread = Thread(address)
        want = "Core %d: %s (0x%x), Executing on Core %d" % (core, thread.label, address, core)
        if want not in lines:
            fail("threadx current lacks %r: %r" % (want, text))


def status_of(thread, cores):
    on = [k for k, address in cores.items() if address == thread.address]
    if on:
        return "Executing on Core %d" % on[0] if len(cores) > 1 else "Executing"
    if thread.state == READY:
        return "Ready"
    return {COMPLETED: "Completed", TERMINATED: "Terminated"}.get(thread.state, "Suspended")


def check_table(threads, cores):
    rows = threads_table()
    for thread in threads:
        row = rows.get(thread.address)
        if row is None:
            fail("%s: not in threadx threads" % thread.label)
            continue
        want = {"Status": status_of(thread, cores)}
        if thread.smp:
            want["Core"] = "0x%x" % (thread.excluded & 0xFFFF)
            want["Mapped core"] = "0x%x" % (thread.mapped & 0xFF)
        else:
            want["Core"] = want["Mapped core"] = "N/A"
        for heading, cell in want.items():
            if row[heading] != cell:
                fail("%s: %s shows %r, the kernel %r" % (thread.label, heading, row[heading], cell))
    if len(rows) != len(threads):
        fail("threadx threads has %d rows for %d threads" % (len(rows), len(threads)))
    if TARGET == "aarch64-smp":
        check_selected_stack(rows, cores)


def check_selected_stack(rows, cores):
    """The thread on the selected core measures its stack from $sp: the
    SMP text finds that core by $mpidr_el1.Aff0, which QEMU lacks and the
    extension answers."""
    m = _CPU_DETAILS.match(gdb.selected_thread().details or "")
    address = cores.get(int(m.group(1))) if m else None
    if not address:
        fail("no thread on the selected core (%r)" % gdb.selected_thread().details)
        return
    block = "((TX_THREAD *)0x%x)" % address
    want = "%d/%d" % (value("(char *)%s->tx_thread_stack_end - (char *)$sp + 1" % block),
                      value("(char *)%s->tx_thread_stack_end - (char *)%s->tx_thread_stack_start + 1" % (block, block)))
    shown = rows.get(address, {}).get("Stack used/size")
    if shown != want:
        fail("%s on the selected core: stack %r, from $sp %r" % (Thread(address).label, shown, want))


def compare(label, shown, expected):
    if sorted(shown) != sorted(expected):
        fail("%s: shows registers %s" % (label, " ".join(shown)))
    for name, want in expected.items():
        if shown.get(name, "missing") != want:
            got = shown.get(name, "missing")
            fail("%s: %s shown %s, expected %s" % (label, name, _hex(got), _hex(want)))
    return len(expected)


def _hex(number):
    return "0x%x" % number if isinstance(number, int) else str(number)


def check_running_registers(cores):
    names = AARCH64_REGISTERS if TARGET == "aarch64-smp" else X86_64_REGISTERS
    checked = 0
    for core, address in cores.items():
        if not address:
            continue
        holder = gdb_thread_of_core(core, address)
        if holder is None:
            fail("core %d: no GDB thread found for it" % core)
            continue
        live = core_registers(holder, names)
        checked += compare("%s (core %d)" % (Thread(address).label, core), shown_registers(address), live)
    return checked


def check_aarch64_saved(threads, cores):
    checked = 0
    executing = set(cores.values())
    for thread in threads:
        if thread.address in executing:
            continue
        regs, fp, size = aarch64_saved(thread)
        checked += compare(thread.label, shown_registers(thread.address), regs)
        if fp != (thread.name in ("fp_worker_1", "fp_worker_2")):
            fail("%s: FP flag %s" % (thread.label, fp))
        pc_in = symbol(regs["pc"])
        if thread.name == "never_started":
            if pc_in != "_tx_thread_shell_entry" or regs["cpsr"] != 0x4:
                fail("never_started: pc in %s, cpsr %s" % (pc_in, _hex(regs["cpsr"])))
        else:
            # Blocked in a kernel call: the frame pointer saved above the
            # frame, the return into the kernel's suspend.
            if regs["x29"] != thread.stack_ptr + size:
                fail("%s: x29 %s, not the stack pointer above the %d-byte frame" % (thread.label,
                                                                                  _hex(regs["x29"]), size))
            if pc_in != "_tx_thread_system_suspend":
                fail("%s: saved pc in %s" % (thread.label, pc_in))
    return checked


def check_core_count_setting(cores):
    """`threadx core-count` overrides the kernel's count: fewer cores than
    the kernel has are refused with the reason, as many work; on a
    single-core kernel more cores change nothing. (The plugin restarts at
    each change, which ends the record.)"""
    plain = gdb.execute("threadx current", to_string=True)
    gdb.execute("set threadx core-count %d" % (2 if len(cores) > 2 else 3))
    try:
        shown = gdb.execute("threadx current", to_string=True)
        if len(cores) > 2:
            fail("core-count 2 on a %d-core kernel was taken: %r" % (len(cores), shown))
        elif shown != plain:
            fail("core-count 3 on a single-core kernel shows %r, not %r" % (shown, plain))
    except gdb.error as e:
        if len(cores) <= 2 or "the kernel has %d cores" % len(cores) not in str(e):
            fail("core-count: %s" % e)
    gdb.execute("set threadx core-count %d" % len(cores))
    if gdb.execute("threadx current", to_string=True) != plain:
        fail("core-count %d shows another threadx current" % len(cores))
    gdb.execute("set threadx core-count 0")


def main():
    cores = running()
    threads = created_threads()
    check_current(cores)
    check_table(threads, cores)
    checked = 0
    if len(cores) > 1:
        checked += check_running_registers(cores)
    if TARGET == "aarch64-smp":
        checked += check_aarch64_saved(threads, cores)
    check_core_count_setting(cores)
    gdb.write("CHECKED threads=%d registers=%d failures=%d\n" % (len(threads), checked, len(failures)))


main()
