"""The debugger side of the services without GDB: the program's types from
its ELF file (dwarf.DwarfTypes), expressions evaluated by cexpr over
cvalues, memory and registers from a live target (LiveTarget: a GDB
server through remote.RemoteTarget).

DwarfDebugger is a services.Debugger and its own template.Target. An
expression outside the supported shapes, memory the server refuses or a
symbol the program does not describe fails that one service request
(DebuggerError / TemplateError), never the session.

Cores maps what the plugin calls cores (1, 2 ... in the host's core list)
onto the server's threads. How many cores there are is the kernel's
matter: a single-core kernel keeps one _tx_thread_current_ptr, an SMP one
an array of them. On a single core the CPU is the server thread that
stopped (a server that lists threads of its own, an RTOS-aware one or
gdbserver, has its CPU there); on SMP core N is the server's Nth thread.
Register names are the target description's, with GDB's standard aliases
($sp, $pc, $fp, $ps) resolved per architecture.
"""

import sys

from . import arch, cexpr, cvalues, template
from .cvalues import CType, CValue
from .remote import TargetError
from .services import (STATUS_HALTED, STATUS_RUNNING, Debugger, DebuggerError, config_directory, default_config_dir,
                       message_line)
from .tdesc import DescriptionError

# GDB's standard register names and the registers they stand for, first
# present one wins.
REGISTER_ALIASES = {
    "sp": ("sp", "rsp", "esp"),
    "pc": ("pc", "rip", "eip"),
    "fp": ("fp", "rbp", "ebp", "x29", "r11"),
    "ps": ("xpsr", "cpsr", "eflags", "ps"),
}


CURRENT_THREAD_SYMBOL = "_tx_thread_current_ptr"


def kernel_cores(types):
    """How many cores the kernel runs on: the length of its array of
    running threads, 1 when it keeps a single pointer (or is not there)."""
    found = types.variable(CURRENT_THREAD_SYMBOL)
    if found is None:
        return 1
    t = found[1].strip()
    return t.count if t.kind == cvalues.ARRAY and t.count else 1


class Cores:
    """Which server thread holds each core's registers."""

    def __init__(self, remote, count):
        self.remote = remote
        self.kernel_count = max(1, count)
        self.stopped = None           # the server thread named by the last stop reply

    def count(self):
        if self.kernel_count == 1:
            return 1
        return max(1, min(self.kernel_count, len(self.remote.threads())))

    def thread(self, core):
        """The server thread of core (1-based)."""
        if self.kernel_count == 1:
            return self.stopped or self.remote.threads()[0]
        threads = self.remote.threads()
        if not 1 <= core <= len(threads):
            raise TargetError("no core %d (the server has %d threads)" % (core, len(threads)))
        return threads[core - 1]

    def core_of(self, server_thread):
        """The core whose registers a server thread holds (1 when unknown)."""
        if self.kernel_count == 1 or server_thread is None:
            return 1
        threads = self.remote.threads()
        if server_thread not in threads:
            self.remote.forget_threads()
            threads = self.remote.threads()
        return threads.index(server_thread) + 1 if server_thread in threads else 1


class LiveTarget:
    """A halted target behind a GDB server."""

    def __init__(self, remote, byte_order, cores):
        self.remote = remote
        self.byte_order = byte_order
        self.cores = cores
        self.core = 1                 # the core that stopped: $sp and friends are its
        self.running = False

    def server_thread(self, core):
        return self.cores.thread(core or self.core)

    def read_memory(self, address, length):
        return self.remote.read_memory(address, length)

    def write_memory(self, address, data):
        self.remote.write_memory(address, data)

    def find_register(self, name):
        """The description's register for a name or a standard alias; None
        when there is none."""
        try:
            description = self.remote.load_description()
        except DescriptionError as e:
            raise TargetError(str(e))
        reg = description.register(name)
        if reg is None:
            for alias in REGISTER_ALIASES.get(name.lower(), ()):
                reg = description.register(alias)
                if reg is not None:
                    break
        return reg

    def read_register(self, name, core=None):
        """(value, register) of the CPU register, or None when there is no
        such register. Raises TargetError."""
        reg = self.find_register(name)
        if reg is None:
            return None
        data = self.remote.register(self.server_thread(core), reg.number)
        if data is None:
            raise TargetError("register %s is unavailable" % reg.name)
        return int.from_bytes(data, self.byte_order), reg

    def status(self):
        return STATUS_RUNNING if self.running else STATUS_HALTED


class DwarfModel(cvalues.CValueModel):
    """C values of the program, with $ registers from the live target."""

    def __init__(self, types, live):
        super().__init__(types, self._read_memory, self._read_register)
        self.live = live
        self.code_pointer = cvalues.pointer_to(CType(cvalues.FUNCTION, None, 1), types.pointer_size)
        self.data_pointer = cvalues.pointer_to(self.void, types.pointer_size)

    def _read_memory(self, address, length):
        try:
            return self.live.read_memory(address, length)
        except TargetError as e:
            raise cexpr.ExpressionError("Cannot access memory at address 0x%x (%s)" % (address, e))

    def _read_register(self, name):
        try:
            found = self.live.read_register(name)
        except TargetError as e:
            raise cexpr.ExpressionError(str(e))
        if found is None:
            return None
        value, reg = found
        if reg.type == "code_ptr":
            return CValue(self.code_pointer, raw=value)
        if reg.type == "data_ptr" or name.lower() == "sp":
            return CValue(self.data_pointer, raw=value)
        signed = reg.type.startswith("int")
        return CValue(cvalues.integer_type(reg.size, signed, reg.type), raw=cvalues._truncate(value, reg.size, signed))


