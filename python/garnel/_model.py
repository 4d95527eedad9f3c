"""The roster entry every layer speaks of: a model's name and the bytes it needs.

Sizing makes them, rosters are read into them, plans and fleets take them, so
the record and the extension's byte limit live below all of those.
"""

from __future__ import annotations

import re
from dataclasses import dataclass
from fractions import Fraction

U64_MAX = 2**64 - 1
"""The largest byte count or time the extension takes: an unsigned 64-bit integer."""

_SIZE = re.compile(r"\s*(\d+(?:\.\d*)?|\.\d+)\s*([A-Za-z]*)\s*")
_UNITS = {
    "": 1,
    "b": 1,
    "kb": 10**3,
    "mb": 10**6,
    "gb": 10**9,
    "tb": 10**12,
    "kib": 2**10,
    "mib": 2**20,
    "gib": 2**30,
    "tib": 2**40,
}


def parse_size(text: str) -> int:
    """Bytes as people write them: "25769803776", "24GiB", "81920MiB", "80GB".

    KB, MB, GB and TB are powers of 1000, KiB to TiB powers of 1024, and a
    fraction is taken where it makes whole bytes ("1.5GiB"). Raises
    ValueError saying why for anything else; the range is the caller's to
    check.
    """
    match = _SIZE.fullmatch(text)
    unit = match.group(2).lower() if match else None
    if match is None or unit not in _UNITS:
        raise ValueError(
            f"{text!r} is not a size: give bytes, or a number with one of "
            "B, KB, MB, GB, TB (powers of 1000) or KiB, MiB, GiB, TiB (powers of 1024)"
        )
    size = Fraction(match.group(1)) * _UNITS[unit]
    if size.denominator != 1:
        raise ValueError(f"{text!r} is not a whole number of bytes")
    return int(size)


@dataclass(frozen=True)
class Model:
    """One declared model: its name, the bytes it needs on a card, and the card it is pinned to.

    `gpu` is a card's index, as `garnel.place` counts the cards it is given;
    None leaves the model to go wherever it fits. A plan of one card ignores it.
    """

    name: str
    weights_bytes: int
    kv_bytes: int = 0
    gpu: int | None = None

    def __post_init__(self) -> None:
        if not isinstance(self.name, str):
            raise TypeError(f"Model.name must be a str, not {type(self.name).__name__}")
        if not self.name:
            raise ValueError("Model.name is empty")
        for field, value in (
            ("weights_bytes", self.weights_bytes),
            ("kv_bytes", self.kv_bytes),
        ):
            if isinstance(value, bool) or not isinstance(value, int):
                raise TypeError(f"Model.{field} must be an int, not {type(value).__name__}")
            if not 0 <= value <= U64_MAX:
                raise ValueError(f"Model.{field} must be from 0 to 2**64 - 1, not {value}")
        if self.gpu is not None:
            if isinstance(self.gpu, bool) or not isinstance(self.gpu, int):
                raise TypeError(f"Model.gpu must be an int or None, not {type(self.gpu).__name__}")
            if self.gpu < 0:
                raise ValueError(f"Model.gpu must be a card's index from 0 up, not {self.gpu}")

    @property
    def needed_bytes(self) -> int:
        """Weights and cache together, saturating as the core sums them."""
        return min(self.weights_bytes + self.kv_bytes, U64_MAX)

    def entry(self) -> dict[str, object]:
        """The roster JSON object for this model; `"gpu"` only when it is pinned.

        The extension reads no `"gpu"` and passes over it, so an unpinned
        roster is the very text it always was.
        """
        entry: dict[str, object] = {
            "model": self.name,
            "weightsBytes": self.weights_bytes,
            "kvBytes": self.kv_bytes,
        }
        if self.gpu is not None:
            entry["gpu"] = self.gpu
        return entry
