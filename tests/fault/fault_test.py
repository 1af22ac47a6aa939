#!/usr/bin/env python3
"""Faults injected through the plugin's pipes: the host misbehaves at every
point of an exchange and the plugin must end with the documented status, or
keep serving, and never crash, hang or leak.

Run with the environment naming the binaries of one build tree:
  VUSK_PLUGIN=build/vusk_threadx VUSK_PROBE=build/vusk_process_probe
  VUSK_SANITIZED=ON in the sanitizer tree (its binaries exit non-zero on a
  leak, and the address-space test is left to the plain build).
The probe's "Probe_AskHost" makes one request to the host, so every wait of
the host exchange can be reached.
"""

import os
import glob
import json
import re
import resource
import select
import shutil
import subprocess
import tempfile
import threading
import sys
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from scripted_host import first_message_end  # noqa: E402

PLUGIN = os.environ.get("VUSK_PLUGIN", "build/vusk_threadx")
PROBE = os.environ.get("VUSK_PROBE", "build/vusk_process_probe")
SANITIZED = os.environ.get("VUSK_SANITIZED", "OFF").upper() in ("1", "ON", "TRUE", "YES")
TIMEOUT = 30.0  # seconds; a plugin that takes longer is taken to hang
EPIPE = 32
MESSAGE_BUFFER = 65536


def request(method, ident, params="{ }"):
    return '{ "jsonrpc" : "2.0", "method" : "%s", "params" : %s, "id" : %s }' % (method, params, ident)


def unknown(ident):
    return ('{ "jsonrpc" : "2.0", "error" : { "code" : -32601, "message" : "unknown message"}, '
            '"id" : %s }' % ident)


def ask_host(ident, expression="x"):
    return request("Probe_AskHost", ident, '{ "expression" : "%s" }' % expression)


def service_probe(ident, expression="x"):
    return ('{ "jsonrpc" : "2.0", "method" : "VUSK_Service_Probe", '
            '"params" : { "expression" : "%s" }, "id" : %d }' % (expression, ident))


def answered(ident, answer, status=0):
    return ('{ "jsonrpc" : "2.0", "result" : { "answer" : %s, "return" : %d }, "id" : %s }'
            % (answer, status, ident))


def exit_request(ident):
    return request("VUSK_Client_Exit", ident)


def exit_response(ident):
    return '{ "jsonrpc" : "2.0", "result" : { "exitCode" : 0, "return" : 0 }, "id" : %s }' % ident


def request_failed(partial):
    return "VUSK plugin: Failed to get valid request: %s (err 0)\n" % partial if partial else ""


def response_failed(partial):
    return "VUSK plugin: Failed to get valid resonse: %s" % partial


class Session:
    """One plugin process under test. Standard error is drained all the time
    (a plugin blocked on a full error pipe would look like a hang), messages
    are cut from standard output one by one, and the process is always
    reaped: a hang becomes a test failure, never a stuck suite."""

    def __init__(self, test, binary=None, env=None, wrapper=()):
        self.test = test
        self.proc = subprocess.Popen([*wrapper, binary or PROBE], stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                     stderr=subprocess.PIPE, env=env)
        self.pending = ""
        self.errors = []
        self.error_reader = threading.Thread(target=self.drain_errors, daemon=True)
        self.error_reader.start()

    def drain_errors(self):
        while True:
            chunk = self.proc.stderr.read1(65536)
            if not chunk:
                return
            self.errors.append(chunk)

    def send(self, text):
        try:
            self.proc.stdin.write(text.encode("latin-1"))
            self.proc.stdin.flush()
        except BrokenPipeError:
            pass  # the plugin may have ended already; its status tells

    def close_input(self):
        if self.proc.stdin:
            try:
                self.proc.stdin.close()
            except BrokenPipeError:
                pass
            self.proc.stdin = None

    def close_output(self):
        self.proc.stdout.close()
        self.proc.stdout = None

    def read_message(self):
        """The next message, or None when the output ends or stalls."""
        fd = self.proc.stdout.fileno()
        while not first_message_end(self.pending):
            ready, _, _ = select.select([fd], [], [], TIMEOUT)
            chunk = os.read(fd, 65536) if ready else b""
            if not chunk:
                return None
            self.pending += chunk.decode("latin-1")
        end = first_message_end(self.pending)
        message, self.pending = self.pending[:end], self.pending[end:]
        return message

    def expect(self, text):
        self.test.assertEqual(self.read_message(), text)

    def finish(self):
        """Ends the host's output and waits: (status, rest of standard
        output, standard error)."""
        self.close_input()
        rest = ""
        if self.proc.stdout:
            rest = self.pending + self.proc.stdout.read().decode("latin-1")
            self.proc.stdout.close()
        try:
            status = self.proc.wait(TIMEOUT)
        except subprocess.TimeoutExpired:
            self.proc.kill()
            self.proc.wait()
            self.test.fail("the plugin hangs")
        self.error_reader.join(TIMEOUT)
        self.proc.stderr.close()
        err = b"".join(self.errors).decode("latin-1")
        self.test.assertNotIn("Sanitizer", err)
        self.test.assertNotIn("runtime error", err)
        return status, rest, err

    def ends_with(self, status, err, out=""):
        self.test.assertEqual(self.finish(), (status, out, err))


