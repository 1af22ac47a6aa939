#!/usr/bin/env python3
"""A misbehaving stand-in for vusk_threadx, for the host's fault tests.

    fake_plugin.py MODE [COUNT_FILE]

Every start appends a line to COUNT_FILE (when given), so a test can see
that the host restarted it. Modes, applied to each request it reads:
    serve     asks the host VUSK_Service_ExpressionEval of "1+1", an unknown
              service and VUSK_Service_StringEval of "x=`print x`" first,
              then answers {"return": 0, "asked": [the three answers]}
    exit      ends at once (status 3) without answering
    garbage   writes text that is no JSON-RPC message
    silent    never answers
    wrong-id  answers with another id
    error     answers with an error envelope
    warn      writes "warning N" on standard error, then answers {"return": 0}
"""

import json
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "host", "gdb"))
from vuskhost import wire  # noqa: E402


def read_message(pending):
    while True:
        end = wire.complete_object_end(pending)
        if end >= 0:
            return pending[:end], pending[end:]
        chunk = os.read(0, 65536)
        if not chunk:
            return None, ""
        pending += chunk.decode("latin-1")


def write(text):
    os.write(1, text.encode("latin-1"))


def main():
    mode = sys.argv[1]
    if len(sys.argv) > 2:
        with open(sys.argv[2], "a") as f:
            f.write("start\n")
    pending = ""
    ids = 0
    while True:
        text, pending = read_message(pending)
        if text is None:
            return 0
        request = json.loads(text)
        if mode == "exit":
            return 3
        if mode == "garbage":
            write("Segmentation fault? no: [1, 2, 3]")
            time.sleep(30)
            return 0
        if mode == "silent":
            time.sleep(30)
            return 0
        if mode == "wrong-id":
            write(wire.result({"return": 0}, 999))
            continue
        if mode == "error":
            write(wire.error(-32601, "unknown message", request.get("id")))
            continue
        if mode == "warn":
            os.write(2, b"warning %d\n" % request.get("id"))
            write(wire.result({"return": 0}, request.get("id")))
            continue
        asked = []
        for method, params in (("VUSK_Service_ExpressionEval", {"context": 1, "expression": "1+1"}),
                               ("VUSK_Service_NoSuchThing", {"context": 1}),
                               ("VUSK_Service_StringEval", {"context": 1, "input": "x=`print x`"})):
            write(wire.request(method, params, ids))
            ids += 1
            answer, pending = read_message(pending)
            if answer is None:
                return 0
            asked.append(json.loads(answer))
        write(wire.result({"return": 0, "asked": asked}, request.get("id")))


if __name__ == "__main__":
    sys.exit(main())
