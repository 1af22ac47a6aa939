#!/usr/bin/env python3
"""The plugin process driven live through pipes by a test host.

Run with the environment naming the binaries:
  VUSK_PLUGIN=build/vusk_threadx VUSK_PROBE=build/tests/process/vusk_process_probe
The probe is the plugin with one more method, "Probe_AskHost", which asks the
host "VUSK_Service_Probe" and answers with the host's result.
"""

import fcntl
import glob
import os
import signal
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools"))
from scripted_host import PluginPipe  # noqa: E402

PLUGIN = os.environ.get("VUSK_PLUGIN", "build/vusk_threadx")
PROBE = os.environ.get("VUSK_PROBE", "build/tests/process/vusk_process_probe")
USAGE = "%s [-help | [-ignore_error] -file <JsonRecordPlaybackFile>]\n"


def request(method, ident, params="{ }"):
    return '{ "jsonrpc" : "2.0", "method" : "%s", "params" : %s, "id" : %s }' % (method, params, ident)


def unknown(ident):
    return ('{ "jsonrpc" : "2.0", "error" : { "code" : -32601, "message" : "unknown message"}, '
            '"id" : %s }' % ident)


def ask_host(ident, expression):
    return request("Probe_AskHost", ident, '{ "expression" : "%s" }' % expression)


def service_probe(ident, expression):
    return ('{ "jsonrpc" : "2.0", "method" : "VUSK_Service_Probe", '
            '"params" : { "expression" : "%s" }, "id" : %d }' % (expression, ident))


def answered(ident, answer, status=0):
    return ('{ "jsonrpc" : "2.0", "result" : { "answer" : %s, "return" : %d }, "id" : %s }'
            % (answer, status, ident))


EXIT_RESPONSE = '{ "jsonrpc" : "2.0", "result" : { "exitCode" : 0, "return" : 0 }, "id" : %s }'


