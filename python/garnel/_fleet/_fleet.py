"""One card while the host serves it: the extension's Fleet with typed answers and a clock."""

from __future__ import annotations

import json
import operator
import time
from collections.abc import Mapping
from dataclasses import dataclass
from enum import Enum
from json.encoder import encode_basestring_ascii as _quote
from types import TracebackType
from typing import TYPE_CHECKING, Any, Callable, SupportsIndex, TypeVar, Union, cast

import _garnel

from .._model import U64_MAX
from .._roster import RosterLike, roster_json
from ._journal import A_CHANGE, A_QUERY, JournalTarget, JournalWriter

if TYPE_CHECKING:
    from typing_extensions import Self

Clock = Callable[[], int]
"""A callable giving the host's clock in milliseconds."""

Detail = Union[Mapping[str, Any], str, None]
"""An observation's detail: a mapping, JSON text, or None for none."""

# Distinct route texts a fleet keeps parsed. A card has a handful of models,
# each with a few answers; names no slot holds could grow it without bound.
ROUTE_CACHE_SIZE = 512
_WARMING_PREFIX = '{"for_ms":'
# The report's words for a failed load, before the failure's own detail.
_FAILED_WORDS = "failed to load: "


I64_MIN, I64_MAX = -(2**63), 2**63 - 1


def _whole(value: object, call: str, argument: str, low: int, high: int, span: str) -> int:
    """`value` as an int from `low` to `high`, or the error naming `call`'s `argument`.

    Anything the extension takes as an integer (int subclasses, objects with
    __index__ such as numpy's) passes; bool does not, for True == 1 is no count.
    """
    if type(value) is int:
        whole = value
    elif isinstance(value, bool) or not hasattr(type(value), "__index__"):
        raise TypeError(
            f"{call}: {argument} must be an int from {span}, not {type(value).__name__}"
        )
    else:
        whole = operator.index(cast(SupportsIndex, value))
    if not low <= whole <= high:
        raise ValueError(f"{call}: {argument} must be an int from {span}, not {whole}")
    return whole


def _text(value: object, call: str, argument: str) -> str | None:
    """`value` if it is a str or None, else the TypeError naming `call`'s `argument`."""
    if value is None or isinstance(value, str):
        return value
    raise TypeError(f"{call}: {argument} must be a str or None, not {type(value).__name__}")


def _time(now: SupportsIndex) -> int:
    """`now` as the extension reads a time, refused as it refuses one."""
    ms = operator.index(now)
    if ms < 0:
        raise OverflowError("can't convert negative int to unsigned")
    if ms > U64_MAX:
        raise OverflowError("int too big to convert")
    return ms


def _journal_time(now: SupportsIndex) -> int:
    """`now` read once for a journaled call, so that its line records the time
    the extension got; refused as the extension refuses a `now` that is no int."""
    if type(now) is int:
        return now
    try:
        return operator.index(now)
    except TypeError as error:
        raise TypeError(f"argument 'now': {error}") from None


def monotonic_ms() -> int:
    """The process's monotonic clock in milliseconds: the default clock."""
    return time.monotonic_ns() // 1_000_000


class RouteKind(str, Enum):
    """Where a request for a model can go, as `route` answers it."""

    READY = "ready"
    WARMING = "warming"
    LOST = "lost"
    FAILED = "failed"
    NOT_ADMITTED = "not_admitted"
    NOT_DECLARED = "not_declared"
    UNKNOWN = "unknown"


class Kind(str, Enum):
    """The six canonical observation kinds; members pass to the extension as their text."""

    LOAD_STARTED = "load_started"
    PROBE_OK = "probe_ok"
    PROBE_FAILED = "probe_failed"
    PROCESS_EXITED = "process_exited"
    LOAD_FAILED = "load_failed"
    STOP = "stop"


Answer = TypeVar("Answer")

_ROUTE_KINDS = {kind.value: kind for kind in RouteKind}


@dataclass(frozen=True)
class Route:
    """A route answer; a field is None where the kind carries no such key."""

    kind: RouteKind
    model: str
    endpoint: str | None
    for_ms: int | None
    reason: str | None
    short_bytes: int | None
    ready: bool
    try_elsewhere: bool
    operator_fault: bool

    @classmethod
    def from_json(cls, text: str) -> Route:
        """A Route from the extension's route text."""
        fields = json.loads(text)
        return cls(
            kind=_ROUTE_KINDS[fields["route"]],
            model=fields["model"],
            endpoint=fields.get("endpoint"),
            for_ms=fields.get("for_ms"),
            reason=fields.get("reason"),
            short_bytes=fields.get("short_bytes"),
            ready=fields["ready"],
            try_elsewhere=fields["try_elsewhere"],
            operator_fault=fields["operator_fault"],
        )


