"""GDB extension for ThreadX targets through the vusk_threadx plugin.

    (gdb) source host/gdb/vusk_gdb.py
    (gdb) threadx threads

The modules live in vuskhost/ next to this file; see README.md.
"""

import os
import sys

_HERE = os.path.dirname(os.path.abspath(__file__))
if _HERE not in sys.path:
    sys.path.insert(0, _HERE)

from vuskhost import commands  # noqa: E402

if "vusk_threadx_extension" not in globals():
    vusk_threadx_extension = commands.Extension()
