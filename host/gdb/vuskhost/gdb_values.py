"""The plugin's expressions evaluated in GDB without GDB's parser: the
cexpr trees over gdb.Value, with types looked up once and control blocks
read once per command.

gdb.parse_and_eval parses every text anew and looks every type and symbol
up again; on a native program with many object files one
"((struct T *)0x...)->field" costs milliseconds. Here each text is parsed
once (cexpr.Evaluator), types are looked up once per program, and a
control block that an expression dereferences is read whole, once, and
kept in the Snapshot: every later field of it costs no target access.

Values are gdb.Value, and every operation is the one GDB's own evaluator
applies for C: gdb.Value's operators and methods, after C's integer
promotions (binop_promote / unop_promote, which gdb.Value's operators do
not apply), pointer arithmetic and comparisons as GDB does them,
comparisons and logic giving int. A text the model cannot evaluate (a
shape outside cexpr, a name GDB's parser would find in a local scope, a
register that cannot be read, a fault) is evaluated by the fallback
(gdb.parse_and_eval, see gdb_target.parse_and_eval) instead, after the
convenience variables the model set are put back, so a text with
assignments runs once, as a whole.

Invariants: a Snapshot holds only what was read since the last
Snapshot.clear(); the commands clear it at the start of every command and
on every stop, continue, memory write and inferior call, so it never
outlives the target state it was read from. Types live until the
program's object files change (forget_types()).
"""

import gdb

from . import cexpr

# Largest control block read whole on first dereference; a bigger structure
# is left to GDB's lazy reads, field by field.
MAX_BLOCK_BYTES = 4096
# Literal values kept (the plugin repeats addresses across templates).
MAX_LITERALS = 4096

# Members a port renames outside the kernel's own sources (by a #define),
# so that the application's debug information spells them otherwise than
# the kernel's: a member missing under one spelling is looked up under the
# other.
MEMBER_SPELLINGS = {"tx_thread_fp_enable": "_tx_thread_fp_enable",
                    "_tx_thread_fp_enable": "tx_thread_fp_enable"}

# Faults of the model that hand the text to the fallback.
MODEL_FAULTS = (cexpr.ExpressionError, gdb.error, RuntimeError, ValueError, TypeError, OverflowError)

_INTEGRAL = (gdb.TYPE_CODE_INT, gdb.TYPE_CODE_CHAR, gdb.TYPE_CODE_ENUM, gdb.TYPE_CODE_FLAGS,
             gdb.TYPE_CODE_BOOL, gdb.TYPE_CODE_RANGE)
_COMPOSITE = (gdb.TYPE_CODE_STRUCT, gdb.TYPE_CODE_UNION)
# Python's rich comparisons on gdb.Value are value_equal and value_less,
# the functions GDB's evaluator calls.
_COMPARISONS = {
    "==": lambda a, b: a == b, "!=": lambda a, b: a != b, "<": lambda a, b: a < b,
    ">": lambda a, b: a > b, "<=": lambda a, b: a <= b, ">=": lambda a, b: a >= b,
}
_ARITHMETIC = {
    "+": lambda a, b: a + b, "-": lambda a, b: a - b, "*": lambda a, b: a * b, "/": lambda a, b: a / b,
    "%": lambda a, b: a % b, "&": lambda a, b: a & b, "|": lambda a, b: a | b, "^": lambda a, b: a ^ b,
    "<<": lambda a, b: a << b, ">>": lambda a, b: a >> b,
}


def _base_type_name(words):
    """The name GDB knows a C base type by ("unsigned" -> "unsigned int",
    "long unsigned int" -> "unsigned long"); None for no base type."""
    counts = {}
    for word in words:
        counts[word] = counts.get(word, 0) + 1
    unsigned = counts.pop("unsigned", 0) > 0
    signed = counts.pop("signed", 0) > 0
    longs = counts.pop("long", 0)
    rest = tuple(sorted(counts))
    if unsigned and signed:
        return None
    if rest in (("void",), ("_Bool",), ("float",), ("double",)) and not (unsigned or signed):
        if rest == ("double",) and longs == 1:
            return "long double"
        return rest[0] if not longs else None
    if rest == ("char",) and not longs:
        return "unsigned char" if unsigned else "signed char" if signed else "char"
    if rest in (("short",), ("int", "short")) and not longs:
        return "unsigned short" if unsigned else "short"
    if rest in ((), ("int",)) and (longs or unsigned or signed or rest):
        base = ("int", "long", "long long")[longs] if longs <= 2 else None
        if base is None:
            return None
        return "unsigned " + base if unsigned else base
    return None


