"""The debugger side of the services, on GDB's Python API.

The expressions the plugin sends (convenience variables, comma operator,
casts, member access) are evaluated by gdb_values over gdb.Value, with
GDB's own evaluator (parse_and_eval) for any text outside its shapes.
Values are turned into template Scalars here; how they are printed is
decided in template.py. Every GDB failure becomes DebuggerError or
TemplateError, never a traceback in the user's console.

What was read from the target is kept in a gdb_values.Snapshot (control
blocks, symbol values, C strings) that the commands clear at the start
and end of each command (forget_target_state) and the program's types
until its object files change (forget_types).
"""

import re

import gdb

from . import cores, gdb_values, template
from .services import (STATUS_HALTED, STATUS_NO_TARGET, STATUS_RUNNING, STORAGE_FUNCTION, STORAGE_GLOBAL,
                       STORAGE_STATIC, STORAGE_UNKNOWN, Debugger, DebuggerError, config_directory,
                       default_config_dir, message_line)  # noqa: F401

_IDENTIFIER = re.compile(r"^[A-Za-z_$][\w$]*$")
_INFO_SYMBOL = re.compile(r"^(\S+)(?: \+ (\d+))? in section (\S+)")
THUMB_BIT = 1
_INTEGER_OR_POINTER = (gdb.TYPE_CODE_INT, gdb.TYPE_CODE_ENUM, gdb.TYPE_CODE_CHAR, gdb.TYPE_CODE_BOOL,
                       gdb.TYPE_CODE_FLAGS, gdb.TYPE_CODE_PTR)

# Core registers the plugin's core texts name that a target may lack (QEMU
# shows no MPIDR_EL1): GDB answers them with the selected GDB thread's
# kernel core, which the extension keeps in $vusk_current_core.
_CORE_REGISTERS = (("$mpidr_el1.Aff0", "mpidr_el1"),)

# A member a port renames (gdb_values.MEMBER_SPELLINGS): GDB takes `struct
# TX_THREAD_STRUCT` from the scope of the selected frame, so which spelling
# it knows depends on where the selected core stopped: an expression that
# names one the scope lacks is tried again with the other.
_NO_MEMBER = re.compile(r"There is no member named (\w+)\.")


def _is_char(type_):
    t = type_.strip_typedefs()
    return t.code in (gdb.TYPE_CODE_INT, gdb.TYPE_CODE_CHAR) and t.sizeof == 1


def _to_int(value):
    try:
        return int(value)
    except (gdb.error, TypeError, ValueError):
        return int(value.cast(gdb.lookup_type("unsigned long long")))


def _register_bits(value):
    """A register's contents as an unsigned integer: a floating-point
    register gives its bits (GDB's /x format prints them), not its number."""
    if value.type.strip_typedefs().code == gdb.TYPE_CODE_FLT:
        return int(value.format_string(format="x"), 16)
    return _to_int(value)


def has_fp_registers():
    """Whether the target description GDB works with has floating-point
    registers (on ARM the org.gnu.gdb.arm.vfp feature: d0-d15 and fpscr).
    The target reports them; an ELF built for an FPU may run without one."""
    try:
        return any(reg.name == "fpscr" for reg in gdb.selected_inferior().architecture().registers())
    except (AttributeError, gdb.error, RuntimeError):
        pass
    try:   # GDB before 12: a missing register is an empty convenience variable
        return gdb.parse_and_eval("$fpscr").type.code != gdb.TYPE_CODE_VOID
    except (gdb.error, RuntimeError):
        return False


def _has_register(name):
    try:
        return any(reg.name == name for reg in gdb.selected_frame().architecture().registers())
    except (AttributeError, gdb.error, RuntimeError):
        return True     # cannot tell: leave the expression as it is


def answered_core_registers(expression):
    """The expression with the core registers the target lacks answered by
    the selected GDB thread's kernel core."""
    for text, register in _CORE_REGISTERS:
        if text in expression and not _has_register(register):
            expression = expression.replace(text, "$" + cores.CURRENT_CORE_VARIABLE)
    return expression


def parse_and_eval(expression):
    """gdb.parse_and_eval of an expression the plugin sent (its core
    registers answered), with a renamed member found under its other
    spelling."""
    try:
        return gdb.parse_and_eval(expression)
    except gdb.error as e:
        missing = _NO_MEMBER.search(str(e))
        other = gdb_values.MEMBER_SPELLINGS.get(missing.group(1)) if missing else None
        if other is None:
            raise
        member = r"(?:(?<=->)|(?<=\.))%s\b" % re.escape(missing.group(1))
        return gdb.parse_and_eval(re.sub(member, other, expression))


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
        return template.Scalar("int", _to_int(value), t.sizeof, gdb_values.is_signed(t))
    if code == gdb.TYPE_CODE_FLT:
        return template.Scalar("float", float(value), t.sizeof, True)
    if code == gdb.TYPE_CODE_FUNC and value.address is not None:
        return template.Scalar("function", _to_int(value.address), value.address.type.sizeof)
    return template.Scalar("other", text=str(value))


