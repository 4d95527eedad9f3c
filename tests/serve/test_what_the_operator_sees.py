"""What the operator sees of a serving card: the metrics of a host day against its journal,
the status page and the logs' tails, and `garnel status` against a running serve."""

from __future__ import annotations

import collections
import json
import os
import signal
import subprocess
import sys
import urllib.parse
from typing import Any
from xml.etree import ElementTree

import garnel
import pytest
from serve_support import (
    GIB,
    REPO,
    STANDIN,
    Host,
    Rows,
    journal_lines,
    model,
    start_host,
    wait_until,
)

__all__ = ["start_host"]  # the fixture

parser = pytest.importorskip("prometheus_client.parser", reason="the serve extra")

KEY = {"Authorization": "Bearer sesame"}
Samples = dict[str, dict[tuple[str, ...], float]]


def scrape(host: Host) -> Samples:
    """Every sample, by name, then by its labels' values in the order of their names."""
    answer = host.request("GET", "/metrics", headers=KEY)
    assert answer.status == 200, answer.body
    samples: Samples = collections.defaultdict(dict)
    for family in parser.text_string_to_metric_families(answer.body.decode()):
        for sample in family.samples:
            labels = tuple(value for _, value in sorted(sample.labels.items()))
            samples[sample.name][labels] = sample.value
    return samples


def routes(host: Host) -> dict[str, str]:
    listed = host.request("GET", "/v1/models", headers=KEY).json()["data"]
    return {entry["id"]: entry["garnel"]["route"] for entry in listed}


def status(host: Host, *args: str, key: str = "") -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "garnel", "status", f"http://127.0.0.1:{host.port}", *args],
        capture_output=True,
        text=True,
        check=False,
        timeout=60,
        env={**os.environ, "GARNEL_API_KEY": key},
    )


def test_the_metrics_of_a_host_day(start_host: Any) -> None:
    host: Host = start_host(
        [
            model("chat", 15),
            model("coder", 10),  # does not fit beside chat: rejected by the plan
            model("embed", 1),
            model("ghost", 1, command=["no-such-server-anywhere", "{port}"]),
        ],
        serve={"journal": "card.journal", "api_key": "sesame", "probe_interval_s": 60},
    )
    wait_until(
        "loaded",
        lambda: (
            routes(host)
            == {"chat": "ready", "coder": "not_admitted", "embed": "ready", "ghost": "failed"}
        ),
    )
    for path in ("/", "/metrics", "/logs/chat"):  # the key is needed here too
        assert host.request("GET", path).status == 401, path
    assert host.request("GET", "/health").status == 200

    sent = collections.Counter()
    for body, headers, labels in [
        ({"model": "chat"}, KEY, ("200", "chat", "ready")),
        ({"model": "coder"}, KEY, ("503", "coder", "not_admitted")),
        ({"model": "nobody"}, KEY, ("404", "-", "not_declared")),
        (b"{", KEY, ("400", "-", "-")),
        ({"model": "chat"}, {}, ("401", "-", "-")),
    ]:
        answer = host.request("POST", "/v1/chat/completions", body, headers)
        assert answer.status == int(labels[0]), answer.body
        sent[labels] += 1
    first = int(
        host.request("POST", "/v1/chat/completions", {"model": "chat"}, KEY).headers[
            "X-Standin-Pid"
        ]
    )
    sent["200", "chat", "ready"] += 1
    os.kill(first, signal.SIGKILL)
    wait_until("chat lost", lambda: routes(host)["chat"] == "lost", 10)
    wait_until("chat back", lambda: routes(host)["chat"] == "ready", 20)

    # The ghost is tried again and again: a journal read between two equal scrapes is theirs.
    def settled() -> tuple[Samples, list[dict[str, Any]], garnel.Fleet] | None:
        before = scrape(host)
        lines = journal_lines(host.folder / "card.journal")
        replayed = garnel.replay(host.folder / "card.journal")
        after = scrape(host)
        return (before, lines, replayed) if before == after else None

    samples, lines, replayed = wait_until("two equal scrapes", settled, 20)
    observed = collections.Counter(
        (line["model"], line["kind"]) for line in lines if line["op"] == "observe"
    )
    # A model's series and the card's carry the card's label: GPU 0, the one card here.
    names = ("chat", "coder", "embed", "ghost")
    for metric, kind in [
        ("garnel_model_starts_total", "load_started"),
        ("garnel_model_exits_total", "process_exited"),
        ("garnel_model_load_failures_total", "load_failed"),
    ]:
        assert samples[metric] == {("0", name): observed[name, kind] for name in names}, metric
    assert samples["garnel_model_starts_total"][("0", "chat")] == 2
    assert samples["garnel_model_exits_total"] == {
        ("0", "chat"): 1,
        ("0", "coder"): 0,
        ("0", "embed"): 0,
        ("0", "ghost"): 0,
    }
    assert samples["garnel_model_load_failures_total"][("0", "ghost")] >= 1

    # One route of seven set for each model: the one /v1/models gives.
    route_gauge = samples["garnel_model_route"]
    assert len(route_gauge) == 4 * 7
    assert {name: kind for (_, name, kind), value in route_gauge.items() if value == 1} == routes(
        host
    )

    # The card's bytes: the fleet's, as its journal replays them, and as the report says.
    usable = garnel.plan(
        24 * GIB,
        10,
        [
            garnel.Model(n, b * GIB)
            for n, b in (("chat", 15), ("coder", 10), ("embed", 1), ("ghost", 1))
        ],
    )
    card = {kind: int(value) for (_, kind), value in samples["garnel_card_bytes"].items()}
    assert card == {
        "total": 24 * GIB,
        "reserve": 24 * GIB - usable.usable_bytes,
        "usable": usable.usable_bytes,
        "committed": replayed.committed_bytes(),
        "free": replayed.free_bytes(),
    }
    assert card["committed"] == 16 * GIB
    report = host.request("GET", "/", headers={**KEY, "Accept": "text/plain"}).body.decode()
    assert report.startswith(f"{card['committed'] / GIB:.1f} / {card['usable'] / GIB:.1f} GiB held")
    # No NVML here: a probe reports the planned bytes; a model never probed has none.
    assert samples["garnel_model_probed_bytes"] == {("0", "chat"): 15 * GIB, ("0", "embed"): GIB}
    assert samples["garnel_model_planned_bytes"][("0", "coder")] == 10 * GIB

    assert samples["garnel_requests_total"] == dict(sent)
    per_model = collections.Counter()
    for (_, name, _), count in sent.items():
        per_model[name,] += count
    assert samples["garnel_request_seconds_count"] == dict(per_model)
    assert samples["garnel_load_seconds_count"] == {("0", "chat"): 2, ("0", "embed"): 1}

    refused = status(host)
    assert (refused.returncode, refused.stdout) == (2, ""), refused
    assert refused.stderr.count("\n") == 1 and "refuses the key" in refused.stderr
    failing = status(host, key="sesame")
    assert failing.returncode == 1, failing.stderr  # the ghost is admitted and not ready
    assert "  ghost  failed\n" in failing.stdout and "not admitted" in failing.stdout
    assert host.end() == 0, host.stderr()


