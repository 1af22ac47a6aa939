"""The C expressions the plugin sends: parsed once into a tree, evaluated
over a value model.

The plugin's expressions and templates use a closed set of C shapes:

    $thl_tempcont=1,$thl_temp=(struct TX_THREAD_STRUCT *)_tx_thread_created_ptr
    $thl_temp->tx_thread_stack_end - (char *)$sp + 1
    ((ULONG)($thl_temp->tx_thread_suspend_control_block))
    sizeof(_tx_thread_current_ptr)/sizeof(*_tx_thread_current_ptr)

that is: integer and character literals, program symbols, "$" names
(registers and convenience variables, which "=" and the compound
assignments set), member access with "." and "->", indexing, casts to
type names (base types, typedefs, struct/union/enum tags, pointers to
them), sizeof of a type or an expression, the unary, binary, logical and
conditional operators of C with C's precedence, and the comma operator.
Function calls, string literals, floating literals and assignment to
anything but a "$" name are refused: ExpressionError, which fails the one
request that asked.

parse() builds the tree; Evaluator compiles a tree into closures over a
ValueModel once per text and keeps them (MAX_CACHED texts), so that the
texts the plugin sends for every object of a list are parsed once. A
compiled text keeps each type it looked up: a model whose types change
(another program) makes its Evaluator forget() its texts. What a value is,
how memory is read and how C's conversions work belongs to the model:
cvalues.CValueModel for the back end without GDB, gdb_values.GdbValueModel
over gdb.Value.
"""

import re

MAX_EXPRESSION_CHARS = 4096
MAX_NESTING = 64                 # brackets and unary operators inside one another
MAX_CACHED = 4096                # compiled texts kept by one Evaluator


class ExpressionError(Exception):
    """A text outside the supported set, or an evaluation that failed."""


# ---------------------------------------------------------------- the tree

class Node:
    """A tree node; never changed after parsing (its hash is kept)."""

    __slots__ = ("_hash",)
    fields = ()

    def __eq__(self, other):
        return type(self) is type(other) and all(getattr(self, f) == getattr(other, f) for f in self.fields)

    def __hash__(self):
        try:
            return self._hash
        except AttributeError:
            self._hash = hash((type(self).__name__,) + tuple(getattr(self, f) for f in self.fields))
            return self._hash

    def __repr__(self):
        return "%s(%s)" % (type(self).__name__, ", ".join(repr(getattr(self, f)) for f in self.fields))


def _node(name, *fields):
    def __init__(self, *values):
        for field, value in zip(fields, values):
            setattr(self, field, value)
    return type(name, (Node,), {"__slots__": fields, "fields": fields, "__init__": __init__})


# type_words: the base of a type name as written, e.g. ("unsigned", "char"),
# ("struct", "TX_THREAD_STRUCT"), ("ULONG",); pointers: how many "*" follow.
TypeName = _node("TypeName", "words", "pointers")
Number = _node("Number", "value", "type_words")         # type_words of the literal's C type
Symbol = _node("Symbol", "name")
Dollar = _node("Dollar", "name")
Member = _node("Member", "operand", "name", "arrow")
Index = _node("Index", "operand", "index")
Unary = _node("Unary", "op", "operand")                 # - + ! ~ * &
Cast = _node("Cast", "type_name", "operand")
SizeofType = _node("SizeofType", "type_name")
SizeofValue = _node("SizeofValue", "operand")
Binary = _node("Binary", "op", "left", "right")         # * / % + - << >> < > <= >= == != & ^ |
Logical = _node("Logical", "op", "left", "right")       # && ||
Conditional = _node("Conditional", "condition", "then", "otherwise")
Assign = _node("Assign", "name", "op", "value")         # op: "=" or "+=" ...
Comma = _node("Comma", "items")


# ---------------------------------------------------------------- tokens

_TOKEN = re.compile(r"""
    (?P<space>\s+)
  | (?P<number>0[xX][0-9a-fA-F]+|[0-9]+)(?P<suffix>[uUlL]*)(?![\w.])
  | (?P<name>[A-Za-z_]\w*)
  | (?P<dollar>\$\w*)
  | (?P<char>'(?:\\[^\n]|[^\\'\n])')
  | (?P<op>->|<<=|>>=|<<|>>|<=|>=|==|!=|&&|\|\||[-+*/%&|^]=|[-+*/%<>=!~&|^?:,.()\[\]])
""", re.VERBOSE)

_CHAR_ESCAPES = {"n": 10, "t": 9, "r": 13, "0": 0, "a": 7, "b": 8, "f": 12, "v": 11, "\\": 92, "'": 39,
                 '"': 34, "?": 63}
