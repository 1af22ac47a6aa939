#!/usr/bin/python3
"""GDB through vusk-gdbproxy on the real ThreadX kernels of ../shared/targets.

    real_test.py TARGET [ELF...]        e.g. real_test.py cortex-m3 scenario-O0.elf

For each program: QEMU runs it to scenario_stop, GDB (batch, then GDB/MI)
connects through the proxy, and the test checks against what GDB itself
reads from the kernel's control blocks in the same session (its own walk
of _tx_thread_created_ptr in Python, not the plugin's):

- every thread is a GDB thread, named as tx_thread_name says (unnamed
  ones by their address), the running one is the one that stopped;
- each suspended thread's registers are those of the frame it saved,
  decoded here by the layout of the targets' README (Cortex-M3/M4/M7/M33
  integer frame), and its backtrace ends in the entry function that
  scenario.c gives it; "thread apply all bt" covers every thread;
- GDB/MI -thread-info lists the same threads; continue, an interrupt and a
  step work; stepping a suspended thread and writing its registers are
  refused with the proxy's reason.

Environment: VUSK_BUILD_DIR (build/vusk-gdbproxy and the plugin in it).
"""

import json
import os
import re
import select
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tests", "real"))

import targets  # noqa: E402

SKIP = 77
BUILD = os.environ.get("VUSK_BUILD_DIR", os.path.join(SOURCE, "build"))
PROXY = os.path.join(BUILD, "vusk-gdbproxy")
GDB_SECONDS = 240
MI_SECONDS = 30
START_SECONDS = 30
# Threads whose entry function has returned or never ran: their stack is
# the kernel's thread shell only.
SHELL_ONLY = ("completed", "never_started")
TIMER_THREAD = "System Timer Thread"
TIMER_ENTRY = "_tx_timer_thread_entry"
SHELL = "_tx_thread_shell_entry"
M_CORE = ["r%d" % i for i in range(13)] + ["sp", "lr", "pc", "xpsr"]
# The saved frames of the Cortex-M ports (README, "Saved frames of the
# Cortex-M ports"): register -> byte offset from tx_thread_stack_ptr, and the
# frame's size (the thread's sp is the frame's end, 4 more when the stacked
# xPSR has bit 9 set). EXC_RETURN at offset 0 tells the extended frame of a
# thread that used the FPU (bit 4 clear) from the integer frame.
_HARDWARE = (("r0", 0), ("r1", 4), ("r2", 8), ("r3", 12), ("r12", 16), ("lr", 20), ("pc", 24), ("xpsr", 28))
M3_FRAME = (dict([("r%d" % (4 + i), 4 + 4 * i) for i in range(8)] + [(n, 36 + o) for n, o in _HARDWARE]), 68)
M0_FRAME = (dict([("r%d" % (8 + i), 4 + 4 * i) for i in range(4)] + [("r%d" % (4 + i), 20 + 4 * i) for i in range(4)]
                 + [(n, 36 + o) for n, o in _HARDWARE]), 68)
FP_FRAME = (dict([("r%d" % (4 + i), 68 + 4 * i) for i in range(8)] + [(n, 100 + o) for n, o in _HARDWARE]), 204)
FRAME_READ_BYTES = 204
EXC_RETURN_STANDARD_FRAME = 1 << 4

