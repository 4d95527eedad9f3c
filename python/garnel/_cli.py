"""The operator's command line: `garnel plan` and `garnel replay`.

Each subcommand is a function `register(subparsers)` that adds its parser and
sets `handler=` through `set_defaults`: a callable taking the parsed namespace
and returning the exit status. A handler reports a user's mistake by raising
`CommandError` (or a `ValueError` or `OSError` with a message fit for people);
`main` prints it as one line and exits 2. To add a subcommand, list its
`register` in SUBCOMMANDS.
"""

from __future__ import annotations

import argparse
import importlib
import io
import os
import re
import sys
import warnings
from collections.abc import Sequence
from fractions import Fraction
from typing import TYPE_CHECKING, Any, Callable, NoReturn, TextIO, cast

from _garnel import __version__

from ._errors import CommandError
from ._journal import build as build_from_journal
from ._journal import check, read_journal
from ._plan import Plan, plan
from ._roster import U64_MAX, Model, read_roster, roster_from_bytes
from ._shape import MissingExtra
from ._size_command import register as register_size

if TYPE_CHECKING:
    Subparsers = argparse._SubParsersAction[argparse.ArgumentParser]

GIB = 2**30
DEFAULT_RESERVE_PCT = 10


class Parser(argparse.ArgumentParser):
    """argparse, but a usage error is one line on standard error, as every other error."""

    def error(self, message: str) -> NoReturn:
        self.exit(2, f"{self.prog}: error: {message} (see {self.prog} --help)\n")


# Sizes.

_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")
_UNITS = {
    "": 1,
    "b": 1,
    "kb": 10**3,
    "mb": 10**6,
    "gb": 10**9,
    "tb": 10**12,
    "kib": 2**10,
    "mib": 2**20,
    "gib": 2**30,
    "tib": 2**40,
}


def parse_size(text: str) -> int:
    """A byte count from `25769803776`, `24GiB`, `81920MiB` or `80GB` (decimal units)."""
    match = _SIZE.fullmatch(text)
    unit = match.group(2).lower() if match else None
    if match is None or unit not in _UNITS:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a size: give bytes, or a number with one of "
            "B, KB, MB, GB, TB (powers of 1000) or KiB, MiB, GiB, TiB (powers of 1024)"
        )
    size = Fraction(match.group(1)) * _UNITS[unit]
    if size.denominator != 1:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number of bytes")
    if not 0 < size <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is not a card size (1 byte to 2**64 - 1)")
    return int(size)


def _reserve_pct(text: str) -> int:
    try:
        pct = int(text)
    except ValueError:
        pct = -1
    if not 0 <= pct <= 100:
        raise argparse.ArgumentTypeError(f"{text!r} is not a percentage from 0 to 100")
    return pct


