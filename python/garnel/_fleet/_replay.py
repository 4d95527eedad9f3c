"""Reading a journal back, line by line: its lives checked, and a card replayed from one.

A journal is read once, in order, holding one line at a time: however long
the file, the memory it takes is that of a line and of the fleets being
driven. Which life is the last is only known at the end, so without a chosen
life every life is driven as it is read, and each one started drops the one
before. A fleet per life costs less than reading the file twice (once to
find the last life, once to replay it), and it reads a pipe or an open file
as well as a path.

Damage is what a crash or a failed write leaves: a line cut short, which is
no JSON. It ends its life with a warning; the lines after it, up to the next
construction line, are skipped (one warning says how many); later lives read
as usual. A cut construction line starts no life, so lives are counted, from
0, among whole construction lines only. A line that is JSON but not a
journal line is no crash's doing: it raises JournalError naming file and line.
"""

from __future__ import annotations

import json
import json.scanner
import os
import stat
import warnings
from collections.abc import Iterable, Iterator, Sequence
from dataclasses import dataclass
from typing import Any, Callable, NamedTuple, TextIO

import _garnel

from .._errors import JournalError
from .._model import U64_MAX
from ._fleet import Fleet

# The fields each kind of line must carry, with their types. Byte counts and
# times are the extension's unsigned 64-bit integers.
_STR, _INT, _STR_OR_NONE = "text", "a whole number from 0 to 2**64 - 1", "text or null"
_LINE_FIELDS: dict[str, dict[str, str]] = {
    "fleet": {
        "garnel": _STR,
        "total_bytes": _INT,
        "reserve_pct": _INT,
        "declared_json": _STR,
    },
    "observe": {"model": _STR, "kind": _STR, "detail": _STR, "now": _INT},
    "set_endpoint": {"model": _STR, "endpoint": _STR, "now": _INT},
    "route": {"model": _STR, "now": _INT, "answer": _STR},
    "report": {"now": _INT, "answer": _STR},
    "next_to_load": {"answer": _STR_OR_NONE},
    "committed_bytes": {"answer": _INT},
    "free_bytes": {"answer": _INT},
}
# Fields a line may leave out, checked when present: a construction's "now" is
# the time a life with no later line is replayed at.
_OPTIONAL_FIELDS: dict[str, dict[str, str]] = {"fleet": {"now": _INT}}
QUERIES = frozenset(("route", "report", "next_to_load", "committed_bytes", "free_bytes"))
_REFUSED = (ValueError, TypeError, OverflowError, UnicodeError)

# Each op's fields as (key, the type its value has), for the check every line
# passes; a line it does not pass is looked at again, slowly, to say why.
_SHAPES: dict[str, tuple[tuple[str, type], ...]] = {
    op: tuple((key, int if kind == _INT else str) for key, kind in fields.items())
    for op, fields in _LINE_FIELDS.items()
}


def _fits(value: object, kind: str) -> bool:
    if kind == _INT:
        return type(value) is int and 0 <= value <= U64_MAX
    if kind == _STR_OR_NONE and value is None:
        return True
    return isinstance(value, str)


class Line(NamedTuple):
    """One record of a journal and the line number it stood on (from 1)."""

    number: int
    record: dict[str, Any]

    @property
    def op(self) -> str:
        return str(self.record["op"])


class BadLine(Exception):
    """What is wrong with one line; the reader adds where it stands."""


class NotJson(BadLine):
    """A line that is no JSON at all, as a line cut short by a crash is."""


# json's own scanner, called without json.loads' two looks for white space:
# a journal's lines have none but the line feed.
_scan: Callable[[str, int], tuple[object, int]] = json.scanner.make_scanner(
    json.JSONDecoder()  # type: ignore[arg-type]
)


def _decode(text: str) -> object:
    try:
        record, end = _scan(text, 0)
    except Exception:  # noqa: BLE001 - json.loads below says what is wrong
        record, end = None, 0
    if end and (end == len(text) or text[end:].isspace()):
        return record
    try:
        return json.loads(text)
    except json.JSONDecodeError as error:
        # Some of json's messages end in "at", ready for its own " line 1 column 5".
        message = error.msg.removesuffix(" at")
        raise NotJson(f"not JSON ({message} at column {error.colno})") from None
    except RecursionError:  # the parser recurses into arrays and objects
        raise BadLine("JSON nested too deeply") from None


