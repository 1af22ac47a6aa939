#!/usr/bin/python3
"""The expression shapes of the plugin's templates, parsed and evaluated
against a made-up program (types and symbols by hand, memory in a
dictionary): C's conversions and pointer arithmetic as GDB does them, the
list walks the plugin runs, and the faults that fail one request.
"""

import os
import struct
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "host", "gdb"))

from vuskhost import cexpr, cvalues, services, template  # noqa: E402
from vuskhost.cexpr import ExpressionError  # noqa: E402
from vuskhost.cvalues import CType, CValue, Member  # noqa: E402

NODE_ID = 0x4E4F4445
HEAD, NODES, COUNT, TABLE, NAMES, STACK = 0x1000, 0x2000, 0x1004, 0x1010, 0x3000, 0x4000
NODE_SIZE = 32


class Program(cvalues.TypeSource):
    """struct NODE { ULONG id; struct NODE *next; char *name; unsigned char flags;
    short delta; char label[8]; void *end; ULONG kind : 3 (bits 5..7 of byte 28) };
    struct NODE *head; struct NODE nodes[2]; ULONG count; struct NODE *table[4];
    void handler(void) at 0x8000."""

    pointer_size = 4
    byte_order = "little"
    char_signed = False

    def __init__(self):
        ulong = cvalues.integer_type(4, False, "long unsigned int", cvalues.RANK_LONG)
        self.ulong = CType(cvalues.TYPEDEF, "ULONG", 4, target=ulong)
        char = cvalues.integer_type(1, False, "char", cvalues.RANK_CHAR)
        node = CType(cvalues.STRUCT, "NODE", NODE_SIZE, members={})
        node_pointer = cvalues.pointer_to(node, 4)
        node.members.update({
            "id": Member(0, self.ulong), "next": Member(4, node_pointer), "name": Member(8, cvalues.pointer_to(char, 4)),
            "flags": Member(12, cvalues.integer_type(1, False, "unsigned char", cvalues.RANK_CHAR)),
            "delta": Member(14, cvalues.integer_type(2, True, "short int", cvalues.RANK_SHORT)),
            "label": Member(16, CType(cvalues.ARRAY, None, 8, target=char, count=8)),
            "end": Member(24, cvalues.pointer_to(CType(cvalues.VOID, "void", 1), 4)),
            "kind": Member(28, self.ulong, bit_size=3, bit_offset=5)})
        self.node = node
        self.variables = {
            "head": (HEAD, node_pointer),
            "nodes": (NODES, CType(cvalues.ARRAY, None, 2 * NODE_SIZE, target=node, count=2)),
            "count": (COUNT, self.ulong),
            "table": (TABLE, CType(cvalues.ARRAY, None, 16, target=node_pointer, count=4)),
        }

    def tagged(self, kind, tag):
        return self.node if (kind, tag) == ("struct", "NODE") else None

    def typedef(self, name):
        return self.ulong if name == "ULONG" else None

    def variable(self, name):
        return self.variables.get(name)

    def function(self, name):
        return (0x8000, CType(cvalues.FUNCTION, name, 1)) if name == "handler" else None


def memory_image():
    memory = {}

    def put(address, data):
        for i, byte in enumerate(data):
            memory[address + i] = byte

    put(HEAD, struct.pack("<I", NODES))
    put(COUNT, struct.pack("<I", 2))
    put(TABLE, struct.pack("<4I", NODES, NODES + NODE_SIZE, 0, 0))
    put(NAMES, b"first\0")
    for i, (nxt, name, flags, delta, label, end, byte28) in enumerate(
            [(NODES + NODE_SIZE, NAMES, 0x81, -2, b"abc", STACK + 0x100, 0b10100000),
             (NODES, 0, 0, 300, b"", STACK, 0)]):
        base = NODES + i * NODE_SIZE
        put(base, struct.pack("<IIIBxh8sIB3x", NODE_ID, nxt, name, flags, delta, label, end, byte28))
    return memory


class Harness:
    def __init__(self):
        self.memory = memory_image()
        self.reads = []
        self.model = cvalues.CValueModel(Program(), self.read, self.register)
        self.evaluator = cexpr.Evaluator(self.model)

    def read(self, address, length):
        self.reads.append((address, length))
        try:
            return bytes(self.memory[address + i] for i in range(length))
        except KeyError:
            raise ExpressionError("Cannot access memory at address 0x%x" % address)

    def register(self, name):
        if name == "sp":
            return CValue(cvalues.pointer_to(self.model.void, 4), raw=STACK + 0x40)
        return None

    def value(self, text):
        v = self.evaluator.evaluate(text)
        return self.model.fetch(v)


