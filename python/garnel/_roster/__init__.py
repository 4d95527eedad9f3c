"""The roster and its plan: every shape a roster is given in, the card's admission,
and a roster placed across several cards.

Entries become `Model` records here (files, mappings, sized paths); a plan is
the extension's answer for them as typed records, and a placement one plan a card.
"""

from __future__ import annotations

from ._entries import (
    ROSTER_FILE_LIMIT,
    RosterLike,
    byte_count,
    entry_label,
    read_roster,
    read_roster_stream,
    roster_from_bytes,
    roster_json,
    roster_models,
)
from ._place import Placement, cards_needed, gib, outcome_text, place, shortfall
from ._plan import Plan, Rejection, plan

__all__ = [
    "ROSTER_FILE_LIMIT",
    "Placement",
    "Plan",
    "Rejection",
    "RosterLike",
    "byte_count",
    "cards_needed",
    "entry_label",
    "gib",
    "outcome_text",
    "place",
    "plan",
    "read_roster",
    "read_roster_stream",
    "roster_from_bytes",
    "roster_json",
    "roster_models",
    "shortfall",
]