INT_MAX = (1 << 31) - 1
UINT_MAX = (1 << 32) - 1
LLONG_MAX = (1 << 63) - 1
ULLONG_MAX = (1 << 64) - 1

# Words that start a type name whatever the program defines.
TYPE_KEYWORDS = frozenset(("struct", "union", "enum", "unsigned", "signed", "char", "short", "int", "long",
                           "float", "double", "void", "_Bool", "const", "volatile"))
_QUALIFIERS = ("const", "volatile")
_ASSIGNMENTS = ("=", "+=", "-=", "*=", "/=", "%=", "&=", "|=", "^=", "<<=", ">>=")
# Binary operators by precedence level, loosest first (after || and &&).
_BINARY_LEVELS = (("|",), ("^",), ("&",), ("==", "!="), ("<", ">", "<=", ">="), ("<<", ">>"), ("+", "-"),
                  ("*", "/", "%"))


def _tokens(text):
    out = []
    pos = 0
    while pos < len(text):
        m = _TOKEN.match(text, pos)
        if not m:
            raise ExpressionError("cannot read %r" % text[pos:pos + 20])
        pos = m.end()
        kind = m.lastgroup if m.lastgroup != "suffix" else "number"
        if kind == "space":
            continue
        if kind == "number":
            out.append(("number", (m.group("number"), m.group("suffix"))))
        else:
            out.append((kind, m.group(kind)))
    out.append(("end", ""))
    return out


def _literal_type(value, is_hex, suffix):
    """The C type of an integer literal (as GDB types it): the first of int,
    unsigned int (hex only), long, unsigned long ... that holds it."""
    suffix = suffix.lower()
    unsigned = "u" in suffix
    longs = suffix.count("l")
    if longs == 0 and value <= (UINT_MAX if (unsigned or is_hex) else INT_MAX):
        return ("unsigned", "int") if unsigned or value > INT_MAX else ("int",)
    if longs <= 1 and value <= INT_MAX and not unsigned:
        return ("long",)
    if value > ULLONG_MAX:
        raise ExpressionError("number too large: %d" % value)
    if unsigned or value > LLONG_MAX:
        return ("unsigned", "long", "long")
    return ("long", "long")


# ---------------------------------------------------------------- parser

