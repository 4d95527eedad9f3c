"""On-demand models, with stand-in servers: swapped in by request, the least recently requested
out, a stream in flight finished before its server ends, two clients taking turns, idle
models unloaded, and a journal whose lives replay each swap."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
import threading
import time
from typing import Any

import garnel
import pytest
from serve_support import Host, Rows, alive, journal_lines, model, start_host, wait_until

__all__ = ["start_host"]  # the fixture

# A 24 GiB card has 21.6 GiB usable: the pinned model and any two of a, b and c fit, not three.
ON_DEMAND = {"on_demand": True}


def three_and_a_pin(**serve: object) -> dict[str, Any]:
    return {
        "models": [
            model("pin", 1),
            *(model(name, 9, "--chunk-ms", "20", **ON_DEMAND) for name in ("a", "b", "c")),
            model("huge", 21, **ON_DEMAND),  # not even beside the pinned model alone
        ],
        "serve": {"journal": "card.journal", **serve},
    }


def on_card(host: Host) -> set[str]:
    listed = host.request("GET", "/v1/models").json()["data"]
    return {entry["id"] for entry in listed if entry["garnel"]["on_card"]}


def answered_by(host: Host, name: str) -> int:
    answer = host.post(name)
    assert answer.status == 200, answer.body
    assert answer.json()["choices"][0]["message"]["content"] == f"hello from {name}"
    return int(answer.headers["X-Standin-Pid"])


def garnel_cli(*args: str) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "garnel", *args],
        capture_output=True,
        text=True,
        check=False,
        timeout=60,
    )


def lives(host: Host) -> list[list[dict[str, Any]]]:
    """The journal's lines, a list a life."""
    found: list[list[dict[str, Any]]] = []
    for line in journal_lines(host.folder / "card.journal"):
        if line["op"] == "fleet":
            found.append([])
        found[-1].append(line)
    return found


class Pinned(threading.Thread):
    """Requests for the pinned model, one after another, until stopped: it answers throughout."""

    def __init__(self, host: Host) -> None:
        super().__init__(daemon=True)
        self.host, self.statuses, self.running = host, [], True

    def run(self) -> None:
        while self.running:
            self.statuses.append(self.host.post("pin").status)

    def stop(self) -> list[int]:
        self.running = False
        self.join(30)
        return self.statuses


def test_requests_in_turn_swap_out_the_least_recently_requested(start_host: Any) -> None:
    host: Host = start_host(**three_and_a_pin())
    host.wait_routes(pin="ready")
    listed = {e["id"]: e["garnel"] for e in host.request("GET", "/v1/models").json()["data"]}
    assert (listed["a"]["route"], listed["a"]["try_elsewhere"], listed["a"]["on_card"]) == (
        "unknown",
        False,
        False,
    )
    assert listed["a"]["on_demand"] and not listed["pin"]["on_demand"] and listed["pin"]["on_card"]
    pinned = Pinned(host)
    pinned.start()

    pids = []
    expected = [("a", {"a"}), ("b", {"a", "b"}), ("c", {"b", "c"}), ("a", {"c", "a"})]
    for name, then in expected:
        pids.append(answered_by(host, name))
        assert on_card(host) == {"pin", *then}
    # a's first server went for c, b's for a's return.
    wait_until("the servers swapped out ended", lambda: not (alive(pids[0]) or alive(pids[1])), 10)
    servers = dict(zip("abca", pids))

    # Too large beside the pinned model alone: refused at once, and nothing unloaded for it.
    before = len(lives(host))
    refused = host.post("huge")
    assert (refused.status, refused.json()["error"]["code"]) == (503, "not_admitted")
    assert refused.headers["X-Garnel-Try-Elsewhere"] == "1"
    assert len(lives(host)) == before and on_card(host) == {"pin", "c", "a"}
    assert answered_by(host, "c") == servers["c"] and answered_by(host, "a") == servers["a"]

    statuses = pinned.stop()
    assert statuses and set(statuses) == {200}, statuses
    assert host.end() == 0, host.stderr()

    # A life a swap: each replays to the card as the swap left it, its models in plan order.
    journal = host.folder / "card.journal"
    assert len(lives(host)) == 5
    reports = [garnel.replay(journal, life=n).report().splitlines()[1:] for n in range(5)]
    states = [[line.split(None, 1) for line in report] for report in reports]
    assert [[name for name, _ in life] for life in states] == [
        ["pin"],
        ["pin", "a"],
        ["pin", "b", "a"],  # the one requested, then the rest by recency
        ["pin", "c", "b"],
        ["pin", "a", "c"],
    ]
    # The model a swap unloads is stopped in the life it leaves.
    assert [life[-1][1] for life in states[2:4]] == ["stopped on request"] * 2
    assert all(state.startswith("resident") for life in states[:2] for _, state in life)


