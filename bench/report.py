#!/usr/bin/env python3
"""Prints the benchmark ratios against their targets.

    bench/report.py RESULTS_DIR     (the JSON files written by bench/run.sh)

JSON: simple_json's throughput (bytes per CPU second, parse + write) over
RapidJSON's (target at least 0.5) and over nlohmann::json's (target at least
2), per message and overall (total bytes over total time). Round trips: the
plugin's rate over the C echo process's (target at least 0.8). Playback: lines
per second.
"""

import json
import os
import sys


def load(directory, name):
    path = os.path.join(directory, name + ".json")
    if not os.path.exists(path):
        return None
    with open(path) as f:
        return json.load(f)


def json_report(data):
    rates = {}
    sizes = {}
    for bench in data["benchmarks"]:
        family, message, size = bench["name"].split("/")[:3]
        rates[(family, message)] = bench["bytes_per_second"]
        sizes[message] = int(size)
    messages = sorted(sizes, key=sizes.get)
    print("%-14s %7s %12s %12s %12s %9s %9s" % ("message", "bytes", "simple MB/s", "rapid MB/s", "nlohmann",
                                               "/rapid", "/nlohmann"))
    totals = {}
    for message in messages:
        row = [rates[(f, message)] for f in ("simple_json", "rapidjson", "nlohmann")]
        for family, rate in zip(("simple_json", "rapidjson", "nlohmann"), row):
            # Time to process the message once, summed over the corpus.
            totals[family] = totals.get(family, 0.0) + sizes[message] / rate
        print("%-14s %7d %12.1f %12.1f %12.1f %9.2f %9.2f" % (message, sizes[message], row[0] / 1e6, row[1] / 1e6,
                                                                row[2] / 1e6, row[0] / row[1], row[0] / row[2]))
    whole = {f: sum(sizes.values()) / t for f, t in totals.items()}
    print("%-14s %7d %12.1f %12.1f %12.1f %9.2f %9.2f" % ("whole corpus", sum(sizes.values()),
                                                            whole["simple_json"] / 1e6, whole["rapidjson"] / 1e6,
                                                            whole["nlohmann"] / 1e6,
                                                            whole["simple_json"] / whole["rapidjson"],
                                                            whole["simple_json"] / whole["nlohmann"]))
    worst_rapid = min(rates[("simple_json", m)] / rates[("rapidjson", m)] for m in messages)
    worst_nlohmann = min(rates[("simple_json", m)] / rates[("nlohmann", m)] for m in messages)
    print("JSON: worst message %.2f x RapidJSON (target 0.5), %.2f x nlohmann (target 2)"
          % (worst_rapid, worst_nlohmann))


def roundtrip_report(data):
    ratios = []
    median = None
    for bench in data["benchmarks"]:
        # Each repetition's ratio, and the median of the repetitions.
        if bench.get("run_type") == "aggregate":
            if bench.get("aggregate_name") == "median":
                median = bench
            continue
        ratios.append(bench["ratio"])
    median = median or data["benchmarks"][0]
    print("Round trips (plugin and C process interleaved): plugin %.0f/s, echo %.0f/s, ratio %.2f "
          "(target 0.8; median of %s)" % (median["plugin_per_s"], median["echo_per_s"], median["ratio"],
                                          ", ".join("%.2f" % r for r in ratios)))


def playback_report(data):
    bench = data["benchmarks"][0]
    print("Playback: %.0f lines/s (%d lines per run)" % (bench["items_per_second"], bench["lines"]))


def main():
    directory = sys.argv[1] if len(sys.argv) > 1 else "build-bench/results"
    for name, report in (("bench_json", json_report), ("bench_roundtrip", roundtrip_report),
                         ("bench_playback", playback_report)):
        data = load(directory, name)
        if data is None:
            print("%s: no results in %s" % (name, directory))
            continue
        context = data["context"]
        report(data)
    print("Machine: %d CPUs at %.0f MHz, load average %s" % (context["num_cpus"], context["mhz_per_cpu"],
                                                           ", ".join("%.2f" % x for x in context.get("load_avg", []))))
    return 0


if __name__ == "__main__":
    sys.exit(main())
