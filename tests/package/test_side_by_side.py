"""The package and the bare module, driven side by side over random rosters
and event sequences (seeded): every Plan and Route field is what the module's
JSON says, and every report and figure is the module's own."""

from __future__ import annotations

import dataclasses
import json
import random
from collections import ChainMap
from types import MappingProxyType
from typing import Any, Callable

import _garnel
import garnel
import pytest
from garnel import Kind, Model, Plan, Route, RouteKind
from package_support import GIB

U64_MAX = 2**64 - 1
NAMES = ["chat-8b", "coder", 'quo"te', "caf\u00e9", "tab\there", "n" * 40]
DETAILS = ["oom", "", 'say "no"', "caf\u00e9 \u2014 back\\slash", "line\nfeed"]


def random_roster(rng: random.Random) -> tuple[Any, str]:
    """A roster in one of the package's shapes, and the same roster as module JSON."""
    shape = rng.choice(["models", "camel", "snake", "text"])
    count = rng.randrange(6)
    # A name may repeat only in JSON text, which reaches the module as given;
    # the package refuses a repeat in the shapes it reads itself.
    if shape == "text":
        names = [rng.choice(NAMES) for _ in range(count)]
    else:
        names = rng.sample(NAMES, count)
    entries = []
    for name in names:
        weights = rng.choice([0, rng.randrange(GIB), rng.randrange(30 * GIB), U64_MAX])
        kv = rng.choice([None, 0, rng.randrange(4 * GIB), U64_MAX])
        entries.append((name, weights, kv))
    module_json = json.dumps([{"model": n, "weightsBytes": w, "kvBytes": k} for n, w, k in entries])
    if shape == "models":
        return [Model(n, w, k or 0) for n, w, k in entries], module_json
    if shape == "camel":
        return [{"model": n, "weightsBytes": w, "kvBytes": k} for n, w, k in entries], module_json
    if shape == "snake":
        return [{"model": n, "weights_bytes": w, "kv_bytes": k} for n, w, k in entries], module_json
    return module_json, module_json


def assert_plan_matches(plan: Plan, text: str) -> None:
    fields = json.loads(text)
    assert {f.name for f in dataclasses.fields(plan)} == set(fields) | {"json"}
    assert plan.json == text and str(plan) == fields["explain"]
    for key, value in fields.items():
        got = getattr(plan, key)
        if key == "rejected":
            # A plan of one card names no card: only a placement sets `gpu`.
            assert [dataclasses.asdict(rejection) for rejection in got] == [
                {**record, "gpu": None} for record in value
            ]
        elif key == "admitted":
            assert isinstance(got, tuple) and list(got) == value
        else:
            assert got == value and type(got) is type(value), key


def assert_route_matches(route: Route, text: str) -> None:
    fields = json.loads(text)
    assert isinstance(route.kind, RouteKind) and route.kind.value == fields.pop("route")
    for field in dataclasses.fields(route):
        if field.name != "kind":
            assert getattr(route, field.name) == fields.pop(field.name, None), field.name
    assert not fields, f"keys the Route lacks: {fields}"
    # A Route the fleet hands back (cached, or filled in place) is a proper one.
    normal = Route.from_json(text)
    assert route == normal and hash(route) == hash(normal)


def outcome(call: Callable[..., object], *args: object) -> tuple[str, object]:
    try:
        return "returned", call(*args)
    except (ValueError, TypeError) as error:
        return type(error).__name__, str(error)


@pytest.mark.parametrize("seed", range(60))
def test_plans_match_the_module(seed: int) -> None:
    rng = random.Random(seed)
    roster, module_json = random_roster(rng)
    total = rng.choice([0, GIB, 24 * GIB, 80 * GIB, U64_MAX])
    pct = rng.randrange(256)
    assert_plan_matches(garnel.plan(total, pct, roster), _garnel.plan(total, pct, module_json))