_PROBE_DETAILS: dict[int, str] = {}
PROBE_DETAILS_SIZE = 1024


def _probe_detail(vram_bytes: object) -> str:
    whole = _whole(vram_bytes, "probe_ok", "vram_bytes", 0, U64_MAX, "0 to 2**64 - 1")
    if len(_PROBE_DETAILS) >= PROBE_DETAILS_SIZE:
        _PROBE_DETAILS.clear()
    # Keyed by the checked int only: a key of any other type could let a
    # value that hashes and compares alike (5.0, True) through unchecked.
    detail = _PROBE_DETAILS[whole] = f'{{"vramBytes":{whole:d}}}'
    return detail


def _plain_mapping(value: object) -> dict[Any, Any]:
    # json writes dicts only; a detail may be any mapping, at any depth.
    if isinstance(value, Mapping):
        return dict(value)
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


_DETAIL_ENCODER = json.JSONEncoder(ensure_ascii=False, default=_plain_mapping)


def detail_json(detail: Detail) -> str:
    if detail is None:
        return "{}"
    if isinstance(detail, str):
        return detail
    if not isinstance(detail, Mapping):
        # The encoder would write a list or a number, which the extension
        # reads as an empty detail: a probe_ok of 0 bytes.
        raise TypeError(
            f"observe: detail must be a mapping, JSON text or None, not {type(detail).__name__}"
        )
    return _DETAIL_ENCODER.encode(detail)


