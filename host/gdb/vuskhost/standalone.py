"""What the tools without GDB (vusk_gdbproxy.py, threadx_view.py) share:
the program file with its check for the kernel's debug information, the
plugin's command line, the target set-up it is given, and the options
for all of that.

The plugin is found as --plugin says, else as VUSK_THREADX_PLUGIN says
(the wrapper scripts of the build tree and of an installation set it to
the plugin beside them), else on PATH.
"""

import os
import shutil
import sys

from . import arch, dwarf
from .session import PluginError, Session

PLUGIN_NAME = "vusk_threadx"
PLUGIN_ENVIRONMENT = "VUSK_THREADX_PLUGIN"
DEFAULT_TIMEOUT_SECONDS = 10

# What every view needs of the program, and what each kind of object adds.
THREAD_SYMBOLS = ("_tx_thread_created_ptr", "_tx_thread_created_count", "_tx_thread_current_ptr")
THREAD_TYPES = (("struct", "TX_THREAD_STRUCT"),)
KIND_NEEDS = {
    "timers": (("_tx_timer_created_ptr", "_tx_timer_created_count"), (("struct", "TX_TIMER_STRUCT"),)),
    "semaphores": (("_tx_semaphore_created_ptr", "_tx_semaphore_created_count"),
                   (("struct", "TX_SEMAPHORE_STRUCT"),)),
    "queues": (("_tx_queue_created_ptr", "_tx_queue_created_count"), (("struct", "TX_QUEUE_STRUCT"),)),
    "event-flags": (("_tx_event_flags_created_ptr", "_tx_event_flags_created_count"),
                    (("struct", "TX_EVENT_FLAGS_GROUP_STRUCT"),)),
    "block-pools": (("_tx_block_pool_created_ptr", "_tx_block_pool_created_count"),
                    (("struct", "TX_BLOCK_POOL_STRUCT"),)),
    "byte-pools": (("_tx_byte_pool_created_ptr", "_tx_byte_pool_created_count"),
                   (("struct", "TX_BYTE_POOL_STRUCT"),)),
    "mutexes": (("_tx_mutex_created_ptr", "_tx_mutex_created_count"), (("struct", "TX_MUTEX_STRUCT"),)),
}


class ToolError(Exception):
    """Shown to the user as it stands; the tool ends with status 1."""


def log(text):
    sys.stderr.write(text)
    sys.stderr.flush()


def add_common_options(parser):
    parser.add_argument("--elf", required=True, help="the program running on the target (with debug information)")
    parser.add_argument("--plugin", help="the vusk_threadx executable (default: beside this tool, else on PATH)")
    parser.add_argument("--config-dir", help="the user configuration directory given to the plugin")
    parser.add_argument("--cpu-type", nargs="+", metavar="N",
                        help="CPU type given to the plugin: MAJOR [MINOR] (default: from the program)")
    parser.add_argument("--timeout", type=float, default=DEFAULT_TIMEOUT_SECONDS,
                        help="seconds to wait for each plugin message")


def load_program(path):
    """The program's types and symbols. Raises ToolError."""
    try:
        return dwarf.DwarfTypes(path)
    except dwarf.ElfError as e:
        raise ToolError(str(e))


def missing_debug_info(types, kinds=()):
    """What the views of kinds (and the thread views) need that the program
    does not describe, as ["symbol _tx_thread_current_ptr", ...]."""
    symbols, tags = list(THREAD_SYMBOLS), list(THREAD_TYPES)
    for kind in kinds:
        more = KIND_NEEDS.get(kind)
        if more:
            symbols += more[0]
            tags += more[1]
    if not types.has_debug_info:
        return ["any (the file has none: build it with -g)"]
    return types.missing(symbols, tags)


def missing_message(types, missing):
    return "%s lacks the debug information the ThreadX views need: %s" % (types.path, ", ".join(missing))


def plugin_argv(explicit=None):
    path = explicit or os.environ.get(PLUGIN_ENVIRONMENT) or shutil.which(PLUGIN_NAME)
    if not path:
        raise PluginError("vusk_threadx: plugin not found; give --plugin PATH")
    return [os.path.expanduser(path)]


def cpu_type(types, override):
    """(major, minor) sent at target set-up: the override ("MAJOR [MINOR]"
    words), else the program's own."""
    if override:
        try:
            return arch.parse_cpu_type(" ".join(override))
        except (ValueError, TypeError) as e:
            raise ToolError("--cpu-type: %s" % e)
    found = arch.cpu_for_program(types.architecture, types.path)
    if found is None:
        raise ToolError("no CPU type known for architecture %s; give --cpu-type MAJOR MINOR" % types.architecture)
    return found.major, found.minor


def target_params(types, cpu, cores):
    """VUSK_Client_TargetInit members for the program on cores cores."""
    params = {"majorCpuType": cpu[0], "minorCpuType": cpu[1],
              "bigEndianTarget": 1 if types.byte_order == "big" else 0,
              "bigEndianHost": 1 if sys.byteorder == "big" else 0,
              "coreCount": max(1, cores),
              # 8 makes the plugin show addresses whole.
              "cpuAddressSize": types.pointer_size}
    if cores > 1:
        params["coreIdList"] = list(range(1, cores + 1))
    return params


def make_session(debugger, options, cores):
    """A Session with the plugin for debugger; cores() tells the core count
    when the plugin is set up."""
    cpu = cpu_type(debugger.types, options.cpu_type)
    return Session(debugger, lambda: plugin_argv(options.plugin), lambda: options.timeout,
                   lambda: target_params(debugger.types, cpu, cores()), log)