class _Parser:
    def __init__(self, text, is_type_name):
        self.tokens = _tokens(text)
        self.pos = 0
        self.depth = 0
        self.is_type_name = is_type_name

    def peek(self, ahead=0):
        return self.tokens[min(self.pos + ahead, len(self.tokens) - 1)]

    def take(self):
        token = self.tokens[self.pos]
        self.pos += 1
        return token

    def accept(self, op):
        if self.peek() == ("op", op):
            self.pos += 1
            return True
        return False

    def expect(self, op):
        if not self.accept(op):
            raise ExpressionError("expected %r before %s" % (op, self.shown()))

    def shown(self, token=None):
        kind, value = token or self.peek()
        if kind == "end":
            return "the end"
        return repr("".join(value) if kind == "number" else value)

    def nest(self):
        self.depth += 1
        if self.depth > MAX_NESTING:
            raise ExpressionError("nesting deeper than %d" % MAX_NESTING)

    # ------------------------------------------------------------ levels

    def expression(self):
        items = [self.assignment()]
        while self.accept(","):
            items.append(self.assignment())
        return items[0] if len(items) == 1 else Comma(tuple(items))

    def assignment(self):
        kind, value = self.peek()
        if kind == "dollar" and self.peek(1)[0] == "op" and self.peek(1)[1] in _ASSIGNMENTS:
            self.pos += 2
            return Assign(value[1:], self.tokens[self.pos - 1][1], self.assignment())
        node = self.conditional()
        if self.peek()[0] == "op" and self.peek()[1] in _ASSIGNMENTS:
            raise ExpressionError("only $ variables can be assigned")
        return node

    def conditional(self):
        node = self.logical("||")
        if self.accept("?"):
            self.nest()
            then = self.expression()
            self.expect(":")
            node = Conditional(node, then, self.conditional())
            self.depth -= 1
        return node

    def logical(self, op):
        node = self.logical("&&") if op == "||" else self.binary(0)
        while self.accept(op):
            right = self.logical("&&") if op == "||" else self.binary(0)
            node = Logical(op, node, right)
        return node

    def binary(self, level):
        if level == len(_BINARY_LEVELS):
            return self.unary()
        node = self.binary(level + 1)
        while self.peek()[0] == "op" and self.peek()[1] in _BINARY_LEVELS[level]:
            op = self.take()[1]
            node = Binary(op, node, self.binary(level + 1))
        return node

    def unary(self):
        self.nest()
        try:
            kind, value = self.peek()
            if kind == "op" and value in ("-", "+", "!", "~", "*", "&"):
                self.pos += 1
                return Unary(value, self.unary())
            if kind == "name" and value == "sizeof":
                self.pos += 1
                if self.peek() == ("op", "(") and self.starts_type(1):
                    self.pos += 1
                    type_name = self.type_name()
                    self.expect(")")
                    return SizeofType(type_name)
                return SizeofValue(self.unary())
            if kind == "op" and value == "(" and self.starts_type(1):
                self.pos += 1
                type_name = self.type_name()
                self.expect(")")
                return Cast(type_name, self.unary())
            return self.postfix()
        finally:
            self.depth -= 1

    def postfix(self):
        node = self.primary()
        while True:
            if self.accept("->"):
                node = Member(node, self.member_name(), True)
            elif self.accept("."):
                node = Member(node, self.member_name(), False)
            elif self.accept("["):
                index = self.expression()
                self.expect("]")
                node = Index(node, index)
            elif self.peek() == ("op", "("):
                raise ExpressionError("function calls are not supported")
            else:
                return node

    def member_name(self):
        kind, value = self.take()
        if kind != "name":
            raise ExpressionError("expected a member name, got %s" % self.shown((kind, value)))
        return value

    def primary(self):
        kind, value = self.take()
        if kind == "number":
            digits, suffix = value
            is_hex = digits[:2].lower() == "0x"
            if is_hex:
                number = int(digits, 16)
            elif len(digits) > 1 and digits[0] == "0":
                try:
                    number = int(digits, 8)
                except ValueError:
                    raise ExpressionError("bad octal number %s" % digits)
                is_hex = True          # octal literals type like hex ones
            else:
                number = int(digits)
            return Number(number, _literal_type(number, is_hex, suffix))
        if kind == "char":
            return Number(self.char_value(value), ("int",))
        if kind == "name":
            if value in TYPE_KEYWORDS or value == "sizeof":
                raise ExpressionError("unexpected %r" % value)
            return Symbol(value)
        if kind == "dollar":
            if len(value) < 2:
                raise ExpressionError("a lone $ (the value history) is not supported")
            return Dollar(value[1:])
        if (kind, value) == ("op", "("):
            self.nest()
            node = self.expression()
            self.expect(")")
            self.depth -= 1
            return node
        raise ExpressionError("unexpected %s" % self.shown((kind, value)))

    @staticmethod
    def char_value(text):
        body = text[1:-1]
        if body[0] != "\\":
            return ord(body)
        if body[1] in _CHAR_ESCAPES:
            return _CHAR_ESCAPES[body[1]]
        raise ExpressionError("unsupported character escape %s" % text)

    # ------------------------------------------------------------ type names

    def starts_type(self, ahead):
        kind, value = self.peek(ahead)
        if kind != "name":
            return False
        if value in TYPE_KEYWORDS:
            return True
        # A typedef name in brackets: "(ULONG)x", "(TX_THREAD *)p".
        after = self.peek(ahead + 1)
        return after in (("op", ")"), ("op", "*")) and self.is_type_name(value)

    def type_name(self):
        words = []
        while True:
            kind, value = self.peek()
            if kind != "name":
                break
            if value in _QUALIFIERS:
                self.pos += 1
                continue
            if value in ("struct", "union", "enum"):
                self.pos += 1
                tag_kind, tag = self.take()
                if tag_kind != "name":
                    raise ExpressionError("expected a tag after %s" % value)
                words += [value, tag]
                break
            if words and value not in TYPE_KEYWORDS:
                break           # a typedef name stands alone
            words.append(value)
            self.pos += 1
            if value not in TYPE_KEYWORDS:
                break
        if not words:
            raise ExpressionError("expected a type name")
        pointers = 0
        while True:
            if self.accept("*"):
                pointers += 1
            elif self.peek()[0] == "name" and self.peek()[1] in _QUALIFIERS:
                self.pos += 1
            else:
                break
        return TypeName(tuple(words), pointers)


def parse(text, is_type_name=lambda word: False):
    """Expression text -> tree. is_type_name(word) tells the typedef names,
    which make "(WORD)" a cast. Raises ExpressionError."""
    if len(text) > MAX_EXPRESSION_CHARS:
        raise ExpressionError("expression longer than %d characters" % MAX_EXPRESSION_CHARS)
    parser = _Parser(text, is_type_name)
    if parser.peek()[0] == "end":
        raise ExpressionError("empty expression")
    node = parser.expression()
    if parser.peek()[0] != "end":
        raise ExpressionError("unexpected %s" % parser.shown())
    return node


# ---------------------------------------------------------------- evaluation

