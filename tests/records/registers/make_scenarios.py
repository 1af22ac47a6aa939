#!/usr/bin/env python3
"""Writes the host scenarios of the register records (one JSON file per
record) and the user configuration directories some of them name.

Remake the records after a change on purpose (from this directory: the
recorded debugger reports user configuration directories relative to it,
and ctest plays every record in its own directory):

    cd tests/records/registers
    ./make_scenarios.py
    for s in *.json; do ../../../tools/scripted_host.py "$s" -o "${s%.json}.rec" --check; done

Read every PLUGIN line of a remade record before committing it.
"""

import json
import os
import struct

HERE = os.path.dirname(os.path.abspath(__file__))

EVAL = "VUSK_Service_ExpressionEval"
COMMAND = "VUSK_Service_CommandExec"
LOOKUP = "VUSK_Service_SymbolLookup"
MEMORY = "VUSK_Service_MemoryRead"
REGISTER = "VUSK_Service_RegisterRead"

CURRENT = 0x20000400


def req(method, **params):
    params.setdefault("context", 1)
    return {"method": "VUSK_Client_" + method, "params": params}


def read(thread, register):
    return req("TaskRegisterRead", taskId=thread, register=register)


def number(match, value, times=None):
    rule = {"method": EVAL, "match": match, "result": {"return": 0, "output": value}}
    if times is not None:
        rule["times"] = times
    return rule


def fail(method, match=None, times=None):
    rule = {"method": method, "error": {"code": -1, "message": "cannot evaluate"}}
    if match is not None:
        rule["match"] = match
    if times is not None:
        rule["times"] = times
    return rule


def found(times=1):
    """A symbol look-up that finds the symbol (look-ups carry no text to match)."""
    return {"method": LOOKUP, "times": times, "result": {"return": 0, "address": 0x20000100, "storageClass": 2}}


def stack(thread, sp):
    return number("(struct TX_THREAD_STRUCT *)0x%x)->tx_thread_stack_ptr" % thread, sp)


def frame(size, words, big_endian=False, interrupt=False):
    """A frame of size bytes: the kind word at 0, then {offset: 32-bit word}."""
    data = bytearray(size)
    fmt = ">I" if big_endian else "<I"
    struct.pack_into(fmt, data, 0, 1 if interrupt else 0)
    for offset, value in words.items():
        struct.pack_into(fmt, data, offset, value)
    return data


def memory(frame_bytes, flag_size=4):
    """The two reads of a suspended thread's frame: its kind word, then the frame."""
    return [{"method": MEMORY, "times": 1, "result": {"return": 0, "value": frame_bytes[:flag_size].hex()}},
            {"method": MEMORY, "times": 1, "result": {"return": 0, "value": frame_bytes.hex()}}]


def live(value, times=1):
    return {"method": REGISTER, "times": times, "result": {"return": 0, "value": value}}


def settings(user_dir=None):
    rules = [{"method": COMMAND, "match": "__debugFlag TxVuskUsePhySpace",
              "result": {"return": 0, "output": "TxVuskUsePhySpace = off"}}]
    if user_dir is None:
        rules.append(fail(COMMAND, "__user_cfg_dir"))
    else:
        rules.append({"method": COMMAND, "match": "__user_cfg_dir",
                      "result": {"return": 0, "output": user_dir + "\r\n"}})
    return rules


def session(major, minor, **target):
    params = {"majorCpuType": major, "minorCpuType": minor, "bigEndianTarget": 0, "bigEndianHost": 0}
    params.update(target)
    return [req("VuskInit", versionRequired=2), req("TargetInit", **params)]


END = [req("TargetCleanup"), req("VuskCleanup"), {"method": "VUSK_Client_Exit", "params": {}}]
# Kernels without _tx_build_options: every look-up fails.
NO_OPTIONS = [fail(LOOKUP)]
RUNNING = [number("(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr", CURRENT)]


