"""Sizing models from their own files: weights from tensor headers, the cache
from config.json or GGUF metadata, by each engine's rules."""

from __future__ import annotations

import json
import pathlib

import garnel
import numpy as np
import pytest
import sizing_files as sf
from safetensors.numpy import save_file

GIB = 2**30

GEMMA2_9B = {
    "model_type": "gemma2",
    "hidden_size": 3584,
    "num_attention_heads": 16,
    "num_key_value_heads": 8,
    "head_dim": 256,
    "num_hidden_layers": 42,
    "sliding_window": 4096,
    "max_position_embeddings": 8192,
    "torch_dtype": "bfloat16",
}
DEEPSEEK_V2_LITE = {
    "model_type": "deepseek_v2",
    "hidden_size": 2048,
    "num_attention_heads": 16,
    "num_key_value_heads": 16,
    "num_hidden_layers": 27,
    "kv_lora_rank": 512,
    "qk_rope_head_dim": 64,
    "qk_nope_head_dim": 128,
    "v_head_dim": 128,
    "max_position_embeddings": 163840,
    "torch_dtype": "bfloat16",
}
SMALL = {
    "num_hidden_layers": 4,
    "hidden_size": 512,
    "num_attention_heads": 8,
    "num_key_value_heads": 2,
}

STARCODER = {"model_type": "gpt_bigcode", "n_layer": 4, "n_head": 8, "n_embd": 512}
FALCON_40B = {**SMALL, "model_type": "falcon", "new_decoder_architecture": True, "num_kv_heads": 2}
MINICPM3 = {
    "model_type": "minicpm3",
    "hidden_size": 2560,
    "num_attention_heads": 40,
    "num_key_value_heads": 40,
    "num_hidden_layers": 62,
    "q_lora_rank": 768,
    "kv_lora_rank": 256,
    "qk_nope_head_dim": 64,
    "qk_rope_head_dim": 32,
    "v_head_dim": 64,
    "torch_dtype": "bfloat16",
}
DBRX = {"model_type": "dbrx", "n_layers": 4, "n_heads": 8, "d_model": 512}


def folder_with(tmp_path, config, tensors=(("w", "BF16", [4, 4]),)):
    """A single-file model folder: a small sparse model.safetensors and `config`."""
    sf.write_sparse_safetensors(tmp_path / "model.safetensors", tensors)
    (tmp_path / "config.json").write_text(json.dumps(config))
    return tmp_path


def test_llama3_8b_sharded_is_sized_exactly_from_its_headers(tmp_path, monkeypatch):
    folder = tmp_path / "Meta-Llama-3-8B"
    sf.write_sharded(folder, sf.llama3_8b_tensors(), 4, sf.LLAMA3_8B_CONFIG)
    shape = garnel.inspect(folder)
    assert shape.weights_bytes == 16_060_522_496 == 2 * 8_030_261_248
    assert shape.weights_by_dtype == (("BF16", 16_060_522_496),)
    assert len(shape.files) == 4 and shape.tensor_count == 291
    assert shape.kv_bytes_per_token() == 131_072
    assert shape.kv_bytes(8192) == GIB
    # The default context is the model's own; the name its folder's.
    assert garnel.size(folder) == garnel.Model("Meta-Llama-3-8B", 16_060_522_496, GIB)
    # Any one shard stands for the model its index names it in, as a split GGUF file does.
    shard = garnel.size(folder / "model-00002-of-00004.safetensors")
    assert shard == garnel.Model("model", 16_060_522_496, GIB)
    monkeypatch.chdir(folder / "..")
    assert garnel.size("Meta-Llama-3-8B/.", context=0).name == "Meta-Llama-3-8B"
    monkeypatch.chdir(folder)
    assert garnel.size(".", context=0).name == "Meta-Llama-3-8B"


