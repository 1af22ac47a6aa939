#!/usr/bin/env python3
"""Record playback: the player's reports and results for good and bad records.

Environment as for live_test.py (VUSK_PLUGIN, VUSK_PROBE).
"""

import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_test import PLUGIN, PROBE, answered, ask_host, request, service_probe, unknown  # noqa: E402


class Playback(unittest.TestCase):
    def setUp(self):
        self.directory = tempfile.TemporaryDirectory()
        self.path = os.path.join(self.directory.name, "rec.txt")

    def tearDown(self):
        self.directory.cleanup()

    def play(self, lines, *options, binary=PLUGIN, err=""):
        with open(self.path, "w", encoding="latin-1", newline="") as f:
            f.write(lines)
        return self.play_path(self.path, *options, binary=binary, err=err)

    def play_path(self, path, *options, binary=PLUGIN, err=""):
        done = subprocess.run([binary, *options, "-file", path], capture_output=True, stdin=subprocess.DEVNULL)
        self.assertEqual(done.stderr.decode("latin-1"), err)
        return done.returncode, done.stdout.decode("latin-1")

    @staticmethod
    def mismatch_detail(line, recorded, produced):
        """What standard error adds to a mismatch report."""
        at = next((i for i, (a, b) in enumerate(zip(recorded, produced)) if a != b), min(len(recorded), len(produced)))

        def around(text):
            start = max(0, at - 20)
            return ("..." if start else "") + text[start:at + 40] + ("..." if at + 40 < len(text) else "")
        return ("Recorded on line %d:\n%s\nFirst difference at column %d (recorded %d characters, produced %d):\n"
                "  recorded: %s\n  produced: %s\n"
                % (line, recorded, at + 1, len(recorded), len(produced), around(recorded), around(produced)))

    def success(self, count):
        return "Successfully played back all %d lines from %s.\n" % (count, self.path)

    def test_request_and_matching_response(self):
        lines = "PLISK: %s\nPLUGIN: %s\n" % (request("No_Such", 1), unknown(1))
        self.assertEqual(self.play(lines), (0, self.success(2)))

    def test_time_stamps_lower_case_tags_and_blanks(self):
        lines = ("12:00:01.5 plisk \t: %s  \r\n\t12:00:02 Plugin:%s\r\n"
                 % (request("No_Such", 1), unknown(1)))
        self.assertEqual(self.play(lines), (0, self.success(2)))

    def test_last_line_without_newline(self):
        lines = "PLISK: %s\nPLUGIN: %s" % (request("No_Such", 1), unknown(1))
        self.assertEqual(self.play(lines), (0, self.success(2)))

    def test_empty_file_is_a_record_without_exchange(self):
        self.assertEqual(self.play(""), (0, self.success(0)))

    def test_what_cannot_be_read_is_the_cannot_open_case_with_the_reason(self):
        cases = [
            (self.path, 'error: cannot open "%s": No such file or directory\n'),
            (self.directory.name, 'error: cannot open "%s": Is a directory\n'),
            # Opens, but the first read fails (nothing is mapped at address 0).
            ("/proc/self/mem", 'error: cannot read "%s": Input/output error\n'),
        ]
        for path, reason in cases:
            with self.subTest(path=path):
                self.assertEqual(self.play_path(path, err=reason % path), (2, "Cannot open file to read: %s\n" % path))

    def test_missing_colon(self):
        self.assertEqual(self.play("PLISK %s\n" % request("No_Such", 1)), (3, "Invalid syntax at line 1\n"))

    def test_wrong_side_tag(self):
        self.assertEqual(self.play("PLUGIN: %s\n" % unknown(1)), (3, "Expect a message from PLISK at line 1\n"))

    def test_file_ends_after_a_host_request(self):
        lines = "PLISK: %s\nPLUGIN: %s\nPLISK: %s\n" % (request("No_Such", 1), unknown(1), request("No_Such", 2))
        self.assertEqual(self.play(lines), (3, "Expect a message from PLUGIN at line 4\n"))

    def test_result_differing_by_one_blank_stops_even_when_ignoring_errors(self):
        response = unknown(1)
        recorded = response.replace('"id" : 1', '"id" :  1')
        lines = "PLISK: %s\nPLUGIN: %s\nPLISK: %s\nPLUGIN: %s\n" % (
            request("No_Such", 1), recorded, request("No_Such", 2), recorded)
        report = "Got different result to PLISK on line 2:\n%s\n" % response
        detail = self.mismatch_detail(2, recorded, response)
        self.assertEqual(self.play(lines, err=detail), (4, report))
        self.assertEqual(self.play(lines, "-ignore_error", err=detail), (4, report))

    def test_mismatch_detail_shows_where_a_long_line_parts(self):
        response = answered(1, '"%s"' % ("a" * 1000))
        recorded = response.replace("a" * 10 + '"', "a" * 9 + 'b"')  # the last character of the text
        lines = "PLISK: %s\nPLUGIN: %s\n" % (ask_host(1, "x"), service_probe(0, "x"))
        lines += 'PLISK: {"result":"%s","id":0}\nPLUGIN: %s\n' % ("a" * 1000, recorded)
        detail = self.play(lines, binary=PROBE, err=self.mismatch_detail(4, recorded, response))
        self.assertEqual(detail, (4, "Got different result to PLISK on line 4:\n%s\n" % response))
        column = response.index("a" * 1000) + 1000  # the last "a", counted from 1
        self.assertIn("First difference at column %d (recorded 1075 characters, produced 1075):\n" % column,
                      self.mismatch_detail(4, recorded, response))

    def test_a_recorded_line_longer_than_the_plugins_parts_at_the_plugins_end(self):
        response = unknown(1)
        recorded = response[:-1] + "x }"
        lines = "PLISK: %s\nPLUGIN: %s\n" % (request("No_Such", 1), recorded)
        self.assertEqual(self.play(lines, err=self.mismatch_detail(2, recorded, response)),
                         (4, "Got different result to PLISK on line 2:\n%s\n" % response))

    def test_nested_host_request_in_the_record(self):
        lines = "".join("%s: %s\n" % pair for pair in [
            ("PLISK", ask_host(1, "x")),
            ("PLUGIN", service_probe(0, "x")),
            ("PLISK", request("No_Such", 2)),
            ("PLUGIN", unknown(2)),
            ("PLISK", '{"result":7,"id":0}'),
            ("PLUGIN", answered(1, "7")),
        ])
        self.assertEqual(self.play(lines, binary=PROBE), (0, self.success(6)))

    def test_request_id_mismatch_goes_on_only_when_ignoring_errors(self):
        def pair(ident, recorded_id, line):
            return "".join("%s: %s\n" % p for p in [
                ("PLISK", ask_host(ident, "x")),
                ("PLUGIN", service_probe(recorded_id, "x")),
                ("PLISK", '{"result":7,"id":%d}' % recorded_id),
                ("PLUGIN", answered(ident, "7")),
            ])
        lines = pair(1, 5, 2) + pair(2, 6, 6)
        first = "Got different request to PLISK on line 2:\n%s\n" % service_probe(0, "x")
        second = "Got different request to PLISK on line 6:\n%s\n" % service_probe(1, "x")
        first_detail = self.mismatch_detail(2, service_probe(5, "x"), service_probe(0, "x"))
        second_detail = self.mismatch_detail(6, service_probe(6, "x"), service_probe(1, "x"))
        self.assertEqual(self.play(lines, binary=PROBE, err=first_detail), (4, first))
        self.assertEqual(self.play(lines, "-ignore_error", binary=PROBE, err=first_detail + second_detail),
                         (4, first + second))

    def test_host_response_missing_fails_the_host_request(self):
        lines = "PLISK: %s\nPLUGIN: %s\n" % (ask_host(1, "x"), service_probe(0, "x"))
        self.assertEqual(self.play(lines, binary=PROBE),
                         (3, "Expect a message from PLISK at line 3\nExpect a message from PLUGIN at line 3\n"))


if __name__ == "__main__":
    unittest.main()
