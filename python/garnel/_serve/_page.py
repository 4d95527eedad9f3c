"""The pages for people and their tools: the status page (`GET /`), the tail of a model's
log (`GET /logs/<model>`) and the metrics (`GET /metrics`).

The status page is written here as HTML from string templates, every text
from outside (names, states, endpoints) escaped; a small stylesheet and no
script. It refreshes itself, reads on a phone (a fluid layout, the table
scrolls on its own) and in a terminal browser (the card's bar is a list of
figures, the models a real table). `GET /` asked for `text/plain` answers
the card's report alone, for scripts and `garnel status`.

A host of several cards shows each in a section of its own, in GPU index
order: its bar, its models' table and its swaps; as text, each card's
report under its GPU, or one card's alone with `?gpu=N`.
"""

from __future__ import annotations

import html
import math
import time
from typing import TYPE_CHECKING, Callable
from urllib.parse import quote

from aiohttp import web

from garnel import Route, RouteKind

from ._metrics import CONTENT_TYPE, Metrics
from ._supervisor import log_name

if TYPE_CHECKING:
    from collections.abc import Sequence

    from ._setup import Setup
    from ._swap import ServedCard, Swap, Swaps

GIB = 2**30
LOG_LINES = 200
# A log's tail is read from at most this many bytes at its end.
LOG_TAIL_BYTES = 1 << 20
REFRESH_S = 5
SWAPS_SHOWN = 10

# Each resident model's colour in the card's bar, by its place in the roster.
COLOURS = ("#4e79a7", "#f28e2b", "#59a14f", "#b07aa1", "#76b7b2", "#edc948", "#ff9da7", "#9c755f")
# A row's class, by its route: how its state shows.
ROW_CLASS = {
    RouteKind.READY: "ready",
    RouteKind.WARMING: "loading",
    RouteKind.LOST: "lost",
    RouteKind.FAILED: "failed",
    RouteKind.NOT_ADMITTED: "rejected",
    RouteKind.NOT_DECLARED: "rejected",
    RouteKind.UNKNOWN: "idle",
}

STYLE = """
body{font-family:system-ui,sans-serif;margin:0 auto;padding:0 1rem 2rem;max-width:72rem;
color:#222;background:#fff;line-height:1.4}
h1{font-size:1.3rem;margin:1rem 0 .2rem}h2{font-size:1.05rem;margin:1.4rem 0 .4rem}
.summary{font-family:ui-monospace,monospace;margin:.2rem 0}
.bar{display:flex;list-style:none;padding:0;margin:.4rem 0;height:2.6rem;border:1px solid #888;
border-radius:4px;overflow:hidden}
.bar li{overflow:hidden;white-space:nowrap;text-overflow:ellipsis;font-size:.8rem;padding:.2rem .3rem;
color:#fff;min-width:0;box-sizing:border-box;border-right:1px solid #fff}
.bar .free{background:#e8e8e8;color:#333}.bar .reserve{background:#9a9a9a}
.scroll{overflow-x:auto}
table{border-collapse:collapse;width:100%;font-size:.9rem}
th,td{text-align:left;padding:.35rem .5rem;border-bottom:1px solid #ddd;vertical-align:top}
tbody th{white-space:nowrap}
td.n,th.n{text-align:right;font-variant-numeric:tabular-nums}
tr.ready td.state{color:#1a7f37}tr.loading td.state{color:#9a6700}
tr.lost td.state,tr.failed td.state{color:#cf222e;font-weight:600}
tr.rejected td,tr.idle td.state{color:#666}
.over{color:#cf222e}.muted{color:#666;font-size:.85rem}
code{font-size:.85rem;word-break:break-all}
"""


def gib(byte_count: int) -> str:
    return f"{byte_count / GIB:.1f} GiB"


