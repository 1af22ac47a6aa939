"""What a stopped ThreadX kernel holds, read in GDB straight from its
control blocks: the reference the `threadx` tables are checked against.

Runs inside GDB (Python API) on a kernel stopped at scenario_stop. Every
value comes from plain gdb.Value reads of the kernel's own variables and
structures, never from the plugin's templates; where the kernel derives a
figure (a timer's remaining ticks) it is computed here as the kernel's
tx_timer_info_get computes it. The result is plain data (Thread, Timer,
Kind rows) for tests/real/check_tables.py to render and compare.

Limits: a created list is walked for its kernel count and must close on
itself; a suspension list for its suspended count (MAX_WALK bounds both).
"""

import gdb

MAX_WALK = 10000
NAME_LIMIT = 4096

THREAD_ID = 0x54485244
# tx_thread_state values.
READY, COMPLETED, TERMINATED, SUSPENDED, SLEEP = 0, 1, 2, 3, 4
QUEUE_SUSP, SEMAPHORE_SUSP, EVENT_FLAG, BLOCK_MEMORY, BYTE_MEMORY, MUTEX_SUSP = 5, 6, 7, 8, 9, 13
# The kernel object a waiting thread's suspend control block points to, by
# state (states 10 to 12 are middleware waits with no kernel object type).
WAIT_OBJECT_TYPE = {QUEUE_SUSP: "TX_QUEUE", SEMAPHORE_SUSP: "TX_SEMAPHORE", EVENT_FLAG: "TX_EVENT_FLAGS_GROUP",
                    BLOCK_MEMORY: "TX_BLOCK_POOL", BYTE_MEMORY: "TX_BYTE_POOL", MUTEX_SUSP: "TX_MUTEX"}


class TruthError(Exception):
    """The kernel's lists are not what the kernel promises (a broken walk)."""


def _eval(expression):
    return gdb.parse_and_eval(expression)


def pointer_size():
    return gdb.lookup_type("void").pointer().sizeof


def _c_string(address):
    """The NUL-terminated bytes at address, decoded as UTF-8."""
    if address == 0:
        return None
    inferior = gdb.selected_inferior()
    data = bytearray()
    while len(data) < NAME_LIMIT:
        chunk = inferior.read_memory(address + len(data), 1).tobytes()
        if chunk == b"\0":
            break
        data += chunk
    return bytes(data).decode("utf-8", errors="replace")


def _name(block, field):
    return _c_string(int(block[field]))


def walk_created(head_symbol, count_symbol, next_field):
    """The control blocks of one created list, in the kernel's order."""
    count = int(_eval(count_symbol))
    head = _eval(head_symbol)
    blocks = []
    node = head
    for _ in range(min(count, MAX_WALK)):
        if int(node) == 0:
            raise TruthError("%s: null link after %d of %d" % (head_symbol, len(blocks), count))
        blocks.append(node.dereference())
        node = node.dereference()[next_field]
    if count and int(node) != int(head):
        raise TruthError("%s: the list does not close after %d blocks" % (head_symbol, count))
    return blocks


def address_of(block):
    return int(block.address)


# ---------------------------------------------------------------- threads

class Thread:
    """One thread as the kernel holds it."""

    def __init__(self, block):
        self.address = address_of(block)
        self.name = _name(block, "tx_thread_name")
        self.run_count = int(block["tx_thread_run_count"])
        self.state = int(block["tx_thread_state"])
        self.priority = int(block["tx_thread_priority"])
        self.threshold = int(block["tx_thread_preempt_threshold"])
        self.stack_ptr = int(block["tx_thread_stack_ptr"])
        self.stack_start = int(block["tx_thread_stack_start"])
        self.stack_end = int(block["tx_thread_stack_end"])
        self.stack_size = int(block["tx_thread_stack_size"])
        self.wait_block = int(block["tx_thread_suspend_control_block"])
        self.wait_name = None
        if self.state in WAIT_OBJECT_TYPE and self.wait_block:
            kind = gdb.lookup_type(WAIT_OBJECT_TYPE[self.state]).pointer()
            wait = block["tx_thread_suspend_control_block"].cast(kind).dereference()
            self.wait_name = _name(wait, "tx_%s_name" % WAIT_OBJECT_TYPE[self.state][3:].lower())


def current_threads():
    """Addresses of the threads the kernel runs now: one on a single-core
    kernel, one per core (0 for an idle core) on SMP."""
    current = _eval("_tx_thread_current_ptr")
    if current.type.strip_typedefs().code == gdb.TYPE_CODE_ARRAY:
        low, high = current.type.strip_typedefs().range()
        return [int(current[i]) for i in range(low, high + 1)]
    return [int(current)]


def threads():
    return [Thread(b) for b in walk_created("_tx_thread_created_ptr", "_tx_thread_created_count",
                                            "tx_thread_created_next")]


