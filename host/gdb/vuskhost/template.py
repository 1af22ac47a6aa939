"""The command-substitution templates the plugin sends for display texts.

A template is literal text with command blocks between backticks; a block
is run by the debugger and replaced by what it prints:

    Priority `print/d $t->prio + 0` (`if ($t->x) {print "on"} else {print "off"}`)

Statements inside a block, separated by ";" (blocks and ifs need none):
    print EXPR        print/F EXPR  (also "print /F EXPR")     print "text"
    mprintf("format", EXPR, ...)
    if (COND) STMT-OR-BLOCK [else STMT-OR-BLOCK]
    { STATEMENTS }

A template is parsed whole before anything is evaluated, so a syntax error
never leaves half an answer. Expressions are the debugger's: they end at a
";" or "}" outside brackets and quotes. Nesting is bounded (MAX_NESTING).

What the print formats produce is fixed here (format_scalar) so that every
target gives the same texts; README.md lists them. The debugger side only
turns an expression into a Scalar and reads strings and symbols (Target).
"""

import functools
import re

MAX_NESTING = 64                 # blocks and ifs inside one another
MAX_TEMPLATE_CHARS = 65535       # a message can hold no more
MAX_STRING_CHARS = 4096          # longest C string read for %s and /a
MAX_FIELD_WIDTH = 4096           # widest mprintf field (width or precision)
MAX_CACHED_TEMPLATES = 4096      # parsed templates kept (the plugin repeats them per object)
STRING_CHUNK = 64                # bytes read at a time for a C string


class TemplateError(Exception):
    """A template that does not parse, or an evaluation that failed."""


class Scalar:
    """What an expression evaluated to, as far as printing needs.

    kind: "int", "bool", "pointer", "char_pointer" (pointer to a character
    type, or a character array: value is its address), "function" (value is
    its address), "float" (value is a float), "other" (text only).
    value: the integer (in the type's signedness) or float; size in bytes.
    text: the debugger's own rendering, used for "other".
    """

    def __init__(self, kind, value=0, size=8, signed=False, text=""):
        self.kind, self.value, self.size, self.signed, self.text = kind, value, size, signed, text

    def bits(self):
        """The value as an unsigned number of its size."""
        if self.kind == "float":
            return int(self.value) & ((1 << (8 * self.size)) - 1)
        if self.kind == "other":
            raise TemplateError("not a scalar: %s" % self.text)
        return self.value & ((1 << (8 * self.size)) - 1)

    def signed_value(self):
        raw = self.bits()
        top = 1 << (8 * self.size - 1)
        return raw - (top << 1) if raw & top else raw


class Target:
    """The debugger side of template evaluation (see gdb_target.py)."""

    def scalar(self, expression):          # -> Scalar, raises TemplateError
        raise NotImplementedError

    def condition(self, expression):       # -> bool, raises TemplateError
        return holds(self.scalar(expression))

    def c_string(self, address, limit):    # -> str, raises TemplateError
        raise NotImplementedError

    def symbol_at(self, address):          # -> "name" / "name+off" or None
        return None

    def function_at(self, address):        # -> function "name" / "name+off" or None
        return None


def holds(scalar):
    """Whether an if's condition holds: a number or address other than 0."""
    return scalar.value != 0 if scalar.kind == "float" else scalar.bits() != 0


def read_until_fault(read, address, length, faults):
    """length bytes at address, or as many as can be read before the first
    that cannot: read(address, length) -> bytes raises one of faults."""
    try:
        return read(address, length)
    except faults:
        pass
    data = bytearray()
    for i in range(length):
        try:
            data += read(address + i, 1)
        except faults:
            break
    return bytes(data)


def read_c_string(read_some, address, limit):
    """The NUL-terminated string at address, at most limit bytes, read in
    chunks; read_some(address, length) gives the bytes up to the first
    unreadable one (read_until_fault), so a short string just before a
    hole still reads."""
    data = bytearray()
    while len(data) < limit:
        want = min(STRING_CHUNK, limit - len(data))
        chunk = read_some(address + len(data), want)
        end = chunk.find(b"\0")
        if end >= 0:
            data += chunk[:end]
            break
        data += chunk
        if len(chunk) < want:
            raise TemplateError("cannot read a string at 0x%x" % address)
    return bytes(data).decode("utf-8", errors="replace")


