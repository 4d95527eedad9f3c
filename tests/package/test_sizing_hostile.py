"""Hostile and broken model files that the one-message cases cannot show: a
cache that cannot be sized through a roster, a file cut while it is read, and
headers whose counts would have the reader hold or walk far more than is on disk."""

from __future__ import annotations

import array
import json
import os
import struct
import subprocess
import sys
import tracemalloc

import garnel
import pytest
import sizing_files as sf
from sizing_files import GARNEL

F32_BYTES = 4


@pytest.mark.parametrize(
    ("sizes", "offsets", "data_bytes", "alignment"),
    [
        # 12 and 20 bytes: the first padded to 32, the last with or without its padding.
        ([3, 5], [0, 32], 52, 32),
        ([3, 5], [0, 32], 64, 32),
        ([3, 5], [0, 32], 60, 32),
        # A file's own alignment; a tensor of 0 bytes takes no room.
        ([3, 0, 5], [0, 64, 64], 84, 64),
        ([8, 8], [0, 32], 64, 32),
    ],
    ids=["unpadded-end", "padded-end", "part-padded-end", "alignment-64", "no-padding"],
)
def test_gguf_tensors_padded_to_the_alignment_are_sized(
    tmp_path, sizes, offsets, data_bytes, alignment
):
    tensors = [(f"t{i}", [n], sf.GGML_F32, at) for i, (n, at) in enumerate(zip(sizes, offsets))]
    keys = [("general.alignment", 4, alignment)] if alignment != 32 else []
    path = sf.write_gguf_by_hand(tmp_path / "m.gguf", keys, tensors, data_bytes, alignment)
    assert garnel.inspect(path).weights_bytes == F32_BYTES * sum(sizes)


def gguf_without_layers(tmp_path):
    keys = {"block_count": 0, "head_count": 1, "embedding_length": 64}
    sf.write_gguf(tmp_path / "m.gguf", "llama", [("w", [32, 32], "F16")], keys)
    return tmp_path / "m.gguf", 32 * 32 * 2


def config_without_layers(tmp_path):
    sf.write_sparse_safetensors(tmp_path / "model.safetensors", [("w", "BF16", [8])])
    (tmp_path / "config.json").write_text(
        json.dumps({**sf.LLAMA3_8B_CONFIG, "num_hidden_layers": 0})
    )
    return tmp_path, 16


@pytest.mark.parametrize(
    ("build", "key"),
    [
        (gguf_without_layers, "'llama.block_count' is 0"),
        (config_without_layers, "'num_hidden_layers' is 0"),
    ],
    ids=["gguf-no-layers", "config-no-layers"],
)
def test_a_cache_that_cannot_be_sized_names_its_key_and_leaves_the_weights(tmp_path, build, key):
    path, weights = build(tmp_path)
    assert key in garnel.inspect(path).cache_problem
    run = subprocess.run(
        [*GARNEL, "size", str(path), "--context", "0"], capture_output=True, text=True, check=False
    )
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)[0]["weightsBytes"] == weights
    # Through a roster's "path" entry, planned: the key, not a traceback.
    roster = tmp_path / "roster.json"
    for entry, code in (({"path": str(path)}, 2), ({"path": str(path), "context": 0}, 0)):
        roster.write_text(json.dumps([entry]))
        run = subprocess.run(
            [*GARNEL, "plan", str(roster), "--card", "24GiB"],
            capture_output=True,
            text=True,
            check=False,
        )
        assert run.returncode == code, run.stderr
        assert "Traceback" not in run.stderr and (code == 0 or key in run.stderr)


def test_a_gguf_file_cut_while_it_is_read_is_refused_naming_it(tmp_path, monkeypatch):
    path = tmp_path / "m.gguf"
    keys = {"block_count": 1, "head_count": 1, "embedding_length": 64}
    keys.update(token_list=["t" * 100] * 2000)  # a header of several chunks
    sf.write_gguf(path, "llama", [("w", [32, 32], "F16")], keys)

    def open_and_cut(name, mode="rb"):
        file = open(name, mode)  # noqa: SIM115 (the reader's own with-statement closes it)
        read = file.read
        reads = []

        def read_then_cut(size=-1):
            reads.append(size)
            if len(reads) == 2:  # after the magic and version, another writer cuts it
                os.truncate(name, 100)
            return read(size)

        file.read = read_then_cut
        return file

    monkeypatch.setattr("garnel._sizing._gguf_header.open", open_and_cut, raising=False)
    with pytest.raises(garnel.SizingError, match="changed while read") as caught:
        garnel.inspect(path)
    assert str(path) in str(caught.value)


def array_entry(key, type_id, values):
    """A metadata entry holding an array of numbers, packed whole."""
    items = array.array({4: "I", 10: "Q"}[type_id], values)
    if sys.byteorder == "big":
        items.byteswap()
    head = sf.gguf_value(sf.GGUF_STRING, key) + struct.pack(
        "<IIQ", sf.GGUF_ARRAY, type_id, len(items)
    )
    return head + items.tobytes()


def gguf_of_entries(path, entries, data_bytes=0):
    """A GGUF file of these raw metadata entries, no tensors, and a hole of `data_bytes`."""
    with open(path, "wb") as file:
        file.write(b"GGUF" + struct.pack("<IQQ", 3, 0, len(entries)) + b"".join(entries))
        file.truncate(file.tell() + data_bytes)
    return path


def test_metadata_that_sizing_does_not_read_is_never_held(tmp_path):
    # Eight arrays of 65 536 distinct numbers: 2 MiB on disk, and many times
    # that as Python lists.
    entries = [array_entry(f"junk.{i}", 4, range(i << 16, (i + 1) << 16)) for i in range(8)]
    path = gguf_of_entries(tmp_path / "m.gguf", entries)
    garnel.inspect(path)  # gguf and numpy imported before memory is traced
    tracemalloc.start()
    try:
        garnel.inspect(path)
        peak = tracemalloc.get_traced_memory()[1]
    finally:
        tracemalloc.stop()
    assert peak < path.stat().st_size // 4


def test_a_run_of_empty_strings_is_skipped_without_a_step_each(tmp_path):
    # A sparse file of 2**20 empty strings: eight zero bytes each.
    count = 2**20
    head = sf.gguf_value(sf.GGUF_STRING, "tokenizer.ggml.tokens")
    entry = head + struct.pack("<IIQ", sf.GGUF_ARRAY, sf.GGUF_STRING, count)
    path = gguf_of_entries(tmp_path / "m.gguf", [entry], data_bytes=8 * count)
    garnel.inspect(path)  # imports done before calls are counted
    calls = 0

    def count_calls(frame, event, arg):
        nonlocal calls
        calls += 1

    sys.setprofile(count_calls)
    try:
        shape = garnel.inspect(path)
    finally:
        sys.setprofile(None)
    assert shape.weights_bytes == 0 and calls < count // 100


def test_an_index_total_of_thousands_of_digits_warns_in_a_line(tmp_path):
    sf.write_sharded(tmp_path, sf.llama3_8b_tensors()[:2], 1, sf.LLAMA3_8B_CONFIG, 10**4000)
    with pytest.warns(UserWarning) as caught:
        garnel.inspect(tmp_path)
    (warning,) = caught
    assert "total_size about 2**13287 disagrees" in str(warning.message)
    assert len(str(warning.message)) < 300
