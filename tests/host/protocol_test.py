#!/usr/bin/python3
"""The remote protocol without a server: framing, escapes, run-length
encoding, acknowledgements and no-ack mode, interrupts, and target
descriptions with their includes.
"""

import os
import socket
import sys
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "..", "host", "gdb"))

from vuskhost import rsp, tdesc  # noqa: E402


class Framing(unittest.TestCase):
    def test_checksum_and_frame(self):
        self.assertEqual(rsp.frame(b"g"), b"$g#67")
        self.assertEqual(rsp.frame(b""), b"$#00")
        self.assertEqual(rsp.frame(b"qSupported"), b"$qSupported#37")
        self.assertEqual(rsp.checksum(b"\xff\xff"), 0xFE)

    def test_escapes_round_trip_every_byte(self):
        data = bytes(range(256)) + b"#$}*"
        escaped = rsp.escape(data)
        for special in b"#$*":
            self.assertNotIn(special, escaped)
        self.assertEqual(rsp.unescape(escaped), data)
        self.assertEqual(rsp.escape(b"a}b"), b"a}]b")

    def test_run_length_encoding(self):
        self.assertEqual(rsp.decode(b"0* "), b"0000")           # " " is 32: three more
        self.assertEqual(rsp.decode(b"ab*\"c"), b"abbbbbbc")   # '"' is 34: five more
        self.assertEqual(rsp.decode(b"OK"), b"OK")
        self.assertEqual(rsp.decode(b"x*"), b"x*")              # a star at the end stays


class Reader(unittest.TestCase):
    def test_packets_cut_anywhere_come_out_whole(self):
        stream = b"+$m10,4#f7-\x03$OK#9a" + rsp.frame(b"T05thread:1;")
        for cut in range(len(stream)):
            reader = rsp.PacketReader()
            events = reader.feed(stream[:cut]) + reader.feed(stream[cut:])
            kinds = [e.kind for e in events]
            self.assertEqual(kinds, [rsp.ACK, rsp.PACKET, rsp.NACK, rsp.BREAK, rsp.PACKET, rsp.PACKET], cut)
            self.assertEqual(events[1].payload, b"m10,4")
            self.assertEqual(events[5].payload, b"T05thread:1;")

    def test_bad_checksum_is_marked_and_noise_skipped(self):
        events = rsp.PacketReader().feed(b"\r\nbanner\n$g#00$g#67")
        self.assertEqual([(e.payload, e.good) for e in events], [(b"g", False), (b"g", True)])

    def test_endless_garbage_ends_the_link(self):
        with self.assertRaises(rsp.LinkClosed):
            rsp.PacketReader().feed(b"x" * (rsp.MAX_NOISE_BYTES + 10))


class Links(unittest.TestCase):
    def setUp(self):
        self.ours, self.theirs = socket.socketpair()
        self.link = rsp.Link(self.ours, "peer")
        self.theirs.settimeout(2)

    def tearDown(self):
        self.link.close()
        self.theirs.close()

    def received(self, count):
        data = b""
        while len(data) < count:
            data += self.theirs.recv(count - len(data))
        return data

    def test_acks_in_ack_mode(self):
        self.theirs.sendall(b"$g#67$g#00")
        self.assertEqual(self.link.next_event(2).payload, b"g")
        # The good packet is acknowledged, the bad one asked again and not passed on.
        self.assertEqual(self.received(2), b"+-")
        self.assertFalse(self.link.has_events())

    def test_nack_resends_the_last_packet(self):
        self.link.send(b"m0,4")
        self.assertEqual(self.received(8), b"$m0,4#fd")
        self.theirs.sendall(b"-")
        self.link.poll()
        self.assertEqual(self.received(8), b"$m0,4#fd")

    def test_no_ack_mode_sends_no_acks_and_passes_interrupts(self):
        self.link.ack_mode = False
        self.theirs.sendall(b"$g#67\x03")
        self.assertEqual(self.link.next_event(2).kind, rsp.PACKET)
        self.assertEqual(self.link.next_event(2).kind, rsp.BREAK)
        self.theirs.setblocking(False)
        with self.assertRaises(BlockingIOError):
            self.theirs.recv(1)

    def test_a_closed_peer_and_a_silent_one(self):
        with self.assertRaises(rsp.LinkTimeout):
            self.link.next_event(0.05)
        self.theirs.close()
        with self.assertRaises(rsp.LinkClosed):
            self.link.next_event(2)

    def test_wait_reports_the_ready_link(self):
        other_ours, other_theirs = socket.socketpair()
        other = rsp.Link(other_ours, "other")
        try:
            other_theirs.sendall(b"$?#3f")
            self.assertEqual(rsp.wait([self.link, other], 2), [other])
            self.assertEqual(rsp.wait([self.link], 0.01), [])
        finally:
            other.close()
            other_theirs.close()


