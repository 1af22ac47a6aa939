#!/usr/bin/env python3
"""Writes the host scenarios of the ThreadX records (one JSON file per record).

Remake the records after a change on purpose:

    tests/records/threadx/make_scenarios.py
    for s in tests/records/threadx/*.json; do
        tools/scripted_host.py "$s" -o "${s%.json}.rec" --check
    done

Read every PLUGIN line of a remade record before committing it.
"""

import json
import os

HERE = os.path.dirname(os.path.abspath(__file__))

EVAL = "VUSK_Service_ExpressionEval"
STRING = "VUSK_Service_StringEval"
COMMAND = "VUSK_Service_CommandExec"
LOOKUP = "VUSK_Service_SymbolLookup"
MESSAGE = "VUSK_Service_MessageDisplay"

WALK = ["$thl_temp", "$til_temp", "$sl_temp", "$ql_temp", "$efl_temp", "$bll_temp", "$byl_temp", "$ml_temp"]
COUNT = ["_tx_thread_created_count", "_tx_timer_created_count", "_tx_semaphore_created_count",
         "_tx_queue_created_count", "_tx_event_flags_created_count", "_tx_block_pool_created_count",
         "_tx_byte_pool_created_count", "_tx_mutex_created_count"]
PARENT_LIST = {2: "tx_semaphore_suspension_list", 3: "tx_queue_suspension_list",
               4: "tx_event_flags_group_suspension_list", 5: "tx_block_pool_suspension_list",
               6: "tx_byte_pool_suspension_list", 7: "tx_mutex_suspension_list"}


def req(method, **params):
    params.setdefault("context", 1)
    return {"method": "VUSK_Client_" + method, "params": params}


def number(match, value, times=None, exact=False):
    rule = {"method": EVAL, "match": match, "result": {"return": 0, "output": value}}
    if times is not None:
        rule["times"] = times
    if exact:
        rule["exact"] = True
    return rule


def text(match, value, times=None):
    rule = {"method": STRING, "match": match, "result": {"return": 0, "value": value}}
    if times is not None:
        rule["times"] = times
    return rule


def command(match, output, times=None):
    rule = {"method": COMMAND, "match": match, "result": {"return": 0, "output": output}}
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


def session(major=16, minor=7, **target):
    params = {"majorCpuType": major, "minorCpuType": minor, "bigEndianTarget": 0, "bigEndianHost": 0}
    params.update(target)
    return [req("VuskInit", versionRequired=2), req("TargetInit", **params)]


END = [req("TargetCleanup"), req("VuskCleanup"), {"method": "VUSK_Client_Exit", "params": {}}]
SETTINGS = [command("__debugFlag TxVuskUsePhySpace", "TxVuskUsePhySpace = on"),
            fail(COMMAND, "__user_cfg_dir")]
# Symbol look-ups carry no expression, input or command: their rules match
# every look-up.
NOT_SMP = [fail(LOOKUP)]
# Walk steps that succeed unless a scenario says otherwise (last: rules
# before them win).
STEPS = [number("tempcont=1,", 0), number("_created_next", 0), number("tx_thread_suspended_next", 0)]


def write(name, requests, rules):
    scenario = {"requests": requests, "rules": rules,
                "default": {"error": {"code": -32601, "message": "no scripted answer"}}}
    with open(os.path.join(HERE, name + ".json"), "w", encoding="utf-8") as f:
        json.dump(scenario, f, indent=1)
        f.write("\n")


def cont(kind, values):
    """The continue variable of a kind answers values in turn."""
    return [number(WALK[kind] + "cont", v, times=1, exact=True) for v in values]


