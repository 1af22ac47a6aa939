#!/usr/bin/python3
"""What vusk-gdbproxy adds per stop, on the 109-thread Cortex-M3 kernel.

    bench/bench_proxy.py BUILD_DIR [--stops N] [--elf NAME]

Plays GDB's part over the remote protocol (no GDB: its own time would
blur the figure): runs the kernel to scenario_stop, then per stop steps
one instruction (or runs to the next timer tick) and reads what GDB reads
for "info threads" (the thread list with names and states, and every
thread's registers), once through the proxy and once from QEMU's stub
directly (its one CPU thread), in the same run; and the first stop of a
connection, when the proxy has nothing to reuse. Prints the times per stop, what the proxy adds, and the ratio.
Needs QEMU (make test installs it); exits 0 with a note when it is absent.
"""

import argparse
import os
import re
import statistics
import subprocess
import sys
import tempfile
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "host", "gdb"))
sys.path.insert(0, os.path.join(SOURCE, "tests", "real"))

import targets  # noqa: E402
from vuskhost import rsp  # noqa: E402

TARGET_ADDED_MS = 50.0
# Where the kernel counts a tick: a stop after some threads ran.
TICK_FUNCTION = "_tx_timer_interrupt"


class Client:
    """GDB's side of the protocol, in no-ack mode."""

    def __init__(self, address):
        self.link = rsp.Link(rsp.connect(address, 10), "server")
        self.packets = 0

    def ask(self, payload, timeout=30):
        self.packets += 1
        self.link.send(payload)
        while True:
            event = self.link.next_event(timeout)
            reply = rsp.decode(event.payload)
            if reply[:1] == b"O" and reply != b"OK":
                continue
            return reply

    def start(self):
        self.ask(b"qSupported:swbreak+;hwbreak+;vContSupported+")
        if self.ask(b"QStartNoAckMode") == b"OK":
            self.link.ack_mode = False
        return self.ask(b"?")

    def threads(self):
        """Thread ids as GDB learns them: qXfer:threads when offered, else qfThreadInfo."""
        document = b""
        while True:
            reply = self.ask(b"qXfer:threads:read::%x,ffb" % len(document))
            if reply[:1] not in (b"m", b"l"):
                break
            document += rsp.unescape(reply[1:])
            if reply[:1] == b"l":
                return re.findall(rb'id="([0-9a-fA-Fp.-]+)"', document)
        ids = []
        reply = self.ask(b"qfThreadInfo")
        while reply[:1] == b"m":
            ids += reply[1:].split(b",")
            reply = self.ask(b"qsThreadInfo")
        return ids

    def registers_of_all(self, ids):
        for thread in ids:
            self.ask(b"Hg" + thread)
            self.ask(b"g")

    def stop_at(self, address):
        self.ask(b"Z0,%x,2" % address)
        stop = self.ask(b"vCont;c")
        self.ask(b"z0,%x,2" % address)
        return stop

    def step(self, stop_reply):
        m = re.search(rb"thread:([0-9a-fA-F.p-]+);", stop_reply)
        return self.ask(b"vCont;s:" + m.group(1) if m else b"vCont;s")


def symbol_address(elf, name):
    out = subprocess.run(["gdb-multiarch", "-nx", "-batch", "-ex", "info address " + name, elf],
                         capture_output=True, text=True).stdout
    return int(re.search(r"0x([0-9a-f]+)", out).group(1), 16)


def measure_cold(listen, samples):
    """Median milliseconds for the list and every thread's registers at the
    first stop of a connection: nothing is known from an earlier stop."""
    times = []
    for _ in range(samples):
        client = Client(listen)
        client.start()
        began = time.perf_counter()
        client.registers_of_all(client.threads())
        times.append((time.perf_counter() - began) * 1000)
        client.link.close()
        time.sleep(0.2)            # the proxy closes its side and waits again
    return statistics.median(times)


def measure(client, stops, tick=None):
    """Median milliseconds per stop: step (or run to the next timer tick,
    a breakpoint at tick), list threads, every thread's registers."""
    stop = client.ask(b"?")
    times = []
    ids = []
    if tick is not None:
        client.ask(b"Z0,%x,2" % tick)
    for _ in range(stops):
        began = time.perf_counter()
        stop = client.ask(b"vCont;c") if tick is not None else client.step(stop)
        ids = client.threads()
        client.registers_of_all(ids)
        times.append((time.perf_counter() - began) * 1000)
    if tick is not None:
        client.ask(b"z0,%x,2" % tick)
    return statistics.median(times), len(ids)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("build")
    parser.add_argument("--stops", type=int, default=10)
    parser.add_argument("--elf", default="scenario-many-Os.elf")
    options = parser.parse_args()
    target = targets.find("cortex-m3")
    reason = target.missing()
    if reason:
        print("bench_proxy: skipped: %s" % reason)
        return 0
    elf = target.elf(options.elf)
    stop_address = symbol_address(elf, "scenario_stop")
    tick_address = symbol_address(elf, TICK_FUNCTION)
    proxy_tool = os.path.join(options.build, "vusk-gdbproxy")
    with target.stopped(options.elf) as stopped, tempfile.TemporaryDirectory(prefix="vusk_bench_") as scratch:
        direct = Client(stopped.socket_path)
        direct.start()
        direct.stop_at(stop_address)
        direct_ms, direct_threads = measure(direct, options.stops)
        direct_tick_ms, _ = measure(direct, options.stops, tick_address)
        direct.link.close()
        listen = os.path.join(scratch, "proxy.sock")
        proxy = subprocess.Popen([proxy_tool, "--elf", elf, "--remote", stopped.socket_path, "--listen", listen],
                                 stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 20
            while not os.path.exists(listen) and time.monotonic() < deadline:
                time.sleep(0.05)
            client = Client(listen)
            client.start()
            client.ask(b"?")
            client.packets = 0
            proxy_ms, proxy_threads = measure(client, options.stops)
            tick_ms, _ = measure(client, options.stops, tick_address)
            client.link.close()
            time.sleep(0.2)
            cold_ms = measure_cold(listen, 3)
        finally:
            proxy.terminate()
            proxy.wait(10)
    added = proxy_ms - direct_ms
    print("bench_proxy: %s, stepping, %d stops: direct stub %.1f ms per stop (%d thread), through the proxy "
          "%.1f ms (%d threads): %.1f ms added (target under %.0f), ratio %.1f"
          % (options.elf, options.stops, direct_ms, direct_threads, proxy_ms, proxy_threads, added,
             TARGET_ADDED_MS, proxy_ms / direct_ms if direct_ms else float("inf")))
    print("bench_proxy: running to the next timer tick, %d stops: direct stub %.1f ms per stop, through the "
          "proxy %.1f ms: %.1f ms added" % (options.stops, direct_tick_ms, tick_ms, tick_ms - direct_tick_ms))
    print("bench_proxy: first stop of a connection (no earlier answers to reuse): %.1f ms for the list and "
          "every thread's registers" % cold_ms)
    return 0


if __name__ == "__main__":
    sys.exit(main())
