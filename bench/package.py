"""Times the garnel package's hot calls against what a host writes by hand
with the bare module.

    .venv/bin/python bench/package.py            # 9 rounds of 20 ms batches
    .venv/bin/python bench/package.py --quick    # 3 rounds of 5 ms

Each case is a pair, run alternately in interleaved rounds; each figure is
the median over the rounds, so a busy machine slows both sides alike:

- the package's `Fleet.route` against `json.loads(raw.route(...))`, for a
  ready route (the same text every call) and a warming one (a new text every
  call): at most 1.25 times its cost;
- `Fleet.probe_ok` against the module's `observe` with a hand-written detail:
  at most 1.5 times;
- a journaled `probe_ok` (a line written and flushed to a file) against an
  unjournaled one, and `route` reading the default clock, shown for scale.

Exits 1 when a target is missed, 2 on a usage error. A benchmark for people,
not a test: pytest never collects it.
"""

from __future__ import annotations

import argparse
import gc
import itertools
import json
import os
import statistics
import sys
import tempfile
import time
from typing import Callable

import _garnel
import garnel

GIB = 2**30
TOTAL_BYTES = 24 * GIB
RESERVE_PCT = 10
NOW = 3_600_000  # an hour in, and no small int the interpreter caches
ROSTER = json.dumps(
    [
        {"model": "chat-8b", "weightsBytes": 16106127360, "kvBytes": 2147483648},
        {"model": "coder-14b", "weightsBytes": 9663676416, "kvBytes": 1073741824},
        {"model": "embed-small", "weightsBytes": 1073741824},
        {"model": "rerank-base", "weights_bytes": 805306368, "kv_bytes": 268435456},
    ]
)
HAND_DETAIL = json.dumps({"vramBytes": GIB})  # what a host writes today

Loop = Callable[[int], int]  # runs n calls, returns the nanoseconds they took


def the_day(fleet: garnel.Fleet) -> garnel.Fleet:
    """chat-8b ready behind an endpoint, embed-small resident, rerank-base loading."""
    fleet.load_started("chat-8b", 0)
    fleet.probe_ok("chat-8b", 17 * GIB, 42_000)
    fleet.set_endpoint("chat-8b", "http://127.0.0.1:8001")
    fleet.load_started("embed-small", 60_000)
    fleet.probe_ok("embed-small", GIB, 65_000)
    fleet.set_endpoint("embed-small", "http://127.0.0.1:8002")
    fleet.load_started("rerank-base", 70_000)
    return fleet


def package_route(fleet: garnel.Fleet, model: str, now: int | None = None) -> Loop:
    route = fleet.route

    def loop(n: int) -> int:
        start = time.perf_counter_ns()
        if now is None:
            for _ in itertools.repeat(None, n):
                route(model)
        else:
            for _ in itertools.repeat(None, n):
                route(model, now)
        return time.perf_counter_ns() - start

    return loop


def hand_route(raw: _garnel.Fleet, model: str, clock: Callable[[], int] | None = None) -> Loop:
    route, loads = raw.route, json.loads

    def loop(n: int) -> int:
        start = time.perf_counter_ns()
        if clock is None:
            for _ in itertools.repeat(None, n):
                loads(route(model, NOW))
        else:
            for _ in itertools.repeat(None, n):
                loads(route(model, clock()))
        return time.perf_counter_ns() - start

    return loop


def package_probe_ok(fleet: garnel.Fleet) -> Loop:
    probe_ok = fleet.probe_ok

    def loop(n: int) -> int:
        start = time.perf_counter_ns()
        for _ in itertools.repeat(None, n):
            probe_ok("embed-small", GIB, NOW)
        return time.perf_counter_ns() - start

    return loop


def hand_observe(raw: _garnel.Fleet) -> Loop:
    observe = raw.observe

    def loop(n: int) -> int:
        start = time.perf_counter_ns()
        for _ in itertools.repeat(None, n):
            observe("embed-small", "probe_ok", HAND_DETAIL, NOW)
        return time.perf_counter_ns() - start

    return loop


