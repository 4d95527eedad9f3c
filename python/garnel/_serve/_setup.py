"""From a configuration to a plan: each model sized, its overhead added, the roster planned,
and the argv and environment each server will be started with.

Everything here happens before anything starts, and every mistake is a
`ConfigError` naming the file, the table and the key.
"""

from __future__ import annotations

import os
import shutil
import string
from collections.abc import Mapping, Sequence
from dataclasses import dataclass, replace
from pathlib import Path

import garnel

from ._config import CardConfig, Config, ConfigError, ModelConfig

GIB = 2**30

PRESETS: Mapping[str, tuple[str, ...]] = {
    # llama.cpp's llama-server allocates -c cells of cache, shared by -np sequences.
    "llama.cpp": (
        "llama-server",
        *("-m", "{path}", "--host", "127.0.0.1", "--port", "{port}"),
        *("-c", "{total_context}", "-np", "{sequences}"),
    ),
    # vLLM sizes its cache from the fraction of the card it is given, after the
    # weights and its own overhead; max-model-len and max-num-seqs bound its use.
    "vllm": (
        *("vllm", "serve", "{path}", "--host", "127.0.0.1", "--port", "{port}"),
        *("--max-model-len", "{context}", "--max-num-seqs", "{sequences}"),
        *("--gpu-memory-utilization", "{gpu_memory_fraction}"),
    ),
}

# What a server holds beyond its weights and cache, by engine (README: "Overhead").
DEFAULT_OVERHEAD: Mapping[str, int] = {"llama.cpp": 1 * GIB, "vllm": 4 * GIB, "command": 0}

# How sizing counts the cache each engine allocates; a command's by the files' format.
SIZING_ENGINE: Mapping[str, str | None] = {
    "llama.cpp": "llama.cpp",
    "vllm": "vllm",
    "command": None,
}

PLACEHOLDERS = (
    "port",
    "path",
    "name",
    "context",
    "sequences",
    "total_context",
    "gpu_memory_fraction",
)


@dataclass(frozen=True)
class Server:
    """How one admitted or rejected model's server is started."""

    config: ModelConfig
    weights_bytes: int
    kv_bytes: int
    overhead_bytes: int
    gpu_memory_fraction: str
    argv: tuple[str, ...]  # placeholders in, {port} among them
    env: Mapping[str, str]

    @property
    def name(self) -> str:
        return self.config.name

    @property
    def planned_bytes(self) -> int:
        return self.weights_bytes + self.kv_bytes + self.overhead_bytes

    def model(self) -> garnel.Model:
        """The roster entry planned: its overhead counted with its weights."""
        return garnel.Model(self.name, self.weights_bytes + self.overhead_bytes, self.kv_bytes)

    def values(self, port: int | str) -> dict[str, str]:
        config = self.config
        return {
            "port": str(port),
            "path": "" if config.path is None else str(config.path),
            "name": config.name,
            "context": str(config.context),
            "sequences": str(config.sequences),
            "total_context": str(config.context * config.sequences),
            "gpu_memory_fraction": self.gpu_memory_fraction,
        }

    def command(self, port: int | str) -> list[str]:
        values = self.values(port)
        return [argument.format_map(values) for argument in self.argv]

    def environment(self, port: int, gpu: int) -> dict[str, str]:
        values = self.values(port)
        env = dict(os.environ)
        env.update({key: text.format_map(values) for key, text in self.env.items()})
        # CUDA numbers the cards fastest first unless told to follow the bus,
        # as NVML does; then [card] gpu names the same card to both.
        env["CUDA_DEVICE_ORDER"] = "PCI_BUS_ID"
        env["CUDA_VISIBLE_DEVICES"] = str(gpu)
        return env

    def program(self, folder: Path) -> tuple[str | None, str]:
        """The program to run and, when it cannot be found, None and why."""
        wanted = self.command("{port}")[0]
        if not wanted:
            return None, "the command's program is empty"
        path_list = {**os.environ, **self.env}.get("PATH", os.defpath)
        if "/" in wanted:
            named = str(folder / wanted)
            if not (os.path.isfile(named) and os.access(named, os.X_OK)):
                return None, f"{named} is not an executable file"
            return named, ""
        found = shutil.which(wanted, path=path_list)
        if found is None:
            return None, f"{wanted!r} is not found on PATH"
        return found, ""


