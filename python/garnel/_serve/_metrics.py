"""What the operator's tools read of a serving card: `GET /metrics`, through prometheus-client.

Two kinds of figures. What the fleet answers itself (the card's bytes, each
model's route) is asked of each card's supervisor's fleet of the moment at
each scrape, by a collector, so no second copy of the card is kept. What only
happens (starts, exits, failed loads, answers, the times they took) is
counted by the supervisors' and the proxy's hooks, which `Metrics` receives.

The card's and the models' series carry a `card` label, the card's GPU (also
on a host of one card, so that a dashboard need not tell the two apart); a
request's series are the host's, by the model named, which is on one card.

Adding a metric: a counter or a histogram is one line in `Metrics.__init__`
and a line in the hook that counts it; a figure the fleet answers is one
family in `CardCollector.collect`.
"""

from __future__ import annotations

import time
from collections.abc import Iterator
from typing import TYPE_CHECKING

import prometheus_client
from prometheus_client import CollectorRegistry, Counter, Histogram
from prometheus_client.core import GaugeMetricFamily, Metric
from prometheus_client.registry import Collector

from garnel import Route, RouteKind

from ._events import Events

if TYPE_CHECKING:
    from collections.abc import Sequence

    from ._setup import Setup
    from ._swap import ServedCard

# A label for what no declared model is: a client's name for a model this
# host does not have, or a request refused before it was routed.
NONE = "-"

# Time to the first byte: a short answer in milliseconds, a model's first
# token in seconds, a request that waited for its model in tens of them.
REQUEST_BUCKETS = (0.005, 0.01, 0.025, 0.05, 0.1, 0.25, 0.5, 1, 2.5, 5, 10, 30, 60, 120, 300)
# From a server's start to its first healthy answer: seconds to many minutes.
LOAD_BUCKETS = (0.5, 1, 2.5, 5, 10, 20, 30, 60, 120, 300, 600, 1200)
# From a swap's start to its model ready: a stand-in's tens of ms to a large model's minutes.
SWAP_BUCKETS = (0.05, 0.1, 0.25, *LOAD_BUCKETS)
SWAP_REASONS = ("request", "idle")

CONTENT_TYPE = prometheus_client.CONTENT_TYPE_LATEST


