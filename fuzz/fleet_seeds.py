#!/usr/bin/env python3
"""Writes the seeds of fuzz_fleet into fuzz/corpus/fuzz_fleet/.

fuzz_fleet reads its input through libFuzzer's FuzzedDataProvider: integers
from the back of the data, strings from the front. Seed mirrors those reads in
the order fuzz_fleet.cpp makes them, so each seed below is a scenario written
as the calls it makes. Change both files together.
"""

import os
import sys

GIB = 1 << 30
BYTES = [0, 1, 268435456, 805306368, GIB - 1, GIB, GIB + 1, 8 * GIB, 24 * GIB, 80 * GIB,
         (1 << 63) - 1, (1 << 64) - 2, (1 << 64) - 1]
NAMES = ["a", "b", "m1", "A", "a ", "\u00e9\u540d\u2014", "q\"\\\n\t", "a-model-name-longer-than-the-field"]
KINDS = ["load_started", "probe_ok", "probe_failed", "process_exited", "load_failed", "stop"]
OPS = ["observe", "set_endpoint", "route", "report", "next_to_load"]


class Seed:
    def __init__(self):
        self.front = bytearray()
        self.back = bytearray()  # in the order they are read

    def integral(self, lo, hi, value, full=False):
        span = hi - lo
        count, offset = 0, 0
        while offset < 64 and (span >> offset) > 0:
            count, offset = count + 1, offset + 8
        self.back += (value - lo).to_bytes(count, "big") if count else b""

    def boolean(self, value):
        self.integral(0, 255, int(value))

    def string(self, text, most):
        raw = text.encode()
        assert len(raw) <= most
        self.front += raw.replace(b"\\", b"\\\\")
        if len(raw) < most:
            self.front += b"\\x"  # ends the string

    def bytes(self, n):
        if n in BYTES:
            self.integral(0, len(BYTES), BYTES.index(n))
        else:
            self.integral(0, len(BYTES), len(BYTES))
            self.integral(0, (1 << 64) - 1, n)

    def name(self, name):
        if name in NAMES:
            self.integral(0, len(NAMES), NAMES.index(name))
        else:
            self.integral(0, len(NAMES), len(NAMES))
            self.string(name, 12)

    def data(self):
        return bytes(self.front) + bytes(reversed(self.back))


class Scenario:
    def __init__(self, total, pct, roster, start=0):
        self.seed = Seed()
        self.names = [model for model, _, _ in roster]
        self.seed.bytes(total)
        self.seed.integral(0, 255, pct)
        self.seed.integral(0, 6, len(roster))
        for model, weights, kv in roster:
            self.seed.name(model)
            self.seed.bytes(weights)
            self.seed.bytes(kv)
        self.seed.integral(0, 100000, start)

    def lookup(self, model):
        if self.names and model in self.names:
            self.seed.boolean(True)
            self.seed.integral(0, len(self.names) - 1, self.names.index(model))
            return
        if self.names:
            self.seed.boolean(False)
        if model == "":
            self.seed.integral(0, 7, 0)
        else:
            self.seed.integral(0, 7, 1)
            self.seed.name(model)

    def op(self, name, after_ms=0):
        self.seed.integral(0, 3, 0)
        self.seed.integral(0, 5000, after_ms)
        self.seed.integral(0, 4, OPS.index(name))

    def observe(self, model, kind, after_ms=0, vram=0, detail="", gpu=True, code=None):
        self.op("observe", after_ms)
        self.lookup(model)
        self.seed.integral(0, 5, KINDS.index(kind))
        if kind == "probe_ok":
            self.seed.bytes(vram)
        elif kind == "probe_failed":
            self.seed.string(detail, 8)
            self.seed.boolean(gpu)
        elif kind == "process_exited":
            self.seed.boolean(code is not None)
            if code is not None:
                self.seed.integral(-(1 << 31), (1 << 31) - 1, code)
        elif kind == "load_failed":
            self.seed.string(detail, 16)
        return self

    def set_endpoint(self, model, endpoint, after_ms=0):
        self.op("set_endpoint", after_ms)
        self.lookup(model)
        self.seed.string(endpoint, 16)
        return self

    def route(self, model, after_ms=0):
        self.op("route", after_ms)
        self.lookup(model)
        return self

    def report(self, after_ms=0):
        self.op("report", after_ms)
        return self

    def next_to_load(self, after_ms=0):
        self.op("next_to_load", after_ms)
        return self


