"""`garnel replay`: the card as a journal says it stood."""

from __future__ import annotations

import argparse
import warnings
from typing import TYPE_CHECKING

from .._fleet import read_day, read_journal
from ._common import CommandError, count, ms, printable, write_answer, write_report

if TYPE_CHECKING:
    from ._common import Subparsers

EXAMPLES = """\
examples:
  garnel replay card.journal                 the card as the last event left it
  garnel replay card.journal --at 32400000   the card at 32 400 000 ms on the host's clock
  garnel replay card.journal --life 0 --at 1000 --at 2000
  garnel replay card.journal --check         ask every recorded query again
  garnel replay card.journal --plot day.svg  draw the card over its day (garnel[plot])

A journal of more than one life (garnel serve makes one a start and one a swap)
is first said in one line: how many lives it holds, and which one follows.

exit status: 0 done, 1 --check found a different answer, 2 bad input
"""


def register(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "replay",
        help="the card as a journal says it stood",
        description="Rebuild a card from the journal a garnel.Fleet wrote, and print its\n"
        "report at the times asked for.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("journal", metavar="JOURNAL", help="a journal file (JSON lines)")
    parser.add_argument(
        "--at",
        metavar="MS",
        type=ms,
        action="append",
        help="report the card at this time on the host's clock, in ms; repeatable "
        "(default: at the last event)",
    )
    parser.add_argument(
        "--life",
        metavar="N",
        type=count,
        help="which life of the card, from 0, when the file holds several (default: the last)",
    )
    parser.add_argument(
        "--check",
        action="store_true",
        help="ask every recorded query again and compare the answers (needs journal_queries)",
    )
    parser.add_argument(
        "--plot",
        metavar="FILE",
        help="draw the life's committed bytes by model and each model's state over its "
        "time into FILE, .svg or .png (needs garnel[plot], matplotlib)",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    if args.plot is not None:
        return plot(args)
    # One pass over the journal drives a fleet for every --at and the check.
    life = read_journal(args.journal, life=args.life, untils=args.at or [None], checking=args.check)
    if life.lives > 1:  # a journal of one life reads as it always has
        write_answer(
            f"{printable(life.source)} holds {life.lives} lives (0 to {life.lives - 1}); "
            f"life {life.number}:\n"
        )
    if args.check:
        compared, difference = life.check()
        if difference is not None:
            write_answer(
                printable(
                    f"{life.source}:{difference.line}: {difference.question} answered "
                    f"{difference.replayed!r}, the journal recorded {difference.recorded!r}"
                )
                + "\n"
            )
            return 1
        if compared == 0:
            warnings.warn(
                "the journal records no answers to check: write it with journal_queries=True",
                stacklevel=1,
            )
        write_answer(f"{compared} recorded answers given again\n")
        if not args.at:
            return 0
    for number, at in enumerate(args.at or [None]):
        fleet, last = life.fleet(number)
        stands_at = at if at is not None else (life.last_now or 0)
        if number:
            write_answer("\n")
        write_answer(f"at {stands_at} ms (through line {last.number}):\n")
        write_report(fleet, stands_at)
    return 0


def plot(args: argparse.Namespace) -> int:
    from . import _plot

    if args.at or args.check:
        raise CommandError("--plot draws a whole life: give it without --at and --check")
    # The user's own mistake first, whatever is installed; both before the journal is read.
    _plot.picture_format(args.plot)
    _plot.need_matplotlib()
    day = read_day(args.journal, life=args.life)
    _plot.plot_day(day, args.plot)
    write_answer(
        printable(
            f"{args.plot}: life {day.life} of {day.source}, {len(day.names)} models, "
            f"{len(day.changes)} changes from {day.start} to {day.end} ms"
        )
        + "\n"
    )
    return 0
