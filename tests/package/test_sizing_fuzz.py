"""Property tests of the header readers: any safetensors header or GGUF file
either sizes, with figures that hold together, or is refused with a short
SizingError naming the file; never another exception.

Runs are repeatable (derandomized) and small; for a long hunt, set
GARNEL_FUZZ_EXAMPLES, e.g. to 20000.
"""

from __future__ import annotations

import math
import os
import re
import struct

import garnel
import pytest
import sizing_files as sf
from gguf.constants import GGML_QUANT_SIZES, GGMLQuantizationType
from hypothesis import HealthCheck, event, given, settings
from hypothesis import strategies as st

EXAMPLES = int(os.environ.get("GARNEL_FUZZ_EXAMPLES", "100"))
FUZZ = settings(
    max_examples=EXAMPLES,
    derandomize=True,
    deadline=None,
    database=None,
    suppress_health_check=[HealthCheck.too_slow, HealthCheck.data_too_large],
)
MESSAGE_LIMIT = 400


@pytest.fixture(scope="module")
def folder(tmp_path_factory):
    return tmp_path_factory.mktemp("fuzz")


def sized_or_refused(path):
    """The shape of the model at `path`, or None when it is refused as it should be."""
    try:
        shape = garnel.inspect(path)
    except garnel.SizingError as error:
        text = str(error)
        assert str(path) in text and len(text) < MESSAGE_LIMIT and "\n" not in text
        # What refused it, for --hypothesis-show-statistics: the fault's first words.
        fault = re.sub(r"'[^']*'|\d+", "_", text.replace(str(path), ""))
        event(" ".join(fault.split()[1:5]))
        return None
    event("sized")
    if shape.cache_problem is None:
        try:
            garnel.size(path, context=shape.context_length or 256)
        except garnel.SizingError as error:  # a cache past 2**64 - 1 bytes
            assert str(path) in str(error) and len(str(error)) < MESSAGE_LIMIT
    return shape


# safetensors: tensors laid out honestly, then nudged; shapes of up to hundreds
# of dimensions, mostly 1 so that some still match their spans.
SAFETENSORS_BITS = {"F16": 16, "BF16": 16, "F32": 32, "U8": 8, "F4": 4, "F6_E2M3": 6, "I64": 64}
DIMENSION = st.one_of(st.just(1), st.integers(0, 8), st.integers(2**32, 2**70), st.just(2**64 - 1))


@st.composite
def long_shapes(draw):
    """Hundreds of dimensions of 1, and perhaps one of any size among them."""
    shape = [1] * draw(st.integers(20, 300))
    if draw(st.booleans()):
        shape[draw(st.integers(0, len(shape) - 1))] = draw(DIMENSION)
    return shape


SHAPES = st.one_of(
    st.lists(st.integers(0, 16), max_size=4),
    st.lists(st.integers(0, 16), max_size=4),
    long_shapes(),
    st.lists(DIMENSION, max_size=8),
)
JSON_JUNK = st.recursive(
    st.none() | st.booleans() | st.integers() | st.floats() | st.text(max_size=8),
    lambda inner: (
        st.lists(inner, max_size=3) | st.dictionaries(st.text(max_size=4), inner, max_size=3)
    ),
    max_leaves=6,
)


@st.composite
def safetensors_headers(draw):
    header: dict[str, object] = {}
    if draw(st.booleans()):
        header["__metadata__"] = {"format": "pt"}
    reached = 0
    for number in range(draw(st.integers(0, 4))):
        name = draw(st.sampled_from([f"t{number}"] * 8 + ["t0", "x" * 200]))
        if draw(st.integers(0, 19)) == 0:
            header[name] = draw(JSON_JUNK)
            continue
        dtype = draw(st.sampled_from([*SAFETENSORS_BITS, "Q7"]))
        shape = draw(SHAPES)
        needed = math.prod(shape) * SAFETENSORS_BITS.get(dtype, 8)
        honest = needed % 8 == 0 and needed // 8 < 2**16
        span = needed // 8 if honest and draw(st.integers(0, 3)) else draw(st.integers(0, 64))
        begin = max(0, reached + draw(st.sampled_from([0] * 12 + [-2, 2, 2**64])))
        header[name] = {"dtype": dtype, "shape": shape, "data_offsets": [begin, begin + span]}
        reached = max(reached, begin + span)
    data_bytes = max(0, reached + draw(st.sampled_from([0] * 6 + [-1, 3])))
    return header, data_bytes


@FUZZ
@given(safetensors_headers())
def test_any_safetensors_header_sizes_or_is_refused(folder, drawn):
    header, data_bytes = drawn
    path = folder / "model.safetensors"
    sf.write_header(path, header, min(data_bytes, 2**20))
    shape = sized_or_refused(path)
    if shape is not None:
        (header_bytes,) = struct.unpack("<Q", path.read_bytes()[:8])
        tensors = [t for name, t in header.items() if name != "__metadata__"]
        spans = [t["data_offsets"][1] - t["data_offsets"][0] for t in tensors]
        assert shape.weights_bytes == sum(spans) == path.stat().st_size - 8 - header_bytes
        assert sum(nbytes for _, nbytes in shape.weights_by_dtype) == shape.weights_bytes


# GGUF: metadata of every value type, nested arrays among them; tensor tables
# laid out as llama.cpp lays them out, then overlapped, gapped, misaligned,
# reordered, cut or padded.
SCALARS = {
    0: st.integers(0, 2**8 - 1),
    1: st.integers(-(2**7), 2**7 - 1),
    2: st.integers(0, 2**16 - 1),
    3: st.integers(-(2**15), 2**15 - 1),
    4: st.integers(0, 2**32 - 1),
    5: st.integers(-(2**31), 2**31 - 1),
    6: st.floats(width=32),
    7: st.booleans(),
    10: st.integers(0, 2**64 - 1),
    11: st.integers(-(2**63), 2**63 - 1),
    12: st.floats(),
}
SMALL_COUNT = st.sampled_from([0, 1, 2, 3, 4, 32, 64])


