"""A model's shape as the key-value cache sees it, and the bytes each engine
allocates for it.

Per token, a layer with h key-value heads of key width dk and value width dv
holds h x (dk + dv) elements; a latent-attention layer keeps one latent of
width dk and no values. The engines differ in how many tokens (cells) they
keep: llama.cpp pads each sequence to 256 cells, vLLM allocates blocks of 16,
and both keep fewer for sliding-window and chunked layers. A recurrent layer
(Mamba, gated delta net) keeps no tokens but a fixed state per sequence.
"""

from __future__ import annotations

import enum
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from .._errors import SizingError


class CacheType(str, enum.Enum):
    """The element type of the key-value cache."""

    F32 = "f32"
    F16 = "f16"
    BF16 = "bf16"
    FP8 = "fp8"
    Q8_0 = "q8_0"
    Q4_0 = "q4_0"
    Q4_1 = "q4_1"
    Q5_0 = "q5_0"
    Q5_1 = "q5_1"
    IQ4_NL = "iq4_nl"

    @property
    def block(self) -> tuple[int, int]:
        """(elements, bytes) of one block; plain types are blocks of one."""
        return _CACHE_BLOCKS[self]

    def row_bytes(self, elements: int) -> int:
        """Bytes of a row of `elements`, counted in whole blocks."""
        size, nbytes = self.block
        return -(-elements // size) * nbytes


_CACHE_BLOCKS: Mapping[CacheType, tuple[int, int]] = {
    CacheType.F32: (1, 4),
    CacheType.F16: (1, 2),
    CacheType.BF16: (1, 2),
    CacheType.FP8: (1, 1),
    CacheType.Q8_0: (32, 34),
    CacheType.Q4_0: (32, 18),
    CacheType.Q4_1: (32, 20),
    CacheType.Q5_0: (32, 22),
    CacheType.Q5_1: (32, 24),
    CacheType.IQ4_NL: (32, 18),
}

# What each engine can allocate; the others it refuses at start-up.
_ENGINE_CACHE_TYPES: Mapping[str, frozenset[CacheType]] = {
    "llama.cpp": frozenset(CacheType) - {CacheType.FP8},
    "vllm": frozenset({CacheType.F32, CacheType.F16, CacheType.BF16, CacheType.FP8}),
}


class Engine(str, enum.Enum):
    """The serving engine whose allocation rules size the cache."""

    LLAMA_CPP = "llama.cpp"
    VLLM = "vllm"


# Far above any model's layers (llama.cpp stops at 512): the cache's shape is
# built layer by layer, so a larger count is refused as garbage.
MAX_LAYERS = 100_000
LLAMA_CPP_PAD = 256
LLAMA_CPP_UBATCH = 512  # llama.cpp's default -ub
VLLM_BLOCK = 16
VLLM_BATCHED_TOKENS = 2048  # vllm serve's default --max-num-batched-tokens on most cards


class WeightFormat(str, enum.Enum):
    """The file format the weights were read from."""

    SAFETENSORS = "safetensors"
    GGUF = "gguf"


class LayerKind(str, enum.Enum):
    """What one layer caches."""

    FULL = "full attention"
    SLIDING = "sliding window"
    CHUNKED = "chunked attention"
    RECURRENT = "recurrent"
    NONE = "no cache"


@dataclass(frozen=True)
class LayerCache:
    """One layer's cache: per token, heads x (key width + value width)
    elements, and the window it slides over (None: full attention) or the
    chunk it attends within; or, for a recurrent layer, a fixed state per
    sequence of `conv_state` + `ssm_state` elements and no tokens at all."""

    kv_heads: int
    key_width: int
    value_width: int
    sliding_window: int | None = None
    chunk: int | None = None
    conv_state: int = 0
    ssm_state: int = 0

    @property
    def elements(self) -> int:
        return self.kv_heads * (self.key_width + self.value_width)

    @property
    def kind(self) -> LayerKind:
        if self.conv_state or self.ssm_state:
            return LayerKind.RECURRENT
        if self.kv_heads == 0:
            return LayerKind.NONE
        if self.chunk:
            return LayerKind.CHUNKED
        return LayerKind.SLIDING if self.sliding_window else LayerKind.FULL

    def row_bytes(self, cache_type: CacheType) -> int:
        # llama.cpp and vLLM keep keys and values as separate rows, so each is
        # rounded to whole blocks on its own.
        return cache_type.row_bytes(self.kv_heads * self.key_width) + cache_type.row_bytes(
            self.kv_heads * self.value_width
        )


@dataclass(frozen=True)
class Allocation:
    """How one engine lays out a model's cache: the tokens of an attention
    block and, for vLLM, the bytes of one recurrent layer's state per
    sequence and the page it is padded to (llama.cpp counts each layer's own
    state, unpadded)."""

    engine: Engine
    cache_type: CacheType
    block: int
    state_bytes: int
    state_page: int
    chunked_cap: bool


@dataclass(frozen=True)
class KindCache:
    """The layers of one kind: how many, the bytes one token takes in all of
    them (attention), the bytes one sequence's state takes in all of them
    (recurrent), and the rule the engine keeps them by."""

    kind: LayerKind
    layers: int
    token_bytes: int
    sequence_bytes: int
    rule: str


@dataclass(frozen=True)
class ModelShape:
    """What a model's own files say about the bytes it needs.

    `weights_bytes` is the exact sum of every tensor's bytes, `weights_by_dtype`
    the same per dtype (per ggml type for GGUF), largest first; `files` pairs
    each file read with its tensors' bytes. `layers` is the cache's shape, one
    entry per layer, `context_length` the model's own longest context, and
    `dtype` the cache type it gets unless one is chosen (the type the engine
    serves the model in; f16 for GGUF). `state_dtype` is the type vLLM keeps
    a recurrent layer's state matrix in when the model names one (else
    `dtype`). `layers` is empty when the cache could not be sized, and
    `cache_problem` then says why.
    """

    source: str
    format: WeightFormat
    files: tuple[tuple[str, int], ...]
    weights_bytes: int
    weights_by_dtype: tuple[tuple[str, int], ...]
    tensor_count: int
    architecture: str | None = None
    layers: tuple[LayerCache, ...] = ()
    latent: bool = False
    context_length: int | None = None
    dtype: CacheType | None = None
    cache_problem: str | None = None
    warnings: tuple[str, ...] = ()
    context_problem: str | None = None
    """Why `context_length` is None although the model names a longest context."""
    state_dtype: CacheType | None = None

    @property
    def default_engine(self) -> Engine:
        return Engine.LLAMA_CPP if self.format is WeightFormat.GGUF else Engine.VLLM

    def cache_type_or_default(self, cache_type: CacheType | str | None) -> CacheType:
        """The chosen cache type, else the model's own dtype."""
        if cache_type is not None:
            return parse_cache_type(cache_type)
        self._require_cache()
        return self.dtype or CacheType.F16

    def kv_bytes_per_token(self, cache_type: CacheType | str | None = None) -> int:
        """Cache bytes one token takes in the layers that keep tokens, each
        counted whole (no window or chunk); recurrent layers keep none."""
        chosen = self.cache_type_or_default(cache_type)
        self._require_cache()
        return sum(layer.row_bytes(chosen) for layer in self.layers)

    def state_bytes_per_sequence(
        self,
        cache_type: CacheType | str | None = None,
        engine: Engine | str | None = None,
    ) -> int:
        """The recurrent layers' state one sequence takes, by `engine`'s rules
        (vLLM pads each layer's state to a page of attention blocks)."""
        allocation = engine_layout(self, cache_type, engine)
        return sum(
            layer_bytes(allocation, layer, 1, 1)
            for layer in self.layers
            if layer.kind is LayerKind.RECURRENT
        )

    def kv_bytes(
        self,
        context: int,
        sequences: int = 1,
        cache_type: CacheType | str | None = None,
        engine: Engine | str | None = None,
        *,
        chunked_cap: bool = True,
    ) -> int:
        """The cache `engine` allocates for `sequences` sequences of `context`
        tokens each, by that engine's rules (see `cells`), with each
        sequence's recurrent state. `chunked_cap=False` counts vLLM's chunked
        attention layers whole, as vLLM does with
        VLLM_ALLOW_CHUNKED_LOCAL_ATTN_WITH_HYBRID_KV_CACHE=0."""
        _check_count("context", context, minimum=0)
        _check_count("sequences", sequences, minimum=1)
        if context == 0:
            return 0
        allocation = engine_layout(self, cache_type, engine, chunked_cap=chunked_cap)
        return sequences * sum(
            layer_bytes(allocation, layer, context, sequences) for layer in self.layers
        )

    def cache_by_kind(
        self,
        cache_type: CacheType | str | None = None,
        engine: Engine | str | None = None,
        *,
        chunked_cap: bool = True,
    ) -> tuple[KindCache, ...]:
        """Per kind of layer: how many, the bytes a token takes in them (or,
        for recurrent layers, a sequence's state), and `engine`'s rule."""
        allocation = engine_layout(self, cache_type, engine, chunked_cap=chunked_cap)
        found: dict[LayerKind, list[LayerCache]] = {}
        for layer in self.layers:
            found.setdefault(layer.kind, []).append(layer)
        summary = []
        for kind, layers in found.items():
            recurrent = kind is LayerKind.RECURRENT
            summary.append(
                KindCache(
                    kind,
                    len(layers),
                    0 if recurrent else sum(la.row_bytes(allocation.cache_type) for la in layers),
                    sum(layer_bytes(allocation, la, 1, 1) for la in layers) if recurrent else 0,
                    kind_rule(allocation, kind),
                )
            )
        return tuple(summary)

    def engine_or_default(self, engine: Engine | str | None) -> Engine:
        if engine is None:
            return self.default_engine
        return parse_engine(engine)

    def _require_cache(self) -> None:
        if self.cache_problem is not None:
            raise SizingError(self.cache_problem)


def engine_layout(
    shape: ModelShape,
    cache_type: CacheType | str | None,
    engine: Engine | str | None,
    *,
    chunked_cap: bool = True,
) -> Allocation:
    """The cache type, block and state page `engine` uses for `shape`."""
    chosen = shape.cache_type_or_default(cache_type)
    rules = shape.engine_or_default(engine)
    shape._require_cache()
    if chosen not in _ENGINE_CACHE_TYPES[rules.value]:
        raise SizingError(f"{rules.value} has no {chosen.value} cache")
    states = [la for la in shape.layers if la.kind is LayerKind.RECURRENT]
    if not states or rules is Engine.LLAMA_CPP:
        # llama.cpp keeps each layer's r and s rows in f32 whatever the
        # cache type (llama_model::create_memory: GGML_TYPE_F32 for both).
        return Allocation(rules, chosen, VLLM_BLOCK, 0, 0, chunked_cap)
    served = shape.dtype or CacheType.F16
    matrix = shape.state_dtype or served
    # vLLM's MambaSpec page: the conv state in the model's dtype, the
    # state matrix in its own (mamba_ssm_cache_dtype), one page per layer.
    nbytes = max(
        la.conv_state * served.row_bytes(1) + la.ssm_state * matrix.row_bytes(1) for la in states
    )
    attention = next((la for la in shape.layers if la.kv_heads > 0), None)
    if attention is None:
        return Allocation(rules, chosen, VLLM_BLOCK, nbytes, nbytes, chunked_cap)
    # HybridAttentionMambaModelConfig.verify_and_update_config enlarges the
    # attention block to the least multiple of 16 tokens whose page holds
    # one state, and pads the state to that page.
    per_token = attention.row_bytes(chosen)
    block = VLLM_BLOCK * -(-nbytes // (VLLM_BLOCK * per_token))
    return Allocation(rules, chosen, block, nbytes, block * per_token, chunked_cap)


def layer_bytes(allocation: Allocation, layer: LayerCache, context: int, sequences: int) -> int:
    """One sequence's bytes of `layer`: its cells' rows, or its state page."""
    if layer.kind is LayerKind.RECURRENT:
        if allocation.engine is Engine.LLAMA_CPP:
            return llama_cpp_state_bytes(layer)
        return allocation.state_page
    chunk = layer.chunk if allocation.chunked_cap or allocation.engine is Engine.LLAMA_CPP else None
    kept = cells(
        allocation.engine,
        context,
        sequences,
        layer.sliding_window,
        block=allocation.block,
        chunk=chunk,
    )
    return kept * layer.row_bytes(allocation.cache_type)


def kind_rule(allocation: Allocation, kind: LayerKind) -> str:
    """The engine's rule for layers of `kind`, in words."""
    block = allocation.block
    if allocation.engine is Engine.LLAMA_CPP:
        return {
            LayerKind.FULL: "every token, each sequence padded to 256 cells",
            LayerKind.SLIDING: "pad256(min(context, window + 512)) cells",
            LayerKind.CHUNKED: "pad256(min(context, chunk + 512)) cells",
            LayerKind.RECURRENT: "r and s rows in f32, one of each per sequence",
            LayerKind.NONE: "nothing",
        }[kind]
    if kind is LayerKind.CHUNKED and not allocation.chunked_cap:
        return f"every token, in blocks of {block}: chunked layers counted whole (cap off)"
    return {
        LayerKind.FULL: f"every token, in blocks of {block}",
        LayerKind.SLIDING: f"ceil(min(window - 1 + 2048, context) / {block}) + 1 blocks of {block}",
        LayerKind.CHUNKED: f"ceil(min(chunk + 2048, context) / {block}) blocks of {block}",
        LayerKind.RECURRENT: f"one state page per sequence ({block} attention tokens' bytes)",
        LayerKind.NONE: "nothing",
    }[kind]


def llama_cpp_state_bytes(layer: LayerCache) -> int:
    """llama.cpp's f32 r (n_embd_r) and s (n_embd_s) rows of one layer for one sequence."""
    return (layer.conv_state + layer.ssm_state) * 4


def cells(
    engine: Engine,
    context: int,
    sequences: int,
    window: int | None,
    *,
    block: int = VLLM_BLOCK,
    chunk: int | None = None,
) -> int:
    """Tokens one sequence's cache holds in one layer.

    llama.cpp (each sequence its own stream, as with `-c context x N -np N`):
    the context padded to 256, a sliding layer `pad256(min(that, window +
    n_ubatch))`, a chunked one the same with its chunk for the window. vLLM:
    blocks of 16 (more for hybrid models) for the whole context, a sliding
    layer `ceil(min(window - 1 + max_num_batched_tokens, context) / 16) + 1`
    blocks, a chunked one `ceil(min(chunk + max_num_batched_tokens, context)
    / 16)`.
    """
    if engine is Engine.LLAMA_CPP:
        full = _round_up(context, LLAMA_CPP_PAD)
        # llama-kv-cache-iswa.cpp sizes chunked layers as it sizes sliding ones.
        window = window or chunk
        if window is None:
            return full
        ubatch = min(LLAMA_CPP_UBATCH, context * sequences)
        return _round_up(min(full, window + ubatch), LLAMA_CPP_PAD)
    if chunk is not None:
        # vllm/v1/kv_cache_interface.py, ChunkedLocalAttentionSpec.max_memory_usage_bytes.
        return _round_up(min(chunk + VLLM_BATCHED_TOKENS, context), block)
    if window is None:
        return _round_up(context, block)
    kept = min(window - 1 + VLLM_BATCHED_TOKENS, context)
    return (-(-kept // block) + 1) * block


def _round_up(value: int, step: int) -> int:
    return -(-value // step) * step


def _check_count(what: str, value: object, *, minimum: int) -> None:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be a whole number, not {value!r}")
    if value < minimum:
        raise ValueError(f"{what} must be at least {minimum}, not {value}")


def parse_cache_type(value: CacheType | str) -> CacheType:
    try:
        return CacheType(str(value.value if isinstance(value, CacheType) else value).lower())
    except ValueError:
        names = ", ".join(t.value for t in CacheType)
        raise ValueError(f"unknown cache type {value!r} (one of {names})") from None


def parse_engine(value: Engine | str) -> Engine:
    text = str(value.value if isinstance(value, Engine) else value).lower()
    aliases = {"llamacpp": "llama.cpp", "llama-cpp": "llama.cpp", "llama_cpp": "llama.cpp"}
    try:
        return Engine(aliases.get(text, text))
    except ValueError:
        raise ValueError(f"unknown engine {value!r} (llama.cpp or vllm)") from None


# Torch dtype names in config.json, and the cache type they mean.
TORCH_DTYPES: Mapping[str, CacheType] = {
    "float32": CacheType.F32,
    "float": CacheType.F32,
    "float16": CacheType.F16,
    "half": CacheType.F16,
    "bfloat16": CacheType.BF16,
}

# Weight dtypes that can stand for the model's dtype when config.json names none.
WEIGHT_DTYPES: Mapping[str, CacheType] = {
    "F32": CacheType.F32,
    "F16": CacheType.F16,
    "BF16": CacheType.BF16,
}


def _layer_windows(count: int, window: int | None, sliding: Sequence[bool]) -> list[int | None]:
    return [window if window and sliding[i] else None for i in range(count)]


def layers_with_windows(
    count: int,
    heads: Sequence[int],
    key_widths: Sequence[int],
    value_widths: Sequence[int],
    window: int | None,
    sliding: Sequence[bool],
) -> tuple[LayerCache, ...]:
    """One LayerCache per layer from per-layer heads, widths and sliding flags."""
    windows = _layer_windows(count, window, sliding)
    return tuple(
        LayerCache(heads[i], key_widths[i], value_widths[i], windows[i]) for i in range(count)
    )
