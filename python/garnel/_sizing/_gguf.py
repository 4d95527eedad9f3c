"""GGUF files, sized with the `gguf` package's ggml types (the extra `garnel[gguf]`).

The weights are every tensor's bytes by gguf's own table, as its reader counts
them; the cache's shape comes from the metadata as llama.cpp reads it.
"""

from __future__ import annotations

import os
import re
from collections.abc import Mapping, Sequence
from dataclasses import dataclass
from typing import Any

from .._errors import MissingExtra, SizingError
from ._gguf_header import read_header
from ._hybrid import check_gguf_architecture, gguf_layers
from ._shape import MAX_LAYERS, LayerCache, layers_with_windows

SPLIT_NAME = re.compile(r"^(?P<stem>.*)-(?P<number>\d{5})-of-(?P<count>\d{5})\.gguf$")
# Sliding layers by architecture when the file names no pattern, as llama.cpp
# applies them: in each period of P layers the last attends to everything.
SLIDING_PERIODS = {"gemma2": 2, "gemma3": 6, "cohere2": 4, "gpt-oss": 2, "llama4": 4}
# llama.cpp's own windows where a file gives none: Gemma 2's default, and
# Llama 4's attention chunks, which its cache keeps as it keeps a window.
DEFAULT_WINDOWS = {"gemma2": 4096, "llama4": 8192}


@dataclass(frozen=True)
class GgufWeights:
    """The tensors' bytes of a GGUF model (all its split files) and the first file's metadata."""

    files: tuple[tuple[str, int], ...]
    weights_bytes: int
    by_type: Mapping[str, int]
    tensor_count: int
    metadata: Mapping[str, Any]


@dataclass(frozen=True)
class GgufCache:
    architecture: str | None
    layers: tuple[LayerCache, ...]
    latent: bool
    context_length: int | None


def split_files(path: str) -> tuple[str, ...]:
    """Every file of a split model, from any one of them; the file alone otherwise."""
    folder, name = os.path.split(path)
    match = SPLIT_NAME.match(name)
    count = int(match["count"]) if match else 0
    # "part 0", "part 4 of 3" or "of 0" number no split model: the file alone.
    if match is None or not 1 <= int(match["number"]) <= count:
        return (path,)
    files = tuple(
        os.path.join(folder, f"{match['stem']}-{number:05d}-of-{count:05d}.gguf")
        for number in range(1, count + 1)
    )
    for file in files:
        if not os.path.isfile(file):
            raise SizingError(f"{path}: split file {os.path.basename(file)} is missing")
    return files


def read_weights(path: str) -> GgufWeights:
    """Reads the headers of the GGUF model at `path` (every split file) and sums its tensors."""
    types, sizes = _ggml_types()
    files = split_files(path)
    count = 0
    by_file: list[tuple[str, int]] = []
    by_type: dict[str, int] = {}
    metadata: Mapping[str, Any] = {}
    for number, file in enumerate(files):
        header = read_header(file)
        in_file = 0
        for tensor in header.tensors:
            try:
                ggml_type = types(tensor.type_id)
                block, block_bytes = sizes[ggml_type]
            except (ValueError, KeyError):
                raise SizingError(
                    f"{file}: tensor {tensor.name!r} has unknown ggml type {tensor.type_id}"
                ) from None
            # ggml cuts each row into whole blocks and refuses a file whose rows
            # do not divide; counting part of a block would be a size no engine loads.
            if tensor.row % block:
                raise SizingError(
                    f"{file}: tensor {tensor.name!r} has rows of {tensor.row} elements, "
                    f"not whole {ggml_type.name} blocks of {block}"
                )
            nbytes = tensor.elements // block * block_bytes
            if header.data_start + tensor.offset + nbytes > header.file_size:
                raise SizingError(f"{file}: tensor {tensor.name!r} runs past the end of the file")
            in_file += nbytes
            count += 1
            by_type[ggml_type.name] = by_type.get(ggml_type.name, 0) + nbytes
        by_file.append((file, in_file))
        if number == 0:
            metadata = header.metadata
            declared = metadata.get("split.count")
            if len(files) > 1 and declared is not None and declared != len(files):
                raise SizingError(f"{file}: says split.count {declared}, its name {len(files)}")
    ordered = dict(sorted(by_type.items(), key=lambda item: -item[1]))
    return GgufWeights(tuple(by_file), sum(b for _, b in by_file), ordered, count, metadata)