def gguf_values(depth=2):
    """(value type, value) pairs of every type GGUF defines and some it does
    not, arrays nested up to `depth` deep."""
    leaves = [st.tuples(st.just(t), values) for t, values in SCALARS.items()]
    leaves.append(st.tuples(st.just(sf.GGUF_STRING), st.text(max_size=12)))
    leaves.append(st.tuples(st.integers(13, 2**32 - 1), st.binary(max_size=8)))
    return st.one_of(*leaves, gguf_arrays(depth)) if depth else st.one_of(leaves)


@st.composite
def gguf_arrays(draw, depth):
    kinds = [*SCALARS, sf.GGUF_STRING, 99] + ([sf.GGUF_ARRAY] if depth > 1 else [])
    item_type = draw(st.sampled_from(kinds))
    count = draw(st.integers(0, 4))
    if item_type == sf.GGUF_ARRAY:
        items = [draw(gguf_arrays(depth - 1))[1] for _ in range(count)]
    elif item_type == sf.GGUF_STRING:
        items = draw(st.lists(st.text(max_size=4), min_size=count, max_size=count))
    elif item_type in SCALARS:
        items = draw(st.lists(SCALARS[item_type], min_size=count, max_size=count))
    else:
        items = []  # no type GGUF defines: its elements cannot be written
    return sf.GGUF_ARRAY, (item_type, items)


SIZING_KEYS = [
    "llama.block_count",
    "llama.context_length",
    "llama.embedding_length",
    "llama.attention.head_count",
    "llama.attention.head_count_kv",
    "llama.attention.key_length",
    "llama.attention.sliding_window",
    "llama.attention.sliding_window_pattern",
    "split.count",
]
GGML_TYPES = [0, 1, 8, 12, 14, 30, 99]  # F32, F16, Q8_0, Q4_K, Q6_K, BF16, and no type


@st.composite
def gguf_files(draw):
    keys = []
    if draw(st.integers(0, 3)):
        keys.append(("general.architecture", sf.GGUF_STRING, "llama"))
        for key in ("block_count", "attention.head_count", "embedding_length"):
            if draw(st.integers(0, 5)):
                keys.append((f"llama.{key}", 4, draw(SMALL_COUNT)))
    for number in range(draw(st.integers(0, 3))):
        key = draw(st.sampled_from([*SIZING_KEYS, f"junk.{number}"]) | st.text(max_size=10))
        keys.append((key, *draw(gguf_values())))
    # A power of two as general.alignment, or no key (32), or one ggml refuses.
    alignment = draw(st.sampled_from([32] * 5 + [64, 8, 1, 0, 48]))
    if alignment != 32:
        keys.append(("general.alignment", 4, alignment))
    if alignment & (alignment - 1) or not alignment:
        alignment = 32
    tensors = []
    reached = 0
    for number in range(draw(st.integers(0, 5))):
        type_id = draw(st.sampled_from(GGML_TYPES))
        block = GGML_QUANT_SIZES[GGMLQuantizationType(type_id)][0] if type_id != 99 else 1
        dims = [block * draw(st.integers(0, 3))] + draw(st.lists(st.integers(0, 3), max_size=3))
        if draw(st.integers(0, 9)) == 0:
            dims = draw(st.lists(st.integers(0, 2**64 - 1), max_size=10))
        at = -(-reached // alignment) * alignment
        at = max(0, at + draw(st.sampled_from([0, 0, 0, 0, 0, -alignment, alignment, 4])))
        at = min(at, 2**64 - 1)  # past huge tensors: still an offset the format can hold
        name = draw(st.sampled_from([f"blk.{number}"] * 8 + ["blk.0"]))
        tensors.append((name, dims, type_id, at))
        reached = at + gguf_bytes(type_id, dims)
    if len(tensors) > 1 and draw(st.integers(0, 5)) == 0:
        tensors.reverse()
    end = reached + draw(
        st.sampled_from([0, 0, -(-reached // alignment) * alignment - reached, 7, -1])
    )
    return keys, tensors, alignment, max(0, min(end, 2**20)), draw(st.sampled_from("<<>"))


def gguf_bytes(type_id, dims):
    if type_id == 99:
        return 0
    block, block_bytes = GGML_QUANT_SIZES[GGMLQuantizationType(type_id)]
    return math.prod(dims) // block * block_bytes


@FUZZ
@given(gguf_files())
def test_any_gguf_file_sizes_or_is_refused(folder, drawn):
    keys, tensors, alignment, data_bytes, order = drawn
    path = folder / "m.gguf"
    header = sf.gguf_header(keys, tensors, order=order, alignment=alignment)
    with open(path, "wb") as file:
        file.write(header)
        file.truncate(len(header) + data_bytes)
    shape = sized_or_refused(path)
    if shape is not None:
        sizes = [gguf_bytes(type_id, dims) for _, dims, type_id, _ in tensors]
        assert shape.weights_bytes == sum(sizes) <= data_bytes
        # What is sized is what llama.cpp loads: each tensor, in the table's
        # order, where the one before it ends, padded to the alignment.
        expected = 0
        for (_, _, _, offset), size in zip(tensors, sizes):
            assert offset == expected
            expected += -(-size // alignment) * alignment
        assert data_bytes <= expected
