"""garnel.nvml_cards: the machine's cards through NVML, here a stand-in module, with every
refusal said in one line and NVML shut again whatever happened."""

from __future__ import annotations

import sys
import types
from typing import Any

import garnel
import pytest

GIB = 2**30


class NVMLError(Exception):
    pass


def stand_in(totals: list[int], init_fails: bool = False) -> Any:
    """A pynvml with these cards, counting its opens and shuts."""
    nvml: Any = types.ModuleType("pynvml")
    nvml.NVMLError = NVMLError
    nvml.opened = 0

    def init() -> None:
        if init_fails:
            raise NVMLError("Driver Not Loaded")
        nvml.opened += 1

    def shut() -> None:
        nvml.opened -= 1

    def handle(index: int) -> int:
        if index >= len(totals):
            raise NVMLError("Invalid Argument")
        return index

    nvml.nvmlInit, nvml.nvmlShutdown, nvml.nvmlDeviceGetHandleByIndex = init, shut, handle
    nvml.nvmlDeviceGetCount = lambda: len(totals)
    nvml.nvmlDeviceGetMemoryInfo = lambda index: types.SimpleNamespace(total=totals[index])
    nvml.nvmlDeviceGetName = lambda index: b"Stand-in GPU" if index else "Stand-in GPU 0"
    return nvml


@pytest.mark.parametrize(
    ("gpus", "found"),
    [
        (None, [(0, 24 * GIB, "Stand-in GPU 0"), (1, 80 * GIB, "Stand-in GPU")]),
        ([1], [(1, 80 * GIB, "Stand-in GPU")]),  # older nvidia-ml-py's bytes, decoded
        ((1, 0), [(1, 80 * GIB, "Stand-in GPU"), (0, 24 * GIB, "Stand-in GPU 0")]),
        ([], []),
    ],
)
def test_the_cards_asked_for_in_their_order(
    monkeypatch: pytest.MonkeyPatch, gpus: Any, found: list[tuple[int, int, str]]
) -> None:
    nvml = stand_in([24 * GIB, 80 * GIB])
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    assert garnel.nvml_cards(gpus) == [garnel.NvmlCard(*card) for card in found]
    assert nvml.opened == 0


@pytest.mark.parametrize(
    ("totals", "init_fails", "gpus", "error", "message"),
    [
        (None, False, None, garnel.MissingExtra, "NVML is not installed (pip install 'garnel[nvml]')"),
        ([GIB], True, None, garnel.NvmlError, "NVML answers no card (Driver Not Loaded)"),
        ([], False, None, garnel.NvmlError, "NVML sees no GPU"),
        ([GIB], False, [0, 3], garnel.NvmlError, "NVML cannot read GPU 3 (Invalid Argument)"),
        ([GIB], False, [True], TypeError, "an int, not bool"),
        ([GIB], False, [-1], ValueError, "from 0 up, not -1"),
    ],
)  # fmt: skip
def test_each_refusal_says_why(
    monkeypatch: pytest.MonkeyPatch,
    totals: list[int] | None,
    init_fails: bool,
    gpus: list[int] | None,
    error: type[Exception],
    message: str,
) -> None:
    nvml = None if totals is None else stand_in(totals, init_fails)
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    with pytest.raises(error) as refused:
        garnel.nvml_cards(gpus)
    assert str(refused.value).endswith(message)
    assert nvml is None or nvml.opened == 0
