"""Callers and embedders that attack the boundary: arguments freed under a
conversion, sub-interpreters, an instance made around the constructor, a
re-initialised interpreter, a first import that ran out of memory, and
finalisers that run while a refusal is built."""

import ctypes
import gc
import json
import os
import pathlib
import subprocess
import sys
import textwrap

import _garnel
import pytest
from _garnel import Fleet
from conftest import GIB, Index

ROSTER = [{"model": "m", "weightsBytes": GIB}]


def run_python(script, timeout=120):
    """Runs script in a fresh interpreter that finds this _garnel."""
    where = os.path.dirname(_garnel.__file__)
    env = dict(os.environ, PYTHONPATH=os.pathsep.join([where, os.environ.get("PYTHONPATH", "")]))
    return subprocess.run(
        [sys.executable, "-c", textwrap.dedent(script)],
        capture_output=True,
        text=True,
        timeout=timeout,
        env=env,
        check=False,
    )


# --- An argument freed while an earlier one is converted -----------------------


def plan_through_the_c_api(kwargs):
    """plan(**kwargs) with kwargs itself as the call's keyword dictionary, as
    a C caller passes it: no copy holds the arguments."""
    call = ctypes.pythonapi.PyObject_Call
    call.restype = ctypes.py_object
    call.argtypes = [ctypes.py_object, ctypes.py_object, ctypes.py_object]
    return call(_garnel.plan, (), kwargs)


def clear_dicts_holding(value):
    for referrer in gc.get_referrers(value):
        if isinstance(referrer, dict) and "declared_json" in referrer:
            referrer.clear()


@pytest.mark.parametrize("converted_first", ["total_bytes", "reserve_pct"])
@pytest.mark.parametrize("call", ["plan through the C API", "Fleet(**kwargs)"])
def test_arguments_live_until_converted(converted_first, call):
    events = []

    class Roster(str):
        def __del__(self):
            events.append("roster finalised")

    def hook():
        if call == "Fleet(**kwargs)":
            clear_dicts_holding(index)  # the caller's and any copy made for the call
        else:
            arguments.clear()
        events.append("keyword dictionary cleared")

    index = Index(24 * GIB if converted_first == "total_bytes" else 10, hook)
    arguments = {"total_bytes": 24 * GIB, "reserve_pct": 10}
    arguments[converted_first] = index
    # Made at run time, so that no constant of this code holds it.
    arguments["declared_json"] = Roster(json.dumps(ROSTER))
    if call == "Fleet(**kwargs)":
        answer = Fleet(**arguments).report(0)
        expected = Fleet(24 * GIB, 10, json.dumps(ROSTER)).report(0)
    else:
        answer = plan_through_the_c_api(arguments)
        expected = _garnel.plan(24 * GIB, 10, json.dumps(ROSTER))
    assert events == ["keyword dictionary cleared", "roster finalised"]
    assert answer == expected


# --- Sub-interpreters ------------------------------------------------------------

# Each way this interpreter has of running code in a sub-interpreter, before
# the main interpreter has imported the module; then the main one imports it.
SUBINTERPRETER_FIRST = """
import json, os, sys
WAY = {way!r}
read, write = os.pipe()
code = '''
import os
try:
    import _garnel
    outcome = "imported"
except ImportError as error:
    outcome = "ImportError: " + str(error)
os.write({{write}}, outcome.encode())
'''.format(write=write)
if WAY == "legacy":
    import _testcapi
    _testcapi.run_in_subinterp(code)
else:
    try:
        import _interpreters as interpreters
        interpreter = interpreters.create()
    except ImportError:
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create(isolated=True)
    interpreters.run_string(interpreter, code)
    interpreters.destroy(interpreter)
print(os.read(read, 4096).decode())
import _garnel
print(json.loads(_garnel.plan(0, 0, "[]"))["fits"])
"""


def subinterpreter_ways():
    ways = []
    try:
        import _testcapi

        if hasattr(_testcapi, "run_in_subinterp"):
            ways.append("legacy")
    except ImportError:
        pass
    if sys.version_info >= (3, 12):
        ways.append("isolated")
    return ways


@pytest.mark.parametrize(
    "way", subinterpreter_ways() or [pytest.param("none", marks=pytest.mark.skip)]
)
def test_a_refused_sub_interpreter_leaves_the_main_one_free_to_import(way):
    done = run_python(SUBINTERPRETER_FIRST.format(way=way))
    assert done.returncode == 0, done.stderr
    sub, main = done.stdout.splitlines()
    assert sub.startswith("ImportError: "), sub
    assert main == "True"


# --- An instance the constructor never built -------------------------------------

