"""Roster entries: roster files, and every roster shape the package takes.

A roster reaches the extension as JSON text. The package takes it as that text
(passed through untouched, so the extension judges it), as a sequence of
`Model`, or as a sequence of mappings in the roster format with either key
spelling; `read_roster` reads the same entries from a JSON or TOML file. One
function, `model_from_entry`, turns one entry mapping into a `Model` for both
the files and the in-code mappings, so a new way of sizing an entry has one
place to go.
"""

from __future__ import annotations

import json
import math
import operator
import os
import stat
import sys
from collections.abc import Iterable, Mapping
from dataclasses import replace
from pathlib import Path
from typing import Any, BinaryIO, Union

from .._errors import RosterError
from .._model import U64_MAX, Model
from .._sizing import model_from_entry_path

# What the JSON roster and the extension call each byte count, camel case
# first: the first spelling present is the one read, as the extension does.
WEIGHTS_KEYS = ("weightsBytes", "weights_bytes")
KV_KEYS = ("kvBytes", "kv_bytes")


RosterLike = Union[str, Iterable[Union[Model, Mapping[str, Any]]]]
"""JSON text, or a sequence of `Model` or of roster entry mappings."""


class BadEntry(Exception):
    """Why one entry is no model; the caller adds which entry of which roster."""


def byte_count(value: object) -> int | None:
    """A whole byte count as the extension reads one from roster JSON, or None.

    Whole non-negative numbers only, floats included (2.0, 1e3); anything at
    or above 2**64 saturates, as a JSON integer too large for 64 bits does.
    """
    if isinstance(value, bool):
        return None
    if isinstance(value, float):
        if math.isfinite(value) and value >= 0 and value.is_integer():
            return min(int(value), U64_MAX)
        return None
    if isinstance(value, int) or hasattr(type(value), "__index__"):
        whole = operator.index(value)  # type: ignore[arg-type]
        return min(whole, U64_MAX) if whole >= 0 else None
    return None


def _lookup(entry: Mapping[str, Any], keys: tuple[str, str]) -> tuple[str, Any] | None:
    for key in keys:
        if key in entry:
            return key, entry[key]
    return None


def model_from_entry(entry: object, *, name_key: str = "model", base: Path | None = None) -> Model:
    """One roster entry as a Model; raises BadEntry saying what is wrong with it.

    `name_key` is "model" in JSON and in-code rosters, "name" in TOML tables.
    An entry that gives a model's `"path"` (relative to `base`, the roster
    file's folder, or to the current one) is sized from the model's files;
    the byte counts it gives win over the sized ones.
    """
    if isinstance(entry, Model):
        return entry
    if not isinstance(entry, Mapping):
        raise BadEntry(f"is {type(entry).__name__!r}, not a model entry")
    gpu = _gpu_index(entry.get("gpu"))
    if "path" in entry:
        try:
            sized = model_from_entry_path(entry, Path.cwd() if base is None else base)
        except ValueError as error:
            raise BadEntry(str(error)) from None
        return sized if gpu is None else replace(sized, gpu=gpu)
    name = entry.get(name_key)
    if not isinstance(name, str):
        raise BadEntry(f'missing "{name_key}"')
    if not name:
        raise BadEntry(f'"{name_key}" is empty')
    try:
        name.encode("utf-8")
    except UnicodeEncodeError:  # JSON's escapes can spell half a character
        raise BadEntry(f'"{name_key}" is not Unicode text: it holds a lone surrogate') from None
    weights = _lookup(entry, WEIGHTS_KEYS)
    if weights is None:
        raise BadEntry('no "weights_bytes" (or "weightsBytes")')
    weights_bytes = byte_count(weights[1])
    if weights_bytes is None:
        raise BadEntry(f'"{weights[0]}" is not a whole byte count: {weights[1]!r}')
    kv = _lookup(entry, KV_KEYS)
    kv_bytes = 0 if kv is None or kv[1] is None else byte_count(kv[1])
    if kv_bytes is None:
        assert kv is not None
        raise BadEntry(f'"{kv[0]}" is not a whole byte count: {kv[1]!r}')
    return Model(name, weights_bytes, kv_bytes, gpu)


def _gpu_index(value: object) -> int | None:
    """The card an entry is pinned to: a whole number from 0 up, or None (or no key) for none."""
    if value is None:
        return None
    if not isinstance(value, bool) and (
        isinstance(value, int) or hasattr(type(value), "__index__")
    ):
        index = operator.index(value)  # type: ignore[arg-type]
        if index >= 0:
            return index
    raise BadEntry(f'"gpu" is not a card\'s index (a whole number from 0 up): {value!r}')


