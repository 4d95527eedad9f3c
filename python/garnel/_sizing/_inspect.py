"""Sizing a model from its own files: exact weight bytes from the tensor
headers, and the cache's shape from config.json or the GGUF metadata.

Only headers and metadata are read, never tensor data, so a model of any size
is sized in milliseconds.
"""

from __future__ import annotations

import os
import re
import warnings
from collections.abc import Mapping
from dataclasses import replace
from pathlib import Path

from .._errors import MissingExtra, SizingError
from .._model import U64_MAX, Model
from . import _gguf, _hub
from ._config import cache_from_config, load_config
from ._explain import explain_cache
from ._quote import figure, quote
from ._safetensors import read_header, read_index
from ._shape import (
    WEIGHT_DTYPES,
    CacheType,
    Engine,
    ModelShape,
    WeightFormat,
    parse_cache_type,
    parse_engine,
)

INDEX_NAME = "model.safetensors.index.json"
SINGLE_NAME = "model.safetensors"
SHARD_NAME = re.compile(r"-\d{5}-of-\d{5}\.safetensors$")


def inspect(path: str | os.PathLike[str], *, remote: bool = False) -> ModelShape:
    """Reads the shape of the model at `path`: its weights' exact bytes and
    its cache's shape.

    `path` is a Hugging Face model folder, one `.safetensors` file (its
    config.json beside it), a `.gguf` file (split files found from any one),
    or a repo id `org/name` in the local Hugging Face cache; with
    `remote=True`, a repo id is read from the Hub: its safetensors headers and
    config.json, never its weights.

    Raises SizingError (a ValueError) naming the file and the fault for a path
    that holds no model or a file that is not what its name says, and
    MissingExtra (an ImportError) when a GGUF file or the Hub needs a package
    that is not installed. A cache that cannot be
    sized (config.json or one of its keys missing) is no error here: the
    weights are still sized, and `cache_problem` says what is missing.
    """
    text = os.fspath(path)
    if remote:
        if not _hub.looks_like_repo_id(text):
            raise SizingError(f"{text}: a model on the Hub is named by a repo id such as org/name")
        shape = _remote_shape(text)
    elif os.path.isdir(text):
        shape = _folder_shape(text)
    elif os.path.isfile(text):
        shape = _file_shape(text)
    elif _hub.looks_like_repo_id(text) and not os.path.exists(text):
        try:
            folder = _hub.cached_folder(text)
        except MissingExtra as error:
            # Most likely a mistyped path: say that first.
            raise SizingError(f"{text}: no such file or folder; as a repo id, {error}") from None
        shape = _folder_shape(folder, source=text)
    elif os.path.exists(text):
        raise SizingError(f"{text}: not a file or folder (a pipe or a device?)")
    else:
        raise SizingError(f"{text}: no such file or folder")
    for warning in shape.warnings:
        warnings.warn(warning, stacklevel=2)
    return shape


def size(
    path: str | os.PathLike[str],
    *,
    context: int | None = None,
    sequences: int = 1,
    cache_type: CacheType | str | None = None,
    engine: Engine | str | None = None,
    name: str | None = None,
    remote: bool = False,
    chunked_cap: bool = True,
) -> Model:
    """The roster entry of the model at `path`: its weights' bytes and the
    cache `engine` allocates for `sequences` sequences of `context` tokens,
    each sequence's recurrent state included.

    `context` defaults to the model's own longest context (0 sizes the weights
    alone), `name` to the folder or file name; the cache type defaults to the
    model's dtype (f16 for GGUF), the engine to llama.cpp for GGUF and vLLM
    for safetensors. `chunked_cap=False` counts chunked attention layers
    whole under vLLM, as with VLLM_ALLOW_CHUNKED_LOCAL_ATTN_WITH_HYBRID_KV_CACHE=0.
    See `inspect` for the paths taken.
    """
    shape = inspect(path, remote=remote)
    return size_shape(shape, context, sequences, cache_type, engine, name, chunked_cap=chunked_cap)


