"""`garnel serve`: the host itself, serving a roster of models from a machine's cards as planned."""

from __future__ import annotations

import argparse
import shlex
from typing import TYPE_CHECKING

from .._roster import gib, shortfall
from ._common import CommandError, answering, printable, write_answer
from ._nvml import Card
from ._plan import placement_for_people, plan_for_people

if TYPE_CHECKING:
    from .. import _serve
    from ._common import Subparsers

EXAMPLES = """\
examples:
  garnel serve examples/serve.toml --check   size, plan and check, start nothing
  garnel serve examples/serve.toml           serve until SIGTERM or SIGINT

exit status: 0 stopped cleanly (--check: everything fits and can start),
1 --check: a pinned model was rejected, or an on-demand one cannot fit beside the
pinned ones alone; serving: the card's journal failed,
2 bad configuration (a program that cannot be found included, for --check)
"""


def register(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "serve",
        help="serve a roster of models from a machine's cards, as planned (garnel[serve])",
        description="Size and plan the roster of a TOML configuration, start each admitted\n"
        "model's server, and route every request under /v1/ to it, until SIGTERM or SIGINT.",
        epilog=EXAMPLES,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    parser.add_argument("config", metavar="CONFIG", help="the host's TOML configuration")
    parser.add_argument(
        "--check",
        action="store_true",
        help="size, plan and check that every server can be started; start nothing",
    )
    parser.set_defaults(handler=run)


def run(args: argparse.Namespace) -> int:
    # Imported here: the other commands never load the host.
    from .. import _serve

    if not args.check:
        _serve.need_extra()
    setup = _serve.prepare(_serve.read_config(args.config))
    write_answer(plan_text(setup) + on_demand_for_people(setup))
    if not args.check:
        with answering() as out:
            out.flush()  # the plan, before the host's log
        return _serve.serve(setup)
    names = [printable(server.name) for server in setup.servers]
    width = max(map(len, names))
    lines = [
        f"  {name:{width}}  $ {printable(shlex.join(server.command('{port}')))}\n"
        for name, server in zip(names, setup.servers)
    ]
    write_answer("\n" + "".join(lines))
    problems = _serve.check_programs(setup)
    if problems:
        raise CommandError("; ".join(problems))
    return 0 if setup.fits else 1


def plan_text(setup: _serve.Setup) -> str:
    """The pinned models' plan: one card's as `garnel plan` prints it, several a section a card."""
    if len(setup.cards) == 1:
        (card,) = setup.cards
        return plan_for_people(
            card.plan, card.roster, card.total_bytes, card.total_source, card.reserve_pct
        )
    pinned = [server.model() for server in setup.servers if not server.config.on_demand]
    return placement_for_people(
        setup.placement,
        pinned,
        [Card(card.total_bytes, card.total_source) for card in setup.cards],
        [card.reserve_pct for card in setup.cards],
        [card.gpu for card in setup.cards],
    )


def on_demand_for_people(setup: _serve.Setup) -> str:
    """A line per on-demand model: whether it fits beside its card's pinned models alone."""
    on_demand = [server for server in setup.servers if server.config.on_demand]
    if not on_demand:
        return ""
    several = len(setup.cards) > 1
    names = [printable(server.name) for server in on_demand]
    width = max(map(len, names))
    lines = ["\non demand (planned beside the pinned models when a request names one):\n"]
    for name, server in zip(names, on_demand):
        card = setup.card_of[server.name]
        rejected = card.never_fits(server.name)
        if rejected is not None:
            beside = f"GPU {card.gpu}'s pinned models" if several else "the pinned models"
            short = shortfall(rejected.short_bytes)
            verdict = f"REJECTED beside {beside} alone, short by {short}"
            spanned = setup.cards_needed(server.planned_bytes)
            if several and spanned > 1:
                verdict += f"; it needs {spanned} cards, and a model is not split across cards"
        else:
            verdict = f"fits on GPU {card.gpu}" if several else "fits"
            if server.config.ttl_s:
                verdict += f"; unloaded after {server.config.ttl_s:g} s idle"
        lines.append(f"  {name:{width}}  {gib(server.planned_bytes):>7} GiB  {verdict}\n")
    return "".join(lines)
