"""What the host asks a card through NVML (nvidia-ml-py, the `nvml` extra) while it serves,
where NVML answers. A card's total, asked once before anything starts, is
`garnel.nvml_cards`'s to tell.

NVML's calls are short blocking calls into the driver; the host makes a few a
probe, so they run on the event loop rather than on a thread of their own.
Without the package, or without a card, every question answers None and the
host falls back on its plan's figures.
"""

from __future__ import annotations

import importlib
import os
from typing import Any


def _module() -> Any:
    try:
        return importlib.import_module("pynvml")
    except ImportError:
        return None


def _shutdown(nvml: Any) -> None:
    try:
        nvml.nvmlShutdown()
    except nvml.NVMLError:
        pass


class Card:
    """One GPU as NVML sees it while the host runs; opened once, closed at the end."""

    def __init__(self, gpu: int) -> None:
        self.gpu = gpu
        self._nvml = _module()
        if self._nvml is not None:
            try:
                self._nvml.nvmlInit()
            except self._nvml.NVMLError:
                self._nvml = None

    def close(self) -> None:
        if self._nvml is not None:
            _shutdown(self._nvml)
            self._nvml = None

    def group_bytes(self, group: int) -> int | None:
        """The bytes NVML counts for the processes of process group `group` on this card.

        None when NVML does not answer, or lists none of them (a server in
        another PID namespace than the host, or one that holds nothing yet).
        """
        nvml = self._nvml
        if nvml is None:
            return None
        try:
            handle = nvml.nvmlDeviceGetHandleByIndex(self.gpu)
            processes = list(nvml.nvmlDeviceGetComputeRunningProcesses(handle))
        except nvml.NVMLError:
            return None
        held, seen = 0, False
        for process in processes:
            try:
                if os.getpgid(int(process.pid)) != group:
                    continue
            except OSError:  # gone since NVML listed it, or not ours to see
                continue
            seen = True
            held += int(process.usedGpuMemory or 0)
        return held if seen else None

    def present(self) -> bool:
        """False only when NVML says the card is gone; True when it cannot tell."""
        nvml = self._nvml
        if nvml is None:
            return True
        try:
            nvml.nvmlDeviceGetMemoryInfo(nvml.nvmlDeviceGetHandleByIndex(self.gpu))
        except nvml.NVMLError as error:
            lost = getattr(nvml, "NVML_ERROR_GPU_IS_LOST", 15)
            return getattr(error, "value", None) != lost
        return True
