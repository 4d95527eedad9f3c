"""Models that are not all attention: recurrent layers (gated delta net, Mamba,
Mamba2) that keep a state per sequence and no tokens, and Llama 4's chunked
layers, sized by each engine's rules from published configurations.

Every figure below is worked out from the engine's rule and the config's
numbers. Shared arithmetic:
- an attention layer's token, `a` = 2 (keys and values) x kv heads x head width
  x 2 bytes (bf16 for config.json, f16 for GGUF);
- llama.cpp keeps `pad256(context)` tokens and each recurrent layer's state in
  f32: (conv + state matrix) elements x 4 bytes;
- vLLM pads a recurrent layer's state (conv and matrix in their dtypes) to a
  page of `block` attention tokens, `block` = 16 x ceil(state / (16 x a)),
  and keeps `ceil(context / block)` blocks of each attention layer.
"""

from __future__ import annotations

import json
import subprocess

import garnel
import pytest
import sizing_files as sf
from sizing_files import GARNEL
from test_sizing import folder_with

K4, K32, K128 = 4096, 32768, 131072

# Gated delta net, linear_conv_kernel_dim 4, 16 key and 32 value heads of 128:
# conv (4 - 1) x (2 x 16 x 128 + 32 x 128) = 24,576; matrix 32 x 128 x 128 = 524,288.
GDN = {
    "linear_conv_kernel_dim": 4,
    "linear_key_head_dim": 128,
    "linear_num_key_heads": 16,
    "linear_num_value_heads": 32,
    "linear_value_head_dim": 128,
}
# Qwen/Qwen3-Next-80B-A3B-Instruct config.json. 48 layers, every 4th full:
# 12 attention, 36 recurrent; a = 2 x 2 x 256 x 2 = 2,048.
QWEN3_NEXT = {
    "model_type": "qwen3_next",
    "hidden_size": 2048,
    "num_hidden_layers": 48,
    "num_attention_heads": 16,
    "num_key_value_heads": 2,
    "head_dim": 256,
    "full_attention_interval": 4,
    "max_position_embeddings": 262144,
    "torch_dtype": "bfloat16",
    **GDN,
}


def qwen35_text(**keys):
    """A Qwen3.5 text config, its layer_types written out (three linear, one full)."""
    layers = keys["num_hidden_layers"]
    types = ["full_attention" if (i + 1) % 4 == 0 else "linear_attention" for i in range(layers)]
    return {"layer_types": types, "mamba_ssm_dtype": "float32", "dtype": "bfloat16", **GDN, **keys}


# Qwen3.5-4B (qwen3_5): 32 layers, 8 attention, 24 recurrent; a = 2 x 4 x 256 x 2 = 4,096.
QWEN35_4B = {
    "model_type": "qwen3_5",
    "text_config": qwen35_text(
        model_type="qwen3_5_text",
        hidden_size=2560,
        num_hidden_layers=32,
        num_attention_heads=16,
        num_key_value_heads=4,
        head_dim=256,
        max_position_embeddings=262144,
    ),
}
# Qwen3.6-35B-A3B (qwen3_5_moe): 40 layers, 10 attention, 30 recurrent; a = 2,048.
QWEN36_35B = {
    "model_type": "qwen3_5_moe",
    "text_config": qwen35_text(
        model_type="qwen3_5_moe_text",
        hidden_size=2048,
        num_hidden_layers=40,
        num_attention_heads=16,
        num_key_value_heads=2,
        head_dim=256,
        max_position_embeddings=262144,
    ),
}
# ai21labs/Jamba-v0.1: attention where i % 8 == 4 (4 layers), Mamba on 28.
# Mamba: inner 2 x 4096 = 8,192, conv 3 x 8,192 = 24,576, matrix 8,192 x 16 = 131,072;
# a = 2 x 8 x (4096 / 32) x 2 = 4,096.
JAMBA = {
    "model_type": "jamba",
    "hidden_size": 4096,
    "num_hidden_layers": 32,
    "num_attention_heads": 32,
    "num_key_value_heads": 8,
    "attn_layer_period": 8,
    "attn_layer_offset": 4,
    "mamba_d_conv": 4,
    "mamba_d_state": 16,
    "mamba_expand": 2,
    "max_position_embeddings": 262144,
    "torch_dtype": "bfloat16",
}
# nvidia/Nemotron-H-8B-Base-8K: 24 Mamba2 (M), 4 attention (*), 24 MLP (-).
# Mamba2: inner 128 x 64 = 8,192, conv 3 x (8,192 + 2 x 8 x 128) = 30,720,
# matrix 128 x 64 x 128 = 1,048,576; a = 2 x 8 x 128 x 2 = 4,096.
NEMOTRON_H = {
    "model_type": "nemotron_h",
    "hybrid_override_pattern": "M-M-M-M*-M-M-M-M-M*-M-M-M-M-M*-M-M-M-M-M*-M-M-M-M-M-",
    "hidden_size": 4096,
    "num_hidden_layers": 52,
    "num_attention_heads": 32,
    "num_key_value_heads": 8,
    "ssm_state_size": 128,
    "mamba_num_heads": 128,
    "mamba_head_dim": 64,
    "n_groups": 8,
    "conv_kernel": 4,
    "max_position_embeddings": 8192,
    "torch_dtype": "bfloat16",
}

