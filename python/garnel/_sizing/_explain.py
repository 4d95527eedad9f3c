"""The arithmetic of a model's cache, for people: one line per group of equal layers."""

from __future__ import annotations

from ._shape import (
    CacheType,
    Engine,
    LayerCache,
    LayerKind,
    ModelShape,
    cells,
    engine_layout,
    layer_bytes,
)


def explain_cache(
    shape: ModelShape,
    context: int,
    sequences: int,
    cache_type: CacheType | str | None,
    engine: Engine | str | None,
    chunked_cap: bool = True,
) -> list[str]:
    """How `shape.kv_bytes(...)` is reached: the engine, the block it uses,
    and one line per group of equal layers, the recurrent state on its own."""
    if context == 0:
        return ["cache: none (context 0)"]
    layout = engine_layout(shape, cache_type, engine, chunked_cap=chunked_cap)
    chosen, rules = layout.cache_type, layout.engine
    block_size, block_bytes = chosen.block
    element = f"{block_bytes} bytes" + (f" per {block_size} elements" if block_size > 1 else "")
    lines = [
        f"cache: {rules.value} rules, {chosen.value} ({element}), "
        f"{sequences} sequence(s) of {context} tokens"
        + (", latent attention (keys only)" if shape.latent else "")
    ]
    if rules is Engine.VLLM and layout.state_bytes and layout.block != 16:
        lines.append(
            f"  attention blocks of {layout.block} tokens, the least multiple of 16 whose"
            f" page holds one recurrent state of {layout.state_bytes:,} bytes"
        )
    groups: dict[LayerCache, int] = {}
    for layer in shape.layers:
        groups[layer] = groups.get(layer, 0) + 1
    for layer, count in groups.items():
        nbytes = count * layer_bytes(layout, layer, context, sequences) * sequences
        if layer.kind is LayerKind.RECURRENT:
            lines.append(_state_line(layout.state_page, layer, count, sequences, nbytes, rules))
        elif layer.kind is LayerKind.NONE:
            lines.append(f"  {count} layers keep no cache")
        else:
            chunk = layer.chunk if layout.chunked_cap or rules is Engine.LLAMA_CPP else None
            kept = cells(
                rules, context, sequences, layer.sliding_window, block=layout.block, chunk=chunk
            )
            widths = f"({layer.key_width} + {layer.value_width})"
            lines.append(
                f"  {count} layers x {layer.kv_heads} heads x {widths} x {element}"
                f" x {kept} cells x {sequences} sequence(s) = {nbytes:,} bytes{_rule(layer, chunk)}"
            )
    return lines


def _state_line(
    page: int, layer: LayerCache, count: int, sequences: int, nbytes: int, rules: Engine
) -> str:
    elements = f"({layer.conv_state:,} + {layer.ssm_state:,}) elements"
    if rules is Engine.LLAMA_CPP:
        each = f"{elements} x 4 bytes (f32)"
    else:
        each = f"{page:,} bytes (a page for {elements})"
    return (
        f"  {count} recurrent layers x {each} x {sequences} sequence(s)"
        f" = {nbytes:,} bytes of state, whatever the context"
    )


def _rule(layer: LayerCache, chunk: int | None) -> str:
    if layer.sliding_window:
        return f", sliding window {layer.sliding_window}"
    if layer.chunk:
        # vLLM without its cap on chunked layers keeps every token in them.
        return f", chunked attention {layer.chunk}" + ("" if chunk else " counted whole")
    return ""