GDB_SCRIPT = r"""
import json
import gdb

def walk():
    head = gdb.parse_and_eval("_tx_thread_created_ptr")
    count = int(gdb.parse_and_eval("_tx_thread_created_count"))
    out, t = [], head
    inferior = gdb.selected_inferior()
    for _ in range(count):
        name = t["tx_thread_name"]
        stack = int(t["tx_thread_stack_ptr"])
        try:
            frame = inferior.read_memory(stack, 204).tobytes()
        except gdb.MemoryError:
            frame = inferior.read_memory(stack, 68).tobytes()
        out.append({"address": int(t), "name": name.string("latin-1") if int(name) else None,
                    "state": int(t["tx_thread_state"]), "stack": stack, "frame": frame.hex()})
        t = t["tx_thread_created_next"]
    return out

truth = walk()
current = int(gdb.parse_and_eval("_tx_thread_current_ptr"))
stopped_thread = gdb.selected_thread()
shown = []
for thread in sorted(gdb.selected_inferior().threads(), key=lambda t: t.num):
    thread.switch()
    frame = gdb.newest_frame()
    registers = {}
    for name in NAMES:
        try:
            registers[name] = int(frame.read_register(name)) & 0xFFFFFFFF
        except (gdb.error, ValueError):
            registers[name] = None
    try:
        bt = gdb.execute("bt 40", to_string=True)
    except gdb.error as e:
        bt = "error: %s" % e
    shown.append({"num": thread.num, "id": thread.ptid[1], "name": thread.name, "details": thread.details,
                  "registers": registers, "bt": bt})
everything = gdb.execute("thread apply all bt 40", to_string=True)
stopped_thread.switch()
print("@@@" + json.dumps({"truth": truth, "current": current, "shown": shown, "all_bt": everything}))
"""
# The GDB extension's tables at the same stop, for threadx-view to match.
VIEWS = ("threads", "timers", "semaphores", "queues", "event-flags", "block-pools", "byte-pools", "mutexes",
         "current", "registers sleeper")
MARK = "@@@view "


def scenario_source():
    with open(os.path.join(targets.TARGETS_DIR, "src", "scenario.c"), encoding="latin-1") as f:
        return f.read()


def services_called(source):
    """Entry function -> the kernel services its body calls ("thread_sleep"
    for tx_thread_sleep(...)), from scenario.c."""
    calls = {}
    for m in re.finditer(r"static void (\w+_entry)\(ULONG \w+\)\s*\{", source):
        depth, i = 1, m.end()
        while depth and i < len(source):
            depth += {"{": 1, "}": -1}.get(source[i], 0)
            i += 1
        calls[m.group(1)] = set(re.findall(r"\btx_(\w+)\s*\(", source[m.end():i]))
    return calls


def entry_functions(source):
    """Thread name -> entry function, from scenario.c."""
    macros = {m.group(1): m.group(2).encode("latin-1").decode("unicode_escape").encode("latin-1").decode("latin-1")
              for m in re.finditer(r'#define\s+(\w+)\s+"((?:[^"\\]|\\.)*)"', source)}
    entries = {}
    for m in re.finditer(r'create_thread\(&\w+,\s*("(?:[^"\\]|\\.)*"|\w+),\s*(\w+),', source):
        name, entry = m.group(1), m.group(2)
        if name.startswith('"'):
            name = name[1:-1]
        elif name == "TX_NULL":
            name = None
        else:
            name = macros[name]
        entries[name] = entry
    if "extra_entry" in source:
        entries["extra_"] = "extra_entry"          # extra_000 ... (the "many" builds)
    entries[TIMER_THREAD] = TIMER_ENTRY            # the kernel's own (README: #0 of the list)
    return entries


def frame_functions(bt):
    """Function names of a backtrace, innermost first."""
    names = []
    for line in bt.splitlines():
        m = re.match(r"#\d+\s+(?:0x[0-9a-f]+ in )?(\S+) \(", line)
        if m:
            names.append(m.group(1))
        elif "<signal handler called>" in line:
            names.append("<signal handler called>")
    return names


class Checks:
    """Counts the checks of one program and collects the failures."""

    def __init__(self, label):
        self.label = label
        self.failures = []
        self.count = 0

    def check(self, ok, what):
        self.count += 1
        if not ok:
            self.failures.append(what)


