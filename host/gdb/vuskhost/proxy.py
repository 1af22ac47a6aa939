"""A remote-protocol proxy that shows ThreadX threads as GDB threads.

GDB connects to the proxy; the proxy connects to the GDB server (QEMU's
stub, OpenOCD, pyOCD, a J-Link server, gdbserver) once per GDB connection
and passes every packet on untouched, with these exceptions:

- qSupported: "multiprocess+" is taken out both ways (thread ids stay
  plain hex numbers) and "qXfer:threads:read+" is offered to GDB;
- while the target is halted and the kernel runs threads, the thread
  packets are answered here: qfThreadInfo/qsThreadInfo,
  qXfer:threads:read (names, and the state as extra text),
  qThreadExtraInfo, qC, T, Hg/Hc, and g/p/G/P of the selected thread.
  A thread's id is its control block's address. The running thread's
  registers are the CPU's (the packet goes to the server, for the server
  thread of the core it runs on); a suspended thread's come from the frame
  it saved, read by the plugin (VUSK_Client_TaskRegisterRead) and laid
  out in the order of the server's target description, "xx" for a
  register the frame does not hold. Writing a suspended thread's
  registers, or stepping it, is refused with an "E." error text;
- stop replies get "thread:ID;" of the ThreadX thread running on the core
  that stopped.

A core with no thread running (interrupt, idle loop, kernel start-up) is
shown as a thread of its own, id = the core number (1, 2 ...): no control
block lies there. Before the kernel has created threads, when the program
lacks the kernel's debug information, or when the plugin cannot tell,
every packet goes to the server and GDB sees the server's own threads.

One GDB connection is served at a time; when either side goes away, the
other connection is closed and the proxy waits for the next GDB. Faults
of the plugin or of the server on a request of the proxy's own are
reported on standard error and the packet is answered from the server.
"""

import socket
import traceback
import xml.sax.saxutils

from . import catalogue, remote, rsp, standalone, views
from .dwarf_target import Cores, DwarfDebugger, LiveTarget, Settings, kernel_cores
from .session import CONTEXT_HANDLE, NOTICE_TARGET_HALTED, PluginError
from .tdesc import DescriptionError

CONNECT_SECONDS = 10.0
# Thread ids per qfThreadInfo/qsThreadInfo reply.
IDS_PER_REPLY = 64
# Attributes of the thread list the proxy shows: name, state, what it waits on.
NAME_COLUMN, STATUS_COLUMN, WAITS_COLUMN = 0, 3, 6
THREAD_COLUMNS = (NAME_COLUMN, STATUS_COLUMN, WAITS_COLUMN)
NOT_WAITING = ("", "N/A", "?")
NO_THREAD_NAME = "core %d"
NO_THREAD_TEXT = "no thread running (interrupt, idle loop or kernel start-up)"

ERROR_SUSPENDED_WRITE = b"E.the registers of a suspended ThreadX thread cannot be written"
ERROR_SUSPENDED_STEP = b"E.a suspended ThreadX thread cannot be stepped; select the running thread"
ERROR_NON_STOP = b"E.the ThreadX proxy works in all-stop mode only"
ERROR_NO_THREAD = b"E01"
ERROR_FAILURE = b"E.ThreadX proxy failure: "

_RESUMES = (b"c", b"C", b"s", b"S")
_STEP_ACTIONS = (b"s", b"S", b"r")


def thread_id_text(number):
    return b"%x" % number


def parse_thread_id(text):
    """GDB's thread id: a hex number, 0 (any) or -1 (all). None if unreadable."""
    try:
        return int(text, 16)
    except ValueError:
        return None


class Thread:
    __slots__ = ("id", "name", "extra")

    def __init__(self, id_, name, extra):
        self.id, self.name, self.extra = id_, name, extra


