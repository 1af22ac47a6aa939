"""A GDB server in a thread, for the proxy's tests: one CPU thread (id 1),
memory from a dictionary of ranges, registers from a target description
of its own, and switches for the faults a real server shows.

    server = FakeServer(memory, registers)
    server.start(socket_path)       # serves one connection after another
    ...
    server.stop()

It answers what GDB and the proxy ask: qSupported (PacketSize and
features as given), QStartNoAckMode, ?, qfThreadInfo/qsThreadInfo, qC,
Hg/Hc, g/p/G/P, m/M, qXfer:features:read, vCont?, vCont and c/s (a
continue runs until an interrupt: "T02"; a step stops at once: "T05"),
qRcmd (two lines of console output, then OK), k (closes), D (OK, closes
nothing); anything else gets the empty reply. Every packet it receives is
kept in .received (payloads as on the wire).
"""

import os
import socket
import threading

from vuskhost import rsp

X86_64_REGISTERS = ("rax", "rbx", "rcx", "rdx", "rsi", "rdi", "rbp", "rsp", "r8", "r9", "r10", "r11", "r12",
                    "r13", "r14", "r15", "rip", "eflags")
TARGET_XML = '<?xml version="1.0"?><!DOCTYPE target SYSTEM "gdb-target.dtd"><target>' \
             '<architecture>i386:x86-64</architecture><xi:include href="64bit-core.xml"/></target>'
CORE_XML = '<?xml version="1.0"?><!DOCTYPE feature SYSTEM "gdb-target.dtd">' \
           '<feature name="org.gnu.gdb.i386.core">' + "".join(
               '<reg name="%s" bitsize="%d" type="%s"/>' % (
                   name, 32 if name == "eflags" else 64,
                   {"rip": "code_ptr", "rsp": "data_ptr", "rbp": "data_ptr", "eflags": "i386_eflags"}.get(name, "int64"))
               for name in X86_64_REGISTERS) + "</feature>"
DOCUMENTS = {"target.xml": TARGET_XML, "64bit-core.xml": CORE_XML}
FEATURES = b"PacketSize=1000;qXfer:features:read+;QStartNoAckMode+;multiprocess+;vContSupported+"


class FakeServer:
    def __init__(self, memory, registers, features=FEATURES):
        """memory: [(start, bytes)]; registers: {name: int}."""
        self.memory = [(start, bytearray(data)) for start, data in memory]
        self.registers = dict(registers)
        self.features = features
        self.received = []
        self.threads = [b"01"]            # the server's own thread ids (an RTOS-aware server lists more)
        self.stop_thread = b"01"          # the one its stop replies name
        self.fail_memory = False          # "E14" to every m
        self.close_after = None           # close the connection after this many packets
        self.connections = 0
        self.listener = None
        self.link = None
        self.running = False

    def start(self, path):
        self.listener = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        self.listener.bind(path)
        self.listener.listen(1)
        threading.Thread(target=self._serve, daemon=True).start()

    def stop(self):
        listener, self.listener = self.listener, None
        if listener is not None:
            path = listener.getsockname()
            listener.close()
            if os.path.exists(path):
                os.unlink(path)
        if self.link is not None:
            self.link.close()

    def _serve(self):
        while self.listener is not None:
            try:
                sock, _ = self.listener.accept()
            except OSError:
                return
            self.connections += 1
            self.link = rsp.Link(sock, "GDB")
            self.running = False
            try:
                while True:
                    event = self.link.next_event(None)
                    if event.kind == rsp.BREAK:
                        if self.running:
                            self.running = False
                            self.link.send(b"T02thread:%s;" % self.stop_thread)
                        continue
                    self.received.append(event.payload)
                    if self.close_after is not None and len(self.received) >= self.close_after:
                        self.link.close()
                        break
                    reply = self.answer(event.payload)
                    if reply is not None:
                        self.link.send(reply)
                    if event.payload == b"QStartNoAckMode":
                        self.link.ack_mode = False
            except (rsp.LinkClosed, OSError):
                pass
            finally:
                self.link.close()

    # ------------------------------------------------------------ answers

    def read(self, address, length):
        for start, data in self.memory:
            if start <= address and address + length <= start + len(data):
                return bytes(data[address - start:address - start + length])
        return None

    def g_reply(self):
        return b"".join(rsp.hex_text((self.registers.get(name, 0) & ((1 << (32 if name == "eflags" else 64)) - 1))
                                     .to_bytes(4 if name == "eflags" else 8, "little"))
                        for name in X86_64_REGISTERS)

    def answer(self, payload):
        if payload.startswith(b"qSupported"):
            return self.features
        if payload in (b"QStartNoAckMode", b"vMustReplyEmpty") or payload[:1] == b"H":
            return b"OK" if payload[:1] in (b"Q", b"H") else b""
        if payload == b"?":
            return b"T05thread:%s;" % self.stop_thread
        if payload == b"qfThreadInfo":
            return b"m" + b",".join(self.threads)
        if payload == b"qsThreadInfo":
            return b"l"
        if payload == b"qC":
            return b"QC" + self.stop_thread
        if payload == b"g":
            return self.g_reply()
        if payload.startswith(b"m"):
            if self.fail_memory:
                return b"E14"
            address, length = (int(x, 16) for x in payload[1:].split(b","))
            data = self.read(address, length)
            return b"E14" if data is None else rsp.hex_text(data)
        if payload.startswith(b"M"):
            where, _, data = payload[1:].partition(b":")
            address, length = (int(x, 16) for x in where.split(b","))
            for start, block in self.memory:
                if start <= address and address + length <= start + len(block):
                    block[address - start:address - start + length] = rsp.hex_bytes(data)
                    return b"OK"
            return b"E14"
        if payload.startswith(b"qXfer:features:read:"):
            name, _, span = payload[len(b"qXfer:features:read:"):].partition(b":")
            offset, length = (int(x, 16) for x in span.split(b","))
            document = DOCUMENTS.get(name.decode(), "").encode()
            if not document:
                return b"E00"
            piece = document[offset:offset + length]
            return (b"l" if offset + length >= len(document) else b"m") + rsp.escape(piece)
        if payload == b"vCont?":
            return b"vCont;c;C;s;S"
        if payload.startswith((b"vCont;c", b"c")):
            self.running = True
            return None
        if payload.startswith((b"vCont;s", b"s")):
            self.registers["rip"] = self.registers.get("rip", 0) + 1
            return b"T05thread:%s;" % self.stop_thread
        if payload.startswith(b"qRcmd,"):
            self.link.send(b"O" + rsp.hex_text(b"first line\n"))
            self.link.send(b"O" + rsp.hex_text(b"second line\n"))
            return b"OK"
        if payload == b"k":
            self.link.close()
            return None
        if payload == b"D":
            return b"OK"
        return b""
