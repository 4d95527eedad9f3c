"""The cache's shape from a Hugging Face `config.json`, read as vLLM reads it."""

from __future__ import annotations

import json
import os
from collections.abc import Mapping, Sequence
from dataclasses import dataclass

from .._errors import SizingError
from ._hybrid import config_layers
from ._quote import figure, quote
from ._shape import MAX_LAYERS, TORCH_DTYPES, CacheType, LayerCache, layers_with_windows

# The first of these a config gives is its count of key-value heads.
KV_HEAD_KEYS = (
    "n_head_kv",
    "num_kv_heads",
    "num_key_value_heads",
    "multi_query_group_num",
    "num_attention_groups",
)
LAYER_KEYS = ("num_hidden_layers", "n_layer", "num_layers", "n_layers")
HEAD_KEYS = ("num_attention_heads", "n_head", "num_heads", "n_heads")
HIDDEN_KEYS = ("hidden_size", "n_embd", "d_model")
# The smallest of these is the model's longest context.
CONTEXT_KEYS = (
    "max_position_embeddings",
    "n_positions",
    "max_seq_len",
    "seq_length",
    "max_target_positions",
    "max_sequence_length",
    "max_seq_length",
    "seq_len",
)
# Far above any model's context (the longest are some millions of tokens): a
# longer one is a broken or hostile config, and a RoPE factor would multiply
# it past what a float holds.
MAX_CONTEXT = 2**40
# What transformers fills in for keys a config leaves out, where shipped
# configs rely on it: Google's Gemma 3 text configs name only what differs
# from these (gemma-3-4b-it gives no heads, head width or context).
_GEMMA3_TEXT = {
    "num_hidden_layers": 26,
    "num_attention_heads": 8,
    "num_key_value_heads": 4,
    "head_dim": 256,
    "sliding_window": 4096,
    "max_position_embeddings": 131072,
}
TEXT_DEFAULTS: Mapping[str, Mapping[str, object]] = {
    "gemma3": _GEMMA3_TEXT,
    "gemma3_text": _GEMMA3_TEXT,
}
# Models with latent projections (kv_lora_rank) that vLLM does not serve
# with latent attention.
EXPANDED_LATENT_TYPES = ("minicpm3",)
FALCON_TYPES = ("falcon", "RefinedWeb", "RefinedWebModel")
# Sliding-window layers come in a repeating pattern: the last layer of each
# period attends to the whole context, the others slide.
SLIDING_PERIODS = {"gemma2": 2, "gemma3": 6, "gemma3_text": 6, "cohere2": 4}


@dataclass(frozen=True)
class ConfigCache:
    """What config.json says about the cache."""

    architecture: str | None
    layers: tuple[LayerCache, ...]
    latent: bool
    context_length: int | None
    dtype: CacheType
    state_dtype: CacheType | None = None
    context_problem: str | None = None


# config.json and the shard index are a few kilobytes to a few megabytes; a
# larger one is a broken or hostile file, and is not read into memory.
MAX_JSON_BYTES = 100_000_000


def read_json(path: str) -> object:
    """Parses a small JSON file; anything unreadable is a SizingError naming it."""
    try:
        with open(path, "rb") as file:
            size = os.fstat(file.fileno()).st_size
            if size > MAX_JSON_BYTES:
                raise SizingError(f"{path}: {size} bytes is too large for a JSON file here")
            raw = file.read(MAX_JSON_BYTES + 1)
    except OSError as error:
        raise SizingError(f"{path}: cannot read: {error.strerror or error}") from None
    try:
        return json.loads(raw.decode("utf-8"))
    # Nesting deeper than the parser recurses is a RecursionError, not a ValueError.
    except (ValueError, RecursionError) as error:
        raise SizingError(f"{path}: not JSON ({error})") from None


def load_config(path: str) -> Mapping[str, object]:
    """Reads a config.json, which must be a JSON object."""
    config = read_json(path)
    if not isinstance(config, dict):
        raise SizingError(f"{path}: not a JSON object")
    return config


def cache_from_config(
    config: Mapping[str, object], source: str, weights_dtype: CacheType | None
) -> ConfigCache:
    """The cache's shape: layers, heads, widths, windows, context and dtype.

    A multimodal model's language model is its `text_config`. Raises
    ValueError naming the first key the size needs and the config lacks.
    """
    return _Reader(config, source).cache(weights_dtype)


