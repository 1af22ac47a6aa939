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

32-bit ARM: only the M profile (Cortex-M) gets the Cortex-M type, whose
saved-frame layouts the plugin ships. GDB names some M-profile cores by the
plain architecture ("armv7" for a Cortex-M3), so the profile is decided
from everything GDB knows: the architecture name, an xpsr register in the
target's description, or the ELF file's build attributes before there is a
target (elf_arm_profile).
"""

import re
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
# Our number for 32-bit ARM outside the M profile (Cortex-A, Cortex-R,
# classic cores); like x86-64 it has no built-in layout.
CPU_MAJOR_ARM_A_R = 78

_X86_64_REGISTERS = (("rax", 64), ("rbx", 64), ("rcx", 64), ("rdx", 64), ("rsi", 64), ("rdi", 64),
                     ("rbp", 64), ("rsp", 64), ("r8", 64), ("r9", 64), ("r10", 64), ("r11", 64),
                     ("r12", 64), ("r13", 64), ("r14", 64), ("r15", 64), ("rip", 64), ("eflags", 32))
_ARM_M_REGISTERS = tuple(("r%d" % i, 32) for i in range(13)) + (("sp", 32), ("lr", 32), ("pc", 32),
                                                                 ("xpsr", 32))
_ARM_M_FLOATS = tuple("s%d" % i for i in range(32))
_ARM_M_FP_REGISTERS = _ARM_M_REGISTERS + tuple((name, 32) for name in _ARM_M_FLOATS) + (("fpscr", 32),)
_ARM_A_R_REGISTERS = _ARM_M_REGISTERS[:16] + (("cpsr", 32),)
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
    "arm-a-r": RegisterMap("arm-a-r", _ARM_A_R_REGISTERS),
    "aarch64": RegisterMap("aarch64", _AARCH64_REGISTERS),
}

# Register maps with the floating-point registers of the same CPU.
_WITH_FPU = {"arm-m": "arm-m-fp"}


class CpuChoice:
    """The CPU type sent for an architecture, its register map and what
    `show threadx cpu-type` calls it."""

    def __init__(self, major, minor, registers, label):
        self.major, self.minor, self.registers, self.label = major, minor, registers, label


# (GDB architecture name prefix, M profile only, cpu major, cpu minor,
# register map, label). First match wins, so the longer names come first.
# GDB names an architecture from the ELF's attributes: the Cortex-M0's
# "armv6s-m", the Cortex-M3's plain "armv7"; each Cortex-M architecture has
# its minor and its entry in the shipped database.
CPU_TABLE = (
    ("i386:x86-64", False, CPU_MAJOR_X86_64, 0, "x86-64", "x86-64"),
    ("aarch64", False, CPU_MAJOR_AARCH64, 0, "aarch64", "AArch64"),
    ("armv6", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV6_M, "arm-m", "ARMv6-M"),
    ("armv7e", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7E_M, "arm-m", "ARMv7E-M"),
    ("armv7", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7_M, "arm-m", "ARMv7-M"),
    ("armv8-m.base", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV8_M_BASE, "arm-m", "ARMv8-M baseline"),
    ("armv8", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV8_M_MAIN, "arm-m", "ARMv8-M mainline"),
    ("arm", True, CPU_MAJOR_ARM_M, CPU_MINOR_ARMV7_M, "arm-m", "ARMv7-M"),
    ("arm", False, CPU_MAJOR_ARM_A_R, 0, "arm-a-r", "ARM, not M profile"),
)

_M_PROFILE_NAME = re.compile(r"^armv[0-9.]+[a-z]*-m(\.|$)")


def is_m_profile_name(name):
    """GDB names that say M profile by themselves: armv6-m, armv6s-m,
    armv7-m, armv7e-m, armv8-m.base, armv8.1-m.main ..."""
    return bool(_M_PROFILE_NAME.match(name))


def cpu_for_architecture(name, m_profile=False, has_fpu=False):
    """The CpuChoice for a GDB architecture name (m_profile: the 32-bit ARM
    target is M profile), or None. has_fpu: the target description has
    floating-point registers; the CPU type stays the same (the saved frames
    tell which threads used them), only the register map grows."""
    for prefix, m_only, major, minor, regs, label in CPU_TABLE:
        if name.startswith(prefix) and (m_profile or not m_only):
            if has_fpu:
                regs = _WITH_FPU.get(regs, regs)
            return CpuChoice(major, minor, REGISTER_MAPS[regs], label)
    return None


def cpu_for_program(name, path, has_fpu=False):
    """The CpuChoice for a program seen without a debugger (the DWARF back
    end): the M profile from the architecture name or, for a plain "armv7",
    the ELF file's build attributes."""
    m_profile = is_m_profile_name(name) or (path is not None and elf_arm_profile(path) == "M")
    return cpu_for_architecture(name, m_profile, has_fpu)


