#!/usr/bin/env python3
"""Plays one record file back: passes when the plugin ends with status 0,
prints the success line and nothing on standard error."""

import subprocess
import sys


def main():
    binary, record = sys.argv[1], sys.argv[2]
    done = subprocess.run([binary, "-file", record], capture_output=True, text=True, stdin=subprocess.DEVNULL)
    sys.stdout.write(done.stdout)
    sys.stderr.write(done.stderr)
    lines = sum(1 for _ in open(record, "rb"))
    expected = "Successfully played back all %d lines from %s.\n" % (lines, record)
    if done.returncode != 0 or done.stdout != expected or done.stderr:
        print("play_record: status %d; expected exactly: %s" % (done.returncode, expected.strip()))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