def test_a_stream_in_flight_finishes_before_its_server_is_ended(start_host: Any) -> None:
    host: Host = start_host(**three_and_a_pin())
    a = answered_by(host, "a")
    answered_by(host, "b")
    connection = host.connection()
    body = {"model": "a", "stream": True, "standin_chunks": 60}
    connection.request("POST", "/v1/chat/completions", json.dumps(body))
    streaming = connection.getresponse()
    assert streaming.read(6) == b"data: "
    host.servers.add(int(streaming.headers["X-Standin-Pid"]))
    answered_by(host, "b")  # now a is the least recently requested

    result: dict[str, Any] = {}

    def request_c() -> None:
        result["pid"] = answered_by(host, "c")
        result["at"] = time.monotonic()

    swapping = threading.Thread(target=request_c)
    swapping.start()
    rest = streaming.read()
    finished = time.monotonic()
    assert rest.endswith(b"data: [DONE]\n\n") and rest.count(b"data: ") == 60
    swapping.join(30)
    assert result["at"] >= finished  # c waited for a's stream
    wait_until("a's server ended", lambda: not alive(a), 10)
    assert on_card(host) == {"pin", "b", "c"}
    assert host.end() == 0


def test_two_clients_taking_turns_each_get_answers(start_host: Any) -> None:
    """Two models that cannot share the card, two clients alternating between them for 30 s:
    every request is answered, and each swap is owed to a run of requests for one model."""
    host: Host = start_host(
        [model("x", 12, **ON_DEMAND), model("y", 12, **ON_DEMAND)],
        serve={"journal": "card.journal"},
    )
    sent: list[tuple[float, str]] = []
    statuses: list[int] = []
    lock = threading.Lock()
    deadline = time.monotonic() + 30

    def client(names: tuple[str, str]) -> None:
        turn = 0
        while time.monotonic() < deadline:
            name = names[turn % 2]
            with lock:
                sent.append((time.monotonic(), name))
            status = host.post(name).status
            with lock:
                statuses.append(status)
            turn += 1

    clients = [threading.Thread(target=client, args=(pair,)) for pair in (("x", "y"), ("y", "x"))]
    for each in clients:
        each.start()
    for each in clients:
        each.join(90)
    assert host.end() == 0
    assert len(statuses) == len(sent) > 10 and set(statuses) == {200}, statuses
    models = [name for _, name in sorted(sent)]
    runs = 1 + sum(1 for before, after in zip(models, models[1:]) if before != after)
    swaps = len(lives(host)) - 1
    assert 2 <= swaps <= runs, (swaps, runs)


def test_an_idle_model_is_unloaded_and_loaded_again_when_requested(start_host: Any) -> None:
    host: Host = start_host(
        [model("pin", 1), model("t", 1, "--chunk-ms", "100", on_demand=True, ttl_s=1)]
    )
    # Never while a request is in flight: a stream three times its ttl finishes whole.
    connection = host.connection()
    connection.request(
        "POST",
        "/v1/chat/completions",
        json.dumps({"model": "t", "stream": True, "standin_chunks": 30}),
    )
    streaming = connection.getresponse()
    first = int(streaming.headers["X-Standin-Pid"])
    host.servers.add(first)
    assert streaming.read().count(b"data: ") == 31
    assert on_card(host) == {"pin", "t"}
    wait_until("t unloaded", lambda: on_card(host) == {"pin"}, 10)
    wait_until("its server ended", lambda: not alive(first), 10)
    assert answered_by(host, "t") != first
    assert host.end() == 0


def test_a_pinned_model_lost_or_failed_at_a_swap_is_carried_as_it_stands(start_host: Any) -> None:
    host: Host = start_host(
        [
            model("pin", 1),
            model("ghost", 1, command=["no-such-server-anywhere", "{port}"]),
            model("a", 1, **ON_DEMAND),
        ],
        serve={"journal": "card.journal"},
    )
    host.wait_routes(pin="ready", ghost="failed")
    os.kill(host.server_of("pin"), signal.SIGKILL)
    host.wait_routes(pin="lost")
    answered_by(host, "a")  # the swap comes within pin's first backoff, 1 s
    host.wait_routes(pin="ready")  # and the supervisor starts it again
    assert host.end() == 0
    second = lives(host)[1]
    told = [(line["model"], line.get("kind", line["op"])) for line in second[1:]]
    carried = told[: told.index(("a", "load_started"))]
    assert [kind for name, kind in carried if name == "pin"] == [
        "load_started",
        "set_endpoint",
        "probe_ok",
        "process_exited",
    ]
    assert [kind for name, kind in carried if name == "ghost"] == ["load_started", "load_failed"]
    exits = [json.loads(line["detail"]) for line in second if line.get("kind") == "process_exited"]
    assert exits[0] == {"code": -signal.SIGKILL}


