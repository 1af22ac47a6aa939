"""Target descriptions: the registers a GDB server offers, in its numbering.

A server describes its registers in target.xml (read with
qXfer:features:read), which may include further documents:

    <target><architecture>arm</architecture>
      <xi:include href="arm-m-profile.xml"/></target>
    <feature name="org.gnu.gdb.arm.m-profile">
      <reg name="r0" bitsize="32"/> ... <reg name="xpsr" bitsize="32" regnum="25"/>
    </feature>

A register without "regnum" takes the number after the previous one (the
first is 0). The "g" packet holds the registers in number order, without
gaps, each bitsize/8 bytes in the target's byte order.

parse() takes a fetch(name) -> text function so that includes are read
from wherever the caller has them (the server, a test's dictionary).
Includes nest at most MAX_INCLUDE_DEPTH deep and a description holds at
most MAX_REGISTERS registers.
"""

import xml.etree.ElementTree as ElementTree

MAX_INCLUDE_DEPTH = 8
MAX_REGISTERS = 4096
MAX_REGISTER_BITS = 4096
XINCLUDE = "{http://www.w3.org/2001/XInclude}include"


class DescriptionError(Exception):
    pass


class Register:
    __slots__ = ("name", "number", "bits", "type", "feature", "offset")

    def __init__(self, name, number, bits, type_, feature):
        self.name, self.number, self.bits, self.type, self.feature = name, number, bits, type_, feature
        self.offset = None           # byte offset in the "g" packet

    @property
    def size(self):
        return (self.bits + 7) // 8

    def __repr__(self):
        return "Register(%s #%d, %d bits)" % (self.name, self.number, self.bits)


class Description:
    def __init__(self, architecture, registers):
        self.architecture = architecture
        self.registers = sorted(registers, key=lambda r: r.number)
        self.by_name = {}
        self.by_number = {}
        offset = 0
        for reg in self.registers:
            reg.offset = offset
            offset += reg.size
            self.by_name.setdefault(reg.name.lower(), reg)
            self.by_number[reg.number] = reg
        self.g_size = offset

    def register(self, name):
        return self.by_name.get(name.lower())

    def features(self):
        return {r.feature for r in self.registers}


def _parse_xml(text, name):
    # The DOCTYPE some servers send names a DTD we do not read; the parser
    # skips it. Namespaces are declared by some and not by others: the
    # xi: prefix is made known to the parser either way.
    if "xi:include" in text and "xmlns:xi" not in text:
        text = text.replace("<target", '<target xmlns:xi="http://www.w3.org/2001/XInclude"', 1)
    try:
        return ElementTree.fromstring(text)
    except ElementTree.ParseError as e:
        raise DescriptionError("%s does not parse: %s" % (name, e))


def _int(text, what):
    try:
        return int(text, 0)
    except (TypeError, ValueError):
        raise DescriptionError("%s: not a number: %r" % (what, text))


class _Collector:
    def __init__(self, fetch):
        self.fetch = fetch
        self.registers = []
        self.architecture = None
        self.next_number = 0

    def document(self, name, depth):
        if depth > MAX_INCLUDE_DEPTH:
            raise DescriptionError("includes nest deeper than %d at %s" % (MAX_INCLUDE_DEPTH, name))
        self.element(_parse_xml(self.fetch(name), name), None, depth)

    def element(self, node, feature, depth):
        tag = node.tag
        if tag == "architecture" and node.text and self.architecture is None:
            self.architecture = node.text.strip()
        elif tag == "feature":
            feature = node.get("name", "")
        elif tag == XINCLUDE or tag.endswith("}include") or tag == "xi:include":
            href = node.get("href")
            if not href:
                raise DescriptionError("an include without href")
            self.document(href, depth + 1)
            return
        elif tag == "reg":
            self.reg(node, feature)
            return
        for child in node:
            self.element(child, feature, depth)

    def reg(self, node, feature):
        name = node.get("name")
        if not name:
            raise DescriptionError("a register without a name")
        bits = _int(node.get("bitsize"), "bitsize of " + name)
        if not 0 < bits <= MAX_REGISTER_BITS:
            raise DescriptionError("register %s: bitsize %d" % (name, bits))
        number = _int(node.get("regnum"), "regnum of " + name) if node.get("regnum") else self.next_number
        self.next_number = number + 1
        if len(self.registers) >= MAX_REGISTERS:
            raise DescriptionError("more than %d registers" % MAX_REGISTERS)
        self.registers.append(Register(name, number, bits, node.get("type", "int"), feature or ""))


def parse(fetch, root="target.xml"):
    """The Description of root and its includes. fetch(name) returns a
    document's text or raises DescriptionError."""
    collector = _Collector(fetch)
    collector.document(root, 0)
    numbers = [r.number for r in collector.registers]
    if len(set(numbers)) != len(numbers):
        raise DescriptionError("two registers with one number")
    return Description(collector.architecture, collector.registers)


def split_g(description, text):
    """"g" reply (hex text) -> {register number: bytes, or None where the
    server marked it unavailable ("xx") or the reply ends before it}."""
    values = {}
    for reg in description.registers:
        chunk = text[2 * reg.offset:2 * (reg.offset + reg.size)]
        try:
            values[reg.number] = bytes.fromhex(chunk) if len(chunk) == 2 * reg.size else None
        except ValueError:
            values[reg.number] = None
    return values


def register_value(chunk, byte_order):
    return int.from_bytes(chunk, byte_order)


def register_bytes(value, size, byte_order):
    return (value & ((1 << (8 * size)) - 1)).to_bytes(size, byte_order)
