"""Reading a journal back: its lives, checked line by line, and a card replayed from one."""

from __future__ import annotations

import json
import os
import warnings
from collections.abc import Iterable
from dataclasses import dataclass
from typing import Any

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
QUERIES = ("route", "report", "next_to_load", "committed_bytes", "free_bytes")


def _fits(value: object, kind: str) -> bool:
    if kind == _INT:
        return isinstance(value, int) and not isinstance(value, bool) and 0 <= value <= U64_MAX
    if kind == _STR_OR_NONE and value is None:
        return True
    return isinstance(value, str)


@dataclass(frozen=True)
class Line:
    """One record of a journal and the line number it stood on (from 1)."""

    number: int
    record: dict[str, Any]

    @property
    def op(self) -> str:
        return str(self.record["op"])

    @property
    def now(self) -> int | None:
        now = self.record.get("now")
        return now if isinstance(now, int) and self.op != "fleet" else None


@dataclass(frozen=True)
class Life:
    """One life of a card: its construction line and what followed it."""

    construction: Line
    lines: tuple[Line, ...]

    @property
    def last_now(self) -> int | None:
        """The time of the last timed line, or of the construction when there is none."""
        for line in reversed(self.lines):
            if line.now is not None:
                return line.now
        now = self.construction.record.get("now")
        return now if isinstance(now, int) else None


@dataclass(frozen=True)
class Journal:
    """A journal read and checked line by line."""

    source: str
    lives: tuple[Life, ...]

    def life(self, index: int | None = None) -> Life:
        """The life counted from 0, or the last; warns if another version wrote it."""
        if not self.lives:
            raise JournalError(f"{self.source}: no construction line: not a garnel journal")
        if index is None:
            index = len(self.lives) - 1
        if not 0 <= index < len(self.lives):
            count = len(self.lives)
            raise JournalError(
                f"{self.source}: holds {count} {'life' if count == 1 else 'lives'} "
                f"(0 to {count - 1}), not {index}"
            )
        chosen = self.lives[index]
        written_by = chosen.construction.record["garnel"]
        if written_by != _garnel.__version__:
            warnings.warn(
                f"{self.source}:{chosen.construction.number}: written by garnel {written_by}, "
                f"replayed by {_garnel.__version__}: answers may differ",
                stacklevel=3,
            )
        return chosen


class BadLine(Exception):
    """What is wrong with one line; the reader adds where it stands."""


class NotJson(BadLine):
    """A line that is no JSON at all, as a line cut short by a crash is."""


def _parse_line(text: str) -> dict[str, Any]:
    """The record on one line; raises BadLine for a bad one."""
    try:
        record = json.loads(text)
    except json.JSONDecodeError as error:
        raise NotJson(f"not JSON ({error.msg} at column {error.colno})") from None
    except RecursionError:  # the parser recurses into arrays and objects
        raise BadLine("JSON nested too deeply") from None
    if not isinstance(record, dict):
        raise BadLine("not a JSON object")
    op = record.get("op")
    fields = _LINE_FIELDS.get(op) if isinstance(op, str) else None
    if fields is None:
        raise BadLine(f"unknown op {op!r}")
    for key, kind in fields.items():
        if key not in record:
            raise BadLine(f'{op} line without "{key}"')
        if not _fits(record[key], kind):
            raise BadLine(f'{op} line whose "{key}" is not {kind}')
    for key, kind in _OPTIONAL_FIELDS.get(str(op), {}).items():
        if key in record and not _fits(record[key], kind):
            raise BadLine(f'{op} line whose "{key}" is not {kind}')
    return record


def _source_name(journal: object) -> str:
    if isinstance(journal, (str, os.PathLike)):
        return os.fspath(journal)
    name = getattr(journal, "name", None)
    return name if isinstance(name, str) else "<journal>"


