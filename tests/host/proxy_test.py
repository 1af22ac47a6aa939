#!/usr/bin/python3
"""vusk-gdbproxy between a client that speaks GDB's protocol and a fake
GDB server holding the x86-64 fixture's memory as GDB saw it at
fixture_stop (tests/gdb/fixture.c: twelve threads, saved frames in the
layout of tests/gdb/config's database). The expected thread names,
addresses and saved registers are read by GDB from the fixture itself,
not from the proxy or the plugin.

Environment: VUSK_PLUGIN (the plugin), VUSK_GDB_FIXTURE (the fixture),
VUSK_GDB (GDB). Skipped (77) without them or without python3-pyelftools.
"""

import json
import os
import re
import subprocess
import sys
import tempfile
import time
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "host", "gdb"))
sys.path.insert(0, HERE)

SKIP = 77
PLUGIN = os.environ.get("VUSK_PLUGIN", "")
FIXTURE = os.environ.get("VUSK_GDB_FIXTURE", "")
GDB = os.environ.get("VUSK_GDB", "gdb")
PROXY = os.path.join(SOURCE, "host", "gdb", "vusk_gdbproxy.py")
CONFIG_DIR = os.path.join(SOURCE, "tests", "gdb", "config")
START_SECONDS = 20

try:
    from elftools.elf.elffile import ELFFile
except ImportError:
    ELFFile = None

from vuskhost import rsp  # noqa: E402

SNAPSHOT_SCRIPT = r"""
import json
import gdb
inferior = gdb.selected_inferior()
ranges = json.loads(gdb.parameter("vusk-ranges") if False else RANGES)
memory = [[start, inferior.read_memory(start, size).tobytes().hex()] for start, size in ranges]
frame = gdb.newest_frame()
registers = {name: int(frame.read_register(name)) & 0xFFFFFFFFFFFFFFFF for name in NAMES}
count = int(gdb.parse_and_eval("_tx_thread_created_count"))
state_offset = int(gdb.parse_and_eval("(long)&((TX_THREAD *)0)->tx_thread_state"))
stacks = [int(gdb.parse_and_eval("fixture.threads[%d].tx_thread_stack_ptr" % i)) for i in range(count)]
threads = []
for i in range(count):
    t = gdb.parse_and_eval("fixture.threads[%d]" % i)
    name = t["tx_thread_name"]
    threads.append([int(t.address), name.string("latin-1") if int(name) else None])
saved = []
for i in range(count):
    regs = gdb.parse_and_eval("fixture_saved[%d]" % i)
    saved.append({f.name: int(regs[f.name]) & 0xFFFFFFFFFFFFFFFF for f in regs.type.fields()})
print("@@@" + json.dumps({"memory": memory, "registers": registers, "threads": threads, "saved": saved,
                          "state_offset": state_offset, "stacks": stacks}))
"""


def snapshot(scratch):
    """The fixture at fixture_stop as GDB reads it: its writable memory,
    the CPU's registers, every thread's address and name, the registers
    each suspended thread saved."""
    from fake_server import X86_64_REGISTERS
    with open(FIXTURE, "rb") as f:
        elf = ELFFile(f)
        writable = [(s["sh_addr"], s["sh_size"]) for s in elf.iter_sections()
                    if s["sh_flags"] & 0x3 == 0x3 and s["sh_size"]]
        loaded = [(s["sh_addr"], s.data()) for s in elf.iter_sections()
                  if s["sh_flags"] & 0x2 and s["sh_type"] != "SHT_NOBITS" and s["sh_size"]]
    script = os.path.join(scratch, "snapshot.py")
    with open(script, "w") as f:
        f.write("RANGES = %r\nNAMES = %r\n" % (json.dumps(writable), X86_64_REGISTERS) + SNAPSHOT_SCRIPT)
    done = subprocess.run([GDB, "-nx", "-batch", "-ex", "break *fixture_stop", "-ex", "run", "-ex", "source " + script,
                           FIXTURE], capture_output=True, text=True, timeout=60)
    line = next((l for l in done.stdout.splitlines() if l.startswith("@@@")), None)
    if line is None:
        raise AssertionError("GDB did not give the snapshot:\n" + done.stdout + done.stderr)
    state = json.loads(line[3:])
    # Writable memory as it was at the stop, laid over the file's contents.
    memory = [(start, bytes.fromhex(data)) for start, data in state["memory"]]
    memory += [(start, data) for start, data in loaded if not any(s <= start < s + len(d) for s, d in memory)]
    return memory, state