def _checked(record: object) -> dict[str, Any]:
    """The record of one line, checked field by field; raises BadLine for a bad one."""
    if type(record) is dict:
        op = record.get("op")
        shape = _SHAPES.get(op) if type(op) is str else None
        if shape is not None:
            for key, kind in shape:
                if type(record.get(key)) is not kind or (
                    kind is int and not 0 <= record[key] <= U64_MAX
                ):
                    break
            else:
                if op != "fleet":  # the one op with an optional field, once a life
                    return record
    return _checked_slowly(record)


def _checked_slowly(record: object) -> dict[str, Any]:
    if not isinstance(record, dict):
        raise BadLine("not a JSON object")
    op = record.get("op")
    if not isinstance(op, str) or op not in _LINE_FIELDS:
        raise BadLine(f"unknown op {op!r}")
    for key, kind in _LINE_FIELDS[op].items():
        if key not in record:
            raise BadLine(f'{op} line without "{key}"')
        if not _fits(record[key], kind):
            raise BadLine(f'{op} line whose "{key}" is not {kind}')
    for key, kind in _OPTIONAL_FIELDS.get(op, {}).items():
        if key in record and not _fits(record[key], kind):
            raise BadLine(f'{op} line whose "{key}" is not {kind}')
    return record


def _source_name(journal: object) -> str:
    if isinstance(journal, (str, os.PathLike)):
        return os.fspath(journal)
    name = getattr(journal, "name", None)
    return name if isinstance(name, str) else "<journal>"


def _open(path: str | os.PathLike[str], source: str) -> TextIO:
    """A journal file opened for reading, refused if it is no regular file."""
    # Opened without waiting (a FIFO with no writer would wait forever) and
    # looked at before a byte is read: a device such as /dev/urandom never ends.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_BINARY", 0)
    try:
        fd = os.open(path, flags)
    except OSError as error:
        raise JournalError(f"{source}: {error.strerror or error}") from None
    if not stat.S_ISREG(os.fstat(fd).st_mode):
        os.close(fd)
        raise JournalError(f"{source}: not a regular file, not a journal")
    # Lines end at "\n" alone, as they are written. Bytes that are no UTF-8
    # (a hand edit in another encoding) come through as lone surrogates: the
    # line is then no JSON, or the fleet refuses its text; either names it.
    return open(fd, encoding="utf-8", errors="surrogateescape", newline="\n")


def read_lines(journal: str | os.PathLike[str] | Iterable[str]) -> Iterator[Line]:
    """Every whole line of a journal, checked, in order: a construction line
    ("op" "fleet") starts each life. Damage is warned of and passed over."""
    source = _source_name(journal)
    if not isinstance(journal, (str, os.PathLike)):
        yield from _read(journal, source)
        return
    with _open(journal, source) as file:
        try:
            yield from _read(file, source)
        except OSError as error:
            raise JournalError(f"{source}: {error.strerror or error}") from None


def _read(texts: Iterable[str], source: str) -> Iterator[Line]:
    in_life = skipping = False
    skipped = skipped_from = 0
    cut: tuple[int, NotJson] | None = None  # a cut line, warned of once what follows is known
    number = 0
    for number, text in enumerate(texts, start=1):
        if cut is not None:
            _warn(
                f"{source}:{cut[0]}: the last line of a life is cut short ({cut[1]}); "
                "that life is replayed up to the line before it"
            )
            cut = None
        if text.isspace() or not text:
            continue
        try:
            record = _decode(text)
        except NotJson as error:
            if skipping:
                skipped += 1
                continue
            if in_life:
                cut, in_life = (number, error), False
            else:
                _warn(
                    f"{source}:{number}: a line cut short ({error}) stands before any life; "
                    "reading on from the next construction line"
                )
            skipping, skipped_from = True, number + 1
            continue
        except BadLine as error:
            if skipping:  # JSON nested too deeply is no construction line either
                skipped += 1
                continue
            raise JournalError(f"{source}:{number}: {error}") from None
        if skipping:
            # Only a whole construction line ends the skipping, and that is
            # checked as any is; anything else is passed over.
            if not (isinstance(record, dict) and record.get("op") == "fleet"):
                skipped += 1
                continue
            if skipped:
                _warn_skipped(source, skipped_from, skipped, f"line {number}")
            skipping, skipped = False, 0
        try:
            record = _checked(record)
        except BadLine as error:
            raise JournalError(f"{source}:{number}: {error}") from None
        if record["op"] == "fleet":
            in_life = True
        elif not in_life:
            raise JournalError(
                f"{source}:{number}: a {record['op']} line before any construction line"
            )
        yield Line(number, record)
    if cut is not None:
        _warn(
            f"{source}:{cut[0]}: the last line is cut short ({cut[1]}); "
            "replaying up to the line before it"
        )
    if skipped:
        _warn_skipped(source, skipped_from, skipped, "the end of the file")


