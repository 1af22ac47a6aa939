"""C values over a program's types and a target's memory: the value model
of the back end without GDB (see cexpr.ValueModel).

Types (CType) come from a TypeSource (dwarf.DwarfTypes for an ELF file, a
hand-made one in tests); memory from a reader function; registers from a
register function. Values (CValue) are lvalues (an address: read when
their contents are needed, so member access and sizeof read nothing) or
rvalues (the integer in the type's signedness, or a float).

The arithmetic follows C as GDB evaluates it: integer promotion and the
usual arithmetic conversions (rank, then signedness), results wrapped to
their type's width, comparisons and logic giving int, pointer arithmetic
scaled by the target's size (void and functions count 1, as in GDB),
pointer difference giving long, arrays decaying to pointers. Every
failure is cexpr.ExpressionError.
"""

import struct

from .cexpr import ExpressionError, ValueModel

# Kinds of CType.
VOID, INT, FLOAT, POINTER, ARRAY, STRUCT, UNION, FUNCTION, TYPEDEF = (
    "void", "int", "float", "pointer", "array", "struct", "union", "function", "typedef")
ENUM = "enum"          # an INT with enumerators; arithmetic treats it as its integer type

# Integer conversion ranks (C: bool < char < short < int < long < long long).
RANK_BOOL, RANK_CHAR, RANK_SHORT, RANK_INT, RANK_LONG, RANK_LONG_LONG = range(6)
_RANK_BY_SIZE = {1: RANK_CHAR, 2: RANK_SHORT, 4: RANK_INT, 8: RANK_LONG_LONG}
MAX_ARRAY_ELEMENTS = 1 << 24


class CType:
    """kind, size in bytes; INT: signed, rank; POINTER/ARRAY/TYPEDEF:
    target; ARRAY: count (None when unknown); STRUCT/UNION: members
    {name: Member} (None for a declaration only), anonymous (members
    without a name, searched in turn)."""

    __slots__ = ("kind", "name", "size", "signed", "rank", "target", "count", "members", "anonymous")

    def __init__(self, kind, name=None, size=0, signed=False, rank=RANK_INT, target=None, count=None,
                 members=None, anonymous=()):
        self.kind, self.name, self.size, self.signed, self.rank = kind, name, size, signed, rank
        self.target, self.count, self.members, self.anonymous = target, count, members, anonymous

    def strip(self):
        """The type behind typedefs."""
        t = self
        while t.kind == TYPEDEF:
            t = t.target
        return t

    def sizeof(self):
        t = self.strip()
        if t.kind == ARRAY:
            if t.count is None:
                raise ExpressionError("array of unknown size")
            return t.count * t.target.sizeof()
        if t.kind in (STRUCT, UNION) and t.members is None:
            raise ExpressionError("incomplete type %s" % t.name)
        return t.size

    def __repr__(self):
        return "CType(%s %s, %d)" % (self.kind, self.name, self.size)


class Member:
    __slots__ = ("offset", "type", "bit_size", "bit_offset")

    def __init__(self, offset, type_, bit_size=0, bit_offset=0):
        """bit_offset: of a bit field, counted from the least significant
        bit of the byte at offset (little-endian view of the container)."""
        self.offset, self.type, self.bit_size, self.bit_offset = offset, type_, bit_size, bit_offset


class CValue:
    __slots__ = ("type", "address", "raw")

    def __init__(self, type_, address=None, raw=None):
        self.type, self.address, self.raw = type_, address, raw

    def __repr__(self):
        return "CValue(%r, address=%r, raw=%r)" % (self.type, self.address, self.raw)


def integer_type(size, signed, name=None, rank=None):
    return CType(INT, name, size, signed, _RANK_BY_SIZE.get(size, RANK_LONG_LONG) if rank is None else rank)


def pointer_to(target, size):
    return CType(POINTER, None, size, False, target=target)


