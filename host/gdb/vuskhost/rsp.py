"""The GDB remote serial protocol: packet framing and one link to a peer.

A packet is "$" payload "#" and two lowercase hex digits, the byte sum of
the payload modulo 256. Outside packets a peer may send "+" (received),
"-" (send again) and the single byte 0x03 (interrupt). Replies may be
run-length encoded ("X*n": X repeated n - 29 more times); binary data
escapes "#", "$", "}" and "*" as "}" followed by the byte XOR 0x20.

Payloads are kept as the bytes that were on the wire, so that a packet
passed on is passed on untouched; decode() undoes the run-length encoding
where a reply is read, unescape() the escapes where a payload is binary.

Link owns one socket. Its ack_mode follows the peer's: true until both
sides agreed on QStartNoAckMode. Acknowledgements are answered and
consumed here (a "-" resends the last packet); callers see packets and
interrupts only. Every read has a deadline or an explicit wait, so a
silent peer is noticed rather than waited on for ever.
"""

import os
import select
import socket

INTERRUPT = b"\x03"
ESCAPE = 0x7D
ESCAPED = frozenset(b"#$}*")
RLE_BIAS = 29
# Longest payload we take from a peer; anything longer is a broken stream.
MAX_PAYLOAD_BYTES = 1 << 20
# Longest run of bytes outside packets that we skip before calling it garbage.
MAX_NOISE_BYTES = 4096
READ_CHUNK_BYTES = 65536
# How often a packet is sent again after "-" before the link gives up.
MAX_RESENDS = 8


class LinkClosed(Exception):
    """The peer closed the connection or the stream cannot be read any more."""


class LinkTimeout(Exception):
    """No complete packet arrived within the wait."""


def checksum(payload):
    return sum(payload) & 0xFF


def frame(payload):
    return b"$" + payload + b"#%02x" % checksum(payload)


def escape(data):
    """Binary data -> payload bytes (escapes only; no run-length encoding)."""
    out = bytearray()
    for byte in data:
        if byte in ESCAPED:
            out += bytes((ESCAPE, byte ^ 0x20))
        else:
            out.append(byte)
    return bytes(out)


def unescape(payload):
    out = bytearray()
    i = 0
    while i < len(payload):
        byte = payload[i]
        if byte == ESCAPE and i + 1 < len(payload):
            i += 1
            byte = payload[i] ^ 0x20
        out.append(byte)
        i += 1
    return bytes(out)


def decode(payload):
    """Expands run-length encoding ("X*n" is X and n - 29 more of it)."""
    if b"*" not in payload:
        return payload
    out = bytearray()
    i = 0
    while i < len(payload):
        byte = payload[i]
        if byte == ord("*") and out and i + 1 < len(payload):
            out += out[-1:] * (payload[i + 1] - RLE_BIAS)
            i += 2
            continue
        out.append(byte)
        i += 1
    return bytes(out)


def hex_text(data):
    return data.hex().encode("ascii")


def hex_bytes(text):
    """Hex payload -> bytes. Raises ValueError."""
    return bytes.fromhex(text.decode("ascii") if isinstance(text, bytes) else text)


class Event:
    """What a peer sent: a packet (payload as on the wire, whether its
    checksum was right) or an interrupt."""

    __slots__ = ("kind", "payload", "good")

    def __init__(self, kind, payload=b"", good=True):
        self.kind, self.payload, self.good = kind, payload, good

    def __repr__(self):
        return "Event(%s, %r)" % (self.kind, self.payload[:60])


PACKET = "packet"
ACK = "ack"
NACK = "nack"
BREAK = "interrupt"


class PacketReader:
    """Turns a byte stream into Events, one feed() at a time; keeps a packet
    cut between two feeds until it is whole."""

    def __init__(self):
        self.pending = bytearray()

    def feed(self, data):
        self.pending += data
        events = []
        while self.pending:
            head = self.pending[0]
            if head == ord("$"):
                end = self.pending.find(b"#")
                if end < 0 or len(self.pending) < end + 3:
                    if len(self.pending) > MAX_PAYLOAD_BYTES:
                        raise LinkClosed("a packet longer than %d bytes" % MAX_PAYLOAD_BYTES)
                    break
                payload = bytes(self.pending[1:end])
                try:
                    good = int(self.pending[end + 1:end + 3], 16) == checksum(payload)
                except ValueError:
                    good = False
                del self.pending[:end + 3]
                events.append(Event(PACKET, payload, good))
            elif head == ord("+"):
                events.append(Event(ACK))
                del self.pending[:1]
            elif head == ord("-"):
                events.append(Event(NACK))
                del self.pending[:1]
            elif head == 0x03:
                events.append(Event(BREAK))
                del self.pending[:1]
            else:
                # Noise between packets (a stray newline, a banner): skipped.
                start = next((i for i, b in enumerate(self.pending) if b in b"$+-\x03"), len(self.pending))
                if start > MAX_NOISE_BYTES:
                    raise LinkClosed("%d bytes of garbage between packets" % start)
                del self.pending[:start]
        return events