def run_gdb(target, elf, proxy_socket):
    """The kernel's state and what GDB shows, through the proxy; and the
    GDB extension's tables at the same stop."""
    args = [target.gdb, "-nx", "-batch", "-ex", "set pagination off", "-ex", "set width 0",
            "-ex", "set confirm off", "-ex", "target remote " + proxy_socket, "-ex", "break scenario_stop",
            "-ex", "continue"]
    with tempfile.NamedTemporaryFile("w", suffix=".py", delete=False) as f:
        f.write("NAMES = %r\n" % M_CORE + GDB_SCRIPT)
        script = f.name
    extension = ["-ex", "source " + os.path.join(SOURCE, "host", "gdb", "vusk_gdb.py"),
                 "-ex", "set threadx plugin " + os.path.join(BUILD, "vusk_threadx")]
    for view in VIEWS:
        extension += ["-ex", "echo %s%s\\n" % (MARK, view), "-ex", "threadx " + view]
    try:
        done = subprocess.run(args + ["-ex", "source " + script] + extension + ["-ex", "echo %send\\n" % MARK,
                                                                              "-ex", "disconnect", elf],
                              capture_output=True, timeout=GDB_SECONDS, stdin=subprocess.DEVNULL)
    finally:
        os.unlink(script)
    text = done.stdout.decode("utf-8", errors="replace")
    line = next((l for l in text.splitlines() if l.startswith("@@@{")), None)
    if line is None:
        raise AssertionError("GDB did not get through:\n%s\n%s" % (text, done.stderr.decode(errors="replace")))
    state = json.loads(line[3:])
    state["tables"], name = {}, None
    for line in text.splitlines(keepends=True):
        if line.startswith(MARK):
            name = line[len(MARK):].strip()
            state["tables"][name] = ""
        elif name is not None:
            state["tables"][name] += line
    return state


def check_view(checks, elf, server_socket, state):
    """threadx-view, straight to the GDB server, prints what the GDB
    extension printed at this stop."""
    for view in VIEWS:
        done = subprocess.run([os.path.join(BUILD, "threadx-view"), "--elf", elf, "--remote", server_socket,
                               "--keep-halted"] + view.split(), capture_output=True, timeout=GDB_SECONDS,
                              stdin=subprocess.DEVNULL)
        got = done.stdout.decode("utf-8", errors="replace")
        want = state["tables"].get(view)
        checks.check(done.returncode == 0 and got == want,
                     "threadx-view %s (status %d) differs from the GDB extension:\n%s\n---\n%s%s"
                     % (view, done.returncode, want, got, done.stderr.decode(errors="replace")))


def decode_frame(layout, data, stack):
    offsets, size = layout
    if len(data) < size:
        return None
    words = {name: int.from_bytes(data[offset:offset + 4], "little") for name, offset in offsets.items()}
    words["sp"] = stack + size + (4 if words["xpsr"] & (1 << 9) else 0)
    return words


def true_layout(target, data):
    """The frame the port saved, by the README's tables."""
    if target.name == "cortex-m0":
        return M0_FRAME
    exc_return = int.from_bytes(data[:4], "little")
    return M3_FRAME if exc_return & EXC_RETURN_STANDARD_FRAME else FP_FRAME


def reaches_entry(functions, entry, calls, optimised):
    """Whether a backtrace ends in the thread's entry function, under the
    kernel's thread shell. Optimised code may leave the entry function by a
    tail call into the kernel service it ends with: then the service's
    frame (_tx_NAME or _txe_NAME) sits right under the shell instead."""
    tail = [f for f in functions if f != "<signal handler called>"]
    if entry in tail:
        return all(f == SHELL for f in tail[tail.index(entry) + 1:])
    if not optimised or SHELL not in tail or tail.index(SHELL) == 0:
        return False
    above = tail[tail.index(SHELL) - 1]
    return any(above in ("_tx_" + name, "_txe_" + name) for name in calls.get(entry, ()))


