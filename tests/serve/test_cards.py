"""A host of two cards with stand-in servers: each server sees its card alone, each request
reaches its model's card, a server killed on one card leaves the other's answering, what the
operator sees shows each card, and each card's journal replays to its report."""

from __future__ import annotations

import json
import os
import signal
import subprocess
import sys
from typing import Any

import garnel
import pytest
from serve_support import GIB, Host, Rows, journal_lines, model, start_host, wait_until

__all__ = ["start_host"]  # the fixture

parser = pytest.importorskip("prometheus_client.parser", reason="the serve extra")

# Two 24 GiB cards, 21.6 GiB usable each: a fills GPU 0, b goes on GPU 1 beside c,
# pinned there; d, on demand, fits on GPU 0 beside a; huge spans three cards.
MODELS = [
    model("a", 15),
    model("b", 15),
    model("c", 1, gpu=1),
    model("d", 5, on_demand=True),
    model("huge", 50),
]
CARD_OF = {"a": 0, "b": 1, "c": 1, "d": 0, "huge": 0}


def seen_by(host: Host, name: str) -> tuple[int, str]:
    """The server that answered a request for `name`, and the card it was let see."""
    answer = host.post(name)
    assert answer.status == 200, answer.body
    assert answer.json()["choices"][0]["message"]["content"] == f"hello from {name}"
    return int(answer.headers["X-Standin-Pid"]), answer.json()["standin"]["cuda_visible_devices"]


def garnel_status(host: Host, *args: str) -> subprocess.CompletedProcess[str]:
    address = f"127.0.0.1:{host.port}"
    command = [sys.executable, "-m", "garnel", "status", address, *args]
    return subprocess.run(command, capture_output=True, text=True, check=False, timeout=60)


def lives(path: Any) -> int:
    return sum(1 for line in journal_lines(path) if line["op"] == "fleet")


def report_of(host: Host, gpu: int) -> str:
    answer = host.request("GET", f"/?gpu={gpu}", headers={"Accept": "text/plain"})
    assert answer.status == 200
    return answer.body.decode()


def without_durations(report: str) -> list[str]:
    """A report's header, then each model's state, less how long it has stood so."""
    header, *models = report.splitlines()
    return [header] + [" ".join(line.split()[:2]) for line in models]


def test_two_cards(start_host: Any) -> None:
    host: Host = start_host(
        MODELS, cards=[{"gpu": 0}, {"gpu": 1}], serve={"journal": "card.journal"}
    )
    host.wait_routes(a="ready", b="ready", c="ready", huge="not_admitted")

    listed = {e["id"]: e["garnel"] for e in host.request("GET", "/v1/models").json()["data"]}
    assert {name: entry["gpu"] for name, entry in listed.items()} == CARD_OF
    servers = {name: seen_by(host, name) for name in ("a", "b", "c", "d")}
    assert {name: gpu for name, (_, gpu) in servers.items()} == {
        name: str(CARD_OF[name]) for name in servers
    }
    assert len({pid for pid, _ in servers.values()}) == 4
    refused = host.post("huge")
    assert (refused.status, refused.headers["X-Garnel-Try-Elsewhere"]) == (503, "1")
    assert "it needs 3 cards" in refused.json()["error"]["message"]
    # d's swap was GPU 0's alone: a new life of its journal, none of GPU 1's.
    journals = [host.folder / f"card.{gpu}.journal" for gpu in (0, 1)]
    assert [lives(path) for path in journals] == [2, 1]

    # A's server killed: GPU 1's models answer while GPU 0 starts it again.
    os.kill(servers["a"][0], signal.SIGKILL)
    wait_until("a lost", lambda: host.routes()["a"] == "lost", 10)
    assert [host.post(name).status for name in ("b", "c", "b", "c")] == [200] * 4
    assert host.routes()["a"] == "lost"
    host.wait_routes(a="ready")

    # What the operator sees: each card in the metrics, on the page and in garnel status.
    samples = {
        (sample.name, tuple(sample.labels.values())): sample.value
        for family in parser.text_string_to_metric_families(
            host.request("GET", "/metrics").body.decode()
        )
        for sample in family.samples
    }
    assert samples["garnel_card_bytes", ("0", "total")] == 24 * GIB
    assert samples["garnel_card_bytes", ("1", "committed")] == 16 * GIB
    assert samples["garnel_model_starts_total", ("0", "a")] == 2
    assert samples["garnel_model_route", ("1", "c", "ready")] == 1
    page = host.request("GET", "/").body.decode()
    rows = Rows()
    rows.feed(page)
    assert page.count('<ul class="bar"') == 2
    assert [row[0] for row in rows.rows if row[0] != "model"] == ["a", "d", "huge", "b", "c"]
    status = garnel_status(host)
    assert status.returncode == 0, status.stdout + status.stderr
    sections = status.stdout.split("\n\nGPU 1\n")
    assert sections[0].startswith("GPU 0\n") and len(sections) == 2
    assert "  b  ready" in sections[1] and "  b  ready" not in sections[0]
    assert "swaps: 1 for a request" in sections[0] and "swaps" not in sections[1]
    cards = json.loads(garnel_status(host, "--json").stdout)["cards"]
    assert [(card["gpu"], card["committed"], "swaps" in card) for card in cards] == [
        (0, 20 * GIB, True),
        (1, 16 * GIB, False),
    ]

    # Each card's journal replays to its report, up to serve's stop.
    reports = [report_of(host, gpu) for gpu in (0, 1)]
    assert host.end() == 0, host.stderr()
    for path, report in zip(journals, reports):
        stops = [line["now"] for line in journal_lines(path) if line.get("kind") == "stop"]
        replayed = garnel.replay(path, until=min(stops) - 1).report()
        assert without_durations(replayed) == without_durations(report)
