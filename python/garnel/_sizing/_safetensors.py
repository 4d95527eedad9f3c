"""safetensors headers, read with the standard library.

A safetensors file is an 8-byte little-endian header length N, N bytes of JSON
naming every tensor's dtype, shape and byte range, then the data. The header
is all that sizing needs: the data is never read.
"""

from __future__ import annotations

import json
import math
import os
import struct
from collections.abc import Mapping
from dataclasses import dataclass
from decimal import Decimal

from .._errors import SizingError
from ._config import read_json
from ._quote import quote

# The reference reader holds every dimension and offset in a 64-bit count.
U64_MAX = 2**64 - 1
# numpy's own limit, and far above any tensor's: a longer shape is a broken or
# hostile header, and its product is not worth working out.
MAX_DIMS = 64

# The reference reader refuses larger headers, and so does this one: a bigger
# length is a broken or hostile file, not a model.
MAX_HEADER_BYTES = 100_000_000

# Bits per element of every dtype the format defines.
DTYPE_BITS: Mapping[str, int] = {
    "BOOL": 8,
    "U8": 8,
    "I8": 8,
    "F8_E5M2": 8,
    "F8_E4M3": 8,
    "F8_E8M0": 8,
    "F8_E4M3FNUZ": 8,
    "F8_E5M2FNUZ": 8,
    "I16": 16,
    "U16": 16,
    "F16": 16,
    "BF16": 16,
    "I32": 32,
    "U32": 32,
    "F32": 32,
    "I64": 64,
    "U64": 64,
    "F64": 64,
    "C64": 64,
    "F4": 4,
    "F6_E2M3": 6,
    "F6_E3M2": 6,
}


@dataclass(frozen=True)
class TensorBytes:
    """What one file's header says: its tensors' bytes in all and per dtype."""

    data_bytes: int
    by_dtype: Mapping[str, int]
    tensor_count: int
    header_bytes: int


def read_header(path: str) -> TensorBytes:
    """Reads and checks the header of the safetensors file at `path`.

    Raises ValueError naming the file and the fault for anything the reference
    reader would refuse.
    """
    try:
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            prefix = file.read(8)
            if len(prefix) < 8:
                raise SizingError(
                    f"{path}: {size} bytes is too short for a safetensors header length"
                )
            (length,) = struct.unpack("<Q", prefix)
            if length > MAX_HEADER_BYTES:
                raise SizingError(
                    f"{path}: header length {length} is above {MAX_HEADER_BYTES} bytes"
                )
            if 8 + length > size:
                raise SizingError(
                    f"{path}: header length {length} runs past the end of the file ({size} bytes)"
                )
            raw = file.read(length)
    except OSError as error:
        raise SizingError(f"{path}: cannot read: {error.strerror or error}") from None
    if len(raw) != length:
        raise SizingError(f"{path}: the file ended inside its {length}-byte header")
    try:
        header = json.loads(raw.decode("utf-8"))
    # Nesting deeper than the parser recurses is a RecursionError, not a ValueError.
    except (ValueError, RecursionError) as error:
        raise SizingError(f"{path}: header is not JSON ({error})") from None
    if not isinstance(header, dict):
        raise SizingError(f"{path}: header is not a JSON object")
    tensors = check_tensors(path, header, size - 8 - length)
    end = tensors.data_bytes
    if 8 + length + end != size:
        raise SizingError(
            f"{path}: tensor data ends at byte {8 + length + end} but the file has {size} bytes"
        )
    return TensorBytes(end, tensors.by_dtype, tensors.tensor_count, length)


def check_tensors(
    source: str, header: Mapping[str, object], data_bytes: int = U64_MAX
) -> TensorBytes:
    """Checks a parsed header's tensors: known dtypes, spans that match their
    shapes, no gap and no overlap from offset 0. Returns their bytes.

    `data_bytes` is what the file holds after its header, which no tensor's
    shape can need more than."""
    spans: list[tuple[int, int, str]] = []
    by_dtype: dict[str, int] = {}
    for name, info in header.items():
        if name == "__metadata__":
            continue
        begin, end, dtype = _tensor_span(source, name, info, data_bytes)
        spans.append((begin, end, name))
        by_dtype[dtype] = by_dtype.get(dtype, 0) + end - begin
    spans.sort()
    reached = 0
    last = ""
    for begin, end, name in spans:
        if begin > reached:
            after = f"after {quote(last)}" if last else "at the start of the data"
            raise SizingError(
                f"{source}: a gap of {begin - reached} bytes {after}, before tensor {quote(name)}"
            )
        if begin < reached:
            raise SizingError(f"{source}: tensor {quote(name)} overlaps tensor {quote(last)}")
        reached = end
        last = name
    return TensorBytes(reached, by_dtype, len(spans), 0)


