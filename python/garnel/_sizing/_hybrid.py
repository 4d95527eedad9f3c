"""Which layers cache what, for models that are not all attention.

A hybrid model mixes attention layers with recurrent ones (Mamba, Mamba2,
gated delta net) that keep a fixed state per sequence instead of tokens, and
Llama 4 attends within chunks on three layers of four. The engines find these
layers from the model's own keys; sizing reads them the same way and refuses,
by key and value, any layer type, pattern or architecture it does not know,
rather than count it as full attention.

The recurrent state is counted in elements, the same for both engines:
llama.cpp's per-layer `r` (n_embd_r) and `s` (n_embd_s) rows
(src/llama-hparams.cpp), vLLM's conv and temporal state shapes
(vllm/model_executor/layers/mamba/mamba_utils.py, MambaStateShapeCalculator).

Read at: ggml-org/llama.cpp src/llama-arch.cpp 00395eb (architecture names,
llm_arch_is_recurrent, llm_arch_is_hybrid), src/llama-model.cpp 0034230
(load_hparams, create_memory), src/llama-hparams.cpp 01b77b5; vllm-project/vllm
mamba_utils.py 02d7108, v1/kv_cache_interface.py 001cabc, models/config.py
0144dd5 (the block arithmetic, unchanged since for mamba_cache_mode "none",
which hybrid models run in: engine/arg_utils.py leaves their prefix caching
off by default), models/jamba.py 002b4cf, nemotron_h.py, granitemoehybrid.py,
qwen3_next.py, llama4.py.
"""

from __future__ import annotations

from collections.abc import Mapping, Sequence
from dataclasses import replace
from typing import Any, Callable, Protocol

from .._errors import SizingError
from ._shape import TORCH_DTYPES, CacheType, LayerCache

FULL, SLIDING, CHUNKED, RECURRENT, NONE = "full", "sliding", "chunked", "recurrent", "none"


class ConfigKeys(Protocol):
    """The reader of a config.json, as `_config` builds it."""

    source: str
    text: Mapping[str, object]

    def count(self, keys: Sequence[str]) -> int: ...


# config.json, read as vLLM reads it.
#
# `layer_types` values (transformers' configs; vLLM's qwen3_next.py,
# qwen3_5.py and granitemoehybrid.py build each layer from them).
LAYER_TYPES = {
    "full_attention": FULL,
    "attention": FULL,  # granitemoehybrid
    "sliding_attention": SLIDING,
    "chunked_attention": CHUNKED,  # llama4 (transformers' Llama4TextConfig)
    "linear_attention": RECURRENT,  # qwen3_next, qwen3_5: gated delta net
    "mamba": RECURRENT,  # granitemoehybrid: Mamba2
}
# nemotron_h.py builds layer i from hybrid_override_pattern[i]
# (ALL_DECODER_LAYER_TYPES): M Mamba2, * attention, - MLP, E MoE.
NEMOTRON_PATTERN = {"M": RECURRENT, "*": FULL, "-": NONE, "E": NONE}
# The same as transformers' layers_block_type spells it, which Jamba's and
# Nemotron-H's configs compute and some write out.
BLOCK_TYPES = {"attention": FULL, "mamba": RECURRENT, "mlp": NONE, "moe": NONE}
GATED_DELTA_NET_TYPES = (
    "qwen3_next",
    "qwen3_5",
    "qwen3_5_text",
    "qwen3_5_moe",
    "qwen3_5_moe_text",
)
LLAMA4_TYPES = ("llama4", "llama4_text")
# Families vLLM serves with recurrent or linear-attention layers whose state
# sizing does not compute; refused by name rather than sized as attention.
UNKNOWN_RECURRENT_TYPES = (
    "mamba",
    "mamba2",
    "falcon_mamba",
    "falcon_h1",
    "bamba",
    "zamba",
    "zamba2",
    "plamo2",
    "minimax",
    "minimax_text_01",
    "lfm2",
    "lfm2_moe",
    "kimi_linear",
    "phi4flash",
    "rwkv",
    "rwkv6",
    "rwkv7",
    "recurrent_gemma",
    "xlstm",
)
# Keys that place recurrent or local layers; left over after a family's own
# reading, each means a pattern sizing does not know.
PATTERN_KEYS = (
    "hybrid_override_pattern",
    "layers_block_type",
    "attn_layer_period",
    "attn_layer_offset",
    "attn_layer_indices",
    "attn_type_list",
    "full_attn_idxs",
    "full_attention_interval",
    "linear_attn_config",
    "mamba_step",
    "attention_chunk_size",
    "ssm_cfg",
    "mamba_d_state",
    "ssm_state_size",
    "linear_num_value_heads",
)


