"""vuskhost: the debugger side of the vusk_threadx plugin protocol, for GDB.

Modules without GDB (wire, channel, session, services, template, arch,
catalogue) run under a plain Python 3 as well, which is how the unit tests
use them; gdb_target and commands need GDB's embedded Python.
"""