def test_files_from_the_safetensors_writer_are_summed_per_dtype(tmp_path):
    tensors = {
        "embed": np.zeros((300, 7), np.float16),
        "norm": np.zeros((7,), np.float32),
        "step": np.zeros((), np.int64),
        "empty": np.zeros((0, 3), np.float32),
        "mask": np.zeros((5,), np.uint8),
    }
    save_file(tensors, str(tmp_path / "model.safetensors"), metadata={"format": "np"})
    shape = garnel.inspect(tmp_path / "model.safetensors")
    assert dict(shape.weights_by_dtype) == {"F16": 4200, "F32": 28, "I64": 8, "U8": 5}
    assert shape.weights_bytes == sum(t.nbytes for t in tensors.values())
    assert "no config.json" in shape.cache_problem


@pytest.mark.parametrize(
    ("config", "per_token"),
    [
        (sf.LLAMA3_8B_CONFIG, 2 * 32 * 8 * 128 * 2),
        # head_dim 256 where hidden_size / heads would say 224.
        (GEMMA2_9B, 2 * 42 * 8 * 256 * 2),
        # One latent of kv_lora_rank + qk_rope_head_dim per layer, keys only.
        (DEEPSEEK_V2_LITE, 27 * (512 + 64) * 2),
        # A multimodal model's cache is its text_config's; its dtype may sit at the top.
        ({"torch_dtype": "float16", "text_config": SMALL}, 2 * 4 * 2 * 64 * 2),
        # Without key-value heads every head has its own; the dtype is then the weights'.
        ({k: v for k, v in SMALL.items() if k != "num_key_value_heads"}, 2 * 4 * 8 * 64 * 2),
        # vLLM serves a float32 checkpoint in 16 bits, and its cache with it.
        ({**SMALL, "torch_dtype": "float32"}, 2 * 4 * 2 * 64 * 2),
        # Multi-query attention keeps one head (StarCoder), unless Falcon's new decoder names more.
        ({**STARCODER, "multi_query": True}, 2 * 4 * 1 * 64 * 2),
        ({**FALCON_40B, "multi_query": True}, 2 * 4 * 2 * 64 * 2),
        # MiniCPM3's latent projections are expanded before vLLM caches them, values
        # padded to the keys' width (nope 64 + rope 32).
        (MINICPM3, 2 * 62 * 40 * 96 * 2),
        # DBRX and MPT give their key-value heads inside attn_config.
        ({**DBRX, "attn_config": {"kv_n_heads": 2}}, 2 * 4 * 2 * 64 * 2),
    ],
    ids=[
        "llama3-8b",
        "gemma2-head-dim",
        "latent",
        "text-config",
        "no-kv-heads",
        "float32",
        "multi-query",
        "falcon-new-decoder",
        "minicpm3",
        "attn-config",
    ],
)
def test_cache_per_token_comes_from_the_models_own_widths(tmp_path, config, per_token):
    assert garnel.inspect(folder_with(tmp_path, config)).kv_bytes_per_token() == per_token


@pytest.mark.parametrize(
    ("config", "sliding"),
    [
        (GEMMA2_9B, 21),  # every other layer
        ({**GEMMA2_9B, "model_type": "gemma3_text", "num_hidden_layers": 34}, 29),  # five of six
        ({**GEMMA2_9B, "layer_types": ["sliding_attention"] * 20 + ["full_attention"] * 22}, 20),
        ({**sf.LLAMA3_8B_CONFIG, "sliding_window": 4096, "use_sliding_window": False}, 0),
        ({**sf.LLAMA3_8B_CONFIG, "sliding_window": 4096}, 32),  # a window and no pattern
    ],
    ids=["gemma2", "gemma3", "layer-types", "switched-off", "all-layers"],
)
def test_sliding_layers_follow_the_config(tmp_path, config, sliding):
    layers = garnel.inspect(folder_with(tmp_path, config)).layers
    assert sum(layer.sliding_window is not None for layer in layers) == sliding


def rope(kind, factor, **more):
    return {"rope_scaling": {"rope_type": kind, "factor": factor, **more}}


