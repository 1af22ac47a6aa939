"""The debugger side of the services, on GDB's Python API.

GDB evaluates every expression the plugin sends as it stands (convenience
variables, comma operator, casts, member access). Values are turned into
template Scalars here; how they are printed is decided in template.py.
Every GDB failure becomes DebuggerError or TemplateError, never a
traceback in the user's console.
"""

import re

import gdb

from . import template
from .services import (STATUS_HALTED, STATUS_NO_TARGET, STATUS_RUNNING, STORAGE_FUNCTION, STORAGE_GLOBAL,
                       STORAGE_STATIC, STORAGE_UNKNOWN, Debugger, DebuggerError, config_directory,
                       default_config_dir, message_line)  # noqa: F401

_IDENTIFIER = re.compile(r"^[A-Za-z_$][\w$]*$")
_INFO_SYMBOL = re.compile(r"^(\S+)(?: \+ (\d+))? in section")


def _is_char(type_):
    t = type_.strip_typedefs()
    return t.code in (gdb.TYPE_CODE_INT, gdb.TYPE_CODE_CHAR) and t.sizeof == 1


def _is_signed(type_):
    t = type_.strip_typedefs()
    if hasattr(t, "is_signed"):
        try:
            return t.is_signed
        except ValueError:
            return False
    return t.code == gdb.TYPE_CODE_INT and int(gdb.Value(-1).cast(t)) < 0


def _to_int(value):
    try:
        return int(value)
    except (gdb.error, TypeError, ValueError):
        return int(value.cast(gdb.lookup_type("unsigned long long")))


def _read_until_fault(address, length):
    inferior = gdb.selected_inferior()
    return template.read_until_fault(lambda at, count: inferior.read_memory(at, count).tobytes(), address, length,
                                     (gdb.MemoryError, gdb.error, ValueError, OverflowError))


def to_scalar(value):
    """gdb.Value -> template.Scalar."""
    t = value.type.strip_typedefs()
    code = t.code
    if code == gdb.TYPE_CODE_PTR:
        kind = "char_pointer" if _is_char(t.target()) else "pointer"
        return template.Scalar(kind, _to_int(value) & ((1 << (8 * t.sizeof)) - 1), t.sizeof)
    if code == gdb.TYPE_CODE_ARRAY and _is_char(t.target()) and value.address is not None:
        return template.Scalar("char_pointer", _to_int(value.address), value.address.type.sizeof)
    if code in (gdb.TYPE_CODE_INT, gdb.TYPE_CODE_ENUM, gdb.TYPE_CODE_CHAR, gdb.TYPE_CODE_BOOL,
                gdb.TYPE_CODE_FLAGS):
        return template.Scalar("int", _to_int(value), t.sizeof, _is_signed(t))
    if code == gdb.TYPE_CODE_FLT:
        return template.Scalar("float", float(value), t.sizeof, True)
    if code == gdb.TYPE_CODE_FUNC and value.address is not None:
        return template.Scalar("function", _to_int(value.address), value.address.type.sizeof)
    return template.Scalar("other", text=str(value))


class GdbTemplateTarget(template.Target):
    def scalar(self, expression):
        try:
            return to_scalar(gdb.parse_and_eval(expression))
        except (gdb.error, RuntimeError, ValueError, OverflowError) as e:
            raise template.TemplateError("%s: %s" % (expression, e))

    def c_string(self, address, limit):
        return template.read_c_string(_read_until_fault, address, limit)

    def symbol_at(self, address):
        try:
            text = gdb.execute("info symbol 0x%x" % address, to_string=True)
        except gdb.error:
            return None
        m = _INFO_SYMBOL.match(text)
        if not m:
            return None
        return m.group(1) + ("+" + m.group(2) if m.group(2) else "")

    def function_at(self, address):
        try:
            block = gdb.block_for_pc(address)
        except (gdb.error, RuntimeError):
            block = None
        while block is not None and block.function is None:
            block = block.superblock
        if block is not None:
            start = block.start if block.start is not None else address
            offset = address - start
            return block.function.name + ("+%d" % offset if offset else "")
        return self.symbol_at(address)


class GdbDebugger(Debugger):
    def __init__(self, settings):
        """settings: an object with config_dir() and use_phy_space() and
        register_map() (the commands module provides it)."""
        self.settings = settings
        self.target = GdbTemplateTarget()

    def template_target(self):
        return self.target

    def evaluate(self, expression):
        try:
            scalar = to_scalar(gdb.parse_and_eval(expression))
        except (gdb.error, RuntimeError, ValueError, OverflowError) as e:
            raise DebuggerError(str(e))
        if scalar.kind == "other":
            raise DebuggerError("%s is not a number" % expression)
        if scalar.kind == "float":
            return int(scalar.value)
        return scalar.value if scalar.kind == "int" else scalar.bits()

    def read_memory(self, address, length):
        try:
            return gdb.selected_inferior().read_memory(address, length).tobytes()
        except (gdb.MemoryError, gdb.error, ValueError, OverflowError) as e:
            raise DebuggerError(str(e))

    def write_memory(self, address, data):
        try:
            gdb.selected_inferior().write_memory(address, data)
        except (gdb.MemoryError, gdb.error, ValueError, OverflowError) as e:
            raise DebuggerError(str(e))

    def register_map(self):
        return self.settings.register_map()

    def read_register(self, name, core):
        selected = gdb.selected_thread()
        switch_to = None
        if core is not None and selected is not None and selected.num != core:
            switch_to = next((t for t in gdb.selected_inferior().threads() if t.num == core), None)
        try:
            if switch_to is not None:
                switch_to.switch()
            value = gdb.newest_frame().read_register(name)
            return _to_int(value) & 0xFFFFFFFFFFFFFFFF
        except (gdb.error, RuntimeError, ValueError) as e:
            raise DebuggerError(str(e))
        finally:
            if switch_to is not None:
                selected.switch()

    def lookup_symbol(self, name):
        if not _IDENTIFIER.match(name):
            return None
        symbol = None
        for lookup in (gdb.lookup_global_symbol, gdb.lookup_static_symbol):
            try:
                symbol = lookup(name)
            except (gdb.error, RuntimeError):
                symbol = None
            if symbol is not None:
                break
        try:
            if symbol is not None:
                if symbol.addr_class == gdb.SYMBOL_LOC_BLOCK:
                    return _to_int(symbol.value().address), STORAGE_FUNCTION
                storage = STORAGE_STATIC if symbol.addr_class == gdb.SYMBOL_LOC_STATIC and \
                    gdb.lookup_global_symbol(name) is None else STORAGE_GLOBAL
                return _to_int(symbol.value().address), storage
            return _to_int(gdb.parse_and_eval("&" + name)), STORAGE_UNKNOWN
        except (gdb.error, RuntimeError, ValueError, TypeError):
            return None

    def show_message(self, message_type, text):
        gdb.write(message_line(message_type, text))

    def target_status(self):
        thread = gdb.selected_thread()
        if thread is None or not thread.is_valid():
            return STATUS_NO_TARGET
        return STATUS_RUNNING if thread.is_running() else STATUS_HALTED

    def config_dir(self, create):
        return config_directory(self.settings.config_dir(), create)

    def use_phy_space(self):
        return self.settings.use_phy_space()

