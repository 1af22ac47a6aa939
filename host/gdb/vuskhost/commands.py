"""GDB commands and settings of the extension.

    threadx threads|timers|semaphores|queues|event-flags|block-pools|
            byte-pools|mutexes            a table of one kind of object
    threadx current                       the running thread (of every core)
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

from . import arch, catalogue, cores, template, views
from .gdb_target import GdbDebugger, default_config_dir, has_fp_registers
from .session import CONTEXT_HANDLE, NOTICE_TARGET_HALTED, PluginError, Session

PLUGIN_NAME = "vusk_threadx"
DEFAULT_TIMEOUT_SECONDS = 10
NO_TARGET = "vusk_threadx: there is no running target; start the program or connect to the target first"
THREAD_ID = 0x54485244          # tx_thread_id of a created thread ("THRD")

_HERE = os.path.dirname(os.path.abspath(__file__))
_SOURCE_ROOT = os.path.normpath(os.path.join(_HERE, "..", "..", ".."))


# ---------------------------------------------------------------- settings

# A "threadx NAME" setting. on_change() runs after a new value is set: the
# plugin asks some settings only once, so a change restarts it.
class _Parameter(gdb.Parameter):
    def __init__(self, name, kind, default, doc, validate=None, on_change=None, describe=None):
        """describe(value): the text `show` gives for a value (default: the
        value itself)."""
        self.__doc__ = doc
        self.set_doc = "Set the " + doc
        self.show_doc = "Show the " + doc
        self.validate = validate
        self.on_change = on_change
        self.describe = describe
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
        return self.shown()

    def shown(self):
        value = self.value
        if self.describe:
            return self.describe(value)
        if isinstance(value, bool):
            return "on" if value else "off"
        return str(value) if value != "" else "(default)"


class _ShowAll(gdb.Command):
    """Shows every threadx setting."""

    def __init__(self, settings):
        super().__init__("show threadx", gdb.COMMAND_DATA, prefix=True)
        self.settings = settings

    def invoke(self, argument, from_tty):
        for parameter in self.settings.all():
            gdb.write("threadx %s: %s\n" % (parameter.short_name, parameter.shown()))


class Settings:
    def __init__(self, restart):
        """restart(): called when a setting that the plugin takes at start-up
        changes."""
        self._m_profile = {}
        gdb.Command("set threadx", gdb.COMMAND_DATA, prefix=True)
        _ShowAll(self)
        self.plugin = _Parameter("plugin", gdb.PARAM_OPTIONAL_FILENAME, "",
                                 "path of the vusk_threadx plugin (empty: the build tree's, else PATH).",
                                 on_change=restart)
        self.cpu_type = _Parameter("cpu-type", gdb.PARAM_STRING, "auto",
                                   "CPU type given to the plugin: \"auto\" (from the architecture) or MAJOR [MINOR].",
                                   arch.parse_cpu_type, restart, self.describe_cpu_type)
        self.config = _Parameter("config-dir", gdb.PARAM_OPTIONAL_FILENAME, "",
                                 "user configuration directory given to the plugin (empty: the per-user default).",
                                 on_change=restart)
        self.timeout = _Parameter("timeout", gdb.PARAM_ZUINTEGER, DEFAULT_TIMEOUT_SECONDS,
                                  "seconds to wait for each plugin message (0: the default).")
        self.cores = _Parameter("core-count", gdb.PARAM_ZUINTEGER, 0,
                                "number of cores of the target (0: as many as the kernel has).",
                                on_change=restart)
        self.core_ids = [1]          # as given to the plugin at its TargetInit
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

    def m_profile(self, name):
        """Whether a 32-bit ARM target is M profile: by the architecture
        name, else an xpsr register in the target's description, else the
        ELF file's build attributes."""
        if not name.startswith("arm"):
            return False
        if arch.is_m_profile_name(name):
            return True
        # Asked at every register request: decided once per program and
        # target (connecting brings the target's description).
        program = gdb.current_progspace().filename
        key = (name, program, gdb.selected_thread() is not None)
        if key not in self._m_profile:
            self._m_profile[key] = self._m_profile_of_target(program)
        return self._m_profile[key]

    @staticmethod
    def _m_profile_of_target(program):
        try:
            names = {r.name for r in gdb.selected_inferior().architecture().registers()}
        except (AttributeError, gdb.error, RuntimeError):
            names = set()
        if "xpsr" in names:
            return True
        return bool(program) and arch.elf_arm_profile(program) == "M"

    def cpu_choice(self):
        """The arch.CpuChoice of the present architecture, or None."""
        name = self.architecture()
        return arch.cpu_for_architecture(name, self.m_profile(name), has_fp_registers())

    def describe_cpu_type(self, value):
        if arch.parse_cpu_type(value) is not None:
            return value
        choice = self.cpu_choice()
        if choice is None:
            return "auto (no CPU type for architecture %s)" % self.architecture()
        return "auto (%d %d: %s)" % (choice.major, choice.minor, choice.label)

    def register_map(self):
        choice = self.cpu_choice()
        return choice.registers if choice else None

    def cpu_type_sent(self):
        """(major, minor) given to the plugin at target set-up."""
        cpu = arch.parse_cpu_type(self.cpu_type.value)
        if cpu is None:
            choice = self.cpu_choice()
            if choice is None:
                raise PluginError("vusk_threadx: no CPU type known for architecture %s; "
                                  "use \"set threadx cpu-type MAJOR MINOR\"" % self.architecture())
            cpu = (choice.major, choice.minor)
        return cpu

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
        cpu = self.cpu_type_sent()
        endian = gdb.execute("show endian", to_string=True)
        self.core_ids = self._core_ids()
        params = {"majorCpuType": cpu[0], "minorCpuType": cpu[1],
                  "bigEndianTarget": 1 if "big endian" in endian else 0,
                  "bigEndianHost": 1 if sys.byteorder == "big" else 0,
                  "coreCount": len(self.core_ids),
                  # The program's pointer size: 8 makes the plugin show addresses whole.
                  "cpuAddressSize": gdb.lookup_type("void").pointer().sizeof}
        if len(self.core_ids) > 1:
            params["coreIdList"] = self.core_ids
        return params

    def _core_ids(self):
        """Host core ids 1 .. N (cores.py): N from the core-count setting,
        else the kernel's own count."""
        kernel = cores.kernel_core_count()
        count = self.cores.value or kernel
        if count < kernel:
            # The plugin refuses a kernel with more cores than it is given.
            raise PluginError("vusk_threadx: the kernel has %d cores, more than \"threadx core-count\" %d"
                              % (kernel, count))
        return list(range(1, count + 1))