class ValueModel:
    """What evaluation needs of values. A model raises ExpressionError for
    anything it cannot do; values are its own objects."""

    def is_type_name(self, word):             # a typedef name?
        return False

    def literal(self, value, type_words):     # an integer constant
        raise NotImplementedError

    def symbol(self, name):                   # a program variable or function
        raise NotImplementedError

    def dollar(self, name):                   # $name: register, else convenience variable
        raise NotImplementedError

    def assign(self, name, value):            # $name = value; the value stored
        raise NotImplementedError

    def lookup_type(self, type_name):         # TypeName -> the model's type
        raise NotImplementedError

    def cast(self, value, type_):
        raise NotImplementedError

    def member(self, value, name):            # value.name
        raise NotImplementedError

    def dereference(self, value):
        raise NotImplementedError

    def address_of(self, value):
        raise NotImplementedError

    def index(self, value, index):
        raise NotImplementedError

    def unary(self, op, value):               # "-", "+", "~", "!"
        raise NotImplementedError

    def binary(self, op, left, right):
        raise NotImplementedError

    def truth(self, value):                   # -> bool
        raise NotImplementedError

    def boolean(self, flag):                  # -> the int value 1 or 0
        raise NotImplementedError

    def sizeof_type(self, type_):
        raise NotImplementedError

    def sizeof_value(self, value):
        raise NotImplementedError


class Evaluator:
    """Evaluates texts over one model; each text is parsed and compiled once."""

    def __init__(self, model):
        self.model = model
        self.compiled = {}

    def forget(self):
        """Drops the compiled texts, with the types they looked up."""
        self.compiled.clear()

    def evaluate(self, text):
        """The model's value of text. Raises ExpressionError."""
        run = self.compiled.get(text)
        if run is None:
            run = self.compile(parse(text, self.model.is_type_name))
            if len(self.compiled) >= MAX_CACHED:
                self.compiled.clear()
            self.compiled[text] = run
        return run()

    def compile(self, node):
        """Tree -> a function of no arguments that evaluates it."""
        return getattr(self, "_" + type(node).__name__)(node)

    # One builder per node type: each returns a closure over the model.

    def _Number(self, node):
        model, value, words = self.model, node.value, node.type_words
        return lambda: model.literal(value, words)

    def _Symbol(self, node):
        model, name = self.model, node.name
        return lambda: model.symbol(name)

    def _Dollar(self, node):
        model, name = self.model, node.name
        return lambda: model.dollar(name)

    def _Member(self, node):
        model, operand, name = self.model, self.compile(node.operand), node.name
        if node.arrow:
            return lambda: model.member(model.dereference(operand()), name)
        return lambda: model.member(operand(), name)

    def _Index(self, node):
        model, operand, index = self.model, self.compile(node.operand), self.compile(node.index)
        return lambda: model.index(operand(), index())

    def _Unary(self, node):
        model, op, operand = self.model, node.op, self.compile(node.operand)
        if op == "*":
            return lambda: model.dereference(operand())
        if op == "&":
            return lambda: model.address_of(operand())
        return lambda: model.unary(op, operand())

    def _type(self, type_name):
        """A function that gives the model's type of type_name, looked up at
        its first use (a type the program lacks fails each time)."""
        model, found = self.model, []

        def lookup():
            if not found:
                found.append(model.lookup_type(type_name))
            return found[0]
        return lookup

    def _Cast(self, node):
        model, type_of, operand = self.model, self._type(node.type_name), self.compile(node.operand)
        return lambda: model.cast(operand(), type_of())

    def _SizeofType(self, node):
        model, type_of = self.model, self._type(node.type_name)
        return lambda: model.sizeof_type(type_of())

    def _SizeofValue(self, node):
        model, operand = self.model, self.compile(node.operand)
        return lambda: model.sizeof_value(operand())

    def _Binary(self, node):
        model, op, left, right = self.model, node.op, self.compile(node.left), self.compile(node.right)
        return lambda: model.binary(op, left(), right())

    def _Logical(self, node):
        model, left, right = self.model, self.compile(node.left), self.compile(node.right)
        if node.op == "&&":
            return lambda: model.boolean(model.truth(left()) and model.truth(right()))
        return lambda: model.boolean(model.truth(left()) or model.truth(right()))

    def _Conditional(self, node):
        model = self.model
        condition, then, otherwise = self.compile(node.condition), self.compile(node.then), self.compile(node.otherwise)
        return lambda: then() if model.truth(condition()) else otherwise()

    def _Assign(self, node):
        model, name, value = self.model, node.name, self.compile(node.value)
        if node.op == "=":
            return lambda: model.assign(name, value())
        op = node.op[:-1]
        return lambda: model.assign(name, model.binary(op, model.dollar(name), value()))

    def _Comma(self, node):
        items = [self.compile(item) for item in node.items]

        def run():
            for item in items[:-1]:
                item()
            return items[-1]()
        return run
