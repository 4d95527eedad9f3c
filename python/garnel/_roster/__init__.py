"""The roster and its plan: every shape a roster is given in, and the card's admission.

Entries become `Model` records here (files, mappings, sized paths); a plan is
the extension's answer for them as typed records.
"""

from __future__ import annotations

from ._entries import RosterLike, byte_count, read_roster, roster_from_bytes, roster_json
from ._plan import Plan, Rejection, plan

__all__ = [
    "Plan",
    "Rejection",
    "RosterLike",
    "byte_count",
    "plan",
    "read_roster",
    "roster_from_bytes",
    "roster_json",
]
