"""A serve configuration: every mistake refused in one line naming the file, the table and
the key, before anything starts; the servers' argv as planned; --check's verdicts."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import types
from typing import Any

import pytest
from garnel._serve import ConfigError, prepare, read_config
from serve_support import GIB, STANDIN, config_text, model

GOOD = model("chat", 1)
CARDS = [{"gpu": 0}, {"gpu": 1}]


def setup_of(tmp_path: pathlib.Path, text: str) -> object:
    path = tmp_path / "serve.toml"
    path.write_text(text)
    return prepare(read_config(path))


def garnel_serve(*args: str, cwd: pathlib.Path, path: str = "") -> subprocess.CompletedProcess[str]:
    env = dict(os.environ, PYTHONPATH=path)
    return subprocess.run(
        [sys.executable, "-m", "garnel", "serve", *args],
        capture_output=True,
        text=True,
        check=False,
        cwd=cwd,
        env=env,
        timeout=60,
    )


# (what the file says, the table and key the message must name, and what it says of them)
BAD = [
    (config_text([GOOD], serve={"listn": 1}), "[serve] listn", "unknown key"),
    (config_text([GOOD]) + "[cards]\n", "[cards]", "unknown table"),
    (config_text([GOOD], card={"reserve_pct": 150}), "[card] reserve_pct", "percentage"),
    (config_text([GOOD], card={"total": "24 parsecs"}), "[card] total", '"24 parsecs"'),
    (config_text([GOOD], serve={"load_timeout_s": 0}), "[serve] load_timeout_s", "above 0"),
    (config_text([GOOD], serve={"listen": "8080"}), "[serve] listen", "host:port"),
    (config_text([{"weights_bytes": 1}]), "[[model]] 1 name", "required"),
    (config_text([{"name": "a"}]), "[[model]] 1 (a) path", "weights_bytes"),
    (config_text([model("a", engine="tgi")]), "[[model]] 1 (a) engine", '"tgi"'),
    (
        config_text([{"name": "a", "weights_bytes": 1, "engine": "command"}]),
        "(a) command",
        "missing",
    ),
    (config_text([model("a", health="health")]), "(a) health", 'starts with "/"'),
    (config_text([model("a", context=0)]), "(a) context", "from 1 up"),
    (config_text([model("a", overhead="lots")]), "(a) overhead", '"lots"'),
    (config_text([model("a", env={"CUDA_VISIBLE_DEVICES": "1"})]), "(a) env.CUDA_", "[card] gpu"),
    (config_text([model("a"), model("a")]), "[[model]] 2 (a) name", "[[model]] 1 again"),
    (config_text([model("a", command=["x", "{prot}"])]), "(a) command", "{prot}"),
    (config_text([model("a", command=["x", "{path}"])]), "(a) command", 'no "path"'),
    (config_text([{"name": "a", "path": "nowhere.gguf"}]), "(a) path", "nowhere.gguf"),
    (config_text([model("a", on_demand="yes")]), "(a) on_demand", "true or false"),
    (config_text([model("a", on_demand=True, ttl_s=-1)]), "(a) ttl_s", "from 0 up"),
    (config_text([model("a", ttl_s=60)]), "(a) ttl_s", "on_demand = true"),
    ("[card\n", "serve.toml", "bad TOML"),
    # Several cards: a [[card]] table each.
    (config_text([GOOD]) + "[[card]]\ngpu = 1\n", "[card] and [[card]]", "both given"),
    (config_text([GOOD], cards=[{}]), "[[card]] 1 gpu", "required"),
    (config_text([GOOD], cards=[{"gpu": 1}, {"gpu": 1}]), "[[card]] 2 gpu", "as in [[card]] 1"),
    (config_text([GOOD], cards=[{"gpu": 0, "totl": 1}]), "[[card]] 1 totl", "unknown key"),
    ("card = []\n" + config_text([GOOD]).split("[serve]", 1)[1], "[[card]]", "none given"),
    (config_text([model("a", gpu=2)], cards=CARDS), "(a) gpu", "(the cards are GPU 0 and 1)"),
    (config_text([model("a", gpu=1)]), "(a) gpu", "(the cards are GPU 0)"),
    (
        config_text([model("a", env={"CUDA_DEVICE_ORDER": "x"})], cards=CARDS),
        "(a) env",
        "[[card]]'s",
    ),
]


@pytest.mark.parametrize(("text", "where", "problem"), BAD, ids=[b[1] + " " + b[2] for b in BAD])
def test_a_bad_configuration_is_one_line_naming_table_and_key(
    tmp_path: pathlib.Path, text: str, where: str, problem: str
) -> None:
    with pytest.raises(ConfigError) as refused:
        setup_of(tmp_path, text)
    message = str(refused.value)
    assert "\n" not in message and message.startswith(str(tmp_path / "serve.toml")), message
    assert where in message and problem in message, message


def test_the_command_line_says_it_in_one_line_and_exits_2(tmp_path: pathlib.Path) -> None:
    (tmp_path / "serve.toml").write_text(config_text([GOOD], serve={"probe_interval_s": "often"}))
    done = garnel_serve("serve.toml", cwd=tmp_path)
    assert done.returncode == 2 and done.stdout == "", done
    assert done.stderr.count("\n") == 1 and done.stderr.startswith("garnel serve: error: ")
    assert "[serve] probe_interval_s" in done.stderr


@pytest.mark.parametrize(
    ("entry", "total", "argv"),
    [
        (
            # 2 sequences of 4096 tokens: llama-server's -c counts the cache of both.
            {
                "name": "a",
                "path": "a.gguf",
                "weights_bytes": 1,
                "kv_bytes": 1,
                "context": 4096,
                "sequences": 2,
            },
            "24GiB",
            [
                "llama-server",
                "-m",
                "{folder}/a.gguf",
                "--host",
                "127.0.0.1",
                "--port",
                "8001",
                "-c",
                "8192",
                "-np",
                "2",
            ],
        ),
        (
            # 10 GiB of weights, 1 GiB of cache and vLLM's 4 GiB over 24 GiB is
            # 0.625; one byte more must round up, or the server gets less than planned.
            {
                "name": "b",
                "path": "b",
                "weights_bytes": 10 * GIB + 1,
                "kv_bytes": GIB,
                "engine": "vllm",
                "context": 2048,
            },
            "24GiB",
            [
                "vllm",
                "serve",
                "{folder}/b",
                "--host",
                "127.0.0.1",
                "--port",
                "8001",
                "--max-model-len",
                "2048",
                "--max-num-seqs",
                "1",
                "--gpu-memory-utilization",
                "0.6251",
            ],
        ),
        (
            {
                "name": "c",
                "weights_bytes": 3,
                "engine": "command",
                "command": ["./run", "{name}", "{{port}}", "--frac={gpu_memory_fraction}"],
            },
            "300",
            ["./run", "c", "{port}", "--frac=0.0100"],
        ),
    ],
)
def test_each_server_is_started_with_what_was_planned_for_it(
    tmp_path: pathlib.Path, entry: dict[str, object], total: str, argv: list[str]
) -> None:
    setup = setup_of(tmp_path, config_text([entry], card={"total": total}))
    (server,) = setup.servers  # type: ignore[attr-defined]
    folder = str(tmp_path)
    assert server.command(8001) == [arg.replace("{folder}", folder) for arg in argv]


def test_check_prints_the_plan_and_commands_and_says_whether_all_can_start(
    tmp_path: pathlib.Path,
) -> None:
    fits = [model("a", 2), model("b", 2)]
    (tmp_path / "fits.toml").write_text(config_text(fits))
    (tmp_path / "rejects.toml").write_text(config_text([*fits, model("huge", 40)]))
    missing = model("ghost", 1, command=["no-such-server-anywhere", "{port}"])
    (tmp_path / "missing.toml").write_text(config_text([*fits, missing]))
    # On-demand models are planned one at a time beside the pinned ones: two that
    # cannot share the card fit; one too large even beside them alone does not.
    turns = [model("c", 15, on_demand=True), model("d", 15, on_demand=True, ttl_s=300)]
    (tmp_path / "turns.toml").write_text(config_text([*fits, *turns]))
    (tmp_path / "never.toml").write_text(config_text([*fits, model("huge", 20, on_demand=True)]))
    # A pinned model rejected is no reason to refuse an on-demand one that fits beside the rest.
    beside = [*fits, model("huge", 40), model("c", 1, on_demand=True)]
    (tmp_path / "beside.toml").write_text(config_text(beside))

    done = garnel_serve("fits.toml", "--check", cwd=tmp_path)
    assert done.returncode == 0, done.stderr
    assert "2 of 2 admitted" in done.stdout and f"{STANDIN} --port" in done.stdout
    assert garnel_serve("rejects.toml", "--check", cwd=tmp_path).returncode == 1
    done = garnel_serve("turns.toml", "--check", cwd=tmp_path)
    assert done.returncode == 0 and "2 of 2 admitted" in done.stdout, done.stdout
    assert "d 15.0 GiB fits; unloaded after 300 s idle" in " ".join(done.stdout.split())
    done = garnel_serve("never.toml", "--check", cwd=tmp_path)
    assert done.returncode == 1
    words = " ".join(done.stdout.split())
    assert "huge 20.0 GiB REJECTED beside the pinned models alone, short by 2.4 GiB" in words
    done = garnel_serve("beside.toml", "--check", cwd=tmp_path)
    assert done.returncode == 1 and "c 1.0 GiB fits" in " ".join(done.stdout.split()), done
    done = garnel_serve("missing.toml", "--check", cwd=tmp_path)
    assert done.returncode == 2 and done.stderr.count("\n") == 1, done.stderr
    assert "(ghost) command: 'no-such-server-anywhere' is not found on PATH" in done.stderr


def test_without_the_extra_serving_exits_2_naming_it(tmp_path: pathlib.Path) -> None:
    (tmp_path / "serve.toml").write_text(config_text([GOOD]))
    hidden = tmp_path / "hidden"
    (hidden / "aiohttp").mkdir(parents=True)
    (hidden / "aiohttp" / "__init__.py").write_text("raise ImportError('no aiohttp here')\n")
    done = garnel_serve("serve.toml", cwd=tmp_path, path=str(hidden))
    assert done.returncode == 2 and done.stdout == "", done
    assert "pip install 'garnel[serve]'" in done.stderr and done.stderr.count("\n") == 1
    # Checking needs nothing beyond the standard library.
    assert garnel_serve("serve.toml", "--check", cwd=tmp_path, path=str(hidden)).returncode == 0


def test_every_model_has_a_log_of_its_own() -> None:
    from garnel._serve._supervisor import log_name

    names = ["chat-8b", "a/b", "a_b", "a:b", "Chat", "chat", ".hidden", "..", "模型", "x" * 300]
    files = [log_name(name) for name in names]
    # Distinct even where the file system ignores case, and each a plain file name.
    assert len({file.casefold() for file in files}) == len(names)
    assert all("/" not in file and not file.startswith(".") and len(file) < 100 for file in files)
    assert log_name("chat-8b") == "chat-8b.log"


def test_a_roster_placed_on_several_cards(tmp_path: pathlib.Path) -> None:
    # GPU 3 listed first: the cards are placed in GPU index order, GPU 1 then GPU 3.
    cards = [{"gpu": 3}, {"gpu": 1}]
    models = [
        model("a", 15),  # GPU 1, the lowest that holds it: 6.6 GiB left there
        model("b", 15),  # GPU 3
        model("c", 1, gpu=3),
        model("huge", 50),  # three cards' worth: rejected where least short, GPU 1
        model("d", 5, on_demand=True),  # fits beside them all, on GPU 1
        model("e", 6, on_demand=True),  # not beside d too: takes turns on GPU 1
        model("f", 3, on_demand=True, gpu=3),
        model("g", 20, on_demand=True),  # beside no card's pinned models
    ]
    text = config_text(models, serve={"journal": "card.journal"}, cards=cards)
    setup: Any = setup_of(tmp_path, text)
    assert {name: card.gpu for name, card in setup.card_of.items()} == {
        "a": 1,
        "b": 3,
        "c": 3,
        "huge": 1,
        "d": 1,
        "e": 1,
        "f": 3,
        "g": 1,
    }
    assert [card.journal.name for card in setup.cards] == ["card.1.journal", "card.3.journal"]
    assert [card.plan.admitted for card in setup.cards] == [("a",), ("b", "c")]

    done = garnel_serve("serve.toml", "--check", cwd=tmp_path)
    assert done.returncode == 1, done.stderr
    words = " ".join(done.stdout.split())
    for said in (
        "GPU 1 card 24.0 GiB 25769803776 bytes (given as [[card]] 2 total)",
        "GPU 3 card 24.0 GiB",
        (
            "REJECTED huge on GPU 1 — needs 50.0 GiB, more than the 21.6 GiB usable on any card: "
            "it needs 3 cards, and a model is not split across cards"
        ),
        "d 5.0 GiB fits on GPU 1 e 6.0 GiB fits on GPU 1 f 3.0 GiB fits on GPU 3",
        "g 20.0 GiB REJECTED beside GPU 1's pinned models alone, short by 13.4 GiB",
    ):
        assert said in words, said

    # One [[card]] table names its journal by its GPU; the one [card] keeps the path given.
    one = config_text([GOOD], serve={"journal": "card.journal"}, cards=[{"gpu": 2}])
    assert setup_of(tmp_path, one).cards[0].journal.name == "card.2.journal"  # type: ignore[attr-defined]
    single = config_text([GOOD], card={"gpu": 2}, serve={"journal": "card.journal"})
    assert setup_of(tmp_path, single).cards[0].journal.name == "card.journal"  # type: ignore[attr-defined]


@pytest.mark.parametrize(
    ("cards", "found"),
    [
        # Each [[card]] without a total takes its own GPU's; a card that gives one keeps it.
        ([{"gpu": 1, "total": None}, {"gpu": 0}], [(0, 24 * GIB, "given as [[card]] 2 total"),
                                                   (1, 40 * GIB, "GPU 1, Fake, through NVML")]),
        ([{"gpu": 0, "total": None}, {"gpu": 5, "total": None}],
         "[[card]] 2 total: absent, and NVML cannot read GPU 5 (Invalid Argument): give the card's"),
    ],
)  # fmt: skip
def test_cards_without_a_total_ask_nvml_each_for_its_own(
    tmp_path: pathlib.Path, monkeypatch: pytest.MonkeyPatch, cards: Any, found: Any
) -> None:
    nvml: Any = types.ModuleType("pynvml")
    totals = [20 * GIB, 40 * GIB]

    class NVMLError(Exception):
        pass

    def handle(index: int) -> int:
        if index >= len(totals):
            raise NVMLError("Invalid Argument")
        return index

    nvml.NVMLError, nvml.nvmlDeviceGetHandleByIndex = NVMLError, handle
    nvml.nvmlInit = nvml.nvmlShutdown = lambda: None
    nvml.nvmlDeviceGetMemoryInfo = lambda index: types.SimpleNamespace(total=totals[index])
    nvml.nvmlDeviceGetName = lambda index: "Fake"
    monkeypatch.setitem(sys.modules, "pynvml", nvml)
    text = config_text([GOOD], cards=cards)
    if isinstance(found, str):
        with pytest.raises(ConfigError, match=re.escape(found)):
            setup_of(tmp_path, text)
        return
    setup: Any = setup_of(tmp_path, text)
    assert [(card.gpu, card.total_bytes, card.total_source) for card in setup.cards] == found