def config_layers(
    keys: ConfigKeys, architecture: str | None, layers: tuple[LayerCache, ...]
) -> tuple[tuple[LayerCache, ...], CacheType | None]:
    """`layers` (one per layer, all attention) marked by what each caches,
    and the dtype vLLM keeps the recurrent state matrix in where the model
    names one. Raises SizingError naming the key and value it does not know."""
    arch = architecture or ""
    if arch in UNKNOWN_RECURRENT_TYPES:
        raise SizingError(
            f"{keys.source}: 'model_type' is {arch!r}, whose recurrent layers sizing does not know"
        )
    kinds, used = _config_kinds(keys, arch, len(layers))
    text = keys.text
    for key in PATTERN_KEYS:
        if key not in used and text.get(key) is not None:
            raise SizingError(
                f"{keys.source}: {key!r} is {_short(text[key])} for model_type {arch!r},"
                " a layer pattern sizing does not know"
            )
    if kinds is None:
        return layers, None
    conv, ssm = _config_state(keys, arch) if RECURRENT in kinds else (0, 0)
    chunk = keys.count(("attention_chunk_size",)) if CHUNKED in kinds else None
    marked = []
    for layer, kind in zip(layers, kinds):
        if kind == RECURRENT:
            marked.append(LayerCache(0, 0, 0, conv_state=conv, ssm_state=ssm))
        elif kind == NONE:
            marked.append(LayerCache(0, 0, 0))
        elif kind == CHUNKED:
            marked.append(replace(layer, sliding_window=None, chunk=chunk))
        else:
            marked.append(layer)
    return tuple(marked), _state_dtype(keys, arch)


def _config_kinds(
    keys: ConfigKeys, arch: str, count: int
) -> tuple[list[str] | None, tuple[str, ...]]:
    """Each layer's kind and the keys that said so; (None, ()) for a model
    whose layers the attention reading already has right."""
    text, source = keys.text, keys.source
    used: tuple[str, ...] = ()
    if arch in ("jamba", "nemotron_h") and isinstance(text.get("layers_block_type"), list):
        blocks = _listed(keys, "layers_block_type", BLOCK_TYPES, count)
        return blocks, ("layers_block_type", "mamba_d_state", "ssm_state_size")
    if arch == "nemotron_h":
        used = ("hybrid_override_pattern", "ssm_state_size")
        pattern = text.get("hybrid_override_pattern")
        if not isinstance(pattern, str) or len(pattern) != count:
            raise SizingError(
                f"{source}: 'hybrid_override_pattern' is {_short(pattern)},"
                f" not one letter for each of {count} layers"
            )
        for i, letter in enumerate(pattern):
            if letter not in NEMOTRON_PATTERN:
                raise SizingError(
                    f"{source}: 'hybrid_override_pattern' has {letter!r} at layer {i},"
                    " a layer sizing does not know"
                )
        return [NEMOTRON_PATTERN[letter] for letter in pattern], used
    if arch == "jamba":
        # transformers' JambaConfig.layers_block_type, which vllm's jamba.py
        # builds its layers from: attention where i % period == offset.
        period = keys.count(("attn_layer_period",))
        offset = keys.count(("attn_layer_offset",))
        if period == 0:
            raise SizingError(f"{source}: 'attn_layer_period' is 0, not a period of layers")
        kinds = [FULL if i % period == offset else RECURRENT for i in range(count)]
        return kinds, ("attn_layer_period", "attn_layer_offset", "mamba_d_state")
    if arch in GATED_DELTA_NET_TYPES:
        used = ("full_attention_interval", "linear_num_value_heads")
    elif arch in LLAMA4_TYPES:
        used = ("attention_chunk_size",)
    elif arch == "granitemoehybrid":
        used = ("mamba_d_state",)
    types = text.get("layer_types")
    if isinstance(types, list):
        return _layer_types(keys, arch, types, count), used
    if arch in GATED_DELTA_NET_TYPES:
        # transformers' Qwen3NextConfig: linear attention but on every
        # full_attention_interval-th layer (4 when the config gives none).
        every = _interval(keys)
        return [FULL if (i + 1) % every == 0 else RECURRENT for i in range(count)], used
    if arch in LLAMA4_TYPES and text.get("attention_chunk_size") is not None:
        return _llama4_kinds(keys, count), used
    return None, used


