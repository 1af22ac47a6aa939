"""Every `threadx` command on a kernel stopped at scenario_stop, each cell
compared with what kernel_truth reads from the control blocks.

Sourced in GDB after the extension is loaded and set up (tests/real/
real_test.py drives it). Environment:
    VUSK_REAL_EXPECT   JSON: {"family": "cortex-m" | "cortex-m0" | "x86-64" |
                       "aarch64", "cpu": [major, label], "smp": bool,
                       "many": bool}
    VUSK_REAL_RECORD   record file of the session ("" for none)
    VUSK_REAL_RESULT   where the result goes (JSON: mismatches, checked,
                       notes)

The expected texts are rendered here from the kernel's values with the
display rules the tables promise (host/gdb/README.md); the values never
come from the plugin. Left out, with the reason in "notes":
- SMP kernels: which threads execute, on which core, the stacks of the
  ready threads (measured by the current core's stack pointer), the
  executing threads' registers, and `threadx current`: cores_gdb.py
  (gdb.real.cores.*) checks them against the kernel's cores;
- the saved frames of suspended threads on CPUs with a shipped layout,
  which cortex_m_registers_gdb.py (gdb.real.registers.*, Cortex-M,
  floating-point registers included) and cores_gdb.py (AArch64) decode
  with each port's table.
"""

import json
import os
import re
import sys
import traceback

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "gdb"))
import kernel_truth as truth  # noqa: E402
import value_model_check  # noqa: E402

STATE_WORDS = {truth.READY: "Ready", truth.COMPLETED: "Completed", truth.TERMINATED: "Terminated"}
# The label of "Suspended on" by thread state; other states show N/A.
WAIT_LABELS = {5: "Queue", 6: "Semaphore", 7: "Event Flags Group", 8: "Block Pool", 9: "Byte Pool", 4: "Sleep",
               3: "Suspend Call", 10: "I/O Driver", 11: "File", 12: "TCP/IP", 13: "Mutex"}
REGISTER_NAMES = {
    "cortex-m": ["r%d" % i for i in range(13)] + ["sp", "lr", "pc", "xpsr"],
    "x86-64": ["rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp"] + ["r%d" % i for i in range(8, 16)]
              + ["rip", "eflags"],
    "aarch64": ["x%d" % i for i in range(31)] + ["sp", "pc", "cpsr"],
}
REGISTER_NAMES["cortex-m0"] = REGISTER_NAMES["cortex-m"]
# Registers shown in 32 bits; the rest of x86-64 and AArch64 in 64.
NARROW = {"eflags", "cpsr"}
NO_LAYOUT_LINE = "no register layout for CPU type %d/%d; see host/gdb/README.md, 'Adding a CPU'"
CPU_TYPE_SHOWN = re.compile(r"^auto \((\d+) (-?\d+): (.+)\)$")


class Check:
    def __init__(self, expect):
        self.expect = expect
        self.family = expect["family"]
        self.smp = expect["smp"]
        self.wide = truth.pointer_size() == 8
        self.mismatches = []
        self.notes = []
        self.checked = 0

    def same(self, where, got, want):
        self.checked += 1
        if got != want:
            self.mismatches.append("%s: got %r, want %r" % (where, got, want))

    def note(self, text):
        if text not in self.notes:
            self.notes.append(text)

    # ------------------------------------------------------------ texts

    def unnamed(self, address):
        return "0x%016x" % address if self.wide else "0x%08x" % address

    def table_name(self, name, address):
        return name if name is not None else self.unnamed(address)

    @staticmethod
    def task_name(thread):
        return thread.name if thread.name is not None else "0x%x" % thread.address


def run(command):
    try:
        return gdb.execute(command, to_string=True)
    except gdb.error as e:
        return "error: %s\n" % e


