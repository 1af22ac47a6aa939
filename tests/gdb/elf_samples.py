"""Small 32-bit ARM ELF files for the tests of the CPU profile: no code,
only the build attributes that tell the profile (what a toolchain writes
in .ARM.attributes), so GDB and the extension can be asked about A, R and M
programs without a cross compiler."""

import struct

EM_ARM = 40
SHT_ARM_ATTRIBUTES = 0x70000003
EF_ARM_EABI_VER5 = 0x05000000   # e_flags: GDB reads the build attributes of EABI files


def arm_elf(profile=None, big_endian=False, machine=EM_ARM, attributes=None):
    """A minimal 32-bit ELF file: a header, a null section, an
    .ARM.attributes section and the section names. The Tag_File list holds Tag_CPU_name,
    Tag_compatibility, Tag_CPU_arch (10: v7) and, when given, the profile."""
    order = ">" if big_endian else "<"
    if attributes is None:
        tags = b"\x05Cortex-X\0" + b"\x20\x01gnu\0" + b"\x06\x0a"
        if profile:
            tags += b"\x07" + profile.encode()
        tags += b"\x08\x01"                          # Tag_ARM_ISA_use after the profile
        file_list = b"\x01" + struct.pack(order + "I", 5 + len(tags)) + tags
        vendor = b"aeabi\0" + file_list
        attributes = b"A" + struct.pack(order + "I", 4 + len(vendor)) + vendor
    names = b"\0.ARM.attributes\0.shstrtab\0"
    header_size, section_size = 52, 40
    table = header_size + len(attributes) + len(names)
    header = b"\x7fELF" + bytes([1, 2 if big_endian else 1, 1]) + bytes(9)
    header += struct.pack(order + "HHIIIIIHHHHHH", 2, machine, 1, 0, 0, table, EF_ARM_EABI_VER5, header_size, 0, 0,
                          section_size, 3, 2)
    sections = bytes(section_size)
    sections += struct.pack(order + "10I", 1, SHT_ARM_ATTRIBUTES, 0, 0, header_size, len(attributes), 0, 0, 1, 0)
    sections += struct.pack(order + "10I", 17, 3, 0, 0, header_size + len(attributes), len(names), 0, 0, 1, 0)
    return header + attributes + names + sections
