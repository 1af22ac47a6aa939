#!/usr/bin/env python3
"""The Windows build checked under Wine, against the Linux build.

Run by run_tests.sh, which prepares the Wine prefix and keeps one wineserver
up for the whole run, from the top of the source tree, with the environment:
  VUSK_WINE           the Wine loader (wine64)
  VUSK_WIN_BUILD      the Windows build tree (vusk_threadx.exe, tests/*.exe)
  VUSK_LINUX_PLUGIN   the Linux vusk_threadx, the reference for playback
  WINEPREFIX          the prefix (its drive C: holds the temporary directory)

- Records: every tests/records/**/*.rec is played back by both builds; the
  status, standard output and standard error must be equal byte for byte,
  and the playback must succeed. So must the player's failure reports.
- Live: vusk_threadx.exe (and the probe built beside it) served through
  pipes: framing, nested host requests, end of work and exit statuses.
- Crash: the dump that a fault leaves behind, and the status it ends with.
- Files: path helpers, installation directories, directory listing and the
  database loaded from the configuration directories, %include_many and
  names outside ASCII included.

A Unix parent sees only the low 8 bits of a Windows exit status: an access
violation (0xC0000005) ends with 5, a stack overflow (0xC00000FD) with 253.
"""

import glob
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.path.abspath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "tools"))
from scripted_host import PluginPipe  # noqa: E402

WINE = os.environ.get("VUSK_WINE", "wine64")
WIN_BUILD = os.path.abspath(os.environ.get("VUSK_WIN_BUILD", "build-windows"))
LINUX_PLUGIN = os.environ.get("VUSK_LINUX_PLUGIN", os.path.join(SOURCE, "build", "vusk_threadx"))
WINEPREFIX = os.environ.get("WINEPREFIX", os.path.join(WIN_BUILD, "wineprefix"))

PLUGIN_EXE = os.path.join(WIN_BUILD, "vusk_threadx.exe")
PROBE_EXE = os.path.join(WIN_BUILD, "tests", "vusk_process_probe.exe")
CRASH_EXE = os.path.join(WIN_BUILD, "tests", "vusk_crash_probe.exe")
PORT_EXE = os.path.join(WIN_BUILD, "tests", "vusk_port_probe.exe")

TIMEOUT = 30.0  # a Wine process may take a few seconds to come up
USAGE_TAIL = " [-help | [-ignore_error] -file <JsonRecordPlaybackFile>]\n"


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


def windows_path(unix_path):
    """The name Wine gives a Unix path: drive Z: is the Unix root."""
    return "Z:" + os.path.abspath(unix_path).replace("/", "\\")


def unix_path(win_path):
    """The Unix file behind a Windows path on drive C: (the prefix) or Z:."""
    drive, rest = win_path[0].lower(), win_path[2:].replace("\\", "/")
    if drive == "z":
        return rest
    return os.path.join(WINEPREFIX, "drive_%s" % drive) + rest


# Wine's own complaint when a process's link to the wineserver breaks as it
# ends on a loaded machine (seen once in a CI run, never again in reruns):
# Wine writes it, not the plugin, so it is no part of what is compared.
_WINE_NOISE = re.compile(r"^wine client error:[0-9a-f]+: .*(?:\n|$)", re.M)


def without_wine_noise(text):
    return _WINE_NOISE.sub("", text)


def run(command, stdin=subprocess.DEVNULL, cwd=SOURCE):
    done = subprocess.run(command, stdin=stdin, capture_output=True, cwd=cwd, timeout=TIMEOUT)
    return done.returncode, done.stdout.decode("latin-1"), without_wine_noise(done.stderr.decode("latin-1"))


def run_exe(exe, *args, cwd=SOURCE):
    return run([WINE, exe, *args], cwd=cwd)


class WinePipe(PluginPipe):
    def finish(self, timeout=TIMEOUT):
        status, out, err = super().finish(timeout)
        return status, out, without_wine_noise(err)


def wine_pipe(exe, *args):
    return WinePipe(WINE, (exe, *args))


def read_text(path):
    with open(path, encoding="latin-1") as f:
        return f.read()