def _listed(keys: ConfigKeys, key: str, known: Mapping[str, str], count: int) -> list[str]:
    """The kind of each layer a list of names gives, every name one sizing knows."""
    values = keys.text.get(key)
    assert isinstance(values, list)
    if len(values) != count:
        raise SizingError(f"{keys.source}: {key!r} names {len(values)} of {count} layers")
    kinds = []
    for i, value in enumerate(values):
        kind = known.get(value) if isinstance(value, str) else None
        if kind is None:
            raise SizingError(
                f"{keys.source}: {key!r} has {_short(value)} at layer {i},"
                " a kind of layer sizing does not know"
            )
        kinds.append(kind)
    return kinds


def _layer_types(keys: ConfigKeys, arch: str, types: list[object], count: int) -> list[str]:
    kinds = []
    for value, kind in zip(types, _listed(keys, "layer_types", LAYER_TYPES, count)):
        if kind == RECURRENT and arch not in (*GATED_DELTA_NET_TYPES, "granitemoehybrid"):
            raise SizingError(
                f"{keys.source}: 'layer_types' has {value!r} for model_type {arch!r},"
                " whose recurrent state sizing does not know"
            )
        if kind == CHUNKED and keys.text.get("attention_chunk_size") is None:
            kind = FULL  # vLLM's llama4.py chunks only with a chunk size
        kinds.append(kind)
    return kinds


def _llama4_kinds(keys: ConfigKeys, count: int) -> list[str]:
    # vllm's llama4.py: a layer whose no_rope_layers entry is 0 (NoPE)
    # attends to everything, the others within attention_chunk_size.
    # transformers fills an empty or missing list as (i + 1) % 4 != 0.
    flags = keys.text.get("no_rope_layers")
    if not flags:
        every = 4
        if keys.text.get("no_rope_layer_interval") is not None:
            every = keys.count(("no_rope_layer_interval",)) or 4
        flags = [int((i + 1) % every != 0) for i in range(count)]
    if not isinstance(flags, list) or len(flags) != count:
        raise SizingError(
            f"{keys.source}: 'no_rope_layers' is {_short(flags)}, not one flag per layer"
        )
    return [CHUNKED if flag else FULL for flag in flags]


def _interval(keys: ConfigKeys) -> int:
    if keys.text.get("full_attention_interval") is None:
        return 4
    every = keys.count(("full_attention_interval",))
    if every == 0:
        raise SizingError(f"{keys.source}: 'full_attention_interval' is 0, not an interval")
    return every


