"""Several threads share one Fleet and call every method in a seeded random
order. The interpreter lock serialises the calls, so none may see another
half-done (no borrow error, no crash), and what the threads saw must be what a
single thread replaying the same calls in the same order sees.
"""

import json
import random
import sys
import threading

import pytest

from _garnel import Fleet
from conftest import GIB

THREADS = 4
CALLS = 5000
CARD = 64 * GIB
MODELS = [f"t{i}" for i in range(THREADS)]
ROSTER = json.dumps(
    [{"model": name, "weightsBytes": (i + 1) * GIB, "kvBytes": GIB} for i, name in enumerate(MODELS)]
    + [{"model": "big", "weightsBytes": 100 * GIB}]
)
METHODS = {"set_endpoint", "observe", "route", "next_to_load", "committed_bytes", "free_bytes", "report"}
FINAL_NOW = 2**40


def observation(rng):
    """One observe call's kind and detail; now and then one the fleet refuses."""
    roll = rng.randrange(10)
    if roll == 0:
        return "load_started", "{}"
    if roll in (1, 2):
        return "probe_ok", json.dumps({rng.choice(["vramBytes", "vram_bytes"]): rng.randrange(8 * GIB)})
    if roll == 3:
        return "probe_failed", json.dumps({"gpuPresent": rng.random() < 0.5})
    if roll == 4:
        return "process_exited", json.dumps({"code": rng.randrange(-15, 3)})
    if roll == 5:
        return "load_failed", json.dumps({"detail": rng.choice(["oom", "caf\u00e9", ""])})
    if roll == 6:
        return "stop", "{}"
    if roll == 7:
        return "probe-ok", "{}"  # unknown kind: ValueError
    if roll == 8:
        return "stop", "{"  # bad JSON: ValueError
    return "loadStarted", "null"


def make_calls(rng, own):
    """A thread's calls as (method, args). `own` lists the models it may change
    and route; the queries over the whole fleet are always allowed."""
    calls = []
    for _ in range(CALLS):
        method = rng.choice(sorted(METHODS))
        model = rng.choice(own)
        now = rng.randrange(2**32)
        if method == "set_endpoint":
            args = (model, f"http://{model}:{rng.randrange(9000, 9100)}")
        elif method == "observe":
            args = (model, *observation(rng), now)
        elif method == "route":
            args = (model, now)
        elif method == "report":
            args = (now,)
        else:
            args = ()
        calls.append((method, args))
    return calls


def outcome(fleet, method, args):
    """The call's result, or its exception's class and text."""
    try:
        return getattr(fleet, method)(*args)
    except Exception as error:  # noqa: BLE001 - the kind of failure is what is compared
        return (type(error).__name__, str(error))


def run_threads(work):
    """Runs work(i) on THREADS threads started together, with frequent switches
    so that calls from different threads interleave as finely as they can."""
    barrier = threading.Barrier(THREADS)
    crashed = []

    def body(i):
        try:
            barrier.wait()
            work(i)
        except BaseException as error:  # noqa: BLE001 - reported below
            crashed.append(error)

    interval = sys.getswitchinterval()
    sys.setswitchinterval(1e-6)
    try:
        threads = [threading.Thread(target=body, args=(i,)) for i in range(THREADS)]
        for thread in threads:
            thread.start()
        for thread in threads:
            thread.join()
    finally:
        sys.setswitchinterval(interval)
    assert crashed == []


def borrow_errors(results):
    return [r for r in results if isinstance(r, tuple) and r[0] == "RuntimeError"]


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_calls_in_their_order_of_effect_replay_the_same(seed):
    """Any model from any thread. The lock holds each call together with its
    recording, so the record is the order in which the calls took effect."""
    fleet = Fleet(CARD, 10, ROSTER)
    plans = [make_calls(random.Random(seed * 100 + i), MODELS + ["big", "ghost"]) for i in range(THREADS)]
    record = []
    lock = threading.Lock()

    def work(i):
        for method, args in plans[i]:
            with lock:
                record.append((method, args, outcome(fleet, method, args)))

    run_threads(work)
    assert len(record) == THREADS * CALLS
    assert {method for method, _, _ in record} == METHODS
    assert borrow_errors([result for _, _, result in record]) == []
    # The threads really interleaved: the record is not one thread after another.
    assert [args for _, args, _ in record] != [args for plan in plans for _, args in plan]

    replay = Fleet(CARD, 10, ROSTER)
    for method, args, result in record:
        assert outcome(replay, method, args) == result, (method, args)
    assert fleet.report(FINAL_NOW) == replay.report(FINAL_NOW)


@pytest.mark.parametrize("seed", [1, 2, 3])
def test_calls_without_a_lock_are_serialised(seed):
    """No lock of our own: only the interpreter's keeps the calls apart. Each
    thread changes and routes its own model, so its routes depend on its own
    calls alone and the final state on no order between threads."""
    fleet = Fleet(CARD, 10, ROSTER)
    plans = [make_calls(random.Random(seed * 100 + i), [MODELS[i]]) for i in range(THREADS)]
    seen = [[] for _ in range(THREADS)]

    def work(i):
        results = seen[i]
        for method, args in plans[i]:
            results.append(outcome(fleet, method, args))

    run_threads(work)
    assert {method for plan in plans for method, _ in plan} == METHODS
    assert [borrow_errors(results) for results in seen] == [[]] * THREADS

    replay = Fleet(CARD, 10, ROSTER)
    for plan, results in zip(plans, seen):
        assert len(results) == CALLS
        for (method, args), result in zip(plan, results):
            expected = outcome(replay, method, args)
            if method in ("route", "set_endpoint", "observe"):
                assert result == expected, (method, args)
            else:
                # Whole-fleet queries depend on where the other threads were.
                assert type(result) in (int, str, type(None)), (method, result)
    assert fleet.report(FINAL_NOW) == replay.report(FINAL_NOW)
    for method in ("committed_bytes", "free_bytes", "next_to_load"):
        assert getattr(fleet, method)() == getattr(replay, method)()
