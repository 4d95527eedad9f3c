"""Shows that a bad argument never leaks: 100 000 failing calls of each kind
keep the process's memory flat.

Run it, with the module installed in .venv, as

    .venv/bin/python bench/failing_calls.py            # 100 000 calls of each kind
    .venv/bin/python bench/failing_calls.py --calls 10000

Each kind is first called once to check that it fails the way it should,
then warmed up, then called --calls times between two readings of the
resident set size (/proc/self/statm). Exits 1 when a kind fails the wrong way
or its memory grows by more than the bound. Not a test: pytest never
collects it, and nothing here is timed.
"""

import argparse
import gc
import itertools
import json
import os
import sys

from _garnel import Fleet, plan

GIB = 2**30
MEMORY_BOUND_KIB = 1024
ROSTER = json.dumps(
    [
        {"model": "m", "weightsBytes": GIB, "kvBytes": GIB},
        {"model": "n", "weightsBytes": GIB},
    ]
)


def rss_kib():
    """Resident set size of this process, from /proc/self/statm."""
    with open("/proc/self/statm", encoding="ascii") as statm:
        resident_pages = int(statm.read().split()[1])
    return resident_pages * os.sysconf("SC_PAGE_SIZE") // 1024


class Index:
    """An integer whose __index__ runs `action`, so that interpreter code runs
    while the fleet is borrowed."""

    def __init__(self, action):
        self.action = action

    def __index__(self):
        return self.action()


def raise_type_error_with_cause():
    try:
        raise KeyError("the cause")
    except KeyError as cause:
        raise TypeError("no index today") from cause


def build_kinds():
    """(name, call, exception class, text the message holds) for each kind."""
    fleet = Fleet(24 * GIB, 10, ROSTER)
    fleet.observe("m", "load_started", "{}", 0)
    fleet.observe("m", "probe_ok", json.dumps({"vramBytes": 2 * GIB}), 1000)
    fleet.set_endpoint("m", "http://127.0.0.1:8001")
    too_deep = "[" * 128 + "]" * 128

    def caught_conflict():
        # The inner call fails and __index__ swallows it, so the outer call
        # succeeds; its message is raised again after, for the loop to count.
        seen = []

        def inner():
            try:
                fleet.set_endpoint("m", "http://127.0.0.1:8001")
            except RuntimeError as error:
                seen.append(str(error))
            return 2000

        fleet.report(Index(inner))
        raise RuntimeError(seen[0] if seen else "the inner call did not fail")

    return [
        # Binding.
        ("plan() with no arguments", lambda: plan(), TypeError, "missing 3 required positional"),
        ("plan() with four arguments", lambda: plan(1, 2, "[]", 4), TypeError, "takes 3 positional"),
        ("plan() with an unknown keyword", lambda: plan(1, 2, "[]", size=3), TypeError, "unexpected keyword"),
        ("plan() with an argument twice", lambda: plan(1, 2, "[]", total_bytes=1), TypeError, "multiple values"),
        ("Fleet() missing an argument", lambda: Fleet(1, 2), TypeError, "Fleet.__new__() missing 1"),
        ("route() missing now", lambda: fleet.route("m"), TypeError, "Fleet.route() missing 1"),
        ("observe() with five arguments", lambda: fleet.observe("m", "stop", "{}", 1, 2), TypeError, "takes 4"),
        ("free_bytes() with an argument", lambda: fleet.free_bytes(1), TypeError, "takes no arguments"),
        # The interpreter refuses this one itself, before the module sees it.
        ("route() on no Fleet", lambda: Fleet.route(object(), "m", 1), TypeError, "'object' object"),
        # Conversion.
        ("total_bytes a float", lambda: plan(1.0, 0, "[]"), TypeError, "argument 'total_bytes': "),
        ("total_bytes negative", lambda: plan(-1, 0, "[]"), OverflowError, ""),
        ("total_bytes 2**64", lambda: plan(2**64, 0, "[]"), OverflowError, ""),
        ("now a float", lambda: fleet.route("m", 1.5), TypeError, "argument 'now': "),
        ("now negative", lambda: fleet.report(-1), OverflowError, ""),
        ("reserve_pct 256", lambda: plan(1, 256, "[]"), OverflowError, "out of range integral type"),
        ("reserve_pct -1", lambda: Fleet(1, -1, "[]"), OverflowError, "out of range integral type"),
        ("reserve_pct 2**63", lambda: plan(1, 2**63, "[]"), OverflowError, ""),
        ("declared_json bytes", lambda: plan(1, 0, b"[]"), TypeError, "'bytes' object cannot be converted"),
        ("endpoint None", lambda: fleet.set_endpoint("m", None), TypeError, "'NoneType' object cannot be"),
        ("declared_json a lone surrogate", lambda: plan(1, 0, "[\ud800]"), UnicodeEncodeError, "surrogates"),
        ("model a lone surrogate", lambda: fleet.route("\udfff", 1), UnicodeEncodeError, "surrogates"),
        ("__index__ raising TypeError with a cause", lambda: plan(Index(raise_type_error_with_cause), 0, "[]"),
         TypeError, "argument 'total_bytes': no index today"),
        # JSON.
        ("bad json: unclosed array", lambda: plan(1, 0, "["), ValueError, "bad json: "),
        ("bad json: 128 levels", lambda: plan(1, 0, too_deep), ValueError, "nesting of 128 levels"),
        ("bad json: NUL byte", lambda: plan(1, 0, "[]\x00"), ValueError, "bad json: "),
        ("bad json: byte-order mark", lambda: plan(1, 0, "\ufeff[]"), ValueError, "bad json: "),
        ("bad json: 1e400", lambda: plan(1, 0, "[1e400]"), ValueError, "bad json: "),
        ("bad json: cut in a character", lambda: Fleet(1, 0, '["\u00e9\u00e9'), ValueError, "bad json: "),
        ("bad json: observe detail", lambda: fleet.observe("m", "probe_ok", "{", 1), ValueError, "bad json: "),
        # Roster.
        ("roster not an array", lambda: plan(1, 0, "{}"), ValueError, "could not read the roster: expected"),
        ("roster with two faults", lambda: Fleet(1, 0, '[{"model": ""}, {"weightsBytes": -1}]'),
         ValueError, "; "),
        # Observation kind.
        ("unknown kind", lambda: fleet.observe("m", "nope", "{}", 1), ValueError, "unknown observation kind"),
        ("unknown kind with escapes", lambda: fleet.observe("m", "a\u0301\t\"\u00ff\x7f", "{}", 1),
         ValueError, "unknown observation kind"),
        # Borrow conflicts through __index__.
        ("conflict in route, propagated",
         lambda: fleet.route("m", Index(lambda: fleet.observe("m", "stop", "{}", 1))),
         RuntimeError, "Already borrowed"),
        ("conflict in observe, propagated",
         lambda: fleet.observe("m", "probe_ok", "{}", Index(lambda: fleet.route("m", 1))),
         RuntimeError, "Already mutably borrowed"),
        ("conflict in report, caught in __index__", lambda: fleet.report(Index(caught_conflict)),
         RuntimeError, "Already borrowed"),
    ], fleet


