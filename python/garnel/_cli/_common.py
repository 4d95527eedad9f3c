"""What every command shares: the parser that errs in one line, sizes, counts and GiB,
and how an answer reaches standard output and a terminal."""

from __future__ import annotations

import argparse
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


# The report's name field: names shorter than this are padded to it, then one blank.
_NAME_FIELD = 28


def write_report(fleet: Fleet, now: int) -> None:
    """Writes the fleet's report, its names and failure details escaped for a terminal.

    The report's lines as `Fleet.statuses` cuts them, each with its name and
    status escaped and the blanks between them kept to the module's field.
    """
    report = fleet.report(now)
    statuses = fleet.statuses(now)
    if all(name.isprintable() and status.isprintable() for name, status in statuses):
        write_answer(report)
        return
    lines = [report[: report.index("\n") + 1]]  # the header names no model
    for name, status in statuses:
        shown = printable(name)
        blanks = " " * max(1, max(_NAME_FIELD, len(name)) + 1 - len(shown))
        lines.append(f"  {shown}{blanks}{printable(status)}\n")
    write_answer("".join(lines))
