#!/usr/bin/env python3
"""The GDB extension's modules without GDB: framing and wire texts, the
template interpreter, the services against a fake debugger, the session
against misbehaving plugins and against the real one.

Environment: VUSK_PLUGIN (the real plugin; its tests are skipped without).
"""

import os
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "host", "gdb"))

from vuskhost import arch, catalogue, services, template, views, wire  # noqa: E402
from vuskhost.channel import Channel  # noqa: E402
from vuskhost.session import PluginError, Session  # noqa: E402
from vuskhost.template import Scalar, TemplateError  # noqa: E402
from elf_samples import arm_elf  # noqa: E402

PLUGIN = os.environ.get("VUSK_PLUGIN", "")
FAKE_PLUGIN = os.path.join(HERE, "fake_plugin.py")


class Framing(unittest.TestCase):
    def test_message_boundaries(self):
        cases = [
            ('{ "a" : 1 }', True),
            ('{ "a" : "}" ', False),                      # brace inside a string
            ('{ "a" : "\\"}" ', False),                   # ... after an escaped quote
            ('{ "a" : "\\"}" }', True),
            (' \t\n{ }', True),
            ('\r\n{ }', False),                           # a carriage return is not skipped
            ('{ "method" : "x", "par', False),            # a piece of a message
            ('{ } trailing', True),
            ('}{', False),
            ('', False),
        ]
        for text, complete in cases:
            self.assertEqual(wire.is_complete_object(text), complete, text)

    def test_end_of_first_object(self):
        self.assertEqual(wire.complete_object_end('{ "a" : { } }{ "b" : 2 }'), 13)

    def test_a_channel_takes_each_message_whole_and_parsed_once(self):
        channel = Channel.__new__(Channel)        # its framing only: no process
        channel.recorder = None
        channel.pending = ' \n{ "a" : "}{" }{ "b" : [1'
        self.assertEqual(channel._take_message(), ('{ "a" : "}{" }', {"a": "}{"}))
        self.assertIsNone(channel._take_message())          # a piece waits for the rest
        channel.pending += ', 2] }\n{ no : json }{'
        self.assertEqual(channel._take_message(), ('{ "b" : [1, 2] }', {"b": [1, 2]}))
        # Complete by its braces but no JSON: whole, for the session to refuse.
        self.assertEqual(channel._take_message(), ("{ no : json }", None))
        self.assertEqual(channel.pending, "{")
        self.assertIsNone(channel._take_message())

    def test_writer_uses_the_plugins_spacing(self):
        value = {"a": 1, "b": [True, None], "c": {}, "d": [], "e": -5}
        self.assertEqual(wire.write_value(value),
                         '{ "a" : 1, "b" : [ true, null ], "c" : {  }, "d" : [  ], "e" : -5 }')
        self.assertEqual(wire.error(-32601, "method not found", 7),
                         '{ "jsonrpc" : "2.0", "error" : { "code" : -32601, "message" : "method not found"}, "id" : 7 }')
        self.assertEqual(wire.request("M", {"context": 1}, 0),
                         '{ "jsonrpc" : "2.0", "method" : "M", "params" : { "context" : 1 }, "id" : 0 }')

    def test_bytes_escape_like_the_plugin_and_utf8_survives(self):
        wire_text = wire.to_wire("capteur_\u00e9t\u00e9\n\"/\x7f")
        written = wire.write_string(wire_text)
        self.assertEqual(written, '"capteur_\\u00c3\\u00a9t\\u00c3\\u00a9\\n\\"/\\u007f"')
        self.assertTrue(written.isascii())
        self.assertEqual(wire.from_wire(wire.parse(written)), "capteur_\u00e9t\u00e9\n\"/\x7f")

    def test_bytes_that_are_not_utf8_do_not_fail(self):
        self.assertEqual(wire.from_wire("a\u00ffb"), "a\ufffdb")


class FakeTarget(template.Target):
    """Expressions looked up in a table; counts evaluations."""

    def __init__(self, values, strings=None, symbols=None, functions=None):
        self.values, self.strings = values, strings or {}
        self.symbols, self.functions = symbols or {}, functions or {}
        self.evaluated = []

    def scalar(self, expression):
        self.evaluated.append(expression)
        if expression not in self.values:
            raise TemplateError("no symbol in " + expression)
        return self.values[expression]

    def c_string(self, address, limit):
        if address not in self.strings:
            raise TemplateError("cannot read 0x%x" % address)
        return self.strings[address][:limit]

    def symbol_at(self, address):
        return self.symbols.get(address)

    def function_at(self, address):
        return self.functions.get(address)


