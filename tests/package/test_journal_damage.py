"""Replaying a journal that crashes left damaged reads every whole line up to
the damage and every later life; what is no journal file is refused at once."""

from __future__ import annotations

import io
import os
import pathlib
import re
import subprocess
import sys
import warnings

import garnel
import pytest
from garnel import JournalError, Model
from package_support import GIB, garnel_cli

ROSTER = [Model(f"m{i}", GIB) for i in range(3)]
LATE = 10**7


def life(first_model: int, changes: int) -> list[str]:
    """The lines of one life: its construction, then `changes` changes."""
    text = io.StringIO()
    clock = iter(range(1000 * first_model, 10**9, 100))
    fleet = garnel.Fleet(8 * GIB, 0, ROSTER, clock=lambda: next(clock), journal=text)
    for step in range(changes):
        model = f"m{(first_model + step) % 3}"
        if step % 3 == 0:
            fleet.load_started(model)
        elif step % 3 == 1:
            fleet.probe_ok(model, GIB)
        else:
            fleet.set_endpoint(model, f"http://{model}")
    return text.getvalue().splitlines(keepends=True)


def cut(line: str) -> str:
    """A line as a crash leaves it: its first half, and the line feed the
    restarted host writes before its own first line."""
    return line[: len(line) // 2] + "\n"


A, B, C = life(0, 6), life(1, 4), life(2, 3)

# Each case: the file's lines, the lines of each whole life it holds (what
# replaying that life must match), and the warnings it gives, in order.
DAMAGE = {
    "a cut line, then a cut construction line, then a life": (
        [*A[:5], cut(A[5]), cut(B[0]), *C],
        [A[:5], C],
        [r":6: the last line of a life is cut short", r":7: 1 line after a line cut short"],
    ),
    "whole lines after a cut line": (
        [*A[:3], cut(A[3]), *A[4:], *C],
        [A[:3], C],
        [r":4: the last line of a life is cut short", r":5: 3 lines after a line cut short"],
    ),
    "whole lines after a cut line to the end": (
        [*A[:3], cut(A[3]), *A[4:]],
        [A[:3]],
        [r":4: the last line of a life is cut short", r":5: 3 lines after .* end of the file"],
    ),
    "a cut first construction line": (
        [cut(A[0]), *C],
        [C],
        [r":1: a line cut short .* before any life"],
    ),
    "a cut last line": (
        [*A, *B[:-1], B[-1][:-9]],
        [A, B[:-1]],
        [r":12: the last line is cut short"],
    ),
}


@pytest.mark.parametrize(("lines", "lives", "warned"), DAMAGE.values(), ids=DAMAGE.keys())
def test_every_whole_life_replays_after_damage(
    tmp_path: pathlib.Path, lines: list[str], lives: list[list[str]], warned: list[str]
) -> None:
    path = tmp_path / "damaged.journal"
    path.write_text("".join(lines))
    for number, whole in enumerate([*lives, None]):
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            if whole is None:
                with pytest.raises(JournalError, match=f"holds {len(lives)} li"):
                    garnel.replay(path, life=number)
                continue
            replayed = garnel.replay(path, life=number).report(LATE)
        assert replayed == garnel.replay(io.StringIO("".join(whole))).report(LATE)
        messages = [str(warning.message) for warning in caught]
        assert len(messages) == len(warned), messages
        for message, pattern in zip(messages, warned):
            assert re.search(rf"damaged\.journal{pattern}", message), message
            assert " at at " not in message
    # The last life is the one replayed by default, and --life counts whole lives.
    with warnings.catch_warnings():
        warnings.simplefilter("ignore")
        assert garnel.replay(path).report(LATE) == replayed
    done = garnel_cli("replay", str(path), "--life", str(len(lives) - 1), "--at", str(LATE))
    assert done.returncode == 0, done.stderr
    assert done.stdout.endswith(replayed)
    assert done.stderr.count("warning:") == len(warned)


def test_a_wrong_line_after_damage_is_still_named(tmp_path: pathlib.Path) -> None:
    wrong = C[1].replace('"op":"observe"', '"op":"observed"')
    path = tmp_path / "wrong.journal"
    path.write_text("".join([*A[:3], cut(A[3]), *C[:1], wrong]))
    with (
        pytest.warns(UserWarning, match="cut short"),
        pytest.raises(JournalError, match=r"wrong\.journal:6: unknown op 'observed'"),
    ):
        garnel.replay(path)


def test_one_reading_gives_every_life_and_time_its_own_card(tmp_path: pathlib.Path) -> None:
    refused = A[2].replace('"kind":"probe_ok"', '"kind":"probe-ok"')
    path = tmp_path / "lives.journal"
    path.write_text("".join([A[0], A[1], refused, *A[3:], *C]))
    assert garnel.replay(path).report(LATE) == garnel.replay(io.StringIO("".join(C))).report(LATE)
    with pytest.raises(JournalError, match=r"lives\.journal:3: the fleet refused this line"):
        garnel.replay(path, life=0)
    before = garnel.replay(path, life=0, until=150).report(LATE)
    assert before == garnel.replay(io.StringIO("".join(A[:2]))).report(LATE)
    times = [2000, 2150, LATE]
    done = garnel_cli("replay", str(path), "--life", "1", *[f"--at={t}" for t in times])
    assert done.returncode == 0 and done.stderr == "", done.stderr
    reports = [garnel.replay(path, life=1, until=t).report() for t in times]
    through = [1, 2, len(C)]
    assert done.stdout == f"{path} holds 2 lives (0 to 1); life 1:\n" + "\n".join(
        f"at {t} ms (through line {len(A) + n}):\n{report}"
        for t, n, report in zip(times, through, reports)
    )


# Not a journal file.

posix_only = pytest.mark.skipif(sys.platform == "win32", reason="POSIX pipes and devices")


def small_memory() -> None:
    import resource

    resource.setrlimit(resource.RLIMIT_AS, (2 * GIB, 2 * GIB))


@posix_only
@pytest.mark.parametrize("kind", ["fifo", "device", "directory"])
def test_what_is_no_regular_file_is_refused_at_once(tmp_path: pathlib.Path, kind: str) -> None:
    if kind == "fifo":
        path = str(tmp_path / "pipe")
        os.mkfifo(path)  # no writer: reading it would wait forever
    elif kind == "device":
        path = "/dev/zero"  # endless: reading it whole would fill memory
    else:
        path = str(tmp_path)
    env = dict(os.environ, PYTHONPATH="")
    try:
        done = subprocess.run(
            [sys.executable, "-m", "garnel", "replay", path],
            capture_output=True,
            text=True,
            check=False,
            env=env,
            timeout=60,
            preexec_fn=small_memory,
        )
    except subprocess.TimeoutExpired:
        pytest.fail(f"garnel replay {path} hung")
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr == f"garnel replay: error: {path}: not a regular file, not a journal\n"
    with pytest.raises(JournalError, match="not a regular file"):
        garnel.replay(path)  # only once the command has shown it neither waits nor fills memory