def seeds():
    # The usual day: 24 GiB at 10 %, a and c admitted, b rejected; a loads,
    # answers, serves, dies.
    day = Scenario(24 * GIB, 10, [("a", 14 * GIB, 2 * GIB), ("b", 8 * GIB, 0), ("m1", GIB, 512 << 20)])
    day.next_to_load().observe("a", "load_started", 10).route("a", 1500)
    day.observe("a", "probe_ok", 2000, vram=16 * GIB).set_endpoint("a", "http://h:8000")
    day.route("a").next_to_load().report(3000)
    day.observe("a", "process_exited", 100, code=-9).route("a").route("b").route("A")
    day.next_to_load().report()
    yield "typical_day", day

    # Every kind of route, one after another.
    kinds = Scenario(80 * GIB, 0, [("a", GIB, 0), ("b", 8 * GIB, 0), ("m1", 80 * GIB, 0)])
    kinds.route("a").observe("a", "load_started").route("a", 4999)
    kinds.observe("a", "probe_ok", vram=GIB).route("a").set_endpoint("a", "").route("a")
    kinds.observe("a", "probe_failed", gpu=False).route("a")
    kinds.observe("b", "load_failed", detail='oom "x"\n').route("b")
    kinds.observe("b", "probe_failed", detail="t/o").route("b").route("m1").route("")
    kinds.observe("a", "stop").route("a").observe("a", "process_exited").route("a").report()
    yield "every_route", kinds

    # Resident bytes past the usable ones, and past 2^64 - 1.
    over = Scenario(8 * GIB, 5, [("a", 0, 0), ("b", 0, 0), ("m1", 0, 0)])
    over.observe("a", "probe_ok", vram=(1 << 64) - 1).observe("b", "probe_ok", vram=(1 << 64) - 1)
    over.observe("m1", "probe_ok", vram=805306368).report().next_to_load()
    yield "saturated_bytes", over

    # A name twice (the second rejected), names that need escaping, and one past the name field.
    names = Scenario(24 * GIB, 10, [("a", 8 * GIB, 0), ("q\"\\\n\t", GIB, 0), ("a", 20 * GIB, 0),
                                    ("a-model-name-longer-than-the-field", 0, 0),
                                    ("\u00e9\u540d\u2014", GIB, 0)])
    names.report().observe("q\"\\\n\t", "load_failed", detail="\u2014\\").route("q\"\\\n\t")
    names.set_endpoint("\u00e9\u540d\u2014", "\u00e9p").observe("\u00e9\u540d\u2014", "probe_ok")
    names.route("\u00e9\u540d\u2014").route("a").next_to_load().report()
    yield "names", names

    # Nothing usable: only models that need nothing can load.
    empty = Scenario(GIB, 100, [("a", 1, 0), ("b", 0, 0)])
    empty.next_to_load().report().route("a").route("b")
    yield "nothing_usable", empty

    # An empty roster.
    yield "no_slots", Scenario(0, 50, []).report().next_to_load().route("a")


def main():
    out = os.path.join(os.path.dirname(os.path.abspath(__file__)), "corpus", "fuzz_fleet")
    if len(sys.argv) > 1:
        out = sys.argv[1]
    os.makedirs(out, exist_ok=True)
    for name, scenario in seeds():
        with open(os.path.join(out, name), "wb") as f:
            f.write(scenario.seed.data())


if __name__ == "__main__":
    main()