@pytest.mark.parametrize(
    ("config", "context"),
    [
        ({"max_position_embeddings": 8192, "seq_length": 4096}, 4096),  # the smallest
        ({"max_position_embeddings": 8192, "model_max_length": 16384}, 16384),
        # vLLM stretches the context by a linear or dynamic RoPE factor...
        ({"max_position_embeddings": 4096, "rope_scaling": {"type": "linear", "factor": 4}}, 16384),
        ({"max_position_embeddings": 32768, **rope("dynamic", 2.0)}, 65536),
        # ...YaRN's from the original length...
        (
            {
                "max_position_embeddings": 40960,
                **rope("yarn", 4.0, original_max_position_embeddings=32768),
            },
            131072,
        ),
        # ...also as transformers 5 writes it, once or per layer type.
        (
            {
                "max_position_embeddings": 40960,
                "rope_parameters": {
                    "rope_type": "yarn",
                    "factor": 4.0,
                    "original_max_position_embeddings": 32768,
                    "rope_theta": 1e6,
                },
            },
            131072,
        ),
        (
            {
                "max_position_embeddings": 8192,
                "rope_parameters": {
                    "full_attention": {"rope_type": "linear", "factor": 2.0},
                    "sliding_attention": {"rope_type": "default"},
                },
            },
            16384,
        ),
        # ...but not Llama 3's, LongRoPE's, or Gemma 3's, whose length is already stretched.
        ({"max_position_embeddings": 131072, **rope("llama3", 8.0)}, 131072),
        ({"max_position_embeddings": 131072, **rope("longrope", 32.0)}, 131072),
        (
            {"model_type": "gemma3_text", "max_position_embeddings": 131072, **rope("linear", 8.0)},
            131072,
        ),
    ],
    ids=[
        "smallest",
        "model-max-length",
        "linear",
        "dynamic",
        "yarn",
        "rope-parameters",
        "rope-per-layer-type",
        "llama3",
        "longrope",
        "gemma3",
    ],
)
def test_the_models_own_context_is_vllms(tmp_path, config, context):
    shape = garnel.inspect(folder_with(tmp_path, {**SMALL, **config}))
    assert shape.context_length == context


def gemma3(**text_config):
    """A Gemma 3 config.json as Google ships it: the text model's keys that
    equal transformers' defaults are left out."""
    text = {"model_type": "gemma3_text", "sliding_window": 1024, **text_config}
    return {"model_type": "gemma3", "torch_dtype": "bfloat16", "text_config": text}


@pytest.mark.parametrize(
    ("config", "per_token"),
    [
        # gemma-3-4b-it names no heads, head width or context: 8 heads, 4 key-value heads of 256.
        (gemma3(hidden_size=2560, num_hidden_layers=34), 2 * 34 * 4 * 256 * 2),
        # gemma-3-12b-it names its heads but not their width, which is not 3840 / 16.
        (
            gemma3(
                hidden_size=3840,
                num_attention_heads=16,
                num_key_value_heads=8,
                num_hidden_layers=48,
            ),
            2 * 48 * 8 * 256 * 2,
        ),
    ],
    ids=["gemma-3-4b", "gemma-3-12b"],
)
def test_keys_a_config_leaves_to_transformers_defaults(tmp_path, config, per_token):
    shape = garnel.inspect(folder_with(tmp_path, config))
    assert (shape.kv_bytes_per_token(), shape.context_length) == (per_token, 131072)
    full = [layer for layer in shape.layers if layer.sliding_window is None]
    assert len(full) == len(shape.layers) // 6  # the last of every six


ROW = 8 * 256 * 2 * 2  # gemma-2-9b: one layer's keys and values for one token, bf16