class ThreadView:
    """The kernel's threads at one stop: every thread in creation order
    (pseudo threads for idle cores first), which runs on which core."""

    def __init__(self, threads, running):
        self.threads = threads
        self.running = running            # core (1-based) -> thread id
        self.by_id = {t.id: t for t in threads}
        self.core_of = {thread: core for core, thread in running.items()}

    def document(self):
        """The qXfer:threads:read document (bytes)."""
        parts = [b'<?xml version="1.0"?>\n<threads>\n']
        for t in self.threads:
            attributes = 'id="%x"' % t.id
            if t.id in self.core_of:
                attributes += ' core="%d"' % (self.core_of[t.id] - 1)
            attributes += " name=%s" % xml.sax.saxutils.quoteattr(t.name)
            parts.append(("<thread %s>%s</thread>\n" % (attributes, xml.sax.saxutils.escape(t.extra)))
                         .encode("utf-8", errors="replace"))
        parts.append(b"</threads>\n")
        return b"".join(parts)


class Memo:
    """A plugin answer and the target state it was computed from."""

    __slots__ = ("footprint", "value")

    def __init__(self, footprint, value):
        self.footprint, self.value = footprint, value


class Kernel:
    """The plugin's view of the kernel for one GDB connection.

    Answers are kept for the stop (forget() drops them) and, beyond it, as
    memos with the footprint of target state they were computed from: at a
    later stop a memo whose memory and registers read the same again is
    the answer the plugin would give, without asking it (stepping through
    code leaves the other threads' control blocks and frames as they were)."""

    def __init__(self, options, types, live):
        self.types = types
        self.live = live
        self.debugger = DwarfDebugger(types, live, Settings(options.config_dir), standalone.log)
        self.session = standalone.make_session(self.debugger, options, live.cores.count)
        self.notified = False
        self.current = {}
        self.view = None
        self.frames = {}                 # thread id -> {register name: value or None}
        self.memos = {}                  # "threads" or a thread id -> Memo

    def forget(self):
        """The target ran or changed: the next question starts afresh."""
        self.notified = False
        self.current = {}
        self.view = None
        self.frames = {}

    def _ready(self):
        if not self.notified:
            self.session.ensure_started()
            self.session.call("VUSK_Client_TargetNotify", {"context": CONTEXT_HANDLE,
                                                            "notice": NOTICE_TARGET_HALTED})
            self.notified = True
            self.session.show_stderr()

    def _remembered(self, key, compute):
        """compute()'s value, or the memo's when its footprint still holds."""
        remote_target = self.live.remote
        memo = self.memos.get(key)
        if memo is not None and remote_target.unchanged(memo.footprint):
            return memo.value
        with remote_target.recording() as footprint:
            self._ready()
            value = compute()
        self.memos[key] = Memo(footprint, value)
        self.session.show_stderr()
        return value

    def running_on(self, core):
        """The control block address of the thread running on core (1-based);
        0 when none runs there. Raises PluginError."""
        if core not in self.current:
            self._ready()
            self.current[core] = views.current_task(self.session, core)
        return self.current[core]

    def threads(self, cores):
        """The ThreadView of this stop (None: the kernel has no threads yet).
        Raises PluginError."""
        if self.view is None:
            listed = self._remembered("threads", self._listed)
            running = {core: self.running_on(core) or core for core in range(1, cores + 1)}
            pseudo = [Thread(core, NO_THREAD_NAME % (core - 1), NO_THREAD_TEXT)
                      for core, thread in sorted(running.items()) if thread == core]
            self.view = ThreadView(pseudo + listed, running) if listed else False
        return self.view or None

    def _listed(self):
        rows = catalogue.walk(self.session, catalogue.THREAD_KIND, THREAD_COLUMNS, want_address=True)
        return [Thread(row.address, row.cells[0], self._extra(row.cells[1], row.cells[2]))
                for row in rows if row.address]

    @staticmethod
    def _extra(status, waits):
        return status if waits in NOT_WAITING else "%s, %s" % (status, waits.strip())

    def frame_registers(self, thread):
        """{debugger register name: value or None} of a suspended thread."""
        values = self.frames.get(thread)
        if values is None:
            values = self._remembered(thread, lambda: self._read_frame(thread))
            self.frames[thread] = values
        return values

    def _read_frame(self, thread):
        registers = self.debugger.register_map()
        if registers is None or not self.session.serves("VUSK_Client_TaskRegisterRead"):
            return {}
        return {name: views.read_task_register(self.session, thread, parts)
                for name, width, parts in registers.registers}

    def close(self):
        self.session.stop()


