"""What the views show, as text or as plain data, for any host: the GDB
commands (commands.py) and the command-line tool (threadx_view.py) print
the same tables from one Session.

Each view asks the plugin through the session and returns its text; a
plugin fault raises session.PluginError. The data forms (rows, registers)
are what the tool writes as JSON.
"""

from . import catalogue
from .services import DebuggerError
from .session import CONTEXT_HANDLE, PluginError
from .template import MAX_STRING_CHARS, TemplateError
from .wire import from_wire

NO_VALUE = "<unavailable>"
UNKNOWN_TEXT = "?"
# The status text of the running thread of a single-core kernel; on SMP the
# plugin adds " on Core k".
EXECUTING = "Executing"
THREAD_STRUCT = "TX_THREAD_STRUCT"
NO_LAYOUT = "no register layout for CPU type %d/%d; see host/gdb/README.md, 'Adding a CPU'"
NO_FRAME = "cannot read the saved frame of this thread"


def kind_rows(session, kind):
    return catalogue.list_kind(session, kind)


def kind_text(kind, rows):
    if not rows:
        return "No %s.\n" % kind.title
    return catalogue.render_table(kind.headings, rows)


def kind_data(kind, rows):
    """[{heading: cell, ..., "waiting": [names]}] (waiting only for kinds
    that have waiting threads)."""
    out = []
    for row in rows:
        item = dict(zip(kind.headings, row.cells))
        if kind.waiters:
            item["waiting"] = list(row.waiting)
        out.append(item)
    return out


def task_text(session, method, task):
    """A thread's name (TaskNameGet) or status (TaskStatusGet), "?" when
    the plugin cannot tell."""
    answer = session.call(method, {"context": CONTEXT_HANDLE, "taskId": task})
    key = "name" if method == "VUSK_Client_TaskNameGet" else "status"
    value = answer.get(key)
    return from_wire(value) if answer.get("return") == 0 and isinstance(value, str) else UNKNOWN_TEXT


def current_task(session, core=None):
    """The running thread's address (0: none). Raises PluginError."""
    params = {"context": CONTEXT_HANDLE, "checkInKernel": 0}
    if core is not None:
        params["coreId"] = core
    answer = session.call("VUSK_Client_CurrentTaskGet", params)
    if answer.get("return") != 0:
        raise PluginError("vusk_threadx: cannot find the current thread (return %r)" % answer.get("return"))
    task = answer.get("taskId", 0)
    return task if isinstance(task, int) else 0


def _task_data(session, task):
    return {"name": task_text(session, "VUSK_Client_TaskNameGet", task), "address": task,
            "status": task_text(session, "VUSK_Client_TaskStatusGet", task)}


def _describe(data):
    return "%s (0x%x), %s" % (data["name"], data["address"], data["status"])


def current_data(session, core_ids=None):
    """The running thread: {"name", "address", "status"}, or None when no
    thread runs. With several host core ids (an SMP kernel): {"cores":
    [{"core": k, "thread": the same or None, "error": text or None}]}, the
    kernel's core k being host core id k + 1."""
    if not core_ids or len(core_ids) < 2:
        task = current_task(session)
        return _task_data(session, task) if task else None
    cores = []
    for core_id in core_ids:
        entry = {"core": core_id - 1, "thread": None, "error": None}
        try:
            task = current_task(session, core_id)
            entry["thread"] = _task_data(session, task) if task else None
        except PluginError as e:
            entry["error"] = str(e)
        cores.append(entry)
    return {"cores": cores}


def current_text(data):
    if data is None:
        return "No thread is running.\n"
    if "cores" not in data:
        return "Current thread: %s\n" % _describe(data)
    lines = []
    for entry in data["cores"]:
        text = "cannot be read" if entry["error"] else _describe(entry["thread"]) if entry["thread"] else "no thread"
        lines.append("Core %d: %s\n" % (entry["core"], text))
    return "".join(lines)


def core_running(session, task, core_ids):
    """The host core id of the core that runs task on an SMP kernel, or
    None (not running, or a single core)."""
    if core_ids and len(core_ids) > 1:
        for core_id in core_ids:
            try:
                if current_task(session, core_id) == task:
                    return core_id
            except PluginError:
                continue
    return None


def thread_names(session):
    """{name as the threads table shows it: control block address}; of two
    threads with one name, the first in the kernel's list."""
    names = {}
    for row in catalogue.walk(session, catalogue.THREAD_KIND, 1, want_address=True):
        if row.address is not None:
            names.setdefault(row.cells[0], row.address)
    return names


