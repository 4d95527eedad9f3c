"""The supervisor: starts each admitted model's server, probes it, and tells the Fleet.

One load at a time, in the order `next_to_load` names; a model waiting out its
backoff does not hold up the others, which are taken by the same rule. Every
change is an observation of the fleet, so its journal replays the day.

The fleet's journal failing is fatal for the host: the change took effect in
the fleet but is not on record, and a host that goes on would serve a card
its journal no longer describes. The supervisor then calls `on_fatal` and
observes nothing more.
"""

from __future__ import annotations

import asyncio
import contextlib
import hashlib
import logging
import re
import socket
import time
from collections.abc import Awaitable
from dataclasses import dataclass, field
from enum import Enum
from functools import partial
from typing import Callable, NoReturn

import aiohttp

import garnel

from . import _process
from ._events import Events
from ._nvml import Card
from ._setup import CardSetup, Server

log = logging.getLogger("garnel.serve")

GIB = 2**30
FIRST_BACKOFF_S = 1.0
MAX_BACKOFF_S = 60.0
HEALTHY_RESETS_BACKOFF_S = 600.0
FAILED_PROBES_LOSE = 3
END_GRACE_S = 10.0
# A loading server's health is asked soon after its start, then less and less often:
# a server quick to start (a swap waits for it) is seen ready within a few ms.
FIRST_LOAD_POLL_S = 0.005
LOAD_POLL_S = 0.2


class State(str, Enum):
    """Where serve has a model: the fleet's states, as serve drove them."""

    IDLE = "idle"  # never started
    LOADING = "loading"
    RESIDENT = "resident"
    LOST = "lost"
    FAILED = "failed"
    STOPPED = "stopped"


@dataclass
class Slot:
    """Serve's side of one declared model."""

    server: Server
    admitted: bool
    state: State = State.IDLE
    process: _process.ServerProcess | None = None
    endpoint: str | None = None
    backoff_s: float = FIRST_BACKOFF_S
    retry_at: float = 0.0
    resident_since: float = 0.0
    held_bytes: int = 0  # what its last probe found on the card
    # The call that told the fleet of its loss or failed load, made again on a swap's new fleet.
    setback: Callable[[garnel.Fleet], None] | None = None
    warned_bytes: bool = False
    tasks: list[asyncio.Task[None]] = field(default_factory=list)

    @property
    def name(self) -> str:
        return self.server.name


class JournalFailed(Exception):
    """The fleet's journal refused a change; the host must stop."""


def free_loopback_port() -> int:
    with socket.socket(socket.AF_INET, socket.SOCK_STREAM) as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def gib(byte_count: int) -> str:
    return f"{byte_count / GIB:.1f} GiB"


