"""Inside GDB, at scenario_stop of a 109-thread kernel, after the extension:
the time of every `threadx` view against a direct GDB Python script that
reads the same columns from the same control blocks. Run by
bench_views.py, which reads the JSON line this prints.

Every view is timed as it costs after a stop: before each run GDB's
register and data caches and what the extension read of the target are
dropped and the frame is shown (what a stop does); the extension's parsed
texts and types stay, as they do from one stop to the next. The first run of each view, with
nothing parsed yet, is reported too. The view and the script run in turn,
so that the machine's load falls on both alike. Remote memory packets
("m") of one run of each are counted from GDB's remote-protocol log.

Environment: VUSK_BENCH_RUNS (runs per view), VUSK_BENCH_LOG (a scratch
file for the protocol log; empty on a native target, which has none).
"""

import json
import os
import re
import statistics
import sys
import time

import gdb

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "tests", "real"))
import kernel_truth  # noqa: E402

RUNS = int(os.environ.get("VUSK_BENCH_RUNS", "10"))
LOG = os.environ.get("VUSK_BENCH_LOG", "")
REGISTER_THREAD = "sleeper"
THREAD_ID = 0x54485244
# "Suspended on" by thread state: the object type its control block points to.
WAIT_TYPES = {5: "TX_QUEUE", 6: "TX_SEMAPHORE", 7: "TX_EVENT_FLAGS_GROUP", 8: "TX_BLOCK_POOL",
              9: "TX_BYTE_POOL", 13: "TX_MUTEX"}
# Kind command -> (created list, field prefix, figure fields), as the
# real-kernel tests read them.
OBJECTS = kernel_truth.KINDS
FRAME_WORDS = 17          # a Cortex-M integer frame: EXC_RETURN, r4-r11, r0-r3, r12, lr, pc, xpsr


# ---------------------------------------------------------------- the direct script

def name_of(pointer):
    return pointer.string(errors="replace") if int(pointer) else None


def created(list_name, next_field):
    """The control blocks of a created list, in the kernel's order."""
    count = int(gdb.parse_and_eval("_tx_%s_created_count" % list_name))
    node = gdb.parse_and_eval("_tx_%s_created_ptr" % list_name)
    blocks = []
    for _ in range(count):
        block = node.dereference()
        blocks.append(block)
        node = block[next_field]
    return blocks


def direct_threads():
    current = int(gdb.parse_and_eval("_tx_thread_current_ptr"))
    sp = int(gdb.parse_and_eval("$sp"))
    rows = []
    for block in created("thread", "tx_thread_created_next"):
        address = int(block.address)
        state = int(block["tx_thread_state"])
        pointer = sp if address == current else int(block["tx_thread_stack_ptr"])
        row = [name_of(block["tx_thread_name"]), address, int(block["tx_thread_run_count"]),
               "Executing" if address == current else state,
               int(block["tx_thread_priority"]), int(block["tx_thread_preempt_threshold"]),
               int(block["tx_thread_stack_end"]) - pointer + 1, int(block["tx_thread_stack_size"])]
        waited = block["tx_thread_suspend_control_block"]
        if state in WAIT_TYPES and int(waited):
            kind = WAIT_TYPES[state]
            wait = waited.cast(gdb.lookup_type(kind).pointer()).dereference()
            row.append(name_of(wait["tx_%s_name" % kind[3:].lower()]))
        rows.append(row)
    return rows


def direct_timers():
    start = int(gdb.parse_and_eval("_tx_timer_list_start"))
    end = int(gdb.parse_and_eval("_tx_timer_list_end"))
    current = int(gdb.parse_and_eval("_tx_timer_current_ptr"))
    slot = gdb.lookup_type("void").pointer().sizeof
    rows = []
    for block in created("timer", "tx_timer_created_next"):
        internal = block["tx_timer_internal"]
        head = int(internal["tx_timer_internal_list_head"])
        remaining = int(internal["tx_timer_internal_remaining_ticks"])
        if start <= head < end:
            remaining = (head - current) // slot + 1 if head >= current else (head - start + end - current) // slot + 1
        function = int(internal["tx_timer_internal_timeout_function"])
        code = gdb.block_for_pc(function & ~1) if function else None
        rows.append([name_of(block["tx_timer_name"]), int(block.address), remaining,
                     int(internal["tx_timer_internal_re_initialize_ticks"]),
                     code.function.name if code is not None and code.function is not None else function])
    return rows