# ---------------------------------------------------------------- timers

class Timer:
    def __init__(self, block, wheel):
        internal = block["tx_timer_internal"]
        self.address = address_of(block)
        self.internal_address = int(internal.address)
        self.name = _name(block, "tx_timer_name")
        self.head = int(internal["tx_timer_internal_list_head"])
        self.stored_remaining = int(internal["tx_timer_internal_remaining_ticks"])
        self.reload = int(internal["tx_timer_internal_re_initialize_ticks"])
        self.function = int(internal["tx_timer_internal_timeout_function"])
        self.remaining = wheel.remaining(self)


class TimerWheel:
    """The kernel's timer list (_tx_timer_list_start .. _tx_timer_list_end,
    the slot of the current tick) and the timer it is expiring now."""

    def __init__(self):
        self.slot = pointer_size()
        self.start = int(_eval("_tx_timer_list_start"))
        self.end = int(_eval("_tx_timer_list_end"))
        self.current = int(_eval("_tx_timer_current_ptr"))
        self.expired = int(_eval("_tx_timer_expired_timer_ptr"))
        self.entries = (self.end - self.start) // self.slot

    def remaining(self, timer):
        """What tx_timer_info_get answers as the remaining ticks."""
        stored = timer.stored_remaining
        beyond = stored - self.entries if stored > self.entries else 0
        if timer.head == 0:
            return stored
        if self.start <= timer.head < self.end:
            if timer.head >= self.current:
                ticks = (timer.head - self.current) // self.slot + 1
            else:
                ticks = (timer.head - self.start) // self.slot + (self.end - self.current) // self.slot + 1
            return ticks + beyond
        if self.expired == timer.internal_address:
            return 0
        return beyond


def timers():
    wheel = TimerWheel()
    return [Timer(b, wheel) for b in walk_created("_tx_timer_created_ptr", "_tx_timer_created_count",
                                                  "tx_timer_created_next")]


def timer_facts():
    """scenario_timer_facts[]: {timer address: (active, remaining, reschedule)}
    as the kernel's tx_timer_info_get answered just before the stop."""
    facts = _eval("scenario_timer_facts")
    low, high = facts.type.strip_typedefs().range()
    out = {}
    for i in range(low, high + 1):
        fact = facts[i]
        out[int(fact["timer"])] = (int(fact["active"]), int(fact["remaining_ticks"]),
                                    int(fact["reschedule_ticks"]))
    return out


# ---------------------------------------------------------------- other kinds

class Object:
    """A semaphore, queue, event flag group, pool or mutex: its name,
    address, figures (by field) and the threads waiting, in queue order."""

    def __init__(self, block, prefix, fields):
        self.address = address_of(block)
        self.name = _name(block, prefix + "_name")
        self.figures = {f: int(block[prefix + "_" + f]) for f in fields}
        count = int(block[prefix + "_suspended_count"])
        self.waiting = []
        node = block[prefix + "_suspension_list"]
        for _ in range(min(count, MAX_WALK)):
            if int(node) == 0:
                raise TruthError("%s at 0x%x: %d waiters counted, the list ends early" % (prefix, self.address, count))
            self.waiting.append(int(node))
            node = node.dereference()["tx_thread_suspended_next"]
        self.suspended_count = count


# kind command -> (created list name, field prefix, figure fields)
KINDS = {
    "semaphores": ("semaphore", "tx_semaphore", ("count",)),
    "queues": ("queue", "tx_queue", ("message_size", "enqueued", "capacity")),
    "event-flags": ("event_flags", "tx_event_flags_group", ("current",)),
    "block-pools": ("block_pool", "tx_block_pool", ("block_size", "total", "available")),
    "byte-pools": ("byte_pool", "tx_byte_pool", ("size", "available")),
    "mutexes": ("mutex", "tx_mutex", ("original_priority", "ownership_count")),
}


def objects(command):
    list_name, prefix, fields = KINDS[command]
    blocks = walk_created("_tx_%s_created_ptr" % list_name, "_tx_%s_created_count" % list_name,
                          prefix + "_created_next")
    return [Object(b, prefix, fields) for b in blocks]


# ---------------------------------------------------------------- code

def is_thumb():
    """32-bit ARM code: function addresses carry the Thumb bit."""
    name = gdb.selected_inferior().architecture().name()
    return name.startswith("arm")


def function_name(address):
    """The function a code pointer points into, as "name" or "name+offset";
    "0x..." when no function is there."""
    if address == 0:
        return "0x0"
    code = address & ~1 if is_thumb() else address
    block = gdb.block_for_pc(code)
    while block is not None and block.function is None:
        block = block.superblock
    if block is None:
        return "0x%x" % address
    offset = code - int(block.function.value().address)
    return block.function.name + ("+%d" % offset if offset else "")
