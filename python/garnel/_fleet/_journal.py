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
A write that fails leaves the file cut back to its last whole line, and the
fleet journals nothing more.
"""

from __future__ import annotations

import errno
import json
import os
import stat
import sys
import threading
import time
from typing import BinaryIO, NoReturn, Protocol, Union

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

# What a line that could not be written recorded, for the error that says so.
A_CHANGE = "the change took effect in the fleet"
A_QUERY = "the query was answered"
A_CONSTRUCTION = ""  # the fleet is never handed out: its construction raises

# Windows locks byte ranges, and a locked range cannot be read by others: the
# lock stands on one byte far past any journal's end, so replaying a live
# journal still reads every line.
_WINDOWS_LOCK_OFFSET = 2**62
# What a lock taken without waiting fails with when another holds it:
# flock's EWOULDBLOCK, msvcrt.locking's EACCES or EDEADLOCK.
_HELD = {errno.EAGAIN, errno.EWOULDBLOCK, errno.EACCES, errno.EDEADLK}


class Hold:
    """`with writer.changing:` or `with writer.querying:`: the journal held by
    one call, refused at once to a call that re-enters the fleet meanwhile.

    A signal landing between taking the lock and marking it busy, or between
    the two at the end, runs its call whole outside this one's work: sound.
    """

    __slots__ = ("_call", "_writer")

    def __init__(self, writer: JournalWriter, call: int) -> None:
        self._writer = writer
        self._call = call

    def __enter__(self) -> None:
        writer = self._writer
        writer.lock.acquire()
        if writer.busy or writer.refusal is not None:
            writer.lock.release()
            writer.refuse(self._call)
        writer.busy = self._call

    def __exit__(self, *_: object) -> None:
        writer = self._writer
        writer.busy = FREE
        writer.lock.release()


class JournalWriter:
    """Writes a fleet's lines, each whole, straight to the file.

    `lock` orders call and line between threads; a call holds it through
    `changing` or `querying`, which set `busy`, so that a call re-entering
    the fleet on the same thread (a signal handler, an `__index__`) is
    refused instead of waiting on itself. Once `refusal` is set (closed, or a
    write failed) no call is journaled again.
    """

    __slots__ = (
        *("_fd", "_file", "_regular", "_sink", "_whole"),
        *("busy", "changing", "lock", "name", "querying", "refusal"),
    )

    def __init__(self, target: JournalTarget) -> None:
        self.lock = threading.RLock()
        self.busy = FREE
        self.changing = Hold(self, CHANGE)
        self.querying = Hold(self, QUERY)
        # The error every journaled call raises from now on, as type and text:
        # a fresh one each time, holding no frames of the call that set it.
        self.refusal: tuple[type[ValueError], str] | None = None
        self._file: BinaryIO | None = None
        self._sink: TextSink | None = None
        self._fd = -1
        self._regular = False  # a regular file: locked, and cut back after a failed write
        self._whole = 0  # the file's size after its last whole line
        if not isinstance(target, (str, os.PathLike)):
            self._sink = target
            self.name = str(getattr(target, "name", "<journal>"))
            return
        self.name = os.fspath(target)
        # Unbuffered, so every line goes to the file in the os.write calls
        # that count its bytes; binary, so Windows writes "\n" as "\n".
        self._file = open(target, "ab", buffering=0)  # noqa: SIM115
        self._fd = self._file.fileno()
        try:
            if stat.S_ISREG(os.fstat(self._fd).st_mode):
                self._lock()
                self._regular = True
                self._whole = os.fstat(self._fd).st_size
                if self._whole and not _ends_a_line(target):
                    # A host that died writing a line left it cut short: the new
                    # life starts on a line of its own, or its construction is lost.
                    self._write(b"\n", A_CONSTRUCTION)
        except BaseException:
            self._file.close()
            raise

    def _lock(self) -> None:
        try:
            if sys.platform == "win32":
                os.lseek(self._fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
                msvcrt.locking(self._fd, msvcrt.LK_NBLCK, 1)
            else:
                # flock, not fcntl's record locks: two opens in one process conflict too.
                fcntl.flock(self._fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except OSError as error:
            if error.errno in _HELD:
                raise JournalError(
                    f"{self.name}: another fleet is writing this journal; a journal has one "
                    "writer, so close that fleet first or give this one a journal of its own"
                ) from None
            raise JournalError(f"{self.name}: cannot lock the journal: {error}") from None

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
            self.write(json.dumps(line, separators=(",", ":")) + "\n", A_CONSTRUCTION)

    def refuse(self, call: int) -> NoReturn:
        """Raise what `call` (CHANGE or QUERY) meets: the journal busy on this
        thread, closed, or stopped by a failed write."""
        if self.busy:
            # The module's own words for a call into a fleet that a call on the
            # stack holds. A journaled query holds the journal alone, though the
            # module's queries share: its line must not be split by another's.
            changing = self.busy == CHANGE and call == QUERY
            raise RuntimeError("Already mutably borrowed" if changing else "Already borrowed")
        self.raise_refusal()

    def raise_refusal(self, cause: BaseException | None = None) -> NoReturn:
        assert self.refusal is not None
        kind, message = self.refusal
        raise kind(message) from cause

    def write(self, line: str, what: str) -> None:
        """Write one whole line; `what` (A_CHANGE, A_QUERY) says what it recorded."""
        if self._sink is None:
            self._write(line.encode(), what)
            return
        try:
            self._sink.write(line)
            self._sink.flush()
        except Exception as error:  # noqa: BLE001 - a file given may fail in any way
            self._fail(error, what)
            self.raise_refusal(error)

    def _write(self, data: bytes, what: str) -> None:
        # os.write may write part of a line (a full disk, a file size limit)
        # and fail only at the next call, so the loop is ours.
        done = 0
        try:
            while done < len(data):
                written = os.write(self._fd, data[done:] if done else data)
                if written == 0:
                    raise OSError(0, "the file took no bytes")
                done += written
        except BaseException as error:
            if done == len(data):  # interrupted once the line was whole
                self._whole += done
                raise
            self._fail(error, what)
            if isinstance(error, OSError):
                self.raise_refusal()  # the OS error is in its message
            raise
        self._whole += done

    def _fail(self, error: BaseException, what: str) -> None:
        """Cut the file back to its last whole line, and journal no more."""
        reason = str(error) or type(error).__name__
        if self._regular:
            try:
                os.ftruncate(self._fd, self._whole)
            except OSError as cut:
                reason += f"; cutting it back to its last whole line failed: {cut}"
        if what == A_CONSTRUCTION:
            message = f"{self.name}: cannot write the fleet's first line ({reason})"
        else:
            message = (
                f"{self.name}: {what} but is not in the journal ({reason}); "
                "this fleet refuses every journaled call until it is closed"
            )
        self.refusal = (JournalError, message)

    def close(self) -> None:
        with self.lock:
            if self.busy:
                self.refuse(CHANGE)
            if self.refusal is not None and self.refusal[0] is ValueError:
                return  # closed already
            failed, self.refusal = self.refusal, (ValueError, "the fleet's journal is closed")
            if self._file is None:
                if self._sink is not None and failed is None:
                    self._sink.flush()
                return
            try:
                if self._regular and sys.platform == "win32":
                    # Windows frees a lock left at close only when it gets round to it.
                    os.lseek(self._fd, _WINDOWS_LOCK_OFFSET, os.SEEK_SET)
                    msvcrt.locking(self._fd, msvcrt.LK_UNLCK, 1)
            finally:
                self._file.close()


def _ends_a_line(path: str | os.PathLike[str]) -> bool:
    with open(path, "rb") as file:
        file.seek(-1, os.SEEK_END)
        return file.read(1) == b"\n"
