import json
import re
import weakref

import pytest

from _garnel import Fleet
from conftest import GIB, U64_MAX, Index, canonical, snapshot

CARD = 25769803776  # 24 GiB, 10% reserve: 23192823406 usable


def roster(*models):
    return json.dumps([{"model": name, "weightsBytes": weights} for name, weights in models])


@pytest.fixture
def fleet():
    return Fleet(CARD, 10, roster(("m", 4 * GIB), ("big", 40 * GIB)))


# --- the type -----------------------------------------------------------------


def test_type_properties():
    assert Fleet.__name__ == Fleet.__qualname__ == "Fleet"
    assert Fleet.__module__ == "builtins"
    assert Fleet.__bases__ == (object,)
    assert Fleet.__doc__ in ("", None) or Fleet.__doc__.startswith("Fleet(")
    methods = [name for name in vars(Fleet) if not name.startswith("__")]
    assert methods == ["set_endpoint", "observe", "route", "next_to_load", "committed_bytes", "free_bytes", "report"]
    for name in ("__init__", "__repr__", "__eq__", "__hash__", "__reduce__"):
        assert getattr(Fleet, name) is getattr(object, name)


def test_class_text_signature():
    import sys

    if sys.version_info >= (3, 10):  # 3.9 derives no signature for a class
        assert Fleet.__text_signature__ == "(total_bytes, reserve_pct, declared_json)"
        assert Fleet.__doc__ == ""


@pytest.mark.parametrize(
    "method, signature",
    [
        ("set_endpoint", "($self, model, endpoint)"),
        ("observe", "($self, model, kind, detail_json, now)"),
        ("route", "($self, model, now)"),
        ("next_to_load", "($self)"),
        ("committed_bytes", "($self)"),
        ("free_bytes", "($self)"),
        ("report", "($self, now)"),
    ],
)
def test_method_signatures(method, signature):
    function = getattr(Fleet, method)
    assert function.__text_signature__ == signature
    if method != "observe":
        assert function.__doc__ is None


def test_instances_print_with_the_full_name(fleet):
    assert re.fullmatch(r"<builtins\.Fleet object at 0x[0-9a-f]+>", repr(fleet))


def test_no_subclass_attribute_or_weak_reference(fleet):
    with pytest.raises(TypeError):

        class Derived(Fleet):
            pass

    with pytest.raises(AttributeError):
        fleet.anything = 1
    with pytest.raises(TypeError):
        weakref.ref(fleet)
    assert not hasattr(fleet, "__dict__")


def test_not_tracked_by_the_collector(fleet):
    import gc

    assert not gc.is_tracked(fleet)


# --- construction ---------------------------------------------------------------


@pytest.mark.parametrize(
    "total, pct, free",
    [
        (CARD, 10, 23192823406),
        (U64_MAX, 0, 18446744072635809791),
        (CARD, 100, CARD % 100),
        (CARD, 255, CARD % 100),
        (CARD, True, CARD - GIB),
        (Index(CARD), Index(10), 23192823406),
    ],
)
def test_an_empty_fleet_holds_nothing(total, pct, free):
    empty = Fleet(total, pct, "[]")
    assert empty.free_bytes() == free
    assert empty.committed_bytes() == 0
    assert empty.next_to_load() is None
    assert empty.report(0).count("\n") == 1


@pytest.mark.parametrize(
    "args, kwargs, error, message",
    [
        ((CARD, 10), {}, TypeError, "^Fleet.__new__\\(\\) missing 1 required positional argument: 'declared_json'$"),
        ((CARD, 10, "[]", 1), {}, TypeError, "^Fleet.__new__\\(\\) takes 3 positional arguments but 4 were given$"),
        ((CARD, 10, "[]"), {"x": 1}, TypeError, "^Fleet.__new__\\(\\) got an unexpected keyword argument 'x'$"),
        ((CARD, 10), {"reserve_pct": 1}, TypeError, "^Fleet.__new__\\(\\) got multiple values for argument 'reserve_pct'$"),
        ((float(CARD), 10, "[]"), {}, TypeError, "^argument 'total_bytes': "),
        ((-1, 10, "[]"), {}, OverflowError, "^(?!argument)"),
        ((2**64, 10, "[]"), {}, OverflowError, "^(?!argument)"),
        ((CARD, 256, "[]"), {}, OverflowError, "^out of range integral type conversion attempted$"),
        ((CARD, -1, "[]"), {}, OverflowError, "^out of range integral type conversion attempted$"),
        ((CARD, -(2**63) - 1, "[]"), {}, OverflowError, "^Python int too large to convert to C long$"),
        ((CARD, 2**63, "[]"), {}, OverflowError, "^Python int too large to convert to C long$"),
        ((CARD, 10, b"[]"), {}, TypeError, "^argument 'declared_json': 'bytes' object cannot be converted to 'PyString'$"),
        ((CARD, 10, ["[]"]), {}, TypeError, "cannot be converted to 'PyString'$"),
        ((CARD, 10, "{}"), {}, ValueError, "^could not read the roster: expected an array of declared models$"),
        ((CARD, 10, "nope"), {}, ValueError, "^bad json: "),
        ((CARD, 10, "[\ud800]"), {}, UnicodeEncodeError, ""),
        ((1.5, 10, b"x"), {}, TypeError, "^argument 'total_bytes': "),
    ],
)
def test_construction_refusals(args, kwargs, error, message):
    with pytest.raises(error) as caught:
        Fleet(*args, **kwargs)
    assert type(caught.value) is error
    assert re.search(message, str(caught.value))


