"""A machine's cards as NVML tells them (nvidia-ml-py, the `nvml` extra): each GPU's index,
total bytes and name, for `garnel plan` without --card and for serve's cards without a total.

NVML is opened for the question and shut again: these are one-off questions
asked before anything is planned, not the host's probes while it serves.
"""

from __future__ import annotations

import importlib
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

from ._errors import MissingExtra, NvmlError


@dataclass(frozen=True)
class NvmlCard:
    """One GPU as NVML tells it: its NVML index, its total bytes and its name."""

    index: int
    total_bytes: int
    name: str


def nvml_cards(gpus: Iterable[int] | None = None) -> list[NvmlCard]:
    """The GPUs `gpus` names, in that order, or every GPU NVML sees, in its index order.

    Raises MissingExtra when nvidia-ml-py is not installed, and NvmlError
    when NVML answers no card, cannot count the GPUs, sees none or cannot
    read one asked for; each message says which, with NVML's own words.
    """
    wanted = None if gpus is None else [_gpu_index(gpu) for gpu in gpus]
    try:
        nvml: Any = importlib.import_module("pynvml")
    except ImportError:
        raise MissingExtra("NVML is not installed (pip install 'garnel[nvml]')") from None
    try:
        nvml.nvmlInit()
    except nvml.NVMLError as error:
        raise NvmlError(f"NVML answers no card ({error})") from None
    try:
        if wanted is None:
            try:
                seen = int(nvml.nvmlDeviceGetCount())
            except nvml.NVMLError as error:
                raise NvmlError(f"NVML cannot count the GPUs ({error})") from None
            if seen < 1:
                raise NvmlError("NVML sees no GPU")
            wanted = list(range(seen))
        return [_read_card(nvml, gpu) for gpu in wanted]
    finally:
        try:
            nvml.nvmlShutdown()
        except nvml.NVMLError:
            pass


def _gpu_index(gpu: object) -> int:
    if isinstance(gpu, bool) or not isinstance(gpu, int):
        raise TypeError(f"a GPU is NVML's index of it, an int, not {type(gpu).__name__}")
    if gpu < 0:
        raise ValueError(f"a GPU is NVML's index of it, from 0 up, not {gpu}")
    return gpu


def _read_card(nvml: Any, gpu: int) -> NvmlCard:
    try:
        handle = nvml.nvmlDeviceGetHandleByIndex(gpu)
        total = int(nvml.nvmlDeviceGetMemoryInfo(handle).total)
        name = nvml.nvmlDeviceGetName(handle)
    except nvml.NVMLError as error:
        raise NvmlError(f"NVML cannot read GPU {gpu} ({error})") from None
    if isinstance(name, bytes):  # older nvidia-ml-py gives bytes
        name = name.decode("utf-8", "replace")
    return NvmlCard(gpu, total, str(name))
