"""Times every _garnel method per call against a floor, and checks that a
million calls of each keep the process's memory flat.

Run it with

    bench/run-methods            # builds the floor into build/bench-floor, then runs this
    bench/run-methods --quick    # fewer rounds and calls, to try a change

or, with the floor already built,

    .venv/bin/python bench/methods.py --floor-dir build/bench-floor

The floor (_garnel_floor, bench/floor/floor.cpp) has the same entry points,
binding, access check and argument conversions as _garnel but does no core
work: each call returns a fresh copy of the result the real call gives. Real
and floor run in the same process, alternating in rounds, and each figure is
the median over the rounds, so a busy machine slows both alike.

A second table holds the floor against itself with one step added: the JSON
library's parser run over the call's JSON argument, building nothing. Its
ratio is the least that any reader of the library's parse events can reach
for that call, whatever it does with them; a target below it cannot be met
while the library is the parser.

Exits 1 when a method misses its target or its memory grows, 2 on a usage
error. This is a benchmark for people, not a test: pytest never collects it.
"""

import argparse
import gc
import itertools
import json
import os
import statistics
import sys
import time

GIB = 2**30
MIB = 2**20
TOTAL_BYTES = 24 * GIB
RESERVE_PCT = 10
NOW = 3_600_000  # an hour in, and no small int the interpreter caches
MEMORY_BOUND_KIB = 1024

# The shipped example's four models, and 200 more than a card can hold.
ROSTER_4 = json.dumps(
    [
        {"model": "chat-8b", "weightsBytes": 16106127360, "kvBytes": 2147483648},
        {"model": "coder-14b", "weightsBytes": 9663676416, "kvBytes": 1073741824},
        {"model": "embed-small", "weightsBytes": 1073741824},
        {"model": "rerank-base", "weights_bytes": 805306368, "kv_bytes": 268435456},
    ]
)
ROSTER_200 = json.dumps(
    [{"model": f"model-{i:03d}", "weightsBytes": 128 * MIB, "kvBytes": 16 * MIB} for i in range(200)]
)
SMALL_DETAIL = json.dumps({"vramBytes": GIB})


def rss_kib():
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm", encoding="ascii") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


# One runner per arity, so every call is an ordinary positional call, as a
# host writes it; f(*args) would hand the tuple over without building one.
def run0(f, args, n):
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        f()
    return time.perf_counter_ns() - start


def run1(f, args, n):
    (a,) = args
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        f(a)
    return time.perf_counter_ns() - start


def run2(f, args, n):
    a, b = args
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        f(a, b)
    return time.perf_counter_ns() - start


def run3(f, args, n):
    a, b, c = args
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        f(a, b, c)
    return time.perf_counter_ns() - start


def run4(f, args, n):
    a, b, c, d = args
    start = time.perf_counter_ns()
    for _ in itertools.repeat(None, n):
        f(a, b, c, d)
    return time.perf_counter_ns() - start


RUNNERS = [run0, run1, run2, run3, run4]


class Case:
    """One method timed against its floor.

    real and floor are the bound callables, args what both are called with,
    canned the floor results to set (name -> value) before the floor runs,
    target the highest ratio real/floor that passes (None: shown only).
    """

    def __init__(self, name, real, floor, args, target, canned=None, memory=True):
        self.name = name
        self.real = real
        self.floor = floor
        self.args = tuple(args)
        self.target = target
        self.canned = canned or {}
        self.memory = memory
        self.run = RUNNERS[len(self.args)]
        self.real_ns = []
        self.floor_ns = []
        self.batch = 1

    def prepare_floor(self, floor_module):
        for name, value in self.canned.items():
            floor_module.set_result(name, value)

    def calibrate(self, batch_ns):
        """A batch size that takes about batch_ns for the real method."""
        n = 1
        while True:
            elapsed = self.run(self.real, self.args, n)
            if elapsed >= batch_ns // 4 or n >= 1 << 24:
                break
            n *= 2
        self.batch = max(1, int(n * batch_ns / max(elapsed, 1)))


def day_of_one_card(module):
    """The four-model fleet as the Overview's day leaves it by noon: chat-8b
    ready behind an endpoint, embed-small resident, coder-14b not admitted,
    rerank-base never probed (so next_to_load names it)."""
    fleet = module.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER_4)
    fleet.observe("chat-8b", "load_started", "{}", 0)
    fleet.observe("chat-8b", "probe_ok", json.dumps({"vramBytes": 17 * GIB}), 42_000)
    fleet.set_endpoint("chat-8b", "http://127.0.0.1:8001")
    fleet.observe("embed-small", "load_started", "{}", 60_000)
    fleet.observe("embed-small", "probe_ok", SMALL_DETAIL, 65_000)
    fleet.set_endpoint("embed-small", "http://127.0.0.1:8002")
    return fleet


