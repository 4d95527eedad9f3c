"""`garnel plan` as an operator runs it: exit status, output, and one line on
standard error for every mistake. NVML through a stand-in module."""

from __future__ import annotations

import json
import os
import pathlib
import subprocess
import sys

import _garnel
import garnel
import pytest
from package_support import EXAMPLE_ROSTER, GIB, garnel_cli

SMALL_JSON = '[{"model": "a", "weightsBytes": 1073741824}, {"model": "b", "weights_bytes": 2}]'
SMALL_TOML = '[[model]]\nname = "a"\nweights_bytes = 1073741824\n\n[[model]]\nname = "b"\nweights_bytes = 2\n'
FILES = {
    "small.json": SMALL_JSON,
    "small.toml": SMALL_TOML,
    "broken.json": '[{"model": "a",\n "weightsBytes": }]',
    "broken.toml": '[[model]]\nname = "a"\nweights_bytes = = 3\n',
    "entries.json": '[{"model": "a", "weightsBytes": 1}, {"model": "b", "weightsBytes": 2.5}, {}]',
    "entries.toml": '[[model]]\nname = "a"\nweights_bytes = 1\nkv_bytes = "lots"\n',
    "object.json": '{"model": "a"}',
}


@pytest.fixture
def rosters(tmp_path: pathlib.Path) -> pathlib.Path:
    for name, text in FILES.items():
        (tmp_path / name).write_text(text)
    return tmp_path


@pytest.mark.parametrize(
    ("args", "status", "out"),
    [
        (["small.json", "--card", "24GiB"], 0, "a 1.0 GiB admitted b 0.0 GiB admitted"),
        (["small.toml", "--card", "81920MiB", "--reserve-pct", "5"], 0, "2 of 2 admitted"),
        (
            [str(EXAMPLE_ROSTER), "--card", "24GiB"],
            1,
            "coder-14b 10.0 GiB REJECTED, short by 5.4 GiB",
        ),
        (["small.json", "--card", "1GiB"], 1, "0 of 2 admitted"),
        (
            ["small.json", "--card", "80GB"],
            0,
            "card 74.5 GiB 80000000000 bytes (given with --card)",
        ),
    ],
)
def test_a_plan_for_people(rosters: pathlib.Path, args: list[str], status: int, out: str) -> None:
    done = garnel_cli("plan", *args, cwd=rosters)
    assert (done.returncode, done.stderr) == (status, ""), done.stderr
    assert out in " ".join(done.stdout.split()), done.stdout


def test_json_is_the_module_plan_and_stdin_takes_either_format(rosters: pathlib.Path) -> None:
    done = garnel_cli("plan", "small.json", "--card", "25769803776", "--json", cwd=rosters)
    assert done.stdout == _garnel.plan(24 * GIB, 10, SMALL_JSON) + "\n"
    for text in (SMALL_JSON, SMALL_TOML):
        piped = garnel_cli("plan", "-", "--card", "24GiB", "--json", stdin=text)
        assert (piped.returncode, piped.stdout) == (0, done.stdout)


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["missing.json", "--card", "24GiB"], "missing.json: No such file or directory"),
        (["broken.json", "--card", "24GiB"], "broken.json: bad JSON at line 2 column"),
        (["broken.toml", "--card", "24GiB"], "broken.toml: bad TOML: "),
        (
            ["entries.json", "--card", "24GiB"],
            (
                'entries.json: entry 1 (b): "weightsBytes" is not a whole byte count: 2.5; '
                'entry 2: missing "model"'
            ),
        ),
        (["entries.toml", "--card", "24GiB"], 'entries.toml: entry 0 (a): "kv_bytes" is not'),
        (["object.json", "--card", "24GiB"], "expected an array of models, found an object"),
        (["small.json", "--card", "24G"], "argument --card: '24G' is not a size"),
        (["small.json", "--card", "1.3B"], "'1.3B' is not a whole number of bytes"),
        (["small.json", "--card", "0"], "'0' is not a card size"),
        (["small.json", "--card", "99999999TiB"], "is not a card size"),
        (["small.json", "--card", "1GiB", "--reserve-pct", "101"], "'101' is not a percentage"),
        (["small.json"], "no --card, and NVML is not installed (pip install 'garnel[nvml]')"),
        (["small.json", "--card", "0x24GiB"], "'0x24GiB' is not a count of cards: give one from 1"),
        (["small.json", "--card", "2x24G"], "argument --card: '24G' is not a size"),
        (
            ["small.json", "--card", "1024x1GiB", "--card", "1GiB"],
            "1025 cards given with --card: at most 1024",
        ),
    ],
)
def test_bad_input_is_one_line_and_status_2(
    rosters: pathlib.Path, args: list[str], message: str
) -> None:
    done = garnel_cli("plan", *args, cwd=rosters)
    assert done.returncode == 2 and done.stdout == ""
    assert done.stderr.startswith("garnel plan: error: ") and done.stderr.count("\n") == 1
    assert message in done.stderr