def lists():
    requests = session()
    rules = SETTINGS + NOT_SMP
    # Threads: empty list, then an unreadable count.
    requests += [req("ObjectListInit", objTypeId=0), req("ObjectListInit", objTypeId=0)]
    rules += [number(COUNT[0], 0, times=1), fail(EVAL, COUNT[0], times=1)]
    # Timers: one object whose next link leads back to the head.
    requests += [req("ObjectListInit", objTypeId=1), req("ObjectListNext", objTypeId=1)]
    rules += [number(COUNT[1], 1)] + cont(1, [0])
    # Semaphores: three counted, the third one's id field overwritten.
    requests += [req("ObjectListInit", objTypeId=2), req("ObjectListNext", objTypeId=2),
                 req("ObjectListNext", objTypeId=2)]
    rules += [number(COUNT[2], 3)] + cont(2, [1, 0])
    # Queues to mutexes: two objects each; a failing step ends the mutex walk.
    for kind in range(3, 8):
        requests += [req("ObjectListInit", objTypeId=kind), req("ObjectListNext", objTypeId=kind),
                     req("ObjectListNext", objTypeId=kind)]
        rules += [number(COUNT[kind], 2)]
        rules += cont(kind, [1, 0]) if kind != 7 else cont(kind, [1])
    rules += [number("$ml_temp = $ml_temp->tx_mutex_created_next", 0, times=1),
              fail(EVAL, "$ml_temp = $ml_temp->tx_mutex_created_next", times=1)]
    # Threads suspended on each parent kind: one thread, then an empty list.
    for parent, field in PARENT_LIST.items():
        ref = {"parentObjTypeId": parent, "parentObjId": 0x4000 + parent * 0x100}
        requests += [req("ObjectListInit", objTypeId=0, **ref), req("ObjectListNext", objTypeId=0, **ref),
                     req("ObjectListInit", objTypeId=0, **ref)]
        head = "0x%x)->%s" % (ref["parentObjId"], field)
        rules += [number(head, 0x2000 + parent, times=1), number(head, 0, times=1)]
    rules += cont(0, [0] * 6)
    # Refused: kind 8, a thread list below a thread, a timer or kind 8; a
    # selector without parentObjId.
    requests += [req("ObjectListInit", objTypeId=8), req("ObjectListNext", objTypeId=8)]
    for parent in (0, 1, 8):
        ref = {"parentObjTypeId": parent, "parentObjId": 0x4000}
        requests += [req("ObjectListInit", objTypeId=0, **ref), req("ObjectListNext", objTypeId=0, **ref)]
    requests += [req("ObjectListInit", objTypeId=0, parentObjTypeId=2)]
    # A timer list asked below a parent walks every timer; its columns fail.
    ref = {"parentObjTypeId": 3, "parentObjId": 0x4300}
    requests += [req("ObjectListInit", objTypeId=1, **ref),
                 req("ObjectListAttribute", objTypeId=1, objAtrId=0, valueType=0, **ref),
                 req("ObjectListCleanup", objTypeId=1, **ref)]
    write("lists", requests + END, rules + STEPS)


# (kind, attribute): the host's answer for that column.
ANSWERS = {
    0: ["main_thread", "0x20001000", "42", None, "16 (16)", "412/1024", "Semaphore sem_1", "N/A", "N/A"],
    1: ["0x20002000", "0x20002000", "100", "200", "0x08001234 <timer_expired>"],
    2: ["sem_1", "0x20003000", "0xffffffff", "2"],
    3: ["queue_1", "0x20004000", "1 ULONG", "3/16", "0"],
    4: ["events", "0x20005000", "0x80000001", "1"],
    5: ["blocks", "0x20006000", "32", "4/10", "0"],
    6: ["bytes", "0x20007000", "1024/4096", "0"],
    7: ["0x20008000", "0x20008000", "4", "1", "2"],
}
# A substring that only the template of (kind, attribute) holds.
MATCHES = {
    0: ["->tx_thread_name", None, "tx_thread_run_count", None, "tx_thread_preempt_threshold",
        "tx_thread_stack_start", "Suspend Call", "N/A", "N/A"],
    1: ["->tx_timer_name", None, "tx_timer_internal_remaining_ticks", "tx_timer_internal_re_initialize_ticks",
        "tx_timer_internal_timeout_function"],
    2: ["->tx_semaphore_name", None, "tx_semaphore_count", "tx_semaphore_suspended_count"],
    3: ["->tx_queue_name", None, "tx_queue_message_size", "tx_queue_capacity", "tx_queue_suspended_count"],
    4: ["->tx_event_flags_group_name", None, "tx_event_flags_group_current",
        "tx_event_flags_group_suspended_count"],
    5: ["->tx_block_pool_name", None, "tx_block_pool_block_size", "tx_block_pool_total",
        "tx_block_pool_suspended_count"],
    6: ["->tx_byte_pool_name", None, "tx_byte_pool_size -", "tx_byte_pool_suspended_count"],
    7: ["->tx_mutex_name", None, "tx_mutex_original_priority", "tx_mutex_ownership_count",
        "tx_mutex_suspended_count"],
}