def check_kind(call, expected, fragment):
    """None when the call fails as expected, else what happened instead."""
    try:
        call()
    except expected as error:
        if fragment not in str(error):
            return f"message {str(error)!r}"
        return None
    except BaseException as error:  # noqa: BLE001 - a wrong kind is what we report
        return f"{type(error).__name__}: {error}"
    return "no exception"


def fail_many(call, n):
    for _ in itertools.repeat(None, n):
        try:
            call()
        except Exception:
            pass


def main():
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--calls", type=int, default=100_000, help="failing calls of each kind (default: %(default)s)")
    options = parser.parse_args()

    kinds, fleet = build_kinds()
    before_report = fleet.report(2000)
    print(f"resident set size around {options.calls:,} failing calls of each kind")
    header = f"{'kind':42} {'raises':19} {'before KiB':>11} {'growth KiB':>11}  result"
    print(header)
    print("-" * len(header))
    failed = []
    for name, call, expected, fragment in kinds:
        wrong = check_kind(call, expected, fragment)
        if wrong is not None:
            print(f"{name:42} {expected.__name__:19} {'-':>11} {'-':>11}  WRONG ({wrong})")
            failed.append(name)
            continue
        fail_many(call, max(1000, options.calls // 100))
        gc.collect()
        before = rss_kib()
        fail_many(call, options.calls)
        gc.collect()
        growth = rss_kib() - before
        verdict = "pass" if growth <= MEMORY_BOUND_KIB else "FAIL"
        if verdict == "FAIL":
            failed.append(name)
        print(f"{name:42} {expected.__name__:19} {before:11} {growth:11}  {verdict}")
    print(f"(bound: {MEMORY_BOUND_KIB} KiB of growth per kind)")
    # observe("m", "stop") inside a refused call must not have happened.
    if fleet.report(2000) != before_report:
        print("the fleet changed under failing calls")
        failed.append("fleet unchanged")
    print()
    if failed:
        print("failed: " + ", ".join(failed))
        return 1
    print("every kind failed cleanly and kept memory flat")
    return 0


if __name__ == "__main__":
    sys.exit(main())
