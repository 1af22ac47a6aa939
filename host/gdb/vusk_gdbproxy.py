#!/usr/bin/python3
"""vusk-gdbproxy: ThreadX threads as GDB threads, for any GDB server.

    vusk-gdbproxy --remote HOST:PORT --listen PORT --elf FW.elf
    (gdb) target remote :PORT

--remote is the GDB server (HOST:PORT, :PORT, or a Unix socket path);
--listen the port GDB connects to (PORT on 127.0.0.1, HOST:PORT, or a
Unix socket path). The proxy serves one GDB connection at a time, for as
long as it runs (--once: the first only). Diagnostics go to standard
error. See README.md beside this file.

Needs python3-pyelftools (Debian); the modules live in vuskhost/ beside
this file.
"""

import argparse
import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from vuskhost import rsp, standalone  # noqa: E402
from vuskhost.proxy import Proxy  # noqa: E402


def parse_arguments(argv):
    parser = argparse.ArgumentParser(prog="vusk-gdbproxy",
                                     description="ThreadX threads as GDB threads, between GDB and a GDB server.")
    standalone.add_common_options(parser)
    parser.add_argument("--remote", required=True, help="the GDB server: HOST:PORT, :PORT or a Unix socket path")
    parser.add_argument("--listen", required=True, help="where GDB connects: PORT, HOST:PORT or a Unix socket path")
    parser.add_argument("--once", action="store_true", help="end after the first GDB connection")
    return parser.parse_args(argv)


def main(argv=None):
    options = parse_arguments(sys.argv[1:] if argv is None else argv)
    proxy = Proxy(options)
    try:
        listener = rsp.listen(options.listen)
    except (OSError, ValueError) as e:
        standalone.log("vusk-gdbproxy: cannot listen on %s: %s\n" % (options.listen, getattr(e, "strerror", None) or e))
        return 1
    standalone.log("vusk-gdbproxy: listening on %s for GDB, server %s\n" % (options.listen, options.remote))
    try:
        proxy.serve(listener, once=options.once)
    except KeyboardInterrupt:
        pass
    finally:
        listener.close()
        if "/" in options.listen and os.path.exists(options.listen):
            os.unlink(options.listen)          # our Unix socket
    return 0


if __name__ == "__main__":
    sys.exit(main())