# name: (config, bytes a token, state a sequence {engine}, kv_bytes {engine} at 4K, 32K, 128K)
HYBRIDS = {
    # vLLM: state 24,576 x 2 + 524,288 x 2 = 1,097,728; block 16 x ceil(1,097,728 / 32,768)
    # = 544, page 544 x 2,048 = 1,114,112, 36 pages = 40,108,032. Attention 12 x 2,048 x
    # 4,352 (8 blocks) = 106,954,752; 32K: 61 blocks, 33,184 x 24,576 = 815,529,984;
    # 128K: 241 blocks, 131,104 x 24,576 = 3,222,011,904.
    # llama.cpp: 36 x 548,864 x 4 = 79,036,416; attention 24,576 x context.
    "qwen3-next-80b-a3b": (
        QWEN3_NEXT,
        12 * 2048,
        {"vllm": 40_108_032, "llama.cpp": 79_036_416},
        {
            "vllm": (147_062_784, 855_638_016, 3_262_119_936),
            "llama.cpp": (179_699_712, 884_342_784, 3_300_261_888),
        },
    ),
    # vLLM: the matrix in f32 (mamba_ssm_dtype): 24,576 x 2 + 524,288 x 4 = 2,146,304;
    # block 16 x ceil(2,146,304 / 65,536) = 528, page 2,162,688, 24 pages = 51,904,512.
    # Attention 8 x 4,096 = 32,768 a token: 4,224 / 33,264 / 131,472 cells.
    # llama.cpp: 24 x 548,864 x 4 = 52,690,944.
    "qwen3.5-4b": (
        QWEN35_4B,
        8 * 4096,
        {"vllm": 51_904_512, "llama.cpp": 52_690_944},
        {
            "vllm": (190_316_544, 1_141_899_264, 4_359_979_008),
            "llama.cpp": (186_908_672, 1_126_432_768, 4_347_658_240),
        },
    ),
    # vLLM: block 16 x ceil(2,146,304 / 32,768) = 1,056, page 2,162,688, 30 pages =
    # 64,880,640; attention 10 x 2,048 = 20,480 a token: 4,224 / 33,792 / 132,000 cells.
    # llama.cpp: 30 x 548,864 x 4 = 65,863,680.
    "qwen3.6-35b-a3b": (
        QWEN36_35B,
        10 * 2048,
        {"vllm": 64_880_640, "llama.cpp": 65_863_680},
        {
            "vllm": (151_388_160, 756_940_800, 2_768_240_640),
            "llama.cpp": (149_749_760, 736_952_320, 2_750_218_240),
        },
    ),
    # vLLM: state (24,576 + 131,072) x 2 = 311,296; block 16 x ceil(311,296 / 65,536) = 80,
    # page 327,680, 28 pages = 9,175,040; attention 4 x 4,096 = 16,384 a token:
    # 4,160 / 32,800 / 131,120 cells. llama.cpp: 28 x 155,648 x 4 = 17,432,576.
    "jamba-v0.1": (
        JAMBA,
        4 * 4096,
        {"vllm": 9_175_040, "llama.cpp": 17_432_576},
        {
            "vllm": (77_332_480, 546_570_240, 2_157_445_120),
            "llama.cpp": (84_541_440, 554_303_488, 2_164_916_224),
        },
    ),
    # vLLM: state (30,720 + 1,048,576) x 2 = 2,158,592; block 16 x ceil(2,158,592 / 65,536)
    # = 528, page 2,162,688, 24 pages = 51,904,512; attention 4 x 4,096 = 16,384 a token:
    # 4,224 / 33,264 / 131,472 cells. llama.cpp: 24 x 1,079,296 x 4 = 103,612,416.
    "nemotron-h-8b": (
        NEMOTRON_H,
        4 * 4096,
        {"vllm": 51_904_512, "llama.cpp": 103_612_416},
        {
            "vllm": (121_110_528, 596_901_888, 2_205_941_760),
            "llama.cpp": (170_721_280, 640_483_328, 2_251_096_064),
        },
    ),
}


