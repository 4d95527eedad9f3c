"""Every entry point, on its success path and each failure path, called many
times: nothing it allocates or references may outlive the call.

Three measures, each where the interpreter offers it:
- the interpreter's total reference count (debug interpreters only);
- the interpreter's allocated object blocks (its own allocator; 0 under
  PYTHONMALLOC=malloc, where the next measure sees those blocks instead);
- the C heap in use: glibc's mallinfo2, or AddressSanitizer's own count when
  its runtime is loaded. This is what catches a core fleet, a JSON value or a
  text that the module forgets to free; Fleet instances are not tracked by the
  collector, so counting objects would not.
Besides those, the reference count of every object a case hands to the module
(and of the class and the exception class involved) must stay put: a reference
kept to an argument costs no memory but is a leak all the same.
"""

import ctypes
import gc
import json
import sys

import pytest

from _garnel import Fleet, plan
from conftest import GIB, Index

CALLS = 20_000
WARM_UP = 200
CARD = 25769803776
ROSTER = json.dumps(
    [
        {"model": "m", "weightsBytes": 4 * GIB},
        {"model": "n", "weightsBytes": GIB, "kvBytes": GIB},
        {"model": "o", "weightsBytes": GIB},
        {"model": "big", "weightsBytes": 40 * GIB},
    ]
)
# Growth allowed over CALLS calls. A leak of anything at all on every call
# (one reference, one block, 16 bytes) is at least CALLS of it.
REFS_BOUND = 100
BLOCKS_BOUND = 100
HEAP_BOUND = 64 * 1024


def _heap_reader():
    libc = ctypes.CDLL(None)
    try:
        asan = libc.__sanitizer_get_current_allocated_bytes
    except AttributeError:
        pass
    else:
        asan.restype = ctypes.c_size_t
        asan.argtypes = []
        return asan

    class MallInfo2(ctypes.Structure):
        _fields_ = [
            (name, ctypes.c_size_t)
            for name in ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks", "uordblks", "fordblks", "keepcost")
        ]

    try:
        mallinfo2 = libc.mallinfo2
    except AttributeError:
        return lambda: 0  # no glibc 2.33: the other measures still apply
    mallinfo2.restype = MallInfo2
    mallinfo2.argtypes = []

    def in_use():
        info = mallinfo2()
        return info.uordblks + info.hblkhd

    return in_use


heap_in_use = _heap_reader()
total_refs = getattr(sys, "gettotalrefcount", lambda: 0)


def measure(watched):
    gc.collect()
    return (total_refs(), sys.getallocatedblocks(), heap_in_use(), [sys.getrefcount(o) for o in watched])


class Conflict:
    """A hook that calls back into a fleet and counts the RuntimeError it gets;
    with `propagate` it lets the error through to the outer call."""

    def __init__(self, call, message, propagate=False):
        self.call = call
        self.message = message
        self.propagate = propagate
        self.seen = 0

    def __call__(self):
        try:
            self.call()
        except RuntimeError as error:
            assert str(error) == self.message
            self.seen += 1
            if self.propagate:
                raise


def raising(error, call, *args, **kwargs):
    """One call that must raise exactly `error`."""

    def run():
        try:
            call(*args, **kwargs)
        except error as caught:
            if type(caught) is not error:
                raise
            return
        raise AssertionError(f"{call!r} did not raise {error.__name__}")

    return run


def returning(check, call, *args, **kwargs):
    """One call whose result must satisfy `check`."""

    def run():
        result = call(*args, **kwargs)
        assert check(result), result

    return run


def is_str(result):
    return type(result) is str


def is_none(result):
    return result is None


def is_int(result):
    return type(result) is int


class IndexRaising:
    """__index__ raising `error`, with a cause, so the prefixing keeps both."""

    def __init__(self, error):
        self.error = error

    def __index__(self):
        raise self.error("from __index__") from KeyError("cause")


