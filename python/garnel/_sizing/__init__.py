"""Sizing a model from its own files: the weights' exact bytes and the cache an engine allocates.

`_safetensors`, `_gguf_header` and `_gguf` read the weight files' headers,
`_config` a Hugging Face config.json, `_hybrid` which layers are recurrent or
chunked, `_hub` the Hub and its cache; `_shape` holds what they read and the
engines' rules for the cache, `_explain` its arithmetic for people; `_inspect`
finds a model's files from a path and puts it together. Nothing here knows a fleet.
"""

from __future__ import annotations

from ._inspect import explain, inspect, model_from_entry_path, size, size_shape
from ._shape import CacheType, Engine, KindCache, LayerCache, LayerKind, ModelShape, WeightFormat

__all__ = [
    "CacheType",
    "Engine",
    "KindCache",
    "LayerCache",
    "LayerKind",
    "ModelShape",
    "WeightFormat",
    "explain",
    "inspect",
    "model_from_entry_path",
    "size",
    "size_shape",
]
