"""A halted target seen through a GDB server: memory, registers, threads.

RemoteTarget sends its own requests on an rsp.Link (the proxy shares the
link with the packets it passes on, and asks only while the target is
halted and no packet of GDB's is waiting for its answer). What it reads
is kept until the next forget(), which the owner calls whenever the target
may have changed (a resume, a stop, a write):

- memory in lines of LINE_BYTES, aligned, but only inside the address
  ranges the program occupies (its allocated ELF sections), so that no
  read strays into device registers; elsewhere exactly what was asked;
- each server thread's "g" reply, split by the target description;
- the server's thread list.

A memory read the server refuses ("E nn") raises TargetError; a line that
cannot be read whole is read again as asked, so a hole next to a kernel
object does not hide the object.
"""

import contextlib

from . import rsp, tdesc

REQUEST_SECONDS = 10.0
LINE_BYTES = 1024
# Payload room GDB servers offer when they do not say (PacketSize).
DEFAULT_PACKET_BYTES = 400
MAX_DOCUMENT_BYTES = 1 << 20


# Kinds of memory pieces in a footprint.
LINE, EXACT = "line", "exact"


class TargetError(Exception):
    """The server refused or could not do what was asked."""


def _reply_error(reply):
    return reply[:1] == b"E" and (len(reply) == 3 or reply[1:2] == b".")


class Footprint:
    """The target state a computation read: memory pieces and registers,
    with the bytes it saw. While they read the same again, the
    computation's result stands (see RemoteTarget.unchanged)."""

    def __init__(self):
        self.memory = {}          # (LINE or EXACT, address, length) -> bytes
        self.registers = {}       # (server thread, register number) -> bytes or None


class MemoryCache:
    def __init__(self, fetch, regions, line=LINE_BYTES):
        """fetch(address, length) -> bytes (raises TargetError); regions:
        sorted [(start, end)] where whole lines may be read."""
        self.fetch, self.regions, self.line = fetch, regions, line
        self.lines = {}
        self.exact = {}
        self.footprints = []      # those being recorded

    def forget(self):
        self.lines.clear()
        self.exact.clear()

    def _seen(self, kind, address, data):
        for footprint in self.footprints:
            footprint.memory[(kind, address, len(data))] = data

    def _region(self, address, end):
        for start, stop in self.regions:
            if start <= address and end <= stop:
                return start, stop
        return None

    def read(self, address, length):
        if length <= 0:
            return b""
        region = self._region(address, address + length) if self.line else None
        if region is None:
            return self._exact(address, length)
        out = bytearray()
        position, end = address, address + length
        while position < end:
            base = max(region[0], position - position % self.line)
            stop = min(region[1], position - position % self.line + self.line)
            data = self.lines.get(base)
            if data is None:
                try:
                    data = self.fetch(base, stop - base)
                except TargetError:
                    return self._exact(address, length)
                self.lines[base] = data
            self._seen(LINE, base, data)
            take = min(end, stop) - position
            out += data[position - base:position - base + take]
            position += take
        return bytes(out)

    def _exact(self, address, length):
        key = (address, length)
        data = self.exact.get(key)
        if data is None:
            data = self.fetch(address, length)
            self.exact[key] = data
        self._seen(EXACT, address, data)
        return data

    def piece(self, kind, address, length):
        """A piece as a footprint recorded it, as the target holds it now."""
        if kind == EXACT:
            return self._exact(address, length)
        data = self.lines.get(address)
        if data is None:
            data = self.fetch(address, length)
            self.lines[address] = data
        return data


