"""The real ThreadX kernels beside the repository, as test targets.

    import targets
    for target in targets.TARGETS:
        reason = target.missing()          # None, or why this machine cannot run it
        with target.stopped("scenario-O0.elf") as stop:
            subprocess.run([target.gdb, "-nx", "-batch"] + stop.gdb_args() + [...])

The kernels live in ../shared/targets (VUSK_TARGETS overrides it); they
are used in place, never copied. Each runs the same scenario program and
stops at `scenario_stop`. QEMU targets are started halted with their GDB
stub on a Unix socket of their own (no port to collide with a parallel
test); native Linux targets are started by GDB itself. `stop.gdb_args()`
is the list of GDB -ex arguments that brings a fresh GDB to the stop.

A test that needs a target it cannot run exits with SKIP (77) and says
why: ctest shows it as skipped, not passed.

    run = checked_session(target, "scenario-O0.elf", plugin, checker, scratch, env)

runs a GDB Python checker at the stop with the extension and the plugin,
recording the plugin conversation, and plays the record back.
"""

import contextlib
import os
import re
import shutil
import signal
import subprocess
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.normpath(os.path.join(HERE, "..", ".."))
TARGETS_DIR = os.environ.get("VUSK_TARGETS") or os.path.normpath(os.path.join(SOURCE, "..", "shared", "targets"))
SKIP = 77
# Longest wait for QEMU to open its GDB socket.
QEMU_START_SECONDS = 10.0
EXTENSION = os.path.join(SOURCE, "host", "gdb", "vusk_gdb.py")
GDB_SECONDS = 240
PLAYBACK_SECONDS = 60
CHECKED = re.compile(r"^CHECKED .*failures=(\d+)$", re.M)


class Target:
    def __init__(self, name, launcher, gdb, elfs, smp=False):
        """launcher: the QEMU program run.sh starts, or None for a native
        program; gdb: the GDB that debugs it."""
        self.name, self.launcher, self.gdb_name, self.elfs, self.smp = name, launcher, gdb, elfs, smp

    @property
    def directory(self):
        return os.path.join(TARGETS_DIR, self.name)

    @property
    def native(self):
        return self.launcher is None

    @property
    def gdb(self):
        return shutil.which(self.gdb_name) or self.gdb_name

    def elf(self, name):
        return os.path.join(self.directory, name)

    def missing(self):
        """None when this machine can run the target, else the reason."""
        if not os.path.isdir(TARGETS_DIR):
            return "the real kernels are not here: %s does not exist (set VUSK_TARGETS)" % TARGETS_DIR
        if not os.path.isdir(self.directory):
            return "target %s not found in %s" % (self.name, TARGETS_DIR)
        for program in filter(None, (self.launcher, self.gdb_name)):
            if shutil.which(program) is None:
                return "%s is not installed (make test installs it)" % program
        if self.native and os.uname().machine != "x86_64":
            return "%s runs on x86-64 Linux only" % self.name
        return None

    @contextlib.contextmanager
    def stopped(self, elf_name):
        """A Stop for one run of the scenario; QEMU is killed afterwards."""
        elf = self.elf(elf_name)
        if self.native:
            yield Stop(self, elf, None)
            return
        with tempfile.TemporaryDirectory(prefix="vusk_qemu_") as scratch:
            socket_path = os.path.join(scratch, "gdb.sock")
            started = subprocess.run([os.path.join(self.directory, "run.sh"), "unix:" + socket_path, elf],
                                     capture_output=True, text=True, stdin=subprocess.DEVNULL)
            if started.returncode != 0:
                raise RuntimeError("%s/run.sh failed: %s" % (self.name, started.stderr.strip()))
            pid = int(started.stdout.split()[0])
            try:
                deadline = time.monotonic() + QEMU_START_SECONDS
                while not os.path.exists(socket_path):
                    if time.monotonic() > deadline:
                        raise RuntimeError("%s: QEMU opened no GDB socket" % self.name)
                    time.sleep(0.02)
                yield Stop(self, elf, socket_path)
            finally:
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)


class Stop:
    """One started scenario: how a GDB gets to scenario_stop."""

    def __init__(self, target, elf, socket_path):
        self.target, self.elf, self.socket_path = target, elf, socket_path

    def commands(self):
        common = ["set pagination off", "set confirm off", "set width 0", "set height 0"]
        if self.socket_path is None:
            return common + _plain_scheduling() + [
                "handle SIGUSR1 nostop noprint pass", "handle SIGUSR2 nostop noprint pass",
                "break scenario_stop", "run"]
        return common + ["target remote " + self.socket_path, "break scenario_stop", "continue"]

    def gdb_args(self):
        args = []
        for command in self.commands():
            args += ["-ex", command]
        return args


def _plain_scheduling():
    """GDB commands that start a native kernel without the right to real-time
    scheduling. Run by root, the Linux ports put every thread under
    SCHED_FIFO, pinned to host CPU 0: on a machine shared with other tests
    their busy loops then starve everything else on that CPU, and a run that
    gets stuck spins there until it is killed. Without CAP_SYS_NICE the port
    falls back to plain scheduling, which leaves the same kernel state at
    the stop (../shared/targets/README.md)."""
    if os.geteuid() != 0 or shutil.which("setpriv") is None:
        return []
    return ["set exec-wrapper setpriv --bounding-set=-sys_nice --inh-caps=-sys_nice"]