def ints(**values):
    return {k: Scalar("int", v, 4, v < 0) for k, v in values.items()}


class Templates(unittest.TestCase):
    def render(self, text, values, **kw):
        return template.render(text, FakeTarget(values, **kw))

    def test_print_formats(self):
        values = {"neg": Scalar("int", -2, 4, True), "u8": Scalar("int", 200, 1, False),
                  "p": Scalar("pointer", 0x10000a50, 8), "small": Scalar("pointer", 1, 8),
                  "name": Scalar("char_pointer", 0x500, 8), "fn": Scalar("pointer", 0x401136, 8),
                  "nofn": Scalar("pointer", 0x99, 8), "null": Scalar("pointer", 0, 8)}
        strings = {0x500: "sem_ready"}
        cases = [("print/d neg", "-2"), ("print/x neg", "0xfffffffe"), ("print/u neg", "4294967294"),
                 ("print/d u8", "200"), ("print neg", "-2"), ("print p", "0x10000a50"),
                 ("print/x p", "0x10000a50"), ("print/b small", "1"), ("print/a name", "sem_ready"),
                 ("print/a p", "0x10000a50 <fixture+2640>"), ("print/a nofn", "0x99"),
                 ("print/pb fn", "timer_tick_expiry"), ("print/pb nofn", "0x99"), ("print/pb null", "0x0"),
                 ("print /d neg", "-2"), ("print/o u8", "0310"), ("print/t small", "1")]
        for statement, expected in cases:
            got = self.render("`%s`" % statement, values, strings=strings,
                              symbols={0x10000a50: "fixture+2640"}, functions={0x401136: "timer_tick_expiry"})
            self.assertEqual(got, expected, statement)

    def test_literal_text_between_blocks(self):
        values = ints(prio=10, thr=8)
        self.assertEqual(self.render("`print/d prio + 0` (`print/d thr + 0`)", values | ints(**{"prio + 0": 10, "thr + 0": 8})),
                         "10 (8)")
        self.assertEqual(self.render("no blocks at all", {}), "no blocks at all")

    def test_nested_ifs_separators_and_blocks(self):
        text = ('`if (s == 5) {print "Queue "} else {if(s == 6) {print "Semaphore "} else {print "N/A"}}; '
                'if ((s >= 5) && (cb)) {if(nm) { print/a nm}else {print/x cb}}`')
        base = {"s == 5": Scalar("int", 0, 4), "s == 6": Scalar("int", 1, 4), "(s >= 5) && (cb)": Scalar("int", 1, 4),
                "nm": Scalar("char_pointer", 0x600, 8), "cb": Scalar("int", 0x10000a50, 4)}
        self.assertEqual(self.render(text, base, strings={0x600: "sem_ready"}), "Semaphore sem_ready")
        base["nm"] = Scalar("char_pointer", 0, 8)
        self.assertEqual(self.render(text, base), "Semaphore 0x10000a50")
        self.assertEqual(self.render('`{print "N/A"}`', {}), "N/A")
        self.assertEqual(self.render('`print "a";print " b"; ;print "\\"c\\""`', {}), 'a b"c"')
        self.assertEqual(self.render('`if (x) print "yes"; else print "no"`', ints(x=0)), "no")

    def test_expression_ends_outside_brackets_and_quotes(self):
        values = {"{int} 0x10 + f(\"}\", ';')": Scalar("int", 3, 4)}
        self.assertEqual(self.render("`print/d {int} 0x10 + f(\"}\", ';');print \"!\"`", values), "3!")

    def test_mprintf(self):
        values = {"name": Scalar("char_pointer", 0x500, 8), "addr": Scalar("pointer", 0x10000a50, 8),
                  "neg": Scalar("int", -1, 4, True), "none": Scalar("char_pointer", 0, 8)}
        strings = {0x500: "producer"}
        cases = [('mprintf("%s", name)', "producer"), ('mprintf("0x%8.8x", addr)', "0x10000a50"),
                 ('mprintf("%x|%d|%u", neg, neg, neg)', "ffffffff|-1|4294967295"),
                 ('mprintf("%lx", neg)', "ffffffffffffffff"), ('mprintf("[%-10s]%%", name)', "[producer  ]%"),
                 ('mprintf("%.3s", name)', "pro"), ('mprintf("%s", none)', "(null)"),
                 ('mprintf("%p", addr)', "0x10000a50"), ('mprintf("plain")', "plain")]
        for statement, expected in cases:
            self.assertEqual(self.render("`%s`" % statement, values, strings=strings), expected, statement)

    def test_failures(self):
        cases = ["`print/d", "`print/q x`", "`frobnicate x`", "`print/d (x`", "`print/d x)`",
                 '`mprintf("%d %d", x)`', "`print/d missing`", "`if () {}`", '`mprintf("%s", x)`',
                 "`print`", '`mprintf("%99999d", y)`', '`mprintf("%.*s", y, y)`',
                 "`" + "{" * (template.MAX_NESTING + 1) + "}" * (template.MAX_NESTING + 1) + "`"]
        for text in cases:
            with self.assertRaises(TemplateError, msg=text):
                self.render(text, {"x": Scalar("other", text="{...}"), "y": Scalar("int", 99999, 4)})

    def test_syntax_errors_stop_before_any_evaluation(self):
        target = FakeTarget(ints(x=1))
        with self.assertRaises(TemplateError):
            template.render("`print x` and `print (x`", target)
        self.assertEqual(target.evaluated, [])


