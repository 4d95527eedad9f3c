"""Where NVML answers: the card's total when the configuration gives none, and probes that
report what the server's processes hold, with a warning when that is more than planned."""

from __future__ import annotations

import json
import pathlib
from typing import Any

from serve_support import GIB, Host, journal_lines, model, start_host

__all__ = ["start_host"]  # the fixture

# NVML as nvidia-ml-py gives it, for a 20 GiB card on which each of serve's children
# (a server) holds 3 GiB.
FAKE_NVML = """
import os

NVML_ERROR_GPU_IS_LOST = 15


class NVMLError(Exception):
    value = 0


def nvmlInit(): pass
def nvmlShutdown(): pass
def nvmlDeviceGetHandleByIndex(index): return index
def nvmlDeviceGetName(handle): return b"Fake Card"


class _Memory:
    total = 20 * 2**30


def nvmlDeviceGetMemoryInfo(handle): return _Memory()


class _Process:
    def __init__(self, pid):
        self.pid, self.usedGpuMemory = pid, 3 * 2**30


def nvmlDeviceGetComputeRunningProcesses(handle):
    children = []
    for entry in os.listdir("/proc"):
        try:
            with open(f"/proc/{entry}/stat") as stat:
                if int(stat.read().rsplit(")", 1)[1].split()[1]) == os.getpid():
                    children.append(_Process(int(entry)))
        except (OSError, ValueError):
            continue
    return children
"""


def test_nvml_gives_the_total_and_the_bytes_held(start_host: Any, tmp_path: pathlib.Path) -> None:
    (tmp_path / "pynvml.py").write_text(FAKE_NVML)
    host: Host = start_host(
        [model("chat", 1)],
        card={"total": None},
        serve={"journal": "card.journal"},
        path=str(tmp_path),
    )
    host.wait_routes(chat="ready")
    assert host.end() == 0
    lines = journal_lines(host.folder / "card.journal")
    assert lines[0]["total_bytes"] == 20 * GIB
    probed = [json.loads(line["detail"]) for line in lines if line.get("kind") == "probe_ok"]
    assert probed == [{"vramBytes": 3 * GIB}]
    assert f"were planned for it: raise its overhead by {2 * GIB} bytes" in host.stderr()