def to_scalar(model, value):
    """cvalues.CValue -> template.Scalar (as gdb_target.to_scalar does for
    gdb.Value)."""
    t = value.type.strip()
    kind = t.kind
    if kind == cvalues.POINTER:
        target = t.target.strip()
        char = target.kind == cvalues.INT and target.size == 1
        return template.Scalar("char_pointer" if char else "pointer",
                               model.fetch(value) & ((1 << (8 * t.size)) - 1), t.size)
    if kind == cvalues.ARRAY:
        element = t.target.strip()
        if element.kind == cvalues.INT and element.size == 1 and value.address is not None:
            return template.Scalar("char_pointer", value.address, model.psize)
        return template.Scalar("other", text="{...}")
    if kind == cvalues.INT:
        return template.Scalar("int", model.fetch(value), t.size, t.signed)
    if kind == cvalues.FLOAT:
        return template.Scalar("float", model.fetch(value), t.size, True)
    if kind == cvalues.FUNCTION and value.address is not None:
        return template.Scalar("function", value.address, model.psize)
    return template.Scalar("other", text="{...}")


class Settings:
    """The answers the plugin asks its host for once (see commands.Settings)."""

    def __init__(self, config_dir=None, phy_space=False):
        self.config = config_dir or default_config_dir()
        self.phy_space = phy_space


# Bit 0 of a Thumb function pointer (32-bit ARM).
THUMB_BIT = 1


class DwarfDebugger(Debugger, template.Target):
    def __init__(self, types, live, settings=None, log=None):
        """types: dwarf.DwarfTypes; live: LiveTarget; log(text): where
        the plugin's messages go (standard error by default)."""
        self.types = types
        self.live = live
        self.settings = settings or Settings()
        self.log = log or (lambda text: sys.stderr.write(text))
        self.model = DwarfModel(types, live)
        self.evaluator = cexpr.Evaluator(self.model)
        found = arch.cpu_for_program(types.architecture, types.path, self._has_fpu())
        self.registers = found.registers if found else None

    def _has_fpu(self):
        """Whether the server's target description has floating-point
        registers (then their map includes them)."""
        try:
            return self.live.find_register("fpscr") is not None
        except TargetError:
            return False

    # ------------------------------------------------------------ template.Target

    def template_target(self):
        return self

    def scalar(self, expression):
        try:
            return self._scalar(expression)
        except DebuggerError as e:
            raise template.TemplateError(str(e))

    def c_string(self, address, limit):
        return template.read_c_string(
            lambda at, count: template.read_until_fault(self.live.read_memory, at, count, TargetError), address, limit)

    def _code_address(self, address):
        """Where the code a code pointer names starts: a Thumb function
        pointer (32-bit ARM) has bit 0 set. Only when the even address lies
        in a function is the bit dropped, so an odd data pointer keeps its
        byte (as the GDB back end does)."""
        if not address & THUMB_BIT or self.types.machine != "EM_ARM":
            return address
        even = address & ~THUMB_BIT
        return even if self.types.symbol_containing(even, functions_only=True) is not None else address

    def symbol_at(self, address):
        found = self.types.symbol_containing(self._code_address(address))
        if found is None:
            return None
        symbol, offset = found
        return symbol.name + ("+%d" % offset if offset else "")

    def function_at(self, address):
        code = self._code_address(address)
        found = self.types.symbol_containing(code, functions_only=True)
        if found is None:
            return self.symbol_at(code)
        symbol, offset = found
        return symbol.name + ("+%d" % offset if offset else "")

    # ------------------------------------------------------------ services.Debugger

    def evaluate(self, expression):
        scalar = self._scalar(expression)
        if scalar.kind == "other":
            raise DebuggerError("%s is not a number" % expression)
        if scalar.kind == "float":
            return int(scalar.value)
        return scalar.value if scalar.kind == "int" else scalar.bits()

    def _scalar(self, expression):
        try:
            return to_scalar(self.model, self.evaluator.evaluate(expression))
        except cexpr.ExpressionError as e:
            raise DebuggerError("%s: %s" % (expression, e))

    def read_memory(self, address, length):
        try:
            return self.live.read_memory(address, length)
        except TargetError as e:
            raise DebuggerError(str(e))

    def write_memory(self, address, data):
        try:
            self.live.write_memory(address, data)
        except TargetError as e:
            raise DebuggerError(str(e))

    def register_map(self):
        return self.registers

    def read_register(self, name, core):
        try:
            found = self.live.read_register(name, core)
        except TargetError as e:
            raise DebuggerError(str(e))
        if found is None:
            raise DebuggerError("the server has no register %s" % name)
        return found[0]

    def lookup_symbol(self, name):
        return self.types.storage_class(name)

    def show_message(self, message_type, text):
        self.log(message_line(message_type, text))

    def target_status(self):
        return self.live.status()

    def config_dir(self, create):
        return config_directory(self.settings.config, create)

    def use_phy_space(self):
        return self.settings.phy_space
