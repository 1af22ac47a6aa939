#!/usr/bin/python3
"""threadx-view against the fake GDB server holding the x86-64 fixture at
its stop (see proxy_test.py): the tables are those the GDB extension shows
on the fixture (tests/gdb/expected/), the registers those the fixture saved,
and the faults end with status 1 and a reason.

Environment as proxy_test.py.
"""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import proxy_test  # noqa: E402
from proxy_test import CONFIG_DIR, FIXTURE, PLUGIN, SOURCE  # noqa: E402

VIEW = os.path.join(SOURCE, "host", "gdb", "threadx_view.py")
EXPECTED = os.path.join(SOURCE, "tests", "gdb", "expected")
KINDS = ("threads", "timers", "semaphores", "queues", "event-flags", "block-pools", "byte-pools", "mutexes")


class ViewTests(proxy_test.FixtureServerCase):
    def view(self, *arguments, elf=None):
        done = subprocess.run(["/usr/bin/python3", VIEW, "--elf", elf or FIXTURE, "--remote", self.server_path,
                               "--plugin", PLUGIN, "--config-dir", CONFIG_DIR] + list(arguments),
                              capture_output=True, timeout=60, stdin=subprocess.DEVNULL)
        return done.returncode, done.stdout.decode("utf-8"), done.stderr.decode("utf-8", errors="replace")

    def test_every_table_as_the_gdb_extension_prints_it(self):
        for kind in KINDS:
            status, out, err = self.view("--keep-halted", kind)
            self.assertEqual(status, 0, err)
            with open(os.path.join(EXPECTED, kind + ".txt"), encoding="utf-8") as f:
                self.assertEqual(out, f.read(), kind)

    def test_json_and_registers(self):
        status, out, err = self.view("--json", "semaphores")
        self.assertEqual(status, 0, err)
        rows = json.loads(out)
        self.assertEqual(rows[0]["Name"], "sem_ready")
        self.assertEqual(rows[0]["waiting"], ["producer", "capteur_\u00e9t\u00e9"])
        status, out, err = self.view("--json", "registers", "producer")
        self.assertEqual(status, 0, err)
        data = json.loads(out)
        saved = self.state["saved"][1]
        self.assertEqual(data["name"], "producer")
        self.assertEqual(data["registers"], {name: value & ((1 << (32 if name == "eflags" else 64)) - 1)
                                             for name, value in saved.items()})
        status, out, err = self.view("current")
        self.assertEqual(out, "Current thread: main (0x%x), Executing\n" % self.state["threads"][0][0])

    def test_it_lets_the_target_run_on_unless_told(self):
        self.view("threads")
        self.assertEqual(self.server.received[-1], b"D")
        self.server.received.clear()
        self.view("--keep-halted", "threads")
        self.assertNotIn(b"D", self.server.received)

    def test_faults_end_with_a_reason(self):
        status, out, err = self.view("registers", "nobody")
        self.assertEqual((status, out), (1, ""))
        self.assertIn("no thread named nobody", err)
        stripped = os.path.join(self.dir, "stripped")
        subprocess.run(["objcopy", "--strip-debug", FIXTURE, stripped], check=True)
        status, out, err = self.view("timers", elf=stripped)
        self.assertEqual(status, 1)
        self.assertIn("debug information", err)
        self.server.fail_memory = True
        status, out, err = self.view("threads")
        self.assertEqual(status, 1)
        self.assertIn("cannot list threads", err)
        status, out, err = self.view("threads", elf=os.path.join(self.dir, "nowhere.elf"))
        self.assertEqual(status, 1)
        self.assertIn("cannot open", err)


if __name__ == "__main__":
    sys.exit(proxy_test.main())
