"""Shows that sizing reads headers only: a 140 GB sharded model, written as
sparse files, is sized in well under a second, reading under 1 MiB.

Run it, with the package and the gguf extra installed in .venv, as

    .venv/bin/python bench/sizing.py             # 20 rounds
    .venv/bin/python bench/sizing.py --rounds 100 --reader

The model has Llama-3-70B's tensors (80 layers, hidden 8192, bf16) in 30
shards with their index and config.json; the files are made their full size
by truncation, so nothing but the headers is ever written or there to read.
Bytes read are the process's own count (/proc/self/io rchar) around one call.
Then a GGUF file with Llama 3's vocabulary in its header (128 256 tokens,
280 147 merges) is sized the same way; --reader also times gguf's own
GGUFReader on it. Exits 1 when a call takes a second or more or the
safetensors model reads 1 MiB or more. Not a test: pytest never collects it.
"""

from __future__ import annotations

import argparse
import json
import math
import pathlib
import statistics
import struct
import sys
import tempfile
import time

import garnel

MIB = 2**20
SHARDS = 30
CONFIG = {
    "model_type": "llama",
    "hidden_size": 8192,
    "intermediate_size": 28672,
    "num_attention_heads": 64,
    "num_hidden_layers": 80,
    "num_key_value_heads": 8,
    "max_position_embeddings": 8192,
    "torch_dtype": "bfloat16",
}


def tensors() -> list[tuple[str, list[int]]]:
    hidden, ffn, kv, vocab = 8192, 28672, 1024, 128256
    names: list[tuple[str, list[int]]] = [("model.embed_tokens.weight", [vocab, hidden])]
    for i in range(80):
        layer = f"model.layers.{i}"
        names += [
            (f"{layer}.input_layernorm.weight", [hidden]),
            (f"{layer}.mlp.down_proj.weight", [hidden, ffn]),
            (f"{layer}.mlp.gate_proj.weight", [ffn, hidden]),
            (f"{layer}.mlp.up_proj.weight", [ffn, hidden]),
            (f"{layer}.post_attention_layernorm.weight", [hidden]),
            (f"{layer}.self_attn.k_proj.weight", [kv, hidden]),
            (f"{layer}.self_attn.o_proj.weight", [hidden, hidden]),
            (f"{layer}.self_attn.q_proj.weight", [hidden, hidden]),
            (f"{layer}.self_attn.v_proj.weight", [kv, hidden]),
        ]
    return names + [("model.norm.weight", [hidden]), ("lm_head.weight", [vocab, hidden])]