class Framing(unittest.TestCase):
    def test_request_in_pieces_is_served_once_when_complete(self):
        plugin = PluginPipe(PLUGIN)
        whole = request("No_Such", 7)
        cut = whole.index('"method"') + 4  # the first piece ends inside a member name
        plugin.send(whole[:cut])
        self.assertFalse(plugin.has_output(0.3))
        plugin.send(whole[cut:])
        self.assertEqual(plugin.read_message(), unknown(7))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_braces_inside_strings(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send(request("No_Such", 1, '{ "a" : "}{}", "b" : "x\\"}" }'))
        self.assertEqual(plugin.read_message(), unknown(1))
        plugin.send(request("No_Such", 2, '{ "b" : "\\\\", "c" : "{" }'))
        self.assertEqual(plugin.read_message(), unknown(2))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_blank_tab_newline_before_the_object_is_framed(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send(" \t\n" + request("No_Such", 3))
        self.assertEqual(plugin.read_message(), unknown(3))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_carriage_return_and_newline_before_the_object_are_passed_over(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send("\r\n" + request("No_Such", 4))
        self.assertEqual(plugin.read_message(), unknown(4))
        plugin.send("\r\n")  # white space alone is no message, and not an error at the end
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_request_longer_than_the_buffer(self):
        plugin = PluginPipe(PLUGIN)
        text = '{ "a" : "' + "x" * 70000
        plugin.send(text)
        status, out, err = plugin.finish()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(err, "VUSK plugin: Failed to get valid request: %s (err 0)\n" % text[:65535])


class Pipelining(unittest.TestCase):
    """Several messages in one write: each is served in turn, whoever reads
    next (the main loop or a waiting host exchange)."""

    def test_two_requests_in_one_write_are_both_answered(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send(request("No_Such", 1) + request("VUSK_Client_Exit", 2))
        self.assertEqual(plugin.proc.wait(timeout=10), 0)
        self.assertEqual(plugin.finish(), (0, unknown(1) + EXIT_RESPONSE % 2, ""))

    def test_white_space_between_messages_is_passed_over(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send("\r\n" + request("No_Such", 1) + "\r\n" + request("No_Such", 2) + " \t\n\r")
        plugin.send("\r\n " + request("No_Such", 3) + "\n")
        self.assertEqual(plugin.finish(), (0, unknown(1) + unknown(2) + unknown(3), ""))

    def test_a_message_cut_after_a_whole_one_is_completed_by_the_next_write(self):
        plugin = PluginPipe(PLUGIN)
        second = request("No_Such", 2)
        plugin.send(request("No_Such", 1) + second[:10])
        self.assertEqual(plugin.read_message(), unknown(1))
        self.assertFalse(plugin.has_output(0.3))
        plugin.send(second[10:])
        self.assertEqual(plugin.read_message(), unknown(2))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_the_cut_message_is_reported_at_the_end_of_input(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send(request("No_Such", 1) + ' {"jsonrpc"')
        self.assertEqual(plugin.finish(), (0, unknown(1),
                                           'VUSK plugin: Failed to get valid request: {"jsonrpc" (err 0)\n'))

    def test_text_after_an_object_begins_the_next_message(self):
        # It is no object, so it never completes: the end of input shows it.
        plugin = PluginPipe(PLUGIN)
        plugin.send(request("No_Such", 1) + " x}")
        self.assertEqual(plugin.finish(), (0, unknown(1), "VUSK plugin: Failed to get valid request: x} (err 0)\n"))

    def test_response_and_next_request_in_one_write(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        plugin.send('{"result":7,"id":0}\r\n' + request("No_Such", 2))
        self.assertEqual(plugin.finish(), (0, answered(1, "7") + unknown(2), ""))

    def test_nested_request_and_response_in_one_write(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        plugin.send(request("No_Such", 50) + '{"result":7,"id":0}' + request("VUSK_Client_Exit", 3))
        self.assertEqual(plugin.proc.wait(timeout=10), 0)
        self.assertEqual(plugin.finish(), (0, unknown(50) + answered(1, "7") + EXIT_RESPONSE % 3, ""))

    def test_requests_written_ahead_are_served_while_the_first_waits(self):
        # The host did not wait for the first answer: the second request
        # arrives while the first waits for the host, and is served there.
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x") + request("No_Such", 2))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        self.assertEqual(plugin.read_message(), unknown(2))
        plugin.send('{"result":7,"id":0}')
        self.assertEqual(plugin.finish(), (0, answered(1, "7"), ""))


class EndOfWork(unittest.TestCase):
    def test_end_of_input_with_nothing_pending(self):
        self.assertEqual(PluginPipe(PLUGIN).finish(), (0, "", ""))

    def test_end_of_input_after_half_a_request(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send('{ "jsonrpc" : "2.0", "meth')
        status, out, err = plugin.finish()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(err, 'VUSK plugin: Failed to get valid request: { "jsonrpc" : "2.0", "meth (err 0)\n')

    def test_exit_ends_without_reading_again(self):
        plugin = PluginPipe(PLUGIN)
        plugin.send(request("VUSK_Client_Exit", 9))
        self.assertEqual(plugin.read_message(), EXIT_RESPONSE % 9)
        # Standard input stays open: the process must end on its own.
        self.assertEqual(plugin.proc.wait(timeout=10), 0)
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_closed_output_gives_status_3(self):
        plugin = PluginPipe(PLUGIN)
        plugin.proc.stdout.close()
        plugin.send(request("No_Such", 5))
        plugin.close_input()
        err = plugin.proc.stderr.read().decode("latin-1")
        self.assertEqual(plugin.proc.wait(timeout=10), 3)
        self.assertEqual(err, "VUSK plugin: Failed to send response: %s (err 32)" % unknown(5))


class ReadFailures(unittest.TestCase):
    def run_with_input(self, stdin):
        done = subprocess.run([PLUGIN], stdin=stdin, capture_output=True)
        return done.returncode, done.stdout.decode(), done.stderr.decode()

    def test_read_error_ends_with_the_error_number(self):
        fd = os.open("/", os.O_RDONLY)  # reading a directory fails with EISDIR
        try:
            self.assertEqual(self.run_with_input(fd), (21, "", ""))
        finally:
            os.close(fd)

    def test_non_blocking_input_is_reported(self):
        read_end, write_end = os.pipe()
        fcntl.fcntl(read_end, fcntl.F_SETFL, os.O_NONBLOCK)
        try:
            self.assertEqual(self.run_with_input(read_end),
                             (11, "", "Unexpected EAGAIN because we did not set stdin into nonblock.\n"))
        finally:
            os.close(read_end)
            os.close(write_end)


class EventLog(unittest.TestCase):
    def dump_lines(self, pattern):
        files = glob.glob(pattern)
        self.assertEqual(len(files), 1, files)
        with open(files[0], encoding="latin-1") as f:
            return f.read().splitlines()

    def test_dump_on_request_holds_the_messages_read_and_written(self):
        with tempfile.TemporaryDirectory() as directory:
            plugin = PluginPipe(PLUGIN)
            plugin.send(request("No_Such", 1))
            self.assertEqual(plugin.read_message(), unknown(1))
            plugin.send(request("VUSK_Client_HistoryLogDump", 2, '{ "dirPath" : "%s" }' % directory))
            plugin.read_message()
            self.assertEqual(plugin.finish(), (0, "", ""))
            lines = self.dump_lines(os.path.join(directory, "vusk_threadx_events_%d_*.log" % plugin.proc.pid))
        entries = [line[27:] for line in lines[1:]]  # without the time stamps
        quoted = unknown(1).replace('"', '\\"')
        self.assertIn('VUSK__JSON__Read "%s"' % request("No_Such", 1).replace('"', '\\"'), entries)
        self.assertIn('VUSK__JSON__Write "%s"' % quoted, entries)
        self.assertTrue(entries[-1].startswith('VUSK__JSON__Read "{ \\"jsonrpc\\" : \\"2.0\\", '
                                               '\\"method\\" : \\"VUSK_Client_HistoryLogDump'), entries[-1])

    def test_dump_that_cannot_be_written_answers_failure_and_says_why(self):
        with tempfile.TemporaryDirectory() as directory:
            missing = os.path.join(directory, "missing")
            plugin = PluginPipe(PLUGIN)
            plugin.send(request("VUSK_Client_HistoryLogDump", 1, '{ "dirPath" : "%s" }' % missing))
            self.assertEqual(plugin.read_message(), '{ "jsonrpc" : "2.0", "result" : { "return" : 1 }, "id" : 1 }')
            self.assertEqual(plugin.finish(), (0, "", 'error: cannot write the event log into "%s": '
                                                      "No such file or directory\n" % missing))
            self.assertEqual(os.listdir(directory), [])

    def test_crash_leaves_a_dump_in_the_temporary_directory(self):
        with tempfile.TemporaryDirectory() as directory:
            plugin = PluginPipe(PLUGIN, env=dict(os.environ, TMPDIR=directory))
            plugin.send(request("No_Such", 1))
            self.assertEqual(plugin.read_message(), unknown(1))
            plugin.proc.send_signal(signal.SIGSEGV)
            status, out, err = plugin.finish()
            self.assertEqual(status, -signal.SIGSEGV)
            dump = os.path.join(directory, "vusk_threadx_crash_%d_0.log" % plugin.proc.pid)
            self.assertIn("Event log written to %s\n" % dump, err)
            lines = self.dump_lines(dump)
        self.assertTrue(lines[0].startswith("# vusk event log: program vusk_threadx, process %d" % plugin.proc.pid))
        self.assertTrue(lines[-1].endswith('VUSK__JSON__Write "%s"' % unknown(1).replace('"', '\\"')), lines[-1])


class CommandLine(unittest.TestCase):
    def run_plugin(self, *args):
        plugin = PluginPipe(PLUGIN, args)
        return plugin.finish()

    def test_help_in_any_case(self):
        for option in ("-h", "-HELP", "-Help", "--help", "--HELP"):
            self.assertEqual(self.run_plugin(option), (0, USAGE % PLUGIN, ""))

    def test_help_after_a_file_comes_before_playback(self):
        self.assertEqual(self.run_plugin("-file", "/nonexistent.rec", "-h"), (0, USAGE % PLUGIN, ""))

    def test_syntax_errors_say_what_was_wrong_before_the_usage(self):
        cases = [
            (("-frob",), "unknown option '-frob'\n"),
            (("-x", "-h"), "unknown option '-x'\n"),       # examination stops at the first error
            (("--file", "rec"), "unknown option '--file'\n"),
            (("-file", "rec", "x"), "unexpected argument 'x'\n"),
            (("x",), "unexpected argument 'x'\n"),
            (("",), "unexpected argument ''\n"),
            (("-FILE",), "option '-FILE' needs a record file\n"),
            (("-ignore_error",), "option '-ignore_error' needs -file: there is nothing to play back\n"),
        ]
        for args, reason in cases:
            self.assertEqual(self.run_plugin(*args), (1, "", reason + USAGE % PLUGIN), args)

    def test_two_record_files(self):
        self.assertEqual(self.run_plugin("-file", "a", "-FILE", "b"),
                         (1, "", "Only one playback file is allowed.\n" + USAGE % PLUGIN))


class HostExchange(unittest.TestCase):
    def test_response_is_returned_to_the_waiting_request(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        plugin.send('{"jsonrpc":"2.0","result":{"v":1},"id":0}')
        self.assertEqual(plugin.read_message(), answered(1, '{ "v" : 1 }'))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_host_request_while_waiting_is_served_first(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "outer"))
        self.assertEqual(plugin.read_message(), service_probe(0, "outer"))
        plugin.send(request("No_Such", 50))
        self.assertEqual(plugin.read_message(), unknown(50))
        plugin.send(ask_host(51, "inner"))  # a nested request that asks the host again
        self.assertEqual(plugin.read_message(), service_probe(1, "inner"))
        plugin.send('{"result":"inner answer","id":1}')
        self.assertEqual(plugin.read_message(), answered(51, '"inner answer"'))
        plugin.send('{"result":"outer answer","id":0}')
        self.assertEqual(plugin.read_message(), answered(1, '"outer answer"'))
        self.assertEqual(plugin.finish(), (0, "", ""))

    def test_end_of_input_while_waiting_fails_the_host_request(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        plugin.send('{"result":')
        plugin.close_input()
        self.assertEqual(plugin.read_message(), answered(1, "null", 1))
        status, out, err = plugin.finish()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(err, 'VUSK plugin: Failed to get valid resonse: {"result":')

    def test_unwritable_nested_answer_fails_the_pending_request(self):
        plugin = PluginPipe(PROBE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(), service_probe(0, "x"))
        plugin.proc.stdout.close()
        plugin.send(request("No_Such", 60))
        plugin.close_input()
        err = plugin.proc.stderr.read().decode("latin-1")
        self.assertEqual(plugin.proc.wait(timeout=10), 3)
        self.assertEqual(err, "VUSK plugin: Failed to send response: %s (err 32)" % unknown(60)
                         + "VUSK plugin: Failed to send response: %s (err 32)" % answered(1, "null", 1))

    def test_nesting_is_bounded(self):
        plugin = PluginPipe(PROBE)
        depth = 32
        plugin.send(ask_host(1000, "level"))
        for level in range(depth):
            self.assertEqual(plugin.read_message(), service_probe(level, "level"))
            plugin.send(ask_host(1001 + level, "level"))
        # The innermost request is not sent to the host: it fails at once.
        self.assertEqual(plugin.read_message(), answered(1000 + depth, "null", 1))
        for level in reversed(range(depth)):
            plugin.send('{"result":%d,"id":%d}' % (level, level))
            self.assertEqual(plugin.read_message(), answered(1000 + level, str(level)))
        status, out, err = plugin.finish()
        self.assertEqual((status, out), (0, ""))
        self.assertEqual(err, "VUSK plugin: Host requests nested deeper than 32; not sent: %s\n"
                         % service_probe(depth, "level"))


if __name__ == "__main__":
    unittest.main()
