"""The cores of a ThreadX SMP kernel, and which GDB thread shows each.

An SMP kernel keeps the running thread of every core in the array
_tx_thread_current_ptr; its length is the kernel's core count (a
single-core kernel has a plain pointer there). One core goes by three
numbers:

    kernel core index k    the index into _tx_thread_current_ptr, what a
                           thread's tx_thread_smp_core_mapped holds; the
                           user reads "Core k"
    host core id k + 1     what the extension gives the plugin (coreIdList
                           1 .. N at TargetInit) and the plugin asks for
                           ("coreId" of a service request)
    GDB thread             with one GDB thread per CPU (QEMU, probes with
                           one thread per core) thread number k + 1 (QEMU
                           names it CPU#k); on the Linux port every ThreadX
                           thread is a host thread, so core k is the host
                           thread of the ThreadX thread running there, the
                           one whose pthread id its control block holds in
                           tx_thread_linux_thread_id

The plugin's SMP stack text asks for the core of the selected GDB thread:
where the CPU has no register for it, the extension keeps it in the
convenience variable $vusk_current_core (NO_CORE when the selected thread
runs no core, e.g. the Linux port's scheduler thread).
"""

import gdb

CURRENT_POINTER = "_tx_thread_current_ptr"
LINUX_THREAD_ID = "tx_thread_linux_thread_id"
CURRENT_CORE_VARIABLE = "vusk_current_core"
NO_CORE = -1


def _current_pointer_type():
    try:
        return gdb.parse_and_eval(CURRENT_POINTER).type.strip_typedefs()
    except (gdb.error, RuntimeError):
        return None


def kernel_core_count():
    """The kernel's cores: the length of _tx_thread_current_ptr, 1 for a
    plain pointer or a program without it."""
    kind = _current_pointer_type()
    if kind is None or kind.code != gdb.TYPE_CODE_ARRAY:
        return 1
    low, high = kind.range()
    return max(1, high - low + 1)


def _running_thread(index):
    """The control block (gdb.Value, a pointer) running on kernel core
    index, or None when the core runs none."""
    kind = _current_pointer_type()
    if kind is None:
        return None
    text = CURRENT_POINTER + ("[%d]" % index if kind.code == gdb.TYPE_CODE_ARRAY else "")
    try:
        thread = gdb.parse_and_eval(text)
        return thread if int(thread) != 0 else None
    except (gdb.error, gdb.MemoryError, RuntimeError):
        return None


def _threads_are_host_threads():
    """Whether the kernel runs each ThreadX thread as a host thread (the
    Linux port): its control block then names the host thread."""
    kind = _current_pointer_type()
    try:
        if kind.code == gdb.TYPE_CODE_ARRAY:
            kind = kind.target().strip_typedefs()
        block = kind.target().strip_typedefs()
        return any(field.name == LINUX_THREAD_ID for field in block.fields())
    except (gdb.error, RuntimeError, TypeError, AttributeError):
        return False


def _host_thread_id(thread):
    """The bytes of the host thread id (pthread_t) a control block holds,
    as GDB's thread handles give them (no byte order to get wrong)."""
    field = thread.dereference()[LINUX_THREAD_ID]
    return gdb.selected_inferior().read_memory(int(field.address), field.type.sizeof).tobytes()


def _handle(gdb_thread):
    try:
        return gdb_thread.handle()
    except (gdb.error, RuntimeError, AttributeError):
        return None


def gdb_thread_of_core(core_id):
    """The GDB thread that shows host core id core_id (1-based), or None."""
    index = core_id - 1
    if index < 0 or index >= kernel_core_count():
        return None
    threads = gdb.selected_inferior().threads()
    if _threads_are_host_threads():
        running = _running_thread(index)
        if running is None:
            return None
        try:
            wanted = _host_thread_id(running)
        except (gdb.error, gdb.MemoryError, RuntimeError):
            return None
        return next((t for t in threads if _handle(t) == wanted), None)
    return next((t for t in threads if t.num == core_id), None)


def core_of_selected_thread():
    """The kernel core index the selected GDB thread shows, or NO_CORE."""
    selected = gdb.selected_thread()
    if selected is None:
        return NO_CORE
    count = kernel_core_count()
    if _threads_are_host_threads():
        handle = _handle(selected)
        for index in range(count):
            running = _running_thread(index)
            try:
                if running is not None and _host_thread_id(running) == handle:
                    return index
            except (gdb.error, gdb.MemoryError, RuntimeError):
                pass
        return NO_CORE
    return selected.num - 1 if 1 <= selected.num <= count else NO_CORE


def set_current_core_variable():
    """$vusk_current_core := the selected GDB thread's kernel core."""
    gdb.set_convenience_variable(CURRENT_CORE_VARIABLE, core_of_selected_thread())