def _entry_label(index: int, entry: object, name_key: str) -> str:
    name = entry.get(name_key) or entry.get("path") if isinstance(entry, Mapping) else None
    if isinstance(entry, Model):
        name = entry.name
    return entry_label(index, name)


def entry_label(index: int, name: object) -> str:
    """How a message names a roster entry: `entry 2 (chat)`, or `entry 2` with no name."""
    if not isinstance(name, str) or not name:
        return f"entry {index}"
    return f"entry {index} ({name.encode('utf-8', 'backslashreplace').decode('utf-8')})"


def models_from_entries(
    entries: Iterable[object], where: str, *, name_key: str = "model", base: Path | None = None
) -> list[Model]:
    """Every entry as a Model, or one RosterError listing every bad entry.

    A name given twice is a bad entry: the fleet answers for the first of a
    name only, so a second would hold its bytes and never be loaded or routed.
    """
    models: list[Model] = []
    faults: list[str] = []
    first_of: dict[str, int] = {}
    for index, entry in enumerate(entries):
        try:
            model = model_from_entry(entry, name_key=name_key, base=base)
        except BadEntry as fault:
            faults.append(f"{_entry_label(index, entry, name_key)}: {fault}")
            continue
        first = first_of.setdefault(model.name, index)
        if first != index:
            faults.append(f"{entry_label(index, model.name)}: the name of entry {first} again")
        models.append(model)
    if faults:
        raise RosterError(f"{where}: " + "; ".join(faults))
    return models


def roster_json(roster: RosterLike) -> str:
    """The roster as the extension's JSON text; text is passed through as given."""
    if isinstance(roster, str):
        return roster
    return models_json(roster_models(roster))


def models_json(models: Iterable[Model]) -> str:
    """Models read and checked already, as the extension's JSON text."""
    return json.dumps(
        [model.entry() for model in models], ensure_ascii=False, separators=(",", ":")
    )


def roster_models(roster: RosterLike) -> list[Model]:
    """The roster's models, each name once; JSON text is read as a JSON roster file is."""
    where = "could not read the roster"
    if isinstance(roster, str):
        return _from_json(roster, where, None)
    if isinstance(roster, (bytes, bytearray, Mapping)) or not isinstance(roster, Iterable):
        raise TypeError(
            "a roster is JSON text or a sequence of Model or of mappings, "
            f"not {type(roster).__name__}"
        )
    return models_from_entries(roster, where)


ROSTER_FILE_LIMIT = 64 * 2**20
"""The most bytes a roster file or standard input may hold: 64 MiB.

A roster of a thousand models is some 100 KiB; the limit is far beyond any
real one and keeps a wrong file (a disk image, a log) from filling memory.
"""


def read_roster(path: str | os.PathLike[str]) -> list[Model]:
    """The models of a roster file: JSON (the extension's format) or TOML.

    A TOML roster is an array of tables, one `[[model]]` per model with
    `name`, `weights_bytes` and optionally `kv_bytes`; an entry of either
    format may pin its model to a card with `gpu`, the card's index. The
    file must be a regular file of at most `ROSTER_FILE_LIMIT` bytes (64 MiB),
    and each name may appear once. Raises RosterError with one message that names the file
    and every bad entry.
    """
    source = os.fspath(path)
    suffix = os.path.splitext(source)[1].lower()
    form = {".json": "json", ".toml": "toml"}.get(suffix)
    return roster_from_bytes(_read_file(source), source, form, base=Path(source).parent)


def read_roster_stream(stream: BinaryIO, source: str) -> list[Model]:
    """The models of a roster read from an open binary stream, such as standard input.

    The stream is read to its end, but no further than `ROSTER_FILE_LIMIT`
    bytes; model paths in it are relative to the current folder.
    """
    return roster_from_bytes(_read_limited(stream, source), source)


