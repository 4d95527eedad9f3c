"""One roster across a machine's cards: which card each model goes on, and each card's plan.

Placement is greedy and in roster order, so that an operator can follow it
with a pencil: a pinned model goes on its card or is rejected there, any other
on the lowest-index card whose usable bytes left still hold it. Each card's
models are then planned by the extension, so every figure and explanation of
a card is its own, and a placement on one card is exactly `plan()`.
"""

from __future__ import annotations

import json
from collections.abc import Iterable, Mapping, Sequence
from dataclasses import dataclass, field, replace
from typing import Callable, SupportsIndex, cast

import _garnel

from .._errors import RosterError
from .._model import Model
from ._entries import RosterLike, entry_label, roster_models
from ._plan import Plan, Rejection, plan_models

GIB = 2**30
MIB = 2**20


@dataclass(frozen=True)
class Placement:
    """Where each model of a roster goes among several cards; `str()` tells it for people.

    `cards` holds each card's plan, in the order the cards were given;
    `placed` maps each admitted model's name to its card's index, in roster
    order; `rejected` lists the models that went nowhere, in roster order,
    each with `gpu`, the card it was planned on and rejected by.
    """

    cards: tuple[Plan, ...]
    placed: Mapping[str, int] = field(hash=False)
    rejected: tuple[Rejection, ...]
    fits: bool

    def __str__(self) -> str:
        return placement_text(self)


def place(
    cards: Iterable[SupportsIndex],
    roster: RosterLike,
    *,
    reserve_pct: SupportsIndex | Iterable[SupportsIndex] = 10,
) -> Placement:
    """Place the roster's models across cards of these total bytes, then plan each card.

    `cards` are the cards' total bytes, in GPU index order; each keeps
    `reserve_pct` back, as `plan` does: one for every card, or one a card,
    in the same order. In roster order, a model whose entry
    gives `gpu` goes on that card if its usable bytes left hold it, and is
    rejected there otherwise; any other goes on the lowest-index card whose
    usable bytes left hold it, and one that fits on none is rejected on the
    card it is least short on (the lowest such index). Each card's models,
    those rejected there too, are then planned by the extension in roster
    order, so that the card's plan shows them all.

    The roster is JSON text (read as a JSON roster file is: the placement
    needs each entry's bytes and pin), or a sequence of `Model` or of roster
    entry mappings, each name once. Raises RosterError for an entry pinned to
    a card not given, ValueError for no cards, and the extension's
    TypeError or OverflowError for a total or `reserve_pct` it refuses.
    """
    if isinstance(cards, (str, bytes)) or not isinstance(cards, Iterable):
        raise TypeError(f"cards are the cards' total bytes, one a card, not {type(cards).__name__}")
    totals = list(cards)
    if not totals:
        raise ValueError("no cards to place the roster on")
    reserves = _reserve_of_each(reserve_pct, len(totals))
    # The extension's own reserve for each card: a plan of nothing says what is usable.
    usable = [
        json.loads(_garnel.plan(total, reserve, "[]"))["usable_bytes"]
        for total, reserve in zip(totals, reserves)
    ]
    models = roster_models(roster)
    _check_pins(models, len(totals))

    left = list(usable)
    card_of: list[int] = []
    for model in models:
        needed = model.needed_bytes
        card = model.gpu
        if card is None:
            for card, free in enumerate(left):
                if needed <= free:
                    break
            else:
                # The least short card is the one with the most left: the first of those.
                card = left.index(max(left))
        if needed <= left[card]:
            left[card] -= needed
        card_of.append(card)

    per_card: list[list[Model]] = [[] for _ in totals]
    for model, card in zip(models, card_of):
        per_card[card].append(model)
    # The roster was read and checked above; each card's share goes to the extension as is.
    plans = tuple(
        plan_models(total, reserve, card_models)
        for total, reserve, card_models in zip(totals, reserves, per_card)
    )

    # What was placed and rejected is read from the extension's plans, not the
    # walk above, so that the placement and the cards' plans never disagree.
    # Each name is on one card only, so one set holds every card's admitted.
    admitted = set().union(*(card_plan.admitted for card_plan in plans))
    rejections = {r.model: r for card_plan in plans for r in card_plan.rejected}
    placed: dict[str, int] = {}
    rejected: list[Rejection] = []
    for model, card in zip(models, card_of):
        if model.name in admitted:
            placed[model.name] = card
        else:
            rejected.append(replace(rejections[model.name], gpu=card))
    return Placement(cards=plans, placed=placed, rejected=tuple(rejected), fits=not rejected)