@dataclass(frozen=True)
class CardSetup:
    """One card as it will start: its GPU, its bytes, its models and their plan.

    Its models are those placed on it, the ones rejected on it included, in
    the file's order. The roster its Fleet starts with holds the pinned ones;
    each on-demand model is planned again, beside them, when a request names
    it (`plan_of`). `alone_beside_pinned` is each on-demand model's plan
    beside the pinned models alone: one it rejects can never be on this card.
    """

    config: Config
    gpu: int  # NVML's index: the servers see this card alone
    total_bytes: int
    total_source: str
    reserve_pct: int
    journal: Path | None
    servers: tuple[Server, ...]
    plan: garnel.Plan
    alone_beside_pinned: Mapping[str, garnel.Plan]

    @property
    def pinned(self) -> tuple[Server, ...]:
        return tuple(server for server in self.servers if not server.config.on_demand)

    @property
    def on_demand(self) -> tuple[Server, ...]:
        return tuple(server for server in self.servers if server.config.on_demand)

    @property
    def roster(self) -> list[garnel.Model]:
        """The roster the card starts with: its pinned models, in the file's order."""
        return [server.model() for server in self.pinned]

    @property
    def fits(self) -> bool:
        """Every pinned model admitted, and every on-demand one fits beside them."""
        return self.plan.fits and not any(map(self.never_fits, self.alone_beside_pinned))

    def never_fits(self, name: str) -> garnel.Rejection | None:
        """On-demand `name`'s own rejection beside the pinned models alone, if it has one:
        then it can never be on this card. A pinned model rejected there is not its."""
        for rejection in self.alone_beside_pinned[name].rejected:
            if rejection.model == name:
                return rejection
        return None

    def admitted(self, name: str) -> bool:
        return name in self.plan.admitted

    def plan_of(self, servers: Sequence[Server]) -> garnel.Plan:
        models = [server.model() for server in servers]
        return garnel.plan(self.total_bytes, self.reserve_pct, models)