def _code(value):
    return value.type.strip_typedefs().code


class Snapshot:
    """What was read from the target since the last clear(): control blocks
    by (address, type), their members by (id of the block, name), the block
    a pointer value points to by the id of the value, symbol values and
    convenience variables by name, C strings by (address, limit), and which
    $ names are registers. Every value whose id is a key is held here too,
    so no id is reused while it is kept."""

    def __init__(self):
        self.blocks = {}
        self.block_ids = set()
        self.members = {}
        self.pointed = {}
        self.symbols = {}
        self.variables = {}
        self.strings = {}
        self.registers = {}

    def clear(self):
        for kept in (self.blocks, self.block_ids, self.members, self.pointed, self.symbols, self.variables,
                     self.strings, self.registers):
            kept.clear()


class GdbValueModel(cexpr.ValueModel):
    def __init__(self, snapshot):
        self.snapshot = snapshot
        self.journal = None             # [(name, old value or None)] while a text runs
        self.forget_types()

    def forget_types(self):
        """The program's object files changed: types are looked up again."""
        self.types = {}                 # cexpr.TypeName -> gdb.Type
        self.type_names = {}            # word -> whether it names a type
        self.literals = {}
        self.int_type = gdb.lookup_type("int")
        self.true = gdb.Value(1).cast(self.int_type)
        self.false = gdb.Value(0).cast(self.int_type)
        # The types binop_promote chooses from, by (size, unsigned), the
        # narrowest first for each size.
        self.promoted = {}
        for name in ("long long", "long", "int"):
            for unsigned in (True, False):
                t = gdb.lookup_type(("unsigned " if unsigned else "") + name)
                self.promoted[(t.sizeof, unsigned)] = t

    # ------------------------------------------------------------ types

    def is_type_name(self, word):
        known = self.type_names.get(word)
        if known is None:
            try:
                gdb.lookup_type(word)
                known = True
            except gdb.error:
                known = False
            self.type_names[word] = known
        return known

    def lookup_type(self, type_name):
        found = self.types.get(type_name)
        if found is None:
            words = type_name.words
            if words[0] in ("struct", "union", "enum"):
                name = " ".join(words)
            else:
                name = _base_type_name(words) if all(w in cexpr.TYPE_KEYWORDS for w in words) else words[0]
                if name is None:
                    raise cexpr.ExpressionError("unknown type %s" % " ".join(words))
            found = gdb.lookup_type(name)
            for _ in range(type_name.pointers):
                found = found.pointer()
            self.types[type_name] = found
        return found

    # ------------------------------------------------------------ leaves

    def literal(self, number, type_words):
        key = (number, type_words)
        value = self.literals.get(key)
        if value is None:
            if len(self.literals) >= MAX_LITERALS:
                self.literals.clear()
            value = gdb.Value(number).cast(self.lookup_type(cexpr.TypeName(type_words, 0)))
            self.literals[key] = value
        return value

    def boolean(self, flag):
        return self.true if flag else self.false

    def symbol(self, name):
        value = self.snapshot.symbols.get(name)
        if value is None:
            symbol = gdb.lookup_symbol(name)[0]
            if symbol is None:
                # A linker symbol without debug information, or none at all:
                # GDB's parser knows what to make of it.
                raise cexpr.ExpressionError("no symbol %s with debug information" % name)
            if symbol.addr_class == gdb.SYMBOL_LOC_TYPEDEF or not symbol.is_valid():
                raise cexpr.ExpressionError("%s is no value" % name)
            value = symbol.value(gdb.selected_frame()) if symbol.needs_frame else symbol.value()
            # Read now: a cast or copy of a lazy value would read it again.
            if value.is_lazy and _code(value) != gdb.TYPE_CODE_FUNC and value.type.sizeof <= MAX_BLOCK_BYTES:
                try:
                    value.fetch_lazy()
                except gdb.MemoryError:
                    pass            # left to the reads that need it, which fail as GDB's do
            self.snapshot.symbols[name] = value
        return value

    def _is_register(self, name):
        # Asked once per command: the target's registers come with the target.
        registers = self.snapshot.registers
        known = registers.get(name)
        if known is None:
            try:
                gdb.selected_frame().read_register(name)
                known = True
            except ValueError:
                known = False
            registers[name] = known
        return known

    def dollar(self, name):
        if self._is_register(name):
            return gdb.selected_frame().read_register(name)
        variables = self.snapshot.variables
        value = variables.get(name)
        if value is None:
            value = gdb.convenience_variable(name)
            if value is None:
                raise cexpr.ExpressionError("$%s has no value" % name)
            variables[name] = value
        return value

    def assign(self, name, value):
        if self._is_register(name):
            raise cexpr.ExpressionError("registers are written by GDB's evaluator ($%s)" % name)
        if self.journal is not None:
            self.journal.append((name, gdb.convenience_variable(name)))
        gdb.set_convenience_variable(name, value)
        # GDB keeps a copy, read from the target now; later reads see that.
        self.snapshot.variables[name] = stored = gdb.convenience_variable(name)
        return stored

    def undo_assignments(self):
        """Puts back the convenience variables the running text set."""
        while self.journal:
            name, old = self.journal.pop()
            gdb.set_convenience_variable(name, old)
            self.snapshot.variables.pop(name, None)

    # ------------------------------------------------------------ access

    def member(self, value, name):
        members = self.snapshot.members
        key = (id(value), name)
        found = members.get(key)
        if found is None:
            try:
                found = value[name]
            except gdb.error as e:
                other = MEMBER_SPELLINGS.get(name)
                if other is None or "There is no member named" not in str(e):
                    raise
                found = value[other]
            if id(value) in self.snapshot.block_ids:
                members[key] = found
        return found

    def dereference(self, value):
        snapshot = self.snapshot
        pointed = snapshot.pointed.get(id(value))
        if pointed is not None:
            return pointed[1]
        pointer = value.type.strip_typedefs()
        if pointer.code != gdb.TYPE_CODE_PTR:
            return value.dereference()          # arrays: GDB's value_ind takes them too
        kind = pointer.target().strip_typedefs()
        if kind.code not in _COMPOSITE or kind.sizeof > MAX_BLOCK_BYTES:
            return value.dereference()
        key = (int(value), kind.tag or kind.name or str(kind), kind.sizeof)
        block = snapshot.blocks.get(key)
        if block is None:
            block = value.dereference()
            try:
                block.fetch_lazy()
            except gdb.MemoryError:
                return block        # fields alone may still read, as GDB reads them
            snapshot.blocks[key] = block
            snapshot.block_ids.add(id(block))
        snapshot.pointed[id(value)] = (value, block)
        return block

    def address_of(self, value):
        if value.address is None:
            raise cexpr.ExpressionError("Attempt to take address of value not located in memory.")
        return value.address

    def index(self, value, index):
        if _code(value) not in (gdb.TYPE_CODE_ARRAY, gdb.TYPE_CODE_PTR):
            raise cexpr.ExpressionError("subscript of something that is no array or pointer")
        return value[index]

    def cast(self, value, type_):
        return value.cast(type_)

    def sizeof_type(self, type_):
        return gdb.Value(type_.sizeof).cast(self.int_type)

    def sizeof_value(self, value):
        return gdb.Value(value.type.sizeof).cast(self.int_type)

    # ------------------------------------------------------------ arithmetic

    def _promoted(self, value):
        """unop_promote: an integer narrower than int becomes int."""
        kind = value.type.strip_typedefs()
        if kind.code in _INTEGRAL and kind.sizeof < self.int_type.sizeof:
            return value.cast(self.int_type)
        return value

    def _common(self, lt, rt):
        """binop_promote for C of two integer types: (size, unsigned) of
        the int, unsigned int, long ... both operands are converted to."""
        int_size = self.int_type.sizeof
        lsize, rsize = lt.sizeof, rt.sizeof
        lunsigned = lsize >= int_size and not is_signed(lt)
        runsigned = rsize >= int_size and not is_signed(rt)
        lsize, rsize = max(lsize, int_size), max(rsize, int_size)
        if lsize != rsize:
            return (lsize, lunsigned) if lsize > rsize else (rsize, runsigned)
        return lsize, lunsigned or runsigned

    def _promoted_type(self, size, unsigned):
        """The C type of that size and signedness binop_promote picks: int
        before long before long long."""
        found = self.promoted.get((size, unsigned))
        if found is None:
            widest = max(t.sizeof for t in self.promoted.values())
            found = self.promoted[(widest, unsigned)]
        return found

    def _decayed(self, value):
        """Arrays as a pointer to their first element, functions as a
        pointer to them (GDB's pointer arithmetic takes both)."""
        code = _code(value)
        if code == gdb.TYPE_CODE_ARRAY:
            if value.address is None:
                raise cexpr.ExpressionError("an array that is not in memory")
            return value.address.cast(value.type.strip_typedefs().target().pointer())
        if code == gdb.TYPE_CODE_FUNC:
            return self.address_of(value)
        return value

    def unary(self, op, value):
        if op == "!":
            return self.boolean(not self.truth(value))
        if _code(value) not in _INTEGRAL + (gdb.TYPE_CODE_FLT,):
            raise cexpr.ExpressionError("Argument to arithmetic operation not a number or boolean.")
        value = self._promoted(value)
        if op == "-":
            return -value
        if op == "~":
            return ~value
        return value

    def truth(self, value):
        """value_logical_not's view: a number or address other than 0."""
        code = _code(value)
        if code == gdb.TYPE_CODE_FLT:
            return float(value) != 0.0
        if code in _INTEGRAL or code == gdb.TYPE_CODE_PTR:
            return int(value) != 0
        raise cexpr.ExpressionError("a %s has no truth value" % value.type)

    def binary(self, op, left, right):
        lt, rt = left.type.strip_typedefs(), right.type.strip_typedefs()
        lcode, rcode = lt.code, rt.code
        if lcode in _INTEGRAL and rcode in _INTEGRAL and not lcode == rcode == gdb.TYPE_CODE_BOOL:
            return self._integer_binary(op, left, right, lt, rt)
        if lcode in (gdb.TYPE_CODE_ARRAY, gdb.TYPE_CODE_FUNC):
            left = self._decayed(left)
            lcode = gdb.TYPE_CODE_PTR
        if rcode in (gdb.TYPE_CODE_ARRAY, gdb.TYPE_CODE_FUNC):
            right = self._decayed(right)
            rcode = gdb.TYPE_CODE_PTR
        if lcode == gdb.TYPE_CODE_PTR or rcode == gdb.TYPE_CODE_PTR:
            return self._pointer_binary(op, left, right, lcode, rcode)
        if op in ("<<", ">>"):
            raise cexpr.ExpressionError("a shift of something that is no integer")
        # Floating point, booleans: GDB converts no further for C.
        compare = _COMPARISONS.get(op)
        if compare is not None:
            return self.boolean(compare(left, right))
        return _ARITHMETIC[op](left, right)

    def _integer_binary(self, op, left, right, lt, rt):
        if op in ("<<", ">>"):
            return _ARITHMETIC[op](self._promoted(left), right)
        size, unsigned = self._common(lt, rt)
        compare = _COMPARISONS.get(op)
        if compare is not None:
            # Both converted to the common type, as integers.
            return self.boolean(compare(_converted(int(left), size, unsigned),
                                        _converted(int(right), size, unsigned)))
        common = self._promoted_type(size, unsigned)
        return _ARITHMETIC[op](left.cast(common), right.cast(common))

    def _pointer_binary(self, op, left, right, lcode, rcode):
        # gdb.Value's operators are value_ptradd, value_ptrdiff, value_equal
        # and value_less here, as in GDB's evaluator; nothing is promoted.
        compare = _COMPARISONS.get(op)
        if compare is not None:
            return self.boolean(compare(left, right))
        pointer_and_integer = (lcode == gdb.TYPE_CODE_PTR and rcode in _INTEGRAL) or \
            (rcode == gdb.TYPE_CODE_PTR and lcode in _INTEGRAL and op == "+")
        if op in ("+", "-") and (pointer_and_integer or (op == "-" and lcode == rcode == gdb.TYPE_CODE_PTR)):
            return _ARITHMETIC[op](left, right)
        raise cexpr.ExpressionError("Argument to arithmetic operation not a number or boolean.")