# A conversation that reaches every kind of wait: a request that asks the
# host, a host request nested in the wait, the host's response, an ordinary
# request and Exit. Each step is (host text, what the plugin answers, kind):
# "request" steps are read by the main loop, "wait" steps by the pending
# host exchange of the first request.
CONVERSATION = [
    (ask_host(1), service_probe(0), "request"),
    (request("No_Such", 50), unknown(50), "wait"),
    ('{"jsonrpc":"2.0","result":{"v":1},"id":0}', answered(1, '{ "v" : 1 }'), "wait"),
    (request("No_Such", 2), unknown(2), "request"),
    (exit_request(3), exit_response(3), "request"),
]
STARTS = [sum(len(text) for text, _, _ in CONVERSATION[:i]) for i in range(len(CONVERSATION) + 1)]


def cut_points():
    """Every boundary with two bytes on each side, and every fifth byte."""
    total = STARTS[-1]
    points = set(range(0, total + 1, 5))
    for start in STARTS:
        points.update(p for p in range(start - 2, start + 3) if 0 <= p <= total)
    return sorted(points)


class HostClosesInput(unittest.TestCase):
    def play_until(self, cut):
        """Sends the conversation's first cut bytes, then ends the host's
        output; returns the expected (status, standard error)."""
        session = Session(self)
        for index, (text, answer, kind) in enumerate(CONVERSATION):
            sent = max(0, min(len(text), cut - STARTS[index]))
            session.send(text[:sent])
            if sent == len(text):
                session.expect(answer)
                continue
            partial = text[:sent]
            if kind == "request":
                session.ends_with(0, request_failed(partial))
            else:
                # The pending request fails and is still answered; then the
                # main loop meets the end of input with nothing read.
                session.close_input()
                session.expect(answered(1, "null", 1))
                session.ends_with(0, response_failed(partial))
            return
        # Everything was sent: the plugin ended after Exit by itself.
        self.assertEqual(session.proc.wait(TIMEOUT), 0)
        session.ends_with(0, "")

    def test_end_of_input_at_every_point_of_a_conversation(self):
        for cut in cut_points():
            with self.subTest(cut=cut):
                self.play_until(cut)


class HostClosesOutput(unittest.TestCase):
    """The host stops reading (closes its end of the plugin's output) just
    before it sends step i: the plugin's next write fails with EPIPE."""

    def test_write_fails_at_every_step(self):
        for step in range(len(CONVERSATION)):
            with self.subTest(step=step):
                session = Session(self)
                for text, answer, _ in CONVERSATION[:step]:
                    session.send(text)
                    session.expect(answer)
                session.close_output()
                session.send(CONVERSATION[step][0])
                self.assertEqual(session.finish(), (3, "", self.expected_error(step)))

    @staticmethod
    def expected_error(step):
        failed = "VUSK plugin: Failed to send response: %s (err %d)"
        if step == 0:  # the request to the host cannot go out
            return ("VUSK plugin: Failed to send %s" % service_probe(0)
                    + failed % (answered(1, "null", 1), EPIPE))
        if step == 1:  # the nested answer cannot go out: the wait is given up
            return failed % (unknown(50), EPIPE) + failed % (answered(1, "null", 1), EPIPE)
        return failed % (CONVERSATION[step][1], EPIPE)