@dataclass(frozen=True)
class Setup:
    """The host as it will start: its cards, each model's card and every server's command.

    `placement` is the pinned models' across the cards, in GPU index order;
    `card_of` names each model's card, pinned or on demand, placed or
    rejected there.
    """

    config: Config
    cards: tuple[CardSetup, ...]
    servers: tuple[Server, ...]  # every model, in the file's order
    placement: garnel.Placement
    card_of: Mapping[str, CardSetup]

    @property
    def fits(self) -> bool:
        return all(card.fits for card in self.cards)

    def cards_needed(self, planned_bytes: int) -> int:
        """How many of the largest card a model of these bytes would span: more than 1
        is a model larger than every card, which is never split across cards."""
        largest = max(card.plan.usable_bytes for card in self.cards)
        return max(1, -(-planned_bytes // largest)) if largest else 1


def journal_of(config: Config, gpu: int) -> Path | None:
    """A card's journal: the configured path for a [card] host, and for [[card]] tables
    the card's GPU before its suffix (card.journal: card.0.journal, card.1.journal)."""
    path = config.serve.journal
    if path is None or not config.cards_listed:
        return path
    return path.with_name(f"{path.stem}.{gpu}{path.suffix}")


def prepare(config: Config) -> Setup:
    """Sizes every model, finds each card's total, places the roster across the cards and
    plans each; raises ConfigError."""
    source = str(config.source)
    totals = [_total(source, card) for card in config.cards]
    sized = {model.name: _sized(source, model) for model in config.models}
    # What a model is planned for is its own, whatever its card: weights, cache, overhead.
    place_of = {card.gpu: index for index, card in enumerate(config.cards)}
    entries = {
        model.name: garnel.Model(
            model.name,
            sized[model.name][0] + _overhead(model),
            sized[model.name][1],
            None if model.gpu is None else place_of[model.gpu],
        )
        for model in config.models
    }
    pinned = [entries[model.name] for model in config.models if not model.on_demand]
    on_demand = [entries[model.name] for model in config.models if model.on_demand]
    card_totals = [total for total, _ in totals]
    reserves = [card.reserve_pct for card in config.cards]
    placement = garnel.place(card_totals, pinned, reserve_pct=reserves)
    card_index = _card_index(placement)
    if on_demand:
        card_index.update(_on_demand_cards(card_totals, reserves, placement, pinned, on_demand))

    cards = []
    for index, (card, (total, where)) in enumerate(zip(config.cards, totals)):
        servers = tuple(
            _server(source, model, *sized[model.name], total)
            for model in config.models
            if card_index[model.name] == index
        )
        here = CardSetup(
            config,
            card.gpu,
            total,
            where,
            card.reserve_pct,
            journal_of(config, card.gpu),
            servers,
            placement.cards[index],
            {},
        )
        alone = {server.name: here.plan_of([*here.pinned, server]) for server in here.on_demand}
        cards.append(replace(here, alone_beside_pinned=alone))
    card_of = {server.name: card for card in cards for server in card.servers}
    by_name = {server.name: server for card in cards for server in card.servers}
    servers = tuple(by_name[model.name] for model in config.models)
    return Setup(config, tuple(cards), servers, placement, card_of)


def _on_demand_cards(
    totals: Sequence[int],
    reserves: Sequence[int],
    placement: garnel.Placement,
    pinned: Sequence[garnel.Model],
    on_demand: Sequence[garnel.Model],
) -> dict[str, int]:
    """The card each on-demand model takes turns on, by the placement's own rule.

    First as if every one were loaded at once beside the pinned models, in
    the file's order: one that fits so goes on that card. One that does not
    goes on the lowest-index card (its pinned card, if it has one) where it
    fits beside the pinned models alone, and takes turns there; one that fits
    beside none is rejected on the card it is least short on.
    """
    together = garnel.place(totals, [*pinned, *on_demand], reserve_pct=reserves)
    # The pinned models that hold bytes, each on its card, as the placement put them.
    holding = [
        replace(model, gpu=placement.placed[model.name])
        for model in pinned
        if model.name in placement.placed
    ]
    cards: dict[str, int] = {}
    for model in on_demand:
        if model.name in together.placed:
            cards[model.name] = together.placed[model.name]
            continue
        beside = garnel.place(totals, [*holding, model], reserve_pct=reserves)
        cards[model.name] = _card_index(beside)[model.name]
    return cards


def _card_index(placement: garnel.Placement) -> dict[str, int]:
    """Each model's card in the placement: the one it is placed on, or rejected on."""
    cards = dict(placement.placed)
    for rejection in placement.rejected:
        assert rejection.gpu is not None  # a placement's rejections each name their card
        cards[rejection.model] = rejection.gpu
    return cards


def _total(source: str, card: CardConfig) -> tuple[int, str]:
    """The card's total bytes, and where the figure came from, for people."""
    if card.total is not None:
        return card.total, f"given as {card.table} total"
    try:
        (found,) = garnel.nvml_cards([card.gpu])
    except (garnel.MissingExtra, garnel.NvmlError) as error:
        raise ConfigError(
            f"{source}: {card.table} total: absent, and {error}: give the card's size"
        ) from None
    return found.total_bytes, f"GPU {found.index}, {found.name}, through NVML"


def _overhead(model: ModelConfig) -> int:
    return DEFAULT_OVERHEAD[model.engine] if model.overhead is None else model.overhead


def _sized(source: str, model: ModelConfig) -> tuple[int, int]:
    """The model's weights and cache bytes: as given, or from its files."""
    if model.weights_bytes is not None and (model.kv_bytes is not None or model.path is None):
        return model.weights_bytes, model.kv_bytes or 0
    assert model.path is not None
    try:
        entry = garnel.size(
            model.path,
            # Given cache bytes need no cache shape: the weights alone are sized.
            context=0 if model.kv_bytes is not None else model.context,
            sequences=model.sequences,
            engine=SIZING_ENGINE[model.engine],
            name=model.name,
        )
    except (ValueError, ImportError) as error:
        raise ConfigError(f"{source}: {model.table} path: {error}") from None
    weights = entry.weights_bytes if model.weights_bytes is None else model.weights_bytes
    return weights, entry.kv_bytes if model.kv_bytes is None else model.kv_bytes


def _server(source: str, model: ModelConfig, weights: int, kv: int, total: int) -> Server:
    overhead = _overhead(model)
    planned = weights + kv + overhead
    # Rounded up, so the fraction never gives the server less than was planned.
    tenths_of_permille = -(-planned * 10_000 // total)
    fraction = f"{tenths_of_permille // 10_000}.{tenths_of_permille % 10_000:04d}"
    argv = model.command or PRESETS[model.engine]
    for key, texts in (("command", argv), *((f"env.{k}", (v,)) for k, v in model.env.items())):
        for text in texts:
            _check_placeholders(source, model, key, text)
    return Server(model, weights, kv, overhead, fraction, tuple(argv), dict(model.env))


def _check_placeholders(source: str, model: ModelConfig, key: str, text: str) -> None:
    where = f"{source}: {model.table} {key}:"
    try:
        fields = [parsed[1:] for parsed in string.Formatter().parse(text)]
    except ValueError as error:  # a lone brace
        raise ConfigError(
            f"{where} {error} in {text!r} (a literal brace is written twice)"
        ) from None
    for name, format_given, conversion in fields:
        if name is None:
            continue
        if name not in PLACEHOLDERS or format_given or conversion:
            known = ", ".join("{" + p + "}" for p in PLACEHOLDERS)
            raise ConfigError(
                f"{where} unknown placeholder {{{name}}} in {text!r} (known: {known})"
            )
        if name == "path" and model.path is None:
            raise ConfigError(f'{where} {{path}} in {text!r}, but the model gives no "path"')


def check_programs(setup: Setup) -> list[str]:
    """Why each model's program cannot be started, one line each; empty when all can."""
    problems = []
    for server in setup.servers:
        found, why = server.program(setup.config.folder)
        if found is None:
            problems.append(f"{setup.config.source}: {server.config.table} command: {why}")
    return problems