@pytest.mark.parametrize(
    ("context", "sequences", "engine", "expected"),
    [
        # vLLM: 16-token blocks; a sliding layer ceil(min(4095 + 2048, 8192) / 16) + 1 blocks.
        (8192, 1, "vllm", 21 * ROW * 8192 + 21 * ROW * 385 * 16),
        # At a short context a sliding layer's extra block makes it the larger.
        (1000, 3, "vllm", 3 * 21 * ROW * (1008 + 1024)),
        # llama.cpp: each sequence padded to 256; sliding layers keep window + n_ubatch (512).
        (8192, 2, "llama.cpp", 2 * (21 * ROW * 8192 + 21 * ROW * 4608)),
        (1000, 1, "llama.cpp", 42 * ROW * 1024),
    ],
)
def test_each_engine_allocates_by_its_own_rules(tmp_path, context, sequences, engine, expected):
    shape = garnel.inspect(folder_with(tmp_path, GEMMA2_9B))
    assert shape.kv_bytes(context, sequences, engine=engine) == expected


@pytest.mark.parametrize(
    ("cache_type", "per_token"),
    [
        ("f32", 2 * 40 * 4),
        ("fp8", 2 * 40),
        ("q8_0", 2 * 2 * 34),  # 40 elements a row: two whole blocks of 32
        ("q4_0", 2 * 2 * 18),
        ("iq4_nl", 2 * 2 * 18),
        ("q5_1", 2 * 2 * 24),
    ],
)
def test_block_cache_types_count_whole_blocks(tmp_path, cache_type, per_token):
    config = {"num_hidden_layers": 1, "num_attention_heads": 1, "head_dim": 40}
    shape = garnel.inspect(folder_with(tmp_path, config))
    assert shape.kv_bytes_per_token(cache_type) == per_token


def test_an_engine_refuses_a_cache_type_it_does_not_have(tmp_path):
    shape = garnel.inspect(folder_with(tmp_path, sf.LLAMA3_8B_CONFIG))
    assert shape.kv_bytes(8192, cache_type="q8_0", engine="llama.cpp") == 8192 * 32 * 2 * 1088
    with pytest.raises(ValueError, match="vllm has no q8_0 cache"):
        shape.kv_bytes(8192, cache_type="q8_0")
    with pytest.raises(ValueError, match="llama.cpp has no fp8 cache"):
        shape.kv_bytes(8192, cache_type="fp8", engine="llama.cpp")


def test_an_index_whose_total_disagrees_warns_and_the_headers_win(tmp_path):
    tensors = sf.llama3_8b_tensors()[:5]
    total = sf.write_sharded(tmp_path, tensors, 2, sf.LLAMA3_8B_CONFIG, total_size=12345)
    with pytest.warns(UserWarning, match="total_size 12,345 disagrees"):
        shape = garnel.inspect(tmp_path)
    assert shape.weights_bytes == total


