"""How the command line's answers reach the user: standard output closed,
full or gone, and standard error missing. Every case runs the command as a
user runs it."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from typing import Any

import garnel
import pytest
import sizing_files as sf
from package_support import EXAMPLE_ROSTER, GIB

POSIX_ONLY = pytest.mark.skipif(sys.platform == "win32", reason="POSIX file descriptors")


def journal_line(**fields: object) -> str:
    return json.dumps(fields) + "\n"


def write_journal(
    path: pathlib.Path, roster: list[dict[str, Any]], lines: list[str], version: str | None = None
) -> pathlib.Path:
    """A journal as a Fleet writes one: its construction line, then `lines`."""
    construction = journal_line(
        op="fleet",
        garnel=garnel.__version__ if version is None else version,
        total_bytes=24 * GIB,
        reserve_pct=10,
        declared_json=json.dumps(roster),
        now=0,
    )
    path.write_text(construction + "".join(lines), encoding="utf-8")
    return path


@pytest.fixture(scope="module")
def answers(tmp_path_factory: pytest.TempPathFactory) -> dict[str, list[str]]:
    """Each command with a small answer to write, and two with none: their arguments."""
    root = tmp_path_factory.mktemp("answers")
    sf.write_sparse_safetensors(root / "tiny.safetensors", [("w", "F16", [4, 4])])
    journal = write_journal(
        root / "card.journal",
        [{"model": "a", "weightsBytes": GIB}],
        [journal_line(op="committed_bytes", answer=0)],
    )
    roster = str(EXAMPLE_ROSTER)
    return {
        "plan": ["plan", roster, "--card", "24GiB"],
        "plan --json": ["plan", roster, "--card", "24GiB", "--json"],
        "replay": ["replay", str(journal)],
        "replay --check": ["replay", str(journal), "--check"],
        "size": ["size", str(root / "tiny.safetensors"), "--context", "0"],
        "size, missing": ["size", str(root / "missing")],
        "replay, missing": ["replay", str(root / "missing")],
    }


def run_into(stdout: str, args: list[str]) -> subprocess.CompletedProcess[str]:
    """The command with its standard output closed, full, read-only or a pipe nobody reads."""
    env = {key: value for key, value in os.environ.items() if key != "PYTHONUNBUFFERED"}
    if stdout == "full, at the write":
        env["PYTHONUNBUFFERED"] = "1"
    if stdout == "a pipe nobody reads":
        read_end, target = os.pipe()
        os.close(read_end)
    else:
        path = os.devnull if stdout in ("closed", "read-only") else "/dev/full"
        target = os.open(path, os.O_RDONLY if stdout == "read-only" else os.O_WRONLY)
    try:
        return subprocess.run(
            [sys.executable, "-m", "garnel", *args],
            stdout=target,
            stderr=subprocess.PIPE,
            # `>&-`: Python starts with sys.stdout None, and print() writes nowhere.
            preexec_fn=(lambda: os.close(1)) if stdout == "closed" else None,
            env=env,
            text=True,
            check=False,
            timeout=120,
        )
    finally:
        os.close(target)


COMMANDS = ["plan", "plan --json", "replay", "replay --check", "size"]


@POSIX_ONLY
@pytest.mark.skipif(not os.path.exists("/dev/full"), reason="no /dev/full")
@pytest.mark.parametrize(
    ("stdout", "why"),
    [
        ("closed", "standard output is closed"),
        # Buffered, /dev/full fails at the flush; unbuffered, at the write.
        ("full, at the flush", "No space left on device"),
        ("full, at the write", "No space left on device"),
        ("read-only", "Bad file descriptor"),
    ],
)
@pytest.mark.parametrize("command", COMMANDS)
def test_an_answer_standard_output_cannot_take_is_one_line_and_status_2(
    answers: dict[str, list[str]], command: str, stdout: str, why: str
) -> None:
    done = run_into(stdout, answers[command])
    prog = answers[command][0]
    assert (done.returncode, done.stderr) == (
        2,
        f"garnel {prog}: error: cannot write the answer: {why}\n",
    )


@POSIX_ONLY
@pytest.mark.parametrize("command", COMMANDS)
def test_a_reader_that_went_away_still_ends_it_quietly(
    answers: dict[str, list[str]], command: str
) -> None:
    done = run_into("a pipe nobody reads", answers[command])
    assert (done.returncode, done.stderr) == (1, "")


def run_without(fds: tuple[int, ...], args: list[str]) -> subprocess.CompletedProcess[str]:
    """The command started with these of its standard streams closed."""

    def close() -> None:
        for fd in fds:
            os.close(fd)

    return subprocess.run(
        [sys.executable, "-m", "garnel", *args],
        capture_output=True,
        preexec_fn=close,
        text=True,
        check=False,
        timeout=120,
    )


@POSIX_ONLY
@pytest.mark.parametrize(
    ("fds", "command"),
    [((2,), "size, missing"), ((2,), "replay, missing")]
    + [((1, 2), command) for command in ("plan", "replay", "size")],
)
def test_without_standard_error_a_failure_still_exits_2(
    answers: dict[str, list[str]], fds: tuple[int, ...], command: str
) -> None:
    done = run_without(fds, answers[command])
    assert (done.returncode, done.stdout) == (2, "")


@POSIX_ONLY
def test_without_standard_error_size_explains_nowhere(answers: dict[str, list[str]]) -> None:
    done = run_without((2,), [*answers["size"], "--explain"])
    assert done.returncode == 0
    assert json.loads(done.stdout) == [{"model": "tiny", "weightsBytes": 32, "kvBytes": 0}]
