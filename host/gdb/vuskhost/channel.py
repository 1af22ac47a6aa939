"""The plugin as a child process: framed messages over its standard streams.

Reading never blocks the debugger for ever: a reader thread moves the
plugin's standard output into a queue and every wait for a message has a
deadline. The plugin's standard error (its diagnostics) is drained by a
second thread into a bounded buffer that the caller shows when it likes.
No debugger API is used here, so the threads are safe inside GDB.

A Channel is used once: after a fault (the plugin ended, timed out or
answered garbage) it is closed and the session starts a fresh one.

A message is framed and parsed in one step: JSON's own decoder finds where
the first object ends (for a valid message that is where the plugin's
brace count ends it); only a text that does not decode is framed by the
brace count, so that a complete message that is no JSON still comes out
whole, for the session to refuse.
"""

import collections
import json
import os
import queue
import select
import subprocess
import threading
import time

from .wire import complete_object_end

# Largest message the plugin can take or give (its buffer, less the NUL).
MAX_MESSAGE_BYTES = 65535
# How much of the plugin's standard error is kept between two looks.
MAX_STDERR_LINES = 200
READ_CHUNK_BYTES = 65536
# Reads of standard error when its lines are taken (PolledChannel).
MAX_STDERR_READS = 64
_BLANKS = " \t\n"
_DECODER = json.JSONDecoder()


class ChannelError(Exception):
    """The plugin cannot be talked to any more; the text says why."""


class Recorder:
    """Writes every message, both ways, as a record file line:
    "PLISK: text" for ours, "PLUGIN: text" for the plugin's."""

    def __init__(self, path):
        self.path = path
        self.file = open(path, "w", encoding="latin-1", newline="\n")

    def write(self, side, text):
        self.file.write("%s: %s\n" % (side, text))
        self.file.flush()

    def close(self):
        self.file.close()


class Channel:
    def __init__(self, argv, timeout, recorder=None, env=None):
        """Starts the plugin (argv[0] is its path). Raises ChannelError when
        it cannot be started."""
        self.timeout = timeout
        self.recorder = recorder
        self.pending = ""
        self.stderr_lines = collections.deque(maxlen=MAX_STDERR_LINES)
        self.chunks = queue.Queue()
        try:
            self.proc = subprocess.Popen(argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         stderr=subprocess.PIPE, env=env)
        except OSError as e:
            raise ChannelError("cannot start %s: %s" % (argv[0], e.strerror or e))
        self._start_readers()

    def _start_readers(self):
        threading.Thread(target=self._pump_stdout, daemon=True).start()
        threading.Thread(target=self._pump_stderr, daemon=True).start()

    def _next_chunk(self, timeout):
        """The plugin's next output bytes (b"" at its end), None after timeout
        seconds without any."""
        try:
            return self.chunks.get(timeout=timeout)
        except queue.Empty:
            return None

    def _pump_stdout(self):
        fd = self.proc.stdout.fileno()
        while True:
            try:
                chunk = os.read(fd, READ_CHUNK_BYTES)
            except OSError:
                chunk = b""
            self.chunks.put(chunk)
            if not chunk:
                self.proc.stdout.close()
                return

    def _pump_stderr(self):
        for line in self.proc.stderr:
            self.stderr_lines.append(line.decode("utf-8", errors="replace").rstrip("\n"))
        self.proc.stderr.close()

    def take_stderr(self):
        lines = []
        while self.stderr_lines:
            lines.append(self.stderr_lines.popleft())
        return lines

    def alive(self):
        return self.proc.poll() is None

    def send(self, text):
        if len(text) > MAX_MESSAGE_BYTES:
            raise ChannelError("message of %d bytes is longer than the plugin takes" % len(text))
        if self.recorder:
            self.recorder.write("PLISK", text)
        data = memoryview(text.encode("latin-1"))
        try:
            fd = self.proc.stdin.fileno()
            while data:
                data = data[os.write(fd, data):]
        except (OSError, ValueError) as e:
            raise ChannelError("cannot write to the plugin: %s" % e)

    def receive(self):
        """The next complete message (wire text). Raises ChannelError when the
        plugin ends, stays silent past the timeout or overruns a message."""
        return self.receive_message()[0]

    def _take_message(self):
        """(text, value) of the complete message pending, value None when
        the text is no JSON; None while no message is complete."""
        pending = self.pending
        if not pending:
            return None
        start = len(pending) - len(pending.lstrip(_BLANKS))
        if start == len(pending) or pending[start] != "{":
            return None
        try:
            value, end = _DECODER.raw_decode(pending, start)
        except ValueError:
            value, end = None, complete_object_end(pending)
            if end < 0:
                return None
        self.pending = pending[end:].lstrip(_BLANKS)
        return pending[start:end], value

    def receive_message(self):
        """The next complete message: (wire text, its JSON value, or None
        when the text does not parse). Raises ChannelError as receive()."""
        deadline = time.monotonic() + self.timeout
        while True:
            found = self._take_message()
            if found is not None:
                if self.recorder:
                    self.recorder.write("PLUGIN", found[0])
                return found
            if len(self.pending) > MAX_MESSAGE_BYTES or self._starts_wrong():
                raise ChannelError("the plugin wrote garbage: %r" % self.pending[:80])
            left = deadline - time.monotonic()
            if left <= 0:
                raise ChannelError("no answer from the plugin within %g s" % self.timeout)
            chunk = self._next_chunk(left)
            if chunk is None:
                continue
            if not chunk:
                status = self.proc.wait()
                raise ChannelError("the plugin ended (status %d)" % status)
            self.pending += chunk.decode("latin-1")

    def _starts_wrong(self):
        # A message can only begin with blanks and a brace; anything else will
        # never frame, so say so now instead of waiting for the timeout.
        head = self.pending.lstrip(_BLANKS)
        return bool(head) and head[0] != "{"

    def close(self, grace):
        """Ends the plugin: closes its input (it ends at the end of input),
        then kills it when it lingers past grace seconds."""
        try:
            self.proc.stdin.close()
        except OSError:
            pass
        try:
            self.proc.wait(timeout=grace if grace > 0 else 0.05)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()