class Link:
    """One peer on a socket: sends packets, returns the packets and
    interrupts it receives, handling acknowledgements on the way."""

    def __init__(self, sock, name, log=None):
        self.sock, self.name = sock, name
        self.log = log or (lambda text: None)
        self.ack_mode = True
        self.reader = PacketReader()
        self.events = []
        self.last_sent = None
        self.resends = 0
        self.closed = False

    def fileno(self):
        return self.sock.fileno()

    def has_events(self):
        return bool(self.events)

    # ---------------------------------------------------------------- sending

    def _write(self, data):
        if self.closed:
            raise LinkClosed("%s: the connection is closed" % self.name)
        try:
            self.sock.sendall(data)
        except OSError as e:
            self.closed = True
            raise LinkClosed("%s: %s" % (self.name, e.strerror or e))

    def send(self, payload):
        """Sends one packet (payload as it goes on the wire)."""
        self.last_sent = frame(payload)
        self.resends = 0
        self._write(self.last_sent)

    def send_interrupt(self):
        self._write(INTERRUPT)

    # ---------------------------------------------------------------- receiving

    def _fill(self, timeout):
        """Reads what has arrived (waiting up to timeout seconds; None waits
        for ever). Returns False when nothing came in time."""
        if self.closed:
            raise LinkClosed("%s: the connection is closed" % self.name)
        ready, _, _ = select.select([self.sock], [], [], timeout)
        if not ready:
            return False
        try:
            data = self.sock.recv(READ_CHUNK_BYTES)
        except OSError as e:
            data = b""
            self.log("%s: %s\n" % (self.name, e.strerror or e))
        if not data:
            self.closed = True
            raise LinkClosed("%s closed the connection" % self.name)
        for event in self.reader.feed(data):
            self._take(event)
        return True

    def _take(self, event):
        if event.kind == ACK:
            return
        if event.kind == NACK:
            if self.last_sent is not None and self.resends < MAX_RESENDS:
                self.resends += 1
                self._write(self.last_sent)
            return
        if event.kind == PACKET:
            if self.ack_mode:
                self._write(b"+" if event.good else b"-")
            if not event.good and self.ack_mode:
                return          # the peer sends it again
        self.events.append(event)

    def poll(self):
        """Takes in whatever has arrived, without waiting."""
        while self._fill(0):
            pass

    def next_event(self, timeout=None):
        """The next packet or interrupt. Raises LinkTimeout after timeout
        seconds (None: waits for ever), LinkClosed when the peer is gone."""
        while not self.events:
            if not self._fill(timeout):
                raise LinkTimeout("%s sent nothing within %g s" % (self.name, timeout))
        return self.events.pop(0)

    def close(self):
        self.closed = True
        try:
            self.sock.close()
        except OSError:
            pass


def wait(links, timeout=None):
    """Waits until one of links has an event; returns those that have.
    Raises LinkClosed when one of them is closed."""
    while True:
        ready = [link for link in links if link.has_events()]
        if ready:
            return ready
        readable, _, _ = select.select([link.sock for link in links], [], [], timeout)
        if not readable:
            return []
        for link in links:
            if link.sock in readable:
                link._fill(0)


def connect(address, timeout):
    """A socket to "HOST:PORT", ":PORT" or a Unix socket path."""
    if ":" in address and not address.startswith("/") and "/" not in address.split(":")[0]:
        host, _, port = address.rpartition(":")
        sock = socket.create_connection((host or "127.0.0.1", int(port)), timeout=timeout)
        sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
    else:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        sock.settimeout(timeout)
        sock.connect(address)
    sock.settimeout(None)
    return sock


def listen(address):
    """A listening socket on "PORT", "HOST:PORT" or a Unix socket path. A
    Unix socket appears at its path only once it listens (it is bound
    under another name and renamed), so whoever waits for the path can
    connect at once."""
    if address.isdigit() or (":" in address and "/" not in address):
        host, _, port = address.rpartition(":")
        sock = socket.socket(socket.AF_INET, socket.SOCK_STREAM)
        sock.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        sock.bind((host or "127.0.0.1", int(port)))
        sock.listen(1)
        return sock
    sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
    unready = "%s.%d" % (address, os.getpid())
    try:
        sock.bind(unready)
        sock.listen(1)
        os.replace(unready, address)
    except OSError:
        sock.close()
        if os.path.exists(unready):
            os.unlink(unready)
        raise
    return sock