class FakeDebugger(services.Debugger):
    def __init__(self):
        self.memory = {0x1000: bytes(range(16))}
        self.messages = []
        self.registers = {"rax": 0x1122334455667788, "eflags": 0x246}

    def template_target(self):
        return FakeTarget({"x": Scalar("int", 7, 4)})

    def evaluate(self, expression):
        if expression == "bad":
            raise services.DebuggerError("no symbol")
        return {"ptr": 0xFFFFFFFF10000000, "neg": -3}.get(expression, 0)

    def read_memory(self, address, length):
        block = self.memory.get(address & ~0xF)
        if block is None:
            raise services.DebuggerError("Cannot access memory")
        return block[address & 0xF:(address & 0xF) + length]

    def write_memory(self, address, data):
        self.memory[address] = data

    def register_map(self):
        return arch.REGISTER_MAPS["x86-64"]

    def read_register(self, name, core):
        return self.registers[name]

    def lookup_symbol(self, name):
        return (0x404040, 1) if name == "_tx_thread_created_ptr" else None

    def show_message(self, message_type, text):
        self.messages.append((message_type, text))

    def target_status(self):
        return services.STATUS_HALTED

    def config_dir(self, create):
        return "/home/u/.config/vusk_threadx"


class Services(unittest.TestCase):
    def serve(self, method, params):
        return services.serve(FakeDebugger(), method, params)

    def test_expressions_and_strings(self):
        self.assertEqual(self.serve("VUSK_Service_ExpressionEval", {"expression": "ptr"}),
                         {"output": 0xFFFFFFFF10000000, "return": 0})
        self.assertEqual(self.serve("VUSK_Service_ExpressionEval", {"expression": "neg"})["output"], -3)
        self.assertEqual(self.serve("VUSK_Service_ExpressionEval", {"expression": "bad"}), {"return": 1})
        self.assertEqual(self.serve("VUSK_Service_ExpressionEval", {}), {"return": 1})
        self.assertEqual(self.serve("VUSK_Service_StringEval", {"input": "n=`print/d x`"}),
                         {"value": "n=7", "return": 0})
        self.assertEqual(self.serve("VUSK_Service_StringEval", {"input": "`print/d y`"}), {"return": 1})

    def test_commands(self):
        self.assertEqual(self.serve("VUSK_Service_CommandExec", {"command": "__debugFlag TxVuskUsePhySpace"}),
                         {"output": "TxVuskUsePhySpace = off", "return": 0})
        self.assertEqual(self.serve("VUSK_Service_CommandExec", {"command": "__user_cfg_dir"})["output"],
                         "/home/u/.config/vusk_threadx")
        self.assertEqual(self.serve("VUSK_Service_CommandExec", {"command": "shell rm -rf /"}), {"return": 1})

    def test_memory(self):
        self.assertEqual(self.serve("VUSK_Service_MemoryRead", {"memorySpace": 4, "address": 0x1002, "count": 4}),
                         {"value": "02030405", "return": 0})
        self.assertEqual(self.serve("VUSK_Service_MemoryRead", {"address": 0x1000, "count": 0}),
                         {"value": "", "return": 0})
        for params in ({"address": 0x2000, "count": 4}, {"address": 0x100c, "count": 8},
                       {"address": 0x1000, "count": services.MAX_MEMORY_BYTES + 1},
                       {"address": 0x1000, "count": -1}, {"address": "0x1000", "count": 4}):
            self.assertEqual(self.serve("VUSK_Service_MemoryRead", params), {"return": 1}, params)
        dbg = FakeDebugger()
        self.assertEqual(services.serve(dbg, "VUSK_Service_MemoryWrite", {"address": 0x3000, "count": 2, "value": "0aFF"}),
                         {"return": 0})
        self.assertEqual(dbg.memory[0x3000], b"\x0a\xff")
        for value in ("0aF", "0aFFee", "zz11"):
            self.assertEqual(self.serve("VUSK_Service_MemoryWrite", {"address": 0x3000, "count": 2, "value": value}),
                             {"return": 1}, value)

    def test_registers_in_halves(self):
        read = lambda n: self.serve("VUSK_Service_RegisterRead", {"register": n, "width": -1, "fromDebugger": 1})
        self.assertEqual(read(0), {"value": 0x55667788, "return": 0})
        self.assertEqual(read(1), {"value": 0x11223344, "return": 0})
        self.assertEqual(read(34), {"value": 0x246, "return": 0})
        self.assertEqual(read(35), {"return": 1})

    def test_symbols_messages_status_and_unknown(self):
        self.assertEqual(self.serve("VUSK_Service_SymbolLookup", {"name": "_tx_thread_created_ptr"}),
                         {"address": 0x404040, "storageClass": 1, "return": 0})
        self.assertEqual(self.serve("VUSK_Service_SymbolLookup", {"name": "_tx_build_options"}), {"return": 1})
        dbg = FakeDebugger()
        services.serve(dbg, "VUSK_Service_MessageDisplay", {"messageType": 2, "message": wire.to_wire("h\u00e9\n")})
        self.assertEqual(dbg.messages, [(2, "h\u00e9\n")])
        self.assertEqual(self.serve("VUSK_Service_TargetStatus", {}), {"status": 0, "return": 0})
        with self.assertRaises(services.UnknownService):
            self.serve("VUSK_Service_YesNoChoose", {})
        self.assertEqual(self.serve("VUSK_Service_MemoryRead", [1, 2]), {"return": 1})