class Parsing(unittest.TestCase):
    def parse(self, text):
        return cexpr.parse(text, lambda word: word == "ULONG")

    def test_precedence_and_associativity(self):
        N = lambda v: cexpr.Number(v, ("int",))   # noqa: E731
        self.assertEqual(self.parse("1 + 2 * 3"), cexpr.Binary("+", N(1), cexpr.Binary("*", N(2), N(3))))
        self.assertEqual(self.parse("1 - 2 - 3"), cexpr.Binary("-", cexpr.Binary("-", N(1), N(2)), N(3)))
        self.assertEqual(self.parse("1 == 2 && 3"),
                         cexpr.Logical("&&", cexpr.Binary("==", N(1), N(2)), N(3)))
        self.assertEqual(self.parse("$a = $b = 1"), cexpr.Assign("a", "=", cexpr.Assign("b", "=", N(1))))

    def test_casts_and_brackets(self):
        cast = self.parse("(ULONG)(x)")
        self.assertIsInstance(cast, cexpr.Cast)
        self.assertEqual(cast.type_name, cexpr.TypeName(("ULONG",), 0))
        self.assertIsInstance(self.parse("(x) - 1"), cexpr.Binary)      # x is no type: a subtraction
        self.assertEqual(self.parse("(struct TX_THREAD_STRUCT *)p").type_name,
                         cexpr.TypeName(("struct", "TX_THREAD_STRUCT"), 1))
        self.assertEqual(self.parse("(const unsigned char * const *)p").type_name,
                         cexpr.TypeName(("unsigned", "char"), 2))
        self.assertIsInstance(self.parse("sizeof(ULONG)"), cexpr.SizeofType)
        self.assertIsInstance(self.parse("sizeof(x)/sizeof(*x)").left, cexpr.SizeofValue)
        # A cast binds looser than ->: the member is read, then cast.
        node = self.parse("(struct Q *)$q->size + 0")
        self.assertIsInstance(node.left, cexpr.Cast)
        self.assertIsInstance(node.left.operand, cexpr.Member)

    def test_literal_types_follow_c(self):
        for text, words in (("7", ("int",)), ("0x7fffffff", ("int",)), ("0xffffffff", ("unsigned", "int")),
                            ("4294967296", ("long", "long")), ("5u", ("unsigned", "int")), ("010", ("int",)),
                            ("'A'", ("int",))):
            self.assertEqual(self.parse(text).type_words, words, text)
        self.assertEqual(self.parse("010").value, 8)
        self.assertEqual(self.parse("'\\n'").value, 10)

    def test_shapes_outside_the_set_are_refused(self):
        for text in ("f(1)", '"text"', "count = 1", "1.5", "$", "", "a ? b", "(int", "x[1", "a +", "1 2",
                     "sizeof", "struct", "a->", "'ab'", "09", "@", "(" * 70 + "1" + ")" * 70,
                     "x" * (cexpr.MAX_EXPRESSION_CHARS + 1)):
            with self.assertRaises(ExpressionError, msg=text):
                self.parse(text)