def test_the_operator_sees_the_swaps(start_host: Any) -> None:
    parser = pytest.importorskip("prometheus_client.parser", reason="the serve extra")
    host: Host = start_host(
        [model("pin", 1), model("t", 1, on_demand=True, ttl_s=0.5), model("huge", 21, **ON_DEMAND)]
    )
    host.wait_routes(pin="ready")
    answered_by(host, "t")
    wait_until("t unloaded", lambda: on_card(host) == {"pin"}, 10)

    samples: dict[tuple[str, tuple[str, ...]], float] = {}
    metrics = host.request("GET", "/metrics").body.decode()
    for family in parser.text_string_to_metric_families(metrics):
        for sample in family.samples:
            samples[sample.name, tuple(sample.labels.values())] = sample.value
    # Each series of the card and its models says the card: GPU 0.
    assert samples["garnel_model_route", ("0", "t", "unknown")] == 1  # off the card, not undeclared
    assert samples["garnel_model_route", ("0", "huge", "not_admitted")] == 1
    assert samples["garnel_swaps_total", ("0", "request")] == 1
    assert samples["garnel_swaps_total", ("0", "idle")] == 1
    assert samples["garnel_swap_seconds_count", ("0",)] == 1
    assert ("garnel_model_probed_bytes", ("0", "t")) not in samples  # it holds nothing now

    rows = Rows()
    rows.feed(host.request("GET", "/").body.decode())
    states = {row[0]: row[1] for row in rows.rows[1:]}
    assert states["t"] == "on demand, off the card"
    assert states["huge"].startswith("on demand, too large beside the pinned models — short by")
    assert states["pin"].startswith("resident for ")

    # Off the card, an on-demand model is no reason for an unwell card: status exits 0.
    address = f"http://127.0.0.1:{host.port}"
    shown = garnel_cli("status", address)
    assert shown.returncode == 0, shown.stdout + shown.stderr
    lines = [" ".join(line.split()) for line in shown.stdout.splitlines()]
    assert "t unknown on demand, off the card" in lines
    assert "swaps: 1 for a request, 1 of an idle model" in " ".join(lines)
    as_json = json.loads(garnel_cli("status", address, "--json").stdout)
    assert (as_json["swaps"]["request"], as_json["swaps"]["idle"]) == (1, 1)
    assert host.end() == 0


def test_an_on_demand_model_is_served_beside_a_rejected_pinned_one(start_host: Any) -> None:
    # huge is rejected by the card's plan; o fits beside pin alone, and is loaded when asked.
    host: Host = start_host([model("pin", 1), model("huge", 30), model("o", 1, **ON_DEMAND)])
    host.wait_routes(pin="ready", huge="not_admitted")
    answered_by(host, "o")
    assert on_card(host) == {"pin", "o"}
    assert host.end() == 0


# Each server's start made half a second long, inside serve (a sitecustomize on its path):
# the time between serve taking a model up and the fleet hearing of its load.
SLOW_START = """
import asyncio

_start = asyncio.create_subprocess_exec


async def _slowly(*args, **kwargs):
    await asyncio.sleep(0.5)
    return await _start(*args, **kwargs)


asyncio.create_subprocess_exec = _slowly
"""


def test_a_request_while_its_server_is_being_started_waits_for_it(
    start_host: Any, tmp_path: Any
) -> None:
    (tmp_path / "sitecustomize.py").write_text(SLOW_START)
    host: Host = start_host([model("pin", 1), model("o", 1, **ON_DEMAND)], path=str(tmp_path))
    assert host.post("pin").status == 200  # asked while pin's server starts
    first: dict[str, int] = {}
    swapping = threading.Thread(target=lambda: first.update(status=host.post("o").status))
    swapping.start()
    time.sleep(0.25)  # o is on the card's plan, its server starting
    assert host.post("o").status == 200
    swapping.join(30)
    assert first == {"status": 200}
    assert host.end() == 0