class TypeSource:
    """What a program tells about its types and symbols."""

    pointer_size = 4
    byte_order = "little"
    char_signed = True

    def tagged(self, kind, tag):        # "struct"/"union"/"enum", tag -> CType or None
        return None

    def typedef(self, name):            # -> CType (a TYPEDEF) or None
        return None

    def variable(self, name):           # -> (address, CType) or None
        return None

    def function(self, name):           # -> (address, CType of kind FUNCTION) or None
        return None


def _truncate(value, size, signed):
    bits = 8 * size
    value &= (1 << bits) - 1
    if signed and value >> (bits - 1):
        value -= 1 << bits
    return value


# ---------------------------------------------------------------- base types

def _base_type(words, source):
    """A C base type spelled with keywords ("unsigned", "long", "int"...),
    in the program's data model. None when words are no base type."""
    counts = {}
    for word in words:
        counts[word] = counts.get(word, 0) + 1
    psize = source.pointer_size
    unsigned = counts.pop("unsigned", 0) > 0
    signed = counts.pop("signed", 0) > 0
    if unsigned and signed:
        return None
    longs = counts.pop("long", 0)
    rest = tuple(sorted(counts))
    if rest == ("void",) and not (longs or unsigned or signed):
        return CType(VOID, "void", 1)
    if rest == ("_Bool",) and not (longs or unsigned or signed):
        return CType(INT, "_Bool", 1, False, RANK_BOOL)
    if rest in (("float",), ("double",)) and not (unsigned or signed):
        size = 4 if rest == ("float",) else (16 if longs else 8)
        return CType(FLOAT, " ".join(words), size)
    if rest == ("char",) and not longs:
        is_signed = signed or (not unsigned and source.char_signed)
        return CType(INT, " ".join(words), 1, is_signed, RANK_CHAR)
    if rest == ("short",) or rest == ("int", "short"):
        if longs:
            return None
        return CType(INT, " ".join(words), 2, not unsigned, RANK_SHORT)
    if rest in ((), ("int",)):
        if longs == 0:
            if not (unsigned or signed or rest):
                return None
            return CType(INT, " ".join(words), 4, not unsigned, RANK_INT)
        if longs == 1:
            return CType(INT, " ".join(words), psize if psize == 8 else 4, not unsigned, RANK_LONG)
        if longs == 2:
            return CType(INT, " ".join(words), 8, not unsigned, RANK_LONG_LONG)
    return None