class FakeListSession:
    """The plugin's side of the list walk over a table of objects: lists
    per (kind, parent), attributes per object; records every call."""

    def __init__(self, lists, fail_next_at=None):
        self.lists, self.fail_next_at = lists, fail_next_at
        self.calls = []
        self.position = {}

    def call(self, method, params):
        self.calls.append((method, dict(params)))
        key = (params["objTypeId"], params.get("parentObjTypeId"), params.get("parentObjId"))
        objects = self.lists.get(key)
        if method == "VUSK_Client_ObjectListInit":
            if objects is None:
                return {"showObjectNumber": 1, "return": 1}
            self.position[key] = 0
            return {"showObjectNumber": 1, "return": 0 if objects else 2}
        if method == "VUSK_Client_ObjectListNext":
            if self.fail_next_at is not None and self.position[key] + 1 == self.fail_next_at:
                raise PluginError("vusk_threadx: the plugin ended")
            self.position[key] = (self.position[key] + 1) % len(objects) if objects[-1] == "loop" else self.position[key] + 1
            return {"return": 0 if self.position[key] < len(objects) else 1}
        if method == "VUSK_Client_ObjectListAttribute":
            cells = objects[self.position[key]] if objects[self.position[key]] != "loop" else objects[0]
            value = cells[params["objAtrId"]] if params["objAtrId"] < len(cells) else None
            if value is None:
                return {"return": 1}
            if params["valueType"] == catalogue.VALUE_U64:
                return {"objAtrValue": int(value, 16), "return": 0}
            return {"objAtrValue": wire.to_wire(value), "return": 0}
        return {"return": 0}

    def methods(self):
        return [method for method, _ in self.calls]