class HostAnswersBadly(unittest.TestCase):
    """Whatever the host answers while the plugin waits, the waiting request
    is answered and the plugin goes on serving."""

    def answer_with(self, text, expected_answer, close=False, err=""):
        session = Session(self)
        session.send(ask_host(1))
        session.expect(service_probe(0))
        session.send(text)
        if close:
            session.close_input()
            session.expect(expected_answer)
            session.ends_with(0, err)
            return
        session.expect(expected_answer)
        session.send(ask_host(2))  # still serving, and the ids go on
        session.expect(service_probe(1))
        session.send('{"result":"again","id":1}')
        session.expect(answered(2, '"again"'))
        session.ends_with(0, err)

    def test_answers_that_fail_the_request(self):
        deep = '{"result":' + "[" * 600 + "]" * 600 + "}"
        for text in ('{"result": }', '{"error":{"code":-1,"message":"busy"}}', '{"error":5}',
                     '{"error":null,"result":1}', deep, '{"result":-}'):
            with self.subTest(text=text[:40]):
                self.answer_with(text, answered(1, "null", 1))

    def test_answers_that_succeed_without_a_result(self):
        for text in ("{ }", '{"id":0}', '{"jsonrpc":"1.0","id":"other"}'):
            with self.subTest(text=text):
                self.answer_with(text, answered(1, "null", 0))

    def test_odd_results_are_carried_back(self):
        cases = [
            ('{"result":5}', "5"),
            ('{"result":"\\u12"}', '"u12"'),
            ('{"result":18446744073709551615}', "-1"),
            ('{"result":"\\u00e9\\u0001\\/"}', '"\\u00e9\\u0001/"'),
            ('{"result":{"a":{"b":[true,false,null]}},"error":7}', "null"),
        ]
        for text, carried in cases:
            with self.subTest(text=text):
                status = 1 if '"error"' in text else 0
                self.answer_with(text, answered(1, carried, status))

    def test_truncated_answer_then_end_of_input(self):
        for text in ('{"result":"abc', '{"result":{"a":1}', "garbage", ""):
            with self.subTest(text=text):
                self.answer_with(text, answered(1, "null", 1), close=True, err=response_failed(text))

    def test_oversized_answer(self):
        text = '{"result":"' + "a" * 70000 + '"}'
        full = text[:MESSAGE_BUFFER - 1]
        rest = text[MESSAGE_BUFFER - 1:]
        # The buffer fills, the next read takes nothing and the wait fails;
        # the rest of the answer is then read as a request that never starts
        # with a brace, up to the end of input.
        self.answer_with(text, answered(1, "null", 1), close=True,
                         err=response_failed(full) + request_failed(rest))

    def test_large_answer_that_fits(self):
        body = "b" * 60000
        self.answer_with('{"result":"%s","id":0}' % body, answered(1, '"%s"' % body))


class HostNestsRequests(unittest.TestCase):
    """A host request at a wait is served first, whatever it is."""

    def nest(self, nested, nested_answer):
        session = Session(self)
        session.send(ask_host(1))
        session.expect(service_probe(0))
        session.send(nested)
        session.expect(nested_answer)
        session.send('{"result":"late","id":0}')
        session.expect(answered(1, '"late"'))
        return session

    def test_malformed_host_requests_get_error_envelopes(self):
        cases = [
            ('{"method":5}', '{ "jsonrpc" : "2.0", "error" : { "code" : -32602, '
                             '"message" : "missing request id"}, "id" : null }'),
            ('{"method":"Probe_AskHost","id":[1]}', '{ "jsonrpc" : "2.0", "error" : { "code" : -32602, '
                                                     '"message" : "invalid request id type"}, "id" : [ 1 ] }'),
            ('{"method":"Probe_AskHost","id":4}', '{ "jsonrpc" : "2.0", "error" : { "code" : -32602, '
                                                   '"message" : "missing argument list"}, "id" : 4 }'),
        ]
        for nested, answer in cases:
            with self.subTest(nested=nested):
                self.nest(nested, answer).ends_with(0, "")

    def test_unparsable_text_at_a_wait_is_taken_as_the_response(self):
        session = Session(self)
        session.send(ask_host(1))
        session.expect(service_probe(0))
        session.send('{"method":}')
        session.expect(answered(1, "null", 1))
        session.ends_with(0, "")

    def test_exit_inside_a_wait_ends_after_the_outer_answer(self):
        session = self.nest(exit_request(7), exit_response(7))
        # The outer answer went out; the process ends without reading again.
        self.assertEqual(session.proc.wait(TIMEOUT), 0)
        session.ends_with(0, "")

    def test_nesting_at_every_depth_then_end_of_input(self):
        for depth in (1, 2, 8):
            with self.subTest(depth=depth):
                session = Session(self)
                session.send(ask_host(100))
                for level in range(depth):
                    session.expect(service_probe(level))
                    session.send(ask_host(101 + level))
                session.expect(service_probe(depth))
                session.close_input()
                # Every pending level fails in turn, innermost first.
                for level in reversed(range(depth + 1)):
                    session.expect(answered(100 + level, "null", 1))
                session.ends_with(0, response_failed("") * (depth + 1))


