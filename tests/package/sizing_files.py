"""Model files for the sizing tests: safetensors headers over sparse data,
config.json files, and GGUF files written by gguf's own writer."""

from __future__ import annotations

import json
import math
import pathlib
import struct
import sys
from collections.abc import Iterable, Sequence

# The command line as a user runs it.
GARNEL = [sys.executable, "-m", "garnel"]

BITS = {"BF16": 16, "F16": 16, "F32": 32, "F8_E4M3": 8, "I64": 64, "U8": 8, "F4": 4}

Tensor = tuple[str, str, Sequence[int]]  # name, dtype, shape


def write_sparse_safetensors(
    path: pathlib.Path, tensors: Iterable[Tensor], metadata: dict[str, str] | None = None
) -> int:
    """Writes a real safetensors header, tensors laid out in the given order
    from offset 0, and makes the file its full size without writing the data.
    Returns the tensors' bytes."""
    header: dict[str, object] = {}
    if metadata is not None:
        header["__metadata__"] = metadata
    offset = 0
    for name, dtype, shape in tensors:
        nbytes = math.prod(shape) * BITS[dtype] // 8
        header[name] = {
            "dtype": dtype,
            "shape": list(shape),
            "data_offsets": [offset, offset + nbytes],
        }
        offset += nbytes
    write_header(path, header, offset)
    return offset


def write_header(path: pathlib.Path, header: object, data_bytes: int) -> None:
    """Writes `header` as the writer does (JSON padded with blanks to a
    multiple of 8) and truncates the file to `data_bytes` of data after it."""
    text = json.dumps(header, separators=(",", ":")).encode()
    text += b" " * (-len(text) % 8)
    with open(path, "wb") as file:
        file.write(struct.pack("<Q", len(text)))
        file.write(text)
        file.truncate(8 + len(text) + data_bytes)


LLAMA3_8B_CONFIG = {
    "architectures": ["LlamaForCausalLM"],
    "model_type": "llama",
    "hidden_size": 4096,
    "intermediate_size": 14336,
    "num_attention_heads": 32,
    "num_hidden_layers": 32,
    "num_key_value_heads": 8,
    "max_position_embeddings": 8192,
    "vocab_size": 128256,
    "torch_dtype": "bfloat16",
    "tie_word_embeddings": False,
}


def llama3_8b_tensors() -> list[Tensor]:
    """Meta-Llama-3-8B's tensors: their real names and shapes, bf16."""
    hidden, ffn, kv = 4096, 14336, 1024
    tensors: list[Tensor] = [("model.embed_tokens.weight", "BF16", [128256, hidden])]
    for i in range(32):
        layer = f"model.layers.{i}"
        tensors += [
            (f"{layer}.input_layernorm.weight", "BF16", [hidden]),
            (f"{layer}.mlp.down_proj.weight", "BF16", [hidden, ffn]),
            (f"{layer}.mlp.gate_proj.weight", "BF16", [ffn, hidden]),
            (f"{layer}.mlp.up_proj.weight", "BF16", [ffn, hidden]),
            (f"{layer}.post_attention_layernorm.weight", "BF16", [hidden]),
            (f"{layer}.self_attn.k_proj.weight", "BF16", [kv, hidden]),
            (f"{layer}.self_attn.o_proj.weight", "BF16", [hidden, hidden]),
            (f"{layer}.self_attn.q_proj.weight", "BF16", [hidden, hidden]),
            (f"{layer}.self_attn.v_proj.weight", "BF16", [kv, hidden]),
        ]
    tensors += [
        ("model.norm.weight", "BF16", [hidden]),
        ("lm_head.weight", "BF16", [128256, hidden]),
    ]
    return tensors