def _count(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if value < 0:
        raise argparse.ArgumentTypeError(f"{text!r} is not a whole number from 0 up")
    return value


def _ms(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        value = -1
    if not 0 <= value <= U64_MAX:
        raise argparse.ArgumentTypeError(f"{text!r} is not a time in ms from 0 to 2**64 - 1")
    return value


def gib(byte_count: int) -> str:
    """Bytes in GiB with one decimal, rounded as the extension rounds them."""
    return f"{byte_count / GIB:.1f}"


# garnel plan

PLAN_EXAMPLES = """\
examples:
  garnel plan examples/roster.json --card 24GiB
  garnel plan roster.toml --card 81920MiB --reserve-pct 5
  garnel plan roster.json --gpu 1 --json      (the card's size from NVML: garnel[nvml])
  cat roster.json | garnel plan - --card 80GB

exit status: 0 every model fits, 1 a model was rejected, 2 bad input
"""


def register_plan(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "plan",
        help="can this card hold this roster?",
        description="Plan a roster onto one card: which models fit, in roster order,\n"
        "and by how much the others fall short.",
        epilog=PLAN_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument(
        "roster",
        metavar="ROSTER",
        help="a JSON or TOML roster file, or - for standard input",
    )
    parser.add_argument(
        "--card",
        metavar="SIZE",
        type=parse_size,
        help="the card's memory: bytes, or e.g. 24GiB, 81920MiB, 80GB "
        "(default: the total of GPU --gpu through NVML)",
    )
    parser.add_argument(
        "--reserve-pct",
        metavar="N",
        type=_reserve_pct,
        default=DEFAULT_RESERVE_PCT,
        help="percent of the card held back, never less than 1 GiB (default: %(default)s)",
    )
    parser.add_argument(
        "--gpu",
        metavar="N",
        type=_count,
        default=0,
        help="the NVML GPU index (default: 0)",
    )
    parser.add_argument("--json", action="store_true", help="print the plan as JSON")
    parser.set_defaults(handler=run_plan)


def run_plan(args: argparse.Namespace) -> int:
    if args.roster == "-":
        if sys.stdin is None:  # started with standard input closed
            raise CommandError("ROSTER is -, but there is no standard input to read")
        models = roster_from_bytes(sys.stdin.buffer.read(), "<stdin>")
    else:
        models = read_roster(args.roster)
    if args.card is not None:
        total, where = args.card, "given with --card"
    else:
        total, where = nvml_total_bytes(args.gpu)
    result = plan(total, args.reserve_pct, models)
    if args.json:
        print(result.json)
    else:
        print_plan(sys.stdout, result, models, total, where, args.reserve_pct)
    return 0 if result.fits else 1


def print_plan(
    out: TextIO,
    result: Plan,
    models: Sequence[Model],
    total: int,
    where: str,
    reserve_pct: int,
) -> None:
    reserve = total - result.usable_bytes
    figures = [
        ("card", total, where),
        ("reserve", reserve, f"{reserve_pct} %, never below 1 GiB"),
        ("usable", result.usable_bytes, ""),
    ]
    digits = len(str(total))
    for label, byte_count, note in figures:
        note = f"  ({note})" if note else ""
        out.write(f"{label:8}{gib(byte_count):>8} GiB  {byte_count:>{digits}} bytes{note}\n")
    out.write("\n")
    width = max((len(model.name) for model in models), default=0)
    # The plan lists rejections in roster order; walking the roster greedily
    # again tells which entry each one is, duplicate names included.
    rejections = iter(result.rejected)
    free = result.usable_bytes
    for model in models:
        needed = model.needed_bytes
        if needed <= free:
            free -= needed
            verdict = "admitted"
        else:
            rejection = next(rejections)
            verdict = f"REJECTED, short by {gib(rejection.short_bytes)} GiB"
        out.write(f"  {model.name:{width}}  {gib(needed):>7} GiB  {verdict}\n")
    out.write(f"\n{result.explain}\n")


def nvml_total_bytes(gpu: int) -> tuple[int, str]:
    """The total memory of one GPU through NVML, and how the figure was found."""
    advice = "give the card's size with --card, e.g. --card 24GiB"
    try:
        nvml: Any = importlib.import_module("pynvml")
    except ImportError:
        raise CommandError(
            f"no --card, and NVML is not installed (pip install 'garnel[nvml]'): {advice}"
        ) from None
    try:
        nvml.nvmlInit()
    except nvml.NVMLError as error:
        raise CommandError(f"no --card, and NVML answers no card ({error}): {advice}") from None
    try:
        handle = nvml.nvmlDeviceGetHandleByIndex(gpu)
        total = int(nvml.nvmlDeviceGetMemoryInfo(handle).total)
        name = nvml.nvmlDeviceGetName(handle)
    except nvml.NVMLError as error:
        raise CommandError(
            f"no --card, and NVML cannot read GPU {gpu} ({error}): {advice}"
        ) from None
    finally:
        try:
            nvml.nvmlShutdown()
        except nvml.NVMLError:
            pass
    if isinstance(name, bytes):  # older nvidia-ml-py gives bytes
        name = name.decode("utf-8", "replace")
    return total, f"GPU {gpu}, {name}, through NVML"


# garnel replay

REPLAY_EXAMPLES = """\
examples:
  garnel replay card.journal                 the card as the last event left it
  garnel replay card.journal --at 32400000   the card at 32 400 000 ms on the host's clock
  garnel replay card.journal --life 0 --at 1000 --at 2000
  garnel replay card.journal --check         ask every recorded query again

exit status: 0 done, 1 --check found a different answer, 2 bad input
"""


def register_replay(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "replay",
        help="the card as a journal says it stood",
        description="Rebuild a card from the journal a garnel.Fleet wrote, and print its\n"
        "report at the times asked for.",
        epilog=REPLAY_EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("journal", metavar="JOURNAL", help="a journal file (JSON lines)")
    parser.add_argument(
        "--at",
        metavar="MS",
        type=_ms,
        action="append",
        help="report the card at this time on the host's clock, in ms; repeatable "
        "(default: at the last event)",
    )
    parser.add_argument(
        "--life",
        metavar="N",
        type=_count,
        help="which life of the card, from 0, when the file holds several (default: the last)",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="ask every recorded query again and compare the answers (needs journal_queries)",
    )
    parser.set_defaults(handler=run_replay)


def run_replay(args: argparse.Namespace) -> int:
    journal = read_journal(args.journal)
    life = journal.life(args.life)
    if args.check:
        compared, difference = check(journal, life)
        if difference is not None:
            print(
                f"{journal.source}:{difference.line}: {difference.question} answered "
                f"{difference.replayed!r}, the journal recorded {difference.recorded!r}"
            )
            return 1
        if compared == 0:
            warnings.warn(
                "the journal records no answers to check: write it with journal_queries=True",
                stacklevel=1,
            )
        print(f"{compared} recorded answers given again")
        if not args.at:
            return 0
    for number, at in enumerate(args.at or [None]):
        fleet, last = build_from_journal(journal, life, until=at)
        stands_at = at if at is not None else (life.last_now or 0)
        if number:
            print()
        print(f"at {stands_at} ms (through line {last.number}):")
        print(fleet.report(stands_at), end="")
    return 0


SUBCOMMANDS: list[Callable[[Subparsers], None]] = [register_plan, register_replay, register_size]


def build_parser() -> Parser:
    parser = Parser(
        prog="garnel",
        description=(
            "Plan a GPU's roster of models, size a model from its own files, and replay a "
            "card from its journal."
        ),
        epilog="examples:\n  garnel plan examples/roster.json --card 24GiB\n"
        "  garnel size models/Meta-Llama-3-8B --context 8192 | garnel plan - --card 24GiB\n"
        "  garnel replay card.journal --at 32400000\n\n"
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
        parser.print_help(sys.stderr)
        return 2
    prog = f"garnel {args.command}"
    if isinstance(sys.stdout, io.TextIOWrapper) and sys.stdout.errors == "strict":
        # A terminal whose encoding lacks a character (the reports' dashes, a
        # model's name) gets an escape for it, as on standard error, not an
        # error after half the answer.
        sys.stdout.reconfigure(errors="backslashreplace")

    def one_line(message: Warning | str, *_: object, **__: object) -> None:
        text = " ".join(str(message).splitlines())
        sys.stderr.write(f"{prog}: warning: {text}\n")

    with warnings.catch_warnings():
        warnings.simplefilter("always")
        warnings.showwarning = one_line
        try:
            status: int = args.handler(args)
        except BrokenPipeError:  # the reader went away, as `| head` does
            os.dup2(os.open(os.devnull, os.O_WRONLY), sys.stdout.fileno())
            return 1
        # A missing extra is the user's to install, not a fault to trace.
        except (CommandError, ValueError, OSError, MissingExtra) as error:
            message = " ".join(str(error).splitlines())  # one line, whatever it quotes
            sys.stderr.write(f"{prog}: error: {message}\n")
            return 2
        except KeyboardInterrupt:
            return 130
    return status