# ---------------------------------------------------------------- commands

class Extension:
    def __init__(self):
        self.settings = Settings(lambda: self.session.stop())
        self.debugger = GdbDebugger(self.settings)
        self.session = Session(self.debugger, self.settings.plugin_argv,
                               lambda: max(1, self.settings.timeout.value or DEFAULT_TIMEOUT_SECONDS),
                               self.settings.target_params, gdb.write)
        self._register_commands()
        # Thread names to addresses at this stop (threadx registers NAME):
        # read from the control blocks, or as the plugin listed them when
        # names_from_plugin; None until asked, and again whenever the target
        # may have changed.
        self.thread_names = None
        self.names_from_plugin = False
        for event in (gdb.events.stop, gdb.events.cont, gdb.events.memory_changed, gdb.events.inferior_call,
                      gdb.events.exited, gdb.events.new_objfile, gdb.events.clear_objfiles):
            event.connect(lambda event: self.forget_target_state())
        gdb.events.exited.connect(lambda event: self.session.target_changed())
        gdb.events.new_objfile.connect(self._new_objfile)
        gdb.events.clear_objfiles.connect(lambda event: self.debugger.forget_types())
        if hasattr(gdb.events, "gdb_exiting"):
            gdb.events.gdb_exiting.connect(lambda event: self.shutdown())

    def forget_target_state(self):
        """The target may have changed (it stopped, ran, was written): what
        was read of it is not used again."""
        self.thread_names = None
        self.debugger.forget_target_state()

    def _new_objfile(self, event):
        # Any object file may bring types and symbols.
        self.debugger.forget_types()
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
        if thread is None or not thread.is_valid():
            # Only the ELF file is there: its kernel variables are the
            # zeroed data of the file, no kernel state.
            raise gdb.GdbError(NO_TARGET)
        if thread.is_running():
            raise gdb.GdbError("vusk_threadx: the target is running; stop it first")
        # What was read belongs to this command: the target may have run, or
        # been written, since the last one.
        self.debugger.forget_target_state()
        try:
            with _InnermostFrame():
                self._run(action)
        finally:
            self.debugger.forget_target_state()

    def _run(self, action):
        try:
            self.session.ensure_started()
            self.session.call("VUSK_Client_TargetNotify", {"context": CONTEXT_HANDLE,
                                                            "notice": NOTICE_TARGET_HALTED})
            if self.smp():
                cores.set_current_core_variable()
                self.debugger.forget_target_state()     # what was read of $ variables included
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
                       "(THREAD is a thread name, its address, or a C expression for a TX_THREAD).",
                       extension.show_registers)
        _RecordCommand(extension)

    # ------------------------------------------------------------ actions

    def show_kind(self, kind):
        gdb.write(views.kind_text(kind, views.kind_rows(self.session, kind)))

    def smp(self):
        """Whether the plugin shows several cores: it was given several and
        the kernel has them (a single-core kernel stays single-core, however
        many cores are set)."""
        return len(self.settings.core_ids) > 1 and cores.kernel_core_count() > 1

    def _core_ids(self):
        """The host core ids of an SMP kernel, else None."""
        return self.settings.core_ids if self.smp() else None

    def show_current(self, argument=""):
        gdb.write(views.current_text(views.current_data(self.session, self._core_ids())))

    def _thread_address(self, argument):
        """The control block a user names: a thread's name as the threads
        table shows it, its address, or a C expression for a TX_THREAD (a
        variable, or a pointer to one)."""
        if not argument:
            raise PluginError("usage: threadx registers THREAD (a thread name, address or TX_THREAD expression)")
        # A number is an address, when a thread's control block is there: no
        # name needs reading (an unnamed thread's name is its address).
        address = _thread_expression(argument) if views.address_argument(argument) is not None else None
        if address is None:
            address = self._thread_named(argument)
        if address is None:
            address = _thread_expression(argument)
        if address is None:
            raise PluginError("vusk_threadx: no thread named %s" % argument)
        return address

    def _thread_named(self, name):
        """The thread of that name: the names are listed once per stop; the
        thread found is checked to bear the name still (its control block
        read again), since a target can change without GDB seeing it run (a
        monitor command, non-stop mode), and the names listed again if not."""
        for _ in range(2):
            if self.thread_names is None:
                self.thread_names = views.thread_names_in_blocks(self.debugger) or {}
                self.names_from_plugin = False
            address = self.thread_names.get(name)
            if address is None and not self.names_from_plugin:
                # Perhaps a name the table shows otherwise than the kernel
                # keeps it: the table's names, as the plugin lists them.
                self.thread_names = views.thread_names(self.session)
                self.names_from_plugin = True
                address = self.thread_names.get(name)
            if address is None or _thread_bears_name(address, name, self.debugger.template_target()):
                return address
            self.thread_names = None
        return None

    def show_registers(self, argument):
        registers = self.settings.register_map()
        if registers is None:
            raise PluginError("vusk_threadx: no register names for architecture %s"
                              % self.settings.architecture())
        if not self.session.serves("VUSK_Client_TaskRegisterRead"):
            raise PluginError("vusk_threadx: this plugin does not read thread registers")
        task = self._thread_address(argument.strip())
        # A running thread's registers are the CPU's; on an SMP kernel those
        # of the core that runs it, in the core's own GDB thread.
        core_id = views.core_running(self.session, task, self._core_ids())
        data = views.registers_data(self.session, registers, task, core_id, self.settings.cpu_type_sent())
        gdb.write(views.registers_text(data, registers))

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


