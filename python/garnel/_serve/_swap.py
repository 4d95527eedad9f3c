"""On-demand models: swapped onto the card when a request names one, off it for room or idleness.

The card's Fleet holds the pinned models, in the file's order, then the
on-demand models on the card, most recently requested first. A request for an
on-demand model the fleet does not hold makes a swap:

1. the roster is planned: the pinned models, the requested one, then those on
   the card by recency;
2. the on-demand models the plan leaves out are unloaded: new requests for
   them wait, those in flight finish (up to `request_timeout_s`), then each
   gets `stop` and its server is ended;
3. a new Fleet is built on the new roster, a new life of the journal; the
   models that stay keep their servers and are carried into it as they stand
   (`load_started`, `set_endpoint`, `probe_ok` with their probed bytes, and a
   loss or a failed load again), and the requested model is loaded as any is;
4. the request waits for it, up to `load_timeout_s` from the swap's start.

Swaps run one at a time, in the order they were asked for, in a task of their
own. The requests that waited for a swap hold the model it loaded on the card
until they are answered, so two clients taking turns at two models that
cannot share the card each get answers instead of a card that loads forever.
A model with `ttl_s` is unloaded by a swap that only removes it, once it has
been idle that long. Requests for models a swap does not touch are never held
up: the old fleet routes them until the switch and the new one after, and the
switch is one step of the event loop.

Each card has swaps of its own, over its own Fleet. An on-demand model is
placed on one card before serve starts (`_setup`) and stays that card's:
its swaps unload only that card's on-demand models, and a card with room
does not take another card's model. The cards' swaps run side by side.
"""

from __future__ import annotations

import asyncio
import contextlib
import logging
import time
from collections import deque
from collections.abc import Sequence
from dataclasses import dataclass, field

import garnel
from garnel import Route, RouteKind

from ._setup import CardSetup, Server
from ._supervisor import JournalFailed, Slot, State, Supervisor

log = logging.getLogger("garnel.serve")

HISTORY = 64  # swaps kept for the status page and `garnel status`
_CONCLUDED = (State.RESIDENT, State.FAILED, State.LOST)


@dataclass(eq=False)
class Swap:
    """One swap asked for: `wanted` brought onto the card, or `idle` taken off it."""

    wanted: str | None
    idle: str | None = None
    started: asyncio.Event = field(default_factory=asyncio.Event)
    done: asyncio.Event = field(default_factory=asyncio.Event)
    started_at: float = 0.0  # the monotonic clock
    began: float = 0.0  # the wall clock, for people
    unloaded: tuple[str, ...] = ()
    # From its start to the wanted model ready (for an idle swap, to the switch);
    # None while it runs, or when it made no new life or its model never got ready.
    seconds: float | None = None
    switched: bool = False  # it made a new life of the card


def off_card(model: str) -> Route:
    """An on-demand model the card does not hold: a request for it makes a swap here."""
    return Route(RouteKind.UNKNOWN, model, None, None, None, None, False, False, False)


def never_fits(model: str, short_bytes: int) -> Route:
    """An on-demand model that does not fit even beside the pinned models alone."""
    return Route(RouteKind.NOT_ADMITTED, model, None, None, None, short_bytes, False, True, False)