def write(name, requests, rules):
    scenario = {"requests": requests, "rules": rules,
                "default": {"error": {"code": -32601, "message": "no scripted answer"}}}
    with open(os.path.join(HERE, name + ".json"), "w", encoding="utf-8") as f:
        json.dump(scenario, f, indent=1)
        f.write("\n")


def write_database(directory, text):
    path = os.path.join(HERE, directory, "os_aware")
    os.makedirs(path, exist_ok=True)
    with open(os.path.join(path, "threadx_fm.odb"), "w", encoding="utf-8") as f:
        f.write(text)


def small_entry(name, major, minor_line, table, extra=""):
    return ("    %s {\n        cpumajor = %d\n%s%s        regtbl = \"%s\"\n"
            "        interrupt_flag { offset = 0 size = 4 }\n"
            "        register_save_format { solicited { size = 16 offset = 0 } interrupt { size = 16 offset = 0 } }\n"
            "    }\n") % (name, major, minor_line, extra, table)


def one_register_table(name, offset):
    return ("%s { r1 { regnum = 1 solicited { regsize = 4 offset = %d } interrupt { regsize = 4 offset = %d } } }\n"
            % (name, offset, offset))


# ---- Records -----------------------------------------------------------------

def solicited_frame():
    # ARM7/ARM9-style frames (CPU 24): type, CPSR, r4-r11, lr.
    thread, sp = 0x20001000, 0x20003f00
    words = {4: 0x60000010, 40: 0x08000abd}
    words.update({8 + 4 * (r - 4): 0x40 + r for r in range(4, 12)})
    requests = session(24, 0) + [read(thread, r) for r in (4, 11, 15, 14, 0, 12, 13, 16)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(thread, sp)] + memory(frame(44, words))
    write("solicited_frame", requests, rules)


def interrupt_frame():
    # Type, CPSR, r0-r12, lr, pc.
    thread, sp = 0x20001200, 0x20004e00
    words = {4: 0x80000030, 60: 0x08000501, 64: 0x08000620}
    words.update({8 + 4 * r: 0x100 + r for r in range(13)})
    requests = session(24, 0) + [read(thread, r) for r in (0, 3, 12, 14, 15, 16, 13)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(thread, sp)] + memory(frame(68, words, interrupt=True))
    write("interrupt_frame", requests, rules)


def frame_read_once():
    # Two registers of a thread read its frame once; another thread reads
    # its own; coming back to the first reads it again (one frame is kept).
    first, second = 0x20001000, 0x20001400
    requests = session(24, 0) + [read(first, 4), read(first, 5), read(second, 4), read(first, 6)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(first, 0x20003f00), stack(second, 0x20005f00)]
    rules += memory(frame(44, {8: 0x1004, 12: 0x1005, 16: 0x1006}))
    rules += memory(frame(44, {8: 0x2004}))
    rules += memory(frame(44, {8: 0x3004, 12: 0x3005, 16: 0x3006}))
    write("frame_read_once", requests, rules)