class Fleet:
    """One card: the extension's `Fleet` (`.raw`) with typed routes and the host's clock.

    Every `now` is optional and defaults to `clock()`, milliseconds from the
    process's monotonic clock unless another clock is given. With `journal`
    (a path, opened for appending, or a writable text file) every change that
    took effect is written as one JSON line, and with `journal_queries` every
    query and its answer too; `garnel.replay` rebuilds the card from it. A
    journal path has one writer: a second fleet opening it raises
    JournalError, as does every journaled call once a write has failed.
    Other errors are the extension's own, unchanged.
    """

    __slots__ = (
        "_clock",
        "_declared_json",
        "_journal",
        "_names",
        "_observe_raw",
        "_queries",
        "_raw",
        "_routes",
    )

    def __init__(
        self,
        total_bytes: SupportsIndex,
        reserve_pct: SupportsIndex,
        roster: RosterLike,
        *,
        clock: Clock | None = None,
        journal: JournalTarget | None = None,
        journal_queries: bool = False,
    ) -> None:
        if journal_queries and journal is None:
            raise ValueError("journal_queries needs a journal")
        declared_json = roster_json(roster)
        self._raw = _garnel.Fleet(total_bytes, reserve_pct, declared_json)
        self._declared_json = declared_json
        self._names: tuple[str, ...] | None = None  # read from it when first asked
        self._observe_raw = self._raw.observe  # bound once: observing is the hot path
        self._clock: Clock = monotonic_ms if clock is None else clock
        self._routes: dict[str, Route] = {}
        self._journal: JournalWriter | None = None
        self._queries: JournalWriter | None = None
        if journal is not None:
            writer = JournalWriter(journal)
            try:
                writer.construction(
                    operator.index(total_bytes),
                    operator.index(reserve_pct),
                    declared_json,
                    _time(self._clock()),
                )
            except BaseException:
                writer.close()  # no fleet holds it to close it later
                raise
            self._journal = writer
            if journal_queries:
                self._queries = writer

    @property
    def raw(self) -> _garnel.Fleet:
        """The extension's Fleet underneath; calls made on it directly are not journaled."""
        return self._raw

    # Queries.

    def route(self, model: str, now: SupportsIndex | None = None) -> Route:
        """Where a request for `model` should go now."""
        if self._queries is not None:
            text = self._query("route", lambda now: self._raw.route(model, now), now, model)
        else:
            text = self._raw.route(model, self._clock() if now is None else now)
        route = self._routes.get(text)
        return self._parse_route(text) if route is None else route

    def report(self, now: SupportsIndex | None = None) -> str:
        """The card's state in a few lines for people."""
        if self._queries is not None:
            return self._query("report", self._raw.report, now)
        return self._raw.report(self._clock() if now is None else now)

    def statuses(self, now: SupportsIndex | None = None) -> list[tuple[str, str]]:
        """Each declared model's name and its status as `report()` words it, in roster order.

        "resident for 18s", "never probed", "failed to load: ...": the report's
        lines, cut exactly where each ends whatever a name or a failure's
        detail holds (the route of a name tells its detail). Asked of the
        extension directly, so it is not journaled.
        """
        at = _time(self._clock() if now is None else now)
        report = self._raw.report(at)
        if self._names is None:
            self._names = tuple(entry["model"] for entry in json.loads(self._declared_json))
        details: dict[str, str] = {}
        for name in dict.fromkeys(self._names):
            text = self._raw.route(name, at)
            route = self._routes.get(text) or self._parse_route(text)
            if route.kind is RouteKind.FAILED:
                details[name] = route.reason or ""
        # Each line: two blanks, the name padded with blanks to a field, the status.
        statuses = []
        cut = report.index("\n") + 1  # the header names no model
        for name in self._names:
            start = cut + 2 + len(name)
            while report[start] == " ":  # no status begins with a blank
                start += 1
            detail = details.pop(name, None)  # only the first slot of a name fails
            if detail is not None:
                end = start + len(_FAILED_WORDS) + len(detail)
            else:
                end = report.index("\n", start)
            statuses.append((name, report[start:end]))
            cut = end + 1
        return statuses

    def next_to_load(self) -> str | None:
        """The next admitted model that fits the free bytes, or None."""
        if self._queries is not None:
            return self._query_untimed("next_to_load", self._raw.next_to_load)
        return self._raw.next_to_load()

    def committed_bytes(self) -> int:
        """Bytes held on the card by resident models."""
        if self._queries is not None:
            return self._query_untimed("committed_bytes", self._raw.committed_bytes)
        return self._raw.committed_bytes()

    def free_bytes(self) -> int:
        """Usable bytes not held by resident models."""
        if self._queries is not None:
            return self._query_untimed("free_bytes", self._raw.free_bytes)
        return self._raw.free_bytes()

    # Changes.

    def set_endpoint(self, model: str, endpoint: str, now: SupportsIndex | None = None) -> None:
        """Record where `model` is served; a name no slot holds changes nothing.

        The extension takes no time here; `now` (the clock unless given) only
        places the change in the journal, so replaying up to a time leaves
        out an endpoint set after it.
        """
        if not isinstance(endpoint, str):
            raise TypeError(f"set_endpoint: endpoint must be a str, not {type(endpoint).__name__}")
        journal = self._journal
        if journal is None:
            if now is not None:
                _time(now)
            self._raw.set_endpoint(model, endpoint)
            return
        with journal.changing:
            # Checked before the change: a time the replay would refuse, or
            # one refused after the change took effect, would part the
            # journal from the card.
            at = _time(self._clock() if now is None else now)
            self._raw.set_endpoint(model, endpoint)
            journal.write(
                f'{{"op":"set_endpoint","model":{_quote(model)},"endpoint":{_quote(endpoint)},'
                f'"now":{at}}}\n',
                A_CHANGE,
            )

    def observe(
        self,
        model: str,
        kind: Kind | str,
        detail: Detail = None,
        now: SupportsIndex | None = None,
    ) -> None:
        """Record something observed of `model`; `kind` is a `Kind` or any name the
        extension accepts, `detail` a mapping, JSON text or None."""
        self._observe(model, kind, detail_json(detail), now)

    def load_started(self, model: str, now: SupportsIndex | None = None) -> None:
        """A load of `model` started."""
        self._observe(model, "load_started", "{}", now)

    def probe_ok(
        self, model: str, vram_bytes: SupportsIndex, now: SupportsIndex | None = None
    ) -> None:
        """The health probe answered: `model` holds `vram_bytes` on the card."""
        # Written out rather than through _observe: the call a host makes most.
        # A model's probes report the same bytes again and again, and the
        # extension reads a text it has seen before faster than a new one.
        # Only an exact int is looked up, for 5.0 and True would find 5 and 1;
        # anything else is checked on its way into the cache.
        detail = _PROBE_DETAILS.get(vram_bytes) if type(vram_bytes) is int else None
        if detail is None:
            detail = _probe_detail(vram_bytes)
        if self._journal is None:
            self._observe_raw(model, "probe_ok", detail, self._clock() if now is None else now)
        else:
            self._observe_journaled(model, "probe_ok", detail, now)

    def probe_failed(
        self,
        model: str,
        *,
        gpu_present: bool = True,
        detail: str | None = None,
        now: SupportsIndex | None = None,
    ) -> None:
        """The health probe failed; `gpu_present=False` when the card itself is gone."""
        if type(gpu_present) is not bool:
            raise TypeError(
                f"probe_failed: gpu_present must be a bool, not {type(gpu_present).__name__}"
            )
        detail = _text(detail, "probe_failed", "detail")
        present = "true" if gpu_present else "false"
        text = f'"gpuPresent":{present}'
        if detail is not None:
            text += f',"detail":{_quote(detail)}'
        self._observe(model, "probe_failed", "{" + text + "}", now)

    def process_exited(
        self, model: str, code: SupportsIndex | None = None, now: SupportsIndex | None = None
    ) -> None:
        """The serving process of `model` exited, with its exit code if known."""
        if code is None:
            detail = "{}"
        else:
            # Negative codes are signals, as the host's process API reports them.
            whole = _whole(code, "process_exited", "code", I64_MIN, I64_MAX, "-2**63 to 2**63 - 1")
            detail = f'{{"code":{whole:d}}}'
        self._observe(model, "process_exited", detail, now)

    def load_failed(
        self, model: str, detail: str | None = None, now: SupportsIndex | None = None
    ) -> None:
        """The load of `model` failed; `detail` says why."""
        detail = _text(detail, "load_failed", "detail")
        text = "{}" if detail is None else f'{{"detail":{_quote(detail)}}}'
        self._observe(model, "load_failed", text, now)

    def stop(self, model: str, now: SupportsIndex | None = None) -> None:
        """`model` was stopped on request."""
        self._observe(model, "stop", "{}", now)

    # The journal.

    def close(self) -> None:
        """Close a journal the fleet opened from a path; a file given is only flushed."""
        if self._journal is not None:
            self._journal.close()

    def __enter__(self) -> Self:
        return self

    def __exit__(
        self,
        kind: type[BaseException] | None,
        error: BaseException | None,
        traceback: TracebackType | None,
    ) -> None:
        self.close()

    def _observe(self, model: str, kind: str, detail: str, now: SupportsIndex | None) -> None:
        if self._journal is None:
            self._observe_raw(model, kind, detail, self._clock() if now is None else now)
        else:
            self._observe_journaled(model, kind, detail, now)

    def _observe_journaled(
        self, model: str, kind: str, detail: str, now: SupportsIndex | None
    ) -> None:
        journal = self._journal
        assert journal is not None
        # The clock is read inside the lock, so the lines' times follow their order.
        with journal.changing:
            at = _journal_time(self._clock() if now is None else now)
            self._raw.observe(model, kind, detail, at)
            journal.write(
                f'{{"op":"observe","model":{_quote(model)},"kind":{_quote(kind)},'
                f'"detail":{_quote(detail)},"now":{at}}}\n',
                A_CHANGE,
            )

    def _query(
        self,
        op: str,
        ask: Callable[[SupportsIndex], str],
        now: SupportsIndex | None,
        model: str | None = None,
    ) -> str:
        journal = self._queries
        assert journal is not None
        with journal.querying:
            at = _journal_time(self._clock() if now is None else now)
            answer = ask(at)
            about = "" if model is None else f',"model":{_quote(model)}'
            journal.write(f'{{"op":"{op}"{about},"now":{at},"answer":{_quote(answer)}}}\n', A_QUERY)
        return answer

    def _query_untimed(self, op: str, ask: Callable[[], Answer]) -> Answer:
        journal = self._queries
        assert journal is not None
        with journal.querying:
            answer = ask()
            journal.write(f'{{"op":"{op}","answer":{json.dumps(answer)}}}\n', A_QUERY)
        return answer

    def _parse_route(self, text: str) -> Route:
        routes = self._routes
        if len(routes) >= ROUTE_CACHE_SIZE:
            routes.clear()
        if not text.startswith(_WARMING_PREFIX):
            route = routes[text] = Route.from_json(text)
            return route
        # A warming route's text changes with every call, but only in the
        # number up front: keep the rest parsed and put the number in.
        comma = text.index(",", len(_WARMING_PREFIX))
        rest = text[comma:]
        template = routes.get(rest)
        if template is None:
            template = routes[rest] = Route.from_json(text)
        route = object.__new__(Route)
        fields = route.__dict__
        fields.update(template.__dict__)
        fields["for_ms"] = int(text[len(_WARMING_PREFIX) : comma])
        return route