class Records(unittest.TestCase):
    """Filled below with one case per record file."""

    def play_both(self, record):
        # A record plays in its own directory, as under ctest: paths the
        # recorded debugger reports may be relative to it.
        directory = os.path.join(SOURCE, os.path.dirname(record))
        name = os.path.basename(record)
        linux = run([LINUX_PLUGIN, "-file", name], cwd=directory)
        windows = run_exe(PLUGIN_EXE, "-file", name, cwd=directory)
        self.assertEqual(windows, linux, "the builds differ on %s" % record)
        return windows


def record_case(record):
    def case(self):
        with open(os.path.join(SOURCE, record), "rb") as f:
            lines = sum(1 for _ in f)
        expected = (0, "Successfully played back all %d lines from %s.\n" % (lines, os.path.basename(record)), "")
        self.assertEqual(self.play_both(record), expected)
    return case


RECORDS = sorted(os.path.relpath(path, SOURCE)
                 for path in glob.glob(os.path.join(SOURCE, "tests", "records", "**", "*.rec"), recursive=True))
for _record in RECORDS:
    setattr(Records, "test_" + re.sub(r"\W", "_", _record[len("tests/records/"):-len(".rec")]), record_case(_record))


class PlaybackReports(unittest.TestCase):
    """The player's failures: the same report and status on both builds. The
    record is named relatively, so that both builds print the same path."""

    def setUp(self):
        self.directory = tempfile.TemporaryDirectory(dir=WIN_BUILD)
        self.path = os.path.relpath(os.path.join(self.directory.name, "rec.txt"), SOURCE)

    def tearDown(self):
        self.directory.cleanup()

    def play(self, lines, *options):
        with open(os.path.join(SOURCE, self.path), "w", encoding="latin-1", newline="") as f:
            f.write(lines)
        windows = run_exe(PLUGIN_EXE, *options, "-file", self.path)
        self.assertEqual(windows, run([LINUX_PLUGIN, *options, "-file", self.path]))
        return windows

    def test_crlf_lines_and_time_stamps(self):
        lines = "12:00:01.5 plisk \t: %s  \r\nPlugin:%s\r\n" % (request("No_Such", 1), unknown(1))
        self.assertEqual(self.play(lines),
                         (0, "Successfully played back all 2 lines from %s.\n" % self.path, ""))

    def test_cannot_open(self):
        missing = self.path + ".missing"
        done = run_exe(PLUGIN_EXE, "-file", missing)
        self.assertEqual(done, (2, "Cannot open file to read: %s\n" % missing,
                                'error: cannot open "%s": No such file or directory\n' % missing))

    def test_syntax_and_missing_line(self):
        self.assertEqual(self.play("PLISK %s\n" % request("No_Such", 1)), (3, "Invalid syntax at line 1\n", ""))
        self.assertEqual(self.play("PLISK: %s\n" % request("No_Such", 1)),
                         (3, "Expect a message from PLUGIN at line 2\n", ""))

    def test_result_mismatch_even_when_ignoring_errors(self):
        recorded = unknown(1).replace(" }", "}")
        lines = "PLISK: %s\nPLUGIN: %s\n" % (request("No_Such", 1), recorded)
        column = len(recorded)  # the recorded closing brace stands where the plugin wrote a blank
        detail = "Recorded on line 2:\n%s\nFirst difference at column %d " % (recorded, column)
        for options in ((), ("-ignore_error",)):
            status, out, err = self.play(lines, *options)
            self.assertEqual((status, out), (4, "Got different result to PLISK on line 2:\n%s\n" % unknown(1)))
            self.assertTrue(err.startswith(detail), err)