def running_live():
    # The running thread's registers are the CPU's: the plain register read,
    # with fromDebugger set while a thread's register is read.
    requests = session(24, 0) + [read(CURRENT, 15), read(CURRENT, 13), read(CURRENT, 2)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [live(0x08000100), live(0x20000ff0), fail(REGISTER, times=1)]
    write("running_live", requests, rules)


def missing_register_live():
    # Register 40 has no place in the ARM frames: it is read from the CPU
    # without looking at the thread's stack.
    requests = session(24, 0) + [read(0x20001000, 40)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [live(0x4040)]
    write("missing_register_live", requests, rules)


def big_endian():
    # PowerPC (CPU 16/7), big-endian: an interrupt frame and a solicited one.
    preempted, waiting = 0x00a01000, 0x00a02000
    interrupt = frame(144, {4: 0x00012340, 8: 0x0002b030, 28: 0xa0a0a0a0, 72: 0x0e0e0e0e},
                      big_endian=True, interrupt=True)
    solicited = frame(84, {4: 0x22000088, 8: 0x00015678, 12: 0x14141414}, big_endian=True)
    requests = session(16, 7, bigEndianTarget=1)
    requests += [read(preempted, r) for r in (0, 14, 32, 33, 1)]
    requests += [read(waiting, r) for r in (14, 32, 3, 1, 2)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(preempted, 0x00b00000), stack(waiting, 0x00b01000)]
    rules += memory(interrupt) + memory(solicited) + [live(0x00c00000)]
    write("big_endian", requests, rules)


def floating_point():
    # A database entry with a floating-point layout: threads whose
    # tx_thread_fp_enable is set saved the larger frame.
    write_database("user_cfg/fp",
                   "# The floating-point record's CPU.\n"
                   "threadx_vusk_cpu {\n"
                   "    fpu_cpu {\n"
                   "        cpumajor = 60\n"
                   "        fp_flag = \"tx_thread_fp_enable\"\n"
                   "        regtbl = \"regs_int\"\n"
                   "        regtbl_fp = \"regs_fp\"\n"
                   "        interrupt_flag { offset = 0 size = 4 }\n"
                   "        register_save_format { solicited { size = 16 offset = 0 } interrupt { size = 16 offset = 0 } }\n"
                   "        interrupt_flag_fp { offset = 0 size = 4 }\n"
                   "        register_save_format_fp { solicited { size = 32 offset = 0 } interrupt { size = 32 offset = 0 } }\n"
                   "    }\n"
                   "}\n"
                   "regs_int {\n"
                   "    r1 { regnum = 1 solicited { regsize = 4 offset = 4 } interrupt { regsize = 4 offset = 4 } }\n"
                   "}\n"
                   "regs_fp {\n"
                   "    r1 { regnum = 1  solicited { regsize = 4 offset = 20 } interrupt { regsize = 4 offset = 20 } }\n"
                   "    f0 { regnum = 64 solicited { regsize = 4 offset = 4 }  interrupt { regsize = 4 offset = 4 } }\n"
                   "}\n")
    with_fp, without_fp = 0x20001000, 0x20001400
    requests = session(60, 0) + [read(with_fp, 1), read(with_fp, 64), read(without_fp, 1), read(without_fp, 64)] + END
    rules = settings("user_cfg/fp") + NO_OPTIONS + RUNNING
    rules += [number("0x20001000)->tx_thread_fp_enable", 1), number("0x20001400)->tx_thread_fp_enable", 0)]
    rules += [stack(with_fp, 0x20003f00), stack(without_fp, 0x20005f00)]
    rules += memory(frame(32, {4: 0xf0f0f0f0, 20: 0x11111111}))
    rules += memory(frame(16, {4: 0x22222222})) + [live(0x64646464)]
    write("floating_point", requests, rules)


def build_options():
    # The kernel's build options choose between two entries of one CPU.
    write_database("user_cfg/build_options",
                   "threadx_vusk_cpu {\n" +
                   small_entry("with_option", 61, "", "regs_option",
                               "        buildopt = 0x10\n        buildoptmask = 0x30\n") +
                   small_entry("other_kernels", 61, "", "regs_other") +
                   "}\n" + one_register_table("regs_option", 4) + one_register_table("regs_other", 8))
    thread = 0x20001000
    requests = session(61, 0)
    # Before the first thread exists the options are open: no layout yet.
    requests += [read(thread, 1)]
    # Options 0x13: 0x13 AND 0x30 is 0x10, the first entry.
    requests += [read(thread, 1)]
    # A new target whose kernel has options 0x21: the first entry is skipped.
    requests += [req("TargetCleanup"), req("TargetInit", majorCpuType=61, minorCpuType=0, bigEndianTarget=0,
                                            bigEndianHost=0), read(thread, 1)] + END
    rules = settings("user_cfg/build_options") + [found(3)]
    rules += [number("(int)_tx_thread_created_count", 0, times=1), number("(int)_tx_thread_created_count", 4)]
    rules += [number("(int)_tx_build_options", 0x13, times=1), number("(int)_tx_build_options", 0x21)]
    rules += RUNNING + [stack(thread, 0x20003f00)]
    rules += memory(frame(16, {4: 0x10101010, 8: 0x20202020}))
    rules += memory(frame(16, {4: 0x10101010, 8: 0x20202020}))
    write("build_options", requests, rules)


def minor_lists():
    # cpuminor as a list, as 255, and a list holding -1.
    write_database("user_cfg/cpuminor",
                   "threadx_vusk_cpu {\n" +
                   small_entry("listed", 62, "        cpuminor = { 5, 7 }\n", "regs_listed") +
                   small_entry("any_255", 62, "        cpuminor = 255\n", "regs_any_255") +
                   small_entry("any_in_list", 63, "        cpuminor = { -1, 3 }\n", "regs_any_in_list") +
                   "}\n" + one_register_table("regs_listed", 4) + one_register_table("regs_any_255", 8) +
                   one_register_table("regs_any_in_list", 12))
    thread = 0x20001000
    requests = session(62, 7) + [read(thread, 1), req("VuskCmd_Execute", command="cpuminor 9"), read(thread, 1),
                                 req("VuskCmd_Execute", command="cpumajor 63"), read(thread, 1)] + END
    words = {4: 0x44444444, 8: 0x88888888, 12: 0xcccccccc}
    rules = settings("user_cfg/cpuminor") + NO_OPTIONS + RUNNING + [stack(thread, 0x20003f00)]
    rules += memory(frame(16, words)) * 3
    write("minor_lists", requests, rules)


def notify_and_command():
    # A halt notice drops the cached frame and current thread; another notice
    # keeps them; a CPU command drops the layout (and the frame read for it).
    thread = 0x20001000
    requests = session(24, 0) + [read(thread, 4), req("TargetNotify", notice=0), read(thread, 4),
                                 req("TargetNotify", notice=1), read(thread, 5),
                                 req("VuskCmd_Execute", command="cpumajor 16"), read(thread, 14)] + END
    rules = settings() + NO_OPTIONS
    rules += [number("(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr", CURRENT, times=1),
              number("(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr", 0x20000800)]
    rules += [number("(struct TX_THREAD_STRUCT *)0x20001000)->tx_thread_stack_ptr", 0x20003f00, times=1),
              stack(thread, 0x20003e00)]
    rules += memory(frame(44, {8: 0x0404}))
    rules += memory(frame(44, {8: 0x4404, 12: 0x4405}))
    rules += memory(frame(408, {72: 0x0e0e}, interrupt=True))
    write("notify_and_command", requests, rules)


def user_directory():
    # The installed database serves CPU 14/40 (ARMv6-M); the user's copy
    # names another register block for that entry, which wins.
    write_database("user_cfg/override",
                   "# Overrides the installed cortex_m_v6m entry's register block.\n"
                   "threadx_vusk_cpu.cortex_m_v6m.regtbl = \"regs_cortex_m_user\"\n"
                   "regs_cortex_m_user {\n"
                   "    r0 { regnum = 0 solicited { regsize = 4 offset = 4 } interrupt { regsize = 4 offset = 4 } }\n"
                   "}\n")
    thread = 0x20001000
    requests = session(14, 40) + [read(thread, 0), read(thread, 15)] + END
    rules = settings("user_cfg/override") + NO_OPTIONS + RUNNING + [stack(thread, 0x20003f00)]
    rules += memory(frame(68, {4: 0x0badcafe, 36: 0x36363636, 60: 0x08000400}))
    rules += [live(0x08000800)]
    write("user_directory", requests, rules)


def smp():
    # MIPS (CPU 10/3) with two cores: the running thread is read from its own
    # core; a thread on a core the kernel does not have answers 1.
    running, waiting, elsewhere = 0x80001000, 0x80002000, 0x80003000
    requests = session(10, 3, coreCount=2, coreIdList=[1, 2])
    requests += [read(running, 31), read(running, 29), read(waiting, 31), read(elsewhere, 31)] + END
    rules = settings() + NO_OPTIONS
    rules += [number("$number_of_vpe = ", 2)]
    rules += [number("0x80001000)->tx_thread_mips32_mapped_vpe", 1),
              number("0x80002000)->tx_thread_mips32_mapped_vpe", 0),
              number("0x80003000)->tx_thread_mips32_mapped_vpe", 2)]
    rules += [number("_tx_thread_current_ptr[1]", running), number("_tx_thread_current_ptr[0]", 0x80000800)]
    rules += [live(0x9fc00010), live(0x80007ff0), stack(waiting, 0x80006000)]
    rules += memory(frame(56, {48: 0x9fc00200}))
    write("smp", requests, rules)


def nested_host_calls():
    # The debugger calls in while the plugin waits for a frame: a CPU change
    # drops the layout the read started with, a cleanup drops the target.
    # Each read finishes on what it began with.
    thread = 0x20001000
    requests = session(24, 0) + [read(thread, 4), read(thread, 5)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(thread, 0x20003f00)]
    solicited = frame(44, {8: 0x0404})
    rules += [{"method": MEMORY, "times": 1, "before": [req("VuskCmd_Execute", command="cpumajor 16")],
               "result": {"return": 0, "value": solicited[:4].hex()}},
              {"method": MEMORY, "times": 1, "result": {"return": 0, "value": solicited.hex()}}]
    interrupt = frame(408, {40: 0x0505}, interrupt=True)
    rules += [{"method": MEMORY, "times": 1, "result": {"return": 0, "value": interrupt[:4].hex()}},
              {"method": MEMORY, "times": 1, "before": [req("TargetCleanup")],
               "result": {"return": 0, "value": interrupt.hex()}}]
    write("nested_host_calls", requests, rules)


def old_format():
    # A database written before frames could name their floating-point
    # layout: the Cortex-M entry as it shipped then (under a major of its own,
    # so that the installed file does not add to it). Every thread follows the
    # integer layout whatever its EXC_RETURN says, the stack pointer ignores
    # the xPSR alignment pad, and the register numbers that are floating-point
    # registers today have no block, so they are read from the CPU.
    write_database("user_cfg/old_format",
                   "# A Cortex-M entry in the format without fp_frame_flag.\n"
                   "threadx_vusk_cpu {\n"
                   "    old_cortex_m {\n"
                   "        cpumajor = 64\n"
                   "        cpuminor = { 40, 41, 42, 43 }\n"
                   "        regtbl = \"regs_old_cortex_m\"\n"
                   "        interrupt_flag { offset = 0 size = 4 }\n"
                   "        register_save_format {\n"
                   "            solicited { size = 68 offset = 0 }\n"
                   "            interrupt { size = 68 offset = 0 }\n"
                   "        }\n"
                   "    }\n"
                   "}\n"
                   "regs_old_cortex_m {\n" +
                   "".join("    r%d { regnum = %d solicited { regsize = 4 offset = %d } "
                           "interrupt { regsize = 4 offset = %d } }\n" % (r, r, o, o)
                           for r, o in [(0, 36), (1, 40), (2, 44), (3, 48)] +
                           [(r, 4 * (r - 3)) for r in range(4, 12)] + [(12, 52)]) +
                   "    sp { regnum = 13 solicited { regsize = 0x2000 offset = 68 } "
                   "interrupt { regsize = 0x2000 offset = 68 } }\n"
                   "    lr { regnum = 14 solicited { regsize = 4 offset = 56 } interrupt { regsize = 4 offset = 56 } }\n"
                   "    pc { regnum = 15 solicited { regsize = 4 offset = 60 } interrupt { regsize = 4 offset = 60 } }\n"
                   "    xpsr { regnum = 16 solicited { regsize = 4 offset = 64 } interrupt { regsize = 4 offset = 64 } }\n"
                   "}\n")
    integer, extended = 0x20001000, 0x20001400
    int_words = {0: 0xfffffffd, 36: 0x30303030, 52: 0x12121212, 56: 0x00004949, 60: 0x0000151a, 64: 0x61000200}
    int_words.update({4 * (r - 3): 0x40404000 + r for r in range(4, 12)})
    # An extended frame: s16-s31 lie where the integer frame keeps r4-r11.
    fp_words = {0: 0xffffffed, 4: 0x42e80000, 32: 0x42f60000, 60: 0x42fe0000, 64: 0x43000000}
    requests = session(64, 42) + [read(integer, r) for r in (0, 4, 11, 12, 13, 14, 15, 16, 17, 33, 49)]
    requests += [read(extended, r) for r in (4, 11, 13, 15, 16, 17)] + END
    rules = settings("user_cfg/old_format") + NO_OPTIONS + RUNNING
    rules += [stack(integer, 0x20003f00), stack(extended, 0x20005f00)]
    rules += memory(frame(68, int_words)) + [live(0x11111111), live(0x22222222), live(0x33333333)]
    rules += memory(frame(68, fp_words)) + [live(0x44444444)]
    write("old_format", requests, rules)


def float_bits(value):
    return struct.unpack("<I", struct.pack("<f", value))[0]


def cortex_m_frames():
    # The installed database's Cortex-M entries. On ARMv7E-M (14/42) each
    # frame's EXC_RETURN chooses the integer (68 bytes) or the floating-point
    # layout (204 bytes), read with one word and one frame per thread; xPSR
    # bit 9 puts sp 4 higher; a thread without floating-point context has no
    # s0-s31 or FPSCR (the reads fail), and a register in neither table (50)
    # is the CPU's. Then the same frame on ARMv6-M (r8-r11 below r4-r7) and
    # on ARMv8-M baseline, whose frames show no values.
    integer, extended = 0x20001000, 0x20001400
    int_words = {0: 0xfffffffd, 36: 0xa0, 52: 0xac, 56: 0x4949, 60: 0x151a, 64: 0x61000200}
    int_words.update({4 * (r - 3): 0x40 + r for r in range(4, 12)})
    fp_words = {0: 0xffffffed, 100: 0xa0, 116: 0xac, 120: 0x4949, 124: 0x151a, 128: 0x61000000, 196: 0x10,
                200: 0xefefefef}
    fp_words.update({4 + 4 * (i - 16): float_bits(100.0 + i) for i in range(16, 32)})
    fp_words.update({68 + 4 * (r - 4): 0x40 + r for r in range(4, 12)})
    fp_words.update({132 + 4 * i: float_bits(100.0 + i) for i in range(16)})
    requests = session(14, 42) + [read(integer, r) for r in (0, 4, 11, 13, 15, 16, 17, 49, 50)]
    requests += [read(extended, r) for r in (0, 4, 11, 13, 15, 16, 17, 32, 33, 48, 49)]
    requests += [req("VuskCmd_Execute", command="cpuminor 40")] + [read(integer, r) for r in (4, 8, 13)]
    requests += [req("VuskCmd_Execute", command="cpuminor 44"), read(integer, 15)] + END
    rules = settings() + NO_OPTIONS + RUNNING + [stack(integer, 0x20003f00), stack(extended, 0x20005f00)]
    rules += memory(frame(68, int_words)) + [live(0x50505050)] + memory(frame(204, fp_words))
    rules += memory(frame(68, int_words)) * 2
    write("cortex_m_frames", requests, rules)


if __name__ == "__main__":
    solicited_frame()
    interrupt_frame()
    frame_read_once()
    running_live()
    missing_register_live()
    big_endian()
    floating_point()
    build_options()
    minor_lists()
    notify_and_command()
    user_directory()
    smp()
    nested_host_calls()
    old_format()
    cortex_m_frames()