def size_shape(
    shape: ModelShape,
    context: int | None = None,
    sequences: int = 1,
    cache_type: CacheType | str | None = None,
    engine: Engine | str | None = None,
    name: str | None = None,
    *,
    chunked_cap: bool = True,
) -> Model:
    """`size` for a shape already read."""
    if cache_type is not None:
        parse_cache_type(cache_type)
    if engine is not None:
        parse_engine(engine)
    if context is None:
        if shape.cache_problem is not None:
            raise SizingError(_weights_only_hint(shape))
        if shape.context_length is None:
            why = shape.context_problem or f"{shape.source}: the model names no longest context"
            raise SizingError(f"{why}; give one")
        context = shape.context_length
    if context != 0 and shape.cache_problem is not None:
        raise SizingError(_weights_only_hint(shape))
    kv = shape.kv_bytes(context, sequences, cache_type, engine, chunked_cap=chunked_cap)
    if kv > U64_MAX:  # Model would refuse it without saying whose it is
        raise SizingError(
            f"{shape.source}: {figure(kv, grouped=True)} bytes of cache, more than 2**64 - 1"
        )
    return Model(name if name is not None else default_name(shape.source), shape.weights_bytes, kv)


def _weights_only_hint(shape: ModelShape) -> str:
    return (
        f"{shape.cache_problem} (the weights are {shape.weights_bytes:,} bytes;"
        " a context of 0 sizes them alone)"
    )


def default_name(source: str) -> str:
    """The folder or file name a model is known by when no name is given."""
    # abspath, so that "." and ".." are named by the folder they stand for.
    base = os.path.basename(os.path.abspath(source))
    # A file name in no UTF-8 (its bytes kept as surrogates) would make a
    # roster no JSON reader takes: the odd bytes become U+FFFD.
    base = os.fsencode(base).decode("utf-8", "replace")
    for suffix in (".safetensors", ".gguf"):
        base = base.removesuffix(suffix)
    return re.sub(r"-\d{5}-of-\d{5}$", "", base) or source


def explain(
    shape: ModelShape,
    model: Model,
    context: int | None = None,
    sequences: int = 1,
    cache_type: CacheType | str | None = None,
    engine: Engine | str | None = None,
    *,
    chunked_cap: bool = True,
) -> str:
    """How each figure of `model` was reached from `shape`, for people."""
    files = len(shape.files)
    lines = [
        f"{model.name}: {shape.source} ({shape.format.value}, "
        f"{files} file{'s' if files != 1 else ''}, {shape.tensor_count} tensors"
        + (f", {shape.architecture}" if shape.architecture else "")
        + ")"
    ]
    for file, nbytes in shape.files:
        lines.append(f"  {os.path.basename(file)}: {nbytes:,} bytes")
    by_dtype = " + ".join(f"{dtype} {nbytes:,}" for dtype, nbytes in shape.weights_by_dtype)
    lines.append(f"weights: {shape.weights_bytes:,} bytes = {by_dtype or '0'}")
    if context is None:
        context = shape.context_length or 0
    lines.extend(explain_cache(shape, context, sequences, cache_type, engine, chunked_cap))
    lines.append(f"total: {model.needed_bytes:,} bytes ({model.needed_bytes / 2**30:.2f} GiB)")
    return "\n".join(lines)