@pytest.mark.parametrize(("config", "per_token", "state", "kv"), HYBRIDS.values(), ids=HYBRIDS)
def test_hybrid_models_count_attention_tokens_and_a_state_per_sequence(
    tmp_path, config, per_token, state, kv
):
    shape = garnel.inspect(folder_with(tmp_path, config))
    assert shape.kv_bytes_per_token() == per_token
    for engine, figures in kv.items():
        assert shape.state_bytes_per_sequence(engine=engine) == state[engine]
        assert [shape.kv_bytes(c, engine=engine) for c in (K4, K32, K128)] == list(figures)
        # The state is per sequence, the attention per token of each sequence.
        assert shape.kv_bytes(K4, 3, engine=engine) == 3 * figures[0]


# The same models as llama.cpp's converter writes them; the figures are the
# llama.cpp ones above (the f16 cache takes 2 bytes, as bf16 does).
GGUFS = {
    # ssm.inner_size 32 x 128, state_size 128 (key head), group_count 16 (key heads):
    # n_embd_r = 3 x (4,096 + 2 x 16 x 128) = 24,576, n_embd_s = 128 x 4,096 = 524,288.
    "qwen3next": (
        {
            "block_count": 48,
            "head_count": 16,
            "head_count_kv": 2,
            "key_length": 256,
            "value_length": 256,
            "full_attention_interval": 4,
            "ssm_conv_kernel": 4,
            "ssm_inner_size": 4096,
            "ssm_state_size": 128,
            "ssm_group_count": 16,
            "ssm_time_step_rank": 32,
        },
        "qwen3-next-80b-a3b",
    ),
    "qwen35": (
        {
            "block_count": 32,
            "head_count": 16,
            "head_count_kv": 4,
            "key_length": 256,
            "value_length": 256,
            "ssm_conv_kernel": 4,
            "ssm_inner_size": 4096,
            "ssm_state_size": 128,
            "ssm_group_count": 16,
            "ssm_time_step_rank": 32,
        },
        "qwen3.5-4b",
    ),
    # Recurrent where head_count_kv is 0; Mamba reads no group count:
    # n_embd_r = 3 x 8,192, n_embd_s = 16 x 8,192.
    "jamba": (
        {
            "block_count": 32,
            "head_count": 32,
            "head_count_kv": [8 if i % 8 == 4 else 0 for i in range(32)],
            "ssm_conv_kernel": 4,
            "ssm_inner_size": 8192,
            "ssm_state_size": 16,
            "ssm_time_step_rank": 256,
        },
        "jamba-v0.1",
    ),
    # Recurrent where head_count_kv and feed_forward_length are both 0; an MLP layer
    # (no heads, a feed-forward) keeps nothing. n_embd_r = 3 x (8,192 + 2 x 8 x 128),
    # n_embd_s = 128 x 8,192.
    "nemotron_h": (
        {
            "block_count": 52,
            "head_count": [32 * (c == "*") for c in NEMOTRON_H["hybrid_override_pattern"]],
            "head_count_kv": [8 * (c == "*") for c in NEMOTRON_H["hybrid_override_pattern"]],
            "feed_forward_length": [
                21504 * (c == "-") for c in NEMOTRON_H["hybrid_override_pattern"]
            ],
            "key_length": 128,
            "value_length": 128,
            "ssm_conv_kernel": 4,
            "ssm_inner_size": 8192,
            "ssm_state_size": 128,
            "ssm_group_count": 8,
            "ssm_time_step_rank": 128,
        },
        "nemotron-h-8b",
    ),
}