class _Reader:
    def __init__(self, config: Mapping[str, object], source: str) -> None:
        text_config = config.get("text_config")
        self.config = config
        self.text: Mapping[str, object] = text_config if isinstance(text_config, dict) else config
        self.source = source
        model_type = self.text.get("model_type") or config.get("model_type")
        self.architecture = model_type if isinstance(model_type, str) else None
        defaults = TEXT_DEFAULTS.get(self.architecture or "")
        if defaults is not None:
            self.text = {**defaults, **self.text}

    def first(self, keys: Sequence[str]) -> tuple[str, object]:
        """The first of `keys` given, the language model's own before the top level."""
        for scope in (self.text, self.config):
            for key in keys:
                if scope.get(key) is not None:
                    return key, scope[key]
        return keys[0], None

    def count(self, keys: Sequence[str]) -> int:
        key, value = self.first(keys)
        if value is None:
            raise SizingError(f"{self.source}: cannot size the cache: no {key!r}")
        if not _is_count(value):
            raise SizingError(f"{self.source}: {key!r} is not a count: {quote(value)}")
        return _as_int(value)

    def nonzero_count(self, keys: Sequence[str]) -> int:
        """A count of heads or layers, of which a model has at least one: 0
        would size the cache at nothing without a word."""
        found = self.count(keys)
        if found == 0:
            key, _ = self.first(keys)
            raise SizingError(f"{self.source}: cannot size the cache: {key!r} is 0")
        return found

    def cache(self, weights_dtype: CacheType | None) -> ConfigCache:
        layers = self.nonzero_count(LAYER_KEYS)
        if layers > MAX_LAYERS:
            key, _ = self.first(LAYER_KEYS)
            raise SizingError(f"{self.source}: {key!r} is {figure(layers)}, not a count of layers")
        _, rank = self.first(("kv_lora_rank",))
        latent = _is_count(rank) and _as_int(rank) > 0
        if latent and self.architecture in EXPANDED_LATENT_TYPES:
            # vLLM expands these latents into every head's keys and values
            # before caching them, the values padded to the keys' width.
            latent = False
            heads = self.kv_heads(layers)
            keys = values = self.count(("qk_nope_head_dim",)) + self.count(("qk_rope_head_dim",))
        elif latent:
            # Latent attention caches, per token and layer, one compressed
            # latent and its rotary part for all heads at once, and no values.
            width = _as_int(rank) + self.count(("qk_rope_head_dim",))
            heads, keys, values = [1] * layers, width, 0
        else:
            heads = self.kv_heads(layers)
            keys = values = self.head_width()
        if not any(heads) or keys == 0:
            # The paths above name the key at fault in the usual configs; this
            # catches per-layer counts that are all 0 and widths that add to 0.
            raise SizingError(
                f"{self.source}: cannot size the cache: its key-value heads or widths are all 0"
            )
        window, sliding = self.sliding(layers)
        attention = layers_with_windows(
            layers, heads, [keys] * layers, [values] * layers, window, sliding
        )
        # Recurrent, chunked and cache-less layers, as the engines place them.
        marked, state_dtype = config_layers(self, self.architecture, attention)
        # A longest context that is no context leaves the cache sizable at a
        # context the user gives; only the default is lost.
        try:
            context, context_problem = self.context(), None
        except SizingError as error:
            context, context_problem = None, str(error)
        return ConfigCache(
            self.architecture,
            marked,
            latent,
            context,
            _served(self.dtype() or weights_dtype),
            state_dtype,
            context_problem,
        )

    def kv_heads(self, layers: int) -> list[int]:
        # vLLM's order: multi-query attention (GPTBigCode, the first Falcons)
        # keeps one head whatever else is given, unless Falcon's new decoder
        # names its own; MPT and DBRX give theirs inside attn_config.
        new_falcon = self.architecture in FALCON_TYPES and self.config.get(
            "new_decoder_architecture"
        )
        if self.text.get("multi_query") and not new_falcon:
            return [1] * layers
        if self.architecture in ("mpt", "dbrx"):
            attention = self.text.get("attn_config")
            heads = attention.get("kv_n_heads") if isinstance(attention, dict) else None
            if heads is None:
                return [self.nonzero_count(HEAD_KEYS)] * layers
            if not _is_count(heads):
                raise SizingError(f"{self.source}: 'kv_n_heads' is not a count: {quote(heads)}")
            if _as_int(heads) == 0:
                raise SizingError(f"{self.source}: cannot size the cache: 'kv_n_heads' is 0")
            return [_as_int(heads)] * layers
        key, value = self.first(KV_HEAD_KEYS)
        if isinstance(value, list):
            # Some models give one count per layer.
            if len(value) != layers or not all(_is_count(v) for v in value):
                raise SizingError(f"{self.source}: {key!r} is not one count per layer")
            return [_as_int(v) for v in value]
        if value is None:
            return [self.nonzero_count(HEAD_KEYS)] * layers
        return [self.nonzero_count(KV_HEAD_KEYS)] * layers

    def head_width(self) -> int:
        # head_dim wins where given: several models' differs from
        # hidden_size / num_attention_heads.
        for key in ("head_dim", "hidden_size_per_head"):
            _, value = self.first((key,))
            if _is_count(value) and _as_int(value) > 0:
                return _as_int(value)
        heads = self.count(HEAD_KEYS)
        if heads == 0:
            raise SizingError(f"{self.source}: 'num_attention_heads' is 0")
        hidden = self.count(HIDDEN_KEYS)
        if hidden < heads:
            hidden_key, _ = self.first(HIDDEN_KEYS)
            raise SizingError(
                f"{self.source}: cannot size the cache: {hidden_key!r} {figure(hidden)} "
                f"over {figure(heads)} heads is a head width of 0"
            )
        return hidden // heads

    def sliding(self, layers: int) -> tuple[int | None, list[bool]]:
        window = self.text.get("sliding_window")
        if self.text.get("use_sliding_window") is False or not _is_count(window):
            return None, [False] * layers
        size = _as_int(window)
        if size == 0:
            return None, [False] * layers
        layer_types = self.text.get("layer_types")
        if isinstance(layer_types, list):
            if len(layer_types) != layers:
                raise SizingError(
                    f"{self.source}: 'layer_types' names {len(layer_types)} of {layers} layers"
                )
            return size, [kind == "sliding_attention" for kind in layer_types]
        period = self.text.get("sliding_window_pattern")
        every = _as_int(period) if _is_count(period) and _as_int(period) > 0 else None
        if every is None:
            every = SLIDING_PERIODS.get(self.architecture or "")
        if every is None:
            # A window and no pattern: every layer slides.
            return size, [True] * layers
        return size, [(i + 1) % every != 0 for i in range(layers)]

    def context(self) -> int | None:
        # vLLM takes model_max_length where given, else the smallest of the others.
        given = self.text.get("model_max_length")
        if _is_count(given) and _as_int(given) > 0:
            return self.stretched("model_max_length", _as_int(given))
        given_lengths = [(k, self.text.get(k)) for k in CONTEXT_KEYS]
        lengths = [(_as_int(v), k) for k, v in given_lengths if _is_count(v) and _as_int(v) > 0]
        if not lengths:
            return None
        length, key = min(lengths)
        return self.stretched(key, length)

    def stretched(self, key: str, length: int) -> int:
        """The context vLLM derives from `length` (the value of `key`) and
        the config's RoPE scaling.

        Llama 3's and LongRoPE's scaling, and every Gemma 3's, come with the
        stretched length already given; the others multiply it by their factor,
        YaRN the length it was trained at.
        """
        # transformers 5 writes rope_parameters, one set or one per layer type.
        scaling = self.text.get("rope_parameters") or self.text.get("rope_scaling")
        factor: object = 1
        if isinstance(scaling, dict) and "gemma3" not in (self.architecture or ""):
            for rope in [v for v in scaling.values() if isinstance(v, dict)] or [scaling]:
                kind = rope.get("rope_type", rope.get("type", "default"))
                if kind in ("su", "longrope", "llama3"):
                    continue
                # One factor for every layer type, as vLLM takes it.
                factor = rope.get("factor", factor)
                original = rope.get("original_max_position_embeddings")
                if kind == "yarn" and _is_count(original) and _as_int(original) > 0:
                    key, length = "original_max_position_embeddings", _as_int(original)
        if length > MAX_CONTEXT:
            raise SizingError(f"{self.source}: {key!r} is {figure(length)}, not a context length")
        if not _is_positive(factor):
            return length
        assert isinstance(factor, (int, float))
        stretched = int(length * factor)
        if stretched > MAX_CONTEXT:
            raise SizingError(
                f"{self.source}: {key!r} {length} stretched by RoPE factor {factor} "
                f"is {stretched}, not a context length"
            )
        return stretched

    def dtype(self) -> CacheType | None:
        for scope in (self.config, self.text):
            for key in ("torch_dtype", "dtype"):
                value = scope.get(key)
                if isinstance(value, str):
                    found = TORCH_DTYPES.get(value.removeprefix("torch."))
                    if found is not None:
                        return found
        return None


def _served(dtype: CacheType | None) -> CacheType:
    # vLLM serves a float32 checkpoint, or one that names no dtype, in 16 bits
    # (bfloat16 since 0.10.1, float16 before), and its cache with it.
    return CacheType.BF16 if dtype in (None, CacheType.F32) else dtype


def _is_count(value: object) -> bool:
    if isinstance(value, float):
        return value.is_integer() and value >= 0
    return isinstance(value, int) and not isinstance(value, bool) and value >= 0


def _is_positive(value: object) -> bool:
    return isinstance(value, (int, float)) and not isinstance(value, bool) and 0 < value < 1e6


def _as_int(value: object) -> int:
    assert isinstance(value, (int, float))
    return int(value)
