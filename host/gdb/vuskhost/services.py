"""The VUSK_Service_* requests the plugin makes of its host, served by a
Debugger (gdb_target.GdbDebugger in GDB, fakes in the tests).

Every handler takes the request's "params" (wire view) and returns the
"result" object. A request that cannot be carried out answers "return": 1
with no output members; only a method we do not serve at all is a JSON-RPC
error (UnknownService). Debugger faults never escape as exceptions: memory
GDB cannot read is a failed service call like any other.
"""

import os
import sys

from . import template
from .wire import from_wire, to_wire

# Bytes one MemoryRead may ask for: the hex answer must fit in one message.
MAX_MEMORY_BYTES = 32000
# The commands the plugin runs on its host; anything else is refused.
DEBUG_FLAG_PHY_SPACE = "__debugFlag TxVuskUsePhySpace"
USER_CFG_DIR = "__user_cfg_dir"
USER_CFG_DIR_CREATE = "__user_cfg_dir -create"

# Target status answers.
STATUS_HALTED = 0
STATUS_RUNNING = 1
STATUS_NO_TARGET = 2

# SymbolLookup "storageClass" answers.
STORAGE_UNKNOWN = 0      # a linker symbol without debug information
STORAGE_GLOBAL = 1
STORAGE_STATIC = 2
STORAGE_FUNCTION = 3

CONFIG_SUBDIR = "vusk_threadx"
_MESSAGE_PREFIX = {1: "warning: ", 2: "error: "}

FAILED = {"return": 1}


class DebuggerError(Exception):
    """A debugger operation failed (bad expression, unreadable memory...)."""


class UnknownService(Exception):
    pass


class Debugger:
    """What the services need of the debugger."""

    def template_target(self):                  # -> template.Target
        raise NotImplementedError

    def evaluate(self, expression):             # -> int
        raise NotImplementedError

    def read_memory(self, address, length):     # -> bytes
        raise NotImplementedError

    def write_memory(self, address, data):
        raise NotImplementedError

    def register_map(self):                     # -> arch.RegisterMap or None
        raise NotImplementedError

    def read_register(self, name, core):        # core: 1-based or None -> int
        raise NotImplementedError

    def lookup_symbol(self, name):              # -> (address, storage class) or None
        raise NotImplementedError

    def show_message(self, message_type, text):
        raise NotImplementedError

    def target_status(self):
        raise NotImplementedError

    def config_dir(self, create):               # -> str
        raise NotImplementedError

    def use_phy_space(self):                    # -> bool
        return False


def _int(params, name, default=None):
    value = params.get(name, default) if isinstance(params, dict) else default
    if isinstance(value, bool) or not isinstance(value, int):
        raise DebuggerError("missing integer %r" % name)
    return value


def _text(params, name):
    value = params.get(name) if isinstance(params, dict) else None
    if not isinstance(value, str):
        raise DebuggerError("missing string %r" % name)
    return from_wire(value)


def _core(params):
    core = params.get("coreId") if isinstance(params, dict) else None
    return core if isinstance(core, int) and not isinstance(core, bool) else None


def expression_eval(dbg, params):
    value = dbg.evaluate(_text(params, "expression"))
    return {"output": value, "return": 0}


def string_eval(dbg, params):
    text = template.render(_text(params, "input"), dbg.template_target())
    return {"value": to_wire(text), "return": 0}


def command_exec(dbg, params):
    command = _text(params, "command").strip()
    if command == DEBUG_FLAG_PHY_SPACE:
        output = "TxVuskUsePhySpace = %s" % ("on" if dbg.use_phy_space() else "off")
    elif command in (USER_CFG_DIR, USER_CFG_DIR_CREATE):
        output = dbg.config_dir(command == USER_CFG_DIR_CREATE)
    else:
        return FAILED
    return {"output": to_wire(output), "return": 0}


def memory_read(dbg, params):
    address, count = _int(params, "address"), _int(params, "count")
    if count < 0 or count > MAX_MEMORY_BYTES or address < 0:
        return FAILED
    data = dbg.read_memory(address, count)
    if len(data) != count:
        return FAILED
    return {"value": data.hex(), "return": 0}


def memory_write(dbg, params):
    address, count = _int(params, "address"), _int(params, "count")
    text = _text(params, "value")
    try:
        data = bytes.fromhex(text)
    except ValueError:
        return FAILED
    if address < 0 or len(data) != count or len(text) != 2 * count:
        return FAILED
    dbg.write_memory(address, data)
    return {"return": 0}


def register_read(dbg, params):
    registers = dbg.register_map()
    part = registers.part(_int(params, "register")) if registers else None
    if part is None:
        return FAILED
    return {"value": part.extract(dbg.read_register(part.name, _core(params))), "return": 0}


def symbol_lookup(dbg, params):
    found = dbg.lookup_symbol(_text(params, "name"))
    if found is None:
        return FAILED
    address, storage_class = found
    return {"address": address, "storageClass": storage_class, "return": 0}


def message_display(dbg, params):
    message_type = params.get("messageType", 0) if isinstance(params, dict) else 0
    dbg.show_message(message_type if isinstance(message_type, int) else 0, _text(params, "message"))
    return {"return": 0}


def target_status(dbg, params):
    return {"status": dbg.target_status(), "return": 0}


SERVICES = {
    "VUSK_Service_ExpressionEval": expression_eval,
    "VUSK_Service_StringEval": string_eval,
    "VUSK_Service_CommandExec": command_exec,
    "VUSK_Service_MemoryRead": memory_read,
    "VUSK_Service_MemoryWrite": memory_write,
    "VUSK_Service_RegisterRead": register_read,
    "VUSK_Service_SymbolLookup": symbol_lookup,
    "VUSK_Service_MessageDisplay": message_display,
    "VUSK_Service_TargetStatus": target_status,
}


def serve(dbg, method, params):
    """The result object for one service request. Raises UnknownService for
    a method we do not serve."""
    handler = SERVICES.get(method)
    if handler is None:
        raise UnknownService(method)
    try:
        return handler(dbg, params if isinstance(params, dict) else {})
    except (DebuggerError, template.TemplateError):
        return dict(FAILED)


def default_config_dir():
    """The per-user configuration directory of the plugin."""
    if sys.platform == "win32":
        base = os.environ.get("APPDATA") or os.path.expanduser("~")
    else:
        base = os.environ.get("XDG_CONFIG_HOME") or os.path.join(os.path.expanduser("~"), ".config")
    return os.path.join(base, CONFIG_SUBDIR)


def config_directory(directory, create):
    """The configuration directory the plugin asks for, made when asked
    (__user_cfg_dir -create). Raises DebuggerError."""
    if create:
        try:
            os.makedirs(directory, exist_ok=True)
        except OSError as e:
            raise DebuggerError(str(e))
    return directory


def message_line(message_type, text):
    """How a MessageDisplay text is shown: "vusk_threadx: warning: TEXT"
    (type 1), "error: " (type 2), ending in a newline."""
    if not text.endswith("\n"):
        text += "\n"
    return "vusk_threadx: " + _MESSAGE_PREFIX.get(message_type, "") + text