def _config_state(keys: ConfigKeys, arch: str) -> tuple[int, int]:
    """(conv, state matrix) elements of one recurrent layer for one sequence."""
    n = keys.count
    if arch in GATED_DELTA_NET_TYPES:
        # MambaStateShapeCalculator.gated_delta_net_state_shape: conv over
        # q, k and v; one key x value matrix per value head.
        k_heads, v_heads = n(("linear_num_key_heads",)), n(("linear_num_value_heads",))
        k_dim, v_dim = n(("linear_key_head_dim",)), n(("linear_value_head_dim",))
        conv = (_kernel(keys, "linear_conv_kernel_dim") - 1) * (
            2 * k_heads * k_dim + v_heads * v_dim
        )
        return conv, v_heads * v_dim * k_dim
    if arch == "jamba":
        # mamba1_state_shape with intermediate_size = mamba_expand x hidden_size.
        inner = n(("mamba_expand",)) * n(("hidden_size",))
        return (_kernel(keys, "mamba_d_conv") - 1) * inner, inner * n(("mamba_d_state",))
    if arch == "nemotron_h":
        # mamba2_state_shape with intermediate_size = mamba_num_heads x mamba_head_dim.
        heads, head_dim = n(("mamba_num_heads",)), n(("mamba_head_dim",))
        state, groups = n(("ssm_state_size",)), n(("n_groups",))
        conv = (_kernel(keys, "conv_kernel") - 1) * (heads * head_dim + 2 * groups * state)
        return conv, heads * head_dim * state
    # granitemoehybrid: mamba2_state_shape with intermediate = mamba_expand x hidden_size.
    inner = n(("mamba_expand",)) * n(("hidden_size",))
    state, groups = n(("mamba_d_state",)), n(("mamba_n_groups",))
    conv = (_kernel(keys, "mamba_d_conv") - 1) * (inner + 2 * groups * state)
    return conv, n(("mamba_n_heads",)) * n(("mamba_d_head",)) * state


def _kernel(keys: ConfigKeys, key: str) -> int:
    kernel = keys.count((key,))
    if kernel == 0:
        raise SizingError(f"{keys.source}: {key!r} is 0, not a convolution's width")
    return kernel


def _state_dtype(keys: ConfigKeys, arch: str) -> CacheType | None:
    # vllm/model_executor/models/config.py sets mamba_ssm_cache_dtype from the
    # config for Qwen3.5 (mamba_ssm_dtype) and Nemotron-H
    # (mamba_ssm_cache_dtype, else float16); the others keep the model's dtype.
    key = {"nemotron_h": "mamba_ssm_cache_dtype"}.get(arch, "mamba_ssm_dtype")
    if arch not in (*GATED_DELTA_NET_TYPES[1:], "nemotron_h"):
        return None
    value = keys.text.get(key)
    if value is None:
        return CacheType.F16 if arch == "nemotron_h" else None
    dtype = TORCH_DTYPES.get(str(value).removeprefix("torch."))
    if dtype is None:
        raise SizingError(f"{keys.source}: {key!r} is {_short(value)}, not a dtype sizing knows")
    return dtype


def _short(value: object) -> str:
    text = repr(value)
    return text if len(text) <= 60 else text[:57] + "..."


# GGUF, read as llama.cpp reads it (src/llama-arch.cpp at 00395eb, LLM_ARCH_NAMES).
def _words(text: str) -> frozenset[str]:
    return frozenset(text.split())


LLAMA_CPP_ARCHITECTURES = _words(
    """llama llama4 deci falcon grok gpt2 gptj gptneox mpt baichuan starcoder refact bert
    modern-bert nomic-bert nomic-bert-moe neo-bert jina-bert-v2 jina-bert-v3 eurobert bloom
    stablelm qwen qwen2 qwen2moe qwen2vl qwen3 qwen3moe qwen3next qwen3vl qwen3vlmoe qwen35
    qwen35moe phi2 phi3 phimoe plamo plamo2 plamo3 codeshell orion internlm2 minicpm minicpm3
    gemma gemma2 gemma3 gemma3n gemma4 gemma4-assistant gemma-embedding starcoder2 mamba
    mamba2 jamba falcon-h1 xverse command-r cohere2 cohere2moe dbrx olmo olmo2 olmoe openelm
    arctic deepseek deepseek2 deepseek2-ocr deepseek32 deepseek4 chatglm glm4 glm4moe glm-dsa
    bitnet t5 t5encoder jais jais2 nemotron nemotron_h nemotron_h_moe exaone exaone4
    exaone-moe rwkv6 rwkv6qwen2 rwkv7 arwkv7 granite granitemoe granitehybrid chameleon
    wavtokenizer-dec plm bailingmoe bailingmoe2 dots1 arcee afmoe laguna ernie4_5
    ernie4_5-moe hunyuan-moe hunyuan-dense hunyuan_vl hy_v3 smollm3 gpt-oss lfm2 lfm2moe
    dream smallthinker llada llada-moe seed_oss grovemoe apertus minimax-m2 cogvlm rnd1
    pangu-embedded mistral3 eagle3 dflash mistral4 paddleocr mimo2 step35 llama-embed
    maincoder kimi-linear talkie mellum"""
)
# llm_arch_is_recurrent and llm_arch_is_hybrid name these; the ones without
# a rule below keep a state (RWKV's, LFM2's short convolution, ...) or a
# layout sizing does not compute.
GGUF_RECURRENT = _words(
    """mamba mamba2 rwkv6 rwkv6qwen2 rwkv7 arwkv7 jamba falcon-h1 plamo2 granitehybrid lfm2
    lfm2moe nemotron_h nemotron_h_moe qwen3next kimi-linear qwen35 qwen35moe deepseek4"""
)
# llama_model::load_hparams: which layers are recurrent, per architecture.
GGUF_RULES = ("jamba", "granitehybrid", "nemotron_h", "qwen3next", "qwen35", "qwen35moe")
# Architectures that read ssm.group_count (n_group) into n_embd_r.
GGUF_GROUPED = ("granitehybrid", "nemotron_h", "qwen3next", "qwen35", "qwen35moe")