CORE = """<?xml version="1.0"?>
<!DOCTYPE feature SYSTEM "gdb-target.dtd">
<feature name="org.gnu.gdb.arm.m-profile">
  <reg name="r0" bitsize="32"/><reg name="r1" bitsize="32"/>
  <reg name="sp" bitsize="32" type="data_ptr"/>
  <reg name="pc" bitsize="32" type="code_ptr"/>
  <reg name="xpsr" bitsize="32" regnum="25"/>
</feature>"""
FPU = """<feature name="org.gnu.gdb.arm.vfp">
  <reg name="d0" bitsize="64" type="ieee_double"/><reg name="fpscr" bitsize="32" regnum="42"/>
</feature>"""
TARGET = """<?xml version="1.0"?><!DOCTYPE target SYSTEM "gdb-target.dtd">
<target><architecture>arm</architecture><xi:include href="core.xml"/><xi:include href="fpu.xml"/></target>"""


def fetcher(documents):
    def fetch(name):
        if name not in documents:
            raise tdesc.DescriptionError("no " + name)
        return documents[name]
    return fetch


class Descriptions(unittest.TestCase):
    def test_numbers_offsets_and_includes(self):
        d = tdesc.parse(fetcher({"target.xml": TARGET, "core.xml": CORE, "fpu.xml": FPU}))
        self.assertEqual(d.architecture, "arm")
        self.assertEqual([(r.name, r.number, r.offset) for r in d.registers],
                         [("r0", 0, 0), ("r1", 1, 4), ("sp", 2, 8), ("pc", 3, 12), ("xpsr", 25, 16),
                          ("d0", 26, 20), ("fpscr", 42, 28)])
        self.assertEqual(d.g_size, 32)
        self.assertEqual(d.register("SP").type, "data_ptr")
        self.assertEqual(d.features(), {"org.gnu.gdb.arm.m-profile", "org.gnu.gdb.arm.vfp"})

    def test_g_reply_split_with_unavailable_and_short_replies(self):
        d = tdesc.parse(fetcher({"target.xml": TARGET, "core.xml": CORE, "fpu.xml": FPU}))
        text = "01000000" + "xxxxxxxx" + "00100020" + "c4000000" + "00000001"
        values = tdesc.split_g(d, text)
        self.assertEqual(values[0], b"\x01\0\0\0")
        self.assertIsNone(values[1])
        self.assertEqual(int.from_bytes(values[2], "little"), 0x20001000)
        self.assertIsNone(values[26])             # beyond the reply

    def test_faults(self):
        cases = {
            "missing include": {"target.xml": TARGET, "core.xml": CORE},
            "bad bitsize": {"target.xml": '<feature name="f"><reg name="a" bitsize="many"/></feature>'},
            "zero bitsize": {"target.xml": '<feature name="f"><reg name="a" bitsize="0"/></feature>'},
            "nameless": {"target.xml": '<feature name="f"><reg bitsize="32"/></feature>'},
            "same number": {"target.xml": '<feature name="f"><reg name="a" bitsize="8" regnum="1"/>'
                                          '<reg name="b" bitsize="8" regnum="1"/></feature>'},
            "not xml": {"target.xml": "<target><feature"},
            "includes itself": {"target.xml": '<target><xi:include href="target.xml"/></target>'},
        }
        for name, documents in cases.items():
            with self.assertRaises(tdesc.DescriptionError, msg=name):
                tdesc.parse(fetcher(documents))


if __name__ == "__main__":
    unittest.main()
