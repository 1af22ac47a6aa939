#!/usr/bin/env python3
"""scripted_host: a stand-in debugger host that writes record files.

It starts the plugin live (no arguments), sends a scenario's host requests
one after the other, answers every service request the plugin makes while it
works from scripted rules, and writes the whole exchange as a record file that
`vusk_threadx -file FILE` plays back.

    tools/scripted_host.py SCENARIO.json -o OUT.rec [--binary build/vusk_threadx]
                           [--check] [--timeout SECONDS]

--check plays the new record back at once and fails unless it passes.

Scenario file (JSON):

    {
      "requests": [                                  # host requests, in order
        {"method": "VUSK_Client_VuskInit", "params": {"context": 1}},
        {"method": "VUSK_Client_Exit", "params": {}, "id": 99},
        {"raw": "{ \"jsonrpc\" : \"2.0\", \"id\" : 5 }"}
      ],
      "rules": [                                     # first match wins
        {"method": "VUSK_Service_ExpressionEvaluate",
         "match": "_tx_thread_created_ptr",
         "result": {"return": 0, "value": 4096}},
        {"method": "VUSK_Service_CommandExecute", "match": "show",
         "times": 1, "error": {"code": -1, "message": "busy"}},
        {"method": "VUSK_Service_MessageShow",
         "before": [{"method": "VUSK_Client_Poll", "params": {"context": 1}}],
         "result": {"return": 0}}
      ],
      "default": {"error": {"code": -32601, "message": "no scripted answer"}}
    }

Requests: "method" and "params" (default {}) make the request object; "id"
defaults to a counter starting at 1; "raw" sends a text as it stands.

Rules: "method" must equal the service method. "match", when given, must be
a substring of the request's "expression", "input" or "command" parameter
(whichever is present); with "exact": true it must equal it. "times" spends
the rule after that many uses. The answer is {"result": ...} or {"error":
...}, wrapped in the envelope with the plugin's id. "before" lists host
requests sent first, while the plugin waits (nested requests); the plugin's
answers to them are recorded too. A request that no rule matches gets
"default" (an error envelope unless the scenario says otherwise).

Record file: one message per line, "PLISK: text" for a message from the
host and "PLUGIN: text" for one from the plugin.
"""

import argparse
import json
import os
import select
import subprocess
import sys

DEFAULT_ANSWER = {"error": {"code": -32601, "message": "no scripted answer"}}


def first_message_end(text):
    """Length of the brace-balanced object at the start of text, or 0 while
    it is not all in. The plugin writes its messages back to back, with
    nothing between them."""
    depth = 0
    in_string = False
    i = 0
    while i < len(text):
        c = text[i]
        if in_string:
            if c == '"':
                in_string = False
            elif c == "\\":
                i += 1
        elif c == '"':
            in_string = True
        elif c == "{":
            depth += 1
        elif c == "}":
            depth -= 1
            if depth == 0:
                return i + 1
        i += 1
    return 0


class PluginPipe:
    """The plugin process with its standard streams as pipes."""

    def __init__(self, binary, args=(), env=None):
        self.proc = subprocess.Popen([binary, *args], stdin=subprocess.PIPE,
                                     stdout=subprocess.PIPE, stderr=subprocess.PIPE, env=env)
        self.pending = b""

    def send(self, text):
        data = text.encode("latin-1") if isinstance(text, str) else text
        self.proc.stdin.write(data)
        self.proc.stdin.flush()

    def close_input(self):
        if self.proc.stdin:
            self.proc.stdin.close()
            self.proc.stdin = None  # communicate() must not flush it

    def read_message(self, timeout=10.0):
        """The next complete message from the plugin, or None when its output
        ends (or nothing complete arrives in time)."""
        fd = self.proc.stdout.fileno()
        while not first_message_end(self.pending.decode("latin-1")):
            ready, _, _ = select.select([fd], [], [], timeout)
            if not ready:
                return None
            chunk = os.read(fd, 65536)
            if not chunk:
                return None
            self.pending += chunk
        # Answers to requests written ahead may arrive together: one at a time.
        text = self.pending.decode("latin-1")
        end = first_message_end(text)
        self.pending = text[end:].encode("latin-1")
        return text[:end]

    def has_output(self, timeout):
        ready, _, _ = select.select([self.proc.stdout.fileno()], [], [], timeout)
        return bool(ready)

    def finish(self, timeout=10.0):
        """Closes standard input, waits for the end; (status, rest of
        standard output, standard error)."""
        self.close_input()
        out, err = self.proc.communicate(timeout=timeout)
        return self.proc.returncode, (self.pending + out).decode("latin-1"), err.decode("latin-1")


