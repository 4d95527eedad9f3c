"""Rosters the package refuses whole: a name given twice, wherever a roster is
read or built, and roster files that are no files or too big to be rosters."""

from __future__ import annotations

import io
import json
import os
import pathlib
import subprocess
import sys

import _garnel
import garnel
import pytest
from garnel import Model, RosterError
from garnel._roster import _entries
from package_support import GIB, garnel_cli

TWICE = [("chat", 1, 2), ("embed", 3, 0), ("chat", 5, 6)]
DUPLICATE = "entry 2 (chat): the name of entry 0 again"


def as_toml(entries: list[tuple[str, int, int]]) -> str:
    return "".join(
        f'[[model]]\nname = "{n}"\nweights_bytes = {w}\nkv_bytes = {k}\n' for n, w, k in entries
    )


def as_json(entries: list[tuple[str, int, int]]) -> str:
    return json.dumps([{"model": n, "weightsBytes": w, "kvBytes": k} for n, w, k in entries])


@pytest.mark.parametrize(
    "roster",
    [
        [Model(*entry) for entry in TWICE],
        [{"model": n, "weightsBytes": w, "kvBytes": k} for n, w, k in TWICE],
        [{"model": n, "weights_bytes": w, "kv_bytes": k} for n, w, k in TWICE],
        [Model("chat", 1, 2), {"model": "embed", "weightsBytes": 3}, {"model": "chat", "weightsBytes": 5}],
    ],
    ids=["models", "camel", "snake", "mixed"],
)  # fmt: skip
@pytest.mark.parametrize("build", [garnel.plan, garnel.Fleet], ids=["plan", "Fleet"])
def test_a_name_given_twice_in_code_is_refused(roster: list[object], build: object) -> None:
    with pytest.raises(RosterError) as caught:
        build(24 * GIB, 10, roster)  # type: ignore[operator]
    assert str(caught.value) == f"could not read the roster: {DUPLICATE}"


@pytest.mark.parametrize(
    ("name", "text", "message"),
    [
        ("r.json", as_json(TWICE), f"r.json: {DUPLICATE}"),
        ("r.toml", as_toml(TWICE), f"r.toml: {DUPLICATE}"),
        # Every repeat is named, beside the other faults, each against the first.
        (
            "r.json",
            (
                '[{"model": "a", "weightsBytes": 1}, {"model": "b"}, {"model": "a", "weightsBytes": 2},'
                ' {"model": "a", "weightsBytes": 3}, {"model": "b", "weightsBytes": 4}]'
            ),
            (
                'r.json: entry 1 (b): no "weights_bytes" (or "weightsBytes"); '
                "entry 2 (a): the name of entry 0 again; entry 3 (a): the name of entry 0 again"
            ),
        ),
    ],
)
def test_a_name_given_twice_in_a_file_is_refused(
    tmp_path: pathlib.Path, name: str, text: str, message: str
) -> None:
    (tmp_path / name).write_text(text)
    with pytest.raises(RosterError) as caught:
        garnel.read_roster(tmp_path / name)
    assert str(caught.value) == str(tmp_path / message)
    done = garnel_cli("plan", name, "--card", "24GiB", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, "")
    assert done.stderr == f"garnel plan: error: {message}\n"


def test_json_text_stays_the_modules_to_judge() -> None:
    text = as_json(TWICE)
    assert garnel.plan(24 * GIB, 10, text).json == _garnel.plan(24 * GIB, 10, text)


def test_models_sized_from_paths_of_one_name_are_refused(tmp_path: pathlib.Path) -> None:
    pytest.importorskip("gguf")
    import sizing_files as sf

    keys = {"block_count": 2, "head_count": 4, "embedding_length": 256, "context_length": 2048}
    for folder in ("a", "b"):
        (tmp_path / folder).mkdir()
        sf.write_gguf(tmp_path / folder / "tiny.gguf", "llama", [("w", [256, 256], "Q8_0")], keys)
    roster = [
        {"path": "a/tiny.gguf"},
        {"path": "b/tiny.gguf", "model": "tiny-b"},
        {"path": "b/tiny.gguf"},
    ]
    (tmp_path / "r.json").write_text(json.dumps(roster))
    with pytest.raises(RosterError) as caught:
        garnel.read_roster(tmp_path / "r.json")
    assert str(caught.value).endswith("r.json: entry 2 (tiny): the name of entry 0 again")
    # garnel size makes such a roster itself from two folders' models of one name.
    done = garnel_cli("size", "a/tiny.gguf", "b/tiny.gguf", "--context", "0", cwd=tmp_path)
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    assert done.stderr == (
        "garnel size: error: a/tiny.gguf and b/tiny.gguf are both named 'tiny': "
        "size them one at a time, each with --name\n"
    )
    named = garnel_cli("size", "b/tiny.gguf", "--context", "0", "--name", "tiny-b", cwd=tmp_path)
    assert named.returncode == 0 and '"model": "tiny-b"' in named.stdout, named.stderr


