"""Bad model files: each gets one message naming the file and the fault, from
the function (a ValueError) and from `garnel size` (exit 2, one line, no traceback)."""

from __future__ import annotations

import json
import os
import re
import struct
import subprocess

import garnel
import pytest
import sizing_files as sf
from sizing_files import GARNEL


def safetensors_with(header, data_bytes=None, extra=0):
    def build(tmp_path):
        path = tmp_path / "model.safetensors"
        ends = [t["data_offsets"][1] for t in header.values() if isinstance(t, dict)]
        sf.write_header(
            path, header, (max(ends, default=0) if data_bytes is None else data_bytes) + extra
        )
        return path

    return build


def raw_file(name, content):
    def build(tmp_path):
        (tmp_path / name).write_bytes(content)
        return tmp_path / name

    return build


def padded(text):
    return struct.pack("<Q", len(text)) + text


def f16(begin, count):
    return {"dtype": "F16", "shape": [count], "data_offsets": [begin, begin + 2 * count]}


def gguf_tensor_of_type(type_id, elements=32):
    """A GGUF file by hand: no metadata, one tensor of ggml type `type_id`, 32 elements a row."""
    head = b"GGUF" + struct.pack("<IQQ", 3, 1, 0)
    info = struct.pack("<Q", 1) + b"t" + struct.pack("<IQQIQ", 2, elements, 1, type_id, 0)
    body = head + info
    return body + b"\0" * (-len(body) % 32) + b"\0" * 128


def sparse_gguf(header, size):
    """A GGUF file that starts with `header` and is zeros (a hole) up to `size` bytes."""

    def build(tmp_path):
        path = tmp_path / "m.gguf"
        with open(path, "wb") as file:
            file.write(b"GGUF" + header)
            file.truncate(size)
        return path

    return build


def folder_of_pipes(tmp_path):
    """Named pipes where model files would be: opening one waits for a writer forever."""
    if not hasattr(os, "mkfifo"):
        pytest.skip("this system has no named pipes")
    (tmp_path / "pipes").mkdir()
    for name in ("model-00001-of-00002.safetensors", "m.gguf"):
        os.mkfifo(tmp_path / "pipes" / name)
    return tmp_path / "pipes"


def empty_folder(tmp_path):
    (tmp_path / "empty").mkdir()
    return tmp_path / "empty"


def missing_shard(tmp_path):
    sf.write_sharded(tmp_path, sf.llama3_8b_tensors()[:4], 2, sf.LLAMA3_8B_CONFIG)
    (tmp_path / "model-00002-of-00002.safetensors").unlink()
    return tmp_path


def cut_off_gguf(tmp_path):
    sf.write_gguf(tmp_path / "m.gguf", "llama", [("w", [32, 32], "F16")], {"block_count": 1})
    data = (tmp_path / "m.gguf").read_bytes()
    return raw_file("m.gguf", data[:40])(tmp_path)


def config_with(key, value, **more):
    def build(tmp_path):
        sf.write_sparse_safetensors(tmp_path / "model.safetensors", [("w", "BF16", [8])])
        config = {**sf.LLAMA3_8B_CONFIG, key: value, **more}
        (tmp_path / "config.json").write_text(json.dumps(config))
        return tmp_path

    return build


def raw_safetensors(text, data_bytes):
    """A safetensors file whose header is `text` as given, for numbers json.dumps will not write."""

    def build(tmp_path):
        text_ = text + b" " * (-len(text) % 8)
        path = tmp_path / "model.safetensors"
        with open(path, "wb") as file:
            file.write(struct.pack("<Q", len(text_)) + text_)
            file.truncate(8 + len(text_) + data_bytes)
        return path

    return build


def gguf_laid_out(*offsets, data_bytes=None):
    """A GGUF file of F32 tensors of 8 elements (32 bytes), named a, b, ... in
    the table, at these offsets in the data."""

    def build(tmp_path):
        tensors = [(chr(ord("a") + i), [8], sf.GGML_F32, at) for i, at in enumerate(offsets)]
        end = max(offsets) + 32 if data_bytes is None else data_bytes
        return sf.write_gguf_by_hand(tmp_path / "m.gguf", [], tensors, end)

    return build


