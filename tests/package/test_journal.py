"""A journal written by a host loop replays to the same card; damage to it is
found and named."""

from __future__ import annotations

import gc
import io
import json
import pathlib
import random
import re
import sys
import threading
import warnings
from typing import Any

import _garnel
import garnel
import pytest
from garnel import JournalError, Model
from package_support import GIB, garnel_cli

ROSTER = [Model(f"m{i}", (i + 1) * GIB, GIB) for i in range(4)] + [Model("big", 90 * GIB)]
NAMES = [model.name for model in ROSTER] + ["ghost"]


def host_step(fleet: garnel.Fleet, rng: random.Random, model: str) -> None:
    """One thing a host does: a change (possibly refused) or a query."""
    pick = rng.randrange(10)
    if pick == 0:
        fleet.load_started(model)
    elif pick == 1:
        fleet.probe_ok(model, rng.randrange(4 * GIB))
    elif pick == 2:
        fleet.probe_failed(model, gpu_present=rng.random() < 0.7, detail="timeout")
    elif pick == 3:
        fleet.process_exited(model, rng.choice([None, -9]))
    elif pick == 4:
        fleet.load_failed(model, rng.choice([None, 'oom "cuda"']))
    elif pick == 5:
        fleet.set_endpoint(model, f"http://{model}:{rng.randrange(9000, 9100)}")
    elif pick == 6:
        try:
            fleet.observe(model, "probe-ok", "{}")  # refused: it leaves no line
        except ValueError:
            pass
        else:
            raise AssertionError("an unknown kind was taken")
    elif pick == 7:
        fleet.route(model)
    elif pick == 8:
        fleet.report()
    else:
        fleet.next_to_load(), fleet.free_bytes(), fleet.committed_bytes()


class Ticking:
    """A clock that moves on by a few ms at every reading, for any thread."""

    def __init__(self) -> None:
        self.now, self.lock = 1_000_000, threading.Lock()

    def __call__(self) -> int:
        with self.lock:
            self.now += 7
            return self.now