def direct_objects(command):
    list_name, prefix, fields = OBJECTS[command]
    rows = []
    for block in created(list_name, prefix + "_created_next"):
        row = [name_of(block[prefix + "_name"]), int(block.address)] + [int(block[prefix + "_" + f]) for f in fields]
        node = block[prefix + "_suspension_list"]
        for _ in range(int(block[prefix + "_suspended_count"])):
            thread = node.dereference()
            row.append(name_of(thread["tx_thread_name"]))
            node = thread["tx_thread_suspended_next"]
        rows.append(row)
    return rows


def direct_current():
    block = gdb.parse_and_eval("_tx_thread_current_ptr").dereference()
    return [name_of(block["tx_thread_name"]), int(block.address), int(block["tx_thread_state"])]


def direct_registers(by_name):
    """The thread found by its name (or at its address), then its saved frame."""
    block = None
    if by_name:
        for candidate in created("thread", "tx_thread_created_next"):
            if name_of(candidate["tx_thread_name"]) == REGISTER_THREAD:
                block = candidate
                break
    else:
        block = gdb.parse_and_eval("&th_" + REGISTER_THREAD).dereference()
    stack = int(block["tx_thread_stack_ptr"])
    return gdb.selected_inferior().read_memory(stack, 4 * FRAME_WORDS).tobytes()


# ---------------------------------------------------------------- timing

def views():
    """(name, threadx command, direct function) of every view."""
    address = int(gdb.parse_and_eval("&th_" + REGISTER_THREAD))
    out = [("threads", "threads", direct_threads), ("timers", "timers", direct_timers)]
    out += [(command, command, lambda c=command: direct_objects(c)) for command in OBJECTS]
    out += [("current", "current", direct_current),
            ("registers NAME", "registers " + REGISTER_THREAD, lambda: direct_registers(True)),
            ("registers ADDRESS", "registers 0x%x" % address, lambda: direct_registers(False))]
    return out


def as_after_a_stop():
    """Drops what a stop drops: GDB's register and data caches and what the
    extension read of the target; then shows the frame, as GDB does when it
    stops (its unwinding reads code)."""
    gdb.execute("maintenance flush register-cache", to_string=True)
    gdb.execute("maintenance flush dcache", to_string=True)
    sys.modules["__main__"].vusk_threadx_extension.forget_target_state()
    gdb.execute("frame", to_string=True)


def timed(run):
    as_after_a_stop()
    began = time.perf_counter()
    run()
    return time.perf_counter() - began


def memory_packets(run):
    """Remote "m" packets one run after a stop sends (None on a native target)."""
    if not LOG:
        return None
    as_after_a_stop()
    if os.path.exists(LOG):
        os.remove(LOG)
    # Not to a string: GDB would take the log with it.
    for command in ("set logging file " + LOG, "set logging redirect on", "set logging debugredirect on",
                    "set logging enabled on", "set debug remote 1"):
        gdb.execute(command)
    try:
        run()
    finally:
        gdb.execute("set debug remote 0")
        gdb.execute("set logging enabled off")
    with open(LOG, errors="replace") as f:
        return len(re.findall(r"Sending packet: \$m", f.read()))


def main():
    results = []
    for name, command, direct in views():
        view = lambda command=command: gdb.execute("threadx " + command, to_string=True)  # noqa: E731
        first = timed(view)
        # The view and the direct script in turn: a change of the machine's
        # load falls on both alike.
        times, direct_times = [], []
        for _ in range(RUNS):
            times.append(timed(view))
            direct_times.append(timed(direct))
        # Output captured as a string would take the protocol log with it:
        # while logging, the view writes into the log.
        logged = lambda command=command: gdb.execute("threadx " + command)  # noqa: E731
        results.append({"view": name, "first": first, "median": statistics.median(times),
                        "direct": statistics.median(direct_times), "packets": memory_packets(logged),
                        "direct_packets": memory_packets(direct)})
    threads = int(gdb.parse_and_eval("_tx_thread_created_count"))
    print("BENCH " + json.dumps({"threads": threads, "runs": RUNS, "views": results}))


main()