class Framing(unittest.TestCase):
    def test_request_in_pieces_is_served_once_when_complete(self):
        plugin = wine_pipe(PLUGIN_EXE)
        whole = request("No_Such", 7)
        cut = whole.index('"method"') + 4  # the first piece ends inside a member name
        plugin.send(whole[:cut])
        self.assertFalse(plugin.has_output(1.0))
        plugin.send(whole[cut:])
        self.assertEqual(plugin.read_message(TIMEOUT), unknown(7))
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_braces_and_line_ends_inside_strings(self):
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.send(request("No_Such", 1, '{ "a" : "}{}", "b" : "x\\"}" }'))
        self.assertEqual(plugin.read_message(TIMEOUT), unknown(1))
        # Bytes pass as they are: a CR LF between members reaches the parser.
        plugin.send('{ "jsonrpc" : "2.0",\r\n "method" : "No_Such", "params" : { }, "id" : 2 }')
        self.assertEqual(plugin.read_message(TIMEOUT), unknown(2))
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_carriage_return_reaches_the_parser(self):
        # Text-mode input would turn CR LF into LF: the parser's error text,
        # which quotes the rest of the message, shows which it got.
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.send("{ x\r\n }")
        self.assertEqual(plugin.read_message(TIMEOUT),
                         '{ "jsonrpc" : "2.0", "error" : { "code" : -32700, "message" : "Error: unexpected \'x\' '
                         'at beginning of object contents, got \'x\\r\\n }\'"}, "id" : null }')
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_messages_written_together_are_each_answered(self):
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.send("\r\n" + request("No_Such", 4) + "\r\n" + request("VUSK_Client_Exit", 5))
        self.assertEqual(plugin.read_message(TIMEOUT), unknown(4))
        self.assertEqual(plugin.read_message(TIMEOUT), EXIT_RESPONSE % 5)
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_request_longer_than_the_buffer(self):
        plugin = wine_pipe(PLUGIN_EXE)
        text = '{ "a" : "' + "x" * 70000
        plugin.send(text)
        self.assertEqual(plugin.finish(TIMEOUT),
                         (0, "", "VUSK plugin: Failed to get valid request: %s (err 0)\n" % text[:65535]))


class EndOfWork(unittest.TestCase):
    def test_end_of_input_with_nothing_pending(self):
        self.assertEqual(wine_pipe(PLUGIN_EXE).finish(TIMEOUT), (0, "", ""))

    def test_end_of_input_after_half_a_request(self):
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.send('{ "jsonrpc" : "2.0", "meth')
        self.assertEqual(plugin.finish(TIMEOUT),
                         (0, "", 'VUSK plugin: Failed to get valid request: { "jsonrpc" : "2.0", "meth (err 0)\n'))

    def test_exit_ends_without_reading_again(self):
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.send(request("VUSK_Client_Exit", 9))
        self.assertEqual(plugin.read_message(TIMEOUT), EXIT_RESPONSE % 9)
        # Standard input stays open: the process must end on its own.
        self.assertEqual(plugin.proc.wait(timeout=TIMEOUT), 0)
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_closed_output_gives_status_3(self):
        plugin = wine_pipe(PLUGIN_EXE)
        plugin.proc.stdout.close()
        plugin.send(request("No_Such", 5))
        plugin.close_input()
        err = without_wine_noise(plugin.proc.stderr.read().decode("latin-1"))
        self.assertEqual(plugin.proc.wait(timeout=TIMEOUT), 3)
        self.assertEqual(err, "VUSK plugin: Failed to send response: %s (err 32)" % unknown(5))


class CommandLine(unittest.TestCase):
    def test_help_on_standard_output(self):
        status, out, err = run_exe(PLUGIN_EXE, "-HELP")
        self.assertEqual((status, err), (0, ""))
        self.assertTrue(out.endswith("vusk_threadx.exe" + USAGE_TAIL), out)
        self.assertNotIn("\r", out)

    def test_syntax_errors(self):
        for args in (("-x", "-h"), ("-file",), ("-ignore_error",)):
            status, out, err = run_exe(PLUGIN_EXE, *args)
            self.assertEqual((status, out), (1, ""), args)
            self.assertTrue(err.endswith("vusk_threadx.exe" + USAGE_TAIL), err)


