"""A day of one 24 GiB card, as a host drives garnel through it.

First the question asked before anything is loaded: can this card hold this
roster? Then the loop a host runs: build a Fleet, ask what to load next,
report the load and the health probe, set the endpoint, route requests, lose
the serving process, route again, and print the card's report at each step.

Usage: python examples/demo.py [ROSTER_JSON_FILE]
"""

import json
import pathlib
import sys

import _garnel
from _garnel import Fleet

CARD_BYTES = 24 * 2**30  # a 24 GiB card
RESERVE_PCT = 10  # held back for the runtime, never less than one GiB
GIB = 2**30


def step(title: str) -> None:
    print(f"\n--- {title}")


def show_report(fleet: Fleet, now_ms: int) -> None:
    print(fleet.report(now_ms), end="")


def main() -> None:
    path = pathlib.Path(sys.argv[1]) if len(sys.argv) > 1 else pathlib.Path(__file__).with_name("roster.json")
    roster_json = path.read_text(encoding="utf-8")

    step(f"Can a 24 GiB card, {RESERVE_PCT}% held back, hold {path.name}?")
    plan_text = _garnel.plan(CARD_BYTES, RESERVE_PCT, roster_json)
    print(json.loads(plan_text)["explain"])
    print(plan_text)

    step("08:00 the host builds the fleet")
    fleet = Fleet(CARD_BYTES, RESERVE_PCT, roster_json)
    show_report(fleet, 0)

    first = fleet.next_to_load()
    step(f"08:00 next to load: {first}; the load starts")
    fleet.observe(first, "load_started", "{}", 0)
    print("route:", fleet.route(first, 1_500))
    show_report(fleet, 1_500)

    step(f"08:00:42 the probe answers: {first} holds 17 GiB, served on port 8001 (seen at 08:01)")
    fleet.observe(first, "probe_ok", json.dumps({"vramBytes": 17 * GIB}), 42_000)
    fleet.set_endpoint(first, "http://127.0.0.1:8001")
    print("route:", fleet.route(first, 60_000))
    print("committed bytes:", fleet.committed_bytes(), " free bytes:", fleet.free_bytes())
    second = fleet.next_to_load()
    print("next to load:", second)
    show_report(fleet, 60_000)

    step(f"08:01 {second} loads beside it")
    fleet.observe(second, "loadStarted", "{}", 60_000)
    fleet.observe(second, "probeOk", json.dumps({"vram_bytes": GIB}), 65_000)
    fleet.set_endpoint(second, "http://127.0.0.1:8002")
    print("route:", fleet.route(second, 70_000))
    print("route of the model that did not fit:", fleet.route("coder-14b", 70_000))
    show_report(fleet, 70_000)

    step(f"09:00 the serving process of {first} exits")
    fleet.observe(first, "process_exited", json.dumps({"code": -9}), 3_600_000)
    print("route:", fleet.route(first, 3_600_500))
    print("next to load:", fleet.next_to_load())
    show_report(fleet, 3_600_500)

    step(f"09:01 {first} is loaded again; its endpoint stands")
    fleet.observe(first, "load_started", "{}", 3_601_000)
    fleet.observe(first, "probe_ok", json.dumps({"vramBytes": 17 * GIB}), 3_640_000)
    print("route:", fleet.route(first, 3_660_000))
    print("next to load:", fleet.next_to_load())
    show_report(fleet, 3_660_000)


if __name__ == "__main__":
    main()