UNBUILT = """
import _garnel
from _garnel import Fleet
Fleet.__new__ = staticmethod(lambda cls, *args: object.__new__(cls))
fleet = Fleet(1, 2, "[]")
calls = {
    "route": lambda: fleet.route("m", 0),
    "report": lambda: fleet.report(0),
    "free_bytes": fleet.free_bytes,
    "committed_bytes": fleet.committed_bytes,
    "next_to_load": fleet.next_to_load,
    "set_endpoint": lambda: fleet.set_endpoint("m", "http://x"),
    "observe": lambda: fleet.observe("m", "stop", "{}", 0),
}
for name, call in calls.items():
    try:
        call()
    except TypeError as error:
        print(name, error)
    else:
        print(name, "answered")
del fleet
print("destroyed")
"""


def test_an_instance_made_around_the_constructor_answers_nothing():
    done = run_python(UNBUILT)
    assert done.returncode == 0, done.stderr
    lines = done.stdout.splitlines()
    assert lines[-1] == "destroyed"
    refusal = "this Fleet was not built by Fleet(): it has no card to answer for"
    assert lines[:-1] == [
        f"{name} {refusal}"
        for name in (
            "route",
            "report",
            "free_bytes",
            "committed_bytes",
            "next_to_load",
            "set_endpoint",
            "observe",
        )
    ]


# --- An embedding host that initialises the interpreter twice ---------------------


def test_an_interpreter_initialised_again_gets_a_working_module(probe):
    program = pathlib.Path(probe.__file__).with_name("embed_twice")
    if not program.exists():
        pytest.skip(f"{program} was not built")
    env = dict(os.environ, PYTHONPATH=os.path.dirname(_garnel.__file__))
    done = subprocess.run(
        [str(program)], capture_output=True, text=True, timeout=120, env=env, check=False
    )
    assert done.returncode == 0, done.stdout + done.stderr
    assert done.stdout.splitlines() == ["round 1: planned", "round 2: planned"]


# --- A first import that ran out of memory ---------------------------------------

# Fails the first allocation of the module's creation, then the second, and so
# on until a creation gets through: every failed attempt must leave nothing
# behind that the next one trusts.
OUT_OF_MEMORY_SWEEP = """
import _imp, importlib.util, json
import _testcapi
found = importlib.util.find_spec("_garnel")
failures = []
for nth in range(10000):
    _testcapi.set_nomemory(nth, nth + 1)
    try:
        _imp.create_dynamic(found)
    except MemoryError as error:
        failures.append(nth)
    else:
        break
    finally:
        _testcapi.remove_mem_hooks()
import _garnel
print(json.loads(_garnel.plan(0, 0, "[]"))["fits"], len(failures) > 0)
"""


@pytest.mark.skipif(
    sys.version_info >= (3, 13),
    reason="CPython 3.13's own PyType_FromSpec crashes after an earlier allocation failure in it",
)
def test_a_first_import_out_of_memory_can_be_retried():
    pytest.importorskip("_testcapi")
    done = run_python(OUT_OF_MEMORY_SWEEP, timeout=600)
    assert done.returncode == 0, done.stderr[-2000:]
    assert done.stdout.split() == ["True", "True"]


# --- Finalisers run while a refusal is built ------------------------------------


def refusals(fleet):
    return {
        "set_endpoint(model, None)": lambda: fleet.set_endpoint("m", None),
        "observe(model, None, ...)": lambda: fleet.observe("m", None, "{}", 1),
        "route(model, 1.5)": lambda: fleet.route("m", 1.5),
        "report(1.5)": lambda: fleet.report(1.5),
        "observe(..., now=1.5)": lambda: fleet.observe("m", "stop", "{}", 1.5),
    }


@pytest.mark.parametrize("refused", list(refusals(None)))
def test_a_finaliser_run_by_a_refusal_finds_the_fleet_free(refused):
    fleet = Fleet(24 * GIB, 10, json.dumps(ROSTER))
    call = refusals(fleet)[refused]
    outcomes = []

    class Garbage:
        def __del__(self):
            try:
                fleet.route("m", 0)
                fleet.set_endpoint("m", "http://after")
                outcomes.append("answered")
            except RuntimeError as error:
                outcomes.append(str(error))

    threshold = gc.get_threshold()
    try:
        # The collection falls on each allocation of the call in turn; no
        # pytest.raises here, whose own allocations would come first.
        for allocations in range(1, 30):
            gc.collect()
            gc.disable()
            cycle = Garbage()
            cycle.itself = cycle
            del cycle
            gc.set_threshold(allocations)
            gc.enable()
            try:
                call()
            except TypeError:
                pass
            else:
                pytest.fail(f"{refused} was not refused")
            gc.collect()
    finally:
        gc.set_threshold(*threshold)
        gc.enable()
    assert outcomes == ["answered"] * len(outcomes)
    assert fleet.route("m", 0) == Fleet(24 * GIB, 10, json.dumps(ROSTER)).route("m", 0)
