"""garnel: plans a GPU's roster of models and keeps the books while a host serves them.

The typed face of the `_garnel` extension: roster entries, plans, a fleet
with the host's clock, a journal that replays a card, and sizing a model from
its own files.
"""

from __future__ import annotations

from _garnel import __version__

from ._roster import Model
from ._shape import CacheType, Engine, LayerCache, MissingExtra, ModelShape, WeightFormat
from ._sizing import inspect, size

__all__ = [
    "CacheType",
    "Engine",
    "LayerCache",
    "MissingExtra",
    "Model",
    "ModelShape",
    "WeightFormat",
    "__version__",
    "inspect",
    "size",
]