def thread_names_in_blocks(debugger):
    """{name: control block address} of the named threads, read straight
    from the kernel's created list (the first of two threads with one name
    kept), or None when the list cannot be read. No plugin request is made:
    a thread's name in the threads table is this string, so a name found
    here needs no walk through the plugin, which costs a round trip per
    thread and column. A name not found may still be one the table shows
    otherwise (thread_names has the table's)."""
    names = {}
    try:
        count = debugger.evaluate("_tx_thread_created_count")
        first = thread = debugger.evaluate("_tx_thread_created_ptr")
        for _ in range(min(count, catalogue.MAX_OBJECTS)):
            if thread == 0:
                break
            block = "((struct %s *) 0x%x)" % (THREAD_STRUCT, thread)
            pointer = debugger.evaluate(block + "->tx_thread_name")
            if pointer:
                names.setdefault(debugger.template_target().c_string(pointer, MAX_STRING_CHARS), thread)
            thread = debugger.evaluate(block + "->tx_thread_created_next")
            if thread == first:
                break
    except (DebuggerError, TemplateError):
        return None
    return names


def thread_by_name(session, name):
    """The address of the thread of that name, or None."""
    address = (thread_names_in_blocks(session.debugger) or {}).get(name)
    return address if address is not None else thread_names(session).get(name)


def address_argument(text):
    """The address a THREAD argument spells as a number (decimal, or hex
    with 0x), or None for any other text."""
    text = text.strip()
    try:
        number = int(text, 16) if text[:2].lower() == "0x" else int(text, 10)
    except ValueError:
        return None
    return number if number >= 0 else None


def read_task_register(session, task, parts):
    """One debugger register of a thread, put together from the plugin's
    32-bit parts; None when the plugin cannot read it."""
    value = 0
    for part in parts:
        answer = session.call("VUSK_Client_TaskRegisterRead", {
            "context": CONTEXT_HANDLE, "taskId": task, "register": part.number})
        if answer.get("return") != 0 or not isinstance(answer.get("value"), int):
            return None
        value |= (answer["value"] & 0xFFFFFFFF) << part.shift
    return value


def _live_register(debugger, name, core_id):
    try:
        return debugger.read_register(name, core_id)
    except DebuggerError:
        return None


def why_no_registers(debugger, task, cpu_type):
    """One line for a suspended thread none of whose registers could be
    read: its saved frame cannot be read, or no layout describes it."""
    try:
        stack = debugger.evaluate("((struct %s *) 0x%x)->tx_thread_stack_ptr" % (THREAD_STRUCT, task))
        debugger.read_memory(stack, 4)
    except DebuggerError:
        return NO_FRAME
    return NO_LAYOUT % tuple(cpu_type)


def registers_data(session, registers, task, core_id=None, cpu_type=None):
    """{"name", "address", "status", "registers": [(name, width, value or
    None)], "note": a line instead of the registers, or None}.

    A running thread's registers are the CPU's, read from the debugger
    whether or not the plugin knows a frame layout for this CPU: those of
    host core core_id (the core that runs it on an SMP kernel), or of the
    selected thread when the plugin calls it executing. A suspended
    thread's come from its saved frame through the plugin; when none can be
    read, "note" says why (cpu_type: the (major, minor) sent)."""
    if not session.serves("VUSK_Client_TaskRegisterRead"):
        raise PluginError("vusk_threadx: this plugin does not read thread registers")
    data = _task_data(session, task)
    live = core_id is not None or data["status"] == EXECUTING
    values = []
    for name, width, parts in registers.registers:
        if live:
            value = _live_register(session.debugger, name, core_id)
        else:
            value = read_task_register(session, task, parts)
        values.append((name, width, None if value is None else value & ((1 << width) - 1)))
    data["registers"] = values
    data["note"] = None
    if not live and cpu_type is not None and all(value is None for _, _, value in values):
        data["note"] = why_no_registers(session.debugger, task, cpu_type)
    return data


def registers_text(data, registers):
    """registers: the arch.RegisterMap, which formats each value."""
    lines = ["Registers of %s:\n" % _describe(data)]
    if data.get("note"):
        return lines[0] + data["note"] + "\n"
    for name, width, value in data["registers"]:
        text = NO_VALUE if value is None else registers.format(name, width, value)
        lines.append("%-8s %s\n" % (name, text))
    return "".join(lines)