class FakeKernelDebugger(FakeDebugger):
    """A created list of control blocks {address: (name or None, next)}
    read straight from memory; names are strings at 0x9000 + address."""

    def __init__(self, blocks, first, count=None, unreadable=()):
        super().__init__()
        self.blocks, self.first, self.unreadable = blocks, first, unreadable
        self.count = len(blocks) if count is None else count
        self.names = {0x9000 + a: name for a, (name, _) in blocks.items() if name is not None}

    def template_target(self):
        debugger = self

        class Strings(FakeTarget):
            def c_string(self, address, limit):
                if address in debugger.unreadable:
                    raise TemplateError("Cannot access memory at address 0x%x" % address)
                return debugger.names[address]
        return Strings({})

    def evaluate(self, expression):
        if expression == "_tx_thread_created_count":
            return self.count
        if expression == "_tx_thread_created_ptr":
            return self.first
        address = int(expression.split(")")[1].strip(" )"), 16)
        name, following = self.blocks[address]
        if expression.endswith("->tx_thread_name"):
            return 0x9000 + address if name is not None else 0
        return following


class Walks(unittest.TestCase):
    SEMAPHORES = catalogue.KINDS[2]

    def test_objects_with_their_waiting_threads(self):
        session = FakeListSession({
            (2, None, None): [["sem_ready", "0x10", "0", "2"], ["0x20", "0x20", None, "0"]],
            (0, 2, 0x10): [["producer"], ["capteur_\u00e9t\u00e9"]],
            (0, 2, 0x20): []})
        rows = catalogue.list_kind(session, self.SEMAPHORES)
        self.assertEqual([(r.cells, r.address, r.waiting) for r in rows],
                         [(["sem_ready", "0x10", "0", "2"], 0x10, ["producer", "capteur_\u00e9t\u00e9"]),
                          (["0x20", "0x20", "?", "0"], 0x20, [])])
        init = [p for m, p in session.calls if m == "VUSK_Client_ObjectListInit" and p["objTypeId"] == 0]
        self.assertEqual(init[0], {"context": 1, "objTypeId": 0, "parentObjTypeId": 2, "parentObjId": 0x10,
                                   "parentObjListId": -1, "showAllObjects": 1})
        self.assertEqual(session.methods().count("VUSK_Client_ObjectListCleanup"), 3)

    def test_empty_and_unreadable_lists(self):
        self.assertEqual(catalogue.walk(FakeListSession({(1, None, None): []}), 1, 5), [])
        with self.assertRaises(PluginError):
            catalogue.walk(FakeListSession({}), 1, 5)

    def test_a_list_that_never_ends_is_cut(self):
        session = FakeListSession({(3, None, None): [["q", "0x30"], "loop"]})
        rows = catalogue.walk(session, 3, 2)
        self.assertEqual(len(rows), catalogue.MAX_OBJECTS)

    def test_thread_names_keep_the_first_of_a_name_and_numbers_are_addresses(self):
        session = FakeListSession({(0, None, None): [["main", "0x10"], ["twin", "0x20"], ["twin", "0x30"],
                                                     ["lost", None]]})
        self.assertEqual(views.thread_names(session), {"main": 0x10, "twin": 0x20})
        for text, address in (("0x1F", 0x1F), (" 0X20 ", 0x20), ("4096", 4096), ("0", 0), ("-1", None),
                              ("0x", None), ("twin", None), ("1e3", None), ("", None)):
            self.assertEqual(views.address_argument(text), address, text)

    def test_names_read_from_the_control_blocks_without_the_plugin(self):
        # The first of two names; an unnamed thread is left to its address;
        # the circular list ends where it began, or after the count.
        blocks = {0x10: ("main", 0x20), 0x20: ("twin", 0x30), 0x30: ("twin", 0x40), 0x40: (None, 0x10)}
        self.assertEqual(views.thread_names_in_blocks(FakeKernelDebugger(blocks, 0x10)), {"main": 0x10, "twin": 0x20})
        self.assertEqual(views.thread_names_in_blocks(FakeKernelDebugger(blocks, 0x10, count=9)),
                         {"main": 0x10, "twin": 0x20})
        self.assertEqual(views.thread_names_in_blocks(FakeKernelDebugger(blocks, 0x10, count=1)), {"main": 0x10})
        self.assertIsNone(views.thread_names_in_blocks(FakeKernelDebugger(blocks, 0x10, unreadable=(0x9020,))))

    def test_a_name_not_in_the_blocks_is_looked_for_as_the_table_shows_it(self):
        blocks = {0x10: ("main", 0x10)}
        session = FakeListSession({(0, None, None): [["main", "0x10"], ["shown otherwise", "0x50"]]})
        session.debugger = FakeKernelDebugger(blocks, 0x10)
        self.assertEqual(views.thread_by_name(session, "main"), 0x10)
        self.assertEqual(session.calls, [])
        self.assertEqual(views.thread_by_name(session, "shown otherwise"), 0x50)

    def test_a_fault_in_the_middle_still_closes_the_walk_and_is_reported(self):
        session = FakeListSession({(7, None, None): [["m1"], ["m2"], ["m3"]]}, fail_next_at=2)
        with self.assertRaises(PluginError):
            catalogue.walk(session, 7, 1)
        self.assertEqual(session.methods()[-1], "VUSK_Client_ObjectListCleanup")