class Metrics(Events):
    """The counters and histograms the hooks update, the card's figures at each scrape,
    and what the status page shows beside them (probed bytes, when each model last
    changed state)."""

    def __init__(self, setup: Setup) -> None:
        # Each counter's time of creation is one series more per label set, of no use here.
        prometheus_client.disable_created_metrics()  # type: ignore[no-untyped-call]
        self.setup = setup
        # Each model's card, as its series' label: a name is one model of the host.
        self.card_of = {
            server.name: str(card.gpu) for card in setup.cards for server in card.servers
        }
        self.registry = registry = CollectorRegistry()
        model = ("card", "model")  # a model's series, by its card
        self.starts = Counter(
            "garnel_model_starts_total", "Loads started", model, registry=registry
        )
        self.exits = Counter(
            "garnel_model_exits_total", "Server exits serve did not cause", model, registry=registry
        )
        self.load_failures = Counter(
            "garnel_model_load_failures_total", "Loads that failed", model, registry=registry
        )
        self.requests = Counter(
            "garnel_requests_total",
            "POST requests under /v1/ answered, by model, route and status code",
            ("model", "route", "code"),
            registry=registry,
        )
        self.request_seconds = Histogram(
            "garnel_request_seconds",
            "Seconds from a request's arrival to its answer's first byte",
            ("model",),
            registry=registry,
            buckets=REQUEST_BUCKETS,
        )
        self.load_seconds = Histogram(
            "garnel_load_seconds",
            "Seconds from a server's start to its first healthy answer",
            model,
            registry=registry,
            buckets=LOAD_BUCKETS,
        )
        self.swaps = Counter(
            "garnel_swaps_total",
            "Swaps, each a new life of the card's journal: for a request, or of an idle model",
            ("card", "reason"),
            registry=registry,
        )
        self.swap_seconds = Histogram(
            "garnel_swap_seconds",
            "Seconds from a swap's start to the requested model ready",
            ("card",),
            registry=registry,
            buckets=SWAP_BUCKETS,
        )
        for server in setup.servers:  # every declared model's counts, from 0
            for counter in (self.starts, self.exits, self.load_failures):
                counter.labels(self.card_of[server.name], server.name)
        for card in setup.cards:
            for reason in SWAP_REASONS:
                self.swaps.labels(str(card.gpu), reason)
            self.swap_seconds.labels(str(card.gpu))
        # What each model's last probe_ok reported, and when serve last saw it change state.
        self.probed_bytes: dict[str, int] = {}
        self.changed_at: dict[str, float] = {}
        # The labelled children the proxy's hook takes, found once: the label sets are
        # bounded (declared names and "-", seven routes, a few codes).
        self._requests: dict[tuple[str, str, int], Counter] = {}
        self._request_seconds: dict[str, Histogram] = {}

    def watch(self, cards: Sequence[ServedCard]) -> None:
        """Reads each card's figures from its supervisor's fleet at each scrape, and the
        routes of the on-demand models off the card from its swaps."""
        self.registry.register(CardCollector(self, cards))

    def exposition(self) -> bytes:
        """Every metric in the Prometheus text format."""
        return prometheus_client.generate_latest(self.registry)

    def counts(self, counter: Counter) -> dict[str, int]:
        """A counter's value for each model."""
        return {
            sample.labels["model"]: int(sample.value)
            for family in counter.collect()
            for sample in family.samples
            if sample.name.endswith("_total")
        }

    # The supervisor's hooks.

    def load_started(self, model: str) -> None:
        self.starts.labels(self.card_of[model], model).inc()
        self.changed_at[model] = time.monotonic()

    def loaded(self, model: str, seconds: float) -> None:
        self.load_seconds.labels(self.card_of[model], model).observe(seconds)
        self.changed_at[model] = time.monotonic()

    def load_failed(self, model: str) -> None:
        self.load_failures.labels(self.card_of[model], model).inc()
        self.changed_at[model] = time.monotonic()

    def probed(self, model: str, held_bytes: int) -> None:
        self.probed_bytes[model] = held_bytes

    def exited(self, model: str) -> None:
        self.exits.labels(self.card_of[model], model).inc()
        self.changed_at[model] = time.monotonic()

    def unhealthy(self, model: str) -> None:
        self.changed_at[model] = time.monotonic()

    # The swaps' hooks.

    def swapped(self, gpu: int, wanted: str | None, unloaded: tuple[str, ...]) -> None:
        self.swaps.labels(str(gpu), SWAP_REASONS[wanted is None]).inc()
        now = time.monotonic()
        for model in unloaded:  # off the card: it holds nothing there now
            self.probed_bytes.pop(model, None)
            self.changed_at[model] = now

    def swap_ready(self, model: str, seconds: float) -> None:
        self.swap_seconds.labels(self.card_of[model]).observe(seconds)

    # The proxy's hook, once a request.

    def answered(self, route: Route | None, status: int, first_byte_s: float) -> None:
        if route is None:
            model = kind = NONE
        else:
            kind = route.kind.value
            model = NONE if route.kind is RouteKind.NOT_DECLARED else route.model
        key = (model, kind, status)
        requests = self._requests.get(key)
        if requests is None:
            requests = self._requests[key] = self.requests.labels(model, kind, str(status))
        requests.inc()
        seconds = self._request_seconds.get(model)
        if seconds is None:
            seconds = self._request_seconds[model] = self.request_seconds.labels(model)
        seconds.observe(first_byte_s)


class CardCollector(Collector):
    """Each card as the fleet of the moment answers it, read at each scrape."""

    def __init__(self, metrics: Metrics, cards: Sequence[ServedCard]) -> None:
        self.metrics = metrics
        self.cards = cards

    def collect(self) -> Iterator[Metric]:
        card_bytes = GaugeMetricFamily(
            "garnel_card_bytes", "The card's bytes, by kind", labels=["card", "kind"]
        )
        routes = GaugeMetricFamily(
            "garnel_model_route",
            "1 for the model's current route kind, 0 for the others",
            labels=["card", "model", "route"],
        )
        planned = GaugeMetricFamily(
            "garnel_model_planned_bytes",
            "The bytes the plan counts for the model",
            labels=["card", "model"],
        )
        probed = GaugeMetricFamily(
            "garnel_model_probed_bytes",
            "The bytes the model's last probe reported it holds",
            labels=["card", "model"],
        )
        probed_bytes = self.metrics.probed_bytes
        for card in self.cards:
            gpu, setup, fleet = str(card.gpu), card.setup, card.supervisor.fleet
            total, usable = setup.total_bytes, setup.plan.usable_bytes
            for kind, value in (
                ("total", total),
                ("reserve", total - usable),
                ("usable", usable),
                ("committed", fleet.committed_bytes()),
                ("free", fleet.free_bytes()),
            ):
                card_bytes.add_metric([gpu, kind], value)
            for name, slot in card.supervisor.slots.items():
                now = card.swaps.route(name).kind
                for kind in RouteKind:
                    routes.add_metric([gpu, name, kind.value], 1 if kind is now else 0)
                planned.add_metric([gpu, name], slot.server.planned_bytes)
                held = probed_bytes.get(name)
                if held is not None:
                    probed.add_metric([gpu, name], held)
        yield from (card_bytes, routes, planned, probed)