def _thread_expression(text):
    """The address of the TX_THREAD a C expression names (a TX_THREAD
    variable, a pointer, or a number whose memory holds a thread), or
    None."""
    try:
        value = gdb.parse_and_eval(text)
        kind = value.type.strip_typedefs()
        if kind.code == gdb.TYPE_CODE_STRUCT:
            if kind.name != views.THREAD_STRUCT or value.address is None:
                return None
            return int(value.address)
        if kind.code == gdb.TYPE_CODE_PTR:
            target = kind.target().strip_typedefs()
            if target.code == gdb.TYPE_CODE_STRUCT and target.name != views.THREAD_STRUCT:
                return None
            address = int(value)
        elif kind.code == gdb.TYPE_CODE_INT:
            address = int(value) & 0xFFFFFFFFFFFFFFFF
        else:
            return None
        thread = gdb.parse_and_eval("((struct %s *) 0x%x)->tx_thread_id" % (views.THREAD_STRUCT, address))
        return address if int(thread) == THREAD_ID else None
    except (gdb.error, gdb.MemoryError, ValueError, OverflowError):
        return None


def _thread_bears_name(address, name, target):
    """Whether a thread's control block lies at address with name as its
    name."""
    try:
        block = gdb.Value(address).cast(gdb.lookup_type("struct " + views.THREAD_STRUCT).pointer()).dereference()
        pointer = int(block["tx_thread_name"])
        return int(block["tx_thread_id"]) == THREAD_ID and pointer != 0 and \
            target.c_string(pointer, template.MAX_STRING_CHARS) == name
    except (gdb.error, template.TemplateError, ValueError, OverflowError):
        return False


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