def _warn(message: str, stacklevel: int = 6) -> None:
    # From the reading generators, through the replay, to the caller's line.
    warnings.warn(message, stacklevel=stacklevel)


def _warn_skipped(source: str, first: int, count: int, up_to: str) -> None:
    lines = "1 line" if count == 1 else f"{count} lines"
    _warn(f"{source}:{first}: {lines} after a line cut short skipped, up to {up_to}", 7)


def apply(fleet: _garnel.Fleet, record: dict[str, Any]) -> None:
    """Make the change one line records."""
    if record["op"] == "observe":
        fleet.observe(record["model"], record["kind"], record["detail"], record["now"])
    else:
        fleet.set_endpoint(record["model"], record["endpoint"])


def ask(fleet: _garnel.Fleet, record: dict[str, Any]) -> object:
    """What the fleet answers now to the query a line records."""
    op = record["op"]
    if op == "route":
        return fleet.route(record["model"], record["now"])
    if op == "report":
        return fleet.report(record["now"])
    answer: object = getattr(fleet, op)()
    return answer


class Driven:
    """A fresh fleet driven through one life's changes, stopping at the first
    line timed after `until`. Its clock stands at `until`, or else at the
    time of the life's last line once the life has been read."""

    __slots__ = ("done", "error", "fleet", "last", "raw", "stands_at", "until")

    def __init__(self, life: Life, until: int | None) -> None:
        self.until = until
        self.stands_at = 0 if until is None else until
        self.last = life.construction  # the last line applied
        self.error: JournalError | None = None  # a line the fleet refused
        self.done = False
        record = life.construction.record
        try:
            self.fleet: Fleet | None = Fleet(
                record["total_bytes"],
                record["reserve_pct"],
                record["declared_json"],
                clock=lambda: self.stands_at,
            )
        except _REFUSED as error:
            self.fleet, self.done = None, True
            self.error = life.refused(life.construction, "line", error)
        self.raw = None if self.fleet is None else self.fleet.raw


@dataclass(frozen=True)
class Difference:
    """A recorded answer that the replayed fleet does not give."""

    line: int
    question: str
    recorded: object
    replayed: object