def parse_table(text):
    """(headings, rows): each row is (cells, waiting names); None when the
    text is no table. Columns are found from the underline row."""
    lines = text.rstrip("\n").split("\n")
    if len(lines) < 2 or not set(lines[1]) <= {"-", " "} or "-" not in lines[1]:
        return None
    spans = [(m.start(), m.end()) for m in re.finditer(r"-+", lines[1])]

    def cells(line):
        out = []
        for i, (start, end) in enumerate(spans):
            stop = spans[i + 1][0] if i + 1 < len(spans) else len(line)
            out.append(line[start:stop].strip())
        return out

    rows = []
    for line in lines[2:]:
        if line.startswith("    waiting: ") and rows:
            rows[-1][1].extend(line[len("    waiting: "):].split(", "))
        else:
            rows.append((cells(line), []))
    return cells(lines[0]), rows


def table(check, command, want_rows):
    """Runs one kind's command and checks row count and each row's cells:
    want_rows holds (label, [expected cell or None to leave out], waiting
    names or None)."""
    text = run("threadx " + command)
    parsed = parse_table(text)
    if parsed is None:
        check.mismatches.append("threadx %s: no table: %r" % (command, text[:300]))
        return
    _, rows = parsed
    check.same("threadx %s: rows" % command, len(rows), len(want_rows))
    for (cells, waiting), (label, want_cells, want_waiting) in zip(rows, want_rows):
        for column, want in enumerate(want_cells):
            if want is not None:
                got = cells[column] if column < len(cells) else None
                check.same("threadx %s: %s column %d" % (command, label, column), got, want)
        if want_waiting is not None:
            check.same("threadx %s: %s waiting" % (command, label), waiting, want_waiting)


# ---------------------------------------------------------------- threads

def stack_text(thread, pointer):
    """used/size, or N/A/size when the pointer is not inside the stack."""
    inside = thread.stack_start <= pointer <= thread.stack_end + 1
    used = "%d" % (thread.stack_end - pointer + 1) if inside else "N/A"
    return "%s/%d" % (used, thread.stack_end - thread.stack_start + 1)


def wait_text(thread):
    label = WAIT_LABELS.get(thread.state, "N/A")
    if thread.state >= 5 and thread.wait_block:
        return label + " " + (thread.wait_name if thread.wait_name is not None else "0x%x" % thread.wait_block)
    return label


def thread_rows(check, threads, running):
    live_sp = int(gdb.parse_and_eval("(unsigned long long)$sp"))
    rows = []
    for t in threads:
        executing = t.address in running
        status = "Executing" if executing else STATE_WORDS.get(t.state, "Suspended")
        stack = stack_text(t, live_sp if executing else t.stack_ptr)
        cores = ["N/A", "N/A"]
        if check.smp:
            # Issue 16: the cores. Which thread a core runs is what the
            # stack of a ready thread is measured by (the current core's
            # stack pointer), and what the status of an executing one says.
            cores = [None, None]
            if executing:
                status = None
            if executing or t.state == truth.READY:
                stack = None
        rows.append((t.name or hex(t.address), [check.table_name(t.name, t.address), "0x%x" % t.address,
                                                 str(t.run_count), status, "%d (%d)" % (t.priority, t.threshold),
                                                 stack, wait_text(t)] + cores, None))
    if check.smp:
        check.note("SMP: status of the executing threads, stack of the ready ones, core and mapped core "
                   "are gdb.real.cores.*'s to check")
    return rows


# ---------------------------------------------------------------- timers

def timer_rows(check, timers):
    facts = truth.timer_facts()
    tick_moved = int(gdb.parse_and_eval("_tx_timer_system_clock")) != int(gdb.parse_and_eval("scenario_stop_tick"))
    rows = []
    for t in timers:
        label = t.name or hex(t.address)
        fact = facts.get(t.address)
        if fact is None:
            check.mismatches.append("truth: timer %s has no entry in scenario_timer_facts" % label)
        elif tick_moved:
            check.note("the tick moved between the timer facts and the stop: facts not compared")
        else:
            # The walk above must reproduce the kernel's own answers.
            check.same("truth: timer %s (active, remaining, reload) against scenario_timer_facts" % label,
                       (int(t.head != 0), t.remaining, t.reload), fact)
        rows.append((label, [check.table_name(t.name, t.address), "0x%x" % t.address, str(t.remaining),
                             str(t.reload), truth.function_name(t.function)], None))
    return rows


