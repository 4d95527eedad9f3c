"""Shared by the host's tests: configurations, a `garnel serve` run as a user runs it, and
HTTP through it. Every process a test starts is ended by its id, bounded in time.

(Not a conftest.py: tests/python has its own by that name.)"""

from __future__ import annotations

import contextlib
import html.parser
import http.client
import json
import os
import pathlib
import signal
import socket
import subprocess
import sys
import time
from collections.abc import Iterator, Mapping, Sequence
from typing import Any

import pytest

pytest.importorskip("aiohttp", reason="garnel serve needs aiohttp (the serve extra)")

REPO = pathlib.Path(__file__).resolve().parents[2]
STANDIN = REPO / "examples" / "standin.py"
GIB = 2**30


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def standin(*options: str) -> list[str]:
    """The argv of a stand-in server, as a model's `command`."""
    return [sys.executable, str(STANDIN), "--port", "{port}", "--name", "{name}", *options]


def toml_value(value: object) -> str:
    if isinstance(value, (str, int, float, bool)):
        return json.dumps(value)  # true and false, as TOML writes them too
    if isinstance(value, Mapping):
        return "{" + ", ".join(f"{json.dumps(k)} = {toml_value(v)}" for k, v in value.items()) + "}"
    assert isinstance(value, Sequence), value
    return "[" + ", ".join(toml_value(item) for item in value) + "]"


def config_text(
    models: Sequence[Mapping[str, object]],
    card: Mapping[str, object] | None = None,
    serve: Mapping[str, object] | None = None,
    cards: Sequence[Mapping[str, object]] = (),
) -> str:
    """A configuration: one [card] (24 GiB unless `card` says), or a [[card]] for each of `cards`."""
    lines = []
    for table, given in [("[[card]]", each) for each in cards] or [("[card]", card or {})]:
        lines.append(table)
        values = {"total": "24GiB", **dict(given)}  # a total of None: ask NVML
        lines += [f"{k} = {toml_value(v)}" for k, v in values.items() if v is not None]
    lines.append("[serve]")
    lines += [f"{k} = {toml_value(v)}" for k, v in (serve or {}).items()]
    for model in models:
        lines.append("[[model]]")
        lines += [f"{k} = {toml_value(v)}" for k, v in model.items()]
    return "\n".join(lines) + "\n"


def model(name: str, gib: float = 1, *options: str, **keys: object) -> dict[str, object]:
    """A stand-in model of `gib` GiB of weights, served by a command."""
    return {
        "name": name,
        "weights_bytes": int(gib * GIB),
        "engine": "command",
        "command": standin(*options),
        **keys,
    }


def alive(pid: int) -> bool:
    try:
        os.kill(pid, 0)
    except ProcessLookupError:
        return False
    with contextlib.suppress(OSError), open(f"/proc/{pid}/stat") as stat:
        return stat.read().rsplit(")", 1)[1].split()[0] != "Z"  # a zombie is as good as gone
    return True


def wait_until(what: str, done: Any, timeout: float = 20.0) -> Any:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        result = done()
        if result:
            return result
        time.sleep(0.05)
    raise AssertionError(f"not within {timeout} s: {what}")


class Answer:
    def __init__(self, status: int, headers: Mapping[str, str], body: bytes) -> None:
        self.status, self.headers, self.body = status, headers, body

    def json(self) -> Any:
        return json.loads(self.body)


class Client:
    """HTTP to a port on loopback; the stand-in servers that answered are remembered."""

    def __init__(self, port: int) -> None:
        self.port = port
        self.servers: set[int] = set()  # stand-in pids seen in answers

    def connection(self, timeout: float = 30.0) -> http.client.HTTPConnection:
        return http.client.HTTPConnection("127.0.0.1", self.port, timeout=timeout)

    def request(
        self,
        method: str,
        path: str,
        body: object = None,
        headers: Mapping[str, str] | None = None,
        timeout: float = 30.0,
    ) -> Answer:
        data = body if isinstance(body, bytes) or body is None else json.dumps(body).encode()
        connection = self.connection(timeout)
        try:
            connection.request(method, path, body=data, headers=dict(headers or {}))
            response = connection.getresponse()
            answer = Answer(response.status, dict(response.headers), response.read())
        finally:
            connection.close()
        if "X-Standin-Pid" in answer.headers:
            self.servers.add(int(answer.headers["X-Standin-Pid"]))
        return answer


