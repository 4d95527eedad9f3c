"""The host's configuration: one TOML file read and checked whole before anything starts.

A host of one card says so in a `[card]` table; a host of several gives a
`[[card]]` table for each, and its models may pin one by its `gpu`.

Every mistake is a `ConfigError` of one line naming the file, the table and
the key. Relative paths are read relative to the file. Sizing the models and
resolving their commands come later (`_setup`); this module only reads.
"""

from __future__ import annotations

import math
import re
import sys
from collections.abc import Mapping
from dataclasses import dataclass, field
from fractions import Fraction
from pathlib import Path
from typing import Any, Callable, TypeVar

import garnel

ENGINES = ("llama.cpp", "vllm", "command")
DEFAULT_CONTEXT = 8192
# Set by serve itself, from its card's gpu: a model's env may not move its server to another card.
RESERVED_ENV = ("CUDA_VISIBLE_DEVICES", "CUDA_DEVICE_ORDER")
# A table's header, for telling [card] and [[card]] given together apart from other bad TOML.
_ONE_CARD = re.compile(
    r"""^[ \t]*\[[ \t]*(card|"card"|'card')[ \t]*\][ \t]*(#.*)?$""", re.MULTILINE
)
_CARD_LIST = re.compile(
    r"""^[ \t]*\[\[[ \t]*(card|"card"|'card')[ \t]*\]\][ \t]*(#.*)?$""", re.MULTILINE
)


class ConfigError(ValueError):
    """A configuration that cannot be served: one line naming the file, table and key."""


@dataclass(frozen=True)
class CardConfig:
    total: int | None  # None: ask NVML for the total of `gpu`
    reserve_pct: int
    gpu: int
    table: str  # "[card]", or "[[card]] N" from 1 in the file's order, for messages


@dataclass(frozen=True)
class ServeConfig:
    host: str
    port: int
    journal: Path | None
    logs: Path
    load_timeout_s: float
    probe_interval_s: float
    warming_wait_s: float
    request_timeout_s: float
    api_key: str


@dataclass(frozen=True)
class ModelConfig:
    name: str
    index: int  # its place in the file, from 1, for messages
    path: Path | None
    weights_bytes: int | None
    kv_bytes: int | None
    context: int
    sequences: int
    engine: str
    command: tuple[str, ...]  # empty: the engine's preset
    health: str
    env: Mapping[str, str] = field(default_factory=dict)
    overhead: int | None = None  # None: the engine's default
    on_demand: bool = False  # loaded when a request names it, swapped out to make room
    ttl_s: float = 0.0  # an on-demand model idle this long is unloaded; 0: never
    gpu: int | None = None  # pinned to the card of this GPU; None: wherever it is placed

    @property
    def table(self) -> str:
        return f"[[model]] {self.index} ({self.name})"


@dataclass(frozen=True)
class Config:
    source: Path
    cards: tuple[CardConfig, ...]  # in GPU index order
    serve: ServeConfig
    models: tuple[ModelConfig, ...]
    # [[card]] tables, even one: each card's journal is then named by its GPU.
    cards_listed: bool = False

    @property
    def folder(self) -> Path:
        """What relative paths in the file are relative to."""
        return self.source.parent


T = TypeVar("T")


class _Table:
    """One table of the file: takes its keys one by one, then refuses any left over."""

    def __init__(self, source: str, name: str, values: object) -> None:
        self.source = source
        self.name = name
        if not isinstance(values, Mapping):
            raise ConfigError(f"{source}: {name} must be a table")
        self.values: dict[str, Any] = dict(values)

    def fault(self, key: str, problem: str) -> ConfigError:
        return ConfigError(f"{self.source}: {self.name} {key}: {problem}")

    def take(self, key: str, default: T, read: Callable[[object], T | None], wanted: str) -> T:
        if key not in self.values:
            return default
        value = self.values.pop(key)
        result = read(value)
        if result is None:
            raise self.fault(key, f"must be {wanted}, not {_show(value)}")
        return result

    def required(self, key: str) -> object:
        if key not in self.values:
            raise self.fault(key, "missing: it is required")
        return self.values[key]

    def done(self) -> None:
        for key in self.values:
            raise self.fault(key, "unknown key")


def _show(value: object) -> str:
    if isinstance(value, str):
        return '"' + value.encode("unicode_escape").decode("ascii").replace('"', '\\"') + '"'
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (dict, list)):
        return "a table" if isinstance(value, dict) else "an array"
    return str(value)


def _whole(minimum: int, maximum: int | None = None) -> Callable[[object], int | None]:
    def read(value: object) -> int | None:
        if isinstance(value, bool) or not isinstance(value, int) or value < minimum:
            return None
        return value if maximum is None or value <= maximum else None

    return read


def _seconds(minimum_exclusive: bool) -> Callable[[object], float | None]:
    def read(value: object) -> float | None:
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            return None
        seconds = float(value)
        if not math.isfinite(seconds) or seconds < 0 or (minimum_exclusive and seconds == 0):
            return None
        return seconds

    return read


