"""`garnel plan`: can these cards hold this roster, and which model goes on which?"""

from __future__ import annotations

import argparse
import json
import re
import sys
from collections.abc import Sequence
from dataclasses import replace
from typing import TYPE_CHECKING

from .._errors import RosterError
from .._model import Model
from .._roster import (
    Placement,
    Plan,
    cards_needed,
    entry_label,
    gib,
    outcome_text,
    place,
    read_roster,
    read_roster_stream,
    shortfall,
)
from ._common import (
    DEFAULT_RESERVE_PCT,
    CommandError,
    count,
    parse_size,
    percentage,
    printable,
    write_answer,
)
from ._nvml import Card, nvml_cards

if TYPE_CHECKING:
    from ._common import Subparsers

EXAMPLES = """\
examples:
  garnel plan examples/roster.json --card 24GiB
  garnel plan roster.toml --card 81920MiB --reserve-pct 5
  garnel plan roster.json --card 2x80GiB --card 24GiB   (GPU 0 and 1 of 80 GiB, GPU 2 of 24)
  garnel plan roster.json --json      (every GPU NVML sees: garnel[nvml])
  garnel plan roster.json --gpu 1     (GPU 1 alone, through NVML)
  cat roster.json | garnel plan - --card 80GB

exit status: 0 every model placed, 1 a model was rejected, 2 bad input
"""

MAX_CARDS = 1024
"""More cards than any one host has: a slip such as 80000x1GiB is refused, not planned."""


def register(subparsers: Subparsers) -> None:
    parser = subparsers.add_parser(
        "plan",
        help="can these cards hold this roster?",
        description="Plan a roster onto a machine's cards: which card each model goes on,\n"
        "in roster order, which fit, and by how much the others fall short.\n"
        'A model may pin its card with "gpu" (a TOML table\'s gpu = N).',
        epilog=EXAMPLES,
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
        type=card_sizes,
        action="append",
        help="a card's memory: bytes, or e.g. 24GiB, 81920MiB, 80GB; NxSIZE is N such cards; "
        "repeat it for more, in GPU index order (default: through NVML, every GPU it sees)",
    )
    parser.add_argument(
        "--reserve-pct",
        metavar="N",
        type=percentage,
        default=DEFAULT_RESERVE_PCT,
        help="percent of each card held back, never less than 1 GiB (default: %(default)s)",
    )
    parser.add_argument(
        "--gpu",
        metavar="N",
        type=count,
        help="without --card: plan NVML's GPU N alone (default: every GPU NVML sees)",
    )
    parser.add_argument(
        "--json",
        action="store_true",
        help="print the plan as JSON: one card's as the module writes it, several in one object",
    )
    parser.set_defaults(handler=run)


_CARDS = re.compile(r"\s*(\d+)\s*[xX]\s*(.*)", re.DOTALL)


def card_sizes(text: str) -> list[int]:
    """The cards one --card gives: `80GiB` is one, `2x80GiB` two of that size."""
    match = _CARDS.fullmatch(text)
    if match is None:
        return [parse_size(text)]
    cards = int(match.group(1))
    if not 1 <= cards <= MAX_CARDS:
        raise argparse.ArgumentTypeError(
            f"{text!r} is not a count of cards: give one from 1 to {MAX_CARDS} before the x"
        )
    return [parse_size(match.group(2))] * cards


def run(args: argparse.Namespace) -> int:
    if args.roster == "-":
        if sys.stdin is None:  # started with standard input closed
            raise CommandError("ROSTER is -, but there is no standard input to read")
        models = read_roster_stream(sys.stdin.buffer, "<stdin>")
    else:
        models = read_roster(args.roster)
    if args.card is not None:
        cards = [Card(total, "given with --card") for given in args.card for total in given]
        if len(cards) > MAX_CARDS:
            raise CommandError(f"{len(cards)} cards given with --card: at most {MAX_CARDS}")
    else:
        cards = nvml_cards(args.gpu)
        if args.gpu is not None:
            models = pinned_to_one_gpu(models, args.gpu)
    placement = place([card.total_bytes for card in cards], models, reserve_pct=args.reserve_pct)
    if len(cards) == 1:  # as a plan of one card always read
        result, (card,) = placement.cards[0], cards
        if args.json:
            write_answer(result.json + "\n")
        else:
            write_answer(
                plan_for_people(result, models, card.total_bytes, card.where, args.reserve_pct)
            )
    elif args.json:
        write_answer(placement_json(placement, cards, args.reserve_pct) + "\n")
    else:
        reserves = [args.reserve_pct] * len(cards)
        write_answer(placement_for_people(placement, models, cards, reserves))
    return 0 if placement.fits else 1