class Bridge:
    """One GDB connection and its server connection."""

    def __init__(self, proxy, gdb_sock, server_sock):
        self.options = proxy.options
        self.types = proxy.types
        self.gdb = rsp.Link(gdb_sock, "GDB", standalone.log)
        self.server = rsp.Link(server_sock, "the GDB server", standalone.log)
        self.remote = remote.RemoteTarget(self.server, self.types.regions if self.types else (),
                                          log=standalone.log)
        self.cores = Cores(self.remote, proxy.kernel_cores)
        self.live = LiveTarget(self.remote, self.types.byte_order, self.cores) if self.types else None
        self.kernel = Kernel(self.options, self.types, self.live) if proxy.threads_enabled else None
        self.halted = False
        self.kernel_threads = False      # this stop's thread packets are answered here
        self.stop_core = 1
        self.general = 0                 # GDB's Hg selection (0: any)
        self.resume_thread = -1          # GDB's Hc selection
        self.server_lists_threads = False
        self.deferred = []               # GDB's events not handled yet, oldest first
        self.pending_ids = []            # thread ids qsThreadInfo still has to give
        self.gdb_selected = {}           # "g"/"c" -> the server thread GDB selected (passed on)

    # ------------------------------------------------------------ the loop

    def run(self):
        try:
            while True:
                ready = rsp.wait([self.gdb, self.server])
                if self.server in ready:
                    # Nothing asked: a late or spontaneous packet; GDB gets it.
                    for event in self._drain(self.server):
                        if event.kind == rsp.PACKET:
                            self.gdb.send(event.payload)
                self.deferred += self._drain(self.gdb)
                # Handling one may wait on the server, while more come from GDB:
                # they queue behind, in order.
                while self.deferred:
                    self.take(self.deferred.pop(0))
        except rsp.LinkClosed as e:
            standalone.log("vusk-gdbproxy: %s\n" % e)
        finally:
            if self.kernel is not None:
                self.kernel.close()
            self.gdb.close()
            self.server.close()

    @staticmethod
    def _drain(link):
        events, link.events = link.events, []
        return events

    def take(self, event):
        if event.kind == rsp.BREAK:
            self.server.send_interrupt()
            return
        payload = event.payload
        try:
            reply = self.handle(payload)
        except rsp.LinkClosed:
            raise
        except Exception as e:              # a fault of ours: GDB still gets an answer
            standalone.log("vusk-gdbproxy: %s failed:\n%s" % (payload[:40].decode("latin-1"), traceback.format_exc()))
            reply = ERROR_FAILURE + str(e).encode("latin-1", errors="replace")[:200]
        if reply is not None:
            self.gdb.send(reply)

    # ------------------------------------------------------------ passing on

    def forward(self, payload):
        """Passes a packet to the server; its reply (console output on the way
        goes to GDB, interrupts from GDB go to the server)."""
        self.server.send(payload)
        while True:
            ready = rsp.wait([self.gdb, self.server])
            if self.server in ready:
                event = self.server.events.pop(0)
                if event.kind != rsp.PACKET:
                    continue
                if remote.is_output(rsp.decode(event.payload)):
                    self.gdb.send(event.payload)
                    continue
                return event.payload
            for event in self._drain(self.gdb):
                if event.kind == rsp.BREAK:
                    self.server.send_interrupt()
                else:
                    self.deferred.append(event)

    def core_count(self):
        return self.cores.count()

    def plugin_fault(self, error):
        """The plugin or the server failed a question of ours: this stop
        shows the server's threads."""
        standalone.log("vusk-gdbproxy: %s; showing the server's threads\n" % error)
        self.kernel_threads = False

    def thread_view(self):
        """The whole thread list of this stop, or None (then the packet goes
        to the server)."""
        try:
            view = self.kernel.threads(self.core_count())
        except (PluginError, remote.TargetError) as e:
            self.plugin_fault(e)
            return None
        if view is None:
            self.kernel_threads = False
        return view

    def classify(self, number):
        """("cpu", core) for an id whose registers are a core's: a running
        thread, a core without one, or "any"; ("frame", None) for a suspended
        thread; (None, None) for an id nobody has. Reads the whole list
        only when the running threads do not tell."""
        if number in (0, -1):
            return "cpu", self.stop_core
        if number is None:
            return None, None
        for core in range(1, self.core_count() + 1):
            running = self.kernel.running_on(core)
            if number == running or (number == core and running == 0):
                return "cpu", core
        view = self.thread_view()
        if view is not None and number in view.by_id:
            return "frame", None
        return None, None

    # ------------------------------------------------------------ dispatch

    def handle(self, payload):
        """The reply for one GDB packet (None: nothing goes back)."""
        if payload.startswith(b"qSupported"):
            return self.supported(payload)
        if payload == b"QStartNoAckMode":
            reply = self.forward(payload)
            if reply == b"OK":
                self.server.ack_mode = False
                self.gdb.send(reply)
                self.gdb.ack_mode = False
                return None
            return reply
        if payload.startswith(b"QNonStop:") and payload != b"QNonStop:0":
            return ERROR_NON_STOP
        if payload == b"?":
            return self.stopped(self.forward(payload))
        if payload[:1] in _RESUMES or (payload.startswith(b"vCont") and payload != b"vCont?") or \
                payload.startswith((b"vRun", b"vAttach")):
            return self.resume(payload)
        if payload == b"k" or payload.startswith(b"R"):
            # No reply comes to these (the server may well go away).
            self.halted = self.kernel_threads = False
            self.forget()
            self.server.send(payload)
            return None
        if payload.startswith(b"D"):
            self.halted = self.kernel_threads = False
            self.forget()
            return self.forward(payload)
        if payload.startswith((b"M", b"X", b"qRcmd", b"vFlash")):
            reply = self.forward(payload)
            self.forget()
            return reply
        if self.kernel_threads and self._is_thread_packet(payload):
            try:
                reply = self.answered(payload)
            except (PluginError, remote.TargetError) as e:
                self.plugin_fault(e)
                reply = None
            if reply is not None:
                return reply
        return self.passed_through(payload)

    @staticmethod
    def _is_thread_packet(payload):
        return payload[:1] in (b"H", b"g", b"G", b"p", b"P", b"T") or payload in (b"qC", b"qfThreadInfo",
                                                                                   b"qsThreadInfo") \
            or payload.startswith((b"qThreadExtraInfo,", b"qXfer:threads:read:"))

    def forget(self):
        self.remote.forget()
        if self.kernel is not None:
            self.kernel.forget()

    def passed_through(self, payload):
        """A packet for the server as it stands; qXfer:threads is made up
        from qfThreadInfo for a server that does not offer it."""
        if payload.startswith(b"qXfer:threads:read:") and not self.server_lists_threads:
            self.remote.forget_threads()
            ids = self.remote.threads() if self.halted else []
            document = b'<?xml version="1.0"?>\n<threads>\n' + b"".join(
                b'<thread id="%s"/>\n' % t for t in ids) + b"</threads>\n"
            return self.xfer_slice(document, payload)
        if payload.startswith(b"H") and len(payload) > 1:
            kind = payload[1:2].decode("latin-1")
            self.remote.selected.pop(kind, None)
            reply = self.forward(payload)
            if reply == b"OK":
                self.remote.selected[kind] = self.gdb_selected[kind] = payload[2:]
            return reply
        if payload[:1] in (b"g", b"G", b"p", b"P") and "g" in self.gdb_selected:
            # Our own reads may have selected another thread since GDB did.
            self.remote.select("g", self.gdb_selected["g"])
        reply = self.forward(payload)
        if payload[:1] in (b"G", b"P"):
            self.forget()
        return reply

    def supported(self, payload):
        features = [f for f in payload.split(b":", 1)[1].split(b";") if f != b"multiprocess+"] \
            if b":" in payload else []
        reply = self.forward(b"qSupported:" + b";".join(features) if features else b"qSupported")
        self.remote.take_supported(reply)
        offered = [f for f in reply.split(b";") if f and f != b"multiprocess+"]
        self.server_lists_threads = b"qXfer:threads:read+" in offered
        if self.kernel is not None and not self.server_lists_threads:
            offered.append(b"qXfer:threads:read+")
        return b";".join(offered)

    # ------------------------------------------------------------ running and stopping

    def resume(self, payload):
        if not self.kernel_threads and payload[:1] in _RESUMES and "c" in self.gdb_selected:
            self.remote.select("c", self.gdb_selected["c"])
        if self.kernel_threads:
            try:
                payload, refusal = self.resume_for_server(payload)
            except (PluginError, remote.TargetError) as e:
                self.plugin_fault(e)
                refusal = None
            if refusal:
                return refusal
        self.halted = False
        self.kernel_threads = False
        self.forget()
        self.server.send(payload)
        while True:
            ready = rsp.wait([self.gdb, self.server])
            for event in self._drain(self.gdb) if self.gdb in ready else ():
                if event.kind == rsp.BREAK:
                    self.server.send_interrupt()
                elif event.payload[:1] == b"F":
                    self.server.send(event.payload)     # a File-I/O answer: the target goes on
                else:
                    self.deferred.append(event)
            if self.server not in ready:
                continue
            event = self.server.events.pop(0)
            if event.kind != rsp.PACKET:
                continue
            reply = rsp.decode(event.payload)
            if remote.is_output(reply) or reply[:1] == b"F":
                self.gdb.send(event.payload)
                continue
            if reply[:1] in (b"W", b"X"):
                return event.payload           # the program ended
            return self.stopped(event.payload)

    def resume_for_server(self, payload):
        """(payload with the server's thread ids, refusal or None)."""
        if payload[:1] in (b"s", b"S"):
            target, core = self.classify(self.resume_thread)
            if target == "frame":
                return payload, ERROR_SUSPENDED_STEP
            if target == "cpu":
                self.remote.select("c", self.cores.thread(core))
            return payload, None
        if not payload.startswith(b"vCont;"):
            return payload, None
        actions = []
        for action in payload[len(b"vCont;"):].split(b";"):
            verb, _, thread = action.partition(b":")
            if not thread:
                actions.append(action)
                continue
            number = parse_thread_id(thread)
            if number in (0, -1):
                actions.append(action)         # any or all threads: the server's own meaning
                continue
            target, core = self.classify(number)
            if target == "frame":
                if verb[:1] in _STEP_ACTIONS:
                    return payload, ERROR_SUSPENDED_STEP
                continue                       # continuing it is continuing the target
            if target == "cpu":
                thread = self.cores.thread(core)
            actions.append(verb + b":" + thread)
        return b"vCont;" + b";".join(actions or [b"c"]), None

    def stopped(self, payload):
        """A stop reply from the server, as GDB gets it."""
        reply = rsp.decode(payload)
        if not remote.is_stop_reply(reply):
            return payload
        self.halted = True
        self.forget()
        if self.kernel is None:
            return payload
        pairs = reply[3:].split(b";") if reply[:1] == b"T" else []
        server_thread = remote.stop_thread(reply)
        try:
            self.cores.stopped = server_thread
            self.stop_core = self.cores.core_of(server_thread)
            self.live.core = self.stop_core
        except remote.TargetError as e:
            standalone.log("vusk-gdbproxy: %s\n" % e)
            return payload
        try:
            running = self.kernel.running_on(self.stop_core)
            # No thread running: a thread of the core's own, if the kernel has threads.
            self.kernel_threads = bool(running) or self.kernel.threads(self.core_count()) is not None
        except (PluginError, remote.TargetError) as e:
            self.plugin_fault(e)
        if not self.kernel_threads:
            return payload
        kept = [p for p in pairs if p and not p.startswith(b"thread:")]
        return b"T" + reply[1:3] + b"thread:" + thread_id_text(running or self.stop_core) + b";" + \
            b"".join(p + b";" for p in kept)

    # ------------------------------------------------------------ the thread packets

    def answered(self, payload):
        """The reply to a thread packet, or None when the server answers it."""
        kind = payload[:1]
        if kind == b"H" and len(payload) > 1:
            number = parse_thread_id(payload[2:])
            if self.classify(number)[0] is None:
                return ERROR_NO_THREAD
            if payload[1:2] == b"g":
                self.general = number
            else:
                self.resume_thread = number
            return b"OK"
        if kind == b"T":
            return b"OK" if self.classify(parse_thread_id(payload[1:]))[0] else ERROR_NO_THREAD
        if payload == b"qC":
            return b"QC" + thread_id_text(self.kernel.running_on(self.stop_core) or self.stop_core)
        if kind in (b"g", b"G", b"p", b"P"):
            return self.registers(payload)
        view = self.thread_view()
        if view is None:
            return None
        if payload in (b"qfThreadInfo", b"qsThreadInfo"):
            return self.thread_ids(payload, view)
        if payload.startswith(b"qThreadExtraInfo,"):
            thread = view.by_id.get(parse_thread_id(payload[len(b"qThreadExtraInfo,"):]))
            if thread is None:
                return ERROR_NO_THREAD
            return rsp.hex_text(thread.extra.encode("utf-8", errors="replace"))
        return self.xfer_slice(view.document(), payload)

    def thread_ids(self, payload, view):
        if payload == b"qfThreadInfo":
            self.pending_ids = [t.id for t in view.threads]
        ids, self.pending_ids = self.pending_ids[:IDS_PER_REPLY], self.pending_ids[IDS_PER_REPLY:]
        if not ids:
            return b"l"
        return b"m" + b",".join(thread_id_text(i) for i in ids)

    @staticmethod
    def xfer_slice(document, payload):
        try:
            offset, length = (int(x, 16) for x in payload.rsplit(b":", 1)[1].split(b","))
        except ValueError:
            return b"E00"
        piece = document[offset:offset + length]
        more = offset + length < len(document)
        return (b"m" if more else b"l") + rsp.escape(piece)

    def registers(self, payload):
        """g, p, G, P of the selected thread."""
        kind = payload[:1]
        target, core = self.classify(self.general)
        if target != "frame":
            # The CPU's registers: the server, for the core's own thread.
            self.remote.select("g", self.cores.thread(core or self.stop_core))
            reply = self.forward(payload)
            if kind in (b"G", b"P"):
                self.forget()
            return reply
        if kind in (b"G", b"P"):
            return ERROR_SUSPENDED_WRITE
        try:
            description = self.remote.load_description()
        except DescriptionError as e:
            return b"E." + str(e).encode("latin-1", errors="replace")[:200]
        values = self.kernel.frame_registers(self.general)
        order = self.types.byte_order
        if kind == b"g":
            layout = self.remote.g_layout(self.cores.thread(self.stop_core))
            return b"".join(self._register_hex(reg, values, order) for reg in layout)
        reg = description.by_number.get(parse_thread_id(payload[1:]))
        if reg is None:
            return b"E00"
        return self._register_hex(reg, values, order)

    @staticmethod
    def _register_hex(reg, values, order):
        value = values.get(reg.name)
        if value is None:
            return b"xx" * reg.size
        return rsp.hex_text((value & ((1 << (8 * reg.size)) - 1)).to_bytes(reg.size, order))


