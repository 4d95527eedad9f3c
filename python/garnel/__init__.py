"""garnel: plans a GPU's roster of models and keeps the books while a host serves them.

The typed face of the `_garnel` extension: roster entries, plans, a fleet
with the host's clock, a journal that replays a card, and sizing a model from
its own files. Every public name is here; the rest is private, by concern,
each layer importing only those below it (checked by `lint-imports`):

    __main__    python -m garnel
    _cli        the command line, a module a command      imported by nothing
    _serve      the host behind `garnel serve`            the public API only
    _fleet      Fleet, its journal, replay
    _roster     roster files and entries, plan(), place()
    _sizing     a model's files: safetensors, GGUF, config.json, the Hub
    _nvml       the machine's cards, as NVML tells them       beside _sizing
    _model  _errors                                        the records and errors all share
"""

from __future__ import annotations

from _garnel import __version__

from ._errors import (
    JournalError,
    MissingExtra,
    NvmlError,
    PanicException,
    RosterError,
    SizingError,
)
from ._fleet import Fleet, Kind, Route, RouteKind, replay
from ._model import Model, parse_size
from ._nvml import NvmlCard, nvml_cards
from ._roster import Placement, Plan, Rejection, place, plan, read_roster
from ._sizing import (
    CacheType,
    Engine,
    KindCache,
    LayerCache,
    LayerKind,
    ModelShape,
    WeightFormat,
    inspect,
    size,
)

__all__ = [
    "CacheType",
    "Engine",
    "Fleet",
    "JournalError",
    "Kind",
    "KindCache",
    "LayerCache",
    "LayerKind",
    "MissingExtra",
    "Model",
    "ModelShape",
    "NvmlCard",
    "NvmlError",
    "PanicException",
    "Placement",
    "Plan",
    "Rejection",
    "RosterError",
    "Route",
    "RouteKind",
    "SizingError",
    "WeightFormat",
    "__version__",
    "inspect",
    "nvml_cards",
    "parse_size",
    "place",
    "plan",
    "read_roster",
    "replay",
    "size",
]