def test_keyword_construction():
    fleet = Fleet(declared_json="[]", reserve_pct=10, total_bytes=CARD)
    assert fleet.free_bytes() == 23192823406


# --- the methods' arguments -------------------------------------------------------


@pytest.mark.parametrize(
    "call, error, message",
    [
        (lambda f: f.route("m"), TypeError, "^Fleet.route\\(\\) missing 1 required positional argument: 'now'$"),
        (lambda f: f.route(), TypeError, "^Fleet.route\\(\\) missing 2 required positional arguments: 'model' and 'now'$"),
        (lambda f: f.route("m", 1, 2), TypeError, "^Fleet.route\\(\\) takes 2 positional arguments but 3 were given$"),
        (lambda f: f.report(), TypeError, "^Fleet.report\\(\\) missing 1 required positional argument: 'now'$"),
        (lambda f: f.report(now=1, then=2), TypeError, "^Fleet.report\\(\\) got an unexpected keyword argument 'then'$"),
        (lambda f: f.set_endpoint("m"), TypeError, "^Fleet.set_endpoint\\(\\) missing 1 required positional argument: 'endpoint'$"),
        (lambda f: f.set_endpoint("m", None), TypeError, "^argument 'endpoint': 'NoneType' object cannot be converted to 'PyString'$"),
        (lambda f: f.set_endpoint(b"m", "e"), TypeError, "^argument 'model': 'bytes' object cannot be converted to 'PyString'$"),
        (lambda f: f.route(None, 1), TypeError, "^argument 'model': 'NoneType' object cannot be converted to 'PyString'$"),
        (lambda f: f.route("m", 1.0), TypeError, "^argument 'now': "),
        (lambda f: f.route("m", -1), OverflowError, "^(?!argument)"),
        (lambda f: f.report(2**64), OverflowError, "^(?!argument)"),
        (lambda f: f.route(None, -1), TypeError, "^argument 'model': "),  # model is converted first
        (lambda f: f.route("\udc80", 1), UnicodeEncodeError, ""),
        (lambda f: f.free_bytes(1), TypeError, "takes no arguments"),
        (lambda f: f.next_to_load(1), TypeError, "takes no arguments"),
        (lambda f: f.committed_bytes(x=1), TypeError, "takes no keyword arguments"),
    ],
)
def test_method_argument_refusals(fleet, call, error, message):
    fleet.observe("m", "probe_ok", "{}", 0)
    fleet.set_endpoint("m", "ep")
    before = snapshot(fleet, names=("m", "big"))
    with pytest.raises(error) as caught:
        call(fleet)
    assert type(caught.value) is error
    assert re.search(message, str(caught.value))
    assert snapshot(fleet, names=("m", "big")) == before


@pytest.mark.parametrize("now", [0, U64_MAX, True, Index(7)])
def test_now_takes_the_whole_clock(fleet, now):
    assert json.loads(fleet.route("m", now))["route"] == "unknown"
    assert fleet.report(now).startswith("0.0 / 21.6 GiB held")


@pytest.mark.parametrize(
    "models, name_size, detail_size",
    [
        (3, 8, 0),  # fits the stack
        (3, 8, 20_000),  # a long failure text outgrows the stack
        (200, 8, 0),  # many lines of typical names
        (200, 300, 0),  # many long names outgrow room for typical ones
        (200, 8, 500),  # many long failure texts outgrow it too
    ],
)
def test_reports_of_every_size_are_whole(models, name_size, detail_size):
    names = [f"{i:03d}".ljust(name_size, "n") for i in range(models)]
    fleet = Fleet(CARD, 10, roster(*((name, 1) for name in names)))
    for name in names:
        fleet.observe(name, "load_failed", json.dumps({"detail": "d" * detail_size}), 0)
    lines = [f"  {name:<28} failed to load: {'d' * detail_size}\n" for name in names]
    header = f"0.0 / 21.6 GiB held  ({models} declared, {models} admitted)\n"
    assert fleet.report(0) == header + "".join(lines)