def busy_card(module):
    """The 200-model fleet in every state a report line can show."""
    fleet = module.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER_200)
    for i in range(200):
        name = f"model-{i:03d}"
        kind = i % 5
        if kind == 4:
            continue  # never probed, or not admitted at the tail
        fleet.observe(name, "load_started", "{}", 1000 * i)
        if kind >= 1:
            fleet.observe(name, "probe_ok", json.dumps({"vramBytes": 128 * MIB}), 1000 * i + 500)
        if kind == 2:
            fleet.observe(name, "process_exited", json.dumps({"code": -9}), 2_000_000 + i)
        if kind == 3:
            fleet.set_endpoint(name, f"http://127.0.0.1:{9000 + i}")
    return fleet


def build_cases(garnel, floor):
    fleet4 = day_of_one_card(garnel)
    fleet200 = busy_card(garnel)
    floor_fleet = floor.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER_4)
    route_args = ("chat-8b", NOW)
    observe_args = ("embed-small", "probe_ok", SMALL_DETAIL, NOW)
    card4 = (TOTAL_BYTES, RESERVE_PCT, ROSTER_4)
    card200 = (TOTAL_BYTES, RESERVE_PCT, ROSTER_200)
    ready = fleet4.route(*route_args)
    assert json.loads(ready)["ready"], ready
    return [
        Case("route (ready)", fleet4.route, floor_fleet.route, route_args, 1.4, {"route": ready}),
        Case("observe (probe_ok, small detail)", fleet4.observe, floor_fleet.observe, observe_args, 2.5),
        Case("report (4 models)", fleet4.report, floor_fleet.report, (NOW,), 1.5,
             {"report": fleet4.report(NOW)}),
        Case("report (200 models)", fleet200.report, floor_fleet.report, (NOW,), 1.5,
             {"report": fleet200.report(NOW)}),
        Case("free_bytes", fleet4.free_bytes, floor_fleet.free_bytes, (), 1.5,
             {"free_bytes": fleet4.free_bytes()}),
        Case("committed_bytes", fleet4.committed_bytes, floor_fleet.committed_bytes, (), 1.5,
             {"committed_bytes": fleet4.committed_bytes()}),
        Case("next_to_load", fleet4.next_to_load, floor_fleet.next_to_load, (), 1.5,
             {"next_to_load": fleet4.next_to_load()}),
        Case("set_endpoint", fleet4.set_endpoint, floor_fleet.set_endpoint,
             ("chat-8b", "http://127.0.0.1:8001"), None),
        Case("plan (4 models)", garnel.plan, floor.plan, card4, 6.0, {"plan": garnel.plan(*card4)}),
        # A card's roster is a few models; 200 shows how reading scales.
        Case("plan (200 models)", garnel.plan, floor.plan, card200, 12.0,
             {"plan": garnel.plan(*card200)}, memory=False),
        Case("Fleet() (4 models)", garnel.Fleet, floor.Fleet, card4, 8.0),
    ]


def build_parse_cases(garnel, floor):
    """The floor's JSON calls with the library's parse of their text, against the floor."""
    floor_fleet = floor.Fleet(TOTAL_BYTES, RESERVE_PCT, ROSTER_4)
    observe_args = ("embed-small", "probe_ok", SMALL_DETAIL, NOW)
    card4 = (TOTAL_BYTES, RESERVE_PCT, ROSTER_4)
    card200 = (TOTAL_BYTES, RESERVE_PCT, ROSTER_200)
    return [
        Case("observe (probe_ok, small detail)", floor_fleet.observe_parsing, floor_fleet.observe,
             observe_args, 2.5),
        Case("plan (4 models)", floor.plan_parsing, floor.plan, card4, 6.0,
             {"plan": garnel.plan(*card4)}),
        Case("plan (200 models)", floor.plan_parsing, floor.plan, card200, 12.0,
             {"plan": garnel.plan(*card200)}),
        Case("Fleet() (4 models)", floor.fleet_parsing, floor.Fleet, card4, 8.0),
    ]


def check_floor_matches(cases, floor):
    """The floor must hand back what the real call does, or it is no floor."""
    for case in cases:
        case.prepare_floor(floor)
        real = case.real(*case.args)
        fake = case.floor(*case.args)
        if isinstance(real, (str, int)) or real is None:
            assert type(real) is type(fake) and real == fake, (case.name, real, fake)


def time_cases(cases, floor, rounds, batch_ns):
    for case in cases:
        case.calibrate(batch_ns)
    gc.collect()
    gc.disable()
    try:
        for r in range(rounds):
            for case in cases:
                # Alternate which goes first, so neither always runs warm.
                order = ("real", "floor") if r % 2 == 0 else ("floor", "real")
                for which in order:
                    if which == "real":
                        case.prepare_floor(floor)  # a floor may stand on either side
                        elapsed = case.run(case.real, case.args, case.batch)
                        case.real_ns.append(elapsed / case.batch)
                    else:
                        case.prepare_floor(floor)
                        elapsed = case.run(case.floor, case.args, case.batch)
                        case.floor_ns.append(elapsed / case.batch)
    finally:
        gc.enable()