def model_from_entry_path(entry: Mapping[str, object], base: Path) -> Model:
    """A roster entry that gives a model's `"path"` instead of its bytes, sized.

    `path` is relative to `base` (the roster file's folder) or a repo id;
    `"context"`, `"sequences"`, `"cacheType"` and `"engine"` are passed to
    `size`, and `"model"` (or `"name"`) names it. Byte counts the entry gives
    (`weightsBytes`/`weights_bytes`, `kvBytes`/`kv_bytes`) win over the sized
    ones. Raises ValueError saying what is wrong.
    """
    path = entry.get("path")
    if not isinstance(path, str) or not path:
        raise SizingError("'path' must be a non-empty string")
    target = base / path
    where = str(target) if target.exists() or not _hub.looks_like_repo_id(path) else path
    name = _entry_str(entry, "model", "name")
    weights = _entry_int(entry, "weightsBytes", "weights_bytes")
    kv = _entry_int(entry, "kvBytes", "kv_bytes")
    if weights is not None and kv is not None:
        return Model(name if name is not None else default_name(where), weights, kv)
    sequences = _entry_int(entry, "sequences")
    sized = size(
        where,
        # Given cache bytes need no cache shape: the weights alone are sized.
        context=0 if kv is not None else _entry_int(entry, "context"),
        sequences=1 if sequences is None else sequences,
        cache_type=_entry_str(entry, "cacheType", "cache_type"),
        engine=_entry_str(entry, "engine"),
        name=name if name is not None else default_name(where),
    )
    return Model(
        sized.name,
        sized.weights_bytes if weights is None else weights,
        sized.kv_bytes if kv is None else kv,
    )


def _entry_int(entry: Mapping[str, object], *keys: str) -> int | None:
    for key in keys:
        value = entry.get(key)
        if value is None:
            continue
        if isinstance(value, bool) or not isinstance(value, int) or value < 0:
            raise SizingError(f"{key!r} must be a whole number, not {quote(value)}")
        return value
    return None


def _entry_str(entry: Mapping[str, object], *keys: str) -> str | None:
    for key in keys:
        value = entry.get(key)
        if value is None:
            continue
        if not isinstance(value, str):
            raise SizingError(f"{key!r} must be a string, not {quote(value)}")
        return value
    return None


def _folder_shape(folder: str, source: str | None = None) -> ModelShape:
    index = os.path.join(folder, INDEX_NAME)
    single = os.path.join(folder, SINGLE_NAME)
    if os.path.isfile(index):
        return _safetensors_shape(_index_files(index), folder, source, index)
    if os.path.isfile(single):
        return _safetensors_shape([single], folder, source)
    try:
        entries = os.listdir(folder)
    except OSError as error:
        raise SizingError(f"{folder}: cannot read: {error.strerror or error}") from None
    # Regular files only: opening a named pipe would wait for a writer forever.
    names = sorted(n for n in entries if os.path.isfile(os.path.join(folder, n)))
    tensors = [os.path.join(folder, n) for n in names if n.endswith(".safetensors")]
    if tensors:
        return _safetensors_shape(tensors, folder, source)
    ggufs = sorted(
        {_gguf.split_files(os.path.join(folder, n))[0] for n in names if n.endswith(".gguf")}
    )
    if len(ggufs) == 1:
        return _gguf_shape(ggufs[0], source or folder)
    if ggufs:
        listed = ", ".join(os.path.basename(g) for g in ggufs)
        raise SizingError(f"{folder}: holds several GGUF models ({listed}); name one")
    raise SizingError(
        f"{folder}: no model files (model.safetensors, {INDEX_NAME} and its shards, or .gguf)"
    )


def _file_shape(path: str) -> ModelShape:
    name = os.path.basename(path)
    folder = os.path.dirname(path) or "."
    if name.endswith(".gguf"):
        return _gguf_shape(path, path)
    if name.endswith(".safetensors"):
        # One shard of an indexed checkpoint stands for the whole model, as
        # a split GGUF file does; the file alone would be a fraction of it.
        index = os.path.join(folder, INDEX_NAME)
        if SHARD_NAME.search(name) and os.path.isfile(index):
            shards = _index_files(index)
            if os.path.realpath(path) in {os.path.realpath(shard) for shard in shards}:
                return _safetensors_shape(shards, folder, path, index)
        return _safetensors_shape([path], folder, path)
    if name == INDEX_NAME:
        return _safetensors_shape(_index_files(path), folder, path, path)
    if name == "config.json":
        return _folder_shape(folder)
    raise SizingError(f"{path}: not a model file (.safetensors, .gguf, or a model folder)")


