"""Sourced in GDB at the fixture's stop, after the extension: the value
model against GDB's own evaluator (value_model_check), on every text the
plugin sends for every view, and on texts of C's corners where a model
over gdb.Value could part from GDB's evaluator (integer promotions, the
usual arithmetic conversions, pointer arithmetic, assignments undone
before a text falls back to GDB's parser).

Prints "MISMATCH: ...", "FALLBACK: ..." and last "CHECKED n" lines.
"""

import os
import sys

import gdb

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import value_model_check  # noqa: E402

VIEWS = ("threads", "timers", "semaphores", "queues", "event-flags", "block-pools", "byte-pools", "mutexes",
         "current", "registers producer", "registers 0x10000320")

CORNERS = (
    # Integer promotions and the usual arithmetic conversions.
    "(unsigned char)200 + (unsigned char)100",
    "(unsigned char)255 == (char)-1",
    "-1 < (UINT)0",
    "(long)-1 < (UINT)1",
    "(short)-3 * (unsigned short)2",
    "~(unsigned char)0",
    "-(unsigned short)1",
    "+(UCHAR)7",
    "!(UCHAR)0",
    "(UCHAR)1 << 9",
    "(ULONG64)1 << 63 >> 63",
    "-7 >> 1",
    "7 / -2",
    "7 % -2",
    "10u - 11",
    "(long long)5 / 2",
    "0x80000000",
    "2147483648",
    "0xffffffffffffffff",
    "'A' + 1",
    "(_Bool)1 == (_Bool)1",
    "(double)3 / 2",
    "$eflags & 0x200",
    # Pointers, arrays, functions.
    "&fixture.threads[2] - &fixture.threads[0]",
    "(char *)&fixture.threads[1] - (char *)&fixture.threads[0]",
    "fixture.threads + 1",
    "1 + fixture.threads",
    "fixture.threads == &fixture.threads[0]",
    "&fixture.threads[1] > &fixture.threads[0]",
    "_tx_thread_created_ptr != 0",
    "timer_tick_expiry + 0",
    "fixture.threads[0].tx_thread_name[0]",
    "fixture.threads[1].tx_thread_name",
    "*fixture.threads[1].tx_thread_name",
    "(ULONG)fixture.threads[1].tx_thread_suspend_control_block",
    "fixture.threads[1].tx_thread_timer.tx_timer_internal_list_head",
    "fixture_high->tx_semaphore_count",
    "((struct TX_SEMAPHORE_STRUCT *)fixture_high)->tx_semaphore_name",
    "(char *)$sp + 1",
    "$pc",
    "sizeof(struct TX_THREAD_STRUCT)",
    "sizeof(_tx_thread_created_ptr) / sizeof(*_tx_thread_created_ptr)",
    "sizeof fixture.threads",
    # Logic, conditions, sequences.
    "_tx_thread_created_ptr && _tx_thread_created_ptr->tx_thread_id == 0x54485244",
    "0 || fixture.threads[3].tx_thread_state",
    "_tx_thread_created_ptr ? 1 : 2",
    "(1, 2)",
    "$vusk_a = (unsigned char)7, $vusk_a + $vusk_a",
    "$vusk_p = &fixture.threads[0], $vusk_p = $vusk_p->tx_thread_created_next, $vusk_p->tx_thread_state",
    # Faults: the model hands these to GDB, which fails (or answers) as ever;
    # an assignment made before the fault is made once.
    "$vusk_n = 1",
    "$vusk_n = $vusk_n + 1, no_such_symbol_anywhere",
    "$vusk_n",
    "*(ULONG *)0",
    "1 / 0",
    "fixture.threads[0].no_such_member",
)


def main():
    extension = sys.modules["__main__"].vusk_threadx_extension
    check = value_model_check.CrossCheck(extension)
    for view in VIEWS:
        gdb.execute("threadx " + view, to_string=True)
    for text in CORNERS:
        check.compare(text)
    check.remove()
    for line in check.mismatches:
        print("MISMATCH: " + line)
    for text in check.fallbacks:
        print("FALLBACK: " + text)
    print("CHECKED %d" % check.checked)


main()