@unittest.skipIf(SANITIZED, "the sanitizer runtime reserves more address space than any useful limit")
class OutOfMemory(unittest.TestCase):
    """Under an address-space limit the plugin either serves normally or
    writes the fatal report and ends with status 1: never a crash, never a
    half-written message."""

    FATAL_PREFIX = "fatal: Out of memory (0x"
    BIG_BUFFER = request("VUSK_Client_HistoryLogDump", 1, '{ "bufferSize" : 67108864 }')

    def run_limited(self, limit, text, tmpdir):
        def limit_address_space():
            resource.setrlimit(resource.RLIMIT_AS, (limit, limit))
        proc = subprocess.Popen([PLUGIN], stdin=subprocess.PIPE, stdout=subprocess.PIPE, stderr=subprocess.PIPE,
                                preexec_fn=limit_address_space, env=dict(os.environ, TMPDIR=tmpdir))
        try:
            out, err = proc.communicate(text.encode(), timeout=TIMEOUT)
        except subprocess.TimeoutExpired:
            proc.kill()
            proc.communicate()
            self.fail("the plugin hangs under a limit of %d bytes" % limit)
        return proc.returncode, out.decode("latin-1"), err.decode("latin-1")

    def check_fatal(self, status, out, err, tmpdir):
        self.assertEqual((status, out), (1, ""))
        report, _, rest = err.partition("\n")
        self.assertTrue(report.startswith(self.FATAL_PREFIX) and report.endswith(" bytes requested)"), err)
        # The only other line names the crash dump, when one could be made.
        dumps = os.listdir(tmpdir)
        self.assertIn(rest, [""] + ["Event log written to %s\n" % os.path.join(tmpdir, d) for d in dumps])

    def test_growing_the_event_log_beyond_the_limit(self):
        with tempfile.TemporaryDirectory() as tmpdir:
            status, out, err = self.run_limited(48 << 20, self.BIG_BUFFER, tmpdir)
            if status == 0:
                self.skipTest("a 64 MiB buffer fit under the limit")
            self.check_fatal(status, out, err, tmpdir)
            self.assertIn("(0x", err)

    def test_every_limit_gives_service_or_the_fatal_report(self):
        # Up from the least limit under which the program loads at all, in
        # small steps: the allocations of start-up and of the first request
        # each meet the limit in turn.
        text = request("No_Such", 1)
        seen = set()
        floor = self.least_loadable_limit(text)
        for limit in range(floor, floor + self.SWEEP_BYTES, self.SWEEP_STEP):
            with self.subTest(limit=limit), tempfile.TemporaryDirectory() as tmpdir:
                status, out, err = self.run_limited(limit, text, tmpdir)
                if self.did_not_load(status, err):
                    continue  # address-space layout varies per run near the loader's own need
                seen.add(status)
                if status == 0:
                    self.assertEqual((out, err), (unknown(1), ""))
                else:
                    self.check_fatal(status, out, err, tmpdir)
        self.assertIn(0, seen)

    SWEEP_STEP = 32 << 10
    SWEEP_BYTES = 2 << 20

    @staticmethod
    def did_not_load(status, err):
        """The dynamic loader itself found no room (for a library or for the
        first thread's TLS): the plugin never ran."""
        loader_texts = ("error while loading shared libraries", "cannot allocate TLS data structures")
        return status == 127 and any(text in err for text in loader_texts)

    def least_loadable_limit(self, text):
        with tempfile.TemporaryDirectory() as tmpdir:
            for limit in range(1 << 20, 64 << 20, 64 << 10):
                status, _, err = self.run_limited(limit, text, tmpdir)
                if not self.did_not_load(status, err):
                    return limit
        self.fail("the plugin does not load under 64 MiB")


RECORD_LINE = re.compile(r"^[0-9:. \t]*(PLISK|PLUGIN)[ \t\n\f\r]*:[ \t\n\f\r]*(.*?)[ \t\n\f\r]*$", re.I)
RECORDS = [os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "records", *parts)
           for parts in (("catalogue", "init_to_exit.rec"), ("demo", "session.rec"))]


def is_request(text):
    try:
        message = json.loads(text)
    except ValueError:
        return False
    return isinstance(message, dict) and "method" in message


def record_steps(path):
    """The record as (side, text, request?) in order."""
    steps = []
    with open(path, encoding="latin-1") as f:
        for line in f:
            match = RECORD_LINE.match(line)
            side, text = match.group(1).upper(), match.group(2)
            steps.append((side, text, is_request(text)))
    return steps


