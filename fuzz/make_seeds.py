#!/usr/bin/env python3
"""Lays out the seed corpora of the fuzz targets under OUT/<target>/.

    fuzz/make_seeds.py OUT

Seeds come from the repository only: record files (whole, for playback; as
their host lines, for the dispatcher; message by message, for the parser),
the sample and the shipped register-layout databases and the hand-written
seeds in fuzz/seeds/. The JSON test corpus outside the repository is read in place by
fuzz/run.sh, never copied.
"""

import glob
import os
import re
import shutil
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
TAG = re.compile(r"^[0-9:. \t]*(plisk|plugin)[ \t\n\f\r]*:[ \t\n\f\r]*(.*?)[ \t\n\f\r]*$", re.I)


def records():
    return sorted(glob.glob(os.path.join(ROOT, "tests", "records", "**", "*.rec"), recursive=True))


def messages(path):
    """(side, text) of every line of a record file."""
    out = []
    with open(path, "rb") as stream:
        for raw in stream:
            match = TAG.match(raw.decode("latin-1"))
            if match:
                out.append((match.group(1).upper(), match.group(2)))
    return out


def write(directory, name, data):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, name), "wb") as stream:
        stream.write(data.encode("latin-1") if isinstance(data, str) else data)


def main():
    out = sys.argv[1]
    shutil.rmtree(out, ignore_errors=True)
    for number, record in enumerate(records()):
        stem = "%02d_%s" % (number, os.path.basename(record)[:-4])
        with open(record, "rb") as stream:
            write(os.path.join(out, "fuzz_framing"), stem, stream.read())
        host_lines = [text for side, text in messages(record) if side == "PLISK"]
        write(os.path.join(out, "fuzz_dispatch"), stem, "\n".join(host_lines))
        for index, (_, text) in enumerate(messages(record)):
            write(os.path.join(out, "fuzz_json_parse"), "%s_%03d" % (stem, index), text)
    os.makedirs(os.path.join(out, "fuzz_attr_file"), exist_ok=True)
    # The shipped database too: the fuzz tree does not load it beside the
    # targets, so its language is tried here.
    shipped = [os.path.join(ROOT, "config", "os_aware", "threadx_fm.odb")]
    for odb in sorted(glob.glob(os.path.join(ROOT, "tests", "config", "data", "*.odb"))) + shipped:
        shutil.copy(odb, os.path.join(out, "fuzz_attr_file", os.path.basename(os.path.dirname(odb)) + "_"
                                      + os.path.basename(odb)))
    for target, seeds in (("fuzz_attr_file", "attr_file"), ("fuzz_eval", "eval")):
        for seed in sorted(glob.glob(os.path.join(ROOT, "fuzz", "seeds", seeds, "*"))):
            os.makedirs(os.path.join(out, target), exist_ok=True)
            shutil.copy(seed, os.path.join(out, target))
    return 0


if __name__ == "__main__":
    sys.exit(main())
