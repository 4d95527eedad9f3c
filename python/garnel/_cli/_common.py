"""What every command shares: the parser that errs in one line, sizes, counts and GiB,
and how an answer reaches standard output and a terminal."""

from __future__ import annotations

import argparse
import json
import sys
from collections.abc import Iterator
from contextlib import contextmanager
from typing import TYPE_CHECKING, NoReturn, TextIO

from .._model import U64_MAX
from .._model import parse_size as garnel_parse_size

if TYPE_CHECKING:
    from .._fleet import Fleet

    Subparsers = argparse._SubParsersAction[argparse.ArgumentParser]


class CommandError(Exception):
    """A mistake in what the user asked the command line for: one line, exit status 2."""


DEFAULT_RESERVE_PCT = 10


class Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line on standard error, as every other error."""

    def error(self, message: str) -> NoReturn:
        # argparse quotes some arguments as typed, escapes and all.
        self.exit(2, f"{self.prog}: error: {printable(message)} (see {self.prog} --help)\n")


# Sizes.


def parse_size(text: str) -> int:
    """A card's bytes from `25769803776`, `24GiB`, `81920MiB` or `80GB` (decimal units)."""
    try:
        size = garnel_parse_size(text)
    except ValueError as error:
        raise argparse.ArgumentTypeError(str(error)) from None
    if not 0 < size <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is not a card size (1 byte to 2**64 - 1)")
    return size


def percentage(text: str) -> int:
    try:
        pct = int(text)
    except ValueError:
        pct = -1
    if not 0 <= pct <= 100:
        raise argparse.ArgumentTypeError(f"{text!r} is not a percentage from 0 to 100")
    return pct


def count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 0 up")
    return value


def ms(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is not a time in ms from 0 to 2**64 - 1")
    return value


# Answers.


class AnswerLost(Exception):
    """Standard output is closed or refuses the answer: one line, exit status 2.

    A reader that went away (BrokenPipeError) is not this: that ends quietly.
    """


@contextmanager
def answering() -> Iterator[TextIO]:
    """Standard output, with its failures (but a broken pipe) as AnswerLost."""
    out = sys.stdout
    if out is None:  # started with it closed (>&-): print() would write nowhere
        raise AnswerLost("standard output is closed")
    try:
        yield out
    except BrokenPipeError:
        raise
    except OSError as error:
        raise AnswerLost(error.strerror or str(error)) from None


def write_answer(text: str) -> None:
    """Writes part of the command's answer to standard output."""
    with answering() as out:
        out.write(text)


# Texts for a terminal.


def printable(text: str) -> str:
    """`text` with every character that is not plainly visible escaped as repr escapes it.

    A line feed, a carriage return, an escape sequence's ESC, C1 controls,
    U+2028 and bidi overrides in a name could forge a line or drive the
    terminal; they show as `\\n`, `\\x1b`, `\\u2028` and so on. Backslashes
    stay as they are, so Windows paths read as typed.
    """
    if text.isprintable():
        return text
    return "".join(c if c.isprintable() else repr(c)[1:-1] for c in text)


_FAILED = "failed to load: "


def write_report(fleet: Fleet, now: int, declared_json: str) -> None:
    """Writes the fleet's report, its names and failure details escaped for a terminal.

    The module's report is a header line, then one line per declared model in
    roster order: two blanks, the name padded with blanks to a field of its
    own, and the status. Knowing the names in order (`declared_json`, as the
    module read it) and each failure's detail (the route of a name answers for
    its first slot; later slots of the name are never observed), every line
    is cut exactly where it ends, whatever its name or detail holds.
    """
    report = fleet.report(now)
    names = [entry["model"] for entry in json.loads(declared_json)]
    details: dict[str, str] = {}
    for name in dict.fromkeys(names):
        route = json.loads(fleet.raw.route(name, now))
        if route["route"] == "failed":
            details[name] = route["reason"]
    texts = [*names, *details.values()]
    if all(text.isprintable() for text in texts):
        write_answer(report)
        return
    at = report.index("\n") + 1  # the header names no model
    lines = [report[:at]]
    for name in names:
        at += 2 + len(name)
        status = at
        while report[status] == " ":  # no status begins with a blank
            status += 1
        field = len(name) + status - at
        detail = details.pop(name, None)  # only the first slot of a name fails
        if detail is not None:
            end = status + len(_FAILED) + len(detail)
        else:
            end = report.index("\n", status)
        shown = printable(name)
        blanks = " " * max(1, field - len(shown))
        lines.append(f"  {shown}{blanks}{printable(report[status:end])}\n")
        at = end + 1
    write_answer("".join(lines))
