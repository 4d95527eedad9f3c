"""`garnel serve`: the host itself, serving a roster of models from one card as planned."""

from __future__ import annotations

import argparse
import shlex
from typing import TYPE_CHECKING

from .._roster import gib, shortfall
from ._common import CommandError, answering, printable, write_answer
from ._plan import plan_for_people

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
        help="serve a roster of models from one card, as planned (garnel[serve])",
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
    config = setup.config
    write_answer(
        plan_for_people(
            setup.plan,
            setup.roster,
            setup.total_bytes,
            setup.total_source,
            config.card.reserve_pct,
        )
        + on_demand_for_people(setup)
    )
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


def on_demand_for_people(setup: _serve.Setup) -> str:
    """A line per on-demand model: whether it fits beside the pinned models alone."""
    if not setup.on_demand:
        return ""
    names = [printable(server.name) for server in setup.on_demand]
    width = max(map(len, names))
    lines = ["\non demand (planned beside the pinned models when a request names one):\n"]
    for name, server in zip(names, setup.on_demand):
        rejected = setup.alone_beside_pinned[server.name].rejected
        if rejected:
            verdict = f"REJECTED beside the pinned models alone, short by {shortfall(rejected[0].short_bytes)}"
        elif server.config.ttl_s:
            verdict = f"fits; unloaded after {server.config.ttl_s:g} s idle"
        else:
            verdict = "fits"
        lines.append(f"  {name:{width}}  {gib(server.planned_bytes):>7} GiB  {verdict}\n")
    return "".join(lines)
