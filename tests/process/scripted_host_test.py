#!/usr/bin/env python3
"""The record-authoring tool: its rules answer the plugin's host requests, and
the record it writes plays back."""

import json
import os
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from live_test import PROBE, answered, service_probe, unknown  # noqa: E402

TOOL = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools", "scripted_host.py")


class ScriptedHost(unittest.TestCase):
    def test_rules_nested_requests_and_playback(self):
        scenario = {
            "requests": [
                {"method": "Probe_AskHost", "params": {"expression": "first thing"}},
                {"method": "Probe_AskHost", "params": {"expression": "first thing"}},
                {"method": "Probe_AskHost", "params": {"expression": "other"}, "id": 40},
            ],
            "rules": [
                {"method": "VUSK_Service_Probe", "match": "first", "times": 1, "result": {"n": 1},
                 "before": [{"method": "No_Such", "id": 77}]},
                {"method": "VUSK_Service_Probe", "match": "first thing", "exact": True, "result": 2},
            ],
            "default": {"error": {"code": -1, "message": "none"}},
        }
        with tempfile.TemporaryDirectory() as directory:
            scenario_path = os.path.join(directory, "scenario.json")
            record_path = os.path.join(directory, "out.rec")
            with open(scenario_path, "w") as f:
                json.dump(scenario, f)
            done = subprocess.run([sys.executable, TOOL, scenario_path, "-o", record_path, "--binary", PROBE,
                                   "--check"], capture_output=True, text=True)
            self.assertEqual(done.returncode, 0, done.stdout + done.stderr)
            self.assertIn("Successfully played back all 14 lines from %s.\n" % record_path, done.stdout)
            with open(record_path) as f:
                lines = f.read().splitlines()
        expected = [
            "PLISK: " + json.dumps({"jsonrpc": "2.0", "method": "Probe_AskHost",
                                    "params": {"expression": "first thing"}, "id": 1}),
            "PLUGIN: " + service_probe(0, "first thing"),
            "PLISK: " + json.dumps({"jsonrpc": "2.0", "method": "No_Such", "params": {}, "id": 77}),
            "PLUGIN: " + unknown(77),
            "PLISK: " + json.dumps({"jsonrpc": "2.0", "result": {"n": 1}, "id": 0}),
            "PLUGIN: " + answered(1, '{ "n" : 1 }'),
            "PLISK: " + json.dumps({"jsonrpc": "2.0", "method": "Probe_AskHost",
                                    "params": {"expression": "first thing"}, "id": 2}),
            "PLUGIN: " + service_probe(1, "first thing"),
            "PLISK: " + json.dumps({"jsonrpc": "2.0", "result": 2, "id": 1}),
            "PLUGIN: " + answered(2, "2"),
        ]
        self.assertEqual(lines[:10], expected)
        self.assertEqual(lines[10], "PLISK: " + json.dumps({"jsonrpc": "2.0", "method": "Probe_AskHost",
                                                             "params": {"expression": "other"}, "id": 40}))
        self.assertEqual(lines[11], "PLUGIN: " + service_probe(2, "other"))
        self.assertEqual(lines[12], "PLISK: " + json.dumps({"jsonrpc": "2.0",
                                                             "error": {"code": -1, "message": "none"}, "id": 2}))
        self.assertEqual(lines[13], "PLUGIN: " + answered(40, "null", 1))


if __name__ == "__main__":
    unittest.main()