def _read_file(source: str) -> bytes:
    # Opened without blocking, so a named pipe with no writer cannot hang
    # the caller before fstat tells what it is; ignored by regular files.
    flags = os.O_RDONLY | getattr(os, "O_NONBLOCK", 0) | getattr(os, "O_NOCTTY", 0)
    flags |= getattr(os, "O_BINARY", 0)  # Windows opens in text mode otherwise
    try:
        descriptor = os.open(source, flags)
    except OSError as error:
        if os.path.isdir(source):  # Windows opens no folder to fstat
            raise RosterError(_not_a_file(source, "a folder")) from None
        raise RosterError(f"{source}: {error.strerror or error}") from None
    try:
        status = os.fstat(descriptor)
        if not stat.S_ISREG(status.st_mode):
            raise RosterError(_not_a_file(source, _file_kind(status.st_mode)))
        if status.st_size > ROSTER_FILE_LIMIT:
            raise RosterError(_too_big(source))
        with os.fdopen(descriptor, "rb") as file:
            descriptor = -1  # the file closes it now
            return _read_limited(file, source)
    except OSError as error:
        raise RosterError(f"{source}: {error.strerror or error}") from None
    finally:
        if descriptor >= 0:
            os.close(descriptor)


def _read_limited(stream: BinaryIO, source: str) -> bytes:
    # One byte past the limit tells a file that grew, or a stream, too big.
    data = stream.read(ROSTER_FILE_LIMIT + 1)
    if len(data) > ROSTER_FILE_LIMIT:
        raise RosterError(_too_big(source))
    return data


def _too_big(source: str) -> str:
    return f"{source}: more than {ROSTER_FILE_LIMIT:,} bytes, too big for a roster"


def _not_a_file(source: str, kind: str) -> str:
    return f"{source}: {kind}, not a regular file: a roster is a JSON or TOML file"


def _file_kind(mode: int) -> str:
    kinds = [
        (stat.S_ISDIR, "a folder"),
        (stat.S_ISFIFO, "a pipe"),
        (stat.S_ISCHR, "a character device"),
        (stat.S_ISBLK, "a block device"),
        (stat.S_ISSOCK, "a socket"),
    ]
    return next((kind for test, kind in kinds if test(mode)), "a special file")


def roster_from_bytes(
    data: bytes, source: str, form: str | None = None, *, base: Path | None = None
) -> list[Model]:
    """The models of a roster file's bytes; `form` is "json", "toml" or None to tell by content.

    Model paths in it are relative to `base` (the current folder if None).
    """
    try:
        text = data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise RosterError(
            f"{source}: not UTF-8 text ({error.reason} at byte {error.start})"
        ) from None
    if not text.strip():
        raise RosterError(f"{source}: empty: a roster is a JSON array or [[model]] tables")
    if form is None:
        form = "json" if _looks_like_json(text) else "toml"
    if form == "json":
        return _from_json(text, source, base)
    return _from_toml(text, source, base)


def _looks_like_json(text: str) -> bool:
    # A JSON roster opens an array of objects; a TOML one a [[model]] table.
    stripped = text.lstrip()
    if not stripped.startswith("["):
        return stripped.startswith("{")
    return stripped[1:].lstrip()[:1] in ("{", "]", "")


def _from_json(text: str, source: str, base: Path | None) -> list[Model]:
    try:
        document = json.loads(text)
    except json.JSONDecodeError as error:
        raise RosterError(
            f"{source}: bad JSON at line {error.lineno} column {error.colno}: {error.msg}"
        ) from None
    except RecursionError:  # the parser recurses into arrays and objects
        raise RosterError(f"{source}: bad JSON: nested too deeply") from None
    if not isinstance(document, list):
        raise RosterError(f"{source}: expected an array of models, found {_json_kind(document)}")
    return models_from_entries(document, source, base=base)


def _json_kind(value: object) -> str:
    if isinstance(value, dict):
        return "an object"
    return "a string" if isinstance(value, str) else "a single value"


def _from_toml(text: str, source: str, base: Path | None) -> list[Model]:
    if sys.version_info >= (3, 11):
        import tomllib
    else:
        try:
            import tomli as tomllib
        except ImportError:
            raise RosterError(
                f"{source}: reading a TOML roster on Python < 3.11 needs tomli (pip install tomli)"
            ) from None
    try:
        document = tomllib.loads(text)
    except tomllib.TOMLDecodeError as error:
        raise RosterError(f"{source}: bad TOML: {error}") from None
    except RecursionError:  # the parser recurses into arrays and tables
        raise RosterError(f"{source}: bad TOML: nested too deeply") from None
    tables = document.get("model")
    if tables is None:
        raise RosterError(f"{source}: no [[model]] tables")
    if not isinstance(tables, list):
        raise RosterError(f'{source}: "model" must be an array of tables, one [[model]] per model')
    return models_from_entries(tables, source, name_key="name", base=base)