class Supervisor:
    """Drives one card's Fleet through the servers it starts, each seeing that card alone."""

    fleet: garnel.Fleet  # of the moment: a swap gives the supervisor a new one

    def __init__(
        self,
        setup: CardSetup,
        fleet: garnel.Fleet,
        card: Card,
        session: aiohttp.ClientSession,
        on_fatal: Callable[[BaseException], None],
        events: Events | None = None,
    ) -> None:
        self.setup = setup
        self.events = Events() if events is None else events
        self.fleet = fleet
        self.card = card
        self.session = session
        self.on_fatal = on_fatal
        self.slots = {s.name: Slot(s, setup.admitted(s.name)) for s in setup.servers}
        self.stopping = False
        self._changed = asyncio.Event()
        self._ending: set[asyncio.Task[None]] = set()
        self._loader: asyncio.Task[None] | None = None
        self._failed = False

    # What the proxy asks.

    def changed(self) -> asyncio.Event:
        """An event set at the next change of any model's state."""
        return self._changed

    def will_start(self, name: str) -> bool:
        """Whether serve is yet to start this admitted model, or is starting its server: until
        the server's process exists the fleet has not heard of the load, and routes it as
        unknown, but a request for it is to wait as for one loading."""
        slot = self.slots.get(name)
        return (
            slot is not None
            and slot.admitted
            and slot.state in (State.IDLE, State.LOADING)
            and not self.stopping
        )

    def retry_in(self, name: str) -> float:
        """Seconds until a lost or failed model is started again."""
        slot = self.slots.get(name)
        if slot is None or slot.state not in (State.LOST, State.FAILED):
            return 0.0
        return max(0.0, slot.retry_at - time.monotonic())

    # Running.

    def start(self) -> None:
        self._loader = asyncio.ensure_future(self._load_forever())

    async def _load_forever(self) -> None:
        try:
            while not self.stopping:
                # A server ended for failing its probes is gone before anything else loads.
                while self._ending:
                    await asyncio.wait(set(self._ending))
                name = self._next_to_load()
                if name is None:
                    await self._wait_change(self._next_retry_in())
                    continue
                await self._load(self.slots[name])
        except JournalFailed:
            pass

    def _next_to_load(self) -> str | None:
        first = self.fleet.next_to_load()
        if first is None:
            return None
        now = time.monotonic()
        chosen = self.slots[first]
        # A model a swap is taking off the card is not admitted, though its fleet still holds it.
        if chosen.retry_at <= now and chosen.admitted:
            return first
        # next_to_load's own rule, among the models not waiting out a backoff.
        free = self.fleet.free_bytes()
        for slot in self.slots.values():
            if (
                slot.admitted
                and slot.state in (State.IDLE, State.LOST, State.FAILED)
                and slot.retry_at <= now
                and slot.server.planned_bytes <= free
            ):
                return slot.name
        return None

    def _next_retry_in(self) -> float | None:
        """Seconds until the next backoff ends; None when none is running.

        A model whose backoff is over but that does not fit the free bytes
        waits for a change (a loss frees bytes), not for a time that is past.
        """
        now = time.monotonic()
        waits = [
            slot.retry_at - now
            for slot in self.slots.values()
            if slot.admitted and slot.state in (State.LOST, State.FAILED) and slot.retry_at > now
        ]
        return min(waits) if waits else None

    async def _wait_change(self, timeout: float | None) -> None:
        with contextlib.suppress(asyncio.TimeoutError):
            await asyncio.wait_for(self._changed.wait(), timeout)

    def notify(self) -> None:
        """Wakes whoever waits for a change: the loader, and requests waiting for a model."""
        self._changed.set()
        self._changed = asyncio.Event()

    @property
    def failed(self) -> bool:
        """Whether the journal has failed: the host is stopping, and nothing more is observed."""
        return self._failed

    def record(self, change: Callable[..., None], *args: object, **kwargs: object) -> None:
        """One change to the fleet; a journal that refuses it stops the host."""
        if self._failed:
            raise JournalFailed
        try:
            change(*args, **kwargs)
        except (garnel.JournalError, OSError) as error:
            self.fatal(error)

    def fatal(self, error: BaseException) -> NoReturn:
        """The journal failed: the host stops, and the supervisor observes nothing more."""
        self._failed = True
        self.on_fatal(error)
        raise JournalFailed from error

    def _set_back(self, slot: Slot, setback: Callable[[garnel.Fleet], None]) -> None:
        """A loss or a failed load, told to the fleet and kept for a swap to tell the next."""
        slot.setback = setback
        self.record(setback, self.fleet)

    async def _load(self, slot: Slot) -> None:
        server = self.setup.config.serve
        port = free_loopback_port()
        endpoint = f"http://127.0.0.1:{port}"
        name = slot.name
        slot.state, slot.process, slot.warned_bytes = State.LOADING, None, False
        program, why = slot.server.program(self.setup.config.folder)
        started = time.monotonic()
        try:
            if program is None:
                raise FileNotFoundError(why)
            slot.process = await _process.start(
                name,
                program,
                slot.server.command(port),
                slot.server.environment(port, self.setup.gpu),
                server.logs / log_name(name),
                self.setup.config.folder,
            )
        except OSError as error:
            reason = why or error.strerror or str(error)
            self.record(self.fleet.load_started, name)
            self.events.load_started(name)
            self._fail(slot, f"cannot start its server: {reason}")
            return
        process = slot.process
        log.info("%s: started, pid %d, port %d", name, process.pid, port)
        # The endpoint goes in with the start: once resident, the model routes there.
        self.record(self.fleet.load_started, name)
        self.events.load_started(name)
        self.record(self.fleet.set_endpoint, name, endpoint)
        slot.endpoint = endpoint
        self.notify()
        deadline = started + server.load_timeout_s
        health = endpoint + slot.server.config.health
        poll = FIRST_LOAD_POLL_S
        while True:
            left = deadline - time.monotonic()
            if not process.running:
                code = await process.wait()
                process.kill_now()
                self._fail(slot, f"{_process.exit_text(code)} while loading; {process.tail()}")
                return
            if left <= 0:
                await process.end(END_GRACE_S)
                self._fail(
                    slot, f"not healthy within {server.load_timeout_s:g} s; {process.tail()}"
                )
                return
            if await self._healthy(health, min(left, 5.0)):
                break
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(asyncio.shield(process.wait()), min(poll, left))
            poll = min(poll * 1.2, LOAD_POLL_S)
        held = self._held_bytes(slot)
        self.record(self.fleet.probe_ok, name, held)
        slot.held_bytes = held
        slot.state, slot.resident_since = State.RESIDENT, time.monotonic()
        self.events.probed(name, held)
        self.events.loaded(name, slot.resident_since - started)
        log.info("%s: ready on %s after %.1f s", name, endpoint, slot.resident_since - started)
        slot.tasks = [
            asyncio.ensure_future(self._watch_exit(slot, process)),
            asyncio.ensure_future(self._probe(slot, process, health)),
        ]
        self.notify()

    def _fail(self, slot: Slot, detail: str) -> None:
        log.warning("%s: failed to load: %s", slot.name, detail)
        self._set_back(slot, partial(garnel.Fleet.load_failed, model=slot.name, detail=detail))
        self.events.load_failed(slot.name)
        self._lose(slot, State.FAILED)

    def _lose(self, slot: Slot, state: State) -> None:
        slot.state = state
        slot.retry_at = time.monotonic() + slot.backoff_s
        log.info("%s: starting again in %g s", slot.name, slot.backoff_s)
        slot.backoff_s = min(slot.backoff_s * 2, MAX_BACKOFF_S)
        self.notify()

    def _held_bytes(self, slot: Slot) -> int:
        planned = slot.server.planned_bytes
        assert slot.process is not None
        measured = self.card.group_bytes(slot.process.pid)
        if measured is None:
            return planned
        if measured > planned and not slot.warned_bytes:
            slot.warned_bytes = True
            log.warning(
                "%s: holds %d bytes (%s) on the card, %d (%s) were planned for it: "
                "raise its overhead by %d bytes at least",
                *(slot.name, measured, gib(measured), planned, gib(planned), measured - planned),
            )
        return measured

    async def _healthy(self, url: str, timeout_s: float) -> bool:
        try:
            async with self.session.get(
                url, timeout=aiohttp.ClientTimeout(total=timeout_s), allow_redirects=False
            ) as answer:
                await answer.read()
                return 200 <= answer.status < 300
        except (aiohttp.ClientError, asyncio.TimeoutError, OSError):
            return False

    async def _watch_exit(self, slot: Slot, process: _process.ServerProcess) -> None:
        code = await process.wait()
        if slot.process is not process or slot.state is not State.RESIDENT or self.stopping:
            return  # serve ended it
        log.warning("%s: its server %s; %s", slot.name, _process.exit_text(code), process.tail())
        exited = partial(garnel.Fleet.process_exited, model=slot.name, code=code)
        with contextlib.suppress(JournalFailed):
            self._set_back(slot, exited)
            self.events.exited(slot.name)
            process.kill_now()
            self._cancel_tasks(slot, but=asyncio.current_task())
            self._lose(slot, State.LOST)

    async def _probe(self, slot: Slot, process: _process.ServerProcess, health: str) -> None:
        interval = self.setup.config.serve.probe_interval_s
        failures = 0
        while process.running:
            await asyncio.sleep(interval)
            healthy = await self._healthy(health, min(interval, 10.0))
            if not process.running or slot.state is not State.RESIDENT:
                return
            if healthy:
                failures = 0
                held = self._held_bytes(slot)
                with contextlib.suppress(JournalFailed):
                    self.record(self.fleet.probe_ok, slot.name, held)
                    self.events.probed(slot.name, held)
                slot.held_bytes = held
                if time.monotonic() - slot.resident_since >= HEALTHY_RESETS_BACKOFF_S:
                    slot.backoff_s = FIRST_BACKOFF_S
                continue
            failures += 1
            if failures < FAILED_PROBES_LOSE:
                continue
            present = self.card.present()
            log.warning("%s: %d probes failed in a row; ending its server", slot.name, failures)
            failed = partial(
                garnel.Fleet.probe_failed,
                model=slot.name,
                gpu_present=present,
                detail=f"{failures} probes failed",
            )
            with contextlib.suppress(JournalFailed):
                self._set_back(slot, failed)
                self.events.unhealthy(slot.name)
            # The fleet now counts its bytes as free: its server goes before the next load.
            ending = asyncio.ensure_future(process.end(END_GRACE_S))
            self._ending.add(ending)
            ending.add_done_callback(self._ending.discard)
            self._cancel_tasks(slot, but=asyncio.current_task())
            self._lose(slot, State.LOST)
            return

    def _cancel_tasks(self, slot: Slot, but: asyncio.Task[object] | None) -> None:
        for task in slot.tasks:
            if task is not but:
                task.cancel()
        slot.tasks = []

    async def unload(self, slot: Slot) -> None:
        """Takes a model off the card for a swap: `stop` to the fleet, then its server ended.

        Its probes and exit watch go first, so the end of its server is no loss.
        """
        self._cancel_tasks(slot, but=None)
        self.record(self.fleet.stop, slot.name)
        slot.state, slot.admitted = State.STOPPED, False
        if slot.process is not None:
            await slot.process.end(END_GRACE_S)
            slot.process = None  # kept until it is gone, for a stop that comes meanwhile
        slot.state, slot.endpoint, slot.setback, slot.held_bytes = State.IDLE, None, None, 0
        slot.backoff_s, slot.retry_at = FIRST_BACKOFF_S, 0.0
        self.notify()

    # Stopping.

    async def stop(self) -> None:
        """Stops every model and ends every server: SIGTERM, then SIGKILL after 10 s."""
        self.stopping = True
        if self._loader is not None:
            self._loader.cancel()
            with contextlib.suppress(asyncio.CancelledError):
                await self._loader
        for slot in self.slots.values():
            self._cancel_tasks(slot, but=None)
        if not self._failed:
            with contextlib.suppress(JournalFailed):
                for slot in self.slots.values():
                    if slot.admitted and slot.state is not State.STOPPED:
                        self.record(self.fleet.stop, slot.name)
                        slot.state = State.STOPPED
        ends: list[Awaitable[None]] = [
            slot.process.end(END_GRACE_S) for slot in self.slots.values() if slot.process
        ]
        await asyncio.gather(*ends, *self._ending)
        self.notify()

    def kill_all(self) -> None:
        """SIGKILL to every server's group at once, for a host that is going down."""
        for slot in self.slots.values():
            if slot.process is not None and slot.process.running:
                slot.process.kill_now()


def log_name(model: str) -> str:
    """The model's log file, one per name: the name itself where it is a plain
    lower-case file name, else its plain characters and a digest of the whole
    name, so that neither a replaced character ("a/b", "a_b") nor a file
    system that ignores case ("Chat", "chat") gives two models one log."""
    if PLAIN_LOG_NAME.fullmatch(model):
        return model + ".log"
    safe = "".join(c if c.isascii() and (c.isalnum() or c in "-_.") else "_" for c in model)
    digest = hashlib.sha256(model.encode("utf-8", "surrogatepass")).hexdigest()[:12]
    return f"{safe.lstrip('.')[:64] or 'model'}-{digest}.log"


PLAIN_LOG_NAME = re.compile(r"[a-z0-9_-][a-z0-9._-]{0,99}")