class Case:
    """Two loops timed against each other; target the highest ratio a/b that passes."""

    def __init__(self, name: str, a: Loop, b: Loop, target: float | None) -> None:
        self.name, self.a, self.b, self.target = name, a, b, target
        self.a_ns: list[float] = []
        self.b_ns: list[float] = []
        self.batch = 1

    def calibrate(self, batch_ns: int) -> None:
        n = 1
        while True:
            elapsed = self.a(n)
            if elapsed >= batch_ns // 4 or n >= 1 << 24:
                break
            n *= 2
        self.batch = max(1, int(n * batch_ns / max(elapsed, 1)))


def build_cases(journal_path: str) -> list[Case]:
    fleet = the_day(garnel.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER))
    raw = the_day(garnel.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER)).raw
    journaled = the_day(garnel.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER, journal=journal_path))
    assert fleet.route("chat-8b", NOW) == garnel.Route.from_json(raw.route("chat-8b", NOW))
    assert fleet.route("rerank-base", NOW).kind is garnel.RouteKind.WARMING
    clock = garnel._fleet.monotonic_ms
    return [
        Case(
            "route (ready)", package_route(fleet, "chat-8b", NOW), hand_route(raw, "chat-8b"), 1.25
        ),
        Case(
            "route (warming)",
            package_route(fleet, "rerank-base", NOW),
            hand_route(raw, "rerank-base"),
            1.25,
        ),
        Case(
            "route (ready), default clock",
            package_route(fleet, "chat-8b"),
            hand_route(raw, "chat-8b", clock),
            None,
        ),
        Case("probe_ok vs observe", package_probe_ok(fleet), hand_observe(raw), 1.5),
        Case(
            "probe_ok journaled vs not", package_probe_ok(journaled), package_probe_ok(fleet), None
        ),
    ]


def time_cases(cases: list[Case], rounds: int, batch_ns: int) -> None:
    for case in cases:
        case.calibrate(batch_ns)
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            for case in cases:
                # Alternate which goes first, so neither always runs warm.
                sides = [(case.a, case.a_ns), (case.b, case.b_ns)]
                for loop, figures in sides if r % 2 == 0 else reversed(sides):
                    figures.append(loop(case.batch) / case.batch)
    finally:
        gc.enable()


def print_figures(cases: list[Case], rounds: int) -> list[str]:
    print(f"per call, median of {rounds} interleaved rounds")
    header = f"{'case':30} {'package ns':>10} {'by hand ns':>10} {'ratio':>7} {'target':>7}  result"
    print(header)
    print("-" * len(header))
    missed = []
    for case in cases:
        a, b = statistics.median(case.a_ns), statistics.median(case.b_ns)
        ratio = a / b
        if case.target is None:
            target, verdict = "-", "info"
        else:
            target = f"{case.target:g}x"
            verdict = "pass" if ratio <= case.target else "FAIL"
            if verdict == "FAIL":
                missed.append(case.name)
        print(f"{case.name:30} {a:10.0f} {b:10.0f} {ratio:6.2f}x {target:>7}  {verdict}")
    print("(for the journaled case: journaled ns, then unjournaled ns)")
    return missed


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (default: 9)")
    parser.add_argument(
        "--batch-ms", type=float, default=20.0, help="length of one timed batch (default: 20)"
    )
    parser.add_argument("--quick", action="store_true", help="3 rounds of 5 ms")
    options = parser.parse_args()
    if options.quick:
        options.rounds, options.batch_ms = 3, 5.0
    print(f"Python {sys.version.split()[0]}; garnel {garnel.__version__} from {garnel.__file__}")
    print()
    with tempfile.TemporaryDirectory() as scratch:
        cases = build_cases(os.path.join(scratch, "bench.journal"))
        time_cases(cases, options.rounds, int(options.batch_ms * 1e6))
    missed = print_figures(cases, options.rounds)
    print()
    if missed:
        print("missed: " + ", ".join(missed))
        return 1
    print("every target met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