FAKE_NVML = """
class NVMLError(Exception):
    pass

TOTALS = {totals}

class Memory:
    def __init__(self, total):
        self.total = total

def nvmlInit():
    if {fail_init}:
        raise NVMLError("Driver Not Loaded")

def nvmlShutdown():
    pass

def nvmlDeviceGetCount():
    return len(TOTALS)

def nvmlDeviceGetHandleByIndex(index):
    if index >= len(TOTALS):
        raise NVMLError("Invalid Argument")
    return index

def nvmlDeviceGetMemoryInfo(handle):
    return Memory(TOTALS[handle])

def nvmlDeviceGetName(handle):
    return b"Stand-in GPU"
"""


@pytest.mark.parametrize(
    ("fail_init", "gpu", "status", "stream", "text"),
    [
        (
            False,
            "0",
            1,
            "stdout",
            "card 2.0 GiB 2147483648 bytes (GPU 0, Stand-in GPU, through NVML)",
        ),
        (True, "0", 2, "stderr", "no --card, and NVML answers no card (Driver Not Loaded)"),
        (
            False,
            "3",
            2,
            "stderr",
            "NVML cannot read GPU 3 (Invalid Argument): give the card's size with --card",
        ),
    ],
)
def test_the_card_size_through_nvml(
    rosters: pathlib.Path, fail_init: bool, gpu: str, status: int, stream: str, text: str
) -> None:
    stand_in = rosters / "nvml"
    stand_in.mkdir()
    (stand_in / "pynvml.py").write_text(FAKE_NVML.format(totals=[2 * GIB], fail_init=fail_init))
    done = garnel_cli("plan", "small.json", "--gpu", gpu, cwd=rosters, path=str(stand_in))
    assert done.returncode == status
    assert text in " ".join(getattr(done, stream).split()), done.stdout + done.stderr


TWO_SMALL_CARDS = """\
GPU 0
card         2.0 GiB  2147483648 bytes  ({where0})
reserve      1.0 GiB  1073741824 bytes  (0 %, never below 1 GiB)
usable       1.0 GiB  1073741824 bytes

  a      1.0 GiB  admitted

1 of 1 admitted, 1.0 GiB committed of 1.0 GiB usable

GPU 1
card         2.0 GiB  2147483648 bytes  ({where1})
reserve      1.0 GiB  1073741824 bytes  (0 %, never below 1 GiB)
usable       1.0 GiB  1073741824 bytes

  b      0.0 GiB  admitted

1 of 1 admitted, 0.0 GiB committed of 1.0 GiB usable

2 of 2 placed on 2 cards
"""


@pytest.mark.parametrize(
    "cards",
    [["--card", "2GiB", "--card", "2147483648"], ["--card", "2x2GiB"], ["--card", " 2 X 2GiB"]],
)
def test_a_section_a_card_given(rosters: pathlib.Path, cards: list[str]) -> None:
    # A 2 GiB card keeps 1 GiB usable: a fills GPU 0, so b goes on GPU 1.
    done = garnel_cli("plan", "small.json", *cards, "--reserve-pct", "0", cwd=rosters)
    assert (done.returncode, done.stderr) == (0, "")
    given = "given with --card"
    assert done.stdout == TWO_SMALL_CARDS.format(where0=given, where1=given)


def test_json_of_several_cards_holds_each_modules_plan(rosters: pathlib.Path) -> None:
    roster = [
        {"model": "big", "weightsBytes": 16 * GIB},
        {"model": "huge", "weightsBytes": 50 * GIB},
        {"model": "pinned", "weightsBytes": 4 * GIB, "gpu": 0},
        {"model": "small", "weightsBytes": 4 * GIB},
    ]
    (rosters / "four.json").write_text(json.dumps(roster))
    done = garnel_cli("plan", "four.json", "--card", "2x24GiB", "--json", cwd=rosters)
    assert (done.returncode, done.stderr) == (1, "")
    answer = json.loads(done.stdout)
    on_card = [[roster[0], roster[2]], [roster[1], roster[3]]]  # huge: least short on GPU 1
    for index, card in enumerate(answer.pop("cards")):
        module = json.loads(_garnel.plan(24 * GIB, 10, json.dumps(on_card[index])))
        assert card == {"gpu": index, "total_bytes": 24 * GIB, "nvml_name": None, "plan": module}
    huge = {"model": "huge", "gpu": 1, "needed_bytes": 50 * GIB, "free_bytes": 23_192_823_406}
    huge.update(short_bytes=50 * GIB - 23_192_823_406, cards_needed=3)
    assert answer == {
        "fits": False,
        "reserve_pct": 10,
        "placed": {"big": 0, "pinned": 0, "small": 1},
        "rejected": [huge],
    }


