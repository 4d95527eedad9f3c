"""Can this card hold this roster? The extension's plan as typed records."""

from __future__ import annotations

import json as _json
from collections.abc import Iterable
from dataclasses import dataclass
from typing import SupportsIndex

import _garnel

from .._model import Model
from ._entries import RosterLike, models_json, roster_json


@dataclass(frozen=True)
class Rejection:
    """A model that did not fit: what it needed, what was left, and the gap.

    `gpu` is the card it was rejected on, in a placement across cards; a
    plan of one card leaves it None.
    """

    model: str
    needed_bytes: int
    free_bytes: int
    short_bytes: int
    gpu: int | None = None


@dataclass(frozen=True)
class Plan:
    """The admission decision for one card; `str(plan)` is its explanation."""

    fits: bool
    admitted: tuple[str, ...]
    rejected: tuple[Rejection, ...]
    committed_bytes: int
    usable_bytes: int
    headroom_bytes: int
    declared: int
    explain: str
    json: str
    """The extension's plan text, as it gave it."""

    def __str__(self) -> str:
        return self.explain

    @classmethod
    def from_json(cls, text: str) -> Plan:
        """A Plan from the extension's plan text."""
        fields = _json.loads(text)
        return cls(
            fits=fields["fits"],
            admitted=tuple(fields["admitted"]),
            rejected=tuple(Rejection(**rejection) for rejection in fields["rejected"]),
            committed_bytes=fields["committed_bytes"],
            usable_bytes=fields["usable_bytes"],
            headroom_bytes=fields["headroom_bytes"],
            declared=fields["declared"],
            explain=fields["explain"],
            json=text,
        )


def plan(total_bytes: SupportsIndex, reserve_pct: SupportsIndex, roster: RosterLike) -> Plan:
    """Admit the roster's models greedily, in order, into the card's usable bytes.

    `reserve_pct` percent of the card, in whole hundredths of it, is held
    back: never less than one GiB, never more than the card. It is from 0 to
    255, 100 and above meaning 100; the extension raises OverflowError for
    any other. The roster is JSON text, or a sequence of `Model` or of roster
    entry mappings, each name once.
    """
    return Plan.from_json(_garnel.plan(total_bytes, reserve_pct, roster_json(roster)))


def plan_models(
    total_bytes: SupportsIndex, reserve_pct: SupportsIndex, models: Iterable[Model]
) -> Plan:
    """`plan` of models read and checked already: each a `Model`, each name once."""
    return Plan.from_json(_garnel.plan(total_bytes, reserve_pct, models_json(models)))