def write_sharded(
    folder: pathlib.Path,
    tensors: Sequence[Tensor],
    shards: int,
    config: dict[str, object] | None,
    total_size: int | None = None,
) -> int:
    """Writes `tensors` as `shards` sparse shard files with their index and
    config.json, as Hugging Face checkpoints are laid out. Returns the bytes."""
    folder.mkdir(parents=True, exist_ok=True)
    per_shard = -(-len(tensors) // shards)
    weight_map: dict[str, str] = {}
    total = 0
    for number in range(shards):
        name = f"model-{number + 1:05d}-of-{shards:05d}.safetensors"
        part = tensors[number * per_shard : (number + 1) * per_shard]
        total += write_sparse_safetensors(folder / name, part, {"format": "pt"})
        weight_map.update({tensor[0]: name for tensor in part})
    index = {"metadata": {"total_size": total if total_size is None else total_size}}
    index["weight_map"] = weight_map  # type: ignore[assignment]
    (folder / "model.safetensors.index.json").write_text(json.dumps(index))
    if config is not None:
        (folder / "config.json").write_text(json.dumps(config))
    return total


def write_gguf(
    path: pathlib.Path,
    arch: str,
    tensors: Sequence[tuple[str, Sequence[int], str]],
    keys: dict[str, object],
    split_max_tensors: int = 0,
) -> None:
    """Writes a GGUF file with gguf.GGUFWriter: `tensors` as (name, shape
    innermost last, ggml type name), zero-filled, and `keys` added by their
    writer methods (add_<key>)."""
    import gguf
    import numpy as np

    writer = gguf.GGUFWriter(path, arch, split_max_tensors=split_max_tensors)
    for key, value in keys.items():
        getattr(writer, f"add_{key}")(value)
    for name, shape, type_name in tensors:
        qtype = gguf.GGMLQuantizationType[type_name]
        byte_shape = gguf.quant_shape_to_byte_shape(tuple(shape), qtype)
        if qtype == gguf.GGMLQuantizationType.F32:
            writer.add_tensor(name, np.zeros(shape, dtype=np.float32))
        elif qtype == gguf.GGMLQuantizationType.F16:
            writer.add_tensor(name, np.zeros(shape, dtype=np.float16))
        else:
            writer.add_tensor(name, np.zeros(byte_shape, dtype=np.uint8), raw_dtype=qtype)
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


# GGUF by hand, for files gguf's writer would never make: value type ids and
# their struct formats; strings (8) and arrays (9) are built around them.
GGUF_FORMATS = {
    0: "B",
    1: "b",
    2: "H",
    3: "h",
    4: "I",
    5: "i",
    6: "f",
    7: "?",
    10: "Q",
    11: "q",
    12: "d",
}
GGUF_STRING, GGUF_ARRAY = 8, 9
GGML_F32 = 0

GgufKey = tuple[str, int, object]  # key, value type, value ((item type, items) for an array)
GgufTensor = tuple[str, Sequence[int], int, int]  # name, dims innermost first, ggml type, offset


def gguf_value(value_type: int, value: object, order: str = "<") -> bytes:
    """A value's bytes; for a type GGUF does not define, `value` is given as its bytes."""
    if value_type not in GGUF_FORMATS and value_type not in (GGUF_STRING, GGUF_ARRAY):
        assert isinstance(value, bytes)
        return value
    if value_type == GGUF_STRING:
        assert isinstance(value, (str, bytes))
        text = value.encode() if isinstance(value, str) else value
        return struct.pack(order + "Q", len(text)) + text
    if value_type == GGUF_ARRAY:
        item_type, items = value  # type: ignore[misc]
        head = struct.pack(order + "IQ", item_type, len(items))
        return head + b"".join(gguf_value(item_type, item, order) for item in items)
    return struct.pack(order + GGUF_FORMATS[value_type], value)


def gguf_header(
    keys: Sequence[GgufKey],
    tensors: Sequence[GgufTensor],
    order: str = "<",
    version: int = 3,
    alignment: int = 32,
) -> bytes:
    """A GGUF header, padded to `alignment` where the data begins."""
    out = b"GGUF" + struct.pack(order + "IQQ", version, len(tensors), len(keys))
    for key, value_type, value in keys:
        out += gguf_value(GGUF_STRING, key, order) + struct.pack(order + "I", value_type)
        out += gguf_value(value_type, value, order)
    for name, dims, type_id, offset in tensors:
        out += gguf_value(GGUF_STRING, name, order) + struct.pack(order + "I", len(dims))
        out += struct.pack(f"{order}{len(dims)}QIQ", *dims, type_id, offset)
    return out + b"\0" * (-len(out) % alignment)


def write_gguf_by_hand(
    path: pathlib.Path,
    keys: Sequence[GgufKey],
    tensors: Sequence[GgufTensor],
    data_bytes: int,
    alignment: int = 32,
) -> pathlib.Path:
    """Writes a GGUF header and `data_bytes` of data after it, as a hole."""
    with open(path, "wb") as file:
        header = gguf_header(keys, tensors, alignment=alignment)
        file.write(header)
        file.truncate(len(header) + data_bytes)
    return path
