"""A model's shape as the key-value cache sees it, and the bytes each engine
allocates for it.

Per token, a layer with h key-value heads of key width dk and value width dv
holds h x (dk + dv) elements; a latent-attention layer keeps one latent of
width dk and no values. The engines differ in how many tokens (cells) they
keep: llama.cpp pads each sequence to 256 cells, vLLM allocates blocks of 16,
and both keep fewer for sliding-window layers.
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


@dataclass(frozen=True)
class LayerCache:
    """One layer's cache per token: heads x (key width + value width)
    elements, and the window it slides over (None: full attention)."""

    kv_heads: int
    key_width: int
    value_width: int
    sliding_window: int | None = None

    @property
    def elements(self) -> int:
        return self.kv_heads * (self.key_width + self.value_width)

    def row_bytes(self, cache_type: CacheType) -> int:
        # llama.cpp and vLLM keep keys and values as separate rows, so each is
        # rounded to whole blocks on its own.
        return cache_type.row_bytes(self.kv_heads * self.key_width) + cache_type.row_bytes(
            self.kv_heads * self.value_width
        )


@dataclass(frozen=True)
class ModelShape:
    """What a model's own files say about the bytes it needs.

    `weights_bytes` is the exact sum of every tensor's bytes, `weights_by_dtype`
    the same per dtype (per ggml type for GGUF), largest first; `files` pairs
    each file read with its tensors' bytes. `layers` is the cache's shape, one
    entry per layer, `context_length` the model's own longest context, and
    `dtype` the cache type it gets unless one is chosen (the type the engine
    serves the model in; f16 for GGUF). `layers` is empty when the cache could
    not be sized, and `cache_problem` then says why.
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
        """Cache bytes one token takes with every layer at full attention."""
        chosen = self.cache_type_or_default(cache_type)
        self._require_cache()
        return sum(layer.row_bytes(chosen) for layer in self.layers)

    def kv_bytes(
        self,
        context: int,
        sequences: int = 1,
        cache_type: CacheType | str | None = None,
        engine: Engine | str | None = None,
    ) -> int:
        """The cache `engine` allocates for `sequences` sequences of `context`
        tokens each, by that engine's rules (see `cells`)."""
        _check_count("context", context, minimum=0)
        _check_count("sequences", sequences, minimum=1)
        if context == 0:
            return 0
        chosen = self.cache_type_or_default(cache_type)
        rules = self.engine_or_default(engine)
        self._require_cache()
        if chosen not in _ENGINE_CACHE_TYPES[rules.value]:
            raise SizingError(f"{rules.value} has no {chosen.value} cache")
        return sequences * sum(
            cells(rules, context, sequences, layer.sliding_window) * layer.row_bytes(chosen)
            for layer in self.layers
        )

    def engine_or_default(self, engine: Engine | str | None) -> Engine:
        if engine is None:
            return self.default_engine
        return parse_engine(engine)

    def _require_cache(self) -> None:
        if self.cache_problem is not None:
            raise SizingError(self.cache_problem)


def cells(engine: Engine, context: int, sequences: int, window: int | None) -> int:
    """Tokens one sequence's cache holds in one layer.

    llama.cpp (each sequence its own stream, as with `-c context x N -np N`):
    the context padded to 256, a sliding layer `pad256(min(that, window +
    n_ubatch))`. vLLM: blocks of 16 for the whole context, a sliding layer
    `ceil(min(window - 1 + max_num_batched_tokens, context) / 16) + 1` blocks.
    """
    if engine is Engine.LLAMA_CPP:
        full = _round_up(context, LLAMA_CPP_PAD)
        if window is None:
            return full
        ubatch = min(LLAMA_CPP_UBATCH, context * sequences)
        return _round_up(min(full, window + ubatch), LLAMA_CPP_PAD)
    if window is None:
        return _round_up(context, VLLM_BLOCK)
    kept = min(window - 1 + VLLM_BATCHED_TOKENS, context)
    return (-(-kept // VLLM_BLOCK) + 1) * VLLM_BLOCK


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


def explain_cache(
    shape: ModelShape,
    context: int,
    sequences: int,
    cache_type: CacheType | str | None,
    engine: Engine | str | None,
) -> list[str]:
    """The arithmetic of `shape.kv_bytes(...)`, one line per group of equal layers."""
    if context == 0:
        return ["cache: none (context 0)"]
    chosen = shape.cache_type_or_default(cache_type)
    rules = shape.engine_or_default(engine)
    block_size, block_bytes = chosen.block
    element = f"{block_bytes} bytes" + (f" per {block_size} elements" if block_size > 1 else "")
    lines = [
        f"cache: {rules.value} rules, {chosen.value} ({element}), "
        f"{sequences} sequence(s) of {context} tokens"
        + (", latent attention (keys only)" if shape.latent else "")
    ]
    groups: dict[LayerCache, int] = {}
    for layer in shape.layers:
        groups[layer] = groups.get(layer, 0) + 1
    for layer, count in groups.items():
        kept = cells(rules, context, sequences, layer.sliding_window)
        widths = f"({layer.key_width} + {layer.value_width})"
        slide = f", sliding window {layer.sliding_window}" if layer.sliding_window else ""
        nbytes = count * layer.row_bytes(chosen) * kept * sequences
        lines.append(
            f"  {count} layers x {layer.kv_heads} heads x {widths} x {element}"
            f" x {kept} cells x {sequences} sequence(s) = {nbytes:,} bytes{slide}"
        )
    return lines


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