def test_methods_called_through_the_class_on_another_object():
    with pytest.raises(TypeError):
        Fleet.route(object(), "m", 1)
    with pytest.raises(TypeError):
        Fleet.free_bytes(5)


def test_keyword_method_calls(fleet):
    fleet.set_endpoint(endpoint="e", model="m")
    fleet.observe(now=7, detail_json="{}", kind="probe_ok", model="m")
    assert json.loads(fleet.route(now=8, model="m"))["endpoint"] == "e"
    assert fleet.report(now=8) == fleet.report(8)


# --- routes and byte figures ---------------------------------------------------------


def test_set_endpoint_on_unknown_and_not_admitted_names(fleet):
    assert fleet.set_endpoint("ghost", "e") is None
    assert fleet.set_endpoint("big", "e") is None
    assert json.loads(fleet.route("big", 0)) == {
        "model": "big",
        "operator_fault": False,
        "ready": False,
        "route": "not_admitted",
        "short_bytes": 40 * GIB - (23192823406 - 4 * GIB),
        "try_elsewhere": True,
    }


def test_values_above_the_signed_range_come_back_positive():
    fleet = Fleet(U64_MAX, 0, roster(("m", 1)))
    fleet.observe("m", "probe_ok", json.dumps({"vram_bytes": 2**63 + 5}), 1)
    assert fleet.committed_bytes() == 2**63 + 5
    assert fleet.free_bytes() == U64_MAX - GIB - (2**63 + 5)


ODD = ['q"uote', "back\\slash", "new\nline", "\x00\x1f\x7f", "caf\u00e9 \u2014 \U0001f600", ""]


@pytest.mark.parametrize("text", ODD)
def test_route_text_form_with_odd_names_endpoints_and_details(text):
    name = text or "plain"
    fleet = Fleet(CARD, 10, roster((name, GIB)))
    fleet.set_endpoint(name, text)
    fleet.observe(name, "probe_ok", "{}", 1)
    ready = fleet.route(name, 2)
    assert ready == canonical(ready)
    assert json.loads(ready)["endpoint"] == text
    fleet.observe(name, "load_failed", json.dumps({"detail": text}), 3)
    failed = fleet.route(name, 4)
    assert failed == canonical(failed)
    assert json.loads(failed)["reason"] == text
    asked = fleet.route(text + "?", 4)
    assert asked == canonical(asked)
    assert json.loads(asked)["model"] == text + "?"


# --- borrow conflicts through __index__ ----------------------------------------------


def test_a_shared_call_re_entered_by_an_exclusive_one_caught(fleet):
    seen = []

    def hook():
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            fleet.set_endpoint("m", "inner")
        seen.append(fleet.report(0))  # shared inside shared is fine

    assert json.loads(fleet.route("m", Index(1, hook)))["route"] == "unknown"
    assert len(seen) == 1
    fleet.set_endpoint("m", "after")  # free again
    fleet.observe("m", "probe_ok", "{}", 1)
    assert json.loads(fleet.route("m", 2))["endpoint"] == "after"


def test_a_shared_call_re_entered_by_an_exclusive_one_propagated(fleet):
    with pytest.raises(RuntimeError, match="^Already borrowed$"):
        fleet.route("m", Index(1, lambda: fleet.set_endpoint("m", "inner")))
    fleet.set_endpoint("m", "after")
    assert fleet.free_bytes() == 23192823406


@pytest.mark.parametrize(
    "inner, message",
    [
        (lambda f: f.route("m", 1), "Already mutably borrowed"),
        (lambda f: f.report(1), "Already mutably borrowed"),
        (lambda f: f.free_bytes(), "Already mutably borrowed"),
        (lambda f: f.committed_bytes(), "Already mutably borrowed"),
        (lambda f: f.next_to_load(), "Already mutably borrowed"),
        (lambda f: f.set_endpoint("m", "x"), "Already borrowed"),
        (lambda f: f.observe("m", "stop", "{}", 1), "Already borrowed"),
    ],
)
def test_an_exclusive_call_refuses_every_inner_call(fleet, inner, message):
    caught = []

    def hook():
        with pytest.raises(RuntimeError) as error:
            inner(fleet)
        caught.append(str(error.value))

    fleet.observe("m", "load_started", "{}", Index(5, hook))
    assert caught == [message]
    assert json.loads(fleet.route("m", 6))["route"] == "warming"


def test_a_conflict_is_reported_before_bad_arguments(fleet):
    def hook():
        with pytest.raises(RuntimeError, match="^Already borrowed$"):
            fleet.set_endpoint(None, None)

    fleet.route("m", Index(1, hook))
