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