class HostExchange(unittest.TestCase):
    def test_host_request_while_waiting_is_served_first(self):
        plugin = wine_pipe(PROBE_EXE)
        plugin.send(ask_host(1, "outer"))
        self.assertEqual(plugin.read_message(TIMEOUT), service_probe(0, "outer"))
        plugin.send(request("No_Such", 50))
        self.assertEqual(plugin.read_message(TIMEOUT), unknown(50))
        plugin.send(ask_host(51, "inner"))  # a nested request that asks the host again
        self.assertEqual(plugin.read_message(TIMEOUT), service_probe(1, "inner"))
        plugin.send('{"result":"inner answer","id":1}')
        self.assertEqual(plugin.read_message(TIMEOUT), answered(51, '"inner answer"'))
        plugin.send('{"result":"outer answer","id":0}')
        self.assertEqual(plugin.read_message(TIMEOUT), answered(1, '"outer answer"'))
        plugin.send(request("VUSK_Client_Exit", 52))
        self.assertEqual(plugin.read_message(TIMEOUT), EXIT_RESPONSE % 52)
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))

    def test_end_of_input_while_waiting_fails_the_host_request(self):
        plugin = wine_pipe(PROBE_EXE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(TIMEOUT), service_probe(0, "x"))
        plugin.send('{"result":')
        plugin.close_input()
        self.assertEqual(plugin.read_message(TIMEOUT), answered(1, "null", 1))
        self.assertEqual(plugin.finish(TIMEOUT), (0, "", 'VUSK plugin: Failed to get valid resonse: {"result":'))

    def test_unwritable_nested_answer_fails_the_pending_request(self):
        plugin = wine_pipe(PROBE_EXE)
        plugin.send(ask_host(1, "x"))
        self.assertEqual(plugin.read_message(TIMEOUT), service_probe(0, "x"))
        plugin.proc.stdout.close()
        plugin.send(request("No_Such", 60))
        plugin.close_input()
        err = without_wine_noise(plugin.proc.stderr.read().decode("latin-1"))
        self.assertEqual(plugin.proc.wait(timeout=TIMEOUT), 3)
        self.assertEqual(err, "VUSK plugin: Failed to send response: %s (err 32)" % unknown(60)
                         + "VUSK plugin: Failed to send response: %s (err 32)" % answered(1, "null", 1))


class EventLog(unittest.TestCase):
    def test_dump_on_request_into_a_windows_directory(self):
        with tempfile.TemporaryDirectory(dir=WIN_BUILD) as directory:
            plugin = wine_pipe(PLUGIN_EXE)
            plugin.send(request("No_Such", 1))
            self.assertEqual(plugin.read_message(TIMEOUT), unknown(1))
            target = windows_path(directory).replace("\\", "\\\\")
            plugin.send(request("VUSK_Client_HistoryLogDump", 2, '{ "dirPath" : "%s" }' % target))
            self.assertIsNotNone(plugin.read_message(TIMEOUT))
            self.assertEqual(plugin.finish(TIMEOUT), (0, "", ""))
            files = glob.glob(os.path.join(directory, "vusk_threadx_events_*_0.log"))
            self.assertEqual(len(files), 1, os.listdir(directory))
            lines = read_text(files[0]).split("\n")
        self.assertRegex(lines[0], r"^# vusk event log: program vusk_threadx, process \d+, thread 0, \d+ entries$")
        self.assertIn('VUSK__JSON__Write "%s"' % unknown(1).replace('"', '\\"'), [line[27:] for line in lines])


class Crash(unittest.TestCase):
    DUMP_NOTE = re.compile(r"Event log written to ([A-Z]:\\.*\\vusk_crash_probe_crash_\d+_0\.log)\n")

    def crash(self, how, status, first_words=""):
        """Standard error must hold first_words and the note naming the dump,
        nothing else."""
        done_status, out, err = run_exe(CRASH_EXE, how)
        self.assertEqual((done_status, out), (status, ""), err)
        self.assertTrue(err.startswith(first_words), err)
        found = self.DUMP_NOTE.fullmatch(err[len(first_words):])
        self.assertIsNotNone(found, err)
        lines = read_text(unix_path(found.group(1))).split("\n")
        self.assertRegex(lines[0], r"^# vusk event log: program vusk_crash_probe, process \d+, thread 0, 1 entries$")
        self.assertTrue(lines[1].endswith(' VUSK__Info "about to fail"'), lines[1])

    def test_access_violation(self):
        self.crash("segv", 0xC0000005 & 0xFF)

    def test_stack_overflow(self):
        self.crash("stack", 0xC00000FD & 0xFF)

    def test_abort(self):
        self.crash("abort", 3)

    def test_out_of_memory(self):
        self.crash("oom", 1, "fatal: Out of memory (0x7fffffffffffffff bytes requested)\n")


