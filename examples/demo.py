"""A day of one 24 GiB card, as a host drives garnel through it.

First the question asked before anything is loaded: can this card hold this
roster? Then the loop a host runs: build a Fleet, ask what to load next,
report the load and the health probe, set the endpoint, route requests, lose
the serving process, route again, and print the card's report at each step.
The fleet journals what it is told; at the end the card is replayed from the
journal as it stood just before the serving process exited.

Usage: python examples/demo.py [ROSTER_FILE]   (JSON or TOML)
"""

from __future__ import annotations

import pathlib
import sys
import tempfile

import garnel

CARD_BYTES = 24 * 2**30  # a 24 GiB card
RESERVE_PCT = 10  # held back for the runtime, never less than one GiB
GIB = 2**30


class DemoClock:
    """The host's clock in ms since 08:00; the demo moves it by hand."""

    def __init__(self) -> None:
        self.now_ms = 0

    def __call__(self) -> int:
        return self.now_ms


def step(title: str) -> None:
    print(f"\n--- {title}")


def main() -> None:
    here = pathlib.Path(__file__).with_name("roster.json")
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else here
    roster = garnel.read_roster(path)

    step(f"Can a 24 GiB card, {RESERVE_PCT}% held back, hold {path.name}?")
    plan = garnel.plan(CARD_BYTES, RESERVE_PCT, roster)
    print(plan)
    print("admitted:", ", ".join(plan.admitted), " headroom bytes:", plan.headroom_bytes)

    with tempfile.TemporaryDirectory() as scratch:
        journal = pathlib.Path(scratch) / "card.journal"
        a_day_of_the_card(roster, journal)

        step("Later: the card from its journal, as it stood at 08:59:59")
        print(f"({len(journal.read_text().splitlines())} lines in the journal)")
        print(garnel.replay(journal, until=3_599_000).report(), end="")


def a_day_of_the_card(roster: list[garnel.Model], journal: pathlib.Path) -> None:
    clock = DemoClock()
    with garnel.Fleet(CARD_BYTES, RESERVE_PCT, roster, clock=clock, journal=journal) as fleet:
        step("08:00 the host builds the fleet")
        print(fleet.report(), end="")

        first = fleet.next_to_load()
        assert first is not None
        step(f"08:00 next to load: {first}; the load starts")
        fleet.load_started(first)
        clock.now_ms = 1_500
        print("route:", fleet.route(first))
        print(fleet.report(), end="")

        step(f"08:00:42 the probe answers: {first} holds 17 GiB, served on port 8001")
        clock.now_ms = 42_000
        fleet.probe_ok(first, 17 * GIB)
        fleet.set_endpoint(first, "http://127.0.0.1:8001")
        clock.now_ms = 60_000
        route = fleet.route(first)
        print("route:", route.kind.value, "to", route.endpoint)
        print("committed bytes:", fleet.committed_bytes(), " free bytes:", fleet.free_bytes())
        second = fleet.next_to_load()
        assert second is not None
        print("next to load:", second)
        print(fleet.report(), end="")

        step(f"08:01 {second} loads beside it")
        fleet.load_started(second)
        clock.now_ms = 65_000
        fleet.probe_ok(second, GIB)
        fleet.set_endpoint(second, "http://127.0.0.1:8002")
        clock.now_ms = 70_000
        print("route:", fleet.route(second).kind.value)
        print("route of the model that did not fit:", fleet.route("coder-14b"))
        print(fleet.report(), end="")

        step(f"09:00 the serving process of {first} exits")
        clock.now_ms = 3_600_000
        fleet.process_exited(first, code=-9)
        clock.now_ms = 3_600_500
        lost = fleet.route(first)
        print("route:", lost.kind.value, lost.reason, " try elsewhere:", lost.try_elsewhere)
        print("the same from the module underneath:", fleet.raw.route(first, clock.now_ms))
        print("next to load:", fleet.next_to_load())
        print(fleet.report(), end="")

        step(f"09:01 {first} is loaded again; its endpoint stands")
        clock.now_ms = 3_601_000
        fleet.load_started(first)
        clock.now_ms = 3_640_000
        fleet.probe_ok(first, 17 * GIB)
        clock.now_ms = 3_660_000
        print("route:", fleet.route(first).endpoint)
        print("next to load:", fleet.next_to_load())
        print(fleet.report(), end="")


if __name__ == "__main__":
    main()