def duration(seconds: float) -> str:
    """A time for people: 45s, 3m 12s, 2h 5m."""
    whole = int(seconds)
    if whole < 60:
        return f"{whole}s"
    if whole < 3600:
        return f"{whole // 60}m {whole % 60}s"
    return f"{whole // 3600}h {whole % 3600 // 60}m"


def tail(data: bytes, count: int, cut: bool) -> bytes:
    """The last `count` lines of `data`; `cut`: its first line may be only the end of one."""
    lines = data.split(b"\n")
    if cut:
        lines = lines[1:]
    if lines and not lines[-1]:  # the last line's own line feed
        lines.pop()
    return b"".join(line + b"\n" for line in lines[-count:])


class Pages:
    """The handlers, asking each card's fleet of the moment and the metrics."""

    def __init__(
        self,
        setup: Setup,
        cards: Sequence[ServedCard],
        metrics: Metrics,
        refused_key: Callable[[web.Request], web.Response | None],
    ) -> None:
        self.setup = setup
        self.cards = cards
        self.metrics = metrics
        self.refused_key = refused_key

    def routes(self) -> list[web.RouteDef]:
        return [
            web.get("/", self.status),
            web.get("/logs/{model:.+}", self.log_tail),
            web.get("/metrics", self.exposition),
        ]

    async def exposition(self, request: web.Request) -> web.Response:
        refused = self.refused_key(request)
        if refused is not None:
            return refused
        return web.Response(body=self.metrics.exposition(), headers={"Content-Type": CONTENT_TYPE})

    async def log_tail(self, request: web.Request) -> web.Response:
        refused = self.refused_key(request)
        if refused is not None:
            return refused
        name = request.match_info["model"]
        if name not in self.setup.card_of:
            return text_answer(404, f"{name}: no such model on this host\n")
        path = self.setup.config.serve.logs / log_name(name)
        try:
            # A bounded read of a local file: less than a request's own relaying costs.
            with open(path, "rb") as log:  # noqa: ASYNC230
                size = log.seek(0, 2)
                start = max(0, size - LOG_TAIL_BYTES)
                log.seek(start)
                data = log.read(size - start)
        except FileNotFoundError:
            return text_answer(404, f"{name}: no log yet: its server has not been started\n")
        except OSError as error:
            return text_answer(500, f"{name}: its log {path} cannot be read: {error.strerror}\n")
        return text_answer(200, tail(data, LOG_LINES, start > 0).decode("utf-8", "replace"))

    async def status(self, request: web.Request) -> web.Response:
        refused = self.refused_key(request)
        if refused is not None:
            return refused
        accept = request.headers.get("Accept", "")
        if "text/plain" in accept and "text/html" not in accept:
            return self.reports(request.query.get("gpu"))
        page = self.render()
        return web.Response(text=page, content_type="text/html", headers=NOT_SNIFFED)

    def reports(self, gpu: str | None) -> web.Response:
        """The card's report; of several, each under its GPU, or GPU `gpu`'s alone."""
        if gpu is not None:
            for card in self.cards:
                if str(card.gpu) == gpu:
                    return text_answer(200, card.supervisor.fleet.report())
            return text_answer(404, f"GPU {gpu}: no such card on this host\n")
        if len(self.cards) == 1:
            return text_answer(200, self.cards[0].supervisor.fleet.report())
        sections = [f"GPU {card.gpu}\n{card.supervisor.fleet.report()}" for card in self.cards]
        return text_answer(200, "\n".join(sections))

    def render(self) -> str:
        """The status page as it stands now."""
        metrics = self.metrics
        starts, exits = metrics.counts(metrics.starts), metrics.counts(metrics.exits)
        now = time.monotonic()
        at = time.strftime("%Y-%m-%d %H:%M:%S")
        if len(self.cards) == 1:
            card = self.cards[0]
            fleet = card.supervisor.fleet
            header = fleet.report().split("\n", 1)[0]
            return PAGE.format(
                refresh=REFRESH_S,
                style=STYLE,
                header=e(header),
                at=at,
                card=self._card(card, now, starts, exits, ONE_CARD),
            )
        sections = []
        for card in self.cards:
            header = card.supervisor.fleet.report().split("\n", 1)[0]
            sections.append(
                self._card(
                    card, now, starts, exits, CARD_OF_SEVERAL, gpu=card.gpu, header=e(header)
                )
            )
        return PAGE.format(
            refresh=REFRESH_S,
            style=STYLE,
            header=f"{len(self.cards)} cards",
            at=at,
            card="".join(sections),
        )

    def _card(
        self,
        card: ServedCard,
        now: float,
        starts: dict[str, int],
        exits: dict[str, int],
        template: str,
        **more: object,
    ) -> str:
        """One card's section: its bar of bytes, its models' table and its swaps."""
        metrics, supervisor, swaps = self.metrics, card.supervisor, card.swaps
        fleet, setup = supervisor.fleet, card.setup
        statuses = dict(fleet.statuses())
        routes = {name: swaps.route(name) for name in supervisor.slots}
        total, usable = setup.total_bytes, setup.plan.usable_bytes

        segments = []  # (text, bytes, class, colour)
        for index, name in enumerate(supervisor.slots):
            held = metrics.probed_bytes.get(name)
            if routes[name].kind is RouteKind.READY and held is not None:
                colour = COLOURS[index % len(COLOURS)]
                segments.append((name, held, "model", f"background:{colour}"))
        segments.append(("free", fleet.free_bytes(), "free", ""))
        segments.append(("reserve", total - usable, "reserve", ""))
        whole = sum(size for _, size, _, _ in segments) or 1
        bar = "".join(
            f'<li class="{kind}" style="width:{100 * size / whole:.2f}%;{colour}" '
            f'title="{e(text)}: {gib(size)}">{e(text)}: {gib(size)}</li>'
            for text, size, kind, colour in segments
        )

        rows = []
        for name, slot in supervisor.slots.items():
            route = routes[name]
            changed = metrics.changed_at.get(name)
            since = "—" if changed is None else duration(now - changed)
            if route.kind in (RouteKind.LOST, RouteKind.FAILED):
                since += f", again in {duration(math.ceil(supervisor.retry_in(name)))}"
            endpoint = route.endpoint or (
                slot.endpoint if route.kind is RouteKind.WARMING else None
            )
            planned = slot.server.planned_bytes
            held = metrics.probed_bytes.get(name)
            probed = "—" if held is None else gib(held)
            if held is not None and held > planned:
                probed = f'<span class="over">{probed}</span>'
            started = starts.get(name, 0)
            log = f'<a href="/logs/{e(quote(name, safe=""))}">log</a>' if started else "—"
            state = statuses.get(name, "")
            if name in swaps.on_demand:
                state = on_demand_state(state, route, swaps.on_card_now(name))
            rows.append(
                f'<tr class="{ROW_CLASS[route.kind]}"><th scope="row">{e(name)}</th>'
                f'<td class="state">{e(state)}</td><td>{since}</td>'
                f"<td>{'—' if endpoint is None else f'<code>{e(endpoint)}</code>'}</td>"
                f'<td class="n">{gib(planned)}</td><td class="n">{probed}</td>'
                f'<td class="n">{started}</td><td class="n">{exits.get(name, 0)}</td>'
                f"<td>{log}</td></tr>"
            )
        return template.format(
            total=gib(total),
            bar=bar,
            committed=gib(fleet.committed_bytes()),
            free=gib(fleet.free_bytes()),
            reserve=gib(total - usable),
            usable=gib(usable),
            table=TABLE.format(rows="\n".join(rows)),
            # Under a card of several, its swaps are a part of its section.
            swaps=self._swaps(swaps, now, "h2" if template is ONE_CARD else "h3")
            if swaps.on_demand
            else "",
            **more,
        )

    def _swaps(self, swaps: Swaps, now: float, heading: str) -> str:
        """The swaps section: how many, and the latest, newest first."""
        latest = list(swaps.history)[-SWAPS_SHOWN:][::-1]
        items = "".join(f"<li>{swap_line(swap, now)}</li>" for swap in latest)
        count = f"{swaps.count} swap{'' if swaps.count == 1 else 's'}"
        return (
            f'<{heading}>Swaps</{heading}>\n<p class="muted">{count} since serve started, '
            f"each a new life of the card's journal</p>\n<ul>{items}</ul>\n"
        )