def check_gguf_architecture(arch: str, source: str) -> None:
    """Refuses an architecture llama.cpp does not know, or one whose
    recurrent layers sizing does not lay out."""
    if arch not in LLAMA_CPP_ARCHITECTURES:
        raise SizingError(
            f"{source}: 'general.architecture' is {arch!r}, an architecture llama.cpp does not know"
        )
    if arch in GGUF_RECURRENT and arch not in GGUF_RULES:
        raise SizingError(
            f"{source}: 'general.architecture' is {arch!r}, whose recurrent layers sizing"
            " does not know"
        )


def gguf_layers(
    get: Callable[[str], Any],
    count: Callable[[str], int],
    arch: str,
    layers: tuple[LayerCache, ...],
    source: str,
) -> tuple[LayerCache, ...]:
    """`layers` with llama.cpp's recurrent layers marked and their attention
    dropped; the others unchanged."""
    if arch not in GGUF_RULES:
        return layers
    if get("nextn_predict_layers") is not None and count("nextn_predict_layers") > 0:
        raise SizingError(
            f"{source}: '{arch}.nextn_predict_layers' is {get('nextn_predict_layers')},"
            " prediction layers sizing does not lay out"
        )
    recurrent = _gguf_recurrent(get, count, arch, layers, source)
    # n_embd_r = (d_conv - 1) x (d_inner + 2 n_group d_state), n_embd_s = d_state x d_inner.
    inner, state = count("ssm.inner_size"), count("ssm.state_size")
    groups = count("ssm.group_count") if arch in GGUF_GROUPED else 0
    kernel = count("ssm.conv_kernel")
    conv = (kernel - 1 if kernel else 0) * (inner + 2 * groups * state)
    return tuple(
        LayerCache(0, 0, 0, conv_state=conv, ssm_state=state * inner) if recurrent[i] else layer
        for i, layer in enumerate(layers)
    )


def _gguf_recurrent(
    get: Callable[[str], Any],
    count: Callable[[str], int],
    arch: str,
    layers: tuple[LayerCache, ...],
    source: str,
) -> list[bool]:
    if arch in ("qwen3next", "qwen35", "qwen35moe"):
        # Linear attention but on every full_attention_interval-th layer, 4
        # when the file names none.
        every = 4 if get("full_attention_interval") is None else count("full_attention_interval")
        if every == 0:
            raise SizingError(f"{source}: '{arch}.full_attention_interval' is 0, not an interval")
        return [(i + 1) % every != 0 for i in range(len(layers))]
    recurrent = [layer.kv_heads == 0 for layer in layers]
    if arch == "nemotron_h":
        # Recurrent where both head_count_kv and feed_forward_length are 0;
        # a layer with a feed-forward and no heads is an MLP and keeps nothing.
        ffn = get("feed_forward_length")
        if not isinstance(ffn, list) or len(ffn) != len(layers):
            raise SizingError(f"{source}: '{arch}.feed_forward_length' is not one count per layer")
        recurrent = [recurrent[i] and ffn[i] == 0 for i in range(len(layers))]
    return recurrent
