"""The roster and its plan: every shape a roster is given in, and the card's admission.

Entries become `Model` records here (files, mappings, sized paths); a plan is
the extension's answer for them as typed records.
"""

from __future__ import annotations

from ._entries import (
    ROSTER_FILE_LIMIT,
    RosterLike,
    byte_count,
    read_roster,
    read_roster_stream,
    roster_from_bytes,
    roster_json,
)
from ._plan import Plan, Rejection, plan

__all__ = [
    "ROSTER_FILE_LIMIT",
    "Plan",
    "Rejection",
    "RosterLike",
    "byte_count",
    "plan",
    "read_roster",
    "read_roster_stream",
    "roster_from_bytes",
    "roster_json",
]