class Swaps:
    """The on-demand models of one card: which are on it, and the swaps that change that."""

    def __init__(self, setup: CardSetup, supervisor: Supervisor) -> None:
        self.setup = setup
        self.supervisor = supervisor
        settings = setup.config.serve
        self.load_timeout_s = settings.load_timeout_s
        self.drain_s = settings.request_timeout_s
        self.warming_wait_s = settings.warming_wait_s
        self.servers = {server.name: server for server in setup.servers}
        self.on_demand = frozenset(server.name for server in setup.on_demand)
        self.on_card: tuple[str, ...] = ()  # on-demand models the fleet holds, by recency
        self.leaving: set[str] = set()  # being unloaded: requests for them wait
        self.in_flight = dict.fromkeys(self.on_demand, 0)
        # Requests that waited for a swap of the model and are not answered yet:
        # while any is, no other swap unloads it.
        self.held = dict.fromkeys(self.on_demand, 0)
        self.idle_since = dict.fromkeys(self.on_demand, 0.0)
        self._recency = dict.fromkeys(self.on_demand, 0)
        self._tick = 0
        self._queue: deque[Swap] = deque()
        self._bringing: dict[str, Swap] = {}  # queued or running, by the model wanted
        self._work_to_do = asyncio.Event()
        self._card_changed = asyncio.Event()
        self._tasks: list[asyncio.Task[None]] = []
        self.closed = False
        self.count = 0  # new lives made
        self.history: deque[Swap] = deque(maxlen=HISTORY)

    # What the proxy asks.

    def on_card_now(self, name: str) -> bool:
        """Whether the card's plan of the moment holds `name`."""
        if name in self.on_demand:
            return name in self.on_card
        return self.setup.admitted(name)

    def route(self, name: str) -> Route:
        """How a request for `name` stands, without making a swap."""
        if name in self.on_demand and name not in self.on_card:
            rejected = self.setup.never_fits(name)
            return off_card(name) if rejected is None else never_fits(name, rejected.short_bytes)
        return self.supervisor.fleet.route(name)

    async def take(self, model: str) -> tuple[Route, bool]:
        """The route a request for on-demand `model` goes by, after a swap if one is needed.

        A ready route counts the request in flight to the model, and says whether
        the request holds it on the card; the caller gives both back to
        `finished` once the request is answered. Any other route is the answer.
        """
        self._tick += 1
        self._recency[model] = self._tick
        supervisor = self.supervisor
        deadline: float | None = None  # of waiting for it: warming_wait_s, or a swap's
        swap: Swap | None = None
        holds = False
        try:
            while True:
                if model in self.leaving:
                    await self._change(None)
                    continue
                if model not in self.on_card:
                    if swap is not None:  # its swap is over and the card does not hold it
                        return self.route(model), False
                    rejected = self.setup.never_fits(model)
                    if rejected is not None:  # nothing is unloaded for it
                        return never_fits(model, rejected.short_bytes), False
                    if self.closed or supervisor.stopping or supervisor.failed:
                        return off_card(model), False
                    swap = self._bringing.get(model) or self._ask(Swap(model))
                    if not holds:
                        self.held[model] += 1
                        holds = True
                    await swap.started.wait()
                    deadline = swap.started_at + self.load_timeout_s
                    with contextlib.suppress(asyncio.TimeoutError):
                        await asyncio.wait_for(swap.done.wait(), deadline - time.monotonic())
                    continue
                route = supervisor.fleet.route(model)
                if route.ready:
                    self.in_flight[model] += 1
                    holding, holds = holds, False  # the caller's to give back now
                    return route, holding
                if deadline is None:
                    deadline = time.monotonic() + self.warming_wait_s
                left = deadline - time.monotonic()
                if left <= 0 or self.closed or not self._will_be_ready(route):
                    return route, False
                await self._change(left)
        finally:
            if holds:
                self._let_go(model)

    def finished(self, model: str, holds: bool) -> None:
        """A request `take` let through is answered, or its client went away."""
        count = self.in_flight[model] = self.in_flight[model] - 1
        if count == 0:
            self.idle_since[model] = time.monotonic()
        if holds:
            self._let_go(model)
        elif count == 0 and model in self.leaving:
            self.supervisor.notify()  # its swap drains it

    def _let_go(self, model: str) -> None:
        self.held[model] -= 1
        self.supervisor.notify()

    def _will_be_ready(self, route: Route) -> bool:
        if route.kind is RouteKind.WARMING:
            return True
        return route.kind is RouteKind.UNKNOWN and self.supervisor.will_start(route.model)

    async def _change(self, timeout: float | None) -> None:
        """Waits for the supervisor's next change, which swaps announce too."""
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self.supervisor.changed().wait(), timeout)

    # Running.

    def start(self) -> None:
        if self.on_demand:
            self._tasks = [
                asyncio.ensure_future(self._work()),
                asyncio.ensure_future(self._unload_idle()),
            ]

    async def close(self) -> None:
        """No more swaps: the one running stops where it stands, and requests waiting for
        one are answered (a stop that follows ends every server)."""
        self.closed = True
        for task in self._tasks:
            task.cancel()
        for task in self._tasks:
            with contextlib.suppress(asyncio.CancelledError):
                await task
        self._release_all()

    def _release_all(self) -> None:
        self.closed = True
        for swap in self._queue:
            swap.started.set()
            swap.done.set()
        self._queue.clear()
        self._bringing.clear()
        self.supervisor.notify()

    def _ask(self, swap: Swap) -> Swap:
        self._queue.append(swap)
        if swap.wanted is not None:
            self._bringing[swap.wanted] = swap
        self._work_to_do.set()
        return swap

    async def _work(self) -> None:
        try:
            while True:
                while not self._queue:
                    self._work_to_do.clear()
                    await self._work_to_do.wait()
                swap = self._queue[0]
                try:
                    await self._run(swap)
                finally:
                    self._queue.popleft()
                    if swap.wanted is not None and self._bringing.get(swap.wanted) is swap:
                        del self._bringing[swap.wanted]
                    swap.started.set()
                    swap.done.set()
                    self.supervisor.notify()
        except JournalFailed:
            pass  # the supervisor has told the host, which stops
        finally:
            self._release_all()

    async def _run(self, swap: Swap) -> None:
        supervisor = self.supervisor
        swap.started_at, swap.began = time.monotonic(), time.time()
        swap.started.set()
        if swap.wanted in self.on_card:
            return  # on the card already: no new life for nothing
        while True:
            if supervisor.stopping or supervisor.failed:
                return
            if swap.idle is not None and not self._idle(swap.idle, time.monotonic()):
                return  # asked for again, or already gone
            roster, kept = self._plan(swap)
            victims = tuple(name for name in self.on_card if name not in kept)
            # A model held by the requests of the swap that loaded it, or still
            # loading, is waited for; then the roster is planned again.
            if not any(self.held[v] or supervisor.slots[v].state is State.LOADING for v in victims):
                break
            await self._change(None)
        self.history.append(swap)
        swap.unloaded = victims
        why = f"{swap.wanted} was requested" if swap.wanted else f"{swap.idle} is idle"
        gone = ", ".join(victims) if victims else "nothing"
        log.info("swap %d: %s; unloading %s", self.count + 1, why, gone)
        for name in victims:
            supervisor.slots[name].admitted = False
        self.leaving.update(victims)
        try:
            await self._drain(victims)
            slots = [supervisor.slots[name] for name in victims]
            await asyncio.gather(*(supervisor.unload(slot) for slot in slots))
            self._switch(roster, kept)
        finally:
            self.leaving.difference_update(victims)
            supervisor.notify()
        swap.switched = True
        supervisor.events.swapped(self.setup.gpu, swap.wanted, victims)
        if swap.wanted is None:
            swap.seconds = time.monotonic() - swap.started_at
            return
        slot = supervisor.slots[swap.wanted]
        await self._until_loaded(slot, swap.started_at + self.load_timeout_s)
        if slot.state is State.RESIDENT:
            swap.seconds = slot.resident_since - swap.started_at
            supervisor.events.swap_ready(slot.name, swap.seconds)
            log.info(
                "swap %d: %s ready %.3f s after the swap began", self.count, slot.name, swap.seconds
            )

    def _plan(self, swap: Swap) -> tuple[list[Server], tuple[str, ...]]:
        """The new roster, and the on-demand models in it: the pinned models, the one
        wanted, then those on the card by recency, as far as the plan admits them."""
        others = sorted(
            (name for name in self.on_card if name not in (swap.wanted, swap.idle)),
            key=self._recency.__getitem__,
            reverse=True,
        )
        candidates = ([swap.wanted] if swap.wanted is not None else []) + others
        pinned = self.setup.pinned
        plan = self.setup.plan_of([*pinned, *(self.servers[name] for name in candidates)])
        kept = tuple(name for name in candidates if name in plan.admitted)
        return [*pinned, *(self.servers[name] for name in kept)], kept

    async def _drain(self, victims: Sequence[str]) -> None:
        deadline = time.monotonic() + self.drain_s
        while any(self.in_flight[name] for name in victims):
            left = deadline - time.monotonic()
            if left <= 0:
                busy = ", ".join(name for name in victims if self.in_flight[name])
                log.warning(
                    "requests to %s still in flight after %g s: they end", busy, self.drain_s
                )
                return
            await self._change(left)

    def _switch(self, roster: Sequence[Server], kept: tuple[str, ...]) -> None:
        """The new life: the old fleet's journal closed, a new fleet built on the roster
        and told how each model in it stands, and routing by it from then on. All in one
        step of the event loop, so nothing is observed or routed between the two."""
        supervisor = self.supervisor
        old = supervisor.fleet
        card = self.setup
        try:
            old.close()
            new = garnel.Fleet(
                card.total_bytes,
                card.reserve_pct,
                [server.model() for server in roster],
                journal=card.journal,
            )
        except (garnel.JournalError, OSError) as error:
            supervisor.fatal(error)
        try:
            for server in roster:
                carry(supervisor, old, new, supervisor.slots[server.name])
        except JournalFailed:
            new.close()
            raise
        supervisor.fleet = new
        now = time.monotonic()
        for name in kept:
            supervisor.slots[name].admitted = True
            if name not in self.on_card:
                self.idle_since[name] = now  # its idleness counts from its arrival
        self.on_card = kept
        self.count += 1
        self._card_changed.set()

    async def _until_loaded(self, slot: Slot, deadline: float) -> None:
        """Until the model's load is over, or, if it has not begun, until `deadline`."""
        supervisor = self.supervisor
        supervisor.notify()  # the loader takes it
        while not (supervisor.stopping or supervisor.failed) and slot.state not in _CONCLUDED:
            left = deadline - time.monotonic()
            if slot.state is not State.LOADING:
                if left <= 0:
                    return
                await self._change(left)
            else:  # its load has a timeout of its own
                await self._change(None)

    # Idle models.

    def _idle(self, name: str, now: float) -> bool:
        ttl = self.servers[name].config.ttl_s
        return (
            bool(ttl)
            and name in self.on_card
            and not (self.in_flight[name] or self.held[name] or name in self.leaving)
            and self.idle_since[name] + ttl <= now
        )

    async def _unload_idle(self) -> None:
        """Asks for a swap that only removes a model once it has been idle its `ttl_s`."""
        supervisor = self.supervisor
        while not (self.closed or supervisor.stopping or supervisor.failed):
            now = time.monotonic()
            due, wait = None, None
            for name in self.on_card:
                ttl = self.servers[name].config.ttl_s
                if not ttl:
                    continue
                if self._idle(name, now):
                    due = name
                    break
                # A model in use is idle for its ttl at the earliest: looked at again then.
                busy = self.in_flight[name] or self.held[name] or name in self.leaving
                at = now + ttl if busy else self.idle_since[name] + ttl
                wait = at - now if wait is None else min(wait, at - now)
            if due is not None:
                await self._ask(Swap(None, idle=due)).done.wait()
                continue
            self._card_changed.clear()
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(self._card_changed.wait(), wait)


@dataclass(frozen=True)
class ServedCard:
    """One card as serve runs it: its setup, the supervisor of its Fleet and its swaps."""

    setup: CardSetup
    supervisor: Supervisor
    swaps: Swaps

    @property
    def gpu(self) -> int:
        return self.setup.gpu


def carry(supervisor: Supervisor, old: garnel.Fleet, new: garnel.Fleet, slot: Slot) -> None:
    """Tells `new` how a model that stays on the card stands in `old`: its load started,
    where it is served, the bytes it holds, and a loss or a failed load again."""
    name = slot.name
    kind = old.route(name).kind
    if kind in (RouteKind.UNKNOWN, RouteKind.NOT_ADMITTED, RouteKind.NOT_DECLARED):
        return  # not started yet: the loader tells the new fleet when it is
    record = supervisor.record
    record(new.load_started, name)
    if slot.endpoint is not None:
        record(new.set_endpoint, name, slot.endpoint)
    if kind in (RouteKind.READY, RouteKind.LOST):  # a loss is of a model that was resident
        record(new.probe_ok, name, slot.held_bytes)
    if kind in (RouteKind.LOST, RouteKind.FAILED) and slot.setback is not None:
        record(slot.setback, new)
