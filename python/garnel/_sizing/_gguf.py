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
from ._gguf_header import Header, LongArray, read_header
from ._hybrid import check_gguf_architecture, gguf_layers
from ._quote import quote
from ._shape import MAX_LAYERS, LayerCache, layers_with_windows

SPLIT_NAME = re.compile(r"^(?P<stem>.*)-(?P<number>\d{5})-of-(?P<count>\d{5})\.gguf$")
# Sliding layers by architecture when the file names no pattern, as llama.cpp
# applies them: in each period of P layers the last attends to everything.
SLIDING_PERIODS = {"gemma2": 2, "gemma3": 6, "cohere2": 4, "gpt-oss": 2, "llama4": 4}
# llama.cpp's own windows where a file gives none: Gemma 2's default, and
# Llama 4's attention chunks, which its cache keeps as it keeps a window.
DEFAULT_WINDOWS = {"gemma2": 4096, "llama4": 8192}
# The metadata sizing reads (beside general.alignment, which the header walk
# reads itself): the file's own keys, and the architecture's by the part after
# "ARCH.". Every other value is skipped unread.
FILE_KEYS = frozenset({"general.architecture", "split.count"})
ARCH_KEYS = frozenset(
    {
        "block_count",
        "context_length",
        "embedding_length",
        "attention.head_count",
        "attention.head_count_kv",
        "attention.key_length",
        "attention.value_length",
        "attention.key_length_mla",
        "attention.value_length_mla",
        "attention.key_length_swa",
        "attention.value_length_swa",
        "attention.sliding_window",
        "attention.sliding_window_pattern",
        # Hybrid models: where the recurrent layers are, and their state.
        "full_attention_interval",
        "feed_forward_length",
        "nextn_predict_layers",
        "ssm.conv_kernel",
        "ssm.inner_size",
        "ssm.state_size",
        "ssm.group_count",
    }
)


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
        header = read_header(file, _sizing_reads)
        sized = []
        for tensor in header.tensors:
            try:
                ggml_type = types(tensor.type_id)
                block, block_bytes = sizes[ggml_type]
            except (ValueError, KeyError):
                raise SizingError(
                    f"{file}: tensor {quote(tensor.name)} has unknown ggml type {tensor.type_id}"
                ) from None
            # ggml cuts each row into whole blocks and refuses a file whose rows
            # do not divide; counting part of a block would be a size no engine loads.
            if tensor.row % block:
                raise SizingError(
                    f"{file}: tensor {quote(tensor.name)} has rows of {tensor.row} elements, "
                    f"not whole {ggml_type.name} blocks of {block}"
                )
            nbytes = tensor.elements // block * block_bytes
            if header.data_start + tensor.offset + nbytes > header.file_size:
                raise SizingError(
                    f"{file}: tensor {quote(tensor.name)} runs past the end of the file"
                )
            sized.append(nbytes)
            count += 1
            by_type[ggml_type.name] = by_type.get(ggml_type.name, 0) + nbytes
        _check_layout(file, header, sized)
        by_file.append((file, sum(sized)))
        if number == 0:
            metadata = header.metadata
            declared = metadata.get("split.count")
            if len(files) > 1 and declared is not None and declared != len(files):
                raise SizingError(
                    f"{file}: says split.count {quote(declared)}, its name {len(files)}"
                )
    ordered = dict(sorted(by_type.items(), key=lambda item: -item[1]))
    return GgufWeights(tuple(by_file), sum(b for _, b in by_file), ordered, count, metadata)


def _sizing_reads(key: str) -> bool:
    return key in FILE_KEYS or key.partition(".")[2] in ARCH_KEYS