class ScriptedHost:
    def __init__(self, scenario, pipe, timeout):
        self.requests = scenario.get("requests", [])
        self.rules = [dict(rule) for rule in scenario.get("rules", [])]
        self.default = scenario.get("default", DEFAULT_ANSWER)
        self.pipe = pipe
        self.timeout = timeout
        self.next_id = 1
        self.lines = []

    def host_says(self, text):
        self.lines.append("PLISK: " + text)
        self.pipe.send(text)

    def plugin_says(self):
        text = self.pipe.read_message(self.timeout)
        if text is None:
            raise RuntimeError("the plugin sent no complete message")
        self.lines.append("PLUGIN: " + text)
        return text

    def request_text(self, request):
        if "raw" in request:
            return request["raw"]
        ident = request.get("id")
        if ident is None:
            ident = self.next_id
            self.next_id += 1
        body = {"jsonrpc": "2.0", "method": request["method"],
                "params": request.get("params", {}), "id": ident}
        return json.dumps(body)

    def find_rule(self, method, params):
        subject = None
        if isinstance(params, dict):
            for key in ("expression", "input", "command"):
                if isinstance(params.get(key), str):
                    subject = params[key]
                    break
        for rule in self.rules:
            if rule.get("method") != method:
                continue
            if "times" in rule and rule["times"] <= 0:
                continue
            if "match" in rule:
                if subject is None:
                    continue
                if rule.get("exact") and subject != rule["match"]:
                    continue
                if not rule.get("exact") and rule["match"] not in subject:
                    continue
            if "times" in rule:
                rule["times"] -= 1
            return rule
        return self.default

    def serve_plugin_request(self, message):
        rule = self.find_rule(message.get("method"), message.get("params"))
        for nested in rule.get("before", []):
            self.converse(self.request_text(nested))
        answer = {"jsonrpc": "2.0"}
        if "error" in rule:
            answer["error"] = rule["error"]
        else:
            answer["result"] = rule.get("result", {})
        answer["id"] = message.get("id")
        self.host_says(json.dumps(answer))

    def converse(self, text):
        """Sends one host request and serves the plugin until it answers."""
        self.host_says(text)
        while True:
            reply = self.plugin_says()
            try:
                message = json.loads(reply)
            except ValueError:
                return reply
            if isinstance(message, dict) and "method" in message:
                self.serve_plugin_request(message)
            else:
                return reply

    def run(self):
        for request in self.requests:
            self.converse(self.request_text(request))
        return self.lines


def main():
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Record a scripted exchange with the plugin.")
    parser.add_argument("scenario")
    parser.add_argument("-o", "--output", required=True)
    parser.add_argument("--binary", default=os.path.join(here, "..", "build", "vusk_threadx"))
    parser.add_argument("--check", action="store_true", help="play the record back afterwards")
    parser.add_argument("--timeout", type=float, default=10.0)
    options = parser.parse_args()

    with open(options.scenario, encoding="utf-8") as f:
        scenario = json.load(f)
    pipe = PluginPipe(options.binary)
    host = ScriptedHost(scenario, pipe, options.timeout)
    try:
        lines = host.run()
    finally:
        status, rest, err = pipe.finish(options.timeout)
    if rest:
        sys.stderr.write("scripted_host: unexpected plugin output: %s\n" % rest)
    if err:
        sys.stderr.write(err)
    with open(options.output, "w", encoding="latin-1", newline="\n") as f:
        for line in lines:
            f.write(line + "\n")
    print("scripted_host: %d lines written to %s (plugin status %d)" % (len(lines), options.output, status))
    if options.check:
        played = subprocess.run([options.binary, "-file", options.output], capture_output=True, text=True)
        sys.stdout.write(played.stdout)
        if played.returncode != 0:
            return 1
    return 0 if status == 0 else 1


if __name__ == "__main__":
    sys.exit(main())
