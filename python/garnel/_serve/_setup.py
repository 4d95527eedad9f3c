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
from dataclasses import dataclass
from pathlib import Path

import garnel

from ._config import Config, ConfigError, ModelConfig

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
class Setup:
    """The host as it will start: the card, the planned roster and every server's command.

    The roster it starts with holds the pinned models; each on-demand model is
    planned again, beside them, when a request names it (`plan_of`).
    `alone_beside_pinned` is each on-demand model's plan beside the pinned
    models alone: one it rejects can never be on this card.
    """

    config: Config
    total_bytes: int
    total_source: str
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
        """The roster serve starts with: the pinned models, in the file's order."""
        return [server.model() for server in self.pinned]

    @property
    def fits(self) -> bool:
        """Every pinned model admitted, and every on-demand one fits beside them."""
        return self.plan.fits and all(plan.fits for plan in self.alone_beside_pinned.values())

    def admitted(self, name: str) -> bool:
        return name in self.plan.admitted

    def plan_of(self, servers: Sequence[Server]) -> garnel.Plan:
        reserve = self.config.card.reserve_pct
        return garnel.plan(self.total_bytes, reserve, [server.model() for server in servers])


def prepare(config: Config) -> Setup:
    """Sizes every model, finds the card's total and plans the roster; raises ConfigError."""
    source = str(config.source)
    if config.card.total is not None:
        total, where = config.card.total, "given as [card] total"
    else:
        try:
            (card,) = garnel.nvml_cards([config.card.gpu])
        except (garnel.MissingExtra, garnel.NvmlError) as error:
            raise ConfigError(
                f"{source}: [card] total: absent, and {error}: give the card's size"
            ) from None
        total, where = card.total_bytes, f"GPU {card.index}, {card.name}, through NVML"
    sized = [_sized(source, model) for model in config.models]
    servers = tuple(
        _server(source, model, weights, kv, total)
        for model, (weights, kv) in zip(config.models, sized)
    )
    pinned = [server for server in servers if not server.config.on_demand]
    reserve = config.card.reserve_pct
    plan = garnel.plan(total, reserve, [server.model() for server in pinned])
    alone = {
        server.name: garnel.plan(total, reserve, [s.model() for s in (*pinned, server)])
        for server in servers
        if server.config.on_demand
    }
    return Setup(config, total, where, servers, plan, alone)


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
    overhead = DEFAULT_OVERHEAD[model.engine] if model.overhead is None else model.overhead
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
    for name, spec, conversion in fields:
        if name is None:
            continue
        if name not in PLACEHOLDERS or spec or conversion:
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
