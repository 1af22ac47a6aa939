"""GDB commands and settings of the extension.

    threadx threads|timers|semaphores|queues|event-flags|block-pools|
            byte-pools|mutexes            a table of one kind of object
    threadx current                       the running thread
    threadx registers THREAD              a thread's registers
    threadx record FILE | off             record the plugin conversation
    set/show threadx plugin|cpu-type|config-dir|timeout|core-count|use-phy-space

One Session (one plugin process) serves all commands. Before each command
the plugin is told that the target has halted (TargetNotify), since the
program may have run or been changed since the last one.
"""

import os
import shutil
import sys

import gdb

from . import arch, catalogue
from .gdb_target import GdbDebugger, default_config_dir
from .session import CONTEXT_HANDLE, NOTICE_TARGET_HALTED, PluginError, Session
from .wire import from_wire

PLUGIN_NAME = "vusk_threadx"
DEFAULT_TIMEOUT_SECONDS = 10
NO_VALUE = "<unavailable>"

_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCE_ROOT = os.path.normpath(os.path.join(_HERE, "..", "..", ".."))


# ---------------------------------------------------------------- settings

# A "threadx NAME" setting. on_change() runs after a new value is set: the
# plugin asks some settings only once, so a change restarts it.
class _Parameter(gdb.Parameter):
    def __init__(self, name, kind, default, doc, validate=None, on_change=None):
        self.__doc__ = doc
        self.set_doc = "Set the " + doc
        self.show_doc = "Show the " + doc
        self.validate = validate
        self.on_change = on_change
        self.short_name = name
        super().__init__("threadx " + name, gdb.COMMAND_DATA, kind)
        self.value = default
        self.previous = default

    def get_set_string(self):
        if self.validate:
            try:
                self.validate(self.value)
            except ValueError as e:
                self.value = self.previous
                raise gdb.GdbError("threadx %s: %s" % (self.short_name, e))
        changed = self.value != self.previous
        self.previous = self.value
        if changed and self.on_change:
            self.on_change()
        return ""

    def get_show_string(self, svalue):
        return svalue if svalue else "(default)"


class _ShowAll(gdb.Command):
    """Shows every threadx setting."""

    def __init__(self, settings):
        super().__init__("show threadx", gdb.COMMAND_DATA, prefix=True)
        self.settings = settings

    def invoke(self, argument, from_tty):
        for parameter in self.settings.all():
            value = parameter.value
            if isinstance(value, bool):
                value = "on" if value else "off"
            gdb.write("threadx %s: %s\n" % (parameter.short_name, value if value != "" else "(default)"))


class Settings:
    def __init__(self, restart):
        """restart(): called when a setting that the plugin takes at start-up
        changes."""
        gdb.Command("set threadx", gdb.COMMAND_DATA, prefix=True)
        _ShowAll(self)
        self.plugin = _Parameter("plugin", gdb.PARAM_OPTIONAL_FILENAME, "",
                                 "path of the vusk_threadx plugin (empty: the build tree's, else PATH).",
                                 on_change=restart)
        self.cpu_type = _Parameter("cpu-type", gdb.PARAM_STRING, "auto",
                                   "CPU type given to the plugin: \"auto\" (from the architecture) or MAJOR [MINOR].",
                                   arch.parse_cpu_type, restart)
        self.config = _Parameter("config-dir", gdb.PARAM_OPTIONAL_FILENAME, "",
                                 "user configuration directory given to the plugin (empty: the per-user default).",
                                 on_change=restart)
        self.timeout = _Parameter("timeout", gdb.PARAM_ZUINTEGER, DEFAULT_TIMEOUT_SECONDS,
                                  "seconds to wait for each plugin message (0: the default).")
        self.cores = _Parameter("core-count", gdb.PARAM_ZUINTEGER, 0,
                                "number of cores of the target (0: one).", on_change=restart)
        self.phy_space = _Parameter("use-phy-space", gdb.PARAM_BOOLEAN, False,
                                    "answer to the plugin's question whether the kernel runs in physical addresses.", on_change=restart)

    def all(self):
        return (self.plugin, self.cpu_type, self.config, self.timeout, self.cores, self.phy_space)

    def config_dir(self):
        return os.path.abspath(os.path.expanduser(self.config.value)) if self.config.value \
            else default_config_dir()

    def use_phy_space(self):
        return bool(self.phy_space.value)

    def architecture(self):
        try:
            return gdb.selected_inferior().architecture().name()
        except (AttributeError, gdb.error, RuntimeError):
            try:
                return gdb.newest_frame().architecture().name()
            except (gdb.error, RuntimeError):
                return "unknown"

    def register_map(self):
        found = arch.cpu_for_architecture(self.architecture())
        return found[2] if found else None

    def plugin_argv(self):
        if self.plugin.value:
            return [os.path.expanduser(self.plugin.value)]
        executable = PLUGIN_NAME + (".exe" if sys.platform == "win32" else "")
        # The source tree's build, else the installation this extension is
        # part of (<prefix>/share/vusk_threadx/gdb/vuskhost -> <prefix>/bin).
        for candidate in (os.path.join(_SOURCE_ROOT, "build", executable),
                          os.path.join(_HERE, "..", "..", "..", "..", "bin", executable)):
            if os.path.isfile(candidate) and os.access(candidate, os.X_OK):
                return [os.path.normpath(candidate)]
        found = shutil.which(PLUGIN_NAME)
        if found:
            return [found]
        raise PluginError("vusk_threadx: plugin not found; use \"set threadx plugin PATH\"")

    def target_params(self):
        name = self.architecture()
        cpu = arch.parse_cpu_type(self.cpu_type.value)
        if cpu is None:
            found = arch.cpu_for_architecture(name)
            if found is None:
                raise PluginError("vusk_threadx: no CPU type known for architecture %s; "
                                  "use \"set threadx cpu-type MAJOR MINOR\"" % name)
            cpu = found[:2]
        endian = gdb.execute("show endian", to_string=True)
        cores = max(1, self.cores.value or 1)
        params = {"majorCpuType": cpu[0], "minorCpuType": cpu[1],
                  "bigEndianTarget": 1 if "big endian" in endian else 0,
                  "bigEndianHost": 1 if sys.byteorder == "big" else 0,
                  "coreCount": cores}
        if cores > 1:
            params["coreIdList"] = list(range(1, cores + 1))
        return params


