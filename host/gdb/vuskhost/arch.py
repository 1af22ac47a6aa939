"""CPU types and register numbers per debugger architecture.

The plugin knows CPUs by a (major, minor) type pair and registers by
number. This table maps GDB's architecture names onto both. Registers wider
than 32 bits are offered as two numbers, low half then high half, because
the plugin carries register values in 32 bits; the host puts the halves
together again when it shows them.

The register numbers are this host's own: a register-layout database entry
written for GDB (see host/gdb/README.md) uses them. Cortex-M targets whose
target description has floating-point registers get s0-s31 and fpscr too
(the "arm-m-fp" map); whether it has them is GDB's to tell, not the ELF's.
"""

import struct

# Our number for x86-64; the plugin's built-in layouts do not use it, so a
# database entry decides the frames.
CPU_MAJOR_X86_64 = 77
# Cortex-M: one minor per architecture, each with its entry in the shipped
# database (config/os_aware/threadx_fm.odb).
CPU_MAJOR_ARM_M = 14
CPU_MINOR_ARMV6_M = 40
CPU_MINOR_ARMV7_M = 41
CPU_MINOR_ARMV7E_M = 42
CPU_MINOR_ARMV8_M_MAIN = 43
CPU_MINOR_ARMV8_M_BASE = 44
CPU_MAJOR_AARCH64 = 50

_X86_64_REGISTERS = (("rax", 64), ("rbx", 64), ("rcx", 64), ("rdx", 64), ("rsi", 64), ("rdi", 64),
                     ("rbp", 64), ("rsp", 64), ("r8", 64), ("r9", 64), ("r10", 64), ("r11", 64),
                     ("r12", 64), ("r13", 64), ("r14", 64), ("r15", 64), ("rip", 64), ("eflags", 32))
_ARM_M_REGISTERS = tuple(("r%d" % i, 32) for i in range(13)) + (("sp", 32), ("lr", 32), ("pc", 32),
                                                                 ("xpsr", 32))
_ARM_M_FLOATS = tuple("s%d" % i for i in range(32))
_ARM_M_FP_REGISTERS = _ARM_M_REGISTERS + tuple((name, 32) for name in _ARM_M_FLOATS) + (("fpscr", 32),)
_AARCH64_REGISTERS = tuple(("x%d" % i, 64) for i in range(31)) + (("sp", 64), ("pc", 64), ("cpsr", 32))


class RegisterPart:
    """One plugin register number: bits [shift, shift + 32) of a debugger
    register (or all of a register of 32 bits or less)."""

    def __init__(self, number, name, shift, bits):
        self.number, self.name, self.shift, self.bits = number, name, shift, bits

    def extract(self, raw):
        return (raw >> self.shift) & ((1 << self.bits) - 1)


class RegisterMap:
    def __init__(self, name, registers, floats=()):
        """floats: the names of single-precision registers among registers
        (shown with their value as a number too)."""
        self.name = name
        self.floats = frozenset(floats)
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

    def format(self, name, width, value):
        """A register's value as `threadx registers` shows it: hexadecimal
        digits of its width, and for a single-precision register also the
        number its bits stand for."""
        text = "0x%0*x" % ((width + 3) // 4, value & ((1 << width) - 1))
        if name in self.floats:
            text += " (%.9g)" % struct.unpack("<f", struct.pack("<I", value & 0xFFFFFFFF))[0]
        return text


REGISTER_MAPS = {
    "x86-64": RegisterMap("x86-64", _X86_64_REGISTERS),
    "arm-m": RegisterMap("arm-m", _ARM_M_REGISTERS),
    "arm-m-fp": RegisterMap("arm-m-fp", _ARM_M_FP_REGISTERS, _ARM_M_FLOATS),
    "aarch64": RegisterMap("aarch64", _AARCH64_REGISTERS),
}

# Register maps with the floating-point registers of the same CPU.
_WITH_FPU = {"arm-m": "arm-m-fp"}

# GDB architecture name prefix -> (cpu major, cpu minor, register map).
# First match wins, so the longer names come first. GDB names an
# architecture from the ELF's attributes: the Cortex-M0's "armv6s-m", the
# Cortex-M3's plain "armv7".
CPU_TABLE = (
    ("i386:x86-64", CPU_MAJOR_X86_64, 0, "x86-64"),
    ("aarch64", CPU_MAJOR_AARCH64, 0, "aarch64"),
    ("armv6-m", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV6_M, "arm-m"),
    ("armv6s-m", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV6_M, "arm-m"),
    ("armv7-m", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7_M, "arm-m"),
    ("armv7e-m", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7E_M, "arm-m"),
    ("armv8-m.base", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV8_M_BASE, "arm-m"),
    ("armv8-m.main", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV8_M_MAIN, "arm-m"),
    ("armv7", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7_M, "arm-m"),
    ("arm", CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7_M, "arm-m"),
)


def cpu_for_architecture(name, has_fpu=False):
    """(major, minor, RegisterMap) for a GDB architecture name, or None.
    has_fpu: the target description has floating-point registers; the CPU
    type stays the same (the saved frames tell which threads used them)."""
    for prefix, major, minor, regs in CPU_TABLE:
        if name.startswith(prefix):
            if has_fpu:
                regs = _WITH_FPU.get(regs, regs)
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