# ---------------------------------------------------------------- formats

def _natural(s, target):
    if s.kind in ("int", "bool"):
        return str(s.value if s.signed else s.bits())
    if s.kind == "float":
        return repr(s.value)
    if s.kind == "other":
        return s.text
    return "0x%x" % s.bits()


def _symbolic_address(s, target):
    if s.kind == "char_pointer" and s.value:
        return target.c_string(s.value, MAX_STRING_CHARS)
    address = s.bits()
    symbol = target.symbol_at(address) if address else None
    return "0x%x <%s>" % (address, symbol) if symbol else "0x%x" % address


def _function_name(s, target):
    address = s.bits()
    name = target.function_at(address) if address else None
    return name if name else "0x%x" % address


PRINT_FORMATS = {
    "": _natural,
    "d": lambda s, t: str(s.signed_value() if s.signed else s.bits()),
    "u": lambda s, t: str(s.bits()),
    "b": lambda s, t: str(s.bits()),
    "x": lambda s, t: "0x%x" % s.bits(),
    "o": lambda s, t: "0%o" % s.bits() if s.bits() else "0",
    "t": lambda s, t: format(s.bits(), "b"),
    "c": lambda s, t: chr(s.bits() & 0xFF),
    "a": _symbolic_address,
    "pb": _function_name,
}


def format_scalar(scalar, fmt, target):
    try:
        formatter = PRINT_FORMATS[fmt]
    except KeyError:
        raise TemplateError("unknown print format /%s" % fmt)
    return formatter(scalar, target)


# ---------------------------------------------------------------- mprintf

_CONVERSION = re.compile(r"%([-+ #0]*)(\*|\d+)?(?:\.(\*|\d*))?(hh|h|ll|l|L|q|j|z|t)?([diouxXcspeEfgG%])")
_WIDE_LENGTHS = ("l", "ll", "q", "j", "z", "t", "L")


def c_format(fmt, args, target):
    """printf for mprintf: args are Scalars, taken in order; %s reads a C
    string from the target at the pointer's address."""
    out = []
    pos = 0
    queue = list(args)

    def next_arg():
        if not queue:
            raise TemplateError("mprintf: too few arguments for %r" % fmt)
        return queue.pop(0)

    for m in _CONVERSION.finditer(fmt):
        out.append(fmt[pos:m.start()])
        pos = m.end()
        flags, width, precision, length, conv = m.groups()
        if conv == "%":
            out.append("%")
            continue
        if width == "*":
            width = str(next_arg().signed_value())
        if precision == "*":
            precision = str(max(0, next_arg().signed_value()))
        for field in (width, precision):
            if field and abs(int(field)) > MAX_FIELD_WIDTH:
                raise TemplateError("mprintf: field width %s above %d" % (field, MAX_FIELD_WIDTH))
        directive = "%" + flags + (width or "") + ("." + precision if precision is not None else "")
        arg = next_arg()
        if conv == "s":
            limit = int(precision) if precision else MAX_STRING_CHARS
            if arg.kind not in ("char_pointer", "pointer", "int"):
                raise TemplateError("mprintf: argument for %s is not an address" % m.group(0))
            text = target.c_string(arg.bits(), limit) if arg.bits() else "(null)"
            out.append((directive + "s") % text)
        elif conv in "eEfgG":
            out.append((directive + conv) % (arg.value if arg.kind == "float" else arg.signed_value()))
        elif conv == "c":
            out.append((directive + "c") % chr(arg.bits() & 0xFF))
        elif conv == "p":
            out.append((directive + "s") % ("0x%x" % arg.bits()))
        else:
            size = 8 if length in _WIDE_LENGTHS else {"hh": 1, "h": 2}.get(length, 4)
            number = arg.signed_value() if arg.signed else arg.bits()
            raw = number & ((1 << (8 * size)) - 1)
            if conv in "di":
                top = 1 << (8 * size - 1)
                number = raw - (top << 1) if raw & top else raw
                out.append((directive + "d") % number)
            else:
                out.append((directive + ("d" if conv == "u" else conv)) % raw)
    out.append(fmt[pos:])
    return "".join(out)