def _is_arm32():
    """32-bit ARM code, where a function's address carries the Thumb bit."""
    try:
        return gdb.selected_inferior().architecture().name().startswith("arm")
    except (gdb.error, RuntimeError):
        return False


def _function_block(address):
    """The block of the function that holds address, or None."""
    try:
        block = gdb.block_for_pc(address)
    except (gdb.error, RuntimeError):
        return None
    while block is not None and block.function is None:
        block = block.superblock
    return block


def _info_symbol(address):
    """(name+offset text, section) of the symbol GDB finds at address."""
    try:
        text = gdb.execute("info symbol 0x%x" % address, to_string=True)
    except gdb.error:
        return None
    m = _INFO_SYMBOL.match(text)
    if not m:
        return None
    return m.group(1) + ("+" + m.group(2) if m.group(2) else ""), m.group(3)


def code_address(address):
    """Where the code a code pointer names starts: a Thumb function pointer
    (32-bit ARM) has bit 0 set, the function starts at the even address.
    Only when that even address lies in a function is the bit dropped, so
    an odd data pointer keeps its byte."""
    if not address & THUMB_BIT or not _is_arm32():
        return address
    even = address & ~THUMB_BIT
    if _function_block(even) is not None:
        return even
    found = _info_symbol(even)
    return even if found and found[1].startswith(".text") else address


class GdbTemplateTarget(template.Target):
    def __init__(self, values=None):
        """values: the gdb_values.GdbEvaluator the expressions go through
        (default: one of its own)."""
        self.values = values or gdb_values.GdbEvaluator(parse_and_eval)

    def value(self, expression):
        """The gdb.Value of an expression the plugin sent."""
        return self.values.evaluate(answered_core_registers(expression))

    def scalar(self, expression):
        try:
            return to_scalar(self.value(expression))
        except (gdb.error, RuntimeError, ValueError, OverflowError) as e:
            raise template.TemplateError("%s: %s" % (expression, e))

    def condition(self, expression):
        # An integer or pointer (nearly every condition) needs no Scalar.
        try:
            value = self.value(expression)
            if value.type.strip_typedefs().code in _INTEGER_OR_POINTER:
                return _to_int(value) != 0
            return template.holds(to_scalar(value))
        except (gdb.error, RuntimeError, ValueError, OverflowError) as e:
            raise template.TemplateError("%s: %s" % (expression, e))

    def c_string(self, address, limit):
        strings = self.values.snapshot.strings
        key = (address, limit)
        text = strings.get(key)
        if text is None:
            text = strings[key] = template.read_c_string(_read_until_fault, address, limit)
        return text

    def symbol_at(self, address):
        found = _info_symbol(code_address(address))
        return found[0] if found else None

    def function_at(self, address):
        code = code_address(address)
        block = _function_block(code)
        if block is not None:
            start = block.start if block.start is not None else code
            offset = code - start
            return block.function.name + ("+%d" % offset if offset else "")
        found = _info_symbol(code)
        return found[0] if found else None


class GdbDebugger(Debugger):
    def __init__(self, settings):
        """settings: an object with config_dir() and use_phy_space() and
        register_map() (the commands module provides it)."""
        self.settings = settings
        self.target = GdbTemplateTarget()
        self.values = self.target.values

    def forget_target_state(self):
        """Nothing read from the target so far is used again."""
        self.values.snapshot.clear()

    def forget_types(self):
        """The program changed: its types are looked up again."""
        self.values.snapshot.clear()
        self.values.forget_types()

    def template_target(self):
        return self.target

    def evaluate(self, expression):
        try:
            scalar = to_scalar(self.target.value(expression))
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
        self.forget_target_state()
        try:
            gdb.selected_inferior().write_memory(address, data)
        except (gdb.MemoryError, gdb.error, ValueError, OverflowError) as e:
            raise DebuggerError(str(e))

    def register_map(self):
        return self.settings.register_map()

    def read_register(self, name, core):
        """core: a host core id (cores.py) or None for the selected thread."""
        selected = gdb.selected_thread()
        switch_to = None
        if core is not None:
            switch_to = cores.gdb_thread_of_core(core)
            if switch_to is None:
                raise DebuggerError("no GDB thread shows core %d" % (core - 1))
            if switch_to == selected:
                switch_to = None
        try:
            if switch_to is not None:
                switch_to.switch()
            value = gdb.newest_frame().read_register(name)
            return _register_bits(value) & 0xFFFFFFFFFFFFFFFF
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

