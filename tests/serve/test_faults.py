"""What a client gets when the request, the server or the host goes wrong: the documented
answers, never a hang; and servers that never outlive serve."""

from __future__ import annotations

import contextlib
import gzip
import hashlib
import http.client
import json
import resource
import signal
import socket
import subprocess
import sys
from typing import Any

import garnel
import pytest
from serve_support import (
    GIB,
    Host,
    alive,
    config_text,
    free_port,
    journal_lines,
    model,
    start_host,
    wait_until,
)

__all__ = ["start_host"]  # the fixture

KEY = {"Authorization": "Bearer sesame"}
GZIP = {**KEY, "Content-Encoding": "gzip"}


def no_route_headers(answer: Any) -> bool:
    return not any(key.startswith("X-Garnel-") for key in answer.headers)


def test_bad_requests_and_the_key(start_host: Any) -> None:
    host: Host = start_host([model("chat")], serve={"api_key": "sesame"})
    assert host.request("GET", "/v1/models").status == 401
    wait_until(
        "chat ready",
        lambda: host.request("GET", "/v1/models", headers=KEY).json()["data"][0]["garnel"]["ready"],
    )

    path = "/v1/chat/completions?trace=1&x=%2F"
    cases = [
        (b"{not json", KEY, 400, "invalid_request"),
        (b'{"messages": []}', KEY, 400, "invalid_request"),
        (b'{"model": 7}', KEY, 400, "invalid_request"),
        (b"[" * 100_000, KEY, 400, "invalid_request"),  # deeper than the parser recurses
        (b'{"model": "chat"}', {}, 401, "invalid_api_key"),
        (b'{"model": "chat"}', {"Authorization": "Bearer open"}, 401, "invalid_api_key"),
        (b" " * (64 * 2**20 + 1), KEY, 413, "request_too_large"),
        (gzip.compress(b" " * (64 * 2**20 + 1)), GZIP, 413, "request_too_large"),
        (b'{"model": "chat"}', {**KEY, "Content-Encoding": "br"}, 400, "invalid_request"),
    ]
    for body, headers, status, code in cases:
        answer = host.request("POST", path, body, headers)
        assert (answer.status, answer.json()["error"]["code"]) == (status, code), body[:20]
        assert no_route_headers(answer)

    # Hop-by-hop headers stay with the client's connection, those its Connection names too.
    passing = {**KEY, "Connection": "keep-alive, X-Hop", "X-Hop": "1", "X-Trace": "2"}
    answer = host.request("POST", path, b'{"model": "chat"}', passing)
    assert answer.status == 200 and answer.headers["X-Garnel-Route"] == "ready"
    seen = answer.json()["standin"]
    assert seen["path"] == path and seen["authorization"] is False
    assert "x-trace" in seen["headers"] and "x-hop" not in seen["headers"]

    # A compressed body is routed by the name inside it and reaches the server as sent.
    packed = gzip.compress(b'{"model": "chat"}')
    seen = host.request("POST", path, packed, GZIP).json()["standin"]
    assert seen["body_sha256"] == hashlib.sha256(packed).hexdigest()
    assert seen["content_encoding"] == "gzip"


def test_the_server_failing_an_answer(start_host: Any) -> None:
    host: Host = start_host(
        [model("chat", 1, "--chunk-ms", "10")],
        serve={"request_timeout_s": 0.5, "probe_interval_s": 60},
    )
    host.wait_routes(chat="ready")
    stalled = host.post("chat", standin_stall_s=2)
    assert (stalled.status, stalled.json()["error"]["code"]) == (504, "upstream_timeout")
    assert stalled.headers["X-Garnel-Route"] == "ready"

    dropped = host.post("chat", standin_drop=True)
    assert (dropped.status, dropped.json()["error"]["code"]) == (502, "upstream_unreachable")
    host.wait_routes(chat="lost")
    host.wait_routes(chat="ready")  # started again after its backoff

    # A server that dies mid-stream: the client's stream ends, it does not hang.
    connection = host.connection(timeout=10)
    body = {"model": "chat", "stream": True, "standin_chunks": 50, "standin_die_after": 3}
    connection.request("POST", "/v1/chat/completions", json.dumps(body))
    response = connection.getresponse()
    assert response.status == 200
    try:
        received = response.read()  # a hang would time out here and fail
    except http.client.IncompleteRead as cut:  # a chunked body cut short is an end too
        received = cut.partial
    assert received.count(b"data: ") <= 3 and b"[DONE]" not in received