def check_session(checks, target, state, entries, calls, optimised):
    truth = state["truth"]
    by_address = {t["address"]: t for t in truth}
    shown = {s["id"]: s for s in state["shown"]}
    checks.check(sorted(shown) == sorted(by_address),
                 "GDB's threads are the kernel's: %s vs %s" % (sorted(shown), sorted(by_address)))
    for address, t in by_address.items():
        s = shown.get(address)
        if s is None:
            continue
        label = t["name"] or "0x%x" % address
        want_name = t["name"].encode("latin-1").decode("utf-8") if t["name"] else "0x%08x" % address
        checks.check(s["name"] == want_name, "%s: named %r" % (label, s["name"]))
        running = address == state["current"]
        checks.check(("Executing" in (s["details"] or "")) == running, "%s: details %r" % (label, s["details"]))
        data = bytes.fromhex(t["frame"])
        want = decode_frame(true_layout(target, data), data, t["stack"])
        if not running:
            wrong = [n for n in M_CORE if want is None or s["registers"].get(n) != want[n]]
            checks.check(not wrong, "%s: registers %s differ from its saved frame" % (label, ", ".join(wrong)))
        functions = frame_functions(s["bt"])
        key = t["name"] if t["name"] in entries else ("extra_" if (t["name"] or "").startswith("extra_")
                                                       else t["name"])
        entry = entries.get(key)
        if t["name"] in SHELL_ONLY:
            # The shell ends a thread whose entry returned by suspending it,
            # a tail call in optimised code.
            ok = SHELL in functions or (optimised and "_tx_thread_system_suspend" in functions)
        else:
            ok = entry is not None and reaches_entry(functions, entry, calls, optimised)
        checks.check(ok, "%s: backtrace %s does not end in %s" % (label, functions, entry or SHELL))
    for s in state["shown"]:
        checks.check("Thread %d (" % s["num"] in state["all_bt"], "thread apply all bt misses thread %d" % s["num"])