def gguf_keys(**keys):
    """A GGUF file of one tensor with exactly these llama.* keys, by gguf's writer."""

    def build(tmp_path):
        sf.write_gguf(tmp_path / "m.gguf", "llama", [("w", [32, 32], "F16")], keys)
        return tmp_path / "m.gguf"

    return build


# A shape whose span matches a data end of 4300 digits, one past what Python
# turns into text: the end of the data is then past the file.
HUGE_END = int("9" * 4299 + "8")


def gguf_with(**keys):
    def build(tmp_path):
        keys.update(head_count=1, embedding_length=64)
        sf.write_gguf(tmp_path / "m.gguf", "llama", [("w", [32, 32], "F16")], keys)
        return tmp_path / "m.gguf"

    return build


def gguf_of(arch):
    def build(tmp_path):
        keys = {"block_count": 1, "head_count": 1, "embedding_length": 64}
        sf.write_gguf(tmp_path / "m.gguf", arch, [("w", [32, 32], "F16")], keys)
        return tmp_path / "m.gguf"

    return build


def config_without(key):
    def build(tmp_path):
        sf.write_sparse_safetensors(tmp_path / "model.safetensors", [("w", "BF16", [8])])
        if key is not None:
            config = {k: v for k, v in sf.LLAMA3_8B_CONFIG.items() if k != key}
            (tmp_path / "config.json").write_text(json.dumps(config))
        return tmp_path

    return build


def broken_json_in(name, size=None):
    """A folder whose `name` is JSON nested deeper than any parser recurses,
    or, given a size, that many bytes (sparse) that are no place for a model's settings."""

    def build(tmp_path):
        sf.write_sharded(tmp_path, sf.llama3_8b_tensors()[:2], 1, sf.LLAMA3_8B_CONFIG)
        (tmp_path / name).write_text("[" * 100_000)
        if size is not None:
            os.truncate(tmp_path / name, size)
        return tmp_path

    return build


def index_naming(*shards):
    """A folder whose index maps a tensor to each of `shards`, beside a real shard."""

    def build(tmp_path):
        sf.write_sharded(tmp_path / "m", sf.llama3_8b_tensors()[:1], 1, sf.LLAMA3_8B_CONFIG)
        weight_map = {f"t{i}": shard for i, shard in enumerate(shards)}
        (tmp_path / "m" / "model.safetensors.index.json").write_text(
            json.dumps({"weight_map": weight_map})
        )
        return tmp_path / "m"

    return build