class Tables(unittest.TestCase):
    def test_columns_align_and_waiting_threads_follow_their_row(self):
        rows = [catalogue.Row(["sem_ready", "0x10000a50", "0"], 1), catalogue.Row(["0x10000a88", "0x10000a88", "12"], 2)]
        rows[0].waiting = ["producer", "capteur"]
        self.assertEqual(catalogue.render_table(("Name", "Address", "Count"), rows),
                         "Name        Address     Count\n"
                         "----------  ----------  -----\n"
                         "sem_ready   0x10000a50  0\n"
                         "    waiting: producer, capteur\n"
                         "0x10000a88  0x10000a88  12\n")

    def test_register_numbers(self):
        regs = arch.REGISTER_MAPS["x86-64"]
        self.assertEqual([(p.name, p.shift) for p in (regs.part(0), regs.part(1), regs.part(15), regs.part(34))],
                         [("rax", 0), ("rax", 32), ("rsp", 32), ("eflags", 0)])
        self.assertIsNone(regs.part(35))
        self.assertEqual(arch.REGISTER_MAPS["arm-m"].part(13).name, "sp")
        self.assertEqual(arch.parse_cpu_type("77 0x1"), (77, 1))
        self.assertIsNone(arch.parse_cpu_type(" auto "))
        for bad in ("0", "x", "1 2 3", "70000"):
            with self.assertRaises(ValueError):
                arch.parse_cpu_type(bad)

    def test_each_cortex_m_architecture_has_its_minor(self):
        # GDB's names, the Cortex-M0's "armv6s-m" and the Cortex-M3's "armv7" among them.
        for name, minor in (("armv6-m", 40), ("armv6s-m", 40), ("armv7", 41), ("armv7-m", 41), ("armv7e-m", 42),
                            ("armv8-m.main", 43), ("armv8-m.base", 44)):
            plain = arch.cpu_for_architecture(name, m_profile=True)
            self.assertEqual((plain.major, plain.minor, plain.registers.name), (arch.CPU_MAJOR_ARM_M, minor, "arm-m"),
                             name)
            # A target description with floating-point registers adds them,
            # and leaves the CPU type as it is.
            fp = arch.cpu_for_architecture(name, m_profile=True, has_fpu=True)
            self.assertEqual((fp.minor, fp.registers.name), (minor, "arm-m-fp"), name)
        self.assertEqual(arch.cpu_for_architecture("i386:x86-64", has_fpu=True).registers.name, "x86-64")

    def test_floating_point_registers_follow_the_integer_ones(self):
        regs = arch.REGISTER_MAPS["arm-m-fp"]
        self.assertEqual([regs.part(n).name for n in (0, 16, 17, 48, 49)], ["r0", "xpsr", "s0", "s31", "fpscr"])
        self.assertIsNone(regs.part(50))
        self.assertIsNone(arch.REGISTER_MAPS["arm-m"].part(17))
        self.assertEqual(regs.format("s16", 32, 0x42e80000), "0x42e80000 (116)")
        self.assertEqual(regs.format("s1", 32, 0xbfc00000), "0xbfc00000 (-1.5)")
        self.assertEqual(regs.format("s2", 32, 0x3dcccccd), "0x3dcccccd (0.100000001)")
        self.assertEqual(regs.format("fpscr", 32, 0x10), "0x00000010")
        self.assertEqual(arch.REGISTER_MAPS["x86-64"].format("rip", 64, 0x401010), "0x0000000000401010")