class Proxy:
    def __init__(self, options):
        self.options = options
        self.types = None
        self.threads_enabled = False
        self.kernel_cores = 1
        try:
            self.types = standalone.load_program(options.elf)
        except standalone.ToolError as e:
            standalone.log("vusk-gdbproxy: %s; passing every packet on\n" % e)
            return
        missing = standalone.missing_debug_info(self.types)
        if missing:
            standalone.log("vusk-gdbproxy: %s; passing every packet on (GDB sees the server's threads)\n"
                           % standalone.missing_message(self.types, missing))
            return
        try:
            standalone.cpu_type(self.types, options.cpu_type)
        except standalone.ToolError as e:
            standalone.log("vusk-gdbproxy: %s; passing every packet on\n" % e)
            return
        self.kernel_cores = kernel_cores(self.types)
        self.threads_enabled = True

    def serve(self, listener, once=False):
        """Serves GDB connections one after another (only the first with
        once)."""
        while True:
            try:
                gdb_sock, peer = listener.accept()
            except InterruptedError:
                continue
            self.serve_connection(gdb_sock)
            if once:
                return

    def serve_connection(self, gdb_sock):
        if gdb_sock.family == socket.AF_INET:
            gdb_sock.setsockopt(socket.IPPROTO_TCP, socket.TCP_NODELAY, 1)
        try:
            server_sock = rsp.connect(self.options.remote, CONNECT_SECONDS)
        except (OSError, ValueError) as e:
            standalone.log("vusk-gdbproxy: cannot connect to %s: %s\n"
                           % (self.options.remote, getattr(e, "strerror", None) or e))
            gdb_sock.close()
            return
        standalone.log("vusk-gdbproxy: GDB connected; serving it through %s\n" % self.options.remote)
        Bridge(self, gdb_sock, server_sock).run()
        standalone.log("vusk-gdbproxy: the connection ended; waiting for GDB\n")