# ---------------------------------------------------------------- parser

_C_ESCAPES = {"n": "\n", "t": "\t", "r": "\r", "a": "\a", "b": "\b", "f": "\f", "v": "\v",
              "0": "\0", "\\": "\\", '"': '"', "'": "'", "?": "?"}
_OPENERS = {"(": ")", "[": "]", "{": "}"}


class _Print:
    def __init__(self, fmt, expression=None, literal=None):
        self.fmt, self.expression, self.literal = fmt, expression, literal

    def run(self, target, out):
        if self.literal is not None:
            out.append(self.literal)
        else:
            out.append(format_scalar(target.scalar(self.expression), self.fmt, target))


class _Mprintf:
    def __init__(self, fmt, expressions):
        self.fmt, self.expressions = fmt, expressions

    def run(self, target, out):
        out.append(c_format(self.fmt, [target.scalar(e) for e in self.expressions], target))


class _If:
    def __init__(self, condition, then, otherwise):
        self.condition, self.then, self.otherwise = condition, then, otherwise

    def run(self, target, out):
        branch = self.then if target.condition(self.condition) else self.otherwise
        if branch:
            branch.run(target, out)


class _Sequence:
    def __init__(self, statements):
        self.statements = statements

    def run(self, target, out):
        for statement in self.statements:
            statement.run(target, out)


class _Literal:
    def __init__(self, text):
        self.text = text

    def run(self, target, out):
        out.append(self.text)


