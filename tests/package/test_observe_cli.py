"""The changes `garnel replay --plot` draws, from a day whose every one is known, and a
plot refused; `garnel status` where no serve answers; Fleet.statuses cutting a report
whose names and details hold line feeds."""

from __future__ import annotations

import pathlib

import garnel
import pytest
from garnel._fleet import Change, read_day
from package_support import GIB, garnel_cli

ROSTER = [
    garnel.Model("a", 4 * GIB),
    garnel.Model("b", 30 * GIB),  # never fits
    garnel.Model("c", GIB),
    garnel.Model("d", GIB),
]


@pytest.fixture
def journal(tmp_path: pathlib.Path) -> pathlib.Path:
    """A day: a loads, is killed and comes back holding more; c fails to load; d is
    resident without an endpoint, then stopped."""
    path = tmp_path / "card.journal"
    clock = [0]
    with garnel.Fleet(24 * GIB, 10, ROSTER, journal=path, clock=lambda: clock[0]) as fleet:
        for now, call in [
            (0, lambda: fleet.load_started("a")),
            (0, lambda: fleet.set_endpoint("a", "http://127.0.0.1:9001")),
            (2000, lambda: fleet.probe_ok("a", 4 * GIB)),
            (3000, lambda: fleet.load_started("c")),
            (4000, lambda: fleet.load_failed("c", "no such file")),
            (5000, lambda: fleet.load_started("d")),
            (5500, lambda: fleet.probe_ok("d", GIB)),
            (6000, lambda: fleet.probe_ok("a", 4 * GIB)),  # nothing changes
            (7000, lambda: fleet.process_exited("a", -9)),
            (9000, lambda: fleet.load_started("a")),
            (10000, lambda: fleet.probe_ok("a", 5 * GIB)),
            (12000, lambda: fleet.stop("d")),
        ]:
            clock[0] = now
            call()
    return path


def test_a_day_holds_each_change(journal: pathlib.Path) -> None:
    day = read_day(journal)
    assert (day.names, day.start, day.end) == (["a", "b", "c", "d"], 0, 12000)
    assert day.initial == {"a": "idle", "b": "not_admitted", "c": "idle", "d": "idle"}
    assert day.usable_bytes == garnel.plan(24 * GIB, 10, ROSTER).usable_bytes
    assert day.changes == [
        Change(0, "a", "loading", 0, ""),
        Change(2000, "a", "resident", 4 * GIB, ""),
        Change(3000, "c", "loading", 0, ""),
        Change(4000, "c", "failed", 0, "load_failed"),
        Change(5000, "d", "loading", 0, ""),
        Change(5500, "d", "resident", GIB, ""),
        Change(7000, "a", "lost", 0, "process_exited"),
        Change(9000, "a", "loading", 0, ""),
        Change(10000, "a", "resident", 5 * GIB, ""),
        Change(12000, "d", "stopped", 0, ""),
    ]


def test_a_plot_without_matplotlib_or_of_another_kind(
    journal: pathlib.Path, tmp_path: pathlib.Path
) -> None:
    absent = tmp_path / "absent"
    (absent / "matplotlib").mkdir(parents=True)
    (absent / "matplotlib" / "__init__.py").write_text("raise ImportError('not installed')\n")
    for path, picture, says in [
        (str(absent), "day.svg", "plotting needs matplotlib: pip install 'garnel[plot]'"),
        ("", "day.pdf", "give a file name ending in .svg or .png"),
    ]:
        done = garnel_cli("replay", str(journal), "--plot", str(tmp_path / picture), path=path)
        assert (done.returncode, done.stdout) == (2, ""), done.stderr
        assert done.stderr.count("\n") == 1 and says in done.stderr
        assert not (tmp_path / picture).exists()


@pytest.mark.parametrize(
    ("url", "says"),
    [
        ("http://127.0.0.1:9", "cannot reach serve at http://127.0.0.1:9"),
        ("127.0.0.1:9/", "cannot reach serve at http://127.0.0.1:9"),
        ("ftp://127.0.0.1", "'ftp://127.0.0.1' is not the http:// or https:// address"),
    ],
)
def test_status_where_no_serve_answers(url: str, says: str) -> None:
    done = garnel_cli("status", url)
    assert (done.returncode, done.stdout) == (2, ""), done.stderr
    assert done.stderr.startswith(f"garnel status: error: {says}")
    assert done.stderr.count("\n") == 1


def test_statuses_cut_where_each_line_ends() -> None:
    roster = [garnel.Model("x\n  y", GIB), garnel.Model("y", GIB), garnel.Model("z", 99 * GIB)]
    fleet = garnel.Fleet(24 * GIB, 10, roster)
    fleet.observe("x\n  y", "load_started", None, 0)
    fleet.load_failed("x\n  y", "boom\n  y  resident for 9s", now=0)
    fleet.load_started("y", now=0)
    fleet.probe_ok("y", GIB, now=1000)
    assert fleet.statuses(now=3000) == [
        ("x\n  y", "failed to load: boom\n  y  resident for 9s"),
        ("y", "resident for 2s"),
        ("z", "not admitted — short by 79.4 GiB"),
    ]