class Evaluation(unittest.TestCase):
    def setUp(self):
        self.h = Harness()

    def test_the_plugins_list_walk(self):
        h = self.h
        names = []
        h.value("$n_cont=1,$n=(struct NODE *)head")
        while h.value("$n_cont"):
            names.append(h.value("$n->name"))
            h.value("$n=$n->next, $n_cont = (($n != (struct NODE *)head) && ($n->id == 0x4e4f4445))")
        self.assertEqual(names, [NAMES, 0])
        self.assertEqual(h.value("$n"), NODES)          # back at the head

    def test_integer_conversions(self):
        v = self.h.value
        self.assertEqual(v("-1 < 1u"), 0)                  # the int becomes unsigned
        self.assertEqual(v("-1 < 1"), 1)
        self.assertEqual(v("(unsigned short)0x12345"), 0x2345)
        self.assertEqual(v("(unsigned char)nodes[0].delta"), 254)
        self.assertEqual(v("nodes[0].delta"), -2)
        self.assertEqual(v("0xffffffff + 1"), 0)           # unsigned int wraps
        self.assertEqual(v("1 << 31"), -(1 << 31))
        self.assertEqual(v("(ULONG)-1 / 2"), 0x7FFFFFFF)
        self.assertEqual(v("-7 / 2"), -3)                  # toward zero
        self.assertEqual(v("-7 % 2"), -1)
        self.assertEqual(v("~0u"), 0xFFFFFFFF)
        self.assertEqual(v("!count"), 0)
        self.assertEqual(v("nodes[0].flags + 0"), 0x81)    # unsigned char promotes to int
        self.assertEqual(v("(int)count * -1"), -2)
        self.assertEqual(v("nodes[0].kind"), 5)            # a bit field

    def test_pointers(self):
        v = self.h.value
        self.assertEqual(v("nodes[0].end - (char *)$sp + 1"), 0xC1)
        self.assertEqual(v("(struct NODE *)0x2000 + 1"), 0x2000 + NODE_SIZE)
        self.assertEqual(v("&nodes[1] - &nodes[0]"), 1)
        self.assertEqual(v("(ULONG)(head->next)"), NODES + NODE_SIZE)
        self.assertEqual(v("table[1]->next == head"), 1)
        self.assertEqual(v("*table == &nodes[0]"), 1)
        self.assertEqual(v("sizeof(table)/sizeof(*table)"), 4)
        self.assertEqual(v("sizeof(struct NODE)"), NODE_SIZE)
        self.assertEqual(v("sizeof(int) + sizeof(long long)"), 12)
        self.assertEqual(v("head ? 1 : 2"), 1)
        with self.assertRaises(ExpressionError):
            v("(int *)head - (char *)head")                # steps of different sizes

    def test_logic_stops_early(self):
        v = self.h.value
        self.assertEqual(v("0 && *(int *)0x7000"), 0)
        self.assertEqual(v("1 || *(int *)0x7000"), 1)
        with self.assertRaises(ExpressionError):
            v("1 && *(int *)0x7000")

    def test_assignment_and_convenience_variables(self):
        v = self.h.value
        self.assertEqual(v("$k = 5, $k += 2, $k <<= 1"), 14)
        self.assertEqual(v("$k"), 14)
        with self.assertRaises(ExpressionError):
            v("$never_set + 1")                            # void
        with self.assertRaises(ExpressionError):
            v("$sp = 0")                                   # registers are read only here

    def test_member_access_reads_only_what_it_needs(self):
        h = self.h
        h.reads.clear()
        self.assertEqual(h.value("head->next->delta"), 300)
        self.assertEqual(sorted(h.reads), [(HEAD, 4), (NODES + 4, 4), (NODES + NODE_SIZE + 14, 2)])

    def test_faults_fail_one_evaluation(self):
        for text in ("nosuch", "(struct MISSING *)0", "*nodes[0].end", "count->id", "nodes[0].nosuch",
                     "1 / 0", "*(int *)0x7000", "handler + 1 - nodes", "(struct NODE)1", "~nodes[0]",
                     "nodes[0] + 1", "&1"):
            with self.assertRaises(ExpressionError, msg=text):
                self.h.value(text)

    def test_each_text_is_compiled_once(self):
        h = self.h
        for _ in range(3):
            h.value("head->id + 1")
        self.assertEqual(list(h.evaluator.compiled), ["head->id + 1"])


class Scalars(unittest.TestCase):
    """What the templates print, on this back end's values."""

    def setUp(self):
        self.h = Harness()
        h = self.h
        from vuskhost import dwarf_target

        class Target(template.Target):
            def scalar(self, expression):
                try:
                    return dwarf_target.to_scalar(h.model, h.evaluator.evaluate(expression))
                except ExpressionError as e:
                    raise template.TemplateError(str(e))

            def c_string(self, address, limit):
                out = bytearray()
                while len(out) < limit and h.memory.get(address + len(out), 0):
                    out.append(h.memory[address + len(out)])
                return out.decode()

        self.target = Target()

    def render(self, text):
        return template.render(text, self.target)

    def test_the_plugins_name_template(self):
        name = ('`if($n->name) {mprintf("%s", $n->name)} else {mprintf("0x%8.8x", $n+0)}`')
        self.h.value("$n=(struct NODE *)head")
        self.assertEqual(self.render(name), "first")
        self.h.value("$n=$n->next")
        self.assertEqual(self.render(name), "0x00002020")

    def test_kinds_of_scalars(self):
        self.assertEqual(self.render("`print/a nodes[0].label`"), "abc")        # a char array is a string
        self.assertEqual(self.render("`print nodes[0].label`"), "0x2010")       # ... at its address
        self.assertEqual(self.render("`print/x nodes[1].delta`"), "0x12c")
        self.assertEqual(self.render("`print/d nodes[0].delta`"), "-2")
        self.assertEqual(self.render("`print/b (struct NODE *)count + 0`"), "2")
        self.assertEqual(self.render("`print/x head+0`"), "0x2000")
        with self.assertRaises(template.TemplateError):
            self.render("`print/d nosuch`")


class Services(unittest.TestCase):
    def test_expression_service_answers_and_fails_one_request(self):
        h = Harness()

        class Debugger(services.Debugger):
            def evaluate(self, expression):
                try:
                    return h.value(expression)
                except ExpressionError as e:
                    raise services.DebuggerError(str(e))

        self.assertEqual(services.serve(Debugger(), "VUSK_Service_ExpressionEval", {"expression": "count"}),
                         {"output": 2, "return": 0})
        self.assertEqual(services.serve(Debugger(), "VUSK_Service_ExpressionEval", {"expression": "f(1)"}),
                         {"return": 1})


if __name__ == "__main__":
    unittest.main()
