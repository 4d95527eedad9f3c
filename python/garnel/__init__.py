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
from ._shape import (
    CacheType,
    Engine,
    LayerCache,
    MissingExtra,
    ModelShape,
    SizingError,
    WeightFormat,
)
from ._sizing import inspect, size

__all__ = [
    "CacheType",
    "Engine",
    "Fleet",
    "JournalError",
    "Kind",
    "LayerCache",
    "MissingExtra",
    "Model",
    "ModelShape",
    "Plan",
    "Rejection",
    "RosterError",
    "Route",
    "RouteKind",
    "SizingError",
    "WeightFormat",
    "__version__",
    "inspect",
    "plan",
    "read_roster",
    "replay",
    "size",
]