needs_fifo = pytest.mark.skipif(not hasattr(os, "mkfifo"), reason="no named pipes here")
needs_dev_null = pytest.mark.skipif(not os.path.exists("/dev/null"), reason="no /dev/null")


@pytest.mark.parametrize(
    ("make", "kind"),
    [
        pytest.param(lambda path: os.mkfifo(path), "a pipe", marks=needs_fifo, id="fifo"),
        pytest.param(lambda path: os.symlink("/dev/null", path), "a character device", marks=needs_dev_null, id="device"),
        pytest.param(lambda path: os.mkdir(path), "a folder", id="folder"),
    ],
)  # fmt: skip
def test_a_roster_that_is_no_regular_file_is_refused_unread(
    tmp_path: pathlib.Path, make: object, kind: str
) -> None:
    make(tmp_path / "roster.json")  # type: ignore[operator]
    message = f"roster.json: {kind}, not a regular file: a roster is a JSON or TOML file"
    # A named pipe with no writer would block a plain open for ever: the
    # command runs in a process of its own, which the timeout ends if so.
    done = subprocess.run(
        [sys.executable, "-m", "garnel", "plan", "roster.json", "--card", "24GiB"],
        cwd=tmp_path,
        capture_output=True,
        text=True,
        check=False,
        timeout=60,
    )
    assert (done.returncode, done.stderr) == (2, f"garnel plan: error: {message}\n")
    with pytest.raises(RosterError, match=f"^{tmp_path / message}$"):
        garnel.read_roster(tmp_path / "roster.json")


@pytest.fixture
def small_limit(monkeypatch: pytest.MonkeyPatch) -> int:
    monkeypatch.setattr(_entries, "ROSTER_FILE_LIMIT", 100)
    return 100


def test_a_roster_past_the_limit_is_refused(tmp_path: pathlib.Path, small_limit: int) -> None:
    fits = '[{"model": "a", "weightsBytes": 1}]'.ljust(small_limit)
    (tmp_path / "r.json").write_text(fits)
    assert garnel.read_roster(tmp_path / "r.json") == [Model("a", 1)]
    assert garnel._roster.read_roster_stream(io.BytesIO(fits.encode()), "<stdin>") == [
        Model("a", 1)
    ]
    (tmp_path / "r.json").write_text(fits + " ")
    with pytest.raises(RosterError, match=r"r\.json: more than 100 bytes, too big for a roster$"):
        garnel.read_roster(tmp_path / "r.json")
    with pytest.raises(RosterError, match=r"^<stdin>: more than 100 bytes, too big for a roster$"):
        garnel._roster.read_roster_stream(io.BytesIO(fits.encode() + b" "), "<stdin>")
    # A file whose size says nothing (as /proc's say 0) is held to the limit as it is read.
    if os.path.exists("/proc/self/status"):
        with pytest.raises(RosterError, match="status: more than 100 bytes"):
            garnel.read_roster("/proc/self/status")


def test_standard_input_past_the_limit_is_refused(tmp_path: pathlib.Path) -> None:
    # A sparse file one byte past the limit: zeros, which the reader never has to parse.
    big = tmp_path / "big"
    with open(big, "wb") as file:
        file.truncate(64 * 2**20 + 1)
    with open(big, "rb") as stdin:
        done = subprocess.run(
            [sys.executable, "-m", "garnel", "plan", "-", "--card", "24GiB"],
            stdin=stdin,
            capture_output=True,
            text=True,
            check=False,
            timeout=120,
        )
    assert (done.returncode, done.stderr) == (
        2,
        "garnel plan: error: <stdin>: more than 67,108,864 bytes, too big for a roster\n",
    )