class Architectures(unittest.TestCase):
    def choice(self, name, m_profile=False):
        found = arch.cpu_for_architecture(name, m_profile)
        return (found.major, found.minor, found.registers.name, found.label) if found else None

    def test_only_the_m_profile_is_cortex_m(self):
        self.assertEqual(self.choice("i386:x86-64"), (77, 0, "x86-64", "x86-64"))
        self.assertEqual(self.choice("aarch64"), (50, 0, "aarch64", "AArch64"))
        self.assertEqual(self.choice("armv7e-m", True), (14, 42, "arm-m", "ARMv7E-M"))
        self.assertEqual(self.choice("armv7", True), (14, 41, "arm-m", "ARMv7-M"))
        self.assertEqual(self.choice("armv6s-m", True), (14, 40, "arm-m", "ARMv6-M"))
        self.assertEqual(self.choice("armv8-m.main", True), (14, 43, "arm-m", "ARMv8-M mainline"))
        self.assertEqual(self.choice("armv8-m.base", True), (14, 44, "arm-m", "ARMv8-M baseline"))
        for a_or_r in ("armv7", "armv7-a", "armv8-a", "armv5te", "arm"):
            self.assertEqual(self.choice(a_or_r), (arch.CPU_MAJOR_ARM_A_R, 0, "arm-a-r", "ARM, not M profile"))
        self.assertEqual(arch.REGISTER_MAPS["arm-a-r"].part(16).name, "cpsr")
        self.assertIsNone(self.choice("mips"))

    def test_names_that_say_m_profile_by_themselves(self):
        for name in ("armv6-m", "armv6s-m", "armv7-m", "armv7e-m", "armv8-m.base", "armv8-m.main", "armv8.1-m.main"):
            self.assertTrue(arch.is_m_profile_name(name), name)
        for name in ("armv7", "armv7-a", "armv7-r", "arm", "aarch64", "i386:x86-64", "armv8-a"):
            self.assertFalse(arch.is_m_profile_name(name), name)

    def test_profile_from_the_elf_build_attributes(self):
        with tempfile.TemporaryDirectory() as directory:
            def profile(data):
                path = os.path.join(directory, "a.elf")
                with open(path, "wb") as f:
                    f.write(data)
                return arch.elf_arm_profile(path)

            self.assertEqual(profile(arm_elf("M")), "M")
            self.assertEqual(profile(arm_elf("A")), "A")
            self.assertEqual(profile(arm_elf("R", big_endian=True)), "R")
            self.assertIsNone(profile(arm_elf(None)), "no profile attribute")
            self.assertIsNone(profile(arm_elf("M", machine=3)), "not an ARM file")
            self.assertIsNone(profile(arm_elf(attributes=b"B\x00")), "unknown format version")
            whole = arm_elf("M")
            for cut in (10, 52, 60, 70, len(whole) - 30):
                self.assertIn(profile(whole[:cut]), (None, "M"), cut)   # cut files never raise
            self.assertIsNone(profile(b""))
            self.assertIsNone(arch.elf_arm_profile(os.path.join(directory, "missing.elf")))


TARGET = {"majorCpuType": 77, "minorCpuType": 0, "bigEndianTarget": 0, "bigEndianHost": 0, "coreCount": 1}