class PolledChannel(Channel):
    """A Channel that waits for the plugin's output with select() instead of
    reader threads: one thread hand-off less per message, which every host
    feels (a view of a hundred threads is thousands of messages). Standard
    error is read in the same wait, and once more whenever its lines are
    taken: what the plugin wrote there before a message is always shown
    with the command that read the message. POSIX pipes only."""

    def _start_readers(self):
        self.stderr_fd = self.proc.stderr.fileno()
        self.stderr_partial = b""

    def _next_chunk(self, timeout):
        fd = self.proc.stdout.fileno()
        deadline = time.monotonic() + timeout
        while True:
            waited = [fd] + ([self.stderr_fd] if self.stderr_fd is not None else [])
            ready, _, _ = select.select(waited, [], [], max(0.0, deadline - time.monotonic()))
            if not ready:
                return None
            if self.stderr_fd in ready:
                self._read_stderr()
            if fd in ready:
                try:
                    return os.read(fd, READ_CHUNK_BYTES)
                except OSError:
                    return b""

    def _read_stderr(self):
        """One read of standard error, cut into lines (at its end, the rest)."""
        try:
            chunk = os.read(self.stderr_fd, READ_CHUNK_BYTES)
        except OSError:
            chunk = b""
        lines = (self.stderr_partial + chunk).split(b"\n")
        self.stderr_partial = lines.pop()
        if len(self.stderr_partial) > READ_CHUNK_BYTES:      # no line end in sight: shown as it is
            lines.append(self.stderr_partial)
            self.stderr_partial = b""
        if not chunk:
            if self.stderr_partial:
                lines.append(self.stderr_partial)
            self.stderr_partial = b""
            self.proc.stderr.close()
            self.stderr_fd = None
        for line in lines:
            self.stderr_lines.append(line.decode("utf-8", errors="replace"))

    def take_stderr(self):
        # Bounded: a plugin that writes without end must not hold the host.
        for _ in range(MAX_STDERR_READS):
            if self.stderr_fd is None or not select.select([self.stderr_fd], [], [], 0)[0]:
                break
            self._read_stderr()
        return super().take_stderr()


# The channel of this system: select() waits on pipes on POSIX only.
LOCAL_CHANNEL = PolledChannel if os.name == "posix" else Channel