# ---------------------------------------------------------------- other kinds

def waiting_names(check, objects_waiting, by_address):
    names = []
    for address in objects_waiting:
        thread = by_address.get(address)
        names.append(check.table_name(thread.name if thread else None, address))
    return names


# The figure columns of each kind, from the kernel's fields.
FIGURES = {
    "semaphores": lambda f: [str(f["count"])],
    "queues": lambda f: ["%d ULONG%s" % (f["message_size"], "" if f["message_size"] == 1 else "s"),
                         "%d/%d" % (f["enqueued"], f["capacity"])],
    "event-flags": lambda f: ["0x%x" % f["current"]],
    "block-pools": lambda f: [str(f["block_size"]), "%d/%d" % (f["total"] - f["available"], f["total"])],
    "byte-pools": lambda f: ["%d/%d" % (f["size"] - f["available"], f["size"])],
    "mutexes": lambda f: [str(f["original_priority"]), str(f["ownership_count"])],
}


def kind_rows(check, command, by_address):
    rows = []
    for o in truth.objects(command):
        cells = [check.table_name(o.name, o.address), "0x%x" % o.address] + FIGURES[command](o.figures) + \
                [str(o.suspended_count)]
        rows.append((o.name or hex(o.address), cells, waiting_names(check, o.waiting, by_address)))
    return rows


# ---------------------------------------------------------------- registers

def live_registers(names):
    frame = gdb.newest_frame()
    return {n: int(frame.read_register(n)) & ((1 << 64) - 1) for n in names}


