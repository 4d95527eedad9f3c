"""What the supervisor and the proxy report as it happens, for whoever keeps count.

The supervisor tells of each load, exit and probe; the proxy of each answer
it sent. `Events` listens to nothing; the metrics (`_metrics.Metrics`) keep
the counts and times the operator's tools read. A hook is called on the
event loop, once per event, and must not block or raise.
"""

from __future__ import annotations

from garnel import Route


class Events:
    """The hooks, each doing nothing."""

    def load_started(self, model: str) -> None:
        """A load of `model` started (`load_started` went to the fleet)."""

    def loaded(self, model: str, seconds: float) -> None:
        """`model` answered its health path `seconds` after its load started."""

    def load_failed(self, model: str) -> None:
        """The load of `model` failed (`load_failed` went to the fleet)."""

    def probed(self, model: str, held_bytes: int) -> None:
        """A probe of `model` reported `held_bytes` on the card (`probe_ok`)."""

    def exited(self, model: str) -> None:
        """The server of resident `model` exited without serve ending it (`process_exited`)."""

    def unhealthy(self, model: str) -> None:
        """`model` failed its probes and is lost (`probe_failed`); serve ends its server."""

    def swapped(self, gpu: int, wanted: str | None, unloaded: tuple[str, ...]) -> None:
        """A swap made a new life of card `gpu`: `wanted` brought onto it (None: the swap
        only took an idle model off) and `unloaded` taken off, their servers ended."""

    def swap_ready(self, model: str, seconds: float) -> None:
        """`model`, which a swap brought on, is ready `seconds` after the swap began."""

    def answered(self, route: Route | None, status: int, first_byte_s: float) -> None:
        """A POST under /v1/ was answered with `status`, its first byte `first_byte_s`
        after it arrived; `route` is None for one refused before routing."""