class Host(Client):
    """`garnel serve CONFIG` in a subprocess, and HTTP to it."""

    def __init__(self, folder: pathlib.Path, text: str, port: int, path: str = "") -> None:
        self.folder = folder
        self.config = folder / "serve.toml"
        self.config.write_text(text)
        super().__init__(port)
        self.out = open(folder / "serve.out", "w+b")  # noqa: SIM115
        self.err = open(folder / "serve.err", "w+b")  # noqa: SIM115
        self.process = subprocess.Popen(
            [sys.executable, "-m", "garnel", "serve", str(self.config)],
            stdout=self.out,
            stderr=self.err,
            cwd=folder,
            env=dict(os.environ, PYTHONPATH=path),
        )

    def stderr(self) -> str:
        return (self.folder / "serve.err").read_text()

    def post(self, model: str, **fields: object) -> Answer:
        return self.request("POST", "/v1/chat/completions", {"model": model, **fields})

    def routes(self) -> dict[str, str]:
        listed = self.request("GET", "/v1/models").json()["data"]
        return {entry["id"]: entry["garnel"]["route"] for entry in listed}

    def wait_routes(self, timeout: float = 30.0, **wanted: str) -> None:
        def reached() -> bool:
            assert self.process.poll() is None, self.stderr()
            try:
                routes = self.routes()
            except OSError:
                return False
            return all(routes.get(name) == kind for name, kind in wanted.items())

        wait_until(f"routes {wanted}", reached, timeout)

    def server_of(self, name: str) -> int:
        pid = int(self.post(name).headers["X-Standin-Pid"])
        return pid

    def end(self, sig: signal.Signals = signal.SIGTERM, timeout: float = 30.0) -> int:
        """Signals serve and waits for it; SIGKILL to it and its servers past `timeout`."""
        if self.process.poll() is None:
            self.process.send_signal(sig)
        try:
            return self.process.wait(timeout)
        finally:
            self.close()

    def close(self) -> None:
        if self.process.poll() is None:
            self.process.kill()
            self.process.wait(10)
        for pid in self.servers:
            if alive(pid):
                with contextlib.suppress(ProcessLookupError):
                    os.kill(pid, signal.SIGKILL)
        self.out.close()
        self.err.close()


@pytest.fixture
def start_host(tmp_path: pathlib.Path) -> Iterator[Any]:
    """start_host(models, card=, serve=, path=, cards=) -> a Host listening on a free port,
    ended at teardown; `path` goes on serve's PYTHONPATH, `cards` are [[card]] tables."""
    hosts: list[Host] = []

    def start(
        models: Sequence[Mapping[str, object]],
        card: Mapping[str, object] | None = None,
        serve: Mapping[str, object] | None = None,
        path: str = "",
        cards: Sequence[Mapping[str, object]] = (),
    ) -> Host:
        port = free_port()
        settings = {"listen": f"127.0.0.1:{port}", **dict(serve or {})}
        folder = tmp_path / f"host{len(hosts)}"
        folder.mkdir()
        host = Host(folder, config_text(models, card, settings, cards), port, path)
        hosts.append(host)
        wait_until("serve listens", lambda: _listening(host), 30)
        return host

    yield start
    for host in hosts:
        host.close()


def _listening(host: Host) -> bool:
    assert host.process.poll() is None, host.stderr()
    try:
        return host.request("GET", "/health", timeout=1).status == 200
    except OSError:
        return False


def journal_lines(path: pathlib.Path) -> list[dict[str, Any]]:
    return [json.loads(line) for line in path.read_text().splitlines() if line.strip()]


class Rows(html.parser.HTMLParser):
    """The status page's table rows, each as its cells' texts, and its links."""

    def __init__(self) -> None:
        super().__init__()
        self.rows: list[list[str]] = []
        self.links: list[str] = []
        self.cell: list[str] | None = None

    def handle_starttag(self, tag: str, attrs: list[tuple[str, str | None]]) -> None:
        if tag == "tr":
            self.rows.append([])
        elif tag in ("td", "th") and self.rows:
            self.cell = []
        elif tag == "a":
            self.links.append(dict(attrs)["href"] or "")

    def handle_endtag(self, tag: str) -> None:
        if tag in ("td", "th") and self.cell is not None:
            self.rows[-1].append("".join(self.cell))
            self.cell = None

    def handle_data(self, data: str) -> None:
        if self.cell is not None:
            self.cell.append(data)