def write_file(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


class Files(unittest.TestCase):
    """The probe's installation directory is build-windows/tests: its
    "defaults" and "config" directories are made for a case and removed."""

    PROBE_DIR = os.path.dirname(PORT_EXE)

    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory(dir=WIN_BUILD)
        self.made = [os.path.join(self.PROBE_DIR, name) for name in ("defaults", "config")]

    def tearDown(self):
        self.scratch.cleanup()
        for directory in self.made:
            shutil.rmtree(directory, ignore_errors=True)

    def test_path_helpers(self):
        self.assertEqual(run_exe(PORT_EXE, "paths"), (0, "", ""))

    def test_installation_directories(self):
        status, out, err = run_exe(PORT_EXE, "install")
        self.assertEqual((status, err), (0, ""))
        install = windows_path(self.PROBE_DIR)
        lines = out.split("\n")
        self.assertEqual(lines[:3], [install, install + "\\defaults", install + "\\config"])
        self.assertRegex(lines[3], r"^C:\\.*[^\\]$")  # the temporary directory, no separator at the end
        self.assertEqual(lines[4:], ["win64", ""])

    def test_listing(self):
        names = ["b.odb", "a.odb", "B.odb", "\u00fc.odb", "sub"]
        for name in names:
            write_file(os.path.join(self.scratch.name, name, "x") if name == "sub"
                       else os.path.join(self.scratch.name, name), "")
        status, out, err = run([WINE, PORT_EXE, "list", windows_path(self.scratch.name)])
        self.assertEqual((status, err), (0, ""))
        self.assertEqual(out.encode("latin-1").decode("utf-8"), "".join(n + "\n" for n in sorted(names)))
        empty = os.path.join(self.scratch.name, "sub", "empty")
        os.mkdir(empty)
        self.assertEqual(run_exe(PORT_EXE, "list", windows_path(empty)), (0, "", ""))
        self.assertEqual(run_exe(PORT_EXE, "list", windows_path(empty) + "\\missing"), (1, "error 2\n", ""))

    def test_open_refuses_a_directory(self):
        path = os.path.join(self.scratch.name, "file.odb")
        write_file(path, "x = 1\n")
        self.assertEqual(run_exe(PORT_EXE, "open", windows_path(path)), (0, "readable\n", ""))
        self.assertEqual(run_exe(PORT_EXE, "open", windows_path(path) + ".missing"), (1, "error 2\n", ""))
        self.assertEqual(run_exe(PORT_EXE, "open", windows_path(self.scratch.name)), (1, "error 13\n", ""))

    def test_database_from_the_configuration_directories(self):
        relative = os.path.join("os_aware", "threadx_fm.odb")
        parts = os.path.join(self.PROBE_DIR, "config", "os_aware", "parts")
        write_file(os.path.join(self.PROBE_DIR, "defaults", relative), 'order += { "defaults" }\n')
        write_file(os.path.join(self.PROBE_DIR, "config", relative),
                   'order += { "config" }\n%include_many "${__DIR__}/parts/*.odb"\n')
        for name in ("b", "a", "B", "\u00fc"):
            write_file(os.path.join(parts, name + ".odb"), 'order += { "part %s" }\n' % name)
        write_file(os.path.join(parts, "c.txt"), 'order += { "not a part" }\n')
        write_file(os.path.join(self.scratch.name, relative), 'order += { "user" }\n')
        status, out, err = run_exe(PORT_EXE, "config", windows_path(self.scratch.name))
        self.assertEqual((status, err), (0, ""))
        install = windows_path(self.PROBE_DIR)
        part_files = ["%s\\config\\os_aware\\parts\\%s.odb" % (install, name) for name in ("B", "a", "b", "\u00fc")]
        files = ([install + "\\defaults\\os_aware\\threadx_fm.odb", install + "\\config\\os_aware\\threadx_fm.odb"]
                 + part_files + [windows_path(self.scratch.name) + "\\os_aware\\threadx_fm.odb"])
        order = ["defaults", "config", "part B", "part a", "part b", "part \u00fc", "user"]
        expected = "".join("file %s\n" % f for f in files) + "".join("order %s\n" % o for o in order)
        self.assertEqual(out.encode("latin-1").decode("utf-8"), expected)


def main():
    suite = unittest.defaultTestLoader.loadTestsFromModule(sys.modules[__name__])
    result = unittest.TextTestRunner(verbosity=2).run(suite)
    failed = len(result.failures) + len(result.errors)
    print("windows: %d passed, %d failed" % (result.testsRun - failed - len(result.skipped), failed))
    return 0 if result.wasSuccessful() and result.testsRun > 0 else 1


if __name__ == "__main__":
    sys.exit(main())