# ---------------------------------------------------------------- commands

class Extension:
    def __init__(self):
        self.settings = Settings(lambda: self.session.stop())
        self.session = Session(GdbDebugger(self.settings), self.settings.plugin_argv,
                               lambda: max(1, self.settings.timeout.value or DEFAULT_TIMEOUT_SECONDS),
                               self.settings.target_params, gdb.write)
        self._register_commands()
        gdb.events.exited.connect(lambda event: self.session.target_changed())
        gdb.events.new_objfile.connect(self._new_objfile)
        if hasattr(gdb.events, "gdb_exiting"):
            gdb.events.gdb_exiting.connect(lambda event: self.shutdown())

    def _new_objfile(self, event):
        # Another program to debug (not a shared library of this one).
        if event.new_objfile.filename == gdb.current_progspace().filename:
            self.session.target_changed()

    def shutdown(self):
        self.session.stop()
        self.session.stop_recording()

    def run(self, action):
        """Runs one command against a halted target; plugin faults become
        GDB errors. The innermost frame is selected meanwhile: $sp and
        friends in the templates mean the CPU's registers, not those of a
        frame the user went up to; the user's frame is selected again after."""
        thread = gdb.selected_thread()
        if thread is not None and thread.is_valid() and thread.is_running():
            raise gdb.GdbError("vusk_threadx: the target is running; stop it first")
        with _InnermostFrame():
            self._run(action)

    def _run(self, action):
        try:
            self.session.ensure_started()
            self.session.call("VUSK_Client_TargetNotify", {"context": CONTEXT_HANDLE,
                                                            "notice": NOTICE_TARGET_HALTED})
            action()
        except PluginError as e:
            raise gdb.GdbError(str(e))
        finally:
            self.session.show_stderr()

    def _register_commands(self):
        extension = self

        class Prefix(gdb.Command):
            """ThreadX kernel objects, through the vusk_threadx plugin."""

            def __init__(self):
                super().__init__("threadx", gdb.COMMAND_DATA, prefix=True)

        Prefix()
        for kind in catalogue.KINDS:
            _KindCommand(extension, kind)
        _SimpleCommand(extension, "current", "The running thread.", extension.show_current)
        _SimpleCommand(extension, "registers", "threadx registers THREAD: a thread's registers "
                       "(THREAD is a thread name or an expression for its control block).",
                       extension.show_registers)
        _RecordCommand(extension)

    # ------------------------------------------------------------ actions

    def show_kind(self, kind):
        rows = catalogue.list_kind(self.session, kind)
        if not rows:
            gdb.write("No %s.\n" % kind.title)
            return
        gdb.write(catalogue.render_table(kind.headings, rows))

    def _task_text(self, method, task):
        answer = self.session.call(method, {"context": CONTEXT_HANDLE, "taskId": task})
        key = "name" if method == "VUSK_Client_TaskNameGet" else "status"
        value = answer.get(key)
        return from_wire(value) if answer.get("return") == 0 and isinstance(value, str) else "?"

    def show_current(self, argument=""):
        answer = self.session.call("VUSK_Client_CurrentTaskGet", {"context": CONTEXT_HANDLE,
                                                                  "checkInKernel": 0})
        if answer.get("return") != 0:
            raise PluginError("vusk_threadx: cannot find the current thread (return %r)"
                              % answer.get("return"))
        task = answer.get("taskId", 0)
        if not task:
            gdb.write("No thread is running.\n")
            return
        gdb.write("Current thread: %s (0x%x), %s\n" % (
            self._task_text("VUSK_Client_TaskNameGet", task), task,
            self._task_text("VUSK_Client_TaskStatusGet", task)))

    def _thread_address(self, argument):
        if not argument:
            raise PluginError("usage: threadx registers THREAD (a thread name or address)")
        for row in catalogue.walk(self.session, catalogue.THREAD_KIND, 1, want_address=True):
            if row.cells[0] == argument and row.address is not None:
                return row.address
        try:
            value = gdb.parse_and_eval(argument)
            # Only a number or a pointer can be a control block's address.
            if value.type.strip_typedefs().code in (gdb.TYPE_CODE_PTR, gdb.TYPE_CODE_INT):
                return int(value.cast(gdb.lookup_type("unsigned long long")))
        except gdb.error:
            pass
        raise PluginError("vusk_threadx: no thread named %s" % argument)

    def show_registers(self, argument):
        registers = self.settings.register_map()
        if registers is None:
            raise PluginError("vusk_threadx: no register names for architecture %s"
                              % self.settings.architecture())
        if not self.session.serves("VUSK_Client_TaskRegisterRead"):
            raise PluginError("vusk_threadx: this plugin does not read thread registers")
        task = self._thread_address(argument.strip())
        gdb.write("Registers of %s (0x%x), %s:\n" % (
            self._task_text("VUSK_Client_TaskNameGet", task), task,
            self._task_text("VUSK_Client_TaskStatusGet", task)))
        for name, width, parts in registers.registers:
            value = 0
            for part in parts:
                answer = self.session.call("VUSK_Client_TaskRegisterRead", {
                    "context": CONTEXT_HANDLE, "taskId": task, "register": part.number})
                if answer.get("return") != 0 or not isinstance(answer.get("value"), int):
                    value = None
                    break
                value |= (answer["value"] & 0xFFFFFFFF) << part.shift
            digits = (width + 3) // 4
            text = NO_VALUE if value is None else "0x%0*x" % (digits, value & ((1 << width) - 1))
            gdb.write("%-8s %s\n" % (name, text))

    def record(self, argument):
        argument = argument.strip()
        if not argument:
            raise gdb.GdbError("usage: threadx record FILE | off")
        if argument == "off":
            path = self.session.stop_recording()
            gdb.write("Record written to %s.\n" % path if path else "Not recording.\n")
            return
        try:
            self.session.record(os.path.abspath(os.path.expanduser(argument)))
        except PluginError as e:
            raise gdb.GdbError(str(e))
        gdb.write("Recording the plugin conversation to %s (the plugin restarts).\n" % argument)


