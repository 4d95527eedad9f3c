"""How the command line's answers reach the user: standard output closed,
full or gone, standard error missing, names that would drive a terminal, and
shortfalls too small for GiB. Every case runs the command as a user runs it."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys
from typing import Any, Callable

import garnel
import pytest
import sizing_files as sf
from package_support import EXAMPLE_ROSTER, GIB, garnel_cli

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


# Names that would forge a line or drive the terminal, and what each shows as.
ESCAPES = {
    "\n": r"\n",
    "\r": r"\r",
    "\x1b": r"\x1b",
    "\x85": r"\x85",
    "\u2028": r"\u2028",
    "\u202e": r"\u202e",
}
FORGED = "ok\n  REJECTED fake-model \u2014 needs 1.0 GiB, 0.0 GiB free, short by 1.0 GiB"
NAMES = ["a\nb", "cr\rx", "clear\x1b[2J", "nel\x85x", "ls\u2028x", "rlo\u202eabc", FORGED]


def shown(value: Any) -> Any:
    """`value` with every name in it as the command line should show it."""
    if isinstance(value, str):
        return "".join(ESCAPES.get(c, c) for c in value)
    if isinstance(value, list):
        return [shown(item) for item in value]
    if isinstance(value, dict):
        return {key: shown(item) for key, item in value.items()}
    return value


def roster_of(names: list[str]) -> list[dict[str, Any]]:
    return [{"model": name, "weightsBytes": 6 * GIB} for name in names]


# Each writes its files in a folder and gives the command's arguments, every
# name and text in them spelled by `spell`: as they are, or as shown.
Spell = Callable[[Any], Any]


def plan_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    (folder / "roster.json").write_text(json.dumps(roster_of(spell(NAMES))))
    return ["plan", "roster.json", "--card", "24GiB"]


def placement_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    # Three a card, the seventh on neither: each card's section and the last lines.
    (folder / "roster.json").write_text(json.dumps(roster_of(spell(NAMES))))
    return ["plan", "roster.json", "--card", "2x24GiB"]


def replay_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    names = spell(NAMES)
    # One model fails with a detail that itself looks like the next line.
    detail = spell("oom\x1b[31m\n  " + NAMES[1] + " " * 20 + "never probed")
    lines = [
        journal_line(op="observe", model=names[0], kind="load_started", detail="{}", now=5),
        journal_line(
            op="observe",
            model=names[0],
            kind="load_failed",
            detail=json.dumps({"detail": detail}),
            now=6,
        ),
        journal_line(
            op="observe", model=names[2], kind="probe_ok", detail='{"vramBytes":1}', now=7
        ),
    ]
    write_journal(folder / "card.journal", roster_of(names), lines)
    return ["replay", "card.journal", "--at", "7000"]


def warning_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    write_journal(folder / "card.journal", roster_of(["a"]), [], version=spell(FORGED))
    return ["replay", "card.journal"]


def error_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    roster = [{"model": spell(FORGED), "weightsBytes": 2.5}]
    (folder / "roster.json").write_text(json.dumps(roster))
    return ["plan", "roster.json", "--card", "24GiB"]


def usage_files(folder: pathlib.Path, spell: Spell) -> list[str]:
    return ["plan", "roster.json", "--card", "24GiB", spell("\x1b[2J\n")]


@pytest.mark.parametrize(
    "files", [plan_files, placement_files, replay_files, warning_files, error_files, usage_files]
)
def test_names_reach_the_terminal_escaped(
    tmp_path: pathlib.Path, files: Callable[[pathlib.Path, Spell], list[str]]
) -> None:
    # The command's output for these names is its output for files that
    # spell each name as its escape: the same lines, the same columns.
    runs = []
    for label, spell in (("raw", lambda value: value), ("shown", shown)):
        folder = tmp_path / label
        folder.mkdir()
        done = subprocess.run(
            [sys.executable, "-m", "garnel", *files(folder, spell)],
            capture_output=True,
            cwd=folder,
            env={**os.environ, "PYTHONIOENCODING": "utf-8"},
            check=False,
            encoding="utf-8",
        )
        runs.append((done.returncode, done.stdout, done.stderr))
    assert runs[0][1] + runs[0][2], "the command said nothing"
    assert runs[0] == runs[1]


@POSIX_ONLY
def test_file_names_reach_the_terminal_escaped(tmp_path: pathlib.Path) -> None:
    """A journal's path in replay --check's difference, and a model's folder,
    its config's model type and --name in size --explain."""
    name = "m\x1b[2J\n\u2028x"
    runs = []
    for spelled in (name, shown(name)):
        folder = tmp_path / spelled
        config = {**sf.LLAMA3_8B_CONFIG, "model_type": f"llama{spelled}"}
        sf.write_sharded(folder, [("w", "BF16", [4, 4])], 1, config)
        write_journal(
            tmp_path / f"{spelled}.journal",
            roster_of(["a"]),
            [journal_line(op="free_bytes", answer=1)],
        )
        args = [spelled, "--context", "0", "--explain", "--name", spelled]
        size = garnel_cli("size", *args, cwd=tmp_path)
        check = garnel_cli("replay", f"{spelled}.journal", "--check", cwd=tmp_path)
        runs.append((size.returncode, size.stderr, check.returncode, check.stdout, check.stderr))
        assert json.loads(size.stdout)[0]["model"] == spelled  # JSON is exact
    assert runs[0][1] and runs[0][3]
    assert runs[0] == runs[1]


SHORTFALLS = [
    (1, "1 byte"),
    (1000, "1000 bytes"),
    (2**20 - 1, "1048575 bytes"),
    (2**20, "1.0 MiB"),
    (GIB // 25, "41.0 MiB"),
    (GIB - 1, "1024.0 MiB"),
    (GIB, "1.0 GiB"),
    (5_798_205_842, "5.4 GiB"),
]


def test_a_shortfall_never_reads_as_none(tmp_path: pathlib.Path) -> None:
    # A 2 GiB card keeps 1 GiB usable; nothing fits, so each misses by its own.
    roster = [{"model": f"m{short}", "weightsBytes": GIB + short} for short, _ in SHORTFALLS]
    (tmp_path / "roster.json").write_text(json.dumps(roster))
    done = garnel_cli("plan", "roster.json", "--card", "2GiB", "--reserve-pct", "0", cwd=tmp_path)
    assert done.returncode == 1, done.stderr
    verdicts = {
        line.split()[0]: line.partition("short by ")[2]
        for line in done.stdout.splitlines()
        if "REJECTED, short by " in line
    }
    assert verdicts == {f"m{short}": text for short, text in SHORTFALLS}
