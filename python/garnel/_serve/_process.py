"""Model servers as processes: started from an argv, never through a shell, and never left behind.

Each server runs in a session and process group of its own (so ending it ends
whatever it forked, and a terminal's Ctrl-C reaches serve alone), with its
standard output and error appended to its log file.

A server must not outlive serve. Serve ends every group it started when it
stops, on an error too. For a serve that is killed outright (SIGKILL), on
Linux each server asks the kernel for SIGKILL when serve dies
(PR_SET_PDEATHSIG, set between fork and exec). That reaches the direct child
only: a server that forks workers should have them watch their parent, as
the engines' own workers do. Elsewhere there is no such request, and a
server outlives a serve killed with SIGKILL: end its group by hand
(`kill -- -PID`, PID as serve's log names it).
"""

from __future__ import annotations

import asyncio
import contextlib
import ctypes
import os
import shlex
import signal
import sys
import time
from collections.abc import Mapping, Sequence
from pathlib import Path
from typing import Any, Callable

PR_SET_PDEATHSIG = 1
TAIL_LINES = 5
TAIL_CHARS = 600
TAIL_BYTES = 64 * 1024


def _find_prctl() -> Any:
    if not sys.platform.startswith("linux"):
        return None
    try:
        return ctypes.CDLL(None, use_errno=True).prctl  # the C library serve already has
    except (OSError, AttributeError):
        return None


# Found before any fork: the child only calls it.
_PRCTL = _find_prctl()


def _dies_with(parent: int) -> Callable[[], None]:
    def in_the_child() -> None:
        if _PRCTL is not None:
            _PRCTL(PR_SET_PDEATHSIG, ctypes.c_ulong(signal.SIGKILL), 0, 0, 0)
        if os.getppid() != parent:  # serve died before the request was made
            os._exit(1)

    return in_the_child


def exit_text(code: int) -> str:
    """An exit status for people: a code, or the signal that ended the process."""
    if code < 0:
        try:
            return f"killed by {signal.Signals(-code).name}"
        except ValueError:
            return f"killed by signal {-code}"
    return f"exited with code {code}"


class ServerProcess:
    """One running server: its process, its group, and the part of its log it wrote."""

    def __init__(self, process: asyncio.subprocess.Process, log: Path, log_start: int) -> None:
        self.process = process
        self.pid = process.pid
        self.log = log
        self.log_start = log_start
        self.exit_code: int | None = None
        self._waiting = asyncio.ensure_future(process.wait())

    @property
    def running(self) -> bool:
        return not self._waiting.done()

    async def wait(self) -> int:
        """Waits for the server to exit; returns its code (negative: the signal)."""
        code = await asyncio.shield(self._waiting)
        self.exit_code = code
        return code

    def signal_group(self, sig: signal.Signals) -> None:
        with contextlib.suppress(ProcessLookupError, PermissionError):
            os.killpg(self.pid, sig)

    async def end(self, grace_s: float) -> None:
        """SIGTERM to the group, SIGKILL after `grace_s`; returns once the server is gone."""
        if self.running:
            self.signal_group(signal.SIGTERM)
            try:
                await asyncio.wait_for(asyncio.shield(self._waiting), grace_s)
            except asyncio.TimeoutError:
                pass
        # Whatever the server forked and left behind goes with it.
        self.signal_group(signal.SIGKILL)
        await self.wait()

    def kill_now(self) -> None:
        """SIGKILL to the group without waiting: for a serve that is going down anyway."""
        self.signal_group(signal.SIGKILL)

    def tail(self) -> str:
        """The last lines this server wrote to its log, on one line."""
        try:
            with open(self.log, "rb") as file:
                # The end alone: a server that logged gigabytes is read no further back.
                size = file.seek(0, os.SEEK_END)
                file.seek(max(self.log_start, size - TAIL_BYTES))
                text = file.read(TAIL_BYTES).decode("utf-8", "replace")
        except OSError as error:
            return f"(its log {self.log} cannot be read: {error.strerror})"
        lines = [line.strip() for line in text.splitlines() if line.strip()][-TAIL_LINES:]
        if not lines:
            return f"(nothing in its log {self.log})"
        joined = " | ".join(lines)
        if len(joined) > TAIL_CHARS:
            joined = "..." + joined[-TAIL_CHARS:]
        return f"last lines of {self.log}: {joined}"


async def start(
    name: str,
    program: str,
    argv: Sequence[str],
    env: Mapping[str, str],
    log: Path,
    cwd: Path,
) -> ServerProcess:
    """Starts `program` with `argv` (argv[0] as the configuration names it); raises OSError."""
    log.parent.mkdir(parents=True, exist_ok=True)
    # A local append, no slower than the fork that follows.
    with open(log, "ab") as out:  # noqa: ASYNC230
        stamp = time.strftime("%Y-%m-%d %H:%M:%S")
        out.write(f"==> {stamp} garnel serve starts {name}: {shlex.join(argv)}\n".encode())
        out.flush()
        log_start = out.tell()
        process = await asyncio.create_subprocess_exec(
            program,
            *argv[1:],
            stdin=asyncio.subprocess.DEVNULL,
            stdout=out,
            stderr=asyncio.subprocess.STDOUT,
            env=dict(env),
            cwd=cwd,
            start_new_session=True,
            preexec_fn=_dies_with(os.getpid()),
        )
    return ServerProcess(process, log, log_start)