def one_event(
    rng: random.Random, model: str
) -> tuple[Callable[[garnel.Fleet, Any], None], tuple[str, str]]:
    """One change as the package's call and as (kind, detail text) for the module."""
    pick = rng.randrange(8)
    if pick == 0:
        return (lambda f, now: f.load_started(model, now)), ("load_started", "{}")
    if pick == 1:
        vram = rng.choice([0, GIB, rng.randrange(8 * GIB), U64_MAX])
        return (lambda f, now: f.probe_ok(model, vram, now)), (
            "probe_ok",
            json.dumps({"vramBytes": vram}),
        )
    if pick == 2:
        present, why = rng.random() < 0.5, rng.choice([None, *DETAILS])
        detail: dict[str, object] = {"gpuPresent": present}
        if why is not None:
            detail["detail"] = why
        call = lambda f, now: f.probe_failed(model, gpu_present=present, detail=why, now=now)
        return call, ("probe_failed", json.dumps(detail))
    if pick == 3:
        code = rng.choice([None, 0, -9, 2**40])
        text = "{}" if code is None else json.dumps({"code": code})
        return (lambda f, now: f.process_exited(model, code, now)), ("process_exited", text)
    if pick == 4:
        why = rng.choice([None, *DETAILS])
        text = "{}" if why is None else json.dumps({"detail": why})
        return (lambda f, now: f.load_failed(model, why, now)), ("load_failed", text)
    if pick == 5:
        return (lambda f, now: f.stop(model, now)), ("stop", "{}")
    # observe() itself: a Kind or any accepted name, a mapping, text or None.
    kind = rng.choice([*Kind, "probeOk", "stop_requested", "probe-ok"])
    detail_arg = rng.choice([None, {"vram_bytes": GIB}, '{"gpuPresent": false}', "{", "null"])
    text = (
        "{}"
        if detail_arg is None
        else detail_arg
        if isinstance(detail_arg, str)
        else json.dumps(detail_arg)
    )
    return (lambda f, now: f.observe(model, kind, detail_arg, now)), (
        str(getattr(kind, "value", kind)),
        text,
    )


@pytest.mark.parametrize("seed", range(40))
def test_fleets_answer_as_the_module_does(seed: int) -> None:
    rng = random.Random(1000 + seed)
    roster, module_json = random_roster(rng)
    total, pct = rng.choice([GIB, 24 * GIB, 80 * GIB]), rng.randrange(30)
    clock = [rng.randrange(10**6)]
    fleet = garnel.Fleet(total, pct, roster, clock=lambda: clock[0])
    raw = _garnel.Fleet(total, pct, module_json)
    names = sorted({entry["model"] for entry in json.loads(module_json)} | {"ghost"})
    for _ in range(60):
        clock[0] += rng.choice([0, 1, 999, 1000, 60_000])
        # A `now` left out is the fleet's clock; a given one is used as is.
        now = rng.choice([None, clock[0], rng.randrange(2**40)])
        module_now = clock[0] if now is None else now
        model = rng.choice(names)
        if rng.random() < 0.15:
            endpoint = rng.choice(["http://127.0.0.1:8001", "", "ep\u00e9"])
            fleet.set_endpoint(model, endpoint)
            raw.set_endpoint(model, endpoint)
        else:
            call, (kind, detail) = one_event(rng, model)
            assert outcome(call, fleet, now) == outcome(
                raw.observe, model, kind, detail, module_now
            )
        for name in names:
            assert_route_matches(fleet.route(name, now), raw.route(name, module_now))
        assert fleet.report(now) == raw.report(module_now)
        assert fleet.next_to_load() == raw.next_to_load()
        assert (fleet.committed_bytes(), fleet.free_bytes()) == (
            raw.committed_bytes(),
            raw.free_bytes(),
        )


@pytest.mark.parametrize(
    "detail",
    [
        MappingProxyType({"vramBytes": 3 * GIB}),
        ChainMap({"vramBytes": 3 * GIB}, {"vramBytes": GIB}),
        {"vramBytes": 3 * GIB, "gpu": MappingProxyType({"index": 0})},
    ],
)
def test_any_mapping_is_a_detail(detail: Any) -> None:
    fleet = garnel.Fleet(24 * GIB, 10, [Model("a", 2 * GIB)], clock=lambda: 7)
    raw = _garnel.Fleet(24 * GIB, 10, '[{"model":"a","weightsBytes":2147483648}]')
    fleet.observe("a", Kind.PROBE_OK, detail)
    raw.observe("a", "probe_ok", '{"vramBytes":3221225472,"gpu":{"index":0}}', 7)
    assert fleet.report(9) == raw.report(9) and fleet.committed_bytes() == 3 * GIB
