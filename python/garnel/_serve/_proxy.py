"""The proxy: every POST under /v1/ routed by the Fleet and relayed as it arrives.

Requests go where `route(model)` says, asked of the fleet of the card that
holds the model (each model is on one card). A forwarded request keeps its path,
query, headers (less the hop-by-hop ones) and body; its answer comes back as
the server sends it, a stream chunk by chunk. Every answer serve makes itself
has the API's error shape, and a routed one says its route in `X-Garnel-`
headers so a proxy in front can try another host.
"""

from __future__ import annotations

import asyncio
import contextlib
import hmac
import json
import math
import time
import zlib
from collections.abc import Iterable, Mapping, Sequence
from typing import TYPE_CHECKING

import aiohttp
from aiohttp import web
from yarl import URL

from garnel import Route, RouteKind

from ._events import Events
from ._supervisor import gib

if TYPE_CHECKING:
    from ._setup import Setup
    from ._supervisor import Supervisor
    from ._swap import ServedCard

MAX_BODY = 64 * 2**20
# An answer of a known length up to this is relayed whole, in one write; a longer one,
# or one without a length (every stream), chunk by chunk as it arrives.
WHOLE_BELOW = 64 * 2**10
# Headers that belong to one connection, never passed on; the client's Host,
# Content-Length and Expect are the forwarding connection's own to write.
HOP_BY_HOP = frozenset(
    (
        *("connection", "keep-alive", "proxy-authenticate", "proxy-authorization"),
        *("proxy-connection", "te", "trailer", "trailers", "transfer-encoding", "upgrade"),
    )
)
NOT_FORWARDED = HOP_BY_HOP | {"host", "content-length", "expect"}
# A whole answer's length is the body's own, written by the server's response.
NOT_COPIED_WHOLE = HOP_BY_HOP | {"content-length"}
ERROR_TYPES = {
    400: "invalid_request_error",
    401: "authentication_error",
    404: "invalid_request_error",
    405: "invalid_request_error",
    413: "invalid_request_error",
}
LOST_REASONS = {
    "process_exited": "its server exited",
    "evicted": "it stopped answering its health probes",
    "unhealthy": "it stopped answering its health probes",
    "gpu_detached": "the card is gone",
}
# Retry-After, in seconds, where no backoff says better.
RETRY_LOADING_S = 5
RETRY_LATER_S = 60


def named_by_connection(headers: Mapping[str, str]) -> frozenset[str]:
    """The headers a message's Connection header names: hop-by-hop for that message."""
    named = headers.get("Connection")
    if not named:
        return NONE_NAMED
    return frozenset(token.strip().lower() for token in named.split(","))


NONE_NAMED: frozenset[str] = frozenset()


class BodyTooLarge(Exception):
    """A compressed body that decodes to more than serve reads."""


def decoded(body: bytes, encoding: str | None) -> bytes | None:
    """The body as JSON text to read the model's name from, or None when its
    encoding is one serve cannot read; never more than MAX_BODY bytes."""
    coding = (encoding or "identity").strip().lower()
    if coding == "identity":
        return body
    if coding not in ("gzip", "x-gzip", "deflate"):
        return None
    # gzip and zlib headers are told apart by zlib itself (32 +); a bare
    # deflate stream, which some clients send as "deflate", has neither.
    for window in (32 + zlib.MAX_WBITS, -zlib.MAX_WBITS):
        inflater = zlib.decompressobj(window)
        try:
            text = inflater.decompress(body, MAX_BODY + 1)
        except zlib.error:
            continue
        if len(text) > MAX_BODY or inflater.unconsumed_tail:
            raise BodyTooLarge
        return text
    return None


def error_answer(
    status: int, code: str, message: str, route: Route | None = None, retry_after: float = 0
) -> web.Response:
    body = {
        "error": {"message": message, "type": ERROR_TYPES.get(status, "server_error"), "code": code}
    }
    answer = web.Response(status=status, text=json.dumps(body), content_type="application/json")
    if route is not None:
        answer.headers["X-Garnel-Route"] = route.kind.value
        answer.headers["X-Garnel-Try-Elsewhere"] = "1" if route.try_elsewhere else "0"
    if status == 503:
        answer.headers["Retry-After"] = str(max(1, math.ceil(retry_after)))
    return answer