def on_demand_state(state: str, route: Route, on_card: bool) -> str:
    """An on-demand model's state: the report's words on the card, and what it is off it."""
    if on_card:
        return f"{state}, on demand"
    if route.kind is RouteKind.NOT_ADMITTED:
        short = gib(route.short_bytes or 0)
        return f"on demand, too large beside the pinned models — short by {short}"
    return "on demand, off the card"


def swap_line(swap: Swap, now: float) -> str:
    """One swap for people: when, what came on and went off, and how long it took."""
    moved = [f"{e(swap.wanted)} in"] if swap.wanted is not None else []
    moved += [f"{e(name)} out" for name in swap.unloaded]
    if swap.wanted is None:
        outcome = "idle"
    elif swap.seconds is not None:
        outcome = f"ready after {swap.seconds:.2f} s"
    elif swap.done.is_set():
        outcome = "not ready"
    else:
        outcome = f"loading for {duration(now - swap.started_at)}"
    began = time.strftime("%H:%M:%S", time.localtime(swap.began))
    return f"{began} — {', '.join(moved)}: {outcome}"


def e(text: str) -> str:
    """Text from outside, safe in HTML's text and in a quoted attribute."""
    return html.escape(text, quote=True)


NOT_SNIFFED = {"X-Content-Type-Options": "nosniff"}