def _text(value: object) -> str | None:
    return value if isinstance(value, str) else None


def _flag(value: object) -> bool | None:
    return value if isinstance(value, bool) else None


U64_MAX = 2**64 - 1


def _size(minimum: int) -> Callable[[object], int | None]:
    """Bytes as `garnel plan --card` reads them: a whole number, or text such as "24GiB"."""

    def read(value: object) -> int | None:
        if isinstance(value, bool):
            return None
        if isinstance(value, int):
            size = Fraction(value)
        elif isinstance(value, str):
            try:
                size = Fraction(garnel.parse_size(value))
            except ValueError:
                return None
        else:
            return None
        if size.denominator != 1 or not minimum <= size <= U64_MAX:
            return None
        return int(size)

    return read


SIZE_WANTED = 'bytes, or a size such as "24GiB" or "80GB"'


def _overhead(value: object) -> int | None:
    return -1 if value == "" else _size(0)(value)


def _listen(value: object) -> tuple[str, int] | None:
    if not isinstance(value, str):
        return None
    host, colon, port = value.rpartition(":")
    if not colon or not port.isdigit() or not 0 < int(port) < 65536 or not host:
        return None
    if host.startswith("[") and host.endswith("]"):
        host = host[1:-1]
    return host, int(port)


def _argv(value: object) -> tuple[str, ...] | None:
    if not isinstance(value, list) or not all(isinstance(item, str) for item in value):
        return None
    return tuple(value)


def _env(value: object) -> dict[str, str] | None:
    if not isinstance(value, Mapping) or not all(isinstance(v, str) for v in value.values()):
        return None
    return {str(key): str(text) for key, text in value.items()}


def read_config(path: str | Path) -> Config:
    """The configuration file at `path`, checked whole; raises ConfigError."""
    source = Path(path)
    shown = str(path)
    try:
        data = source.read_bytes()
    except OSError as error:
        raise ConfigError(f"{shown}: {error.strerror or error}") from None
    document = _parse_toml(data, shown)
    folder = source.resolve().parent
    tables = dict(document)
    given = tables.pop("card", {})
    cards_listed = isinstance(given, list)  # [[card]] tables, even one
    if isinstance(given, list):
        cards = _cards(shown, given)
    else:
        cards = (_card(_Table(shown, "[card]", given)),)
    serve = _serve(_Table(shown, "[serve]", tables.pop("serve", {})), folder)
    entries = tables.pop("model", None)
    for name in tables:
        raise ConfigError(
            f"{shown}: [{name}]: unknown table "
            "(the tables are [card] or [[card]], [serve], [[model]])"
        )
    if entries is None:
        raise ConfigError(f"{shown}: [[model]]: missing: serve needs at least one model")
    if not isinstance(entries, list):
        raise ConfigError(f"{shown}: [[model]]: must be an array of tables, one [[model]] a model")
    models: list[ModelConfig] = []
    first_of: dict[str, int] = {}
    gpu_key = "its [[card]]'s gpu" if cards_listed else "[card] gpu"
    gpus = [card.gpu for card in cards]
    for index, entry in enumerate(entries, start=1):
        model = _model(shown, index, entry, folder, gpu_key)
        if model.name in first_of:
            raise ConfigError(
                f"{shown}: {model.table} name: the name of [[model]] {first_of[model.name]} again"
            )
        if model.gpu is not None and model.gpu not in gpus:
            raise ConfigError(
                f"{shown}: {model.table} gpu: GPU {model.gpu} is not one of this host's cards "
                f"(the cards are {_gpus_text(gpus)})"
            )
        first_of[model.name] = index
        models.append(model)
    return Config(source.resolve(), cards, serve, tuple(models), cards_listed)


def _gpus_text(gpus: list[int]) -> str:
    """GPU 0; GPU 0 and 1; GPU 0, 1 and 3."""
    shown = [str(gpu) for gpu in gpus]
    return "GPU " + (shown[0] if len(shown) == 1 else ", ".join(shown[:-1]) + " and " + shown[-1])


def _parse_toml(data: bytes, shown: str) -> Mapping[str, object]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        import tomli as tomllib
    try:
        return tomllib.loads(data.decode("utf-8"))
    except UnicodeDecodeError as error:
        raise ConfigError(
            f"{shown}: not UTF-8 text ({error.reason} at byte {error.start})"
        ) from None
    except tomllib.TOMLDecodeError as error:
        text = data.decode("utf-8")
        if _ONE_CARD.search(text) and _CARD_LIST.search(text):  # TOML's own words hide it
            raise ConfigError(
                f"{shown}: [card] and [[card]]: both given; a host of one card has a [card] "
                "table, a host of several a [[card]] table for each"
            ) from None
        raise ConfigError(f"{shown}: bad TOML: {error}") from None
    except RecursionError:
        raise ConfigError(f"{shown}: bad TOML: nested too deeply") from None


def _card(table: _Table) -> CardConfig:
    total = table.take("total", None, _size(1), SIZE_WANTED + " above 0")
    reserve = table.take("reserve_pct", 10, _whole(0, 100), "a percentage from 0 to 100")
    gpu = table.take("gpu", 0, _whole(0), "an NVML index from 0 up")
    table.done()
    return CardConfig(total, reserve, gpu, table.name)