class Outcome:
    """What one request came to, for the events: its route, and when its first byte went."""

    __slots__ = ("first_byte", "route")

    def __init__(self) -> None:
        self.route: Route | None = None
        self.first_byte = 0.0


class Proxy:
    """The HTTP face of the host's cards; it asks the fleet of the moment of each model's card."""

    def __init__(
        self,
        setup: Setup,
        cards: Sequence[ServedCard],
        session: aiohttp.ClientSession,
        api_key: str,
        warming_wait_s: float,
        request_timeout_s: float,
        events: Events | None = None,
    ) -> None:
        self.setup = setup
        self.cards = cards
        self.card_of = {name: card for card in cards for name in card.supervisor.slots}
        self.on_demand = frozenset(name for card in cards for name in card.swaps.on_demand)
        self.events = Events() if events is None else events
        self.session = session
        self.authorization = f"Bearer {api_key}".encode() if api_key else None
        self.warming_wait_s = warming_wait_s
        self.timeout = aiohttp.ClientTimeout(
            total=None, sock_connect=10, sock_read=request_timeout_s
        )
        self.not_forwarded = NOT_FORWARDED | ({"authorization"} if api_key else set())
        self.closing = False
        self.in_flight = 0

    def app(self, pages: Iterable[web.RouteDef] = ()) -> web.Application:
        """The application: the API, and `pages` for people and their tools."""
        app = web.Application(client_max_size=MAX_BODY)
        app.router.add_get("/health", self.health)
        app.router.add_get("/v1/models", self.models)
        app.router.add_post("/v1/{tail:.*}", self.forward)
        app.router.add_routes(pages)
        app.router.add_route("*", "/{tail:.*}", self.no_such_path)
        return app

    async def health(self, request: web.Request) -> web.Response:
        return web.json_response({"status": "ok"})

    async def no_such_path(self, request: web.Request) -> web.Response:
        if request.path.startswith("/v1/"):
            return error_answer(
                405,
                "method_not_allowed",
                f"{request.method} {request.path}: "
                "serve routes POST requests under /v1/, and GET /v1/models",
            )
        return error_answer(404, "not_found", f"{request.path}: no such path")

    def refused_key(self, request: web.Request) -> web.Response | None:
        """The 401 for a request without the key, when serve has one; else None."""
        if self.authorization is None:
            return None
        given = request.headers.get("Authorization", "").encode("utf-8", "surrogateescape")
        if hmac.compare_digest(given, self.authorization):
            return None
        return error_answer(401, "invalid_api_key", 'give the key as "Authorization: Bearer <key>"')

    async def models(self, request: web.Request) -> web.Response:
        refused = self.refused_key(request)
        if refused is not None:
            return refused
        data = []
        for server in self.setup.servers:
            name, card = server.name, self.card_of[server.name]
            swaps = card.swaps
            route = swaps.route(name)
            data.append(
                {
                    "id": name,
                    "object": "model",
                    "owned_by": "garnel",
                    "garnel": {
                        "route": route.kind.value,
                        "ready": route.ready,
                        "try_elsewhere": route.try_elsewhere,
                        "planned_bytes": server.planned_bytes,
                        "on_demand": name in swaps.on_demand,
                        "on_card": swaps.on_card_now(name),
                        "gpu": card.gpu,
                    },
                }
            )
        return web.json_response({"object": "list", "data": data})

    async def forward(self, request: web.Request) -> web.StreamResponse:
        arrived = time.monotonic()
        outcome = Outcome()
        try:
            answer = await self._forward(request, outcome)
        except Exception:
            self._answered(outcome, 500, arrived)  # aiohttp's answer to what escapes
            raise
        self._answered(outcome, answer.status, arrived)
        return answer

    def _answered(self, outcome: Outcome, status: int, arrived: float) -> None:
        # A whole answer's first byte goes as the handler returns it.
        sent = outcome.first_byte or time.monotonic()
        self.events.answered(outcome.route, status, sent - arrived)

    async def _forward(self, request: web.Request, outcome: Outcome) -> web.StreamResponse:
        refused = self.refused_key(request)
        if refused is not None:
            return refused
        try:
            body = await request.read()
        except web.HTTPRequestEntityTooLarge:
            return error_answer(413, "request_too_large", f"the body is over {MAX_BODY} bytes")
        try:
            readable = decoded(body, request.headers.get("Content-Encoding"))
        except BodyTooLarge:
            return error_answer(413, "request_too_large", f"the body is over {MAX_BODY} bytes")
        try:
            model = json.loads(readable)["model"] if readable is not None else None
        except (ValueError, TypeError, KeyError, RecursionError):  # the parser recurses
            model = None
        if not isinstance(model, str):
            return error_answer(
                400,
                "invalid_request",
                'the body must be JSON with a string "model" '
                "(sent as it is, or with Content-Encoding gzip or deflate)",
            )
        card = self.card_of.get(model)
        if card is None:  # on no card: any card's fleet says it is not declared
            outcome.route = self.cards[0].supervisor.fleet.route(model)
            return self._unavailable(outcome.route, self.cards[0].supervisor)
        if model in self.on_demand:
            return await self._forward_on_demand(request, card, model, body, outcome)
        supervisor = card.supervisor
        route = outcome.route = supervisor.fleet.route(model)
        if not route.ready:
            route = outcome.route = await self._wait_for(supervisor, model, route)
            if not route.ready:
                return self._unavailable(route, supervisor)
        assert route.endpoint is not None
        self.in_flight += 1
        try:
            return await self._relay(request, route, body, outcome)
        finally:
            self.in_flight -= 1

    async def _forward_on_demand(
        self, request: web.Request, card: ServedCard, model: str, body: bytes, outcome: Outcome
    ) -> web.StreamResponse:
        """A model swapped onto its card when requested: the card's swaps say when it can go."""
        asked = time.monotonic()
        swaps = card.swaps
        route, holds = await swaps.take(model)
        outcome.route = route
        if not route.ready:
            if route.kind in (RouteKind.UNKNOWN, RouteKind.WARMING) and not self.closing:
                waited = time.monotonic() - asked
                message = f"{model!r} is loaded on demand, not ready after {waited:.0f} s"
                return error_answer(503, route.kind.value, message, route, RETRY_LOADING_S)
            return self._unavailable(route, card.supervisor)
        self.in_flight += 1
        try:
            return await self._relay(request, route, body, outcome)
        finally:
            self.in_flight -= 1
            swaps.finished(model, holds)

    def _waits(self, supervisor: Supervisor, route: Route) -> bool:
        if self.closing:
            return False
        if route.kind is RouteKind.WARMING:
            return True
        return route.kind is RouteKind.UNKNOWN and supervisor.will_start(route.model)

    async def _wait_for(self, supervisor: Supervisor, model: str, route: Route) -> Route:
        """The route once the model is ready, or as it stands when waiting is over."""
        deadline = time.monotonic() + self.warming_wait_s
        while self._waits(supervisor, route):
            left = deadline - time.monotonic()
            if left <= 0:
                break
            changed = supervisor.changed()
            route = supervisor.fleet.route(model)
            if route.ready or not self._waits(supervisor, route):
                break
            with contextlib.suppress(asyncio.TimeoutError):
                await asyncio.wait_for(changed.wait(), left)
            route = supervisor.fleet.route(model)
        return route

    def _unavailable(self, route: Route, supervisor: Supervisor) -> web.Response:
        model, kind = route.model, route.kind
        if kind is RouteKind.NOT_DECLARED:
            return error_answer(404, kind.value, f"{model!r}: no such model on this host", route)
        if kind is RouteKind.NOT_ADMITTED:
            return error_answer(503, kind.value, self._not_admitted(route), route, RETRY_LATER_S)
        if kind in (RouteKind.LOST, RouteKind.FAILED):
            retry = supervisor.retry_in(model)
            if kind is RouteKind.LOST:
                why = LOST_REASONS.get(route.reason or "", route.reason or "it was lost")
                message = f"{model!r} is lost: {why}; it is started again in {retry:.0f} s"
            else:
                message = (
                    f"{model!r} failed to load: {route.reason}; it is tried again in {retry:.0f} s"
                )
            return error_answer(503, kind.value, message, route, retry)
        if kind is RouteKind.WARMING:
            message = f"{model!r} is loading, not ready within {self.warming_wait_s:g} s"
            return error_answer(503, kind.value, message, route, RETRY_LOADING_S)
        if supervisor.will_start(model) and not self.closing:
            message = f"{model!r} is yet to start, not ready within {self.warming_wait_s:g} s"
            return error_answer(503, kind.value, message, route, RETRY_LOADING_S)
        return error_answer(503, kind.value, f"{model!r} is not being served", route, RETRY_LATER_S)

    def _not_admitted(self, route: Route) -> str:
        model, short = route.model, route.short_bytes or 0
        if len(self.cards) == 1:
            return f"{model!r} does not fit this card: short by {gib(short)} ({short} bytes)"
        card = self.card_of[model]
        message = (
            f"{model!r} does not fit GPU {card.gpu}, the card it is placed on: "
            f"short by {gib(short)} ({short} bytes)"
        )
        spanned = self.setup.cards_needed(card.supervisor.slots[model].server.planned_bytes)
        if spanned > 1:
            message += f"; it needs {spanned} cards, and a model is not split across cards"
        return message

    @staticmethod
    def _copy_headers(
        upstream: aiohttp.ClientResponse, answer: web.StreamResponse, skipped: frozenset[str]
    ) -> None:
        headers = answer.headers
        skipped = skipped | named_by_connection(upstream.headers)
        for key, value in upstream.headers.items():
            if key.lower() not in skipped:
                headers.add(key, value)
        headers["X-Garnel-Route"] = "ready"

    async def _relay(
        self, request: web.Request, route: Route, body: bytes, outcome: Outcome
    ) -> web.StreamResponse:
        dropped = self.not_forwarded | named_by_connection(request.headers)
        headers = [
            (key, value) for key, value in request.headers.items() if key.lower() not in dropped
        ]
        try:
            upstream = await self.session.request(
                request.method,
                # As the client wrote it: a URL that is parsed again gets re-encoded.
                URL(f"{route.endpoint}{request.raw_path}", encoded=True),
                headers=headers,
                data=body,
                allow_redirects=False,
                timeout=self.timeout,
            )
            length = upstream.content_length
            if length is None or length > WHOLE_BELOW:
                return await self._stream(request, upstream, outcome)
            # A short answer of known length (never a stream): relayed whole once it
            # is whole, a few packets later, in one write; a server that fails it
            # first is answered for as one that never answered.
            try:
                whole = await upstream.read()
            except BaseException:
                upstream.close()  # the connection is in no state to be used again
                raise
            upstream.release()
        except (aiohttp.ServerTimeoutError, asyncio.TimeoutError):
            message = f"the model's server sent nothing for {self.timeout.sock_read:g} s"
            return error_answer(504, "upstream_timeout", message, route)
        except (aiohttp.ClientError, OSError) as error:
            message = f"the model's server did not answer: {error}"
            return error_answer(502, "upstream_unreachable", message, route)
        answer = web.Response(status=upstream.status, reason=upstream.reason, body=whole)
        self._copy_headers(upstream, answer, NOT_COPIED_WHOLE)
        return answer

    async def _stream(
        self, request: web.Request, upstream: aiohttp.ClientResponse, outcome: Outcome
    ) -> web.StreamResponse:
        answer = web.StreamResponse(status=upstream.status, reason=upstream.reason)
        self._copy_headers(upstream, answer, HOP_BY_HOP)
        whole = False
        try:
            await answer.prepare(request)
            outcome.first_byte = time.monotonic()
            async for chunk in upstream.content.iter_any():
                await answer.write(chunk)
            whole = True
        except (aiohttp.ClientError, asyncio.TimeoutError, ConnectionError):
            # The server went quiet or away mid-answer, or the client did: the
            # answer cannot be finished, so the client's connection ends with it.
            if request.transport is not None:
                request.transport.close()
        finally:
            if whole:
                upstream.release()
            else:
                upstream.close()
        if whole:
            await answer.write_eof()
        return answer