def test_threads_sharing_a_journaled_fleet_replay_to_every_answer(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "card.journal"
    clock = Ticking()
    with garnel.Fleet(
        80 * GIB, 10, ROSTER, clock=clock, journal=path, journal_queries=True
    ) as fleet:
        failures: list[BaseException] = []

        def host(seed: int) -> None:
            rng = random.Random(seed)
            try:
                for _ in range(400):
                    host_step(fleet, rng, rng.choice(NAMES))
            except BaseException as failure:  # noqa: BLE001 - handed to the main thread
                failures.append(failure)

        threads = [threading.Thread(target=host, args=(seed,)) for seed in range(4)]
        switch_interval = sys.getswitchinterval()
        sys.setswitchinterval(1e-6)  # threads take turns between any two bytecodes
        try:
            for thread in threads:
                thread.start()
            for thread in threads:
                thread.join()
        finally:
            sys.setswitchinterval(switch_interval)
        assert not failures
        final_now = clock.now
        final = fleet.report(final_now)

    lines = path.read_text().splitlines()
    assert len(lines) > 1000 and all(json.loads(line) for line in lines)
    # Every recorded answer, asked again at its place in the replay, is the same.
    done = garnel_cli("replay", str(path), "--check")
    assert done.returncode == 0 and done.stderr == "", done.stdout + done.stderr
    assert replayed_report(path, final_now) == final


def replayed_report(path: pathlib.Path, now: int, **options: int) -> str:
    return garnel.replay(path, **options).report(now)


def journaled_day(journal: Any) -> tuple[garnel.Fleet, list[tuple[int, str, str]]]:
    """A single host loop on a clock that only moves forward; the report and a
    route answer after every step."""
    now = [0]
    fleet = garnel.Fleet(24 * GIB, 10, ROSTER, clock=lambda: now[0], journal=journal)
    rng = random.Random(7)
    seen = []
    for _ in range(120):
        now[0] += rng.choice([1, 500, 1000, 60_000])
        host_step(fleet, rng, rng.choice(NAMES[:3]))
        seen.append((now[0], fleet.report(), fleet.raw.route("m0", now[0])))
    return fleet, seen


def test_replay_until_gives_the_card_as_it_stood_at_every_step(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "day.journal"
    fleet, seen = journaled_day(path)
    fleet.close()
    for now, report, route in seen:
        then = garnel.replay(path, until=now)
        assert then.report() == report  # its clock stands at `until`
        assert then.raw.route("m0", now) == route


def test_a_file_given_stays_open_and_a_path_holds_several_lives(tmp_path: pathlib.Path) -> None:
    text = io.StringIO()
    journaled_day(text)[0].close()
    assert not text.closed
    path = tmp_path / "lives.journal"
    path.write_text(text.getvalue())
    with garnel.Fleet(8 * GIB, 0, "[]", journal=path) as second:
        second.observe("nobody", "stop", None, 5)
    with pytest.raises(ValueError, match="closed"):
        second.stop("nobody", 6)
    assert garnel.replay(path).report(0) == _garnel.Fleet(8 * GIB, 0, "[]").report(0)
    first = garnel.replay(io.StringIO(text.getvalue()))
    assert garnel.replay(path, life=0).report(10**9) == first.report(10**9)
    with pytest.raises(JournalError, match="holds 2 lives"):
        garnel.replay(path, life=2)


def test_a_line_cut_by_a_crash_is_dropped_with_a_warning(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "cut.journal"
    fleet, _ = journaled_day(path)
    fleet.close()
    whole = path.read_text()
    last_start = whole.rstrip("\n").rfind("\n") + 1
    path.write_text(whole[: last_start + 20])
    expected = garnel.replay(io.StringIO(whole[:last_start])).report(10**9)
    line_number = whole.count("\n")
    with pytest.warns(
        UserWarning, match=rf"cut\.journal:{line_number}: the last line is cut short"
    ):
        assert garnel.replay(path).report(10**9) == expected


@pytest.mark.parametrize(
    ("damage", "message"),
    [
        (lambda line: line[:-5], "not JSON"),
        (lambda line: line.replace('"op":"observe"', '"op":"observed"'), "unknown op 'observed'"),
        (lambda line: line.replace('"now":', '"then":'), 'without "now"'),
        (lambda line: line.replace('"kind":"', '"kind":"x'), "the fleet refused this line"),
        (lambda line: "[1, 2]", "not a JSON object"),
    ],
)
def test_a_bad_line_in_the_middle_is_named(
    tmp_path: pathlib.Path, damage: Any, message: str
) -> None:
    path = tmp_path / "bad.journal"
    fleet, _ = journaled_day(path)
    fleet.close()
    lines = path.read_text().splitlines(keepends=True)
    number = next(n for n, line in enumerate(lines, 1) if n > 10 and '"op":"observe"' in line)
    lines[number - 1] = damage(lines[number - 1].rstrip("\n")) + "\n"
    path.write_text("".join(lines))
    if message == "not JSON":  # as a crash leaves a line: it ends its life, with a warning
        with pytest.warns(UserWarning) as caught:
            garnel.replay(path)
        assert re.search(rf"bad\.journal:{number}: .* cut short \(not JSON", str(caught[0].message))
        return
    with pytest.raises(JournalError, match=rf"bad\.journal:{number}: .*{message}"):
        garnel.replay(path)


def test_another_version_warns() -> None:
    text = io.StringIO()
    garnel.Fleet(8 * GIB, 0, "[]", journal=text)
    older = text.getvalue().replace(f'"garnel":"{garnel.__version__}"', '"garnel":"0.1.0"')
    with pytest.warns(UserWarning, match="written by garnel 0.1.0"):
        garnel.replay(io.StringIO(older))


def test_check_finds_a_planted_difference(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "planted.journal"
    clock = Ticking()
    with garnel.Fleet(
        24 * GIB, 10, ROSTER, clock=clock, journal=path, journal_queries=True
    ) as fleet:
        rng = random.Random(3)
        for _ in range(200):
            host_step(fleet, rng, rng.choice(NAMES))
    lines = path.read_text().splitlines(keepends=True)
    number = max(n for n, line in enumerate(lines, 1) if '"op":"free_bytes"' in line)
    lines[number - 1] = lines[number - 1].replace('"answer":', '"answer":1')
    path.write_text("".join(lines))
    done = garnel_cli("replay", str(path), "--check")
    assert done.returncode == 1
    assert done.stdout.startswith(f"{path}:{number}: free_bytes answered"), done.stdout


def test_a_card_restarted_after_a_crash_starts_a_readable_life(tmp_path: pathlib.Path) -> None:
    path = tmp_path / "restart.journal"
    fleet, _ = journaled_day(path)
    fleet.close()
    whole = path.read_text()
    cut_at = whole.rstrip("\n").rfind("\n") + 20
    path.write_text(whole[:cut_at])  # the host died writing its last line
    with garnel.Fleet(24 * GIB, 10, ROSTER, clock=lambda: 5, journal=path) as second:
        second.load_started("m0")
    restarted = _garnel.Fleet(24 * GIB, 10, json.dumps([model.entry() for model in ROSTER]))
    restarted.observe("m0", "load_started", "{}", 5)
    with pytest.warns(UserWarning, match=r"restart\.journal:\d+: the last line .* cut short"):
        assert garnel.replay(path).report(9) == restarted.report(9)
    with pytest.warns(UserWarning, match="cut short"):
        first = garnel.replay(path, life=0).report(10**9)
    assert first == garnel.replay(io.StringIO(whole[: whole.rfind("\n", 0, cut_at) + 1])).report(
        10**9
    )


TOO_BIG = str(2**64)


@pytest.mark.parametrize(
    ("change", "args", "message"),
    [
        (("fleet", '"now":0', f'"now":{TOO_BIG}'), [], r'j\.journal:1: fleet line whose "now"'),
        (("set_endpoint", '"now":2', f'"now":{TOO_BIG}'), [], r'j\.journal:3: .*"now"'),
        (("route", '"now":3', f'"now":{TOO_BIG}'), ["--check"], r'j\.journal:4: .*"now"'),
        (("route", '"model":"m0"', '"model":"\\ud800"'), ["--check"], r"j\.journal:4: "),
        (None, ["--at", TOO_BIG], "argument --at: '18446744073709551616' is not a time"),
    ],
)
def test_replay_refuses_out_of_range_numbers_in_one_line(
    tmp_path: pathlib.Path, change: tuple[str, str, str] | None, args: list[str], message: str
) -> None:
    text = io.StringIO()
    now = iter(range(10))
    fleet = garnel.Fleet(
        8 * GIB, 0, ROSTER, clock=lambda: next(now), journal=text, journal_queries=True
    )
    fleet.load_started("m0")
    fleet.set_endpoint("m0", "http://m0")
    fleet.route("m0")
    lines = text.getvalue().splitlines(keepends=True)
    if change is not None:
        op, old, new = change
        number = next(n for n, line in enumerate(lines) if f'"op":"{op}"' in line)
        lines[number] = lines[number].replace(old, new)
        del lines[number + 1 :]  # its time is the one the card is reported at
    (tmp_path / "j.journal").write_text("".join(lines))
    done = garnel_cli("replay", "j.journal", *args, cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == "", done.stdout + done.stderr
    assert done.stderr.startswith("garnel replay: error: ") and done.stderr.count("\n") == 1
    assert re.search(message, done.stderr), done.stderr


class Reading:
    """A clock reading that is no int but has __index__, as numpy's integers do."""

    def __init__(self, ms: int) -> None:
        self.ms = ms

    def __index__(self) -> int:
        return self.ms


def broken_clock() -> int:
    raise RuntimeError("the clock is gone")


@pytest.mark.parametrize("clock", [lambda: Reading(5), broken_clock, lambda: -1])
def test_a_journaled_fleet_takes_the_clocks_an_unjournaled_one_takes(
    tmp_path: pathlib.Path, clock: Any
) -> None:
    path = tmp_path / "clock.journal"
    try:
        unjournaled: object = garnel.Fleet(8 * GIB, 0, ROSTER, clock=clock).report()
    except (RuntimeError, OverflowError) as error:
        unjournaled = type(error)
    with warnings.catch_warnings(record=True) as caught:
        warnings.simplefilter("always")
        try:
            with garnel.Fleet(8 * GIB, 0, ROSTER, clock=clock, journal=path) as fleet:
                journaled: object = fleet.report()
        except (RuntimeError, OverflowError) as error:
            journaled = type(error)  # not the error: its frames would hold the journal
        gc.collect()
    assert journaled == unjournaled
    assert not [w for w in caught if w.category is ResourceWarning]  # the journal was closed
    if path.read_text():
        garnel.replay(path)  # whatever was written replays


@pytest.mark.parametrize(
    ("now", "error"), [(-1, OverflowError), (2**64, OverflowError), (1.5, TypeError)]
)
@pytest.mark.parametrize("journaled", [False, True])
def test_a_bad_time_for_set_endpoint_changes_nothing(
    now: Any, error: type, journaled: bool
) -> None:
    text = io.StringIO()
    fleet = garnel.Fleet(8 * GIB, 0, ROSTER, clock=lambda: 1, journal=text if journaled else None)
    fleet.probe_ok("m0", GIB)
    with pytest.raises(error):
        fleet.set_endpoint("m0", "http://m0", now)
    assert fleet.route("m0").endpoint is None
    if journaled:
        assert garnel.replay(io.StringIO(text.getvalue())).report(2) == fleet.report(2)


def test_replay_says_how_many_lives_a_journal_of_several_holds(tmp_path: pathlib.Path) -> None:
    def life(now: int, model: str) -> None:
        journal = tmp_path / "card.journal"
        with garnel.Fleet(
            24 * GIB, 10, ROSTER, clock=lambda: now, journal=journal, journal_queries=True
        ) as fleet:
            fleet.load_started(model)
            fleet.route(model)

    def replayed(*args: str) -> str:
        done = garnel_cli("replay", "card.journal", *args, cwd=tmp_path)
        assert done.returncode == 0 and done.stderr == "", done.stderr
        return done.stdout

    life(5, "m0")
    alone = {args: replayed(*args) for args in [(), ("--check",)]}
    assert alone[()].startswith("at 5 ms (through line 2):\n")  # one life: as it always read
    life(9, "m1")
    header = "card.journal holds 2 lives (0 to 1); life {}:\n"
    for args, text in alone.items():
        assert replayed("--life", "0", *args) == header.format(0) + text
    assert replayed().startswith(header.format(1) + "at 9 ms (through line 5):\n")