def _ggml_types() -> tuple[Any, Mapping[Any, tuple[int, int]]]:
    """gguf's enum of ggml types and its table of (block elements, block bytes)."""
    try:
        from gguf.constants import GGML_QUANT_SIZES, GGMLQuantizationType
    except ImportError:
        raise MissingExtra(
            "reading GGUF files needs the gguf package: pip install 'garnel[gguf]'"
        ) from None
    return GGMLQuantizationType, GGML_QUANT_SIZES


def cache_from_metadata(metadata: Mapping[str, Any], source: str) -> GgufCache:
    """The cache's shape from GGUF metadata, as llama.cpp reads it.

    Raises ValueError naming the first key the size needs and the file lacks.
    """
    arch = metadata.get("general.architecture")
    if not isinstance(arch, str):
        raise SizingError(f"{source}: cannot size the cache: no 'general.architecture'")
    check_gguf_architecture(arch, source)

    def get(key: str) -> Any:
        return metadata.get(f"{arch}.{key}")

    def count(key: str) -> int:
        value = get(key)
        if value is None:
            raise SizingError(f"{source}: cannot size the cache: no '{arch}.{key}'")
        if not _is_count(value):
            raise SizingError(f"{source}: '{arch}.{key}' is not a count: {value!r}")
        return int(value)

    layers = count("block_count")
    if layers > MAX_LAYERS:
        raise SizingError(f"{source}: '{arch}.block_count' is {layers}, not a count of layers")

    def per_layer(key: str, default: Sequence[int] | None) -> list[int]:
        value = get(key)
        if value is None:
            if default is None:
                raise SizingError(f"{source}: cannot size the cache: no '{arch}.{key}'")
            return list(default)
        if isinstance(value, list):
            if len(value) != layers or not all(_is_count(v) for v in value):
                raise SizingError(f"{source}: '{arch}.{key}' is not one count per layer")
            return [int(v) for v in value]
        return [count(key)] * layers

    heads = per_layer("attention.head_count", None)
    # A missing head_count_kv means every head has its own keys and values.
    kv_heads = per_layer("attention.head_count_kv", heads)

    def width(key: str) -> int:
        if get(key) is not None:
            return count(key)
        if heads[0] == 0:
            raise SizingError(f"{source}: cannot size the cache: no '{arch}.{key}'")
        return count("embedding_length") // heads[0]

    key_width, value_width = width("attention.key_length"), width("attention.value_length")
    latent = bool(get("attention.key_length_mla")) and bool(get("attention.value_length_mla"))
    window, sliding = _sliding(get, arch, layers, source)
    swa_key = count("attention.key_length_swa") if get("attention.key_length_swa") else key_width
    swa_value = (
        count("attention.value_length_swa") if get("attention.value_length_swa") else value_width
    )
    keys = [swa_key if sliding[i] else key_width for i in range(layers)]
    # Latent attention keeps the latent as the key and allocates no values.
    values = [0 if latent else (swa_value if sliding[i] else value_width) for i in range(layers)]
    context = get("context_length")
    attention = layers_with_windows(layers, kv_heads, keys, values, window, sliding)
    return GgufCache(
        arch,
        # Recurrent layers, where llama.cpp's hparams mark them.
        gguf_layers(get, count, arch, attention, source),
        latent,
        int(context) if _is_count(context) and context else None,
    )


def _sliding(get: Any, arch: str, layers: int, source: str) -> tuple[int | None, list[bool]]:
    window = get("attention.sliding_window")
    if window is None:
        window = DEFAULT_WINDOWS.get(arch)
    if not _is_count(window) or not window:
        return None, [False] * layers
    pattern = get("attention.sliding_window_pattern")
    if isinstance(pattern, list):
        if len(pattern) != layers:
            raise SizingError(
                f"{source}: '{arch}.attention.sliding_window_pattern' has {len(pattern)} "
                f"of {layers} layers"
            )
        return int(window), [bool(flag) for flag in pattern]
    period = int(pattern) if _is_count(pattern) else SLIDING_PERIODS.get(arch)
    if period is None:
        return None, [False] * layers
    return int(window), [period == 0 or i % period < period - 1 for i in range(layers)]


def _is_count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0
