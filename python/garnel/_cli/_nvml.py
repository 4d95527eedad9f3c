"""The cards' sizes through NVML, for `garnel plan` without --card."""

from __future__ import annotations

from typing import NamedTuple

from .._errors import MissingExtra, NvmlError
from .._nvml import nvml_cards as read_cards
from ._common import CommandError

ADVICE = "give the card's size with --card, e.g. --card 24GiB"


class Card(NamedTuple):
    """One card to plan: its total bytes, and how the figure was found, for people and JSON."""

    total_bytes: int
    where: str
    nvml_name: str | None = None


def nvml_cards(gpu: int | None) -> list[Card]:
    """GPU `gpu` alone, or every GPU NVML sees, in its index order, through NVML."""
    try:
        found = read_cards(None if gpu is None else [gpu])
    except (MissingExtra, NvmlError) as error:
        raise CommandError(f"no --card, and {error}: {ADVICE}") from None
    return [
        Card(card.total_bytes, f"GPU {card.index}, {card.name}, through NVML", card.name)
        for card in found
    ]
