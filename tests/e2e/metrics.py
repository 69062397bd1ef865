#!/usr/bin/python3
"""The relay's metrics file, read as a Prometheus server would read it.

  metrics.py validate FILE            parses with prometheus_client's parser;
                                      every family has HELP and TYPE, counters
                                      end in _total, no series twice
  metrics.py check FILE EXPECT...     every EXPECT holds; EXPECT is
                                      name{label=value,...}=N (exact) or
                                      name{...}<=N; prints the mismatches
  metrics.py value FILE SERIES        prints one series' value
"""

import re
import sys

from prometheus_client.parser import text_string_to_metric_families

EXPECT = re.compile(r"^([a-z_][a-z0-9_]*)(?:\{(.*)\})?(=|<=)(\d+(?:\.\d+)?)$")


def series_key(name, labels):
    return name + "{" + ",".join("%s=%s" % kv for kv in sorted(labels.items())) + "}"


def read(path):
    with open(path) as f:
        text = f.read()
    values = {}
    for family in text_string_to_metric_families(text):
        for sample in family.samples:
            values[series_key(sample.name, sample.labels)] = sample.value
    return text, values


def validate(path):
    text, _ = read(path)
    problems = []
    helps, types, seen = set(), {}, set()
    for line in text.splitlines():
        if line.startswith("# HELP "):
            helps.add(line.split()[2])
        elif line.startswith("# TYPE "):
            _, _, name, kind = line.split()
            types[name] = kind
        elif line and not line.startswith("#"):
            series = line.rsplit(" ", 1)[0]
            if series in seen:
                problems.append("series twice: " + series)
            seen.add(series)
            name = series.split("{")[0]
            if name not in helps or name not in types:
                problems.append("no HELP or TYPE before: " + series)
    for name, kind in types.items():
        if kind == "counter" and not name.endswith("_total"):
            problems.append("counter without _total: " + name)
    for p in problems:
        print(p, file=sys.stderr)
    return not problems


def parse_expect(text):
    m = EXPECT.match(text)
    if not m:
        raise SystemExit("bad expectation: " + text)
    name, labels, op, value = m.groups()
    pairs = dict(kv.split("=", 1) for kv in labels.split(",")) if labels else {}
    return series_key(name, pairs), op, float(value)


def check(path, expects):
    _, values = read(path)
    ok = True
    for e in expects:
        key, op, want = parse_expect(e)
        got = values.get(key)
        good = got is not None and (got == want if op == "=" else got <= want)
        if not good:
            print("%s: want %s%g, got %s" % (key, op, want, "nothing" if got is None else "%g" % got),
                  file=sys.stderr)
            ok = False
    return ok


def main():
    cmd, path = sys.argv[1], sys.argv[2]
    if cmd == "validate":
        sys.exit(0 if validate(path) else 1)
    if cmd == "check":
        sys.exit(0 if check(path, sys.argv[3:]) else 1)
    if cmd == "value":
        key, _, _ = parse_expect(sys.argv[3] + "=0")
        _, values = read(path)
        if key not in values:
            sys.exit(1)
        print("%.3f" % values[key])
        return
    raise SystemExit(__doc__)


if __name__ == "__main__":
    main()
