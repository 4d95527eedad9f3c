"""Roster files and entries, Model's checks, and card sizes on the command line."""

from __future__ import annotations

import math
import pathlib

import garnel
import pytest
from garnel import Model, RosterError
from garnel._cli._common import parse_size
from garnel._roster import byte_count
from package_support import EXAMPLE_ROSTER, GIB

U64_MAX = 2**64 - 1
EXAMPLE_MODELS = [
    Model("chat-8b", 15 * GIB, 2 * GIB),
    Model("coder-14b", 9 * GIB, GIB),
    Model("embed-small", GIB),
    Model("rerank-base", 768 * 2**20, 256 * 2**20),
]
EXAMPLE_TOML = "\n".join(
    f"[[model]]\nname = {m.name!r}\nweights_bytes = {m.weights_bytes}\nkv_bytes = {m.kv_bytes}\n"
    for m in EXAMPLE_MODELS
).replace("'", '"')


def test_the_shipped_roster_reads_alike_from_json_and_toml(tmp_path: pathlib.Path) -> None:
    assert garnel.read_roster(EXAMPLE_ROSTER) == EXAMPLE_MODELS
    (tmp_path / "roster.toml").write_text(EXAMPLE_TOML)
    assert garnel.read_roster(tmp_path / "roster.toml") == EXAMPLE_MODELS
    # Without a telling suffix the content decides.
    (tmp_path / "roster").write_text(EXAMPLE_TOML)
    (tmp_path / "roster.txt").write_text(EXAMPLE_ROSTER.read_text())
    assert garnel.read_roster(tmp_path / "roster") == garnel.read_roster(tmp_path / "roster.txt")


@pytest.mark.parametrize(
    ("name", "text", "message"),
    [
        ("r.toml", 'title = "no models"\n', "r.toml: no [[model]] tables"),
        ("r.toml", " \n", "r.toml: empty: a roster is"),
        ("r", "\ufeff", "r: empty: a roster is"),
        ("r.json", '[5, {"model": "y"}]', "entry 0: is 'int', not a model entry; entry 1 (y): "),
        ("r.toml", "model = 5\n", 'r.toml: "model" must be an array of tables'),
        ("r.toml", "[[model]]\nweights_bytes = 1\n", 'r.toml: entry 0: missing "name"'),
        ("r.json", '[{"model": "x", "path": "no-such-model"}]', "r.json: entry 0 (x): "),
        ("r.json", '[{"model": "", "weightsBytes": 1}]', 'entry 0: "model" is empty'),
        ("r.json", b"\xff[]", "r.json: not UTF-8 text"),
        ("r.json", '[{"model": "a\\udc80", "weightsBytes": 1}]', 'entry 0 (a\\udc80): "model" is'),
    ],
)
def test_a_bad_file_is_one_message(
    tmp_path: pathlib.Path, name: str, text: str | bytes, message: str
) -> None:
    path = tmp_path / name
    path.write_bytes(text if isinstance(text, bytes) else text.encode())
    with pytest.raises(RosterError) as caught:
        garnel.read_roster(path)
    assert message in str(caught.value)


@pytest.mark.parametrize(
    ("value", "whole"),
    [
        (2.0, 2),
        (-0.0, 0),
        (1e20, U64_MAX),
        (2**70, U64_MAX),
        (2.5, None),
        (-1, None),
        (True, None),
        ("8", None),
        (math.nan, None),
    ],
)
def test_byte_counts_are_read_as_the_module_reads_them(value: object, whole: int | None) -> None:
    assert byte_count(value) == whole


@pytest.mark.parametrize(
    ("args", "error"),
    [
        (("", 1), ValueError),
        (("a", 2**64), ValueError),
        (("a", True), TypeError),
        ((b"a", 1), TypeError),
        (("a", 1, 0, -1), ValueError),
        (("a", 1, 0, True), TypeError),
        (("a", 1, 0, "1"), TypeError),
    ],
)
def test_a_model_holds_a_name_and_64_bit_byte_counts(args: tuple[object, ...], error: type) -> None:
    with pytest.raises(error):
        Model(*args)  # type: ignore[arg-type]


def test_needed_bytes_saturate_and_a_mapping_is_no_roster() -> None:
    assert Model("a", U64_MAX, 5).needed_bytes == U64_MAX
    with pytest.raises(TypeError, match="not dict"):
        garnel.plan(24 * GIB, 10, {"model": "a", "weightsBytes": 1})  # type: ignore[arg-type]


@pytest.mark.parametrize(
    ("text", "size"),
    [
        ("24GiB", 24 * GIB),
        ("81920MiB", 80 * GIB),
        ("80GB", 80 * 10**9),
        ("1.5GiB", 3 * 2**29),
        ("0.5KB", 500),
    ],
)
def test_card_sizes(text: str, size: int) -> None:
    assert parse_size(text) == size


@pytest.mark.parametrize("text", ["24 GiB/s", "1.5B", "-1GiB", "GiB", "1e3", ""])
def test_what_is_no_size_is_refused_saying_so(text: str) -> None:
    with pytest.raises(ValueError, match="is not a"):
        garnel.parse_size(text)