def write_model(folder: pathlib.Path) -> int:
    """Writes the sparse shards, index and config; returns the tensors' bytes."""
    all_tensors = tensors()
    per_shard = -(-len(all_tensors) // SHARDS)
    weight_map: dict[str, str] = {}
    total = 0
    for number in range(SHARDS):
        name = f"model-{number + 1:05d}-of-{SHARDS:05d}.safetensors"
        header: dict[str, object] = {"__metadata__": {"format": "pt"}}
        offset = 0
        for tensor, shape in all_tensors[number * per_shard : (number + 1) * per_shard]:
            nbytes = 2 * math.prod(shape)
            header[tensor] = {
                "dtype": "BF16",
                "shape": shape,
                "data_offsets": [offset, offset + nbytes],
            }
            offset += nbytes
            weight_map[tensor] = name
        text = json.dumps(header).encode()
        text += b" " * (-len(text) % 8)
        with open(folder / name, "wb") as file:
            file.write(struct.pack("<Q", len(text)) + text)
            file.truncate(8 + len(text) + offset)
        total += offset
    index = {"metadata": {"total_size": total}, "weight_map": weight_map}
    (folder / "model.safetensors.index.json").write_text(json.dumps(index))
    (folder / "config.json").write_text(json.dumps(CONFIG))
    return total


def bytes_read() -> int:
    """Bytes this process has read through read() calls so far."""
    with open("/proc/self/io", encoding="ascii") as io:
        for line in io:
            if line.startswith("rchar:"):
                return int(line.split()[1])
    raise RuntimeError("no rchar in /proc/self/io")


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--rounds", type=int, default=20)
    parser.add_argument("--reader", action="store_true", help="also time gguf.GGUFReader")
    options = parser.parse_args()
    rounds = options.rounds
    with tempfile.TemporaryDirectory() as temp:
        folder = pathlib.Path(temp) / "Llama-3-70B"
        folder.mkdir()
        total = write_model(folder)
        on_disk = sum(f.stat().st_blocks * 512 for f in folder.iterdir())
        apparent = sum(f.stat().st_size for f in folder.iterdir())
        print(f"model: {apparent / 1e9:.1f} GB in {SHARDS} shards, {on_disk / MIB:.2f} MiB on disk")

        before = bytes_read()
        started = time.perf_counter()
        model = garnel.size(folder, context=8192)
        first = time.perf_counter() - started
        read = bytes_read() - before - _rchar_cost()
        assert model.weights_bytes == total, (model.weights_bytes, total)

        times = []
        for _ in range(rounds):
            started = time.perf_counter()
            garnel.size(folder, context=8192)
            times.append(time.perf_counter() - started)

    print(f"sized: {model.weights_bytes:,} weight bytes, {model.kv_bytes:,} cache bytes at 8192")
    print(f"first call: {first * 1000:.2f} ms, reading {read:,} bytes ({read / MIB:.3f} MiB)")
    print(
        f"{rounds} more calls: median {statistics.median(times) * 1000:.2f} ms, "
        f"slowest {max(times) * 1000:.2f} ms"
    )
    gguf_time = gguf_vocabulary(options.reader)
    slow = max([first, *times, gguf_time]) >= 1.0
    if slow or read >= MIB:
        print("FAILED: a call took a second or more, or read 1 MiB or more")
        return 1
    return 0


def gguf_vocabulary(reader: bool) -> float:
    """Sizes a GGUF file whose header holds Llama 3's vocabulary; returns the seconds taken."""
    import gguf
    import numpy

    with tempfile.TemporaryDirectory() as temp:
        path = pathlib.Path(temp) / "vocabulary.gguf"
        writer = gguf.GGUFWriter(path, "llama")
        for key, value in [("block_count", 32), ("head_count", 32), ("head_count_kv", 8)]:
            getattr(writer, f"add_{key}")(value)
        writer.add_embedding_length(4096)
        writer.add_context_length(8192)
        writer.add_token_list([f"token{i}" for i in range(128256)])
        writer.add_token_types([1] * 128256)
        writer.add_token_merges([f"left{i} right{i}" for i in range(280147)])
        writer.add_tensor("token_embd.weight", numpy.zeros((64, 64), numpy.float16))
        writer.write_header_to_file()
        writer.write_kv_data_to_file()
        writer.write_tensors_to_file()
        writer.close()
        garnel.inspect(path)  # gguf's import, once
        before = bytes_read()
        started = time.perf_counter()
        model = garnel.size(path, context=8192)
        took = time.perf_counter() - started
        read = bytes_read() - before - _rchar_cost()
        size = path.stat().st_size
        print(
            f"gguf with a 128 256-token vocabulary ({size / MIB:.1f} MiB, nearly all header): "
            f"{took * 1000:.1f} ms, reading {read / MIB:.2f} MiB, {model.kv_bytes:,} cache bytes"
        )
        if reader:
            started = time.perf_counter()
            gguf.GGUFReader(path)
            print(f"  gguf.GGUFReader on the same file: {time.perf_counter() - started:.2f} s")
    return took


def _rchar_cost() -> int:
    """What reading /proc/self/io itself adds to rchar, to leave it out."""
    first = bytes_read()
    return bytes_read() - first


if __name__ == "__main__":
    sys.exit(main())