def register_text(name, value, family):
    bits = 32 if family.startswith("cortex-m") or name in NARROW else 64
    return "%-8s 0x%0*x" % (name, bits // 4, value & ((1 << bits) - 1))


def check_registers(check, designator, thread, status, want_lines=None):
    """want_lines None: only which thread it shows (the heading)."""
    heading = "Registers of %s (0x%x), %s:" % (check.task_name(thread), thread.address, status)
    got = run("threadx registers " + designator).rstrip("\n").split("\n")
    if want_lines is None:
        check.same("threadx registers %s" % designator, got[:1], [heading])
        return
    if check.family.startswith("cortex-m"):
        # The integer registers; the floating-point ones of the FPU targets
        # are gdb.real.registers.*'s to check.
        names = set(REGISTER_NAMES[check.family])
        got = got[:1] + [line for line in got[1:] if line.split()[0] in names]
    check.same("threadx registers %s" % designator, got, [heading] + want_lines)


def registers(check, threads, running, cpu):
    family = check.family
    names = REGISTER_NAMES[family]
    by_name = {t.name: t for t in threads if t.name}
    if not check.smp:
        current = next(t for t in threads if t.address in running)
        live = live_registers(names)
        check_registers(check, current.name, current, "Executing", [register_text(n, live[n], family) for n in names])
    else:
        check.note("SMP: the executing threads' registers are gdb.real.cores.*'s to check")
    # Every suspended thread of the scenario; the 109-thread builds add
    # nothing new to read there, so they only name sem_waiter_1 below. The
    # saved frames of the CPUs with a shipped layout are decoded by their
    # own tests: Cortex-M by gdb.real.registers.* (cortex_m_registers_gdb.py),
    # AArch64 by gdb.real.cores.* (cores_gdb.py); without a layout the one
    # line saying so is checked here.
    has_layout = family.startswith("cortex-m") or family == "aarch64"
    suspended = [] if check.expect["many"] or has_layout else [t for t in threads if t.address not in running]
    for t in suspended:
        status = "Suspended" if t.state > truth.TERMINATED else STATE_WORDS[t.state]
        check_registers(check, t.name if t.name else "0x%x" % t.address, t, status, [NO_LAYOUT_LINE % tuple(cpu[:2])])
    # The same thread named by a C variable, a pointer and its address.
    sem1 = by_name.get("sem_waiter_1")
    if sem1 is not None:
        want = None if has_layout else [NO_LAYOUT_LINE % tuple(cpu[:2])]
        for designator in ("th_sem1", "&th_sem1", "(TX_THREAD *) 0x%x" % sem1.address):
            check_registers(check, designator, sem1, "Suspended", want)
    refused = run("threadx registers timer_periodic")
    check.same("threadx registers timer_periodic (a timer)", refused.startswith("Registers of"), False)


# ---------------------------------------------------------------- code and data pointers

def pointer_formats(check):
    """/pb and /a as the extension prints them, on a code pointer and on a
    data pointer with bit 0 set: on 32-bit ARM only the code pointer's
    Thumb bit is dropped before the symbol is looked up."""
    from vuskhost import gdb_target, template   # the extension sourced before this file

    target = gdb_target.GdbTemplateTarget()
    function = int(gdb.parse_and_eval("(unsigned long long)timer_periodic.tx_timer_internal"
                                      ".tx_timer_internal_timeout_function"))
    data = int(gdb.parse_and_eval("(unsigned long long)&scenario_stop_tick")) + 1
    cases = (
        ("`print/pb timer_periodic.tx_timer_internal.tx_timer_internal_timeout_function + 0`", "timer_expired_fn"),
        ("`print/a timer_periodic.tx_timer_internal.tx_timer_internal_timeout_function + 0`",
         "0x%x <timer_expired_fn>" % function),
        ("`print/a (int *)((char *)&scenario_stop_tick + 1)`", "0x%x <scenario_stop_tick+1>" % data),
    )
    for text, want in cases:
        try:
            got = template.render(text, target)
        except template.TemplateError as e:
            got = "error: %s" % e
        check.same("template %s" % text, got, want)


# ---------------------------------------------------------------- the whole check

def cpu_type(check):
    shown = run("show threadx cpu-type").strip()
    m = CPU_TYPE_SHOWN.match(shown)
    major, label = check.expect["cpu"]
    if not m:
        check.same("show threadx cpu-type", shown, "auto (%d N: %s)" % (major, label))
        return (major, 0)
    check.same("show threadx cpu-type: major and label", (int(m.group(1)), m.group(3)), (major, label))
    return (int(m.group(1)), int(m.group(2)))


def main():
    check = Check(json.loads(os.environ["VUSK_REAL_EXPECT"]))
    record = os.environ.get("VUSK_REAL_RECORD", "")
    # Every text the plugin sends, evaluated by the extension's value model
    # and again by GDB's own evaluator: the two must agree.
    expressions = value_model_check.CrossCheck(sys.modules["__main__"].vusk_threadx_extension)
    try:
        if record:
            run("threadx record " + record)
        threads = truth.threads()
        running = [a for a in truth.current_threads() if a]
        by_address = {t.address: t for t in threads}
        table(check, "threads", thread_rows(check, threads, running))
        table(check, "timers", timer_rows(check, truth.timers()))
        for command in truth.KINDS:
            table(check, command, kind_rows(check, command, by_address))
        if check.smp:
            check.note("SMP: threadx current is gdb.real.cores.*'s to check")
        else:
            current = by_address[running[0]]
            check.same("threadx current", run("threadx current"),
                       "Current thread: %s (0x%x), Executing\n" % (check.task_name(current), current.address))
        registers(check, threads, running, cpu_type(check))
        pointer_formats(check)
        if record:
            run("threadx record off")
    except Exception:           # the result must say why the check stopped
        check.mismatches.append("the check stopped: %s" % traceback.format_exc())
    expressions.remove()
    check.mismatches += ["value model against GDB: %s" % line for line in expressions.mismatches]
    check.mismatches += ["value model: left to GDB's parser: %s" % text for text in expressions.fallbacks]
    check.checked += expressions.checked
    with open(os.environ["VUSK_REAL_RESULT"], "w", encoding="utf-8") as f:
        json.dump({"mismatches": check.mismatches, "checked": check.checked, "notes": check.notes}, f, indent=1)


main()