def _index_files(index_path: str) -> list[str]:
    index = read_index(index_path)
    folder = os.path.dirname(index_path)
    files = []
    for shard in index.shards:
        file = os.path.join(folder, shard)
        if not os.path.isfile(file):
            raise SizingError(f"{index_path}: names shard {quote(shard)}, which is missing")
        files.append(file)
    return files


def _safetensors_shape(
    files: list[str], folder: str, source: str | None, index_path: str | None = None
) -> ModelShape:
    by_dtype: dict[str, int] = {}
    per_file = []
    count = 0
    for file in files:
        header = read_header(file)
        per_file.append((file, header.data_bytes))
        count += header.tensor_count
        for dtype, nbytes in header.by_dtype.items():
            by_dtype[dtype] = by_dtype.get(dtype, 0) + nbytes
    problems: list[str] = []
    if index_path is not None:
        claimed = read_index(index_path).total_size
        total = sum(b for _, b in per_file)
        if claimed is not None and claimed != total:
            problems.append(
                f"{index_path}: total_size {figure(claimed, grouped=True)} disagrees with "
                f"the shard headers' {total:,} bytes (the headers are used)"
            )
    config = os.path.join(folder, "config.json")
    return _with_config(source or folder, tuple(per_file), by_dtype, count, config, None, problems)


def _with_config(
    source: str,
    files: tuple[tuple[str, int], ...],
    by_dtype: Mapping[str, int],
    count: int,
    config_path: str | None,
    config_problem: str | None,
    warnings_: list[str],
) -> ModelShape:
    ordered = tuple(sorted(by_dtype.items(), key=lambda item: -item[1]))
    weights_dtype = next((WEIGHT_DTYPES[d] for d, _ in ordered if d in WEIGHT_DTYPES), None)
    shape = ModelShape(
        source=source,
        format=WeightFormat.SAFETENSORS,
        files=files,
        weights_bytes=sum(b for _, b in files),
        weights_by_dtype=ordered,
        tensor_count=count,
        warnings=tuple(warnings_),
    )
    if config_path is None or not os.path.isfile(config_path):
        where = os.path.dirname(config_path) if config_path else source
        problem = config_problem or f"{where}: cannot size the cache: no config.json"
        return replace(shape, cache_problem=problem)
    try:
        cache = cache_from_config(load_config(config_path), config_path, weights_dtype)
    except ValueError as error:
        return replace(shape, cache_problem=str(error))
    return replace(
        shape,
        architecture=cache.architecture,
        layers=cache.layers,
        latent=cache.latent,
        context_length=cache.context_length,
        context_problem=cache.context_problem,
        dtype=cache.dtype,
        state_dtype=cache.state_dtype,
    )


def _gguf_shape(path: str, source: str) -> ModelShape:
    weights = _gguf.read_weights(path)
    shape = ModelShape(
        source=source,
        format=WeightFormat.GGUF,
        files=weights.files,
        weights_bytes=weights.weights_bytes,
        weights_by_dtype=tuple(weights.by_type.items()),
        tensor_count=weights.tensor_count,
        dtype=CacheType.F16,  # llama.cpp's default cache type
    )
    try:
        cache = _gguf.cache_from_metadata(weights.metadata, path)
    except ValueError as error:
        return replace(shape, cache_problem=str(error))
    return replace(
        shape,
        architecture=cache.architecture,
        layers=cache.layers,
        latent=cache.latent,
        context_length=cache.context_length,
    )


def _remote_shape(repo_id: str) -> ModelShape:
    remote = _hub.remote_weights(repo_id)
    problems = []
    total = sum(b for _, b in remote.files)
    if remote.total_size is not None and remote.total_size != total:
        problems.append(
            f"{repo_id}: total_size {figure(remote.total_size, grouped=True)} disagrees with "
            f"the shard headers' {total:,} bytes (the headers are used)"
        )
    return _with_config(
        repo_id,
        remote.files,
        remote.by_dtype,
        remote.tensor_count,
        remote.config_path,
        remote.config_problem,
        problems,
    )
