"""What the operator's tools read of a serving card: `GET /metrics`, through prometheus-client.

Two kinds of figures. What the fleet answers itself (the card's bytes, each
model's route) is asked of the supervisor's fleet of the moment at each
scrape, by a collector, so no second copy of the card is kept. What only
happens (starts, exits, failed loads, answers, the times they took) is
counted by the supervisor's and the proxy's hooks, which `Metrics` receives.

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
    from ._setup import Setup
    from ._supervisor import Supervisor
    from ._swap import Swaps

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
        self.registry = registry = CollectorRegistry()
        model = ("model",)
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
            model,
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
            ("reason",),
            registry=registry,
        )
        self.swap_seconds = Histogram(
            "garnel_swap_seconds",
            "Seconds from a swap's start to the requested model ready",
            registry=registry,
            buckets=SWAP_BUCKETS,
        )
        for server in setup.servers:  # every declared model's counts, from 0
            for counter in (self.starts, self.exits, self.load_failures):
                counter.labels(server.name)
        for reason in SWAP_REASONS:
            self.swaps.labels(reason)
        # What each model's last probe_ok reported, and when serve last saw it change state.
        self.probed_bytes: dict[str, int] = {}
        self.changed_at: dict[str, float] = {}
        # The labelled children the proxy's hook takes, found once: the label sets are
        # bounded (declared names and "-", seven routes, a few codes).
        self._requests: dict[tuple[str, str, int], Counter] = {}
        self._request_seconds: dict[str, Histogram] = {}

    def watch(self, supervisor: Supervisor, swaps: Swaps) -> None:
        """Reads the card's figures from `supervisor`'s fleet at each scrape, and the
        routes of the on-demand models off the card from `swaps`."""
        self.registry.register(CardCollector(self, supervisor, swaps))

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
        self.starts.labels(model).inc()
        self.changed_at[model] = time.monotonic()

    def loaded(self, model: str, seconds: float) -> None:
        self.load_seconds.labels(model).observe(seconds)
        self.changed_at[model] = time.monotonic()

    def load_failed(self, model: str) -> None:
        self.load_failures.labels(model).inc()
        self.changed_at[model] = time.monotonic()

    def probed(self, model: str, held_bytes: int) -> None:
        self.probed_bytes[model] = held_bytes

    def exited(self, model: str) -> None:
        self.exits.labels(model).inc()
        self.changed_at[model] = time.monotonic()

    def unhealthy(self, model: str) -> None:
        self.changed_at[model] = time.monotonic()

    # The swaps' hooks.

    def swapped(self, wanted: str | None, unloaded: tuple[str, ...]) -> None:
        self.swaps.labels(SWAP_REASONS[wanted is None]).inc()
        now = time.monotonic()
        for model in unloaded:  # off the card: it holds nothing there now
            self.probed_bytes.pop(model, None)
            self.changed_at[model] = now

    def swap_ready(self, model: str, seconds: float) -> None:
        self.swap_seconds.observe(seconds)

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
    """The card as the fleet of the moment answers it, read at each scrape."""

    def __init__(self, metrics: Metrics, supervisor: Supervisor, swaps: Swaps) -> None:
        self.metrics = metrics
        self.supervisor = supervisor
        self.swaps = swaps

    def collect(self) -> Iterator[Metric]:
        setup, fleet = self.metrics.setup, self.supervisor.fleet
        total, usable = setup.total_bytes, setup.plan.usable_bytes
        card = GaugeMetricFamily("garnel_card_bytes", "The card's bytes, by kind", labels=["kind"])
        for kind, value in (
            ("total", total),
            ("reserve", total - usable),
            ("usable", usable),
            ("committed", fleet.committed_bytes()),
            ("free", fleet.free_bytes()),
        ):
            card.add_metric([kind], value)
        yield card
        routes = GaugeMetricFamily(
            "garnel_model_route",
            "1 for the model's current route kind, 0 for the others",
            labels=["model", "route"],
        )
        for name in self.supervisor.slots:
            now = self.swaps.route(name).kind
            for kind in RouteKind:
                routes.add_metric([name, kind.value], 1 if kind is now else 0)
        yield routes
        planned = GaugeMetricFamily(
            "garnel_model_planned_bytes",
            "The bytes the plan counts for the model",
            labels=["model"],
        )
        for name, slot in self.supervisor.slots.items():
            planned.add_metric([name], slot.server.planned_bytes)
        yield planned
        probed = GaugeMetricFamily(
            "garnel_model_probed_bytes",
            "The bytes the model's last probe reported it holds",
            labels=["model"],
        )
        for name, held in self.metrics.probed_bytes.items():
            probed.add_metric([name], held)
        yield probed