def _converted(number, size, unsigned):
    """number converted to an integer type of size bytes."""
    bits = 8 * size
    number &= (1 << bits) - 1
    if not unsigned and number >> (bits - 1):
        number -= 1 << bits
    return number


def is_signed(type_):
    """Whether an integer type is signed (False for any other type)."""
    t = type_.strip_typedefs()
    if hasattr(t, "is_signed"):
        try:
            return t.is_signed
        except ValueError:
            return False
    return t.code == gdb.TYPE_CODE_INT and int(gdb.Value(-1).cast(t)) < 0     # GDB before 12


class GdbEvaluator:
    """Texts -> gdb.Value through the model, else through fallback(text)."""

    def __init__(self, fallback):
        self.snapshot = Snapshot()
        self.model = GdbValueModel(self.snapshot)
        self.evaluator = cexpr.Evaluator(self.model)
        self.fallback = fallback
        self.fallbacks = 0              # texts the model handed on (tests look)

    def forget_types(self):
        self.model.forget_types()
        self.evaluator.forget()

    def evaluate(self, text):
        self.model.journal = []
        try:
            return self.evaluator.evaluate(text)
        except MODEL_FAULTS:
            self.model.undo_assignments()
        finally:
            self.model.journal = None
        self.fallbacks += 1
        # GDB's evaluator may set convenience variables.
        self.snapshot.variables.clear()
        return self.fallback(text)