# Name, shape, ggml type, and its bytes by ggml's table (elements / block x block bytes).
QUANTIZED = [
    ("token_embd.weight", [512, 256], "Q4_K", 512 * 256 // 256 * 144),
    ("blk.0.ffn_down.weight", [256, 512], "Q6_K", 256 * 512 // 256 * 210),
    ("blk.0.attn_q.weight", [256, 256], "Q8_0", 256 * 256 // 32 * 34),
    ("blk.0.attn_k.weight", [64, 256], "Q5_K", 64 * 256 // 256 * 176),
    ("blk.0.attn_v.weight", [256, 64], "F16", 256 * 64 * 2),
    ("blk.0.attn_norm.weight", [256], "F32", 256 * 4),
    ("output.weight", [512, 256], "IQ4_XS", 512 * 256 // 256 * 136),
]


def test_gguf_weights_are_the_readers_bytes_per_tensor(tmp_path):
    import gguf

    path = tmp_path / "tiny-Q4_K_M.gguf"
    keys = {"block_count": 1, "head_count": 4, "embedding_length": 256, "context_length": 4096}
    # A vocabulary is skipped, not decoded: strings by their lengths, long arrays whole.
    keys.update(token_list=["a", "bb", "ccc" * 99], token_types=[1] * 70000)
    sf.write_gguf(path, "llama", [tensor[:3] for tensor in QUANTIZED], keys)
    shape = garnel.inspect(path)
    assert dict(shape.weights_by_dtype) == {type_: nbytes for _, _, type_, nbytes in QUANTIZED}
    assert shape.weights_bytes == sum(t.n_bytes for t in gguf.GGUFReader(path).tensors)
    assert shape.weights_bytes < path.stat().st_size  # metadata and padding are not weights
    # llama.cpp and f16 by default: 256 cells x 4 heads x (64 + 64) x 2 bytes.
    assert garnel.size(path, context=200) == garnel.Model(
        "tiny-Q4_K_M", shape.weights_bytes, 256 * 4 * 128 * 2
    )


@pytest.mark.parametrize(
    ("keys", "layers"),
    [
        # Per-layer counts; a layer with no key-value heads has no cache.
        ({"head_count_kv": [8, 0, 2]}, [(8, 32, 32), (0, 32, 32), (2, 32, 32)]),
        # A missing head_count_kv means head_count; widths default to embedding / heads.
        ({}, [(16, 32, 32)] * 3),
        ({"head_count_kv": 4, "key_length": 128, "value_length": 64}, [(4, 128, 64)] * 3),
        # Latent attention: one head, the latent as the key, no values.
        (
            {
                "head_count_kv": 1,
                "key_length": 576,
                "value_length": 512,
                "key_length_mla": 192,
                "value_length_mla": 128,
            },
            [(1, 576, 0)] * 3,
        ),
    ],
    ids=["per-layer", "missing-kv", "explicit-widths", "latent"],
)
def test_gguf_cache_shape_is_read_as_llama_cpp_reads_it(tmp_path, keys, layers):
    path = tmp_path / "m.gguf"
    keys = {"block_count": 3, "head_count": 16, "embedding_length": 512, **keys}
    sf.write_gguf(path, "deepseek2", [("w", [32, 32], "Q8_0")], keys)
    shape = garnel.inspect(path)
    assert [(la.kv_heads, la.key_width, la.value_width) for la in shape.layers] == layers


def test_gguf_sliding_layers_and_split_files(tmp_path):
    tensors = [(f"blk.{i}.w", [32, 32], "Q4_0") for i in range(6)]
    keys = {"block_count": 6, "head_count": 2, "embedding_length": 64, "sliding_window": 1024}
    sf.write_gguf(tmp_path / "g.gguf", "gemma2", tensors, keys, split_max_tensors=2)
    shape = garnel.inspect(tmp_path / "g-00002-of-00003.gguf")  # found from any one file
    names = [f"g-0000{n}-of-00003.gguf" for n in (1, 2, 3)]
    assert [pathlib.Path(file).name for file, _ in shape.files] == names
    assert shape.weights_bytes == 6 * 32 * 32 // 32 * 18
    assert [la.sliding_window for la in shape.layers] == [1024, None] * 3
    # Full layers: 2048 cells; sliding ones pad256(1024 + 512) = 1536; 2 x (32 + 32) x 2 bytes.
    assert shape.kv_bytes(2048) == 3 * (2048 + 1536) * 256
    (tmp_path / "g-00003-of-00003.gguf").unlink()
    with pytest.raises(ValueError, match="split file g-00003-of-00003.gguf is missing"):
        garnel.inspect(tmp_path / names[0])


@pytest.mark.parametrize(
    ("arch", "keys", "windows"),
    [
        # llama.cpp slides every other layer of gpt-oss over the file's window.
        ("gpt-oss", {"sliding_window": 128}, [128, None] * 2),
        # Llama 4 attends in chunks of 8192 on three layers of four; its files name no window.
        ("llama4", {}, [8192, 8192, 8192, None]),
    ],
)
def test_gguf_architectures_whose_pattern_llama_cpp_knows(tmp_path, arch, keys, windows):
    keys = {"block_count": 4, "head_count": 2, "embedding_length": 64, **keys}
    sf.write_gguf(tmp_path / "m.gguf", arch, [("w", [32, 32], "Q8_0")], keys)
    assert [layer.sliding_window for layer in garnel.inspect(tmp_path / "m.gguf").layers] == windows