class Client:
    """GDB's side of the protocol."""

    def __init__(self, path):
        self.link = rsp.Link(rsp.connect(path, 10), "proxy")

    def ask(self, payload, timeout=20):
        self.link.send(payload)
        return self.reply(timeout)

    def reply(self, timeout=20):
        event = self.link.next_event(timeout)
        return rsp.decode(event.payload)

    def start(self, no_ack=True):
        features = self.ask(b"qSupported:multiprocess+;swbreak+;xmlRegisters=i386")
        if no_ack:
            self.assert_ok(self.ask(b"QStartNoAckMode"))
            self.link.ack_mode = False
        return features, self.ask(b"?")

    @staticmethod
    def assert_ok(reply):
        if reply != b"OK":
            raise AssertionError("expected OK, got %r" % reply)

    def document(self, annex=b"qXfer:threads:read::", step=0x40):
        text = b""
        while True:
            reply = self.ask(annex + b"%x,%x" % (len(text), step))
            text += rsp.unescape(reply[1:])
            if reply[:1] == b"l":
                return text

    def close(self):
        self.link.close()


def registers_of(g_reply):
    from fake_server import X86_64_REGISTERS
    values, offset = {}, 0
    for name in X86_64_REGISTERS:
        size = 4 if name == "eflags" else 8
        chunk = g_reply[2 * offset:2 * (offset + size)]
        values[name] = None if b"x" in chunk else int.from_bytes(bytes.fromhex(chunk.decode()), "little")
        offset += size
    return values


class FixtureServerCase(unittest.TestCase):
    """A fake server holding the fixture's snapshot (taken once per class),
    in a scratch directory of each test's own."""

    @classmethod
    def setUpClass(cls):
        cls.scratch = tempfile.TemporaryDirectory(prefix="vusk_host_")
        cls.memory, cls.state = snapshot(cls.scratch.name)

    @classmethod
    def tearDownClass(cls):
        cls.scratch.cleanup()

    def setUp(self):
        from fake_server import FakeServer
        self.dir = tempfile.mkdtemp(dir=self.scratch.name)
        self.server_path = os.path.join(self.dir, "server.sock")
        self.server = FakeServer(self.memory, self.state["registers"])
        self.server.start(self.server_path)

    def tearDown(self):
        self.server.stop()