def attributes():
    requests = session()
    rules = SETTINGS + NOT_SMP
    for kind in range(8):
        requests.append(req("ObjectListInit", objTypeId=kind))
        rules.append(number(COUNT[kind], 1))
        for index, answer in enumerate(ANSWERS[kind]):
            if MATCHES[kind][index]:
                rules.append(text(MATCHES[kind][index], answer))
            for value_type in (0, 11):
                requests.append(req("ObjectListAttribute", objTypeId=kind, objAtrId=index, valueType=value_type))
        requests.append(req("ObjectListAttribute", objTypeId=kind, objAtrId=len(ANSWERS[kind]), valueType=0))
        rules.append(text("print/x " + WALK[kind] + "+0", ANSWERS[kind][1]))
    # The thread's status column: its address, then the status text.
    rules += [number("$thl_temp", 0x20001000, exact=True), text("== 0) {print \"Ready\"}", "Ready")]
    # Signed, 8-bit and floating-point views of the same columns.
    requests += [req("ObjectListAttribute", objTypeId=2, objAtrId=2, valueType=10),
                 req("ObjectListAttribute", objTypeId=2, objAtrId=2, valueType=5),
                 req("ObjectListAttribute", objTypeId=2, objAtrId=2, valueType=2),
                 req("ObjectListAttribute", objTypeId=5, objAtrId=2, valueType=9),
                 req("ObjectListAttribute", objTypeId=3, objAtrId=3, valueType=9)]
    write("attributes", requests + END, rules + STEPS)


def validation():
    requests = session(pliskInValidation=1)
    rules = SETTINGS + NOT_SMP
    for kind in range(8):
        requests.append(req("ObjectListInit", objTypeId=kind, pliskInValidation=1))
        rules.append(number(COUNT[kind], 1))
        for index in (0, 1):
            for value_type in (0, 11):
                requests.append(req("ObjectListAttribute", objTypeId=kind, objAtrId=index, valueType=value_type,
                                    pliskInValidation=1))
    requests.append(req("ObjectListAttribute", objTypeId=0, objAtrId=5, valueType=0, pliskInValidation=1))
    rules += [text("0xlocation", "0xlocation"), text("stack_use/stack_size", "stack_use/stack_size"),
              text("0x%8.8x", "0x20000000"), text("print/x", "0x20000000")]
    write("validation", requests + END, rules + STEPS)


def tasks():
    requests = session()
    rules = SETTINGS + NOT_SMP
    requests += [req("TaskNameGet", taskId=0x20001000), req("TaskNameGet", taskId=0x20002000),
                 req("TaskStatusGet", taskId=0x20001000), req("TaskStatusGet", taskId=0x20002000),
                 req("TaskNameGet")]
    rules += [text("0x20001000)->tx_thread_name", "main_thread"), fail(STRING, "0x20002000)->tx_thread_name"),
              text("0x20001000) == (struct", "Executing"), text("0x20002000) == (struct", "Suspended")]
    write("tasks", requests + END, rules)


def smp():
    requests = session(major=50, minor=0, coreCount=2, coreIdList=[1, 2])
    rules = SETTINGS + [{"method": LOOKUP, "result": {"return": 0}},
                        number("$number_of_vpe", 2)]
    requests += [req("TaskStatusGet", taskId=0x20001000), req("TaskStatusGet", taskId=0x20002000),
                 req("TaskStatusGet", taskId=0x20003000),
                 req("CurrentTaskGet", checkInKernel=0, coreId=2), req("CurrentTaskGet", checkInKernel=0, coreId=2),
                 req("CurrentTaskGet", checkInKernel=0, coreId=1), req("CurrentTaskGet", checkInKernel=0, coreId=3),
                 req("ObjectListInit", objTypeId=0)]
    for index in (5, 7, 8, 5, 8):
        requests.append(req("ObjectListAttribute", objTypeId=0, objAtrId=index, valueType=0))
    rules += [number("0x20001000)->tx_thread_smp_core_mapped", 1),
              number("0x20002000)->tx_thread_smp_core_mapped", 0),
              number("0x20003000)->tx_thread_smp_core_mapped", 2),
              text("0x20001000) == (struct", "Executing on Core 1"),
              text("0x20002000) == (struct", "Ready"),
              number("_tx_thread_current_ptr[1]", 0x20001000), number("_tx_thread_current_ptr[0]", 0x20002000),
              number(COUNT[0], 2), text("tx_thread_stack_start", "128/1024"),
              text("tx_thread_smp_cores_excluded", "0x0"), text("tx_thread_smp_core_mapped", "0x1")]
    write("smp", requests + END, rules + STEPS)


def pool():
    """Sixteen sessions, each call nested in the one before: the sixteenth
    finds every entry taken; a nested call of a session that holds one
    shares it."""
    requests = []
    for context in range(1, 17):
        requests.append(req("VuskInit", context=context))
    rules = [command("__debugFlag TxVuskUsePhySpace", "TxVuskUsePhySpace = on")]
    for context in range(1, 16):
        nested = [req("ObjectListInit", context=context + 1, objTypeId=0)]
        if context == 15:
            nested.append(req("ObjectListInit", context=3, objTypeId=1))
        rule = number(COUNT[0], 0, times=1)
        rule["before"] = nested
        rules.append(rule)
    rules += [{"method": MESSAGE, "result": {"return": 0}}, number(COUNT[1], 0)]
    requests.append(req("ObjectListInit", context=1, objTypeId=0))
    for context in range(1, 17):
        requests.append(req("VuskCleanup", context=context))
    requests.append({"method": "VUSK_Client_Exit", "params": {}})
    write("pool", requests, rules)