class RecordedSessionWaits(unittest.TestCase):
    """The recorded sessions of the real awareness, played live against the
    plain plugin, with a fault at each wait for a host answer in turn."""

    def waits(self, steps):
        return sum(1 for side, _, request in steps if side == "PLUGIN" and request)

    def replay(self, steps, wait_fault):
        """Plays the host's side; wait_fault(session, index) runs at every
        wait before the recorded answer and returns False to stop there."""
        session = Session(self, binary=PLUGIN)
        wait = 0
        for side, text, request in steps:
            if side == "PLISK":
                session.send(text)
                continue
            session.expect(text)
            if request:
                if not wait_fault(session, wait):
                    return session
                wait += 1
        return session

    def test_a_host_request_at_every_wait_changes_nothing(self):
        for record in RECORDS:
            steps = record_steps(record)
            for target in range(self.waits(steps)):
                with self.subTest(record=os.path.basename(record), wait=target):
                    def nest(session, index, target=target):
                        if index == target:
                            session.send(request("No_Such", 9000 + index))
                            session.expect(unknown(9000 + index))
                        return True
                    self.replay(steps, nest).ends_with(0, "")

    def test_end_of_input_at_every_wait(self):
        # Every request still pending fails and is answered; each further
        # request to the host meets the end of input too. Status 0.
        for record in RECORDS:
            steps = record_steps(record)
            for target in range(self.waits(steps)):
                with self.subTest(record=os.path.basename(record), wait=target):
                    session = self.replay(steps, lambda session, index, target=target: index != target)
                    status, out, err = session.finish()
                    self.assertEqual(status, 0)
                    self.assertRegex(err, r"^(VUSK plugin: Failed to get valid resonse: )+$")
                    while out:
                        end = first_message_end(out)
                        self.assertGreater(end, 0, out)
                        out = out[end:]

    def test_every_service_refused(self):
        # The host refuses every service: each recorded request is still
        # answered and Exit still ends the process.
        for record in RECORDS:
            steps = record_steps(record)
            top_level = [text for depth, (side, text, request) in zip(self.depths(steps), steps)
                         if side == "PLISK" and request and depth == 0]
            with self.subTest(record=os.path.basename(record)):
                session = Session(self, binary=PLUGIN)
                for text in top_level:
                    session.send(text)
                    while True:
                        message = session.read_message()
                        self.assertIsNotNone(message)
                        if not is_request(message):
                            break
                        ident = json.loads(message)["id"]
                        session.send('{"jsonrpc":"2.0","error":{"code":-1,"message":"refused"},"id":%d}' % ident)
                self.assertEqual(session.proc.wait(TIMEOUT), 0)
                session.ends_with(0, "")

    @staticmethod
    def depths(steps):
        """Nesting depth before each step (0: a request of the main loop)."""
        depth = 0
        out = []
        for side, _, request in steps:
            out.append(depth)
            depth += 1 if request else -1
        return out


VALGRIND = shutil.which("valgrind")
SOURCE_DIR = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..")


@unittest.skipIf(SANITIZED, "valgrind cannot run sanitized binaries; LeakSanitizer covers that tree")
@unittest.skipIf(not VALGRIND, "valgrind is not installed")
class Valgrind(unittest.TestCase):
    """A sample of live and playback runs of the plain build under valgrind's
    memcheck: no invalid access, no use of uninitialised bytes, no leak."""

    WRAPPER = ("valgrind", "--quiet", "--leak-check=full", "--errors-for-leak-kinds=definite,indirect,possible",
               "--error-exitcode=99")

    def test_live_session_with_nested_requests(self):
        session = Session(self, wrapper=self.WRAPPER)
        for text, answer, _ in CONVERSATION:
            session.send(text)
            session.expect(answer)
        session.ends_with(0, "")

    def test_end_of_input_while_waiting(self):
        session = Session(self, wrapper=self.WRAPPER)
        session.send(ask_host(1))
        session.expect(service_probe(0))
        session.send('{"result":')
        session.close_input()
        session.expect(answered(1, "null", 1))
        session.ends_with(0, response_failed('{"result":'))

    def test_record_playback(self):
        records = sorted(glob.glob(os.path.join(SOURCE_DIR, "tests", "records", "*", "*.rec")))
        self.assertTrue(records)
        for record in records[:3]:
            with self.subTest(record=os.path.basename(record)):
                done = subprocess.run([*self.WRAPPER, PLUGIN, "-file", record], capture_output=True,
                                      stdin=subprocess.DEVNULL, timeout=120)
                self.assertEqual(done.returncode, 0, done.stderr.decode("latin-1")[-2000:])
                self.assertEqual(done.stderr, b"")


if __name__ == "__main__":
    unittest.main()