@pytest.mark.parametrize(("arch", "keys", "name"), [(a, *v) for a, v in GGUFS.items()], ids=GGUFS)
def test_gguf_hybrids_are_sized_as_llama_cpp_reads_them(tmp_path, arch, keys, name):
    path = tmp_path / f"{arch}.gguf"
    sf.write_gguf(path, arch, [("w", [32, 32], "Q8_0")], {"embedding_length": 4096, **keys})
    shape = garnel.inspect(path)
    _, per_token, state, kv = HYBRIDS[name]
    assert shape.kv_bytes_per_token() == per_token
    assert shape.state_bytes_per_sequence() == state["llama.cpp"]
    assert [shape.kv_bytes(c) for c in (K4, K32, K128)] == list(kv["llama.cpp"])


# meta-llama/Llama-4-Scout-17B-16E-Instruct text_config: 48 layers, RoPE (chunked) on
# three of four (no_rope_layers 1, 1, 1, 0), chunks of 8,192; a = 2 x 8 x 128 x 2 = 4,096.
LLAMA4_SCOUT = {
    "model_type": "llama4",
    "text_config": {
        "model_type": "llama4_text",
        "hidden_size": 5120,
        "num_hidden_layers": 48,
        "num_attention_heads": 40,
        "num_key_value_heads": 8,
        "head_dim": 128,
        "attention_chunk_size": 8192,
        "no_rope_layers": [1, 1, 1, 0] * 12,
        "max_position_embeddings": 10485760,
        "rope_scaling": {"rope_type": "llama3", "factor": 16.0},
        "torch_dtype": "bfloat16",
    },
}


@pytest.mark.parametrize(
    ("engine", "capped", "expected"),
    [
        # vLLM: 36 chunked layers keep ceil(min(8,192 + 2,048, context) / 16) blocks, at most
        # 10,240 tokens; 12 full ones every token. 4K: 48 x 4,096 x 4,096 = 805,306,368;
        # 32K: (12 x 32,768 + 36 x 10,240) x 4,096 = 3,120,562,176;
        # 128K: (12 x 131,072 + 36 x 10,240) x 4,096 = 7,952,400,384.
        ("vllm", True, (805_306_368, 3_120_562_176, 7_952_400_384)),
        # With VLLM_ALLOW_CHUNKED_LOCAL_ATTN_WITH_HYBRID_KV_CACHE=0 every layer is full:
        # 48 x 4,096 x context.
        ("vllm", False, (805_306_368, 6_442_450_944, 25_769_803_776)),
        # llama.cpp: chunked layers keep pad256(min(context, 8,192 + 512)) = 8,704 cells:
        # 32K: (12 x 32,768 + 36 x 8,704) x 4,096 = 2,894,069,760;
        # 128K: (12 x 131,072 + 36 x 8,704) x 4,096 = 7,725,907,968. The cap is llama.cpp's own.
        ("llama.cpp", True, (805_306_368, 2_894_069_760, 7_725_907_968)),
        ("llama.cpp", False, (805_306_368, 2_894_069_760, 7_725_907_968)),
    ],
)
def test_llama4_chunked_layers_are_capped_as_each_engine_caps_them(
    tmp_path, engine, capped, expected
):
    shape = garnel.inspect(folder_with(tmp_path, LLAMA4_SCOUT))
    assert shape.kv_bytes_per_token() == 48 * 4096
    figures = [shape.kv_bytes(c, engine=engine, chunked_cap=capped) for c in (K4, K32, K128)]
    assert figures == list(expected)


