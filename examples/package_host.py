"""A typed host loop on the garnel package: checked by mypy --strict.

The loop a host runs for one card: load what fits, tell the fleet what the
servers do, and send each request where `route` says. Times come from the
fleet's clock (the process's monotonic clock in ms), so no call passes `now`;
every change goes to a journal that `garnel replay` reads back.

Usage: python examples/package_host.py [JOURNAL]
"""

from __future__ import annotations

import pathlib
import sys
from typing import Callable

import garnel
from garnel import Fleet, Route, RouteKind

GIB = 2**30
ROSTER = pathlib.Path(__file__).with_name("roster.json")

# What this host knows of its own servers; a real one starts processes and polls them.
Probe = Callable[[str], "int | None"]  # bytes the model holds on the card, None when down


def load_what_fits(fleet: Fleet, probe: Probe, ports: dict[str, int]) -> list[str]:
    """Start every model the fleet names next, until none fits."""
    loaded = []
    while (model := fleet.next_to_load()) is not None:
        fleet.load_started(model)
        held = probe(model)
        if held is None:
            fleet.load_failed(model, "the server did not come up")
            break
        fleet.probe_ok(model, held)
        fleet.set_endpoint(model, f"http://127.0.0.1:{ports.setdefault(model, 8001 + len(ports))}")
        loaded.append(model)
    return loaded


def destination(route: Route) -> str:
    """Where a request goes: an endpoint, "wait", or "elsewhere"."""
    if route.ready:
        assert route.endpoint is not None
        return route.endpoint
    if route.kind is RouteKind.WARMING:
        return "wait"
    return "elsewhere"


def health_check(fleet: Fleet, probe: Probe, models: list[str]) -> None:
    for model in models:
        held = probe(model)
        if held is None:
            fleet.probe_failed(model, detail="no answer within 2 s")
        else:
            fleet.probe_ok(model, held)


def main(journal: pathlib.Path) -> None:
    roster = garnel.read_roster(ROSTER)
    sizes = {model.name: model.needed_bytes for model in roster}
    down: set[str] = set()

    def probe(model: str) -> int | None:
        return None if model in down else sizes[model]

    with Fleet(24 * GIB, 10, roster, journal=journal) as fleet:
        loaded = load_what_fits(fleet, probe, {})
        for model in [*loaded, "coder-14b", "unheard-of"]:
            print(f"{model:12} -> {destination(fleet.route(model))}")
        down.add(loaded[0])
        health_check(fleet, probe, loaded)
        print(f"{loaded[0]:12} -> {destination(fleet.route(loaded[0]))} (after its probe failed)")
        print(fleet.report(), end="")
    print(f"journal: {journal} (garnel replay {journal})")


if __name__ == "__main__":
    main(pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "package_host.journal"))