def test_a_request_waits_for_a_model_that_is_loading(start_host: Any) -> None:
    host: Host = start_host(
        [model("slow", 1, "--healthy-after", "3"), model("next", 1)],
        serve={"warming_wait_s": 10},
    )
    # "next" is not started before "slow" is up: it routes unknown, and waits.
    assert host.routes()["next"] in ("unknown", "warming")
    answer = host.post("next")
    assert answer.status == 200 and answer.headers["X-Garnel-Route"] == "ready"

    impatient: Host = start_host(
        [model("slow", 1, "--healthy-after", "5")], serve={"warming_wait_s": 0.3}
    )
    refused = impatient.post("slow")
    assert refused.status == 503 and refused.json()["error"]["code"] in ("warming", "unknown")
    assert "Retry-After" in refused.headers


def test_failing_probes_lose_the_model_and_end_its_server(start_host: Any) -> None:
    host: Host = start_host(
        [model("flaky", 1, "--unhealthy-after", "1")],
        serve={"probe_interval_s": 0.2, "journal": "card.journal"},
    )
    host.wait_routes(flaky="ready")
    first = host.server_of("flaky")
    wait_until("flaky's server ended", lambda: not alive(first), 10)
    assert host.end() == 0
    lines = journal_lines(host.folder / "card.journal")
    failed = [line for line in lines if line.get("kind") == "probe_failed"]
    assert failed and json.loads(failed[0]["detail"])["gpuPresent"] is True
    # Its server was ended by serve, not seen to exit: no process_exited.
    assert not [line for line in lines if line.get("kind") == "process_exited"]


def test_sigkill_of_serve_leaves_no_server(start_host: Any) -> None:
    host: Host = start_host([model("a"), model("b")])
    host.wait_routes(a="ready", b="ready")
    servers = [host.server_of("a"), host.server_of("b")]
    host.process.kill()
    host.process.wait(10)
    wait_until("servers gone", lambda: not any(alive(pid) for pid in servers), 10)


@pytest.mark.parametrize(
    ("fault", "key"), [("listen", "listen"), ("folder", "journal"), ("held", "journal")]
)
def test_what_cannot_start_is_a_configuration_error(tmp_path: Any, fault: str, key: str) -> None:
    # A port someone else listens on; a folder where the journal's file should be; a
    # journal another fleet writes (a second serve on the same card, say).
    with socket.socket() as busy, contextlib.ExitStack() as held:
        busy.bind(("127.0.0.1", 0))
        busy.listen()
        serve = {"listen": f"127.0.0.1:{busy.getsockname()[1]}"}
        if fault != "listen":
            journal = "." if fault == "folder" else "card.journal"
            serve = {"listen": f"127.0.0.1:{free_port()}", "journal": journal}
        if fault == "held":
            held.enter_context(garnel.Fleet(GIB, 10, "[]", journal=tmp_path / "card.journal"))
        (tmp_path / "serve.toml").write_text(config_text([model("a")], serve=serve))
        done = subprocess.run(
            [sys.executable, "-m", "garnel", "serve", "serve.toml"],
            capture_output=True,
            text=True,
            check=False,
            cwd=tmp_path,
            timeout=60,
        )
    errors = [line for line in done.stderr.splitlines() if "error" in line]
    assert done.returncode == 2 and len(errors) == 1, done.stderr
    assert f"[serve] {key}:" in errors[0]
    assert not (tmp_path / "logs").exists()  # no server was started


def test_a_journal_that_fails_while_serving_stops_the_host(tmp_path: Any) -> None:
    """A full disk, as the kernel gives it: writes past RLIMIT_FSIZE fail with EFBIG."""

    def small_files() -> None:
        signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
        resource.setrlimit(resource.RLIMIT_FSIZE, (2000, 2000))

    serve = {"listen": f"127.0.0.1:{free_port()}", "journal": "card.journal"}
    serve["probe_interval_s"] = 0.1
    (tmp_path / "serve.toml").write_text(config_text([model("a")], serve=serve))
    done = subprocess.run(
        [sys.executable, "-m", "garnel", "serve", "serve.toml"],
        capture_output=True,
        text=True,
        check=False,
        cwd=tmp_path,
        timeout=60,
        preexec_fn=small_files,
    )
    assert done.returncode == 1, done.stderr
    assert "the card's journal failed, so serve stops" in done.stderr
    assert "stopped; every server has ended" in done.stderr