class _Parser:
    def __init__(self, text, start, end):
        self.text, self.pos, self.end = text, start, end
        self.depth = 0

    def fail(self, what):
        raise TemplateError("%s at %r" % (what, self.text[self.pos:self.pos + 30]))

    def peek(self):
        return self.text[self.pos] if self.pos < self.end else ""

    def skip_blanks(self):
        while self.pos < self.end and self.text[self.pos] in " \t\r\n":
            self.pos += 1

    def word(self):
        m = re.compile(r"[A-Za-z_]\w*").match(self.text, self.pos, self.end)
        return m.group(0) if m else ""

    def expect(self, char):
        self.skip_blanks()
        if self.peek() != char:
            self.fail("expected %r" % char)
        self.pos += 1

    def quoted(self):
        """A C string literal at the cursor, unescaped."""
        if self.peek() != '"':
            self.fail("expected a string")
        self.pos += 1
        out = []
        while self.pos < self.end:
            c = self.text[self.pos]
            self.pos += 1
            if c == '"':
                return "".join(out)
            if c == "\\" and self.pos < self.end:
                e = self.text[self.pos]
                self.pos += 1
                out.append(_C_ESCAPES.get(e, e))
            else:
                out.append(c)
        self.fail("unterminated string")

    def skip_quoted(self, quote):
        self.pos += 1
        while self.pos < self.end and self.text[self.pos] != quote:
            self.pos += 2 if self.text[self.pos] == "\\" else 1
        if self.pos >= self.end:
            self.fail("unterminated quote")
        self.pos += 1

    def scan(self, stop_chars):
        """Raw text up to a character of stop_chars outside brackets and
        quotes (the stop character is not consumed)."""
        start = self.pos
        closers = []
        while self.pos < self.end:
            c = self.text[self.pos]
            if c in "\"'":
                self.skip_quoted(c)
                continue
            if not closers and c in stop_chars:
                break
            if c in _OPENERS:
                closers.append(_OPENERS[c])
            elif closers and c == closers[-1]:
                closers.pop()
            elif c in ")]}":
                if not closers:
                    break
                self.fail("unbalanced %r" % c)
            self.pos += 1
        if closers:
            self.fail("unclosed bracket")
        return self.text[start:self.pos].strip()

    def parenthesised(self):
        self.expect("(")
        inner = self.scan(")")
        self.expect(")")
        return inner

    def nest(self):
        self.depth += 1
        if self.depth > MAX_NESTING:
            self.fail("nesting deeper than %d" % MAX_NESTING)

    def sequence(self):
        statements = []
        while True:
            self.skip_blanks()
            c = self.peek()
            if not c or c == "}":
                return _Sequence(statements)
            if c == ";":
                self.pos += 1
                continue
            statements.append(self.statement())

    def block(self):
        self.expect("{")
        self.nest()
        body = self.sequence()
        self.expect("}")
        self.depth -= 1
        return body

    def body(self):
        self.skip_blanks()
        return self.block() if self.peek() == "{" else self.statement()

    def statement(self):
        self.skip_blanks()
        if self.peek() == "{":
            return self.block()
        word = self.word()
        if word == "if":
            self.pos += 2
            self.nest()
            condition = self.parenthesised()
            if not condition:
                self.fail("empty condition")
            then = self.body()
            after_then = self.pos
            self.skip_blanks()
            if self.peek() == ";":           # "if (c) stmt; else stmt", as in C
                self.pos += 1
                self.skip_blanks()
            otherwise = None
            if self.word() != "else":
                self.pos = after_then
            else:
                self.pos += 4
                otherwise = self.body()
            self.depth -= 1
            return _If(condition, then, otherwise)
        if word == "print":
            self.pos += 5
            self.skip_blanks()
            fmt = ""
            if self.peek() == "/":
                self.pos += 1
                fmt = self.word()
                self.pos += len(fmt)
                if fmt not in PRINT_FORMATS:
                    self.fail("unknown print format /%s" % fmt)
            self.skip_blanks()
            if self.peek() == '"':
                return _Print(fmt, literal=self.quoted())
            expression = self.scan(";}")
            if not expression:
                self.fail("print without an expression")
            return _Print(fmt, expression=expression)
        if word == "mprintf":
            self.pos += 7
            self.expect("(")
            self.skip_blanks()
            fmt = self.quoted()
            expressions = []
            while True:
                self.skip_blanks()
                if self.peek() == ")":
                    self.pos += 1
                    return _Mprintf(fmt, expressions)
                self.expect(",")
                expression = self.scan(",)")
                if not expression:
                    self.fail("empty mprintf argument")
                expressions.append(expression)
        self.fail("unknown statement")


def _closing_backtick(text, pos):
    """Index of the backtick that closes a block opened just before pos;
    backticks inside string literals do not count. -1 when there is none."""
    quote = None
    while pos < len(text):
        c = text[pos]
        if quote:
            if c == "\\":
                pos += 1
            elif c == quote:
                quote = None
        elif c in "\"'":
            quote = c
        elif c == "`":
            return pos
        pos += 1
    return -1


def parse(text):
    """Template text -> runnable tree. Raises TemplateError."""
    if len(text) > MAX_TEMPLATE_CHARS:
        raise TemplateError("template longer than %d characters" % MAX_TEMPLATE_CHARS)
    parts = []
    pos = 0
    while pos < len(text):
        tick = text.find("`", pos)
        if tick < 0:
            parts.append(_Literal(text[pos:]))
            break
        if tick > pos:
            parts.append(_Literal(text[pos:tick]))
        close = _closing_backtick(text, tick + 1)
        if close < 0:
            raise TemplateError("unclosed backtick")
        parser = _Parser(text, tick + 1, close)
        parts.append(parser.sequence())
        parser.skip_blanks()
        if parser.pos != close:
            parser.fail("unexpected")
        pos = close + 1
    return _Sequence(parts)


@functools.lru_cache(maxsize=MAX_CACHED_TEMPLATES)
def _parsed(text):
    # Trees are never changed after parsing, so one serves every render.
    return parse(text)


def render(text, target):
    """Runs a template against a target; the text it prints."""
    out = []
    _parsed(text).run(target, out)
    return "".join(out)