def loaded_fleet():
    """A fleet whose models stand in different states, so routes and the report
    take several paths."""
    fleet = Fleet(CARD, 10, ROSTER)
    fleet.observe("m", "probe_ok", '{"vramBytes": 4294967296}', 1000)
    fleet.set_endpoint("m", "http://m")
    fleet.observe("n", "load_started", "{}", 2000)
    fleet.observe("o", "load_failed", '{"detail": "out of memory"}', 3000)
    return fleet


# Each case builds its call on a fresh fleet and names the objects whose
# reference counts it watches besides Fleet itself.


def card_cases(name, entry):
    index_total, index_pct = Index(CARD), Index(10)
    bad_roster = json.dumps([{"weightsBytes": 1}, {"model": "x"}])
    surrogate = "[\ud800]"
    return [
        (f"{name}-ok", lambda f: (returning(lambda r: r is not None, entry, CARD, 10, ROSTER), [ROSTER])),
        (
            f"{name}-ok-keywords-and-index",
            lambda f: (
                returning(lambda r: r is not None, entry, declared_json=ROSTER, reserve_pct=index_pct, total_bytes=index_total),
                [ROSTER, index_total, index_pct],
            ),
        ),
        (f"{name}-binding-missing", lambda f: (raising(TypeError, entry, CARD, 10), [TypeError])),
        (f"{name}-binding-too-many", lambda f: (raising(TypeError, entry, CARD, 10, ROSTER, 1), [TypeError, ROSTER])),
        (f"{name}-binding-unexpected-keyword", lambda f: (raising(TypeError, entry, CARD, 10, ROSTER, x=1), [TypeError, ROSTER])),
        (f"{name}-binding-twice", lambda f: (raising(TypeError, entry, CARD, 10, total_bytes=1), [TypeError])),
        (f"{name}-conversion-float", lambda f: (raising(TypeError, entry, float(CARD), 10, ROSTER), [TypeError, ROSTER])),
        (
            f"{name}-conversion-index-type-error-with-cause",
            lambda f: (raising(TypeError, entry, IndexRaising(TypeError), 10, ROSTER), [TypeError, IndexRaising, ROSTER]),
        ),
        (
            f"{name}-conversion-index-other-error",
            lambda f: (raising(ArithmeticError, entry, CARD, IndexRaising(ArithmeticError), ROSTER), [ArithmeticError]),
        ),
        (f"{name}-conversion-negative", lambda f: (raising(OverflowError, entry, -1, 10, ROSTER), [OverflowError, ROSTER])),
        (f"{name}-conversion-reserve-256", lambda f: (raising(OverflowError, entry, CARD, 256, ROSTER), [OverflowError])),
        (f"{name}-conversion-bytes", lambda f: (raising(TypeError, entry, CARD, 10, b"[]"), [TypeError])),
        (f"{name}-conversion-surrogate", lambda f: (raising(UnicodeEncodeError, entry, CARD, 10, surrogate), [surrogate])),
        (f"{name}-bad-json", lambda f: (raising(ValueError, entry, CARD, 10, '[{"model": "m",'), [ValueError])),
        (f"{name}-bad-json-empty", lambda f: (raising(ValueError, entry, CARD, 10, ""), [ValueError])),
        (f"{name}-bad-roster", lambda f: (raising(ValueError, entry, CARD, 10, bad_roster), [ValueError, bad_roster])),
        (f"{name}-bad-roster-not-array", lambda f: (raising(ValueError, entry, CARD, 10, "{}"), [ValueError])),
    ]


def conflict_case(make_outer, inner, message, propagate):
    """The outer call's `now` runs a hook that calls `inner` on the same fleet."""

    def build(f):
        hook = Conflict(lambda: inner(f), message, propagate)
        now = Index(5, hook)
        outer = make_outer(f, now)
        checked = raising(RuntimeError, outer) if propagate else outer

        def run():
            before = hook.seen
            checked()
            assert hook.seen == before + 1

        return run, [now, hook]

    return build


KINDS = [
    ("load_started", "{}"),
    ("probe_ok", '{"vramBytes": 1073741824}'),
    ("probe_failed", '{"gpuPresent": false}'),
    ("process_exited", '{"code": -9}'),
    ("load_failed", '{"detail": "out of memory"}'),
    ("stop", "{}"),
    ("probeOk", '{"vram_bytes": 5}'),
    ("stopRequested", "null"),
]


