"""A host day with stand-in servers: served as planned, a server killed and back, a load that
fails, a clean stop with a stream in flight, and a journal that replays the day."""

from __future__ import annotations

import json
import os
import pathlib
import signal
from typing import Any

import garnel
from serve_support import Host, alive, journal_lines, model, start_host, wait_until

__all__ = ["start_host"]  # the fixture


def day_config() -> dict[str, Any]:
    return {
        "models": [
            model("chat", 15, "--healthy-after", "0.3", "--chunk-ms", "20"),
            model("coder", 10),  # does not fit beside chat: rejected by the plan
            model("embed", 1),
            model("broken", 1, "--never-healthy"),
            model("ghost", 1, command=["no-such-server-anywhere", "{port}"]),
        ],
        "serve": {"journal": "card.journal", "load_timeout_s": 1.5, "probe_interval_s": 0.5},
    }


def stream(host: Host, name: str, chunks: int) -> list[bytes]:
    connection = host.connection(timeout=30)
    body = {"model": name, "stream": True, "standin_chunks": chunks}
    connection.request("POST", "/v1/chat/completions", body=json.dumps(body))
    response = connection.getresponse()
    assert response.status == 200 and response.headers["X-Garnel-Route"] == "ready"
    events = [line for line in response.read().split(b"\n\n") if line]
    connection.close()
    return events


def test_a_host_day(start_host: Any) -> None:
    host: Host = start_host(**day_config())
    host.wait_routes(chat="ready", embed="ready", broken="failed", ghost="failed")

    answer = host.post("chat", messages=[])
    assert answer.status == 200 and answer.headers["X-Garnel-Route"] == "ready"
    assert answer.json()["choices"][0]["message"]["content"] == "hello from chat"
    assert len(stream(host, "embed", 4)) == 5  # four chunks and [DONE]

    rejected = host.post("coder")
    assert (rejected.status, rejected.json()["error"]["code"]) == (503, "not_admitted")
    assert rejected.headers["X-Garnel-Try-Elsewhere"] == "1" and "Retry-After" in rejected.headers
    undeclared = host.post("nobody")
    assert (undeclared.status, undeclared.json()["error"]["code"]) == (404, "not_declared")
    broken = host.post("broken").json()["error"]
    assert broken["code"] == "failed" and "stand-in broken: pid" in broken["message"]
    ghost = host.post("ghost").json()["error"]["message"]
    assert "'no-such-server-anywhere' is not found on PATH" in ghost

    first = host.server_of("chat")
    os.kill(first, signal.SIGKILL)
    wait_until("chat lost", lambda: host.routes()["chat"] == "lost", 5)
    host.wait_routes(chat="ready")
    assert host.server_of("chat") != first

    # SIGTERM with a stream in flight: the stream finishes whole, then serve exits 0.
    connection = host.connection()
    connection.request(
        "POST",
        "/v1/chat/completions",
        json.dumps({"model": "chat", "stream": True, "standin_chunks": 40}),
    )
    response = connection.getresponse()
    assert response.read(6) == b"data: "
    servers = {host.server_of("embed"), int(response.headers["X-Standin-Pid"])}
    host.process.send_signal(signal.SIGTERM)
    rest = response.read()
    assert rest.endswith(b"data: [DONE]\n\n") and rest.count(b"data: ") == 40
    assert host.end() == 0, host.stderr()
    assert not [pid for pid in servers | {first} if alive(pid)]

    check_journal(host.folder / "card.journal")


def check_journal(path: pathlib.Path) -> None:
    lines = journal_lines(path)
    seen = [(line["model"], line["kind"]) for line in lines if line["op"] == "observe"]
    exits = [line for line in lines if line.get("kind") == "process_exited"]
    assert [(line["model"], json.loads(line["detail"])) for line in exits] == [
        ("chat", {"code": -9})
    ]
    chat_starts = [
        line["now"]
        for line in lines
        if line.get("kind") == "load_started" and line["model"] == "chat"
    ]
    assert len(chat_starts) == 2 and chat_starts[1] >= exits[0]["now"] + 1000  # the backoff
    # One load at a time: each load ends (probe_ok or load_failed) before the next starts.
    loading = None
    for name, kind in seen:
        if kind == "load_started":
            assert loading is None, f"{name} started while {loading} loaded"
            loading = name
        elif kind in ("probe_ok", "load_failed") and name == loading:
            loading = None
    assert seen[-4:] == [(name, "stop") for name in ("chat", "embed", "broken", "ghost")]
    report = garnel.replay(path).report()
    assert [line.split(None, 1)[1] for line in report.splitlines()[1:]] == [
        "stopped on request",
        "not admitted — short by 3.4 GiB",
        "stopped on request",
        "stopped on request",
        "stopped on request",
    ]