def test_the_status_page_its_logs_and_garnel_status(start_host: Any) -> None:
    odd = 'a<b>&"\x1b'  # a name the page must escape, and the terminal must not get raw
    chatty = [  # 300 lines of its own before it serves
        sys.executable,
        "-c",
        (
            "import os, sys; print('\\n'.join(map(str, range(300))), flush=True); "
            "os.execv(sys.executable, [sys.executable, *sys.argv[1:]])"
        ),
        str(STANDIN),
        "--port",
        "{port}",
    ]
    host: Host = start_host([model(odd, 1, command=chatty), model("huge", 30)])
    host.wait_routes(**{odd: "ready"})

    page = host.request("GET", "/")
    assert page.status == 200 and page.headers["Content-Type"].startswith("text/html")
    text = page.body.decode()
    assert "<b>" not in text and '<meta http-equiv="refresh"' in text and "viewport" in text
    rows = Rows()
    rows.feed(text)
    by_name = {row[0]: row for row in rows.rows[1:]}
    assert list(by_name) == [odd, "huge"]
    assert by_name[odd][1].startswith("resident for ") and by_name[odd][6:8] == ["1", "0"]
    assert by_name["huge"][1].startswith("not admitted — short by")
    (log_link,) = [link for link in rows.links if link.startswith("/logs/")]
    assert urllib.parse.unquote(log_link) == f"/logs/{odd}"

    tail = host.request("GET", log_link)
    lines = tail.body.decode().splitlines()
    assert tail.status == 200 and len(lines) == 200
    assert lines[0] == "101" and lines[-1].startswith("stand-in standin: pid")
    assert host.request("GET", "/logs/huge").status == 404  # admitted nowhere, never started
    assert host.request("GET", "/logs/nobody").status == 404

    shown = status(host)
    assert shown.returncode == 0, shown.stderr
    assert 'a<b>&"\\x1b' in shown.stdout and "\x1b" not in shown.stdout
    assert "  huge" in shown.stdout and "not_admitted\n" in shown.stdout
    as_json = status(host, "--json")
    assert as_json.returncode == 0, as_json.stderr
    document = json.loads(as_json.stdout)
    assert document["models"] == host.request("GET", "/v1/models").json()
    assert document["card"]["total"] == 24 * GIB and document["card"]["committed"] == GIB
    assert host.end() == 0


def test_the_example_day_drawn(tmp_path: Any) -> None:
    """The README's picture, made as it is: the example day served, then its journal drawn."""
    pytest.importorskip("matplotlib", reason="the plot extra")
    day = tmp_path / "day"
    served = subprocess.run(
        [sys.executable, str(REPO / "examples" / "serve_day.py"), "--keep", str(day)],
        capture_output=True,
        text=True,
        check=False,
        timeout=120,
    )
    assert served.returncode == 0, served.stderr
    for suffix in ("svg", "png"):
        picture = tmp_path / f"day.{suffix}"
        drawn = subprocess.run(
            [
                sys.executable,
                "-m",
                "garnel",
                "replay",
                str(day / "card.journal"),
                "--plot",
                str(picture),
            ],
            capture_output=True,
            text=True,
            check=False,
            timeout=120,
        )
        assert drawn.returncode == 0, drawn.stderr
    root = ElementTree.parse(tmp_path / "day.svg").getroot()
    assert root.tag == "{http://www.w3.org/2000/svg}svg"
    texts = "".join(root.itertext())
    for label in (
        "coder-14b (not admitted)",
        "chat-8b",
        "usable",
        "loading",
        "resident",
        "lost",
        "failed",
        "stopped",
        "its server exited",
        "a load failed",
    ):
        assert label in texts, label
    assert (tmp_path / "day.png").read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"
