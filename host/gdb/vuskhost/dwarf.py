"""A program's symbols and types from its ELF file (python3-pyelftools).

The index is built once from the top-level entries of every compilation
unit: variables, functions, struct/union/enum tags, typedefs and base
types by name, the first complete definition winning (a tag declared in
one unit is taken from the unit that defines it). Types are built from
their entries only when an expression needs them, and kept.

Addresses: a variable's DW_OP_addr location, else its ELF symbol (an
extern declared in this unit, defined in another). The ELF symbol table
also answers which function or object an address lies in, with the Thumb
bit of ARM function symbols cleared, and is the fallback for symbols
without debug information.

Limits: type entries nest at most MAX_TYPE_DEPTH deep; arrays hold at most
cvalues.MAX_ARRAY_ELEMENTS elements.
"""

import bisect

from elftools.common.exceptions import ELFError, DWARFError
from elftools.elf.elffile import ELFFile
from elftools.elf.sections import ARMAttributesSection, SymbolTableSection

from . import cvalues
from .cexpr import ExpressionError
from .cvalues import CType, Member
from .services import STORAGE_FUNCTION, STORAGE_GLOBAL, STORAGE_STATIC, STORAGE_UNKNOWN

MAX_TYPE_DEPTH = 64

SHF_ALLOC = 0x2
DW_OP_ADDR = 0x03
DW_OP_PLUS_UCONST = 0x23

# DW_ATE_* base type encodings.
_FLOAT_ENCODINGS = (0x4, 0x9)                      # float, complex float
_SIGNED_ENCODINGS = (0x5, 0x6, 0xd)                # signed, signed_char, signed_fixed
_BOOLEAN_ENCODING = 0x2

# Tag_CPU_arch of the ARM attributes -> GDB's architecture name for it.
_ARM_ARCH_NAMES = {10: "armv7", 11: "armv6-m", 12: "armv6s-m", 13: "armv7e-m", 16: "armv8-m.base",
                   17: "armv8-m.main", 21: "armv8.1-m.main"}
_MACHINE_ARCH_NAMES = {"EM_X86_64": "i386:x86-64", "EM_AARCH64": "aarch64", "EM_386": "i386"}

_QUALIFIER_TAGS = ("DW_TAG_const_type", "DW_TAG_volatile_type", "DW_TAG_restrict_type", "DW_TAG_atomic_type",
                   "DW_TAG_immutable_type")
_TAG_KINDS = {"DW_TAG_structure_type": "struct", "DW_TAG_class_type": "struct", "DW_TAG_union_type": "union",
              "DW_TAG_enumeration_type": "enum"}


class ElfError(Exception):
    """The file cannot be read as an ELF program."""


def _name(die):
    attribute = die.attributes.get("DW_AT_name")
    if attribute is None:
        return None
    value = attribute.value
    return value.decode("utf-8", errors="replace") if isinstance(value, bytes) else str(value)


class Symbol:
    __slots__ = ("name", "address", "size", "function", "section")

    def __init__(self, name, address, size, function, section):
        self.name, self.address, self.size, self.function, self.section = name, address, size, function, section