def print_timing(cases, rounds):
    print(f"per call, median of {rounds} interleaved rounds")
    header = f"{'method':34} {'real ns':>10} {'floor ns':>10} {'ratio':>7} {'target':>7}  result"
    print(header)
    print("-" * len(header))
    failed = []
    for case in cases:
        real = statistics.median(case.real_ns)
        base = statistics.median(case.floor_ns)
        ratio = real / base
        if case.target is None:
            target, verdict = "-", "info"
        else:
            target = f"{case.target:g}x"
            verdict = "pass" if ratio <= case.target else "FAIL"
            if verdict == "FAIL":
                failed.append(case.name)
        print(f"{case.name:34} {real:10.0f} {base:10.0f} {ratio:6.2f}x {target:>7}  {verdict}")
    return failed


def print_parse_floor(cases, rounds):
    print()
    print("the floor with the JSON library's parse of the same text (nothing built), against the floor")
    print(f"per call, median of {rounds} interleaved rounds")
    header = f"{'method':34} {'parse ns':>10} {'floor ns':>10} {'ratio':>7} {'target':>7}  target is"
    print(header)
    print("-" * len(header))
    for case in cases:
        parsed = statistics.median(case.real_ns)
        base = statistics.median(case.floor_ns)
        ratio = parsed / base
        verdict = "reachable" if ratio <= case.target else "below the parse"
        print(f"{case.name:34} {parsed:10.0f} {base:10.0f} {ratio:6.2f}x {case.target:6g}x  {verdict}")


def check_memory(cases, calls):
    print()
    print(f"resident set size around {calls:,} calls of each method, after {calls // 100:,} to warm up")
    header = f"{'method':34} {'before KiB':>11} {'after KiB':>11} {'growth KiB':>11}  result"
    print(header)
    print("-" * len(header))
    failed = []
    for case in cases:
        if not case.memory:
            continue
        case.run(case.real, case.args, max(1, calls // 100))
        gc.collect()
        before = rss_kib()
        case.run(case.real, case.args, calls)
        gc.collect()
        after = rss_kib()
        growth = after - before
        verdict = "pass" if growth <= MEMORY_BOUND_KIB else "FAIL"
        if verdict == "FAIL":
            failed.append(case.name)
        print(f"{case.name:34} {before:11} {after:11} {growth:11}  {verdict}")
    print(f"(bound: {MEMORY_BOUND_KIB} KiB of growth)")
    return failed


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--floor-dir", default="build/bench-floor",
                        help="where _garnel_floor.abi3.so was built (default: %(default)s)")
    parser.add_argument("--rounds", type=int, default=9, help="interleaved rounds (default: %(default)s)")
    parser.add_argument("--batch-ms", type=float, default=20.0,
                        help="length of one timed batch of the real method (default: %(default)s)")
    parser.add_argument("--calls", type=int, default=1_000_000,
                        help="calls of each method in the memory check (default: %(default)s)")
    parser.add_argument("--skip-memory", action="store_true", help="time only")
    parser.add_argument("--quick", action="store_true", help="3 rounds of 5 ms, 100 000 calls")
    parser.add_argument("--only", metavar="TEXT", help="only the methods whose name contains TEXT")
    options = parser.parse_args()
    if options.quick:
        options.rounds, options.batch_ms, options.calls = 3, 5.0, 100_000

    import _garnel

    sys.path.insert(0, os.path.abspath(options.floor_dir))
    try:
        import _garnel_floor
    except ImportError as error:
        sys.exit(f"cannot import _garnel_floor from {options.floor_dir} ({error}); run bench/run-methods")
    finally:
        sys.path.pop(0)

    print(f"Python {sys.version.split()[0]}; _garnel {_garnel.__version__} from {_garnel.__file__}")
    print(f"floor from {_garnel_floor.__file__}")
    print()
    cases = build_cases(_garnel, _garnel_floor)
    if options.only:
        cases = [case for case in cases if options.only in case.name]
    check_floor_matches(cases, _garnel_floor)
    time_cases(cases, _garnel_floor, options.rounds, int(options.batch_ms * 1e6))
    failed = print_timing(cases, options.rounds)
    parse_cases = build_parse_cases(_garnel, _garnel_floor)
    if options.only:
        parse_cases = [case for case in parse_cases if options.only in case.name]
    if parse_cases:
        time_cases(parse_cases, _garnel_floor, options.rounds, int(options.batch_ms * 1e6))
        print_parse_floor(parse_cases, options.rounds)
    if not options.skip_memory:
        failed += [f"{name} (memory)" for name in check_memory(cases, options.calls)]
    print()
    if failed:
        print("missed: " + ", ".join(failed))
        return 1
    print("every target met")
    return 0


if __name__ == "__main__":
    sys.exit(main())