class Life:
    """One life of a card, read line by line: a fleet for each time asked
    for, and, when checking, every recorded query asked again."""

    def __init__(
        self,
        source: str,
        construction: Line,
        untils: Sequence[int | None],
        checking: bool,
        number: int = 0,
    ) -> None:
        self.source = source
        self.construction = construction
        self.number = number  # which life of the file, from 0
        self.lives = number + 1  # how many the file holds, once it is read
        now = construction.record.get("now")
        self.last_now: int | None = now if isinstance(now, int) else None
        self.driven = [Driven(self, until) for until in untils]
        # Checking drives a fleet of its own through every change.
        self.checked = Driven(self, None) if checking else None
        self.compared = 0
        self.difference: Difference | None = None

    def refused(self, line: Line, what: str, error: Exception) -> JournalError:
        return JournalError(f"{self.source}:{line.number}: the fleet refused this {what}: {error}")

    def take(self, line: Line) -> None:
        """Drive the life's fleets through one more line."""
        record = line.record
        if record["op"] in QUERIES:
            asked_at = record.get("now")
            if asked_at is not None:
                self.last_now = asked_at
            if self.checked is not None and not self.checked.done:
                self._ask(line)
            return
        now: int = record["now"]
        self.last_now = now
        for driven in self.driven:
            if driven.done:
                continue
            if driven.until is not None and now > driven.until:
                driven.done = True
                continue
            self._apply(driven, line)
        if self.checked is not None and not self.checked.done:
            self._apply(self.checked, line)

    def _apply(self, driven: Driven, line: Line) -> None:
        try:
            apply(driven.raw, line.record)  # type: ignore[arg-type]
        except _REFUSED as error:
            driven.error, driven.done = self.refused(line, "line", error), True
        else:
            driven.last = line

    def _ask(self, line: Line) -> None:
        checked = self.checked
        assert checked is not None
        record = line.record
        try:
            answer = ask(checked.raw, record)  # type: ignore[arg-type]
        except _REFUSED as error:
            checked.error, checked.done = self.refused(line, "question", error), True
            return
        self.compared += 1
        if answer != record["answer"]:
            question = line.op
            if question == "route":
                question = f"route({record['model']!r}, {record['now']})"
            elif question == "report":
                question = f"report({record['now']})"
            self.difference = Difference(line.number, question, record["answer"], answer)
            checked.done = True

    def finish(self) -> None:
        """The life is read: fleets asked for no time stand at its last one."""
        for driven in self.driven:
            if driven.until is None:
                driven.stands_at = self.last_now or 0

    def fleet(self, number: int) -> tuple[Fleet, Line]:
        """The fleet driven up to the `number`th time asked for, and the last
        line applied; raises the JournalError of a line it refused."""
        driven = self.driven[number]
        if driven.error is not None:
            raise driven.error
        assert driven.fleet is not None
        return driven.fleet, driven.last

    def check(self) -> tuple[int, Difference | None]:
        """How many recorded answers were compared, and the first that differs;
        raises the JournalError of a line or question refused before it."""
        assert self.checked is not None
        if self.difference is None and self.checked.error is not None:
            raise self.checked.error
        return self.compared, self.difference


def read_journal(
    journal: str | os.PathLike[str] | Iterable[str],
    *,
    life: int | None = None,
    untils: Sequence[int | None] = (None,),
    checking: bool = False,
) -> Life:
    """Read a journal from a path or an open text file, driving one life (from
    0; the last when None) through a fleet for each time in `untils`, and,
    when `checking`, asking its recorded queries again."""
    source = _source_name(journal)
    count = 0
    chosen: Life | None = None
    current: Life | None = None
    for line in read_lines(journal):
        if line.record["op"] == "fleet":
            if current is not None:
                current.finish()
            current = None
            if life is None or count == life:
                chosen = current = Life(source, line, untils, checking, count)
            count += 1
        elif current is not None:
            current.take(line)
    if current is not None:
        current.finish()
    if chosen is None:
        raise no_such_life(source, count, life)
    chosen.lives = count
    written_by = chosen.construction.record["garnel"]
    if written_by != _garnel.__version__:
        warnings.warn(
            f"{source}:{chosen.construction.number}: written by garnel {written_by}, "
            f"replayed by {_garnel.__version__}: answers may differ",
            stacklevel=3,
        )
    return chosen


def no_such_life(source: str, count: int, life: int | None) -> JournalError:
    """The error for a journal of `count` lives that has no life `life`."""
    if count == 0:
        return JournalError(f"{source}: no construction line: not a garnel journal")
    return JournalError(
        f"{source}: holds {count} {'life' if count == 1 else 'lives'} "
        f"(0 to {count - 1}), not {life}"
    )


def replay(
    journal: str | os.PathLike[str] | Iterable[str],
    *,
    until: int | None = None,
    life: int | None = None,
) -> Fleet:
    """A fresh Fleet driven through a journal's changes.

    The last life unless `life` names one (from 0, counting whole lives), up
    to and including the changes at or before `until` milliseconds; the lines
    are taken in their order and the first one timed after `until` ends the
    replay. The fleet's clock stands still at `until`, or else at the time of
    the life's last line, so its `report()` and `route()` answer for that
    moment. The file is read line by line, in bounded memory.
    """
    return read_journal(journal, life=life, untils=(until,)).fleet(0)[0]