def _check_layout(file: str, header: Header, nbytes: Sequence[int]) -> None:
    """Refuses tensor data that overlaps, leaves gaps, is not aligned, or
    leaves bytes at the end that no tensor describes.

    llama.cpp's reader (ggml/src/gguf.cpp, gguf_init_from_reader) demands that
    each tensor, in the table's order, start where the one before it ends,
    padded to general.alignment, the first at 0; padding after the last is
    normal. gguf-py's GGUFReader (_build_tensors) checks none of this, and
    would size what llama.cpp refuses to load.
    """
    alignment = header.alignment
    # Sorted by offset, the table's order breaking ties (tensors of 0 bytes).
    spans = sorted(
        (tensor.offset, index, tensor.offset + size)
        for index, (tensor, size) in enumerate(zip(header.tensors, nbytes))
    )
    reached = 0
    last = -1
    for begin, index, end in spans:
        if begin != -(-reached // alignment) * alignment or index < last:
            names = [tensor.name for tensor in header.tensors]
            raise _misplaced(file, names, alignment, reached, last, begin, index)
        reached, last = end, index
    padded_end = header.data_start + -(-reached // alignment) * alignment
    if header.file_size > padded_end:
        raise SizingError(
            f"{file}: {header.file_size - padded_end:,} bytes after the "
            f"{'last tensor' if spans else 'header'} that no tensor describes"
        )


def _misplaced(
    file: str, names: Sequence[str], alignment: int, reached: int, last: int, begin: int, index: int
) -> SizingError:
    """Why the tensor `index` cannot begin at `begin` when the data before it
    ends at `reached`, the last of it from tensor `last` (-1: none)."""
    name = quote(names[index])
    before = quote(names[last]) if last >= 0 else ""
    padded = -(-reached // alignment) * alignment
    if begin < reached:
        return SizingError(f"{file}: tensor {name} overlaps tensor {before}")
    if begin % alignment:
        return SizingError(
            f"{file}: tensor {name} at data offset {begin} is not aligned to {alignment} bytes"
        )
    if begin > padded:
        after = f"after {before}" if before else "at the start of the data"
        return SizingError(f"{file}: a gap of {begin - padded} bytes {after}, before tensor {name}")
    return SizingError(
        f"{file}: tensor {before} is stored before tensor {name}, which the table lists first"
    )


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
        assert key in ARCH_KEYS  # the header walk keeps no other
        return metadata.get(f"{arch}.{key}")

    def named(key: str) -> str:
        return quote(f"{arch}.{key}")

    def count(key: str) -> int:
        value = get(key)
        if value is None:
            raise SizingError(f"{source}: cannot size the cache: no {named(key)}")
        if not _is_count(value):
            raise SizingError(f"{source}: {named(key)} is not a count: {quote(value)}")
        return int(value)

    layers = count("block_count")
    if layers > MAX_LAYERS:
        raise SizingError(f"{source}: {named('block_count')} is {layers}, not a count of layers")
    if layers == 0:
        raise SizingError(f"{source}: cannot size the cache: {named('block_count')} is 0")

    def per_layer(key: str, default: Sequence[int] | None) -> list[int]:
        value = get(key)
        if value is None:
            if default is None:
                raise SizingError(f"{source}: cannot size the cache: no {named(key)}")
            return list(default)
        if isinstance(value, list):
            if len(value) != layers or not all(_is_count(v) for v in value):
                raise SizingError(f"{source}: {named(key)} is not one count per layer")
            return [int(v) for v in value]
        return [count(key)] * layers

    heads = per_layer("attention.head_count", None)
    # A missing head_count_kv means every head has its own keys and values.
    kv_heads = per_layer("attention.head_count_kv", heads)

    def width(key: str) -> int:
        if get(key) is not None:
            return count(key)
        if heads[0] == 0:
            raise SizingError(f"{source}: cannot size the cache: no {named(key)}")
        embedding = count("embedding_length")
        if embedding < heads[0]:
            raise SizingError(
                f"{source}: cannot size the cache: {named('embedding_length')} {embedding} "
                f"over {heads[0]} heads is a width of 0"
            )
        return embedding // heads[0]

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
    if isinstance(pattern, (list, LongArray)):
        given = pattern.count if isinstance(pattern, LongArray) else len(pattern)
        if given != layers or not isinstance(pattern, list):
            raise SizingError(
                f"{source}: {quote(f'{arch}.attention.sliding_window_pattern')} has {given} "
                f"of {layers} layers"
            )
        return int(window), [bool(flag) for flag in pattern]
    period = int(pattern) if _is_count(pattern) else SLIDING_PERIODS.get(arch)
    if period is None:
        return None, [False] * layers
    return int(window), [period == 0 or i % period < period - 1 for i in range(layers)]


def _is_count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0