def garnel_size(*args):
    command = [*GARNEL, "size", *map(str, args)]
    return subprocess.run(command, capture_output=True, text=True, check=False)


def test_size_explains_the_state_and_switches_the_chunked_cap(tmp_path):
    (tmp_path / "qwen3-next").mkdir()
    (tmp_path / "scout").mkdir()
    qwen = folder_with(tmp_path / "qwen3-next", QWEN3_NEXT)
    llama4 = folder_with(tmp_path / "scout", LLAMA4_SCOUT)
    run = garnel_size(qwen, llama4, "--context", K32, "--explain")
    assert run.returncode == 0, run.stderr
    assert [entry["kvBytes"] for entry in json.loads(run.stdout)] == [855_638_016, 3_120_562_176]
    assert "attention blocks of 544 tokens" in run.stderr
    assert (
        "36 recurrent layers x 1,114,112 bytes (a page for (24,576 + 524,288) elements)"
        " x 1 sequence(s) = 40,108,032 bytes of state" in run.stderr
    )
    assert "chunked attention 8192" in run.stderr
    run = garnel_size(llama4, "--context", K32, "--no-chunked-cap", "--explain")
    assert json.loads(run.stdout)[0]["kvBytes"] == 6_442_450_944
    assert "chunked attention 8192 counted whole" in run.stderr


# A Granite 4.0-H layout: layer_types "mamba" and "attention", Mamba2 over
# mamba_expand x hidden_size = 2 x 1,024. conv 3 x (2,048 + 2 x 1 x 128) = 6,912,
# matrix 32 x 64 x 128 = 262,144: 269,056 elements.
GRANITE_H = {
    "model_type": "granitemoehybrid",
    "hidden_size": 1024,
    "num_hidden_layers": 4,
    "num_attention_heads": 8,
    "num_key_value_heads": 4,
    "layer_types": ["mamba", "mamba", "mamba", "attention"],
    "mamba_expand": 2,
    "mamba_n_heads": 32,
    "mamba_d_head": 64,
    "mamba_d_state": 128,
    "mamba_n_groups": 1,
    "mamba_d_conv": 4,
    "torch_dtype": "bfloat16",
}


@pytest.mark.parametrize(
    ("config", "engine", "kinds"),
    [
        # vLLM: 24 pages of 2,162,688 bytes; a = 4,096 on 4 layers.
        (
            NEMOTRON_H,
            "vllm",
            {
                "recurrent": (24, 0, 51_904_512),
                "no cache": (24, 0, 0),
                "full attention": (4, 16_384, 0),
            },
        ),
        # vLLM: state 269,056 x 2 = 538,112, a = 2 x 4 x 128 x 2 = 2,048: block
        # 16 x ceil(538,112 / 32,768) = 272, page 557,056, three of them.
        (GRANITE_H, "vllm", {"recurrent": (3, 0, 1_671_168), "full attention": (1, 2_048, 0)}),
        # Jamba with its layers_block_type written out: the figures of jamba-v0.1 above.
        (
            {
                **{k: v for k, v in JAMBA.items() if not k.startswith("attn_layer")},
                "layers_block_type": ["attention" if i % 8 == 4 else "mamba" for i in range(32)],
            },
            "vllm",
            {"recurrent": (28, 0, 9_175_040), "full attention": (4, 16_384, 0)},
        ),
        # llama.cpp: 3 x 269,056 x 4 bytes.
        (GRANITE_H, "llama.cpp", {"recurrent": (3, 0, 3_228_672), "full attention": (1, 2_048, 0)}),
    ],
)
def test_the_shape_tells_each_kind_of_layer_apart(tmp_path, config, engine, kinds):
    shape = garnel.inspect(folder_with(tmp_path, config))
    summary = shape.cache_by_kind(engine=engine)
    assert {k.kind.value: (k.layers, k.token_bytes, k.sequence_bytes) for k in summary} == kinds
