"""One debugging session with the plugin: start-up, client calls, service
requests served while a call waits, and recovery from a broken plugin.

The plugin is started on first use and initialised (VuskInit, then
TargetInit with the target's CPU and byte order). A client call writes its
request and then reads messages until its response: every message with a
"method" member is a service request of the plugin, answered at once (it
may make several before it answers). When the plugin ends, stays silent or
answers garbage, the session drops it and raises PluginError; the next call
starts a fresh plugin, so the debugger never hangs on it.

Contract: call() returns the "result" object of the response (a dict that
the caller owns); it raises PluginError for every fault.
"""

from . import services, wire
from .channel import LOCAL_CHANNEL, MAX_MESSAGE_BYTES, ChannelError, Recorder

CONTEXT_HANDLE = 1
NOTICE_TARGET_HALTED = 0
STOP_TIMEOUT_SECONDS = 2.0


class PluginError(Exception):
    """Shown to the user as it stands."""


class Session:
    def __init__(self, debugger, plugin_argv, timeout, target_params, log=None, channel_class=LOCAL_CHANNEL):
        """plugin_argv(): command line of the plugin; timeout(): seconds per
        answer; target_params(): TargetInit members for the present target
        (may raise PluginError); log(text): console output; channel_class:
        how the plugin process is talked to (channel.Channel or a kind of it)."""
        self.debugger = debugger
        self.plugin_argv = plugin_argv
        self.timeout = timeout
        self.target_params = target_params
        self.log = log or (lambda text: None)
        self.channel_class = channel_class
        self.channel = None
        self.recorder = None
        self.next_id = 1
        self.commands = []
        self.target_ready = False

    # ------------------------------------------------------------ life cycle

    def ensure_started(self):
        if self.channel is None:
            argv = self.plugin_argv()
            try:
                self.channel = self.channel_class(argv, self.timeout(), self.recorder)
            except ChannelError as e:
                raise PluginError("vusk_threadx: %s" % e)
            self.next_id = 1
            self.target_ready = False
            answer = self.call("VUSK_Client_VuskInit", {"context": CONTEXT_HANDLE, "versionRequired": 2})
            if answer.get("return") != 0:
                self._drop()
                raise PluginError("vusk_threadx: the plugin refused to start (return %r)" % answer.get("return"))
            self.commands = [wire.from_wire(c) for c in answer.get("commands", []) if isinstance(c, str)]
        if not self.target_ready:
            params = {"context": CONTEXT_HANDLE}
            params.update(self.target_params())
            answer = self.call("VUSK_Client_TargetInit", params)
            if answer.get("return") != 0:
                raise PluginError("vusk_threadx: the plugin does not take this target (return %r)"
                                  % answer.get("return"))
            self.target_ready = True

    def serves(self, method):
        return method in self.commands

    def target_changed(self):
        """The program was replaced or ended: the next call sets it up anew."""
        if self.channel is not None and self.target_ready:
            try:
                self.call("VUSK_Client_TargetCleanup", {"context": CONTEXT_HANDLE})
            except PluginError:
                pass
        self.target_ready = False

    def stop(self):
        """Ends the plugin politely (Exit), or kills it."""
        if self.channel is None:
            return
        # GDB may be on its way out: a plugin that hangs must not hold it long.
        self.channel.timeout = min(self.channel.timeout, STOP_TIMEOUT_SECONDS)
        try:
            if self.target_ready:
                self.call("VUSK_Client_TargetCleanup", {"context": CONTEXT_HANDLE})
            self.call("VUSK_Client_VuskCleanup", {"context": CONTEXT_HANDLE})
            self.call("VUSK_Client_Exit", {})
        except PluginError:
            pass
        self._drop(grace=2.0)

    def _drop(self, grace=0.0):
        """Forgets the plugin; a broken one is killed at once (grace 0)."""
        channel, self.channel = self.channel, None
        self.target_ready = False
        if channel is not None:
            channel.close(grace)
            self.show_stderr(channel)
            # A record holds one plugin process: the next one would not play
            # back after it, so the record ends with this one.
            path = self.stop_recording()
            if path:
                self.log("vusk_threadx: the record %s ends with this plugin\n" % path)

    def show_stderr(self, channel=None):
        channel = channel or self.channel
        if channel is not None:
            for line in channel.take_stderr():
                self.log("vusk_threadx (stderr): %s\n" % line)

    # ------------------------------------------------------------ recording

    def record(self, path):
        """Starts a record file; the plugin is restarted so that the record
        holds a whole session from VuskInit on."""
        self.stop_recording()
        self.stop()
        try:
            self.recorder = Recorder(path)
        except OSError as e:
            raise PluginError("vusk_threadx: cannot write %s: %s" % (path, e.strerror or e))

    def stop_recording(self):
        if self.recorder is None:
            return None
        path = self.recorder.path
        self.recorder.close()
        self.recorder = None
        if self.channel is not None:
            self.channel.recorder = None
        return path

    # ------------------------------------------------------------ calls

    def call(self, method, params):
        if self.channel is None:
            raise PluginError("vusk_threadx: the plugin is not running")
        ident = self.next_id
        self.next_id += 1
        try:
            self.channel.send(wire.request(method, params, ident))
            while True:
                text, message = self.channel.receive_message()
                message = self._parse(text) if message is None else message
                if "method" in message:
                    self.channel.send(self._serve(message))
                    continue
                if message.get("id") != ident:
                    raise ChannelError("answer with id %r to request %d" % (message.get("id"), ident))
                if "error" in message:
                    error = message["error"] if isinstance(message["error"], dict) else {}
                    raise PluginError("vusk_threadx: %s failed: %s" % (
                        method, wire.from_wire(str(error.get("message", "")))))
                result = message.get("result")
                if not isinstance(result, dict):
                    raise ChannelError("answer to %s without a result object" % method)
                return result
        except ChannelError as e:
            self._drop()
            raise PluginError("vusk_threadx: %s; the plugin is restarted at the next command" % e)
        except PluginError:
            raise             # an error answer: the plugin is in step and stays
        except KeyboardInterrupt:
            self._drop()
            raise PluginError("vusk_threadx: interrupted; the plugin is restarted at the next command")
        except BaseException:
            self._drop()      # the plugin may still wait for an answer: it cannot be used on
            raise

    @staticmethod
    def _parse(text):
        try:
            message = wire.parse(text)
        except ValueError as e:
            raise ChannelError("the plugin wrote a message that does not parse (%s)" % e)
        if not isinstance(message, dict):
            raise ChannelError("the plugin wrote a message that is no object")
        return message

    def _serve(self, message):
        ident = message.get("id")
        method = message.get("method")
        if not isinstance(method, str):
            return wire.error(wire.ERROR_METHOD_NOT_FOUND, "method not found", ident)
        try:
            result = services.serve(self.debugger, method, message.get("params"))
        except services.UnknownService:
            return wire.error(wire.ERROR_METHOD_NOT_FOUND, "method not found", ident)
        except Exception as e:       # a fault of ours must not leave the plugin waiting
            self.log("vusk_threadx: %s failed in the host: %s\n" % (method, e))
            return wire.error(wire.ERROR_INTERNAL, "host failure: %s" % wire.to_wire(str(e)), ident)
        text = wire.result(result, ident)
        if len(text) > MAX_MESSAGE_BYTES:
            # The plugin cannot take it whole; a failed request keeps it in step.
            self.log("vusk_threadx: the answer to %s is too long for the plugin\n" % method)
            text = wire.result({"return": 1}, ident)
        return text