def every_kind(f):
    step = iter(range(sys.maxsize))

    def run():
        kind, detail = KINDS[next(step) % len(KINDS)]
        assert f.observe("n", kind, detail, 7000) is None

    return run, [d for _, d in KINDS]


def every_route(f):
    names = ["m", "n", "o", "big", "ghost", "caf\u00e9 \u2014 \U0001f600"]
    step = iter(range(sys.maxsize))

    def run():
        assert type(f.route(names[next(step) % len(names)], 9000)) is str

    return run, names


CASES = (
    card_cases("plan", plan)
    + card_cases("Fleet", Fleet)
    + [
        ("set_endpoint-ok", lambda f: (returning(is_none, f.set_endpoint, "m", "http://m:8000"), [])),
        ("set_endpoint-unknown-model", lambda f: (returning(is_none, f.set_endpoint, "ghost", "e"), [])),
        ("set_endpoint-binding", lambda f: (raising(TypeError, f.set_endpoint, "m"), [TypeError])),
        ("set_endpoint-conversion-none", lambda f: (raising(TypeError, f.set_endpoint, "m", None), [TypeError])),
        ("set_endpoint-conversion-surrogate", lambda f: (raising(UnicodeEncodeError, f.set_endpoint, "\udc80", "e"), [])),
        (
            "set_endpoint-wrong-self",
            lambda f: (raising(TypeError, Fleet.set_endpoint, object(), "m", "e"), [TypeError]),
        ),
        ("observe-every-kind", every_kind),
        ("observe-keywords", lambda f: (returning(is_none, f.observe, now=1, detail_json="{}", kind="stop", model="ghost"), [])),
        ("observe-binding", lambda f: (raising(TypeError, f.observe, "m", "stop", "{}", 1, 2), [TypeError])),
        ("observe-conversion-now-float", lambda f: (raising(TypeError, f.observe, "m", "stop", "{}", 1.0), [TypeError])),
        ("observe-conversion-now-negative", lambda f: (raising(OverflowError, f.observe, "m", "stop", "{}", -1), [])),
        ("observe-conversion-kind-none", lambda f: (raising(TypeError, f.observe, "m", None, "{}", 1), [TypeError])),
        ("observe-bad-json", lambda f: (raising(ValueError, f.observe, "m", "bogus", "{", 1), [ValueError])),
        ("observe-unknown-kind", lambda f: (raising(ValueError, f.observe, "m", 'probe-ok"\\\t', "{}", 1), [ValueError])),
        (
            # Non-ASCII kinds go through the interpreter's Unicode tables; the
            # characters are escaped or copied, and those beyond Latin-1 are
            # fresh objects each time (the interpreter caches the others).
            "observe-unknown-kind-non-ascii",
            lambda f: (raising(ValueError, f.observe, "m", "e\u0301\u200b\U0001f3fb\u00e9\u4e2d\u2014", "{}", 1), [ValueError]),
        ),
        (
            "observe-conflict-shared-inner",
            conflict_case(lambda f, now: lambda: f.observe("m", "stop", "{}", now), lambda f: f.route("m", 1), "Already mutably borrowed", True),
        ),
        (
            "observe-conflict-exclusive-inner",
            conflict_case(lambda f, now: lambda: f.observe("m", "stop", "{}", now), lambda f: f.observe("m", "stop", "{}", 1), "Already borrowed", False),
        ),
        ("route-every-kind", every_route),
        ("route-binding", lambda f: (raising(TypeError, f.route, "m"), [TypeError])),
        ("route-conversion-now-float", lambda f: (raising(TypeError, f.route, "m", 2.0), [TypeError])),
        ("route-conversion-model-none", lambda f: (raising(TypeError, f.route, None, 1), [TypeError])),
        ("route-wrong-self", lambda f: (raising(TypeError, Fleet.route, object(), "m", 1), [TypeError])),
        (
            "route-conflict-caught",
            conflict_case(lambda f, now: lambda: f.route("m", now), lambda f: f.set_endpoint("m", "x"), "Already borrowed", False),
        ),
        (
            "route-conflict-propagated",
            conflict_case(lambda f, now: lambda: f.route("m", now), lambda f: f.set_endpoint("m", "x"), "Already borrowed", True),
        ),
        ("report-ok", lambda f: (returning(is_str, f.report, 9000), [])),
        ("report-binding", lambda f: (raising(TypeError, f.report, now=1, then=2), [TypeError])),
        ("report-conversion", lambda f: (raising(OverflowError, f.report, 2**64), [])),
        (
            "report-conflict-propagated",
            conflict_case(lambda f, now: lambda: f.report(now), lambda f: f.observe("m", "stop", "{}", 1), "Already borrowed", True),
        ),
        ("free_bytes-ok", lambda f: (returning(is_int, f.free_bytes), [])),
        ("committed_bytes-ok", lambda f: (returning(is_int, f.committed_bytes), [])),
        ("next_to_load-ok-name", lambda f: (returning(is_str, f.next_to_load), [])),
        ("next_to_load-ok-none", lambda f: (returning(is_none, Fleet(CARD, 10, "[]").next_to_load), [])),
        ("free_bytes-binding", lambda f: (raising(TypeError, f.free_bytes, 1), [TypeError])),
        ("committed_bytes-binding", lambda f: (raising(TypeError, f.committed_bytes, x=1), [TypeError])),
        ("next_to_load-binding", lambda f: (raising(TypeError, f.next_to_load, 1), [TypeError])),
        ("free_bytes-wrong-self", lambda f: (raising(TypeError, Fleet.free_bytes, 5), [TypeError])),
    ]
    + [
        (
            f"{name}-conflict",
            conflict_case(
                lambda f, now: lambda: f.observe("m", "stop", "{}", now),
                lambda f, name=name: getattr(f, name)(),
                "Already mutably borrowed",
                False,
            ),
        )
        for name in ("free_bytes", "committed_bytes", "next_to_load")
    ]
)


