"""Times replaying a large journal, and the memory it takes.

    .venv/bin/python bench/journal.py               # a 1 GiB journal
    .venv/bin/python bench/journal.py --mib 64      # a smaller one, for a quick look

Writes a journal of real lines into a temporary folder (three lives of a card
whose host probes its models every second, asks for routes, and now and then
sees a server die and reloads it, with journal_queries=True so that --check
has answers to compare), then runs each command in a fresh process and
prints its wall time and peak resident memory (getrusage's ru_maxrss of that
process alone). The journal is deleted at the end.

A benchmark for people, not a test: pytest never collects it, and ./dev test
does not run it. Run it with PYTHONPATH pointing at another checkout's
python/ folder to measure that checkout's package.
"""

from __future__ import annotations

import argparse
import itertools
import os
import subprocess
import sys
import tempfile
import time
from typing import TextIO

import garnel

GIB = 2**30
ROSTER = [
    garnel.Model("chat-8b", 15 * GIB, 2 * GIB),
    garnel.Model("coder-14b", 9 * GIB, GIB),
    garnel.Model("embed-small", GIB),
    garnel.Model("rerank-base", GIB, GIB // 4),
]
LIVES = 3

# Runs a command and reports its time and peak memory; a process of its own,
# so that RUSAGE_CHILDREN's maximum is this command's alone.
MEASURE = """\
import resource, subprocess, sys, time
start = time.perf_counter()
done = subprocess.run(sys.argv[1:], stdout=subprocess.DEVNULL, stderr=subprocess.PIPE, text=True)
elapsed = time.perf_counter() - start
peak = resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss
print(elapsed, peak * (1 if sys.platform == "darwin" else 1024), done.returncode)
sys.stderr.write(done.stderr[-2000:])
"""


class Buffered:
    """A journal target that leaves flushing to the file's buffer: writing the
    file is not what is measured, and a flush per line would be most of it."""

    def __init__(self, file: TextIO) -> None:
        self.file = file

    def write(self, text: str) -> int:
        return self.file.write(text)

    def flush(self) -> None:
        pass


def write_life(sink: Buffered, file: TextIO, size: int, start_ms: int) -> int:
    """One life of a card, until the file holds `size` bytes; returns its last time."""
    now = start_ms
    fleet = garnel.Fleet(
        24 * GIB, 10, ROSTER, clock=lambda: now, journal=sink, journal_queries=True
    )
    names = [model.name for model in ROSTER]
    endpoints = {name: f"http://127.0.0.1:{8001 + i}" for i, name in enumerate(names)}
    while (model := fleet.next_to_load()) is not None:
        fleet.load_started(model)
        fleet.probe_ok(model, next(m for m in ROSTER if m.name == model).weights_bytes)
        fleet.set_endpoint(model, endpoints[model])
    resident = [name for name in names if fleet.route(name).ready]
    for tick in itertools.count():
        now += 1000
        for name in resident:
            fleet.probe_ok(name, GIB)
        fleet.route(resident[tick % len(resident)])
        fleet.route(names[tick % len(names)])
        if tick % 10 == 0:
            fleet.report()
            fleet.free_bytes()
            fleet.next_to_load()
        if tick % 997 == 0:
            dead = resident[tick % len(resident)]
            fleet.process_exited(dead, code=-9)
            fleet.load_started(dead)
            fleet.probe_ok(dead, GIB)
            fleet.set_endpoint(dead, endpoints[dead])
        if tick % 1000 == 0 and file.tell() >= size:
            break
    fleet.close()
    return now


def write_journal(path: str, size: int) -> None:
    with open(path, "w", encoding="utf-8", buffering=1 << 20) as file:
        sink = Buffered(file)
        now = 0
        for life in range(LIVES):
            now = write_life(sink, file, size * (life + 1) // LIVES, now + 60_000)


def measure(command: list[str]) -> tuple[float, int, int]:
    done = subprocess.run(
        [sys.executable, "-c", MEASURE, *command], capture_output=True, text=True, check=True
    )
    if done.stderr:
        sys.stderr.write(done.stderr)
    elapsed, peak, status = done.stdout.split()
    return float(elapsed), int(peak), int(status)


def main() -> int:
    parser = argparse.ArgumentParser(description=(__doc__ or "").split("\n\n")[0])
    parser.add_argument("--mib", type=int, default=1024, help="journal size in MiB (1024)")
    options = parser.parse_args()
    print(f"Python {sys.version.split()[0]}; garnel {garnel.__version__} from {garnel.__file__}")
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "card.journal")
        start = time.perf_counter()
        write_journal(path, options.mib * 2**20)
        size = os.path.getsize(path)
        with open(path, "rb") as file:
            lines = sum(chunk.count(b"\n") for chunk in iter(lambda: file.read(1 << 24), b""))
        print(
            f"journal: {size / 2**20:.0f} MiB, {lines:,} lines, {LIVES} lives "
            f"(written in {time.perf_counter() - start:.1f} s)"
        )
        print()
        replay = [sys.executable, "-m", "garnel", "replay", path]
        cases = {
            "garnel replay FILE": replay,
            "garnel replay FILE --check": [*replay, "--check"],
            "garnel replay FILE --life 0 --at x3": [
                *replay,
                "--life",
                "0",
                "--at",
                "100000",
                "--at",
                "200000",
                "--at",
                "300000",
            ],
        }
        header = f"{'command':40} {'seconds':>8} {'peak MiB':>9} {'exit':>5}"
        print(header)
        print("-" * len(header))
        for name, command in cases.items():
            elapsed, peak, status = measure(command)
            print(f"{name:40} {elapsed:8.1f} {peak / 2**20:9.0f} {status:5d}")
    return 0


if __name__ == "__main__":
    sys.exit(main())