def _reserve_of_each(
    reserve_pct: SupportsIndex | Iterable[SupportsIndex], count: int
) -> list[SupportsIndex]:
    """Each card's reserve: one given for all, or one a card. What is not a sequence of
    them goes to the extension as one, to be taken or refused as `plan` would."""
    if (
        hasattr(reserve_pct, "__index__")
        or isinstance(reserve_pct, (str, bytes))
        or not isinstance(reserve_pct, Iterable)
    ):
        return [cast(SupportsIndex, reserve_pct)] * count
    reserves = list(reserve_pct)
    if len(reserves) != count:
        raise ValueError(
            f"{len(reserves)} reserves for {count} cards: give one for every card, or one a card"
        )
    return reserves


def _check_pins(models: Sequence[Model], count: int) -> None:
    faults = [
        f"{entry_label(index, model.name)}: pinned to GPU {model.gpu}, "
        f"but the cards given are {_card_range(count)}"
        for index, model in enumerate(models)
        if model.gpu is not None and model.gpu >= count
    ]
    if faults:
        raise RosterError("could not place the roster: " + "; ".join(faults))


def _card_range(count: int) -> str:
    return "GPU 0 alone" if count == 1 else f"GPU 0 to {count - 1}"


def cards_needed(rejection: Rejection, placement: Placement) -> int | None:
    """How many of the placement's largest cards the rejected model's bytes would span.

    1 when one card could hold it alone (it was rejected for what the cards
    held already), more for a model larger than every card: a model is never
    split across cards. None when no card has a usable byte.
    """
    largest = max(card_plan.usable_bytes for card_plan in placement.cards)
    if largest == 0:
        return None
    return max(1, -(-rejection.needed_bytes // largest))


def gib(byte_count: int) -> str:
    """Bytes in GiB with one decimal, rounded as the extension rounds them."""
    return f"{byte_count / GIB:.1f}"


def shortfall(byte_count: int) -> str:
    """A shortfall with enough digits never to read as none: GiB, else MiB, else bytes."""
    if byte_count >= GIB:
        return f"{gib(byte_count)} GiB"
    if byte_count >= MIB:
        return f"{byte_count / MIB:.1f} MiB"
    return f"{byte_count} byte{'' if byte_count == 1 else 's'}"


def placement_text(placement: Placement) -> str:
    """The placement for people: one card reads as its plan does, several as a section
    a card and then the models that went nowhere."""
    if len(placement.cards) == 1:
        return placement.cards[0].explain
    sections = [
        f"GPU {index}: {card_plan.explain}" for index, card_plan in enumerate(placement.cards)
    ]
    return "\n".join(sections) + "\n\n" + outcome_text(placement)


def outcome_text(
    placement: Placement, show: Callable[[str], str] = str, gpus: Sequence[int] | None = None
) -> str:
    """How many models were placed, then a line for each rejected one; `show` spells the names,
    and `gpus` the GPU each card is, where it is not the card's place in the list.

    A model larger than every card says how many cards it would span: a model
    is never split across cards.
    """
    declared = len(placement.placed) + len(placement.rejected)
    count = len(placement.cards)
    lines = [f"{len(placement.placed)} of {declared} placed on {count} card{'s' * (count != 1)}"]
    for rejection in placement.rejected:
        needs = f"needs {gib(rejection.needed_bytes)} GiB"
        spanned = cards_needed(rejection, placement)
        if spanned is not None and spanned > 1:
            largest = max(card_plan.usable_bytes for card_plan in placement.cards)
            why = (
                f"{needs}, more than the {gib(largest)} GiB usable on any card: "
                f"it needs {spanned} cards, and a model is not split across cards"
            )
        else:
            why = f"{needs}, short by {shortfall(rejection.short_bytes)}"
        gpu = rejection.gpu if gpus is None or rejection.gpu is None else gpus[rejection.gpu]
        lines.append(f"  REJECTED {show(rejection.model)} on GPU {gpu} \u2014 {why}")
    return "\n".join(lines)