def growth_over_calls(call, watched):
    """What grew over CALLS calls, beyond its bound; empty when nothing did."""
    refs, blocks, heap, counts = measure(watched)
    for _ in range(CALLS):
        call()
    refs_after, blocks_after, heap_after, counts_after = measure(watched)
    grown = {
        "total reference count": refs_after - refs > REFS_BOUND,
        "allocated blocks": blocks_after - blocks > BLOCKS_BOUND,
        "C heap in use": heap_after - heap > HEAP_BOUND,
        "references kept to the call's objects": counts_after != counts,
    }
    return [what for what, grew in grown.items() if grew]


@pytest.mark.parametrize("build", [build for _, build in CASES], ids=[name for name, _ in CASES])
def test_calls_leave_nothing_behind(build):
    fleet = loaded_fleet()
    call, watched = build(fleet)
    watched = [Fleet, fleet, *watched]
    for _ in range(WARM_UP):
        call()
    grown = growth_over_calls(call, watched)
    assert not grown, f"grew over {CALLS} calls: {', '.join(grown)}"


def test_the_measures_see_a_leak():
    """Without this the bounds above could pass because a measure reads 0."""
    kept = []
    watched = [ROSTER]
    before = measure(watched)
    for _ in range(CALLS):
        kept.append(Fleet(CARD, 10, ROSTER))
        kept.append(bytearray(64))  # outside the object allocator under any setting
        ctypes.pythonapi.Py_IncRef(ctypes.py_object(ROSTER))
    after = measure(watched)
    for _ in range(CALLS):
        ctypes.pythonapi.Py_DecRef(ctypes.py_object(ROSTER))
    if hasattr(sys, "gettotalrefcount"):
        assert after[0] - before[0] > REFS_BOUND
    if sys.getallocatedblocks() > 0:
        assert after[1] - before[1] > BLOCKS_BOUND
    if heap_in_use() > 0:
        assert after[2] - before[2] > HEAP_BOUND
    assert after[3][0] - before[3][0] == CALLS
    del kept


def test_the_heap_measure_is_there():
    # glibc (this platform's C library) or the sanitizer runtime: one of them.
    assert heap_in_use() > 0
