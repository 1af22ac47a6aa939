"""CPU types and register numbers per debugger architecture.

The plugin knows CPUs by a (major, minor) type pair and registers by
number. This table maps GDB's architecture names onto both. Registers wider
than 32 bits are offered as two numbers, low half then high half, because
the plugin carries register values in 32 bits; the host puts the halves
together again when it shows them.

The register numbers are this host's own: a register-layout database entry
written for GDB (see host/gdb/README.md) uses them.
"""

# Our number for x86-64; the plugin's built-in layouts do not use it, so a
# database entry decides the frames.
CPU_MAJOR_X86_64 = 77
# Cortex-M: the major and minors of the entry in the shipped database
# (config/os_aware/threadx_fm.odb), one minor per architecture version.
CPU_MAJOR_ARM_M = 14
CPU_MAJOR_AARCH64 = 50

_X86_64_REGISTERS = (("rax", 64), ("rbx", 64), ("rcx", 64), ("rdx", 64), ("rsi", 64), ("rdi", 64),
                     ("rbp", 64), ("rsp", 64), ("r8", 64), ("r9", 64), ("r10", 64), ("r11", 64),
                     ("r12", 64), ("r13", 64), ("r14", 64), ("r15", 64), ("rip", 64), ("eflags", 32))
_ARM_M_REGISTERS = tuple(("r%d" % i, 32) for i in range(13)) + (("sp", 32), ("lr", 32), ("pc", 32),
                                                                 ("xpsr", 32))
_AARCH64_REGISTERS = tuple(("x%d" % i, 64) for i in range(31)) + (("sp", 64), ("pc", 64), ("cpsr", 32))


class RegisterPart:
    """One plugin register number: bits [shift, shift + 32) of a debugger
    register (or all of a register of 32 bits or less)."""

    def __init__(self, number, name, shift, bits):
        self.number, self.name, self.shift, self.bits = number, name, shift, bits

    def extract(self, raw):
        return (raw >> self.shift) & ((1 << self.bits) - 1)


class RegisterMap:
    def __init__(self, name, registers):
        self.name = name
        self.registers = []          # (debugger name, width, [parts])
        self.parts = {}              # plugin number -> RegisterPart
        number = 0
        for reg, width in registers:
            parts = []
            for shift in range(0, width, 32):
                part = RegisterPart(number, reg, shift, min(32, width - shift))
                parts.append(part)
                self.parts[number] = part
                number += 1
            self.registers.append((reg, width, parts))

    def part(self, number):
        return self.parts.get(number)


REGISTER_MAPS = {
    "x86-64": RegisterMap("x86-64", _X86_64_REGISTERS),
    "arm-m": RegisterMap("arm-m", _ARM_M_REGISTERS),
    "aarch64": RegisterMap("aarch64", _AARCH64_REGISTERS),
}

# GDB architecture name prefix -> (cpu major, cpu minor, register map).
# First match wins, so the longer names come first.
CPU_TABLE = (
    ("i386:x86-64", CPU_MAJOR_X86_64, 0, "x86-64"),
    ("aarch64", CPU_MAJOR_AARCH64, 0, "aarch64"),
    ("armv6-m", CPU_MAJOR_ARM_M, 40, "arm-m"),
    ("armv7-m", CPU_MAJOR_ARM_M, 41, "arm-m"),
    ("armv7e-m", CPU_MAJOR_ARM_M, 42, "arm-m"),
    ("armv8-m", CPU_MAJOR_ARM_M, 43, "arm-m"),
    ("arm", CPU_MAJOR_ARM_M, 41, "arm-m"),
)


def cpu_for_architecture(name):
    """(major, minor, RegisterMap) for a GDB architecture name, or None."""
    for prefix, major, minor, regs in CPU_TABLE:
        if name.startswith(prefix):
            return major, minor, REGISTER_MAPS[regs]
    return None


def parse_cpu_type(text):
    """The cpu-type setting: "auto" (None) or "MAJOR [MINOR]" in decimal or
    0x hexadecimal. Raises ValueError."""
    words = text.split()
    if not words or words == ["auto"]:
        return None
    try:
        if len(words) > 2:
            raise ValueError
        major = int(words[0], 0)
        minor = int(words[1], 0) if len(words) == 2 else 0
    except ValueError:
        raise ValueError("expected \"auto\" or MAJOR [MINOR], got \"%s\"" % text.strip())
    if not (0 < major < 0x8000 and -1 <= minor < 0x8000):
        raise ValueError("cpu type out of range")
    return major, minor