def text_answer(status: int, text: str) -> web.Response:
    return web.Response(status=status, text=text, charset="utf-8", headers=NOT_SNIFFED)


PAGE = """<!DOCTYPE html>
<html lang="en">
<head>
<meta charset="utf-8">
<meta name="viewport" content="width=device-width, initial-scale=1">
<meta http-equiv="refresh" content="{refresh}">
<title>garnel serve: {header}</title>
<style>{style}</style>
</head>
<body>
<h1>garnel serve</h1>
<p class="summary">{header}</p>
<p class="muted">as of {at}; this page refreshes every {refresh} s</p>
{card}<p class="muted"><a href="/metrics">metrics</a> · <a href="/v1/models">/v1/models</a></p>
</body>
</html>
"""

# The one card of a host, as the page has always shown it.
ONE_CARD = """<h2>The card: {total}</h2>
<ul class="bar" aria-label="the card's bytes">{bar}</ul>
<p class="muted">committed {committed} of {usable} usable, {free} free, {reserve} reserve</p>
<h2>Models</h2>
{table}
{swaps}"""

# One card of several: its GPU heads its bar, its report's first line, its table and swaps.
CARD_OF_SEVERAL = """<section aria-label="GPU {gpu}">
<h2>GPU {gpu}: {total}</h2>
<p class="summary">{header}</p>
<ul class="bar" aria-label="GPU {gpu}'s bytes">{bar}</ul>
<p class="muted">committed {committed} of {usable} usable, {free} free, {reserve} reserve</p>
{table}
{swaps}</section>
"""

TABLE = """<div class="scroll">
<table>
<thead><tr><th scope="col">model</th><th scope="col">state</th><th scope="col">for</th>
<th scope="col">endpoint</th><th scope="col" class="n">planned</th>
<th scope="col" class="n">probed</th><th scope="col" class="n">starts</th>
<th scope="col" class="n">exits</th><th scope="col">log</th></tr></thead>
<tbody>
{rows}
</tbody>
</table>
</div>"""