def _tensor_span(source: str, name: str, info: object, data_bytes: int) -> tuple[int, int, str]:
    if not isinstance(info, dict):
        raise _refused(source, name, "is not a JSON object")
    dtype = info.get("dtype")
    shape = info.get("shape")
    offsets = info.get("data_offsets")
    if not isinstance(dtype, str):
        raise _refused(source, name, "has no dtype")
    bits = DTYPE_BITS.get(dtype)
    if bits is None:
        raise _refused(source, name, f"has unknown dtype {quote(dtype)}")
    if isinstance(shape, list) and len(shape) > MAX_DIMS:
        raise _refused(source, name, f"has {len(shape)} dimensions (at most {MAX_DIMS} are read)")
    if not isinstance(shape, list) or not all(_is_count(d) for d in shape):
        raise _refused(source, name, "has no valid shape")
    if (
        not isinstance(offsets, list)
        or len(offsets) != 2
        or not all(_is_count(o) and o <= U64_MAX for o in offsets)
        or offsets[0] > offsets[1]
    ):
        raise _refused(source, name, "has no valid data_offsets")
    begin, end = offsets
    # At most MAX_DIMS factors, so the product is quick however large they are.
    needed_bits = math.prod(shape) * bits
    if needed_bits % 8 != 0 or end - begin != needed_bits // 8:
        # The figure when it is a count of bytes a file could have; a product
        # of dozens of huge dimensions would be hundreds of digits.
        needs = (
            f"{Decimal(needed_bits) / 8:f}"
            if needed_bits // 8 <= U64_MAX
            else f"more than the file's {data_bytes:,} bytes of data"
        )
        raise _refused(
            source, name, f"spans {end - begin} bytes but {dtype} {quote(shape)} needs {needs}"
        )
    # A product of 0 hides any other dimension, which the reference reader
    # still holds to 64 bits.
    if needed_bits == 0 and any(d > U64_MAX for d in shape):
        raise _refused(source, name, "has a dimension past 2**64 - 1")
    return begin, end, dtype


def _refused(source: str, name: str, fault: str) -> SizingError:
    # The name is quoted only when refused: a header names thousands of tensors.
    return SizingError(f"{source}: tensor {quote(name)} {fault}")


def _is_count(value: object) -> bool:
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


@dataclass(frozen=True)
class ShardIndex:
    """A sharded checkpoint's index: its shard files in order and the total it claims."""

    shards: tuple[str, ...]
    total_size: int | None


def read_index(path: str) -> ShardIndex:
    """Reads `model.safetensors.index.json`: the shard file names it maps
    tensors to, in order, and its `metadata.total_size` when given."""
    index = read_json(path)
    weight_map = index.get("weight_map") if isinstance(index, dict) else None
    if (
        not isinstance(weight_map, dict)
        or not weight_map
        or not all(isinstance(v, str) for v in weight_map.values())
    ):
        raise SizingError(f"{path}: no weight_map of tensor names to shard files")
    shards = set()
    for shard in weight_map.values():
        # Shards sit in the index's folder: a name that leaves it would size
        # another model's file, and two spellings of one file would count it twice.
        name = os.path.normpath(shard)
        if os.path.isabs(name) or name.split(os.sep)[0] == os.pardir:
            raise SizingError(f"{path}: shard {quote(shard)} is outside the model's folder")
        shards.add(name)
    metadata = index.get("metadata") if isinstance(index, dict) else None
    total = metadata.get("total_size") if isinstance(metadata, dict) else None
    if isinstance(total, float) and total.is_integer():
        total = int(total)
    return ShardIndex(tuple(sorted(shards)), total if _is_count(total) else None)
