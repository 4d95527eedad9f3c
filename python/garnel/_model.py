"""The roster entry every layer speaks of: a model's name and the bytes it needs.

Sizing makes them, rosters are read into them, plans and fleets take them, so
the record and the extension's byte limit live below all of those.
"""

from __future__ import annotations

from dataclasses import dataclass

U64_MAX = 2**64 - 1
"""The largest byte count or time the extension takes: an unsigned 64-bit integer."""


@dataclass(frozen=True)
class Model:
    """One declared model: its name and the bytes it needs on the card."""

    name: str
    weights_bytes: int
    kv_bytes: int = 0

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

    @property
    def needed_bytes(self) -> int:
        """Weights and cache together, saturating as the core sums them."""
        return min(self.weights_bytes + self.kv_bytes, U64_MAX)

    def entry(self) -> dict[str, object]:
        """The roster JSON object for this model."""
        return {
            "model": self.name,
            "weightsBytes": self.weights_bytes,
            "kvBytes": self.kv_bytes,
        }