class CValueModel(ValueModel):
    def __init__(self, source, read_memory, read_register=None):
        """read_memory(address, length) -> bytes (raises ExpressionError);
        read_register(name) -> CValue or None for no such register."""
        self.source = source
        self.read_memory = read_memory
        self.read_register = read_register or (lambda name: None)
        self.order = source.byte_order
        psize = source.pointer_size
        self.psize = psize
        self.int = CType(INT, "int", 4, True, RANK_INT)
        self.uint = CType(INT, "unsigned int", 4, False, RANK_INT)
        self.long = CType(INT, "long", psize if psize == 8 else 4, True, RANK_LONG)
        self.ulong = CType(INT, "unsigned long", self.long.size, False, RANK_LONG)
        self.void = CType(VOID, "void", 1)
        self.types = {}
        self.convenience = {}

    # ------------------------------------------------------------ types

    def is_type_name(self, word):
        return self.source.typedef(word) is not None

    def lookup_type(self, type_name):
        found = self.types.get(type_name)
        if found is None:
            found = self._base(type_name.words)
            for _ in range(type_name.pointers):
                found = pointer_to(found, self.psize)
            self.types[type_name] = found
        return found

    def _base(self, words):
        if words[0] in ("struct", "union", "enum"):
            found = self.source.tagged(words[0], words[1])
            if found is None:
                raise ExpressionError("no %s %s in the program's debug information" % (words[0], words[1]))
            return found
        if len(words) == 1:
            found = self.source.typedef(words[0])
            if found is not None:
                return found
        found = _base_type(words, self.source)
        if found is None:
            raise ExpressionError("unknown type %s" % " ".join(words))
        return found

    # ------------------------------------------------------------ reading

    def fetch(self, value):
        """The integer (or float) a scalar value holds."""
        if value.raw is not None:
            return value.raw
        t = value.type.strip()
        if t.kind in (INT, ENUM, POINTER):
            data = self.read_memory(value.address, t.size)
            return int.from_bytes(data, self.order, signed=t.kind != POINTER and t.signed)
        if t.kind == FLOAT:
            data = self.read_memory(value.address, t.size)
            if t.size not in (4, 8):
                raise ExpressionError("%d-byte floating point is not supported" % t.size)
            return struct.unpack(("<" if self.order == "little" else ">") + ("f" if t.size == 4 else "d"), data)[0]
        if t.kind in (ARRAY, FUNCTION):
            return value.address
        raise ExpressionError("a %s is not a number" % (t.name or t.kind))

    def _int(self, value):
        """An integer operand (pointers by their address); arrays and
        functions decay to their address."""
        t = value.type.strip()
        if t.kind in (STRUCT, UNION, VOID):
            raise ExpressionError("a %s is not a number" % (t.name or t.kind))
        if t.kind == FLOAT:
            return int(self.fetch(value))
        return self.fetch(value)

    def _decayed(self, value):
        """Arrays as a pointer to their first element, functions as a
        pointer to them; anything else unchanged."""
        t = value.type.strip()
        if t.kind == ARRAY:
            if value.address is None:
                raise ExpressionError("an array that is not in memory")
            return CValue(pointer_to(t.target, self.psize), raw=value.address)
        if t.kind == FUNCTION:
            return CValue(pointer_to(value.type, self.psize), raw=value.address)
        return value

    # ------------------------------------------------------------ leaves

    def literal(self, number, words):
        t = _base_type(words, self.source)
        return CValue(t, raw=_truncate(number, t.size, t.signed))

    def boolean(self, flag):
        return CValue(self.int, raw=1 if flag else 0)

    def symbol(self, name):
        found = self.source.variable(name)
        if found is not None:
            address, type_ = found
            return CValue(type_, address)
        found = self.source.function(name)
        if found is not None:
            address, type_ = found
            return CValue(type_, address)
        raise ExpressionError('No symbol "%s" in current context.' % name)

    def dollar(self, name):
        value = self.read_register(name)
        if value is not None:
            return value
        return self.convenience.get(name) or CValue(self.void)

    def assign(self, name, value):
        if self.read_register(name) is not None:
            raise ExpressionError("registers cannot be written here ($%s)" % name)
        t = value.type.strip()
        stored = value if t.kind in (STRUCT, UNION, ARRAY, FUNCTION, VOID) else CValue(value.type, raw=self.fetch(value))
        self.convenience[name] = stored
        return stored

    # ------------------------------------------------------------ access

    def member(self, value, name):
        t = value.type.strip()
        if t.kind not in (STRUCT, UNION):
            raise ExpressionError("attempt to extract a component of a value that is not a structure")
        if t.members is None:
            raise ExpressionError("incomplete type %s" % t.name)
        found = self._find_member(t, name, 0)
        if found is None:
            raise ExpressionError("There is no member named %s." % name)
        offset, member = found
        if value.address is None:
            raise ExpressionError("a structure that is not in memory")
        if member.bit_size:
            return self._bit_field(value.address + offset, member)
        return CValue(member.type, value.address + offset)

    def _find_member(self, t, name, base):
        member = t.members.get(name)
        if member is not None:
            return base + member.offset, member
        for anonymous in t.anonymous:
            inner = anonymous.type.strip()
            if inner.members:
                found = self._find_member(inner, name, base + anonymous.offset)
                if found:
                    return found
        return None

    def _bit_field(self, address, member):
        t = member.type.strip()
        span = (member.bit_offset + member.bit_size + 7) // 8
        raw = int.from_bytes(self.read_memory(address, span), "little")
        if self.order == "big":
            raw = int.from_bytes(raw.to_bytes(span, "little"), "big")
        bits = (raw >> member.bit_offset) & ((1 << member.bit_size) - 1)
        if t.signed and bits >> (member.bit_size - 1):
            bits -= 1 << member.bit_size
        return CValue(member.type, raw=bits)

    def dereference(self, value):
        value = self._decayed(value)
        t = value.type.strip()
        if t.kind != POINTER:
            raise ExpressionError("Attempt to take contents of a non-pointer value.")
        target = t.target.strip()
        if target.kind == VOID:
            raise ExpressionError("Attempt to take contents of a void pointer.")
        return CValue(t.target, self.fetch(value))

    def address_of(self, value):
        if value.address is None:
            raise ExpressionError("Attempt to take address of value not located in memory.")
        return CValue(pointer_to(value.type, self.psize), raw=value.address)

    def index(self, value, index):
        base = self._decayed(value)
        if base.type.strip().kind != POINTER:
            base, index = self._decayed(index), value       # 2[array] is C too
        if base.type.strip().kind != POINTER:
            raise ExpressionError("cannot subscript something of a type that is not an array or pointer")
        return self.dereference(self._offset(base, self._int(index)))

    # ------------------------------------------------------------ conversions

    def cast(self, value, type_):
        target = type_.strip()
        source = self._decayed(value)
        st = source.type.strip()
        if target.kind == VOID:
            return CValue(type_, raw=0)
        if target.kind in (STRUCT, UNION, ARRAY, FUNCTION):
            if st is target and value.address is not None:
                return CValue(type_, value.address)
            raise ExpressionError("Invalid cast to %s" % (target.name or target.kind))
        if st.kind in (STRUCT, UNION, VOID):
            raise ExpressionError("Invalid cast of a %s" % (st.name or st.kind))
        if target.kind == FLOAT:
            return CValue(type_, raw=float(self.fetch(source)))
        number = self._int(source)
        if target.kind == POINTER:
            return CValue(type_, raw=number & ((1 << (8 * target.size)) - 1))
        return CValue(type_, raw=_truncate(number, target.size, target.signed))

    def _promoted(self, t):
        if t.kind == INT and t.rank < RANK_INT:
            return self.int
        if t.kind == INT and t.size < 4:
            return self.int
        return t

    def _common(self, a, b):
        """The usual arithmetic conversions of two integer types."""
        a, b = self._promoted(a), self._promoted(b)
        if a.size == b.size and a.signed == b.signed and a.rank == b.rank:
            return a
        if a.signed == b.signed:
            return a if (a.rank, a.size) >= (b.rank, b.size) else b
        unsigned, signed = (a, b) if not a.signed else (b, a)
        if unsigned.rank >= signed.rank and unsigned.size >= signed.size:
            return unsigned
        if signed.size > unsigned.size:
            return signed
        return CType(INT, "unsigned " + (signed.name or "long"), signed.size, False, signed.rank)

    def unary(self, op, value):
        value = self._decayed(value)
        t = value.type.strip()
        if op == "!":
            return self.boolean(not self.truth(value))
        if t.kind == FLOAT:
            number = self.fetch(value)
            if op == "~":
                raise ExpressionError("Argument to complement operation not an integer.")
            return CValue(value.type, raw=-number if op == "-" else number)
        if t.kind not in (INT, ENUM):
            raise ExpressionError("Argument to arithmetic operation not a number or boolean.")
        result = self._promoted(t)
        number = self.fetch(value)
        number = {"-": -number, "+": number, "~": ~number}[op]
        return CValue(result, raw=_truncate(number, result.size, result.signed))

    def truth(self, value):
        value = self._decayed(value)
        t = value.type.strip()
        if t.kind not in (INT, ENUM, POINTER, FLOAT):
            raise ExpressionError("a %s has no truth value" % (t.name or t.kind))
        return self.fetch(value) != 0

    def _offset(self, pointer, count):
        target = pointer.type.strip().target.strip()
        step = 1 if target.kind in (VOID, FUNCTION) else target.sizeof()
        address = (self.fetch(pointer) + count * step) & ((1 << (8 * self.psize)) - 1)
        return CValue(pointer.type, raw=address)

    def binary(self, op, left, right):
        left, right = self._decayed(left), self._decayed(right)
        lt, rt = left.type.strip(), right.type.strip()
        if lt.kind == POINTER or rt.kind == POINTER:
            return self._pointer_binary(op, left, right, lt, rt)
        for t in (lt, rt):
            if t.kind not in (INT, ENUM, FLOAT):
                raise ExpressionError("Argument to arithmetic operation not a number or boolean.")
        if lt.kind == FLOAT or rt.kind == FLOAT:
            return self._float_binary(op, float(self.fetch(left)), float(self.fetch(right)))
        if op in ("<<", ">>"):
            result = self._promoted(lt)
        else:
            result = self._common(lt, rt)
        a = _truncate(self.fetch(left), result.size, result.signed) if op not in ("<<", ">>") else self.fetch(left)
        b = self.fetch(right)
        if op not in ("<<", ">>"):
            b = _truncate(b, result.size, result.signed)
        return self._integer_binary(op, a, b, result)

    def _integer_binary(self, op, a, b, result):
        if op in _COMPARISONS:
            return self.boolean(_COMPARISONS[op](a, b))
        if op in ("/", "%"):
            if b == 0:
                raise ExpressionError("Division by zero")
            quotient = abs(a) // abs(b) * (1 if (a < 0) == (b < 0) else -1)   # C truncates toward zero
            number = quotient if op == "/" else a - quotient * b
        elif op in ("<<", ">>"):
            if b < 0 or b >= 8 * result.size:
                number = 0 if op == "<<" or a >= 0 else -1
            else:
                number = a << b if op == "<<" else a >> b
        else:
            number = _ARITHMETIC[op](a, b)
        return CValue(result, raw=_truncate(number, result.size, result.signed))

    def _float_binary(self, op, a, b):
        if op in _COMPARISONS:
            return self.boolean(_COMPARISONS[op](a, b))
        if op == "/":
            if b == 0:
                raise ExpressionError("Division by zero")
            return CValue(CType(FLOAT, "double", 8), raw=a / b)
        if op in ("+", "-", "*"):
            return CValue(CType(FLOAT, "double", 8), raw=_ARITHMETIC[op](a, b))
        raise ExpressionError("Integer only operation %s." % op)

    def _pointer_binary(self, op, left, right, lt, rt):
        if op in _COMPARISONS:
            for t in (lt, rt):
                if t.kind not in (POINTER, INT, ENUM):
                    raise ExpressionError("cannot compare a pointer with a %s" % (t.name or t.kind))
            a = self.fetch(left) & ((1 << (8 * self.psize)) - 1)
            b = self.fetch(right) & ((1 << (8 * self.psize)) - 1)
            return self.boolean(_COMPARISONS[op](a, b))
        if op == "+" and lt.kind == POINTER and rt.kind in (INT, ENUM):
            return self._offset(left, self.fetch(right))
        if op == "+" and rt.kind == POINTER and lt.kind in (INT, ENUM):
            return self._offset(right, self.fetch(left))
        if op == "-" and lt.kind == POINTER and rt.kind in (INT, ENUM):
            return self._offset(left, -self.fetch(right))
        if op == "-" and lt.kind == POINTER and rt.kind == POINTER:
            size = self._step(lt)
            if size != self._step(rt):
                raise ExpressionError("First argument of `-' is a pointer and second argument is neither\n"
                                      "an integer nor a pointer of the same type.")
            difference = _truncate(self.fetch(left) - self.fetch(right), self.psize, True)
            return CValue(self.long, raw=_truncate(int(difference / size), self.long.size, True))
        raise ExpressionError("Argument to arithmetic operation not a number or boolean.")

    @staticmethod
    def _step(pointer_type):
        target = pointer_type.target.strip()
        return 1 if target.kind in (VOID, FUNCTION) else target.sizeof()

    def sizeof_type(self, type_):
        return CValue(self.ulong, raw=type_.sizeof())

    def sizeof_value(self, value):
        return CValue(self.ulong, raw=value.type.sizeof())


_COMPARISONS = {
    "==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
    ">": lambda a, b: a > b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b,
}
_ARITHMETIC = {
    "+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b,
    "&": lambda a, b: a & b, "|": lambda a, b: a | b, "^": lambda a, b: a ^ b,
}
