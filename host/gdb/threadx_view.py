#!/usr/bin/python3
"""threadx-view: the ThreadX tables of a target, without GDB.

    threadx-view --elf FW.elf --remote HOST:PORT threads|timers|semaphores|queues|
                 event-flags|block-pools|byte-pools|mutexes|current
    threadx-view --elf FW.elf --remote HOST:PORT registers THREAD
    options: --json  --keep-halted  --plugin PATH  --config-dir DIR  --cpu-type MAJOR [MINOR]

It connects to the GDB server (QEMU's stub, OpenOCD, a J-Link server, any
other; HOST:PORT or a Unix socket path), halts the target when it runs,
prints the same tables as the GDB commands ("threadx threads" ...) and
detaches, which lets the target run on; --keep-halted leaves it halted
(the connection is closed without detaching). Status 0 when the table
was printed, 1 otherwise, with the reason on standard error.

Needs python3-pyelftools (Debian); the modules live in vuskhost/ beside
this file.
"""

import argparse
import json
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from vuskhost import catalogue, remote, rsp, standalone, views  # noqa: E402
from vuskhost.dwarf_target import Cores, DwarfDebugger, LiveTarget, Settings, kernel_cores  # noqa: E402
from vuskhost.services import DebuggerError  # noqa: E402
from vuskhost.session import CONTEXT_HANDLE, NOTICE_TARGET_HALTED, PluginError  # noqa: E402
from vuskhost.standalone import ToolError  # noqa: E402

CONNECT_SECONDS = 10.0
VIEWS = tuple(kind.command for kind in catalogue.KINDS) + ("current", "registers")


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="threadx-view", description="ThreadX tables of a target, without GDB.")
    standalone.add_common_options(parser)
    parser.add_argument("--remote", required=True, help="the GDB server: HOST:PORT, :PORT or a Unix socket path")
    parser.add_argument("--json", action="store_true", help="write the table as JSON")
    parser.add_argument("--keep-halted", action="store_true", help="leave the target halted afterwards")
    parser.add_argument("view", choices=VIEWS, help="what to show")
    parser.add_argument("thread", nargs="?", help="registers: a thread name or control block address")
    options = parser.parse_args(argv)
    if options.view == "registers" and not options.thread:
        parser.error("registers needs a THREAD (a name or an address)")
    return options


def thread_address(session, debugger, argument):
    # An address needs no walk over every thread's name.
    address = views.address_argument(argument)
    if address is None:
        address = views.thread_by_name(session, argument)
    if address is not None:
        return address
    try:
        return debugger.evaluate(argument)
    except DebuggerError:
        raise ToolError("no thread named %s" % argument)


def show(options, session, debugger, core_count):
    """(text, data) of the asked view."""
    kind = catalogue.find_kind(options.view)
    if kind is not None:
        rows = views.kind_rows(session, kind)
        return views.kind_text(kind, rows), views.kind_data(kind, rows)
    core_ids = list(range(1, core_count + 1)) if core_count > 1 else None
    if options.view == "current":
        data = views.current_data(session, core_ids)
        return views.current_text(data), data
    registers = debugger.register_map()
    if registers is None:
        raise ToolError("no register names for architecture %s" % debugger.types.architecture)
    task = thread_address(session, debugger, options.thread)
    core_id = views.core_running(session, task, core_ids)
    cpu = standalone.cpu_type(debugger.types, options.cpu_type)
    data = views.registers_data(session, registers, task, core_id, cpu)
    json_data = dict(data, registers={name: value for name, width, value in data["registers"]})
    return views.registers_text(data, registers), json_data


def run(options):
    types = standalone.load_program(options.elf)
    missing = standalone.missing_debug_info(types, [options.view])
    if missing:
        raise ToolError(standalone.missing_message(types, missing))
    try:
        sock = rsp.connect(options.remote, CONNECT_SECONDS)
    except (OSError, ValueError) as e:
        raise ToolError("cannot connect to %s: %s" % (options.remote, getattr(e, "strerror", None) or e))
    link = rsp.Link(sock, "the GDB server", standalone.log)
    target = remote.RemoteTarget(link, types.regions, log=standalone.log)
    session = None
    try:
        attached = remote.attach(target)
        cores = Cores(target, kernel_cores(types))
        cores.stopped = remote.stop_thread(attached.stop)
        live = LiveTarget(target, types.byte_order, cores)
        live.core = cores.core_of(cores.stopped)
        debugger = DwarfDebugger(types, live, Settings(options.config_dir), standalone.log)
        session = standalone.make_session(debugger, options, cores.count)
        session.ensure_started()
        session.call("VUSK_Client_TargetNotify", {"context": CONTEXT_HANDLE, "notice": NOTICE_TARGET_HALTED})
        text, data = show(options, session, debugger, cores.count())
        sys.stdout.write(json.dumps(data, indent=2, ensure_ascii=False) + "\n" if options.json else text)
        sys.stdout.flush()
        if not options.keep_halted:
            target.request(b"D")      # servers let the target run when a client detaches
        elif attached.interrupted:
            standalone.log("threadx-view: the target stays halted\n")
    except (remote.TargetError, rsp.LinkClosed) as e:
        raise ToolError("the GDB server: %s" % e)
    except PluginError as e:
        raise ToolError(str(e))
    finally:
        if session is not None:
            session.stop()
        link.close()
        types.close()


def main(argv=None):
    options = parse_arguments(sys.argv[1:] if argv is None else argv)
    try:
        run(options)
    except ToolError as e:
        standalone.log("threadx-view: %s\n" % e)
        return 1
    except KeyboardInterrupt:
        return 130
    return 0


if __name__ == "__main__":
    sys.exit(main())
