"""garnel: plans a GPU's roster of models and keeps the books while a host serves them.

The typed face of the `_garnel` extension: roster entries, plans, a fleet
with the host's clock, a journal that replays a card, and sizing a model from
its own files.
"""

from __future__ import annotations

from _garnel import __version__

from ._errors import JournalError, RosterError
from ._fleet import Fleet, Kind, Route, RouteKind
from ._journal import replay
from ._plan import Plan, Rejection, plan
from ._roster import Model, read_roster

__all__ = [
    "Fleet",
    "JournalError",
    "Kind",
    "Model",
    "Plan",
    "Rejection",
    "RosterError",
    "Route",
    "RouteKind",
    "__version__",
    "plan",
    "read_roster",
    "replay",
]