class ProxyTests(FixtureServerCase):
    def setUp(self):
        super().setUp()
        self.proxy_path = os.path.join(self.dir, "proxy.sock")
        self.proxy = None
        self.clients = []

    def tearDown(self):
        for client in self.clients:
            client.close()
        if self.proxy is not None:
            self.proxy.terminate()
            self.proxy.wait(10)
            self.log_file.close()
        super().tearDown()

    def start_proxy(self, elf=None, once=False):
        self.log_path = os.path.join(self.dir, "proxy.log")
        self.log_file = open(self.log_path, "w")
        argv = ["/usr/bin/python3", PROXY, "--elf", elf or FIXTURE, "--remote", self.server_path,
                "--listen", self.proxy_path, "--plugin", PLUGIN, "--config-dir", CONFIG_DIR]
        self.proxy = subprocess.Popen(argv + (["--once"] if once else []), stderr=self.log_file,
                                      stdin=subprocess.DEVNULL)
        deadline = time.monotonic() + START_SECONDS
        while not os.path.exists(self.proxy_path):
            if time.monotonic() > deadline or self.proxy.poll() is not None:
                self.fail("the proxy did not start:\n" + self.log())
            time.sleep(0.05)

    def connect(self):
        client = Client(self.proxy_path)
        self.clients.append(client)
        return client

    def log(self):
        self.log_file.flush()
        with open(self.log_path) as f:
            return f.read()

    def thread(self, name):
        for address, thread_name in self.state["threads"]:
            if thread_name == name:
                return address
        raise KeyError(name)

    # ------------------------------------------------------------ the threads

    def test_threads_names_and_states(self):
        self.start_proxy()
        client = self.connect()
        features, stop = client.start()
        self.assertIn(b"qXfer:threads:read+", features.split(b";"))
        self.assertNotIn(b"multiprocess+", features.split(b";"))
        self.assertNotIn(b"multiprocess+", self.server.received[0])       # taken out both ways
        main = self.thread("main")
        self.assertEqual(stop, b"T05thread:%x;" % main)
        self.assertEqual(client.ask(b"qC"), b"QC%x" % main)
        document = client.document().decode("utf-8")
        listed = re.findall(r'<thread id="([0-9a-f]+)"(?: core="(\d+)")? name="([^"]*)">([^<]*)</thread>', document)
        expected = [(address, name if name is not None else "0x%016x" % address)   # an 8-byte target: whole
                    for address, name in self.state["threads"]]
        self.assertEqual([(int(i, 16), n) for i, core, n, extra in listed],
                         [(a, n.encode("latin-1").decode("utf-8")) for a, n in expected])
        states = {n: extra for i, core, n, extra in listed}
        self.assertEqual(states["main"], "Executing")
        self.assertEqual(states["producer"], "Suspended, Semaphore sem_ready")
        self.assertEqual(states["finished"], "Terminated")
        self.assertEqual([core for i, core, n, extra in listed if core], ["0"])   # only the running one
        # qfThreadInfo gives the same ids; T and Hg take known ids only.
        ids = client.ask(b"qfThreadInfo")[1:].split(b",")
        self.assertEqual(client.ask(b"qsThreadInfo"), b"l")
        self.assertEqual([int(i, 16) for i in ids], [a for a, n in self.state["threads"]])
        self.assertEqual(client.ask(b"T%x" % self.thread("sleeper")), b"OK")
        self.assertEqual(client.ask(b"T12345"), b"E01")
        self.assertEqual(client.ask(b"Hg12345"), b"E01")
        extra = client.ask(b"qThreadExtraInfo,%x" % self.thread("sleeper"))
        self.assertEqual(bytes.fromhex(extra.decode()), b"Suspended, Sleep")

    def test_registers_of_running_and_suspended_threads(self):
        self.start_proxy()
        client = self.connect()
        client.start(no_ack=False)                   # ack mode all the way
        client.assert_ok(client.ask(b"Hg%x" % self.thread("main")))
        self.assertEqual(registers_of(client.ask(b"g")), self.state["registers"])
        for index, (address, name) in enumerate(self.state["threads"]):
            if name in ("main",):
                continue
            client.assert_ok(client.ask(b"Hg%x" % address))
            got = registers_of(client.ask(b"g"))
            self.assertEqual(got, self.state["saved"][index], name)
        producer = self.state["saved"][1]
        client.assert_ok(client.ask(b"Hg%x" % self.thread("producer")))
        self.assertEqual(client.ask(b"p10"), b"%016x" % int.from_bytes(producer["rip"].to_bytes(8, "little"), "big"))
        # Writing a suspended thread's registers is refused with a reason.
        self.assertTrue(client.ask(b"P0=0100000000000000").startswith(b"E."))
        self.assertTrue(client.ask(b"G" + b"00" * 148).startswith(b"E."))
        self.assertFalse(any(p[:1] in (b"G", b"P") for p in self.server.received))

    def poke(self, address, data):
        for start, block in self.server.memory:
            if start <= address and address + len(data) <= start + len(block):
                block[address - start:address - start + len(data)] = data
                return
        raise AssertionError("no memory at 0x%x" % address)

    def find(self, start, length, data):
        for base, block in self.server.memory:
            if base <= start < base + len(block):
                offset = bytes(block[start - base:start - base + length]).find(data)
                if offset >= 0:
                    return start + offset
        raise AssertionError("%r not found" % data)

    def test_answers_kept_across_stops_follow_the_target(self):
        self.start_proxy()
        client = self.connect()
        client.start()
        index = [n for a, n in self.state["threads"]].index("sleeper")
        sleeper, main = self.thread("sleeper"), self.thread("main")
        self.assertIn(b'name="sleeper">Suspended, Sleep<', client.document())
        client.assert_ok(client.ask(b"Hg%x" % sleeper))
        rip = self.state["saved"][index]["rip"]
        self.assertEqual(registers_of(client.ask(b"g"))["rip"], rip)
        # The target moves on behind the proxy's back: sleeper wakes, its
        # frame holds another pc.
        self.poke(sleeper + self.state["state_offset"], b"\0")
        self.poke(self.find(self.state["stacks"][index], 256, rip.to_bytes(8, "little")),
                  (rip + 0x10).to_bytes(8, "little"))
        self.assertEqual(client.ask(b"vCont;s:%x" % main), b"T05thread:%x;" % main)
        document = client.document()
        self.assertIn(b'name="sleeper">Ready<', document)
        self.assertIn(b'name="producer">Suspended, Semaphore sem_ready<', document)
        client.assert_ok(client.ask(b"Hg%x" % sleeper))
        self.assertEqual(registers_of(client.ask(b"g"))["rip"], rip + 0x10)

    def test_stepping_a_suspended_thread_is_refused_and_the_running_one_steps(self):
        self.start_proxy()
        client = self.connect()
        client.start()
        sleeper, main = self.thread("sleeper"), self.thread("main")
        refusal = client.ask(b"vCont;s:%x" % sleeper)
        self.assertTrue(refusal.startswith(b"E."), refusal)
        client.assert_ok(client.ask(b"Hc%x" % sleeper))
        self.assertTrue(client.ask(b"s").startswith(b"E."))
        self.assertFalse(any(p[:1] == b"s" or p.startswith(b"vCont;s") for p in self.server.received))
        self.assertEqual(client.ask(b"vCont;s:%x" % main), b"T05thread:%x;" % main)
        self.assertIn(b"vCont;s:01", self.server.received)       # the server's own thread
        # Continuing names a suspended thread: the whole target goes on.
        client.link.send(b"vCont;c:%x" % sleeper)
        time.sleep(0.3)
        client.link.send_interrupt()
        self.assertEqual(client.reply(), b"T02thread:%x;" % main)
        self.assertIn(b"vCont;c", self.server.received)

    def test_console_output_kill_and_untouched_packets(self):
        self.start_proxy()
        client = self.connect()
        client.start()
        client.link.send(b"qRcmd," + rsp.hex_text(b"info"))
        self.assertEqual(client.reply(), b"O" + rsp.hex_text(b"first line\n"))
        self.assertEqual(client.reply(), b"O" + rsp.hex_text(b"second line\n"))
        self.assertEqual(client.reply(), b"OK")
        binary = b"X10,4:" + rsp.escape(b"#$}*")
        self.assertEqual(client.ask(binary), b"")
        self.assertIn(binary, self.server.received)                # byte for byte
        self.assertEqual(client.ask(b"qUnknownPacket:1"), b"")
        client.link.send(b"k")
        with self.assertRaises(rsp.LinkClosed):                    # the server went away, so does GDB's link
            client.reply(5)

    def test_a_server_with_threads_of_its_own(self):
        # An RTOS-aware server lists threads too: GDB sees the proxy's, and the
        # CPU of this single-core kernel is the server thread that stopped.
        self.server.threads = [b"0a", b"0b", b"0c"]
        self.server.stop_thread = b"0b"
        self.start_proxy()
        client = self.connect()
        features, stop = client.start()
        main = self.thread("main")
        self.assertEqual(stop, b"T05thread:%x;" % main)
        self.assertEqual(len(client.ask(b"qfThreadInfo")[1:].split(b",")), len(self.state["threads"]))
        client.assert_ok(client.ask(b"Hg%x" % main))
        self.assertEqual(registers_of(client.ask(b"g")), self.state["registers"])
        selections = [p for p in self.server.received if p.startswith(b"Hg")]
        self.assertEqual(selections[-1], b"Hg0b")

    # ------------------------------------------------------------ faults

    def test_the_proxy_outlives_both_sides(self):
        self.start_proxy()
        client = self.connect()
        client.start()
        client.close()                                     # GDB goes away
        time.sleep(0.3)
        client = self.connect()
        client.start()
        self.server.close_after = len(self.server.received) + 1
        client.link.send(b"qAttached")
        with self.assertRaises(rsp.LinkClosed):           # the server goes away
            client.reply(5)
        self.server.close_after = None
        client = self.connect()
        features, stop = client.start()
        self.assertTrue(stop.startswith(b"T05thread:"))
        self.assertEqual(self.server.connections, 3)
        self.assertIn("closed the connection", self.log())

    def test_memory_errors_show_the_servers_threads(self):
        self.server.fail_memory = True
        self.start_proxy()
        client = self.connect()
        features, stop = client.start()
        self.assertEqual(stop, b"T05thread:01;")           # passed on as it came
        self.assertEqual(client.ask(b"qfThreadInfo"), b"m01")
        self.assertEqual(client.ask(b"m10000000,4"), b"E14")
        self.assertIn("showing the server's threads", self.log())

    def test_a_program_without_debug_information(self):
        stripped = os.path.join(self.dir, "stripped")
        subprocess.run(["objcopy", "--strip-debug", FIXTURE, stripped], check=True)
        self.start_proxy(elf=stripped)
        client = self.connect()
        features, stop = client.start()
        self.assertNotIn(b"qXfer:threads:read+", features.split(b";"))
        self.assertEqual(stop, b"T05thread:01;")
        self.assertEqual(client.ask(b"g")[:16], b"%016x" % int.from_bytes(
            self.state["registers"]["rax"].to_bytes(8, "little"), "big"))
        self.assertIn("debug information", self.log())

    def test_thread_packets_before_the_target_stopped(self):
        self.start_proxy()
        client = self.connect()
        client.ask(b"qSupported")
        self.assertEqual(client.ask(b"qfThreadInfo"), b"m01")      # the CPU only, from the server
        self.assertEqual(client.ask(b"qC"), b"QC01")


def main():
    missing = [what for what, ok in (("VUSK_PLUGIN", os.access(PLUGIN, os.X_OK)),
                                     ("VUSK_GDB_FIXTURE", os.path.exists(FIXTURE)),
                                     ("python3-pyelftools", ELFFile is not None)) if not ok]
    if missing:
        print("SKIP: needs %s" % ", ".join(missing))
        return SKIP
    program = unittest.main(exit=False)
    return 0 if program.result.wasSuccessful() else 1


if __name__ == "__main__":
    sys.exit(main())