_ARM = "qemu-system-arm"
TARGETS = (
    Target("cortex-m3", _ARM, "gdb-multiarch",
           ("scenario-O0.elf", "scenario-Os.elf", "scenario-many-O0.elf", "scenario-many-Os.elf")),
    Target("cortex-m4f", _ARM, "gdb-multiarch", ("scenario-O0.elf", "scenario-Os.elf")),
    Target("cortex-m7", _ARM, "gdb-multiarch", ("scenario-O0.elf", "scenario-Os.elf")),
    Target("cortex-m33", _ARM, "gdb-multiarch", ("scenario-O0.elf", "scenario-Os.elf")),
    Target("cortex-m0", _ARM, "gdb-multiarch", ("scenario-O0.elf", "scenario-Os.elf")),
    Target("linux-x86_64", None, "gdb",
           ("scenario-O0.elf", "scenario-Os.elf", "scenario-many-O0.elf", "scenario-many-Os.elf")),
    Target("linux-smp-x86_64", None, "gdb", ("scenario-O0.elf", "scenario-Os.elf"), smp=True),
    Target("aarch64-smp", "qemu-system-aarch64", "gdb-multiarch", ("scenario-O0.elf",), smp=True),
)


def find(name):
    for target in TARGETS:
        if target.name == name:
            return target
    raise KeyError(name)


class CheckedSession:
    """What checked_session saw: the GDB output, the checker's summary line
    (None when it did not get through), its failure count, the record and
    how its playback went."""

    def __init__(self, output, record):
        self.output, self.record = output, record
        found = CHECKED.search(output)
        self.summary = found.group(0) if found else None
        self.failures = int(found.group(1)) if found else None
        self.playback_status, self.playback_text = None, ""

    def notable_lines(self):
        return [line for line in self.output.splitlines()
                if line.startswith("FAIL:") or "Error" in line or "vusk_threadx" in line]

    def passed(self):
        return self.failures == 0 and self.playback_status == 0


def checked_session(target, elf_name, plugin, checker, scratch, env=None):
    """Stops one run of the scenario, loads the extension with plugin,
    records the conversation while the GDB Python script checker runs, then
    plays the record back (cwd scratch). The checker prints "FAIL: ..." lines
    and "CHECKED ... failures=N" when it got through."""
    plugin = os.path.abspath(plugin)   # the playback runs in scratch
    record = os.path.join(scratch, "session.rec")
    with target.stopped(elf_name) as stop:
        commands = stop.commands() + [
            "source " + EXTENSION,
            "set threadx plugin " + plugin,
            "set threadx config-dir " + os.path.join(scratch, "no_config"),
            "threadx record " + record,
            "source " + checker,
            "threadx record off",
        ]
        args = [target.gdb, "-nx", "-batch", stop.elf]
        for command in commands:
            args += ["-ex", command]
        run = subprocess.run(args, capture_output=True, text=True, env=env, timeout=GDB_SECONDS,
                             stdin=subprocess.DEVNULL)
    session = CheckedSession(run.stdout + run.stderr, record)
    if session.failures == 0:
        played = subprocess.run([plugin, "-file", record], capture_output=True, text=True,
                                timeout=PLAYBACK_SECONDS, cwd=scratch)
        session.playback_status = played.returncode
        session.playback_text = (played.stdout + played.stderr).strip()
    return session


def checked_main(argv, checker, env=None, record_problems=None):
    """The body of a checker test (`TEST TARGET OPT`): runs checked_session
    on scenario-OPT.elf with the plugin of $VUSK_PLUGIN, prints what the
    checker reported and, when record_problems is given, what it finds wrong
    in the record; returns the exit status (SKIP when the target cannot run)."""
    name, opt = argv[1], argv[2]
    plugin = os.environ.get("VUSK_PLUGIN") or os.path.join(SOURCE, "build", "vusk_threadx")
    target = find(name)
    reason = target.missing()
    if reason:
        print("SKIP: %s" % reason)
        return SKIP
    with tempfile.TemporaryDirectory(prefix="vusk_real_") as scratch:
        run_env = dict(os.environ, VUSK_REAL_TARGET=name, VUSK_REAL_OPT=opt, **(env or {}))
        run = checked_session(target, "scenario-%s.elf" % opt, plugin, checker, scratch, run_env)
        problems = []
        if record_problems:
            problems = record_problems(target, run.record) if os.path.exists(run.record) else ["no record"]
    for line in run.notable_lines() + ["FAIL: " + p for p in problems]:
        print(line)
    if run.summary is None:
        print(run.output[-3000:])
        print("FAIL: the check did not finish")
        return 1
    print(run.summary)
    if run.playback_status is not None:
        print("playback: status %d, %s" % (run.playback_status, run.playback_text))
    return 0 if run.passed() and not problems else 1
