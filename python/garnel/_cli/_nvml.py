"""The cards' sizes through NVML, for `garnel plan` without --card."""

from __future__ import annotations

import importlib
from typing import Any, NamedTuple

from ._common import CommandError

ADVICE = "give the card's size with --card, e.g. --card 24GiB"


class Card(NamedTuple):
    """One card to plan: its total bytes, and how the figure was found, for people and JSON."""

    total_bytes: int
    where: str
    nvml_name: str | None = None


def nvml_cards(gpu: int | None) -> list[Card]:
    """GPU `gpu` alone, or every GPU NVML sees, in its index order, through NVML."""
    try:
        nvml: Any = importlib.import_module("pynvml")
    except ImportError:
        raise CommandError(
            f"no --card, and NVML is not installed (pip install 'garnel[nvml]'): {ADVICE}"
        ) from None
    try:
        nvml.nvmlInit()
    except nvml.NVMLError as error:
        raise CommandError(f"no --card, and NVML answers no card ({error}): {ADVICE}") from None
    try:
        if gpu is not None:
            return [_read_card(nvml, gpu)]
        try:
            seen = int(nvml.nvmlDeviceGetCount())
        except nvml.NVMLError as error:
            raise CommandError(
                f"no --card, and NVML cannot count the GPUs ({error}): {ADVICE}"
            ) from None
        if seen < 1:
            raise CommandError(f"no --card, and NVML sees no GPU: {ADVICE}")
        return [_read_card(nvml, index) for index in range(seen)]
    finally:
        try:
            nvml.nvmlShutdown()
        except nvml.NVMLError:
            pass


def _read_card(nvml: Any, gpu: int) -> Card:
    try:
        handle = nvml.nvmlDeviceGetHandleByIndex(gpu)
        total = int(nvml.nvmlDeviceGetMemoryInfo(handle).total)
        name = nvml.nvmlDeviceGetName(handle)
    except nvml.NVMLError as error:
        raise CommandError(
            f"no --card, and NVML cannot read GPU {gpu} ({error}): {ADVICE}"
        ) from None
    if isinstance(name, bytes):  # older nvidia-ml-py gives bytes
        name = name.decode("utf-8", "replace")
    return Card(total, f"GPU {gpu}, {name}, through NVML", name)
