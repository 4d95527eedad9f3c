"""A card's day from its journal: each model's state and bytes as they changed, for a picture.

The journal is read as replay reads it (`_replay.read_lines`, one pass, a
line at a time) and one life's changes drive a fresh fleet; after each
change the fleet is asked where the model stands. What is kept is only what
changed (a model's state, the bytes it holds) and the exits and failed
loads, so a day of steady probes costs no memory.
"""

from __future__ import annotations

import json
import os
from collections.abc import Iterable
from dataclasses import dataclass, field

import _garnel

from .._errors import JournalError
from ._fleet import Fleet, RouteKind
from ._replay import _REFUSED, QUERIES, Line, _source_name, apply, no_such_life, read_lines

# A model's state, by its route; an unknown route is told apart by the report's words.
_STATE_OF_ROUTE = {
    RouteKind.READY: "resident",
    RouteKind.WARMING: "loading",
    RouteKind.LOST: "lost",
    RouteKind.FAILED: "failed",
    RouteKind.NOT_ADMITTED: "not_admitted",
}
# The observation kinds marked on a day, under each name the extension takes for them.
MARKED = {
    "process_exited": "process_exited",
    "processExited": "process_exited",
    "load_failed": "load_failed",
    "loadFailed": "load_failed",
}


@dataclass(frozen=True)
class Change:
    """A model's state or bytes after one line: `state` is one of idle, loading,
    resident, lost, failed, stopped and not_admitted; `event` is "process_exited" or
    "load_failed" for the lines a day marks, else empty."""

    now: int
    model: str
    state: str
    held_bytes: int
    event: str


@dataclass
class Day:
    """One life of a card: its models in roster order, the usable bytes, its first and
    last times, each model's state at the start and every change after."""

    source: str
    life: int
    names: list[str]
    usable_bytes: int
    start: int
    end: int
    initial: dict[str, str]
    changes: list[Change] = field(default_factory=list)


class _Reader:
    def __init__(self, source: str, life: int, construction: Line) -> None:
        record = construction.record
        self.source = source
        # A construction line may leave out its time: the day then starts at the next line.
        self.started = "now" in record
        self.now: int = record.get("now", 0)
        try:
            self.fleet = Fleet(
                record["total_bytes"],
                record["reserve_pct"],
                record["declared_json"],
                clock=lambda: self.now,
            )
            usable = _garnel.plan(
                record["total_bytes"], record["reserve_pct"], record["declared_json"]
            )
        except _REFUSED as error:
            raise self.refused(construction, error) from None
        names = list(dict.fromkeys(name for name, _ in self.fleet.statuses()))
        self.day = Day(
            source,
            life,
            names,
            json.loads(usable)["usable_bytes"],
            self.now,
            self.now,
            {name: self.state(name) for name in names},
        )
        self.states = dict(self.day.initial)
        self.held = dict.fromkeys(names, 0)
        self.committed = 0

    def refused(self, line: Line, error: Exception) -> JournalError:
        return JournalError(f"{self.source}:{line.number}: the fleet refused this line: {error}")

    def state(self, model: str) -> str:
        kind = self.fleet.route(model).kind
        state = _STATE_OF_ROUTE.get(kind)
        if state is not None:
            return state
        words = dict(self.fleet.statuses())[model]
        if words.startswith("stopped"):
            return "stopped"
        # A resident model whose endpoint was never set routes as unknown too.
        return "resident" if words.startswith("resident") else "idle"

    def take(self, line: Line) -> None:
        record = line.record
        self.now = self.day.end = record["now"]
        if not self.started:
            self.started, self.day.start = True, self.now
        try:
            apply(self.fleet.raw, record)
        except _REFUSED as error:
            raise self.refused(line, error) from None
        model = record["model"]
        if record["op"] != "observe" or model not in self.held:
            return
        # Only this model changed: the committed bytes moved by what it holds.
        committed = self.fleet.committed_bytes()
        held = self.held[model] + committed - self.committed
        self.committed = committed
        state = self.state(model)
        event = MARKED.get(record["kind"], "")
        if event or state != self.states[model] or held != self.held[model]:
            self.day.changes.append(Change(self.now, model, state, held, event))
            self.states[model], self.held[model] = state, held


def read_day(journal: str | os.PathLike[str] | Iterable[str], *, life: int | None = None) -> Day:
    """One life of a journal (from 0; the last when None) as a day of changes."""
    source = _source_name(journal)
    count = 0
    chosen: _Reader | None = None
    current: _Reader | None = None
    for line in read_lines(journal):
        op = line.record["op"]
        if op == "fleet":
            current = None
            if life is None or count == life:
                chosen = current = _Reader(source, count, line)
            count += 1
        elif current is not None and op not in QUERIES:
            current.take(line)
    if chosen is None:
        raise no_such_life(source, count, life)
    return chosen.day
