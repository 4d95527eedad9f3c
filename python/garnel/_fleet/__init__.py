"""One card while a host serves it: the typed Fleet, its journal, and replaying a card.

`_fleet` wraps the extension's Fleet, `_journal` writes its lines, and
`_replay` reads them back into a fresh fleet.
"""

from __future__ import annotations

from ._fleet import Clock, Detail, Fleet, Kind, Route, RouteKind, monotonic_ms
from ._journal import JournalTarget
from ._replay import read_journal, replay

__all__ = [
    "Clock",
    "Detail",
    "Fleet",
    "JournalTarget",
    "Kind",
    "Route",
    "RouteKind",
    "monotonic_ms",
    "read_journal",
    "replay",
]