def notify():
    requests = session()
    rules = SETTINGS + NOT_SMP
    requests += [req("CurrentTaskGet", checkInKernel=1), req("CurrentTaskGet", checkInKernel=1),
                 req("TargetNotify", notice=1), req("CurrentTaskGet", checkInKernel=1),
                 req("TargetNotify", notice=0), req("CurrentTaskGet", checkInKernel=1),
                 req("TargetNotify", notice=0), req("CurrentTaskGet", checkInKernel=1),
                 req("CurrentTaskGet", checkInKernel=1)]
    rules += [number("_tx_thread_current_ptr", 0x20001000, times=1),
              number("_tx_thread_current_ptr", 0x20002000, times=1),
              number("_tx_thread_current_ptr", 0, times=1), number("_tx_thread_current_ptr", 0x20003000)]
    write("notify", requests + END, rules)


def commands():
    requests = [req("VuskInit"), req("VuskCmd_Execute", command="cpumajor 16"), req("TargetNotify", notice=0),
                req("VuskCmd_Execute", command="cpumajor0")]
    requests += session()[1:]
    for text_ in ("cpumajor16", "cpumajor0", "cpumajor", "cpuminor 5", "cpuminor", "cpu", "help"):
        requests.append(req("VuskCmd_Execute", command=text_))
    requests.append(req("VuskCmd_Execute"))
    write("commands", requests + END, SETTINGS + NOT_SMP)


def phys_space():
    # Fails twice (asked again each time), then "= off"; a second session
    # then asks nothing.
    requests = session() + [req("TargetInit", majorCpuType=16, minorCpuType=7, bigEndianTarget=0, bigEndianHost=0),
                            req("VuskInit", context=2),
                            req("TargetInit", context=2, majorCpuType=16, minorCpuType=7, bigEndianTarget=0,
                                bigEndianHost=0),
                            req("TargetCleanup", context=2), req("VuskCleanup", context=2)]
    rules = [fail(COMMAND, "TxVuskUsePhySpace", times=2),
             command("TxVuskUsePhySpace", "debug flag TxVuskUsePhySpace = off (default)\n"),
             fail(COMMAND, "__user_cfg_dir")] + NOT_SMP
    write("phys_space_off", requests + END, rules)
    rules = [command("TxVuskUsePhySpace", "TxVuskUsePhySpace: physical\n"),
             command("__user_cfg_dir", "/nonexistent/vusk_user_cfg\r\n")] + NOT_SMP
    write("phys_space_on", session() + END, rules)


def wide_ids():
    """Control blocks above 4 GiB on a 64-bit target: the texts that show an
    address (an unnamed object's name, "Suspended on") show it whole."""
    thread, parent = 0x100002000, 0x100003000
    requests = session(major=50, minor=0, cpuAddressSize=8)
    rules = SETTINGS + NOT_SMP
    requests += [req("ObjectListInit", objTypeId=0)]
    for index, value_type in ((1, 0), (1, 11), (1, 10), (3, 0), (0, 0), (6, 0)):
        requests.append(req("ObjectListAttribute", objTypeId=0, objAtrId=index, valueType=value_type))
    requests += [req("ObjectListInit", objTypeId=0, parentObjTypeId=7, parentObjId=parent),
                 req("TaskNameGet", taskId=thread), req("TaskStatusGet", taskId=thread),
                 req("CurrentTaskGet", checkInKernel=1), req("CurrentTaskGet", checkInKernel=1)]
    rules += [number(COUNT[0], 1), number("$thl_tempcont=1", 0), text("print/x $thl_temp+0", "0x100002000"),
              number("$thl_temp", thread, exact=True), text("0x100002000) == (struct", "Ready"),
              text("$thl_temp->tx_thread_name", "0x0000000100002000"),
              text("(unsigned long long)$thl_temp->tx_thread_suspend_control_block", "Mutex 0x100003000"),
              number("0x100003000)->tx_mutex_suspension_list", thread),
              text("0x100002000)->tx_thread_name", "worker"),
              number("(struct TX_THREAD_STRUCT *)_tx_thread_current_ptr", thread)]
    write("wide_ids", requests + END, rules + STEPS)


if __name__ == "__main__":
    lists()
    attributes()
    validation()
    tasks()
    smp()
    pool()
    notify()
    commands()
    phys_space()
    wide_ids()
