"""One card while a host serves it: the typed Fleet, its journal, and replaying a card.

`_fleet` wraps the extension's Fleet, `_journal` writes its lines,
`_replay` reads them back into a fresh fleet, and `_day` reads one life as
the changes a picture of the day shows.
"""

from __future__ import annotations

from ._day import Change, Day, read_day
from ._fleet import Clock, Detail, Fleet, Kind, Route, RouteKind, monotonic_ms
from ._journal import JournalTarget
from ._replay import read_journal, replay

__all__ = [
    "Change",
    "Clock",
    "Day",
    "Detail",
    "Fleet",
    "JournalTarget",
    "Kind",
    "Route",
    "RouteKind",
    "monotonic_ms",
    "read_day",
    "read_journal",
    "replay",
]