class _InnermostFrame:
    def __enter__(self):
        try:
            self.selected = gdb.selected_frame()
            gdb.newest_frame().select()
        except gdb.error:
            self.selected = None      # no program: there are no frames
        return self

    def __exit__(self, *exc):
        if self.selected is not None and self.selected.is_valid():
            self.selected.select()
        return False


class _KindCommand(gdb.Command):
    def __init__(self, extension, kind):
        self.__doc__ = "Lists the ThreadX %s." % kind.title
        super().__init__("threadx " + kind.command, gdb.COMMAND_DATA)
        self.extension, self.kind = extension, kind

    def invoke(self, argument, from_tty):
        self.extension.run(lambda: self.extension.show_kind(self.kind))


class _SimpleCommand(gdb.Command):
    def __init__(self, extension, name, doc, action):
        self.__doc__ = doc
        super().__init__("threadx " + name, gdb.COMMAND_DATA)
        self.extension, self.action = extension, action

    def invoke(self, argument, from_tty):
        self.extension.run(lambda: self.action(argument))


class _RecordCommand(gdb.Command):
    """threadx record FILE: writes the plugin conversation as a record file
    (vusk_threadx -file FILE plays it back); threadx record off: stops."""

    def __init__(self, extension):
        super().__init__("threadx record", gdb.COMMAND_DATA, gdb.COMPLETE_FILENAME)
        self.extension = extension

    def invoke(self, argument, from_tty):
        self.extension.record(argument)