PINNED_B = SMALL_JSON.replace('"b",', '"b", "gpu": 1,')


@pytest.mark.parametrize(
    ("cards", "roster", "gpu", "status", "expected"),
    [
        (2, SMALL_JSON, None, 0, TWO_SMALL_CARDS),
        # --gpu N is that GPU alone, as one card always read; a pin to it holds.
        (2, PINNED_B, "1", 1, "(GPU 1, Stand-in GPU, through NVML)"),
        (2, PINNED_B, "0", 2, "error: could not place the roster: entry 1 (b): pinned to GPU 1, but --gpu 0 plans GPU 0 alone\n"),
        (0, SMALL_JSON, None, 2, "error: no --card, and NVML sees no GPU: give the card's size with --card"),
    ],
    ids=["every-gpu", "one-gpu", "pinned-elsewhere", "no-gpu"],
)  # fmt: skip
def test_cards_through_nvml(
    rosters: pathlib.Path, cards: int, roster: str, gpu: str | None, status: int, expected: str
) -> None:
    stand_in = rosters / "nvml"
    stand_in.mkdir()
    (stand_in / "pynvml.py").write_text(FAKE_NVML.format(totals=[2 * GIB] * cards, fail_init=False))
    (rosters / "r.json").write_text(roster)
    args = ["plan", "r.json", "--reserve-pct", "0", *(["--gpu", gpu] if gpu else [])]
    done = garnel_cli(*args, cwd=rosters, path=str(stand_in))
    assert done.returncode == status, done.stderr
    if status == 0:
        where = "GPU {}, Stand-in GPU, through NVML"
        assert done.stdout == expected.format(where0=where.format(0), where1=where.format(1))
    else:
        assert expected in done.stdout + done.stderr


def test_help_and_version() -> None:
    assert garnel_cli("--version").stdout == f"garnel {_garnel.__version__}\n"
    helped = garnel_cli("plan", "--help")
    assert (
        helped.returncode == 0 and "garnel plan examples/roster.json --card 24GiB" in helped.stdout
    )
    bare = garnel_cli()
    assert bare.returncode == 2 and "plan" in bare.stderr


DEEP = "[" * 100_000 + "]" * 100_000


@pytest.mark.parametrize(
    ("args", "name", "text", "message"),
    [
        (["plan", "deep.json", "--card", "1GiB"], "deep.json", DEEP, "deep.json: bad JSON"),
        (
            ["plan", "deep.toml", "--card", "1GiB"],
            "deep.toml",
            f"a = {DEEP}",
            "deep.toml: bad TOML",
        ),
        (
            ["replay", "deep.journal"],
            "deep.journal",
            '{"op":"fleet","x":' + DEEP + "}\n",
            "deep.journal:1: ",
        ),
    ],
    # Short ids: pytest puts the test's id in the environment of every
    # subprocess, where a 200 kB one is more than exec takes.
    ids=["json", "toml", "journal"],
)
def test_a_file_nested_too_deeply_is_one_line(
    tmp_path: pathlib.Path, args: list[str], name: str, text: str, message: str
) -> None:
    (tmp_path / name).write_text(text)
    done = garnel_cli(*args, cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr[-300:]
    assert done.stderr.startswith(f"garnel {args[0]}: error: {message}"), done.stderr


@pytest.mark.parametrize("stdin", ["closed", "empty"])
def test_a_roster_from_missing_or_empty_standard_input_is_one_line(stdin: str) -> None:
    if stdin == "closed" and sys.platform == "win32":
        pytest.skip("no preexec_fn on Windows")
    done = subprocess.run(
        [sys.executable, "-m", "garnel", "plan", "-", "--card", "24GiB"],
        stdin=subprocess.DEVNULL,
        preexec_fn=(lambda: os.close(0)) if stdin == "closed" else None,
        capture_output=True,
        text=True,
        check=False,
    )
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert done.stderr.startswith("garnel plan: error: "), done.stderr


@pytest.mark.parametrize("command", ["plan", "replay"])
def test_a_terminal_that_cannot_show_every_character_still_gets_the_answer(
    tmp_path: pathlib.Path, command: str
) -> None:
    journal = tmp_path / "card.journal"
    with garnel.Fleet(24 * GIB, 10, garnel.read_roster(EXAMPLE_ROSTER), journal=journal):
        pass
    args = [str(EXAMPLE_ROSTER), "--card", "24GiB"] if command == "plan" else [str(journal)]
    done = subprocess.run(
        [sys.executable, "-m", "garnel", command, *args],
        env={**os.environ, "PYTHONIOENCODING": "latin-1"},
        capture_output=True,
        check=False,
    )
    assert (done.returncode, done.stderr) == (1 if command == "plan" else 0, b""), done.stderr
    assert b"coder-14b" in done.stdout and b" \\u2014 " in done.stdout, done.stdout