class RemoteTarget:
    def __init__(self, link, regions=(), line=LINE_BYTES, log=None):
        self.link = link
        self.log = log or (lambda text: None)
        self.packet_bytes = DEFAULT_PACKET_BYTES
        self.memory = MemoryCache(self._read_memory, list(regions), line)
        self.selected = {}              # "g"/"c" -> the server thread it has selected
        self.description = None
        self.registers = {}             # server thread -> {register number: bytes or None}
        self.server_threads = None
        self.g_bytes = None             # how much of the description the server's "g" holds
        self.packets = 0                # requests sent, for the benchmarks

    def forget(self):
        """The target may have changed: drop what was read."""
        self.memory.forget()
        self.registers.clear()

    @contextlib.contextmanager
    def recording(self):
        """Records the footprint of what runs inside (memory and registers
        read, from the cache or not)."""
        footprint = Footprint()
        self.memory.footprints.append(footprint)
        try:
            yield footprint
        finally:
            self.memory.footprints.remove(footprint)

    def unchanged(self, footprint):
        """Whether the target still holds what footprint saw (read afresh,
        into the cache). A piece that cannot be read counts as changed."""
        try:
            for (kind, address, length), data in footprint.memory.items():
                if self.memory.piece(kind, address, length) != data:
                    return False
            for (thread, number), data in footprint.registers.items():
                if self.register(thread, number) != data:
                    return False
        except TargetError:
            return False
        return True

    def forget_threads(self):
        self.server_threads = None

    # ------------------------------------------------------------ requests

    def request(self, payload, timeout=REQUEST_SECONDS):
        """Sends one packet and returns the decoded reply. Console output
        ("O" packets) on the way is dropped. Raises TargetError when no
        answer comes within timeout seconds."""
        self.packets += 1
        self.link.send(payload)
        while True:
            try:
                event = self.link.next_event(timeout)
            except rsp.LinkTimeout:
                raise TargetError("no answer to %s within %g s" % (payload[:20].decode("latin-1"), timeout))
            if event.kind != rsp.PACKET:
                continue
            reply = rsp.decode(event.payload)
            if is_output(reply):
                continue
            return reply

    def take_supported(self, reply):
        """Notes what the server said in its qSupported reply."""
        for feature in reply.split(b";"):
            if feature.startswith(b"PacketSize="):
                try:
                    self.packet_bytes = max(64, int(feature[len(b"PacketSize="):], 16))
                except ValueError:
                    pass

    # ------------------------------------------------------------ memory

    def _read_memory(self, address, length):
        chunk = max(16, (self.packet_bytes - 8) // 2)
        out = bytearray()
        while len(out) < length:
            want = min(chunk, length - len(out))
            reply = self.request(b"m%x,%x" % (address + len(out), want))
            if not reply or _reply_error(reply):
                raise TargetError("cannot read memory at 0x%x (%s)" % (address + len(out),
                                                                      reply.decode("latin-1") or "no reply"))
            try:
                data = rsp.hex_bytes(reply)
            except ValueError:
                raise TargetError("memory reply is not hex: %r" % reply[:40])
            if not data:
                raise TargetError("cannot read memory at 0x%x" % (address + len(out)))
            out += data[:want]
        return bytes(out)

    def read_memory(self, address, length):
        return self.memory.read(address, length)

    def write_memory(self, address, data):
        chunk = max(16, (self.packet_bytes - 32) // 2)
        for offset in range(0, len(data), chunk):
            piece = data[offset:offset + chunk]
            reply = self.request(b"M%x,%x:" % (address + offset, len(piece)) + rsp.hex_text(piece))
            if reply != b"OK":
                raise TargetError("cannot write memory at 0x%x" % (address + offset))
        self.forget()

    # ------------------------------------------------------------ threads and registers

    def select(self, kind, thread):
        """Makes the server's Hg/Hc selection thread (a server thread id)."""
        if self.selected.get(kind) == thread:
            return
        reply = self.request(b"H" + kind.encode() + thread)
        if reply != b"OK":
            raise TargetError("the server refused H%s%s" % (kind, thread.decode("latin-1")))
        self.selected[kind] = thread

    def threads(self):
        """The server's thread ids (bytes, as it writes them), in its order."""
        if self.server_threads is None:
            ids = []
            reply = self.request(b"qfThreadInfo")
            while reply[:1] == b"m" and len(ids) < 4096:
                ids += [t for t in reply[1:].split(b",") if t]
                reply = self.request(b"qsThreadInfo")
            self.server_threads = ids or [b"1"]
        return self.server_threads

    def load_description(self):
        """The server's target description (read once per connection)."""
        if self.description is None:
            self.description = tdesc.parse(self._document)
        return self.description

    def _document(self, name):
        text = b""
        while len(text) < MAX_DOCUMENT_BYTES:
            reply = self.request(b"qXfer:features:read:%s:%x,%x" % (name.encode(), len(text), 0xFFB))
            if not reply or reply[:1] not in (b"m", b"l"):
                raise tdesc.DescriptionError("the server does not give %s (%r)" % (name, reply[:20]))
            text += rsp.unescape(reply[1:])
            if reply[:1] == b"l":
                return text.decode("utf-8", errors="replace")
        raise tdesc.DescriptionError("%s is longer than %d bytes" % (name, MAX_DOCUMENT_BYTES))

    def register_values(self, thread):
        """{register number: bytes or None} of a server thread (its "g")."""
        values = self.registers.get(thread)
        if values is None:
            description = self.load_description()
            self.select("g", thread)
            reply = self.request(b"g")
            if not reply or _reply_error(reply):
                raise TargetError("the server does not give registers (%r)" % reply[:20])
            values = tdesc.split_g(description, reply.decode("latin-1"))
            self.registers[thread] = values
            self.g_bytes = len(reply) // 2
        return values

    def g_layout(self, thread):
        """The registers a "g" reply holds, as the server sends it (GDB takes
        the rest with "p" and refuses a longer "g" than the server's)."""
        if self.g_bytes is None:
            self.register_values(thread)
        return [r for r in self.load_description().registers if r.offset + r.size <= self.g_bytes]

    def register(self, thread, number):
        """One register's bytes, from "g" or else with "p"; None when the
        server marks it unavailable."""
        data = self._register(thread, number)
        for footprint in self.memory.footprints:
            footprint.registers[(thread, number)] = data
        return data

    def _register(self, thread, number):
        values = self.register_values(thread)
        if values.get(number) is not None:
            return values[number]
        reg = self.load_description().by_number.get(number)
        if reg is None:
            return None
        reply = self.request(b"p%x" % number)
        if not reply or _reply_error(reply) or len(reply) != 2 * reg.size:
            return None
        try:
            values[number] = bytes.fromhex(reply.decode("latin-1"))
        except ValueError:
            return None
        return values[number]


def _is_hex(data):
    return all(c in b"0123456789abcdefABCDEF" for c in data)


def is_output(reply):
    """Whether a packet is console output ("O" and hex text), not a reply."""
    return reply[:1] == b"O" and reply != b"OK" and len(reply) > 1 and _is_hex(reply[1:])


STOP_QUERY_SECONDS = 2.0


def is_stop_reply(reply):
    return reply[:1] in (b"T", b"S") and len(reply) >= 3 and _is_hex(reply[1:3])


def stop_thread(reply):
    """The server thread a stop reply names ("thread:ID;"), or None."""
    if reply[:1] != b"T":
        return None
    return next((p[len(b"thread:"):] for p in reply[3:].split(b";") if p.startswith(b"thread:")), None)


class Attached:
    """How a client of our own found the target (see attach())."""

    def __init__(self, stop, interrupted):
        self.stop, self.interrupted = stop, interrupted


def attach(remote):
    """Starts a session of our own with the server: features, no-ack mode
    when offered, and a halted target (interrupted when it runs).
    Raises TargetError."""
    reply = remote.request(b"qSupported:swbreak+;hwbreak+;vContSupported+")
    remote.take_supported(reply)
    if b"QStartNoAckMode+" in reply and remote.request(b"QStartNoAckMode") == b"OK":
        remote.link.ack_mode = False
    try:
        stop = remote.request(b"?", STOP_QUERY_SECONDS)
    except TargetError:
        stop = None
    interrupted = False
    if stop is None or not is_stop_reply(stop):
        # Running: a stop reply comes once it is interrupted.
        remote.link.send_interrupt()
        interrupted = True
        try:
            event = remote.link.next_event(REQUEST_SECONDS)
        except rsp.LinkTimeout:
            raise TargetError("the target does not stop")
        stop = rsp.decode(event.payload)
    if not is_stop_reply(stop):
        raise TargetError("the target is not stopped (%s)" % stop.decode("latin-1")[:40])
    return Attached(stop, interrupted)