class DwarfTypes(cvalues.TypeSource):
    def __init__(self, path):
        """Reads path's headers, symbol table and debug index. Raises
        ElfError when it is no ELF file."""
        self.path = path
        try:
            self.file = open(path, "rb")
        except OSError as e:
            raise ElfError("cannot open %s: %s" % (path, e.strerror or e))
        try:
            self.elf = ELFFile(self.file)
            self.pointer_size = 8 if self.elf.elfclass == 64 else 4
            self.byte_order = "little" if self.elf.little_endian else "big"
            self.machine = self.elf.header.e_machine
            self.char_signed = self.machine not in ("EM_ARM", "EM_AARCH64", "EM_PPC", "EM_PPC64", "EM_S390")
            self._read_symbols()
            self.regions = self._allocated_regions()
            self.architecture = self._architecture()
            self.variables, self.functions, self.tags, self.typedefs, self.bases = {}, {}, {}, {}, {}
            # (has_dwarf_info() also counts a bare .eh_frame, which describes no types.)
            self.has_debug_info = any(self.elf.get_section_by_name(name) is not None
                                      for name in (".debug_info", ".zdebug_info"))
            if self.has_debug_info:
                self._index()
        except (ELFError, DWARFError, ValueError, KeyError, OSError) as e:
            self.file.close()
            raise ElfError("%s: not a readable ELF file (%s)" % (path, e))
        self.built = {}

    def close(self):
        self.file.close()

    # ------------------------------------------------------------ the ELF side

    def _read_symbols(self):
        thumb = self.machine == "EM_ARM"
        self.symbols = {}
        table = []
        for section in self.elf.iter_sections():
            if not isinstance(section, SymbolTableSection):
                continue
            for sym in section.iter_symbols():
                kind = sym["st_info"]["type"]
                # "$t", "$d", "$x": ARM and AArch64 mapping symbols, no names.
                if not sym.name or sym.name.startswith("$") or kind not in ("STT_FUNC", "STT_OBJECT", "STT_NOTYPE") or \
                        sym["st_shndx"] in ("SHN_UNDEF", "SHN_ABS"):
                    continue
                address = sym["st_value"]
                if thumb and kind == "STT_FUNC":
                    address &= ~1
                entry = Symbol(sym.name, address, sym["st_size"], kind == "STT_FUNC", sym["st_shndx"])
                # A global wins over a local of the same name.
                if sym.name not in self.symbols or sym["st_info"]["bind"] != "STB_LOCAL":
                    self.symbols[sym.name] = entry
                table.append(entry)
        # At one address: sized symbols after unsized ones, functions last,
        # so that the nearest symbol below an address is the telling one.
        table.sort(key=lambda s: (s.address, s.size > 0, s.function))
        self.by_address = table
        self.addresses = [s.address for s in table]

    def _allocated_regions(self):
        """Address ranges the program occupies, merged: [(start, end)]."""
        spans = sorted((s["sh_addr"], s["sh_addr"] + s["sh_size"]) for s in self.elf.iter_sections()
                       if s["sh_flags"] & SHF_ALLOC and s["sh_size"] > 0)
        merged = []
        for start, end in spans:
            if merged and start <= merged[-1][1]:
                merged[-1] = (merged[-1][0], max(merged[-1][1], end))
            else:
                merged.append((start, end))
        return merged

    def _architecture(self):
        """The architecture name GDB gives this program."""
        if self.machine != "EM_ARM":
            return _MACHINE_ARCH_NAMES.get(self.machine, self.machine)
        for section in self.elf.iter_sections():
            if isinstance(section, ARMAttributesSection):
                for subsection in section.iter_subsections():
                    for sub in subsection.iter_subsubsections():
                        for attribute in sub.iter_attributes():
                            if attribute.tag == "TAG_CPU_ARCH":
                                return _ARM_ARCH_NAMES.get(attribute.value, "arm")
        return "arm"

    def symbol_containing(self, address, functions_only=False):
        """(symbol, offset) of the nearest symbol at or below address that
        holds it (a symbol without a size holds everything up to the next
        one), or None."""
        i = bisect.bisect_right(self.addresses, address) - 1
        while i >= 0:
            sym = self.by_address[i]
            if functions_only and not sym.function:
                i -= 1
                continue
            if sym.size == 0 or address < sym.address + sym.size:
                return sym, address - sym.address
            return None
        return None

    # ------------------------------------------------------------ the index

    def _index(self):
        dwarf = self.elf.get_dwarf_info(relocate_dwarf_sections=False)
        for cu in dwarf.iter_CUs():
            for die in cu.get_top_DIE().iter_children():
                name = _name(die)
                if name is None:
                    continue
                tag = die.tag
                declaration = "DW_AT_declaration" in die.attributes
                if tag == "DW_TAG_variable":
                    known = self.variables.get(name)
                    # A definition (with a location) beats a declaration.
                    if known is None or ("DW_AT_location" in die.attributes and "DW_AT_location" not in known.attributes):
                        self.variables[name] = die
                elif tag == "DW_TAG_subprogram":
                    if not declaration and "DW_AT_low_pc" in die.attributes:
                        self.functions.setdefault(name, die)
                elif tag in _TAG_KINDS:
                    key = (_TAG_KINDS[tag], name)
                    if not declaration or key not in self.tags:
                        if key not in self.tags or "DW_AT_declaration" in self.tags[key].attributes:
                            self.tags[key] = die
                elif tag == "DW_TAG_typedef":
                    self.typedefs.setdefault(name, die)
                elif tag == "DW_TAG_base_type":
                    self.bases.setdefault(name, die)
                    if name == "char":
                        encoding = die.attributes.get("DW_AT_encoding")
                        if encoding is not None:
                            self.char_signed = encoding.value in _SIGNED_ENCODINGS

    # ------------------------------------------------------------ TypeSource

    def tagged(self, kind, tag):
        die = self.tags.get((kind, tag))
        return self.type_of(die) if die is not None else None

    def typedef(self, name):
        die = self.typedefs.get(name)
        return self.type_of(die) if die is not None else None

    def variable(self, name):
        die = self.variables.get(name)
        if die is None or "DW_AT_type" not in die.attributes:
            return None
        address = self._location(die)
        if address is None:
            sym = self.symbols.get(name)
            if sym is None or sym.function:
                return None
            address = sym.address
        return address, self.type_of(die.get_DIE_from_attribute("DW_AT_type"))

    def function(self, name):
        die = self.functions.get(name)
        if die is not None:
            return die.attributes["DW_AT_low_pc"].value, CType(cvalues.FUNCTION, name, 1)
        sym = self.symbols.get(name)
        if sym is not None and sym.function:
            return sym.address, CType(cvalues.FUNCTION, name, 1)
        return None

    def storage_class(self, name):
        """(address, storage class) for the symbol-lookup service, or None."""
        die = self.variables.get(name)
        if die is not None:
            found = self.variable(name)
            if found is not None:
                external = "DW_AT_external" in die.attributes
                return found[0], STORAGE_GLOBAL if external else STORAGE_STATIC
        found = self.function(name)
        if found is not None and name in self.functions:
            return found[0], STORAGE_FUNCTION
        sym = self.symbols.get(name)
        if sym is not None:
            return sym.address, STORAGE_UNKNOWN
        return None

    @staticmethod
    def _location(die):
        attribute = die.attributes.get("DW_AT_location")
        if attribute is None or attribute.form not in ("DW_FORM_exprloc", "DW_FORM_block1", "DW_FORM_block"):
            return None
        expr = attribute.value
        if expr and expr[0] == DW_OP_ADDR:
            return int.from_bytes(bytes(expr[1:]), "little" if die.dwarfinfo.config.little_endian else "big")
        return None

    # ------------------------------------------------------------ types

    def type_of(self, die, depth=0):
        """The CType of a type entry (None: void)."""
        if die is None:
            return CType(cvalues.VOID, "void", 1)
        key = die.offset
        built = self.built.get(key)
        if built is not None:
            return built
        if depth > MAX_TYPE_DEPTH:
            raise ExpressionError("types nest deeper than %d" % MAX_TYPE_DEPTH)
        tag = die.tag
        if tag in _QUALIFIER_TAGS:
            built = self._target(die, depth)
        elif tag == "DW_TAG_base_type":
            built = self._base(die)
        elif tag in ("DW_TAG_pointer_type", "DW_TAG_reference_type", "DW_TAG_rvalue_reference_type"):
            built = CType(cvalues.POINTER, None, self._size(die, self.pointer_size))
            self.built[key] = built
            built.target = self._target(die, depth)
        elif tag == "DW_TAG_typedef":
            built = CType(cvalues.TYPEDEF, _name(die))
            self.built[key] = built
            built.target = self._target(die, depth)
            built.size = built.target.size
        elif tag in ("DW_TAG_structure_type", "DW_TAG_class_type", "DW_TAG_union_type"):
            built = self._aggregate(die, depth)
        elif tag == "DW_TAG_enumeration_type":
            built = self._enumeration(die)
        elif tag == "DW_TAG_array_type":
            built = self._array(die, depth)
        elif tag == "DW_TAG_subroutine_type":
            built = CType(cvalues.FUNCTION, None, 1)
        else:
            raise ExpressionError("unsupported type entry %s" % tag)
        self.built[key] = built
        return built

    def _target(self, die, depth):
        if "DW_AT_type" not in die.attributes:
            return CType(cvalues.VOID, "void", 1)
        return self.type_of(die.get_DIE_from_attribute("DW_AT_type"), depth + 1)

    @staticmethod
    def _size(die, default=0):
        attribute = die.attributes.get("DW_AT_byte_size")
        return attribute.value if attribute is not None and isinstance(attribute.value, int) else default

    def _base(self, die):
        name = _name(die) or "?"
        size = self._size(die)
        encoding = die.attributes["DW_AT_encoding"].value if "DW_AT_encoding" in die.attributes else 0x7
        if encoding in _FLOAT_ENCODINGS:
            return CType(cvalues.FLOAT, name, size)
        if encoding == _BOOLEAN_ENCODING:
            return CType(cvalues.INT, name, size, False, cvalues.RANK_BOOL)
        spelled = cvalues._base_type(name.split(), self)
        rank = spelled.rank if spelled is not None and spelled.kind == cvalues.INT else None
        return cvalues.integer_type(size, encoding in _SIGNED_ENCODINGS, name, rank)

    def _aggregate(self, die, depth):
        kind = cvalues.UNION if die.tag == "DW_TAG_union_type" else cvalues.STRUCT
        name = _name(die)
        if "DW_AT_declaration" in die.attributes and name is not None:
            complete = self.tags.get(("union" if kind == cvalues.UNION else "struct", name))
            if complete is not None and complete.offset != die.offset and \
                    "DW_AT_declaration" not in complete.attributes:
                return self.type_of(complete, depth + 1)
            return CType(kind, name, 0)          # incomplete: members None
        built = CType(kind, name, self._size(die), members={})
        self.built[die.offset] = built
        anonymous = []
        for child in die.iter_children():
            if child.tag != "DW_TAG_member":
                continue
            member = self._member(child, depth)
            if member is None:
                continue
            member_name = _name(child)
            if member_name is None:
                anonymous.append(member)
            else:
                built.members[member_name] = member
        built.anonymous = tuple(anonymous)
        return built

    def _member(self, die, depth):
        if "DW_AT_type" not in die.attributes:
            return None
        type_ = self.type_of(die.get_DIE_from_attribute("DW_AT_type"), depth + 1)
        offset = 0
        location = die.attributes.get("DW_AT_data_member_location")
        if location is not None:
            if isinstance(location.value, int):
                offset = location.value
            elif location.value and location.value[0] == DW_OP_PLUS_UCONST:
                offset = _uleb(location.value[1:])
            else:
                return None
        bit_size = die.attributes["DW_AT_bit_size"].value if "DW_AT_bit_size" in die.attributes else 0
        bit_offset = 0
        if bit_size:
            if "DW_AT_data_bit_offset" in die.attributes:
                total = die.attributes["DW_AT_data_bit_offset"].value
                offset, bit_offset = offset + total // 8, total % 8
            elif "DW_AT_bit_offset" in die.attributes:
                # DWARF 2/3: counted from the most significant bit of a
                # storage unit of DW_AT_byte_size bytes.
                unit = self._size(die, type_.strip().size)
                msb_offset = die.attributes["DW_AT_bit_offset"].value
                if self.byte_order == "little":
                    total = 8 * unit - msb_offset - bit_size
                else:
                    total = msb_offset
                offset, bit_offset = offset + total // 8, total % 8
        return Member(offset, type_, bit_size, bit_offset)

    def _enumeration(self, die):
        size = self._size(die, 4)
        signed = any(child.attributes["DW_AT_const_value"].value < 0 for child in die.iter_children()
                     if child.tag == "DW_TAG_enumerator" and "DW_AT_const_value" in child.attributes
                     and isinstance(child.attributes["DW_AT_const_value"].value, int))
        return cvalues.integer_type(size, signed, "enum " + (_name(die) or ""))

    def _array(self, die, depth):
        element = self._target(die, depth)
        counts = []
        for child in die.iter_children():
            if child.tag != "DW_TAG_subrange_type":
                continue
            if "DW_AT_count" in child.attributes and isinstance(child.attributes["DW_AT_count"].value, int):
                counts.append(child.attributes["DW_AT_count"].value)
            elif "DW_AT_upper_bound" in child.attributes and \
                    isinstance(child.attributes["DW_AT_upper_bound"].value, int):
                lower = child.attributes["DW_AT_lower_bound"].value if "DW_AT_lower_bound" in child.attributes else 0
                counts.append(child.attributes["DW_AT_upper_bound"].value - lower + 1)
            else:
                counts.append(None)
        built = element
        for count in reversed(counts or [None]):
            if count is not None and not 0 <= count <= cvalues.MAX_ARRAY_ELEMENTS:
                raise ExpressionError("an array of %d elements" % count)
            size = count * built.sizeof() if count is not None and built.kind != cvalues.VOID else 0
            built = CType(cvalues.ARRAY, None, size, target=built, count=count)
        return built

    # ------------------------------------------------------------ checks

    def missing(self, symbols, tags):
        """What of the named symbols and (kind, tag) types the program does
        not describe: ["symbol _tx_thread_created_ptr", "struct TX_THREAD_STRUCT"]."""
        out = ["symbol " + name for name in symbols if self.variable(name) is None]
        out += ["%s %s" % key for key in tags if key not in self.tags or
                "DW_AT_declaration" in self.tags[key].attributes]
        return out


def _uleb(data):
    value, shift = 0, 0
    for byte in data:
        value |= (byte & 0x7F) << shift
        shift += 7
        if not byte & 0x80:
            break
    return value
