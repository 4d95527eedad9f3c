"""A typed host loop: checked by mypy --strict against the shipped stubs."""

from __future__ import annotations

import json

from _garnel import Fleet, plan


def fits(total_bytes: int, roster: str) -> bool:
    result = json.loads(plan(total_bytes, 10, roster))
    return bool(result["fits"])


def load_next(fleet: Fleet, now_ms: int) -> str | None:
    model: str | None = fleet.next_to_load()
    if model is not None:
        fleet.observe(model, "load_started", "{}", now_ms)
    return model


def serve(fleet: Fleet, model: str, now_ms: int) -> str:
    route = json.loads(fleet.route(model, now_ms))
    if route["ready"]:
        return str(route["endpoint"])
    return "elsewhere" if route["try_elsewhere"] else "wait"


def headroom(fleet: Fleet) -> int:
    return fleet.free_bytes() - fleet.committed_bytes()


if __name__ == "__main__":
    card = Fleet(24 * 2**30, 10, '[{"model": "m", "weightsBytes": 1073741824}]')
    print(fits(24 * 2**30, "[]"), load_next(card, 0), serve(card, "m", 1), headroom(card))
    print(card.report(1))