class MI:
    def __init__(self, target, elf):
        self.proc = subprocess.Popen([target.gdb, "-nx", "-q", "--interpreter=mi2", elf], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        self.pending = b""

    def command(self, text, until=b"^"):
        self.proc.stdin.write(text.encode() + b"\n")
        self.proc.stdin.flush()
        return self.wait(until)

    def wait(self, until):
        deadline = time.monotonic() + MI_SECONDS
        lines = []
        while time.monotonic() < deadline:
            while b"\n" in self.pending:
                line, self.pending = self.pending.split(b"\n", 1)
                line = line.decode("utf-8", errors="replace")
                lines.append(line)
                if line.startswith(until.decode()):
                    return line, lines
            ready, _, _ = select.select([self.proc.stdout], [], [], 0.1)
            if ready:
                chunk = os.read(self.proc.stdout.fileno(), 65536)
                if not chunk:
                    break
                self.pending += chunk
        raise AssertionError("GDB/MI: no %r; got:\n%s" % (until, "\n".join(lines[-20:])))

    def close(self):
        try:
            self.proc.stdin.write(b"-gdb-exit\n")
            self.proc.stdin.flush()
            self.proc.wait(10)
        except (OSError, subprocess.TimeoutExpired):
            self.proc.kill()
            self.proc.wait()


def mi_string(text):
    """A GDB/MI C string's contents (octal escapes are bytes) as text."""
    raw = re.sub(rb"\\([0-7]{3}|.)", lambda m: bytes([int(m.group(1), 8)]) if len(m.group(1)) == 3 else
                 {b"n": b"\n", b"t": b"\t"}.get(m.group(1), m.group(1)), text.encode("latin-1"))
    return raw.decode("utf-8", errors="replace")


def check_mi(checks, target, elf, proxy_socket, state):
    """-thread-info, continue, interrupt, step, and what is refused."""
    names = sorted(s["name"] for s in state["shown"])
    running = next(s for s in state["shown"] if "Executing" in (s["details"] or ""))
    suspended = next(s for s in state["shown"] if s["details"] and "Suspended" in s["details"])
    mi = MI(target, elf)
    try:
        for command in ("-gdb-set mi-async on", "-gdb-set pagination off", "-target-select remote " + proxy_socket):
            mi.command(command)
        line, _ = mi.command("-thread-info")
        listed = sorted(mi_string(n) for n in re.findall(r',name="((?:[^"\\]|\\.)*)"', line))
        checks.check(listed == names, "-thread-info lists %d threads, GDB batch %d" % (len(listed), len(names)))
        line, _ = mi.command("-thread-select %d" % suspended["num"])
        line, _ = mi.command("-data-evaluate-expression \"$r0 = 5\"")
        checks.check(line.startswith("^error") and "suspended" in line, "writing r0 of a suspended thread: " + line)
        mi.command("-exec-step-instruction")
        stopped, lines = mi.wait(b"*stopped")
        refused = any("suspended ThreadX thread cannot be stepped" in l for l in lines)
        checks.check(refused, "stepping a suspended thread: %s" % "\n".join(lines[-5:]))
        mi.command("-thread-select %d" % running["num"])
        mi.command("-exec-step-instruction")
        stopped, lines = mi.wait(b"*stopped")
        checks.check('reason="end-stepping-range"' in stopped, "stepping the running thread: " + stopped)
        mi.command("-exec-continue")
        time.sleep(0.5)
        mi.command("-exec-interrupt")
        stopped, lines = mi.wait(b"*stopped")
        checks.check('signal-name="SIGINT"' in stopped and 'thread-id="' in stopped, "interrupt: " + stopped)
        line, _ = mi.command("-thread-info")
        checks.check(line.startswith("^done,threads=[{"), "-thread-info after the interrupt: " + line[:200])
    finally:
        mi.close()


def run_program(target, elf_name, entries, calls):
    checks = Checks("%s/%s" % (target.name, elf_name))
    elf = target.elf(elf_name)
    with target.stopped(elf_name) as stop, tempfile.TemporaryDirectory(prefix="vusk_real_") as scratch:
        listen = os.path.join(scratch, "proxy.sock")
        log_path = os.path.join(scratch, "proxy.log")
        with open(log_path, "w") as log:
            proxy = subprocess.Popen([PROXY, "--elf", elf, "--remote", stop.socket_path, "--listen", listen],
                                     stderr=log, stdin=subprocess.DEVNULL)
            try:
                deadline = time.monotonic() + START_SECONDS
                while not os.path.exists(listen):
                    if time.monotonic() > deadline or proxy.poll() is not None:
                        raise AssertionError("the proxy did not start")
                    time.sleep(0.05)
                state = run_gdb(target, elf, listen)
                check_session(checks, target, state, entries, calls, "-Os" in elf_name)
                check_view(checks, elf, stop.socket_path, state)
                check_mi(checks, target, elf, listen, state)
            finally:
                proxy.terminate()
                proxy.wait(10)
        with open(log_path) as f:
            log_text = f.read()
        checks.check("Traceback" not in log_text and "Sanitizer" not in log_text,
                     "the proxy's log shows a fault:\n" + log_text)
    return checks


def main(argv):
    if len(argv) < 2:
        print("usage: real_test.py TARGET [ELF...]")
        return 2
    target = targets.find(argv[1])
    reason = target.missing() or (None if os.access(PROXY, os.X_OK) else "%s is not built" % PROXY)
    if reason is None:
        try:
            import elftools  # noqa: F401
        except ImportError:
            reason = "python3-pyelftools is not installed (make test installs it)"
    if reason:
        print("SKIP: %s" % reason)
        return SKIP
    source = scenario_source()
    entries, calls = entry_functions(source), services_called(source)
    failed = []
    for elf_name in argv[2:] or target.elfs:
        began = time.monotonic()
        checks = run_program(target, elf_name, entries, calls)
        print("%s: %d checks, %d failures, %.1f s" % (
            checks.label, checks.count, len(checks.failures), time.monotonic() - began))
        failed += ["%s: %s" % (checks.label, f) for f in checks.failures]
    for line in failed:
        print("FAIL " + line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
