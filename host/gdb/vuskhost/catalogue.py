"""The kernel object kinds as the host shows them: the plugin's object type
ids, the attribute columns in the plugin's order with their headings, and
the walk over one list (ObjectListInit, Attribute per column, Next).

Kinds 2 to 7 can have threads waiting on them; their waiting threads are a
thread list below the object (parent reference: the object's kind and
address). A walk stops after MAX_OBJECTS objects, so a list corrupted into
a loop that never returns to its head cannot hang the debugger.
"""

from .session import CONTEXT_HANDLE, PluginError
from .wire import from_wire

MAX_OBJECTS = 4096
VALUE_TEXT = 0           # ObjectListAttribute valueType: the display text
VALUE_U64 = 11           # ... an unsigned number
ADDRESS_COLUMN = 1       # every kind's attribute 1 is its control block address
THREAD_KIND = 0
LIST_FIRST = 0           # ObjectListInit: on the first object
LIST_EMPTY = 2           # ... the list is empty (it is still closed after)
UNREADABLE_CELL = "?"


class Kind:
    def __init__(self, type_id, command, title, headings, waiters):
        self.type_id, self.command, self.title = type_id, command, title
        self.headings, self.waiters = headings, waiters


KINDS = (
    Kind(0, "threads", "threads",
         ("Name", "Address", "Runs", "Status", "Priority", "Stack used/size", "Suspended on", "Core",
          "Mapped core"), False),
    Kind(1, "timers", "timers", ("Name", "Address", "Remaining", "Reload", "Expiry function"), False),
    Kind(2, "semaphores", "semaphores", ("Name", "Address", "Count", "Waiting"), True),
    Kind(3, "queues", "queues", ("Name", "Address", "Message size", "Used/capacity", "Waiting"), True),
    Kind(4, "event-flags", "event flag groups", ("Name", "Address", "Flags", "Waiting"), True),
    Kind(5, "block-pools", "block pools", ("Name", "Address", "Block size", "Used/total", "Waiting"), True),
    Kind(6, "byte-pools", "byte pools", ("Name", "Address", "Used/size", "Waiting"), True),
    Kind(7, "mutexes", "mutexes", ("Name", "Address", "Original priority", "Ownership", "Waiting"), True),
)
assert [k.type_id for k in KINDS] == list(range(8)), "kinds must stay in object type id order"


class Row:
    def __init__(self, cells, address):
        self.cells, self.address = cells, address
        self.waiting = []


def _selector(kind_id, parent):
    params = {"context": CONTEXT_HANDLE, "objTypeId": kind_id}
    if parent is not None:
        params.update({"parentObjTypeId": parent[0], "parentObjId": parent[1], "parentObjListId": -1})
    return params


def _attribute(session, selector, index, value_type):
    params = dict(selector, objAtrId=index, valueType=value_type)
    answer = session.call("VUSK_Client_ObjectListAttribute", params)
    if answer.get("return") != 0:
        return None
    return answer.get("objAtrValue")


def walk(session, kind_id, columns, parent=None, want_address=False):
    """Rows of one object list: the text of the first `columns` attributes
    (or of the attributes whose indexes columns lists), and the address
    (when asked). Raises PluginError when the list cannot be read at all."""
    indexes = range(columns) if isinstance(columns, int) else columns
    selector = _selector(kind_id, parent)
    answer = session.call("VUSK_Client_ObjectListInit", dict(selector, showAllObjects=1))
    status = answer.get("return")
    if status not in (LIST_FIRST, LIST_EMPTY):
        raise PluginError("vusk_threadx: cannot list %s (return %r)" % (KINDS[kind_id].title, status))
    rows = []
    try:
        while status == LIST_FIRST and len(rows) < MAX_OBJECTS:
            cells = []
            for index in indexes:
                value = _attribute(session, selector, index, VALUE_TEXT)
                cells.append(from_wire(value) if isinstance(value, str) else UNREADABLE_CELL)
            address = _attribute(session, selector, ADDRESS_COLUMN, VALUE_U64) if want_address else None
            rows.append(Row(cells, address if isinstance(address, int) else None))
            if session.call("VUSK_Client_ObjectListNext", selector).get("return") != 0:
                break
    finally:
        try:
            session.call("VUSK_Client_ObjectListCleanup", selector)
        except PluginError:
            pass  # the fault that ended the walk is the one to report
    return rows


def list_kind(session, kind):
    """The rows of one kind, each with its waiting threads' names."""
    rows = walk(session, kind.type_id, len(kind.headings), want_address=kind.waiters)
    if kind.waiters:
        for row in rows:
            if row.address is not None:
                waiting = walk(session, THREAD_KIND, 1, parent=(kind.type_id, row.address))
                row.waiting = [r.cells[0] for r in waiting]
    return rows


def render_table(headings, rows, indent=""):
    """Left-aligned columns, two blanks apart, headings underlined."""
    widths = [len(h) for h in headings]
    for row in rows:
        for i, cell in enumerate(row.cells):
            widths[i] = max(widths[i], len(cell))

    def line(cells):
        return (indent + "  ".join(c.ljust(w) for c, w in zip(cells, widths))).rstrip()

    out = [line(headings), line(["-" * w for w in widths])]
    for row in rows:
        out.append(line(row.cells))
        if row.waiting:
            out.append(indent + "    waiting: " + ", ".join(row.waiting))
    return "\n".join(out) + "\n"


def find_kind(command):
    for kind in KINDS:
        if kind.command == command:
            return kind
    return None
