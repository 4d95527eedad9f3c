"""The journal a Fleet writes: one JSON line for each change that took effect.

A journal is JSON lines. Each life of a card begins with its construction
line, which carries the package version and the three arguments the
extension's Fleet was built with:

    {"op":"fleet","garnel":"0.4.7","total_bytes":...,"reserve_pct":10,"declared_json":"[...]",
     "now":...,"time":"2026-01-05T09:00:00Z"}

("now" and "time", the host's clock and the wall clock at construction, are
there for people reading the file). Then one line per change that took effect,
with the arguments as the extension got them and the time of the change (for
`set_endpoint` too, which the extension takes without one):

    {"op":"observe","model":"m","kind":"probe_ok","detail":"{\\"vramBytes\\":1}","now":5000}
    {"op":"set_endpoint","model":"m","endpoint":"http://127.0.0.1:8001","now":5000}

and, when queries are journaled, each query with its answer ("route" and
"report" with their "now"; "next_to_load", "committed_bytes", "free_bytes").

A journal has one writer: a fleet that opens a path holds an advisory lock on
the file until it is closed or its process dies, and a second fleet is refused.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import sys
import threading
import time
from typing import NoReturn, Protocol, TextIO, Union

import _garnel

from .._errors import JournalError

if sys.platform == "win32":
    import msvcrt
else:
    import fcntl


class TextSink(Protocol):
    """A writable text file, as far as the journal uses one."""

    def write(self, text: str, /) -> int: ...
    def flush(self) -> None: ...


JournalTarget = Union[str, "os.PathLike[str]", TextSink]
"""Where a Fleet journals: a path, opened for appending, or a writable text file."""


# What holds the journal, as the call holding it sets `JournalWriter.busy`.
FREE, CHANGE, QUERY = 0, 1, 2

# Windows locks byte ranges, and a locked range cannot be read by others: the
# lock stands on one byte far past any journal's end, so replaying a live
# journal still reads every line.
_WINDOWS_LOCK_OFFSET = 2**62
# What a lock taken without waiting fails with when another holds it:
# flock's EWOULDBLOCK, msvcrt.locking's EACCES or EDEADLOCK.
_HELD = {errno.EAGAIN, errno.EWOULDBLOCK, errno.EACCES, errno.EDEADLK}


class JournalWriter:
    """Writes a fleet's lines, each whole and flushed.

    `lock` orders call and line between threads; the call holding it sets
    `busy` to CHANGE or QUERY, so that a call re-entering the fleet on the
    same thread (a signal handler, an `__index__`) is refused instead of
    waiting on itself.
    """

    __slots__ = ("_file", "_locked", "_opened", "busy", "closed", "lock", "name")

    def __init__(self, target: JournalTarget) -> None:
        self._opened: TextIO | None = None
        self._locked = False
        if isinstance(target, (str, os.PathLike)):
            self.name = os.fspath(target)
            self._opened = open(target, "a", encoding="utf-8")  # noqa: SIM115
            self._file: TextSink = self._opened
            opened = self._opened
            try:
                if stat.S_ISREG(os.fstat(opened.fileno()).st_mode):
                    self._lock()
                if opened.seekable() and opened.tell() > 0 and not _ends_a_line(target):
                    # A host that died writing a line left it cut short: the new
                    # life starts on a line of its own, or its construction is lost.
                    opened.write("\n")
            except BaseException:
                opened.close()
                raise
        else:
            self._file = target
        self.lock = threading.RLock()
        self.busy = FREE
        self.closed = False

    def _lock(self) -> None:
        assert self._opened is not None
        fd = self._opened.fileno()
        try:
            if sys.platform == "win32":
                os.lseek(fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
                msvcrt.locking(fd, msvcrt.LK_NBLCK, 1)
            else:
                # flock, not fcntl's record locks: two opens in one process conflict too.
                fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in _HELD:
                raise JournalError(
                    f"{self.name}: another fleet is writing this journal; a journal has one "
                    "writer, so close that fleet first or give this one a journal of its own"
                ) from None
            raise JournalError(f"{self.name}: cannot lock the journal: {error}") from None
        self._locked = True

    def construction(
        self, total_bytes: int, reserve_pct: int, declared_json: str, now: int
    ) -> None:
        line = {
            "op": "fleet",
            "garnel": _garnel.__version__,
            "total_bytes": total_bytes,
            "reserve_pct": reserve_pct,
            "declared_json": declared_json,
            "now": now,
            "time": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
        }
        with self.lock:
            self.write(json.dumps(line, separators=(",", ":")) + "\n")

    def refuse(self, call: int) -> NoReturn:
        """Raise what `call` (CHANGE or QUERY) meets when the journal is busy on this thread."""
        # The module's own words for a call into a fleet that a call on the
        # stack holds. A journaled query holds the journal alone, though the
        # module's queries share: its line must not be split by another's.
        changing = self.busy == CHANGE and call == QUERY
        raise RuntimeError("Already mutably borrowed" if changing else "Already borrowed")

    def check_open(self) -> None:
        if self.closed:
            raise ValueError("the fleet's journal is closed")

    def write(self, line: str) -> None:
        self._file.write(line)
        self._file.flush()

    def close(self) -> None:
        with self.lock:
            if self.busy:
                self.refuse(CHANGE)
            if self.closed:
                return
            self.closed = True
            if self._opened is not None:
                try:
                    if self._locked and sys.platform == "win32":
                        # Windows frees a lock left at close only when it gets round to it.
                        fd = self._opened.fileno()
                        os.lseek(fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
                        msvcrt.locking(fd, msvcrt.LK_UNLCK, 1)
                finally:
                    self._opened.close()
            else:
                self._file.flush()


def _ends_a_line(path: str | os.PathLike[str]) -> bool:
    with open(path, "rb") as file:
        file.seek(-1, os.SEEK_END)
        return file.read(1) == b"\n"
