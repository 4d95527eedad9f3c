"""The host: each card's Fleet and supervisor, and the proxy before them all, from start
to a clean stop.

Start: each card's Fleet with its journal, the listening socket (a port in
use is a configuration's fault and nothing has started yet), then the
servers, each card's loaded by its own supervisor, side by side. Stop, on
SIGTERM or SIGINT: no new requests, those in flight finish for up to 10 s,
each model gets `stop`, each server's group SIGTERM and SIGKILL after 10 s,
the journals are closed, exit 0. A journal that fails while the host runs
stops it the same way, with exit 1; at start it is a configuration error.
"""

from __future__ import annotations

import asyncio
import logging
import os
import signal
import sys

import aiohttp
from aiohttp import web

import garnel

from ._config import ConfigError
from ._metrics import Metrics
from ._nvml import Card
from ._page import Pages
from ._proxy import Proxy
from ._setup import Setup
from ._supervisor import Supervisor
from ._swap import ServedCard, Swaps

log = logging.getLogger("garnel.serve")

DRAIN_S = 10.0


def serve(setup: Setup) -> int:
    """Runs the host in the foreground until SIGTERM or SIGINT; returns the exit status."""
    handler = logging.StreamHandler(sys.stderr)
    handler.setFormatter(logging.Formatter("%(asctime)s garnel serve: %(message)s"))
    log.addHandler(handler)
    log.setLevel(logging.INFO)
    log.propagate = False
    try:
        return asyncio.run(_run(setup))
    finally:
        log.removeHandler(handler)


def _watch_children_without_threads(loop: asyncio.AbstractEventLoop) -> None:
    """Server exits through a pidfd on the event loop, not a thread per server.

    Python 3.12 and later do so by themselves; before, asyncio's default
    watcher blocks a thread of its own in waitpid for every child.
    """
    if sys.version_info >= (3, 12) or not hasattr(os, "pidfd_open"):
        return
    try:
        os.close(os.pidfd_open(os.getpid()))  # the kernel has pidfds (Linux 5.3)
    except OSError:
        return
    watcher = asyncio.PidfdChildWatcher()
    watcher.attach_loop(loop)
    asyncio.set_child_watcher(watcher)


async def _run(setup: Setup) -> int:
    config = setup.config
    settings = config.serve
    stop = asyncio.Event()
    fatal: list[BaseException] = []

    def on_fatal(error: BaseException) -> None:
        log.error("the card's journal failed, so serve stops: %s", error)
        fatal.append(error)
        stop.set()

    loop = asyncio.get_running_loop()
    _watch_children_without_threads(loop)
    for signum in (signal.SIGTERM, signal.SIGINT):
        loop.add_signal_handler(signum, stop.set)
    session = aiohttp.ClientSession(
        connector=aiohttp.TCPConnector(limit=0),
        cookie_jar=aiohttp.DummyCookieJar(),  # a proxy keeps no cookies
        auto_decompress=False,
        # Nothing beyond what the client sent: no User-Agent, Accept or Content-Type of ours.
        skip_auto_headers=("User-Agent", "Accept", "Accept-Encoding", "Content-Type"),
    )
    gpus = [Card(card.gpu) for card in setup.cards]
    fleets: list[garnel.Fleet] = []
    cards: list[ServedCard] = []
    runner: web.AppRunner | None = None
    try:
        for card in setup.cards:
            try:
                fleets.append(
                    garnel.Fleet(
                        card.total_bytes, card.reserve_pct, card.roster, journal=card.journal
                    )
                )
            except (garnel.JournalError, OSError) as error:
                raise ConfigError(f"{config.source}: [serve] journal: {error}") from None
        metrics = Metrics(setup)
        for card, fleet, gpu in zip(setup.cards, fleets, gpus):
            supervisor = Supervisor(card, fleet, gpu, session, on_fatal, metrics)
            cards.append(ServedCard(card, supervisor, Swaps(card, supervisor)))
        metrics.watch(cards)
        proxy = Proxy(
            setup,
            cards,
            session,
            settings.api_key,
            settings.warming_wait_s,
            settings.request_timeout_s,
            metrics,
        )
        pages = Pages(setup, cards, metrics, proxy.refused_key)
        # Bodies reach the servers as the clients sent them, compressed or not;
        # the proxy decodes a copy only to read the model's name.
        runner = web.AppRunner(
            proxy.app(pages.routes()),
            access_log=None,
            shutdown_timeout=DRAIN_S,
            auto_decompress=False,
        )
        await runner.setup()
        site = web.TCPSite(runner, settings.host, settings.port)
        try:
            await site.start()
        except OSError as error:
            where = f"{settings.host}:{settings.port}"
            raise ConfigError(
                f"{config.source}: [serve] listen: cannot listen on {where}: {error.strerror}"
            ) from None
        log.info("listening on http://%s:%d", settings.host, settings.port)
        for served in cards:
            served.supervisor.start()
            served.swaps.start()
        await stop.wait()
        log.info("stopping: no new requests; %d in flight may finish", proxy.in_flight)
        proxy.closing = True
        await asyncio.gather(*(served.swaps.close() for served in cards))
        for served in cards:
            served.supervisor.notify()  # requests waiting for a model are answered now
        await runner.cleanup()
        runner = None
        await asyncio.gather(*(served.supervisor.stop() for served in cards))
        log.info("stopped; every server has ended")
        return 1 if fatal else 0
    finally:
        if runner is not None:
            await runner.cleanup()
        for served in cards:
            await served.swaps.close()
        for served in cards:
            served.supervisor.kill_all()
        # A swap's life, or the first; a card whose supervisor never ran keeps its first.
        fleets[: len(cards)] = [served.supervisor.fleet for served in cards]
        for fleet in fleets:
            try:
                fleet.close()
            except (garnel.JournalError, OSError) as error:
                log.error("the card's journal could not be closed: %s", error)
        await session.close()
        for gpu in gpus:
            gpu.close()
