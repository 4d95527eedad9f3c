"""Type information for the _garnel extension module.

Byte counts and clock readings are unsigned 64-bit integers: anything with
__index__ is accepted, negative or larger values raise OverflowError. Texts
are str; JSON goes in and out as text.
"""

from typing import Optional, SupportsIndex, final

__all__ = ["plan", "Fleet", "__version__"]

__version__: str

def plan(total_bytes: SupportsIndex, reserve_pct: SupportsIndex, declared_json: str) -> str:
    """Can this card hold this roster? Returns a JSON string."""

@final
class Fleet:
    """One card: the admission decision made once, and a slot per declared model."""

    def __new__(cls, total_bytes: SupportsIndex, reserve_pct: SupportsIndex, declared_json: str) -> "Fleet": ...
    def set_endpoint(self, model: str, endpoint: str) -> None:
        """Records where the model is served; a name no slot holds changes nothing."""
    def observe(self, model: str, kind: str, detail_json: str, now: SupportsIndex) -> None:
        """Record something observed; raises ValueError on an unrecognised kind."""
    def route(self, model: str, now: SupportsIndex) -> str:
        """Where a request for the model should go now, as a JSON object text."""
    def next_to_load(self) -> Optional[str]:
        """The next admitted model that fits the free bytes, or None."""
    def committed_bytes(self) -> int:
        """Bytes held on the card by resident models."""
    def free_bytes(self) -> int:
        """Usable bytes not held by resident models."""
    def report(self, now: SupportsIndex) -> str:
        """The card's state in a few lines for people."""
