"""What the views show, as text or as plain data, for any host: the GDB
commands (commands.py) and the command-line tool (threadx_view.py) print
the same tables from one Session.

Each view asks the plugin through the session and returns its text; a
plugin fault raises session.PluginError. The data forms (rows, registers)
are what the tool writes as JSON.
"""

from . import catalogue
from .session import CONTEXT_HANDLE, PluginError
from .wire import from_wire

NO_VALUE = "<unavailable>"
UNKNOWN_TEXT = "?"


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


def current_data(session):
    task = current_task(session)
    if not task:
        return None
    return {"name": task_text(session, "VUSK_Client_TaskNameGet", task), "address": task,
            "status": task_text(session, "VUSK_Client_TaskStatusGet", task)}


def current_text(data):
    if data is None:
        return "No thread is running.\n"
    return "Current thread: %s (0x%x), %s\n" % (data["name"], data["address"], data["status"])


def thread_by_name(session, name):
    """The address of the thread of that name, or None."""
    for row in catalogue.walk(session, catalogue.THREAD_KIND, 1, want_address=True):
        if row.cells[0] == name and row.address is not None:
            return row.address
    return None


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


def registers_data(session, registers, task):
    """{"name", "address", "status", "registers": [(name, width, value or None)]}."""
    if not session.serves("VUSK_Client_TaskRegisterRead"):
        raise PluginError("vusk_threadx: this plugin does not read thread registers")
    values = []
    for name, width, parts in registers.registers:
        value = read_task_register(session, task, parts)
        values.append((name, width, None if value is None else value & ((1 << width) - 1)))
    return {"name": task_text(session, "VUSK_Client_TaskNameGet", task), "address": task,
            "status": task_text(session, "VUSK_Client_TaskStatusGet", task), "registers": values}


def registers_text(data):
    lines = ["Registers of %s (0x%x), %s:\n" % (data["name"], data["address"], data["status"])]
    for name, width, value in data["registers"]:
        text = NO_VALUE if value is None else "0x%0*x" % ((width + 3) // 4, value)
        lines.append("%-8s %s\n" % (name, text))
    return "".join(lines)
