"""`garnel`: the parser with every command, and how a command's outcome reaches the user."""

from __future__ import annotations

import argparse
import io
import os
import sys
import warnings
from collections.abc import Sequence
from typing import TYPE_CHECKING, Callable, cast

from _garnel import __version__

from .._errors import MissingExtra
from . import _plan, _replay, _serve, _size, _status
from ._common import AnswerLost, CommandError, Parser, answering, printable

if TYPE_CHECKING:
    from ._common import Subparsers

SUBCOMMANDS: list[Callable[[Subparsers], None]] = [
    _plan.register,
    _replay.register,
    _size.register,
    _serve.register,
    _status.register,
]


def build_parser() -> Parser:
    parser = Parser(
        prog="garnel",
        description=(
            "Plan a GPU's roster of models, size a model from its own files, serve the "
            "roster as planned, see a serving card, and replay a card from its journal."
        ),
        epilog="examples:\n  garnel plan examples/roster.json --card 24GiB\n"
        "  garnel size models/Meta-Llama-3-8B --context 8192 | garnel plan - --card 24GiB\n"
        "  garnel replay card.journal --at 32400000\n"
        "  garnel serve examples/serve.toml --check\n"
        "  garnel status http://127.0.0.1:8080\n\n"
        "`garnel COMMAND --help` tells more of each.",
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("--version", action="version", version=f"garnel {__version__}")
    # Typed for any ArgumentParser, so a register() needs nothing of this module.
    subparsers = cast("Subparsers", parser.add_subparsers(dest="command", metavar="COMMAND"))
    for register in SUBCOMMANDS:
        register(subparsers)
    return parser


def main(argv: Sequence[str] | None = None) -> int:
    """Run the command line; returns the exit status."""
    parser = build_parser()
    try:
        args = parser.parse_args(argv)
    except SystemExit as done:  # --help, --version and usage errors
        return done.code if isinstance(done.code, int) else 2
    if args.command is None:
        if sys.stderr is not None:  # print_help(None) would print to standard output
            parser.print_help(sys.stderr)
        return 2
    prog = f"garnel {args.command}"
    if isinstance(sys.stdout, io.TextIOWrapper) and sys.stdout.errors == "strict":
        # A terminal whose encoding lacks a character (the reports' dashes, a
        # model's name) gets an escape for it, as on standard error, not an
        # error after half the answer.
        sys.stdout.reconfigure(errors="backslashreplace")

    def one_line(message: Warning | str, *_: object, **__: object) -> None:
        # One line, whatever names it quotes.
        _tell(f"{prog}: warning: {printable(str(message))}")

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = one_line
        try:
            status: int = args.handler(args)
            # Flushed here: at exit, a failure is a notice and status 120.
            with answering() as out:
                out.flush()
        except BrokenPipeError:  # the reader went away, as `| head` does
            _quiet_standard_output()
            return 1
        except AnswerLost as lost:
            _tell(f"{prog}: error: cannot write the answer: {lost}")
            _quiet_standard_output()
            return 2
        # A missing extra is the user's to install, not a fault to trace.
        except (CommandError, ValueError, OSError, MissingExtra) as error:
            _tell(f"{prog}: error: {printable(str(error))}")
            return 2
        except KeyboardInterrupt:
            return 130
    return status


def _tell(line: str) -> None:
    """One line on standard error; started without one (2>&-), the exit status alone tells."""
    if sys.stderr is not None:
        sys.stderr.write(line + "\n")


def _quiet_standard_output() -> None:
    """Sends what is still buffered for standard output nowhere, so that the
    interpreter's last flush cannot fail again after the one line said why."""
    if sys.stdout is not None:
        os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