# ---------------------------------------------------------------- ELF build attributes

EM_ARM = 40
SHT_ARM_ATTRIBUTES = 0x70000003
TAG_FILE = 1
TAG_CPU_ARCH_PROFILE = 7
# Attribute tags whose value is a NUL-terminated string (below 32; above it
# odd tags are strings), and Tag_compatibility (a number, then a string).
_STRING_TAGS = (4, 5, 67)
_TAG_COMPATIBILITY = 32
MAX_ATTRIBUTE_BYTES = 1 << 16
MAX_SECTIONS = 4096


def _uleb128(data, pos):
    value = shift = 0
    while True:
        byte = data[pos]
        pos += 1
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            return value, pos


def _skip_string(data, pos):
    end = data.index(b"\0", pos)
    return end + 1


def _file_attributes(data, pos, end):
    """Tag_CPU_arch_profile in one Tag_File list of attributes, or None."""
    while pos < end:
        tag, pos = _uleb128(data, pos)
        if tag in _STRING_TAGS or (tag > _TAG_COMPATIBILITY and tag % 2 == 1):
            pos = _skip_string(data, pos)
            continue
        value, pos = _uleb128(data, pos)
        if tag == _TAG_COMPATIBILITY:
            pos = _skip_string(data, pos)
        elif tag == TAG_CPU_ARCH_PROFILE:
            return chr(value) if value else None
    return None


def arm_profile_from_attributes(data, order="<"):
    """Tag_CPU_arch_profile ("A", "R", "M", "S") of the contents of an
    .ARM.attributes section (lengths in the ELF file's byte order), or
    None. Malformed contents raise IndexError, ValueError or struct.error."""
    if not data or data[0:1] != b"A":
        return None
    pos = 1
    while pos + 4 <= len(data):
        length = struct.unpack_from(order + "I", data, pos)[0]
        end = pos + length
        if length < 5 or end > len(data):
            return None
        vendor_end = data.index(b"\0", pos + 4)
        if data[pos + 4:vendor_end] == b"aeabi":
            inner = vendor_end + 1
            while inner < end:
                tag, body = _uleb128(data, inner)
                size = struct.unpack_from(order + "I", data, body)[0]
                if size < 5 or inner + size > end:
                    return None
                if tag == TAG_FILE:
                    return _file_attributes(data, body + 4, inner + size)
                inner += size
        pos = end
    return None


def elf_arm_profile(path):
    """The CPU profile a 32-bit ARM ELF file was built for, from its build
    attributes; None when the file is no such ELF or does not say."""
    try:
        with open(path, "rb") as f:
            header = f.read(52)
            if len(header) < 52 or header[:4] != b"\x7fELF" or header[4] != 1:
                return None
            order = "<" if header[5] == 1 else ">"
            machine, = struct.unpack_from(order + "H", header, 18)
            shoff, = struct.unpack_from(order + "I", header, 32)
            shentsize, shnum = struct.unpack_from(order + "HH", header, 46)
            if machine != EM_ARM or shentsize < 40 or shnum > MAX_SECTIONS:
                return None
            f.seek(shoff)
            table = f.read(shentsize * shnum)
            for i in range(len(table) // shentsize):
                _, kind, _, _, offset, size = struct.unpack_from(order + "6I", table, i * shentsize)
                if kind == SHT_ARM_ATTRIBUTES and size <= MAX_ATTRIBUTE_BYTES:
                    f.seek(offset)
                    return arm_profile_from_attributes(f.read(size), order)
    except (OSError, ValueError, IndexError, struct.error):
        return None
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