class Sessions(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.starts = os.path.join(self.directory.name, "starts")
        self.log = []

    def tearDown(self):
        self.directory.cleanup()

    def session(self, argv, timeout=2.0):
        return Session(FakeDebugger(), lambda: argv, lambda: timeout, lambda: dict(TARGET), self.log.append)

    def fake(self, mode):
        return self.session([sys.executable, FAKE_PLUGIN, mode, self.starts])

    def start_count(self):
        with open(self.starts) as f:
            return len(f.readlines())

    def test_service_requests_are_served_while_a_call_waits(self):
        s = self.fake("serve")
        s.ensure_started()
        answer = s.call("VUSK_Client_Poll", {"context": 1})
        asked = answer["asked"]
        self.assertEqual(asked[0]["result"], {"output": 0, "return": 0})
        self.assertEqual(asked[1]["error"], {"code": -32601, "message": "method not found"})
        self.assertEqual(asked[1]["id"], asked[0]["id"] + 1)
        self.assertEqual(asked[2]["result"], {"value": "x=7", "return": 0})
        s.stop()

    def test_a_host_fault_answers_an_error_and_keeps_the_plugin(self):
        class Broken(FakeDebugger):
            def evaluate(self, expression):
                raise RuntimeError("host bug")
        s = Session(Broken(), lambda: [sys.executable, FAKE_PLUGIN, "serve"], lambda: 2.0,
                    lambda: dict(TARGET), self.log.append)
        s.ensure_started()
        asked = s.call("VUSK_Client_Poll", {"context": 1})["asked"]
        self.assertEqual(asked[0]["error"], {"code": -32603, "message": "host failure: host bug"})
        self.assertIn("VUSK_Service_ExpressionEval failed in the host: host bug", "".join(self.log))
        self.assertIsNotNone(s.channel)
        s.stop()

    def test_an_answer_too_long_for_the_plugin_is_a_failed_request(self):
        class Verbose(FakeDebugger):
            def template_target(self):
                return FakeTarget({"x": Scalar("other", text="y" * 70000)})
        s = Session(Verbose(), lambda: [sys.executable, FAKE_PLUGIN, "serve"], lambda: 2.0,
                    lambda: dict(TARGET), self.log.append)
        s.ensure_started()
        self.assertEqual(s.call("VUSK_Client_Poll", {"context": 1})["asked"][2]["result"], {"return": 1})
        self.assertIn("too long for the plugin", "".join(self.log))
        s.stop()

    def test_faults_are_errors_and_the_next_call_restarts(self):
        for mode in ("exit", "garbage", "silent", "wrong-id"):
            with self.subTest(mode=mode):
                if os.path.exists(self.starts):
                    os.remove(self.starts)
                s = self.fake(mode)
                began = time.monotonic()
                with self.assertRaises(PluginError) as caught:
                    s.ensure_started()
                self.assertLess(time.monotonic() - began, 10)
                self.assertIn("restarted at the next command", str(caught.exception))
                self.assertIsNone(s.channel)
                with self.assertRaises(PluginError):
                    s.ensure_started()
                self.assertEqual(self.start_count(), 2)

    def test_what_the_plugin_wrote_on_stderr_before_an_answer_is_shown_with_it(self):
        s = self.fake("warn")
        s.ensure_started()
        s.show_stderr()
        for _ in range(20):
            del self.log[:]
            ident = s.next_id
            s.call("VUSK_Client_Poll", {"context": 1})
            s.show_stderr()
            self.assertEqual(self.log, ["vusk_threadx (stderr): warning %d\n" % ident])
        s.stop()

    def test_error_envelope_is_an_error_and_keeps_the_plugin(self):
        s = self.fake("error")
        with self.assertRaises(PluginError) as caught:
            s.ensure_started()
        self.assertIn("VUSK_Client_VuskInit failed: unknown message", str(caught.exception))
        self.assertIsNotNone(s.channel)
        s.stop()

    def test_missing_plugin(self):
        with self.assertRaises(PluginError) as caught:
            self.session([os.path.join(self.directory.name, "none")]).ensure_started()
        self.assertIn("cannot start", str(caught.exception))

    @unittest.skipUnless(PLUGIN, "VUSK_PLUGIN not set")
    def test_real_plugin_session_records_a_record_that_plays_back(self):
        record = os.path.join(self.directory.name, "session.rec")
        s = self.session([PLUGIN], timeout=10)
        s.record(record)
        s.ensure_started()
        self.assertTrue(s.serves("VUSK_Client_Exit"))
        s.call("VUSK_Client_TargetNotify", {"context": 1, "notice": 0})
        s.stop()
        s.stop_recording()
        with open(record, encoding="latin-1") as f:
            lines = f.read().splitlines()
        self.assertTrue(lines[0].startswith('PLISK: { "jsonrpc" : "2.0", "method" : "VUSK_Client_VuskInit"'))
        self.assertTrue(all(line.startswith(("PLISK: {", "PLUGIN: {")) for line in lines))
        done = subprocess.run([PLUGIN, "-file", record], capture_output=True, text=True, stdin=subprocess.DEVNULL)
        self.assertEqual((done.returncode, done.stderr), (0, ""), done.stdout)
        self.assertIn("Successfully played back all %d lines" % len(lines), done.stdout)


if __name__ == "__main__":
    unittest.main()