def pinned_to_one_gpu(models: Sequence[Model], gpu: int) -> list[Model]:
    """The models as the one card of `--gpu N` takes them: a pin to N is a pin to it,
    a pin to any other GPU a RosterError naming every such entry."""
    faults = [
        f"{entry_label(index, model.name)}: pinned to GPU {model.gpu}, but --gpu {gpu} plans "
        f"GPU {gpu} alone"
        for index, model in enumerate(models)
        if model.gpu is not None and model.gpu != gpu
    ]
    if faults:
        raise RosterError("could not place the roster: " + "; ".join(faults))
    return [model if model.gpu is None else replace(model, gpu=0) for model in models]


def placement_for_people(
    placement: Placement,
    models: Sequence[Model],
    cards: Sequence[Card],
    reserves: Sequence[int],
    gpus: Sequence[int] | None = None,
) -> str:
    """A section a card, as one card's plan reads, then what was placed and what went nowhere.

    `reserves` are each card's reserve_pct; `gpus` each card's GPU, where it is
    not its place among the cards (serve's [[card]] tables name theirs)."""
    card_of: dict[str, int | None] = dict(placement.placed)
    card_of.update((rejection.model, rejection.gpu) for rejection in placement.rejected)
    sections = []
    for index, (card, result, reserve) in enumerate(zip(cards, placement.cards, reserves)):
        on_card = [model for model in models if card_of[model.name] == index]
        section = plan_for_people(result, on_card, card.total_bytes, card.where, reserve)
        sections.append(f"GPU {index if gpus is None else gpus[index]}\n{section}")
    return "\n".join(sections) + "\n" + outcome_text(placement, printable, gpus) + "\n"


def placement_json(placement: Placement, cards: Sequence[Card], reserve_pct: int) -> str:
    """The placement as one JSON object: each card's module plan, parsed, and where each model went."""
    document = {
        "fits": placement.fits,
        "reserve_pct": reserve_pct,
        "cards": [
            {
                "gpu": index,
                "total_bytes": card.total_bytes,
                "nvml_name": card.nvml_name,
                "plan": json.loads(result.json),
            }
            for index, (card, result) in enumerate(zip(cards, placement.cards))
        ],
        "placed": dict(placement.placed),
        "rejected": [
            {
                "model": rejection.model,
                "gpu": rejection.gpu,
                "needed_bytes": rejection.needed_bytes,
                "free_bytes": rejection.free_bytes,
                "short_bytes": rejection.short_bytes,
                "cards_needed": cards_needed(rejection, placement),
            }
            for rejection in placement.rejected
        ],
    }
    # Names as they are, as the module writes its own plan text.
    return json.dumps(document, ensure_ascii=False)


def plan_for_people(
    result: Plan,
    models: Sequence[Model],
    total: int,
    where: str,
    reserve_pct: int,
) -> str:
    """The card's figures, a line per model, and the module's explanation."""
    reserve = total - result.usable_bytes
    figures = [
        ("card", total, where),
        ("reserve", reserve, f"{reserve_pct} %, never below 1 GiB"),
        ("usable", result.usable_bytes, ""),
    ]
    digits = len(str(total))
    lines = []
    for label, byte_count, note in figures:
        note = f"  ({note})" if note else ""
        lines.append(f"{label:8}{gib(byte_count):>8} GiB  {byte_count:>{digits}} bytes{note}\n")
    lines.append("\n")
    names = [printable(model.name) for model in models]
    width = max(map(len, names), default=0)
    # The plan lists rejections in roster order; walking the roster greedily
    # again tells which entry each one is, duplicate names included.
    rejections = iter(result.rejected)
    free = result.usable_bytes
    for model, name in zip(models, names):
        needed = model.needed_bytes
        if needed <= free:
            free -= needed
            verdict = "admitted"
        else:
            rejection = next(rejections)
            verdict = f"REJECTED, short by {shortfall(rejection.short_bytes)}"
        lines.append(f"  {name:{width}}  {gib(needed):>7} GiB  {verdict}\n")
    lines.append(f"\n{explanation(result)}\n")
    return "".join(lines)


_REJECTED = "\n  REJECTED "


def explanation(result: Plan) -> str:
    """The module's explanation, its rejected names escaped for a terminal.

    It is a header line, then a line per rejection in order: the name after
    `_REJECTED` and figures with no line feed; so each name is cut exactly.
    """
    text = result.explain
    if all(rejection.model.isprintable() for rejection in result.rejected):
        return text
    end = text.index("\n")  # the header names no model
    parts = [text[:end]]
    for rejection in result.rejected:
        figures = end + len(_REJECTED) + len(rejection.model)
        end = text.find("\n", figures)
        end = len(text) if end < 0 else end
        parts.append(f"{_REJECTED}{printable(rejection.model)}{text[figures:end]}")
    return "".join(parts)