def _cards(shown: str, entries: list[object]) -> tuple[CardConfig, ...]:
    """The [[card]] tables, in GPU index order, each GPU once."""
    if not entries:
        raise ConfigError(f"{shown}: [[card]]: none given: give a [[card]] table for each card")
    cards: list[CardConfig] = []
    for index, entry in enumerate(entries, start=1):
        table = _Table(shown, f"[[card]] {index}", entry)
        table.required("gpu")  # with several cards, no card is GPU 0 by default
        card = _card(table)
        for other in cards:
            if other.gpu == card.gpu:
                raise table.fault("gpu", f"GPU {card.gpu} again, as in {other.table}")
        cards.append(card)
    # Placed in GPU index order, whatever the file's: "the lowest-index card" is the lowest GPU.
    return tuple(sorted(cards, key=lambda card: card.gpu))


def _serve(table: _Table, folder: Path) -> ServeConfig:
    host, port = table.take("listen", ("127.0.0.1", 8080), _listen, 'a "host:port" to listen on')
    journal = table.take("journal", "", _text, "a path, or empty for no journal")
    logs = table.take("logs", "logs", _text, "a folder's path")
    if not logs:
        raise table.fault("logs", "must be a folder's path, not empty")
    positive, zero_up = "a number of seconds above 0", "a number of seconds from 0 up"
    settings = ServeConfig(
        host=host,
        port=port,
        journal=folder / journal if journal else None,
        logs=folder / logs,
        load_timeout_s=table.take("load_timeout_s", 600.0, _seconds(True), positive),
        probe_interval_s=table.take("probe_interval_s", 10.0, _seconds(True), positive),
        warming_wait_s=table.take("warming_wait_s", 30.0, _seconds(False), zero_up),
        request_timeout_s=table.take("request_timeout_s", 600.0, _seconds(True), positive),
        api_key=table.take("api_key", "", _text, "text"),
    )
    table.done()
    return settings


def _model(shown: str, index: int, entry: object, folder: Path, gpu_key: str) -> ModelConfig:
    name = entry.get("name") if isinstance(entry, Mapping) else None
    label = f"[[model]] {index}" + (f" ({name})" if isinstance(name, str) and name else "")
    table = _Table(shown, label, entry)
    name = table.required("name")
    if not isinstance(name, str) or not name:
        raise table.fault("name", f"must be a model's name, not {_show(name)}")
    table.values.pop("name")
    path = table.take("path", "", _text, "a path to the model's files")
    weights = table.take("weights_bytes", None, _whole(0), "a whole number of bytes")
    kv = table.take("kv_bytes", None, _whole(0), "a whole number of bytes")
    if not path and weights is None:
        raise table.fault("path", 'missing: give the model\'s files as "path", or "weights_bytes"')
    engine = table.take("engine", "llama.cpp", lambda v: v if v in ENGINES else None, _one_of())
    preset: tuple[str, ...] = ()
    command = table.take("command", preset, _argv, "an array of strings: the server's argv")
    if engine == "command" and not command:
        raise table.fault("command", 'missing: engine "command" runs the argv given here')
    health = table.take("health", "/health", _text, 'a path such as "/health"')
    if not health.startswith("/"):
        raise table.fault("health", f'must be a path that starts with "/", not {_show(health)}')
    no_env: dict[str, str] = {}
    env = table.take("env", no_env, _env, "a table of strings")
    for key in env:
        if key in RESERVED_ENV:
            raise table.fault(f"env.{key}", f"is set by serve, from {gpu_key}")
    # -1: not given (or given empty), the engine's default.
    overhead = table.take("overhead", -1, _overhead, SIZE_WANTED + ', or "" for the default')
    on_demand = table.take("on_demand", False, _flag, "true or false")
    ttl_s = table.take("ttl_s", 0.0, _seconds(False), "a number of seconds from 0 up")
    if ttl_s and not on_demand:
        # A pinned model is kept whatever its idleness: a ttl here is a mistake to say.
        raise table.fault(
            "ttl_s", "only an on-demand model is unloaded when idle: on_demand = true"
        )
    model = ModelConfig(
        name=name,
        index=index,
        path=folder / path if path else None,
        weights_bytes=weights,
        kv_bytes=kv,
        context=table.take("context", DEFAULT_CONTEXT, _whole(1), "a number of tokens from 1 up"),
        sequences=table.take("sequences", 1, _whole(1), "a number of sequences from 1 up"),
        engine=engine,
        command=command,
        health=health,
        env=env,
        overhead=None if overhead < 0 else overhead,
        on_demand=on_demand,
        ttl_s=ttl_s,
        gpu=table.take("gpu", None, _whole(0), "a card's gpu, an NVML index from 0 up"),
    )
    table.done()
    return model


def _one_of() -> str:
    return ", ".join(f'"{engine}"' for engine in ENGINES[:-1]) + f' or "{ENGINES[-1]}"'