def read_journal(journal: str | os.PathLike[str] | Iterable[str]) -> Journal:
    """Read a journal from a path or an open text file.

    A last line cut short (no line feed and not a whole record) is dropped with
    a warning, as is a line that is no JSON just before a construction line (a
    life cut short by a crash, then a restart); any other bad line raises
    JournalError naming file and line.
    """
    source = _source_name(journal)
    if isinstance(journal, (str, os.PathLike)):
        try:
            with open(journal, encoding="utf-8") as file:
                lines = file.read().splitlines(keepends=True)
        except (OSError, UnicodeDecodeError) as error:
            raise JournalError(f"{source}: {getattr(error, 'strerror', None) or error}") from None
    else:
        lines = list(journal)
    lives: list[Life] = []
    current: list[Line] = []
    construction: Line | None = None
    for number, text in enumerate(lines, start=1):
        if not text.strip():
            continue
        try:
            record = _parse_line(text)
        except BadLine as error:
            if number == len(lines) and not text.endswith("\n"):
                warnings.warn(
                    f"{source}:{number}: the last line is cut short ({error}); "
                    "replaying up to the line before it",
                    stacklevel=2,
                )
                break
            if isinstance(error, NotJson) and _starts_a_life(lines, number):
                # The host died writing this line and a new life was appended.
                warnings.warn(
                    f"{source}:{number}: the last line of a life is cut short ({error}); "
                    "that life is replayed up to the line before it",
                    stacklevel=2,
                )
                continue
            raise JournalError(f"{source}:{number}: {error}") from None
        line = Line(number, record)
        if line.op == "fleet":
            if construction is not None:
                lives.append(Life(construction, tuple(current)))
            construction, current = line, []
        elif construction is None:
            raise JournalError(f"{source}:{number}: a {line.op} line before any construction line")
        else:
            current.append(line)
    if construction is not None:
        lives.append(Life(construction, tuple(current)))
    return Journal(source, tuple(lives))


def _starts_a_life(lines: list[str], number: int) -> bool:
    """Whether the next line after line `number` (from 1) is a construction line."""
    following = lines[number] if number < len(lines) else ""
    try:
        return bool(_parse_line(following)["op"] == "fleet")
    except BadLine:
        return False


def apply(fleet: _garnel.Fleet, line: Line, source: str) -> None:
    """Make the change one line records; a query line changes nothing."""
    record = line.record
    try:
        if line.op == "observe":
            fleet.observe(record["model"], record["kind"], record["detail"], record["now"])
        elif line.op == "set_endpoint":
            fleet.set_endpoint(record["model"], record["endpoint"])
    except (ValueError, TypeError, OverflowError, UnicodeError) as error:
        raise JournalError(
            f"{source}:{line.number}: the fleet refused this line: {error}"
        ) from None


def ask(fleet: _garnel.Fleet, line: Line) -> object:
    """What the fleet answers now to the query a line records."""
    record = line.record
    if line.op == "route":
        return fleet.route(record["model"], record["now"])
    if line.op == "report":
        return fleet.report(record["now"])
    answer: object = getattr(fleet, line.op)()
    return answer


def build(journal: Journal, life: Life, *, until: int | None = None) -> tuple[Fleet, Line]:
    """A fresh fleet driven through the life's changes, stopping at the first
    line timed after `until`; and the last line applied (or the construction)."""
    record = life.construction.record
    stands_at = until if until is not None else life.last_now
    try:
        fleet = Fleet(
            record["total_bytes"],
            record["reserve_pct"],
            record["declared_json"],
            clock=lambda: 0 if stands_at is None else stands_at,
        )
    except (ValueError, TypeError, OverflowError, UnicodeError) as error:
        raise JournalError(
            f"{journal.source}:{life.construction.number}: the fleet refused this line: {error}"
        ) from None
    last = life.construction
    for line in life.lines:
        if line.op in QUERIES:
            continue
        if until is not None and line.now is not None and line.now > until:
            break
        apply(fleet.raw, line, journal.source)
        last = line
    return fleet, last


def replay(
    journal: str | os.PathLike[str] | Iterable[str],
    *,
    until: int | None = None,
    life: int | None = None,
) -> Fleet:
    """A fresh Fleet driven through a journal's changes.

    The last life unless `life` names one (from 0), up to and including the
    changes at or before `until` milliseconds; the lines are taken in their
    order and the first one timed after `until` ends the replay. The fleet's
    clock stands still at `until`, or else at the time of the life's last
    line, so its `report()` and `route()` answer for that moment.
    """
    read = read_journal(journal)
    fleet, _ = build(read, read.life(life), until=until)
    return fleet


@dataclass(frozen=True)
class Difference:
    """A recorded answer that the replayed fleet does not give."""

    line: int
    question: str
    recorded: object
    replayed: object


def check(journal: Journal, life: Life) -> tuple[int, Difference | None]:
    """Replay a life asking every recorded query again: how many answers were
    compared, and the first that differs, if any."""
    raw = build(journal, Life(life.construction, ()))[0].raw
    compared = 0
    for line in life.lines:
        if line.op not in QUERIES:
            apply(raw, line, journal.source)
            continue
        try:
            answer = ask(raw, line)
        except (ValueError, TypeError, OverflowError) as error:
            raise JournalError(
                f"{journal.source}:{line.number}: the fleet refused this question: {error}"
            ) from None
        compared += 1
        if answer != line.record["answer"]:
            question = line.op
            if line.op == "route":
                question = f"route({line.record['model']!r}, {line.record['now']})"
            elif line.op == "report":
                question = f"report({line.record['now']})"
            return compared, Difference(line.number, question, line.record["answer"], answer)
    return compared, None