BAD_INPUTS = {
    "no-model-files": (empty_folder, "no model files"),
    "only-pipes": (folder_of_pipes, "no model files"),
    "a-pipe": (lambda tmp_path: folder_of_pipes(tmp_path) / "m.gguf", "not a file or folder"),
    "no-such-path": (lambda tmp_path: tmp_path / "nowhere", "no such file or folder"),
    "header-past-end": (
        raw_file("model.safetensors", struct.pack("<Q", 64) + b"{}"),
        "header length 64 runs past the end",
    ),
    "header-too-long": (
        raw_file("model.safetensors", struct.pack("<Q", 100_000_001) + b"{}"),
        "above 100000000 bytes",
    ),
    "header-not-json": (raw_file("model.safetensors", padded(b'{"w": ')), "header is not JSON"),
    "header-nested-deep": (
        raw_file("model.safetensors", padded(b"[" * 100_000)),
        "header is not JSON",
    ),
    "index-nested-deep": (broken_json_in("model.safetensors.index.json"), "not JSON"),
    "config-nested-deep": (broken_json_in("config.json"), "not JSON"),
    "config-huge": (broken_json_in("config.json", 2**33), "too large for a JSON file"),
    "header-not-object": (
        raw_file("model.safetensors", padded(b"[1, 2]  ")),
        "header is not a JSON object",
    ),
    "unknown-dtype": (
        safetensors_with({"w": {"dtype": "Q7", "shape": [2], "data_offsets": [0, 2]}}),
        "unknown dtype 'Q7'",
    ),
    "gap": (
        safetensors_with({"a": f16(0, 4), "b": f16(10, 4)}),
        "a gap of 2 bytes after 'a', before tensor 'b'",
    ),
    "overlap": (
        safetensors_with({"a": f16(0, 4), "b": f16(6, 4)}),
        "tensor 'b' overlaps tensor 'a'",
    ),
    "shape-mismatch": (
        safetensors_with({"a": {**f16(0, 4), "shape": [5]}}),
        "spans 8 bytes but F16 [5] needs 10",
    ),
    "shape-beyond-floats": (
        safetensors_with({"a": {**f16(0, 4), "shape": [10**400]}}),
        "spans 8 bytes but F16",
    ),
    "data-past-last-tensor": (
        safetensors_with({"a": f16(0, 4)}, extra=3),
        "tensor data ends at byte",
    ),
    "data-cut-short": (
        safetensors_with({"a": f16(0, 4)}, data_bytes=5),
        "tensor data ends at byte",
    ),
    "missing-shard": (
        missing_shard,
        "names shard 'model-00002-of-00002.safetensors', which is missing",
    ),
    "index-shard-outside": (
        index_naming("model-00001-of-00001.safetensors", "../m/model-00001-of-00001.safetensors"),
        "shard '../m/model-00001-of-00001.safetensors' is outside the model's folder",
    ),
    "index-shard-absolute": (
        index_naming("/etc/model.safetensors"),
        "shard '/etc/model.safetensors' is outside the model's folder",
    ),
    "index-no-shards": (index_naming(), "no weight_map of tensor names to shard files"),
    "gguf-bad-magic": (raw_file("m.gguf", b"GGML" + bytes(60)), "not a GGUF file (bad magic"),
    "gguf-version": (
        raw_file("m.gguf", b"GGUF" + struct.pack("<IQQ", 4, 0, 0)),
        "unsupported GGUF version 4",
    ),
    "gguf-cut-off": (cut_off_gguf, "GGUF header is cut off"),
    # Counts and lengths that would have the reader hold or walk the whole file.
    "gguf-key-too-long": (
        sparse_gguf(struct.pack("<IQQQ", 3, 0, 1, 100_000_000), 200_000_000),
        "a key of 100000000 bytes",
    ),
    "gguf-keys-of-zeros": (
        sparse_gguf(struct.pack("<IQQ", 3, 0, 600_000), 8_000_000),
        "key '' appears twice",
    ),
    "gguf-tensors-of-zeros": (
        sparse_gguf(struct.pack("<IQQ", 3, 300_000, 0), 8_000_000),
        "tensor '' appears twice",
    ),
    "gguf-strings-beyond-file": (
        sparse_gguf(
            struct.pack("<IQQQ", 3, 0, 1, 1) + b"k" + struct.pack("<IIQ", 9, 8, 2**62), 2**26
        ),
        "'k' holds 4611686018427387904 strings, more than the file has room for",
    ),
    "gguf-array-beyond-file": (
        sparse_gguf(
            struct.pack("<IQQQ", 3, 0, 1, 1) + b"k" + struct.pack("<IIQ", 9, 10, 2**63), 4096
        ),
        "GGUF header is cut off at byte 4096",
    ),
    "gguf-string-beyond-file": (
        sparse_gguf(
            struct.pack("<IQQQ", 3, 0, 1, 1) + b"k" + struct.pack("<IQ", 8, 2**64 - 1), 4096
        ),
        "GGUF header is cut off at byte 4096",
    ),
    # A name that says "part 1 of 0" is no split model: the file is read as it is.
    "gguf-split-of-none": (
        lambda tmp_path: raw_file("m-00001-of-00000.gguf", b"")(tmp_path).parent,
        "GGUF header is cut off at byte 0",
    ),
    "gguf-unknown-type": (raw_file("m.gguf", gguf_tensor_of_type(99)), "unknown ggml type 99"),
    "gguf-part-blocks": (
        raw_file("m.gguf", gguf_tensor_of_type(8, elements=48)),  # Q8_0: blocks of 32
        "tensor 't' has rows of 48 elements, not whole Q8_0 blocks of 32",
    ),
    # Counts no model has, which would have the cache's shape built layer by layer.
    "config-layers-absurd": (
        config_with("num_hidden_layers", 10**12),
        "'num_hidden_layers' is 1000000000000, not a count of layers",
    ),
    "gguf-layers-absurd": (
        gguf_with(block_count=4_000_000_000),
        "'llama.block_count' is 4000000000, not a count of layers",
    ),
    "cache-beyond-u64": (config_with("head_dim", 10**21), "bytes of cache, more than 2**64 - 1"),
    # Shapes and offsets that would take seconds to multiply out, or a
    # message of megabytes, or digits past what Python writes.
    "shape-of-many-dimensions": (
        safetensors_with({"a": {**f16(0, 4), "shape": [2**40] * 2000}}),
        "tensor 'a' has 2000 dimensions (at most 64 are read)",
    ),
    "shape-past-the-file": (
        safetensors_with({"a": {**f16(0, 4), "shape": [2**64 - 1] * 64}}),
        "18446744073709551615, ...] needs more than the file's 8 bytes of data",
    ),
    "data-end-of-4300-digits": (
        raw_safetensors(
            b'{"a":{"dtype":"F16","shape":[%d],"data_offsets":[0,%d]}}' % (HUGE_END // 2, HUGE_END),
            8,
        ),
        "tensor 'a' has no valid data_offsets",
    ),
    "name-of-a-megabyte": (
        safetensors_with({"n" * 2**20: {"dtype": "Q7", "shape": [2], "data_offsets": [0, 2]}}),
        "n' has unknown dtype 'Q7'",
    ),
    # Tensor data laid out as llama.cpp refuses to load it.
    "gguf-overlap": (gguf_laid_out(0, 0), "tensor 'b' overlaps tensor 'a'"),
    "gguf-gap": (gguf_laid_out(0, 64), "a gap of 32 bytes after 'a', before tensor 'b'"),
    "gguf-gap-first": (gguf_laid_out(32), "a gap of 32 bytes at the start of the data"),
    "gguf-unaligned": (
        gguf_laid_out(0, 40),
        "tensor 'b' at data offset 40 is not aligned to 32 bytes",
    ),
    "gguf-out-of-order": (
        gguf_laid_out(32, 0),
        "tensor 'b' is stored before tensor 'a', which the table lists first",
    ),
    "gguf-data-past-last-tensor": (
        gguf_laid_out(0, 32, data_bytes=104),
        "40 bytes after the last tensor that no tensor describes",
    ),
    "gguf-data-without-tensors": (
        gguf_laid_out(data_bytes=64),
        "64 bytes after the header that no tensor describes",
    ),
    # Caches that would size at 0 bytes without a word, or not at all.
    "gguf-no-layers": (
        gguf_keys(block_count=0, head_count=1, embedding_length=64),
        "cannot size the cache: 'llama.block_count' is 0",
    ),
    "gguf-width-zero": (
        gguf_keys(block_count=1, head_count=32, embedding_length=16),
        "'llama.embedding_length' 16 over 32 heads is a width of 0",
    ),
    "gguf-per-layer-array-too-long": (
        gguf_keys(block_count=1, head_count=1, embedding_length=64, head_count_kv=[1] * 100_001),
        "'llama.attention.head_count_kv' is not a count: <an array of 100,001 values>",
    ),
    "config-no-layers": (
        config_with("num_hidden_layers", 0),
        "cannot size the cache: 'num_hidden_layers' is 0",
    ),
    "config-no-kv-heads": (
        config_with("num_key_value_heads", 0),
        "cannot size the cache: 'num_key_value_heads' is 0",
    ),
    "config-head-width-zero": (
        config_with("hidden_size", 16),
        "'hidden_size' 16 over 32 heads is a head width of 0",
    ),
    # Contexts past what a float holds once a RoPE factor multiplies them.
    "config-context-past-floats": (
        config_with("max_position_embeddings", 1e308, rope_scaling={"type": "linear", "factor": 4}),
        "'max_position_embeddings' is about 2**1023, not a context length",
    ),
    "config-context-of-400-digits": (
        config_with(
            "max_position_embeddings", 10**400, rope_scaling={"type": "linear", "factor": 4}
        ),
        "'max_position_embeddings' is about 2**1328, not a context length",
    ),
    "config-model-max-length-past-floats": (
        config_with("model_max_length", 1e308, rope_scaling={"type": "dynamic", "factor": 2}),
        "'model_max_length' is about 2**1023, not a context length",
    ),
    "config-context-stretched-past-any": (
        config_with("max_position_embeddings", 2**40, rope_scaling={"type": "linear", "factor": 4}),
        "'max_position_embeddings' 1099511627776 stretched by RoPE factor 4 is 4398046511104",
    ),
    # Layers sizing cannot place are refused by key and value, never counted as attention.
    "config-layer-type-unknown": (
        config_with("layer_types", ["full_attention"] * 31 + ["conv"]),
        "'layer_types' has 'conv' at layer 31, a kind of layer sizing does not know",
    ),
    "config-pattern-unknown": (
        config_with("attn_layer_period", 8),
        "'attn_layer_period' is 8 for model_type 'llama', a layer pattern sizing does not know",
    ),
    "config-recurrent-family-unknown": (
        config_with("model_type", "falcon_h1"),
        "'model_type' is 'falcon_h1', whose recurrent layers sizing does not know",
    ),
    "gguf-architecture-unknown": (
        gguf_of("llama5"),
        "'general.architecture' is 'llama5', an architecture llama.cpp does not know",
    ),
    "gguf-recurrent-unknown": (
        gguf_of("rwkv7"),
        "'general.architecture' is 'rwkv7', whose recurrent layers sizing does not know",
    ),
    "no-config": (config_without(None), "cannot size the cache: no config.json"),
    "config-key-missing": (
        config_without("num_hidden_layers"),
        "cannot size the cache: no 'num_hidden_layers'",
    ),
}


@pytest.mark.parametrize(("build", "message"), BAD_INPUTS.values(), ids=BAD_INPUTS.keys())
def test_bad_input_is_one_message_naming_the_file(tmp_path, build, message):
    path = build(tmp_path)
    with pytest.raises(ValueError) as caught:
        garnel.size(path)
    text = str(caught.value)
    # Whatever the file holds, the message is a line a person reads.
    assert message in text and str(path) in text and len(text) < 400
    run = subprocess.run([*GARNEL, "size", str(path)], capture_output=True, text=True, check=False)
    assert run.returncode == 2 and run.stdout == ""
    assert run.stderr.count("\n") == 1 and message in run.stderr and "Traceback" not in run.stderr


@pytest.mark.parametrize(
    "build",
    [config_without("num_hidden_layers"), config_with("layer_types", ["mamba"] * 32)],
    ids=["missing-key", "unknown-layers"],
)
def test_weights_are_still_sized_when_the_cache_cannot_be(tmp_path, build):
    path = build(tmp_path)
    shape = garnel.inspect(path)
    assert shape.weights_bytes == 16 and shape.cache_problem and not shape.layers
    with pytest.raises(ValueError, match="the weights are 16 bytes"):
        garnel.size(path)
    assert garnel.size(path, context=0) == garnel.Model(path.name, 16, 0)
    run = subprocess.run(
        [*GARNEL, "size", str(path), "--context", "0"], capture_output=True, text=True, check=False
    )
    assert run.returncode == 0 and json.loads(run.stdout)[0]["kvBytes"] == 0


@pytest.mark.parametrize(
    "case",
    [
        "config-context-past-floats",
        "config-context-of-400-digits",
        "config-model-max-length-past-floats",
        "config-context-stretched-past-any",
    ],
)
def test_a_context_that_is_no_context_still_sizes_at_a_given_one(tmp_path, case):
    # The model's own longest context is lost, not its cache: Llama 3 8B's
    # 32 layers x 8 heads x (128 + 128) x 2 bytes = 131 072 bytes a token.
    path = BAD_INPUTS[case][0](tmp_path)
    assert garnel.inspect(path).context_length is None
    assert garnel.size(path, context=1024).kv_bytes == 1024 * 131_072


def test_a_folder_that_cannot_be_listed_is_a_value_error(tmp_path, monkeypatch):
    def refuse(path):
        raise PermissionError(13, "Permission denied", str(path))

    monkeypatch.setattr("os.listdir", refuse)
    with pytest.raises(ValueError, match=re.escape(f"{tmp_path}: cannot read: Permission denied")):
        garnel.inspect(tmp_path)
