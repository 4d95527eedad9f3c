"""Roster entries."""

from __future__ import annotations

from dataclasses import dataclass

U64_MAX = 2**64 - 1


@dataclass(frozen=True)
class Model:
    """One declared model: its name and the bytes it needs on the card."""

    name: str
    weights_bytes: int
    kv_bytes: int = 0

    @property
    def needed_bytes(self) -> int:
        """Weights and cache together, saturating as the core sums them."""
        return min(self.weights_bytes + self.kv_bytes, U64_MAX)

    def entry(self) -> dict[str, object]:
        """The roster JSON object for this model."""
        return {"model": self.name, "weightsBytes": self.weights_bytes, "kvBytes": self.kv_bytes}
