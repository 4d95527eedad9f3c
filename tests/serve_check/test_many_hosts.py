"""Two hosts behind Debian's nginx, configured as docs/many-hosts.md says, word for word.

Each host's card holds one model of the same roster: requests through nginx reach
the host that holds theirs, streams included; a model whose server was killed gets
503 through nginx until it is back; with one serve stopped, the other's model still
answers. Run by ./dev check, which installs nginx.
"""

from __future__ import annotations

import json
import os
import pathlib
import re
import shutil
import signal
import subprocess
import sys
import time
from collections.abc import Iterator
from typing import Any

import pytest

sys.path.insert(0, str(pathlib.Path(__file__).resolve().parents[1] / "serve"))
from serve_support import REPO, Client, Host, free_port, model, start_host, wait_until

__all__ = ["start_host"]  # the fixture

NGINX = shutil.which("nginx") or "/usr/sbin/nginx"
if not os.access(NGINX, os.X_OK):
    pytest.skip("needs Debian's nginx (./dev check installs it)", allow_module_level=True)

MAIN_CONF = """\
{user}worker_processes 1;
daemon off;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 256; }}
http {{
  access_log off;
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
  include {prefix}/garnel.conf;
}}
"""


def documented_conf(hosts: list[int], listen: int) -> str:
    """The nginx configuration of docs/many-hosts.md, its addresses put on loopback."""
    text = (REPO / "docs" / "many-hosts.md").read_text()
    (conf,) = re.findall(r"```nginx\n(.*?)```", text, re.DOTALL)
    servers = re.findall(r"server 10\.0\.0\.\d+:8080", conf)
    assert len(servers) == len(hosts) and conf.count("listen 8080;") == 1
    for address, port in zip(servers, hosts):
        conf = conf.replace(address, f"server 127.0.0.1:{port}")
    return conf.replace("listen 8080;", f"listen 127.0.0.1:{listen};")


@pytest.fixture
def nginx(tmp_path: pathlib.Path) -> Iterator[Any]:
    started: list[subprocess.Popen[bytes]] = []

    def start(hosts: list[int]) -> int:
        prefix = tmp_path / "nginx"
        prefix.mkdir()
        port = free_port()
        (prefix / "garnel.conf").write_text(documented_conf(hosts, port))
        user = "user root;\n" if os.geteuid() == 0 else ""
        (prefix / "nginx.conf").write_text(MAIN_CONF.format(user=user, prefix=prefix))
        process = subprocess.Popen(
            [NGINX, "-p", str(prefix), "-c", str(prefix / "nginx.conf")],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        started.append(process)

        def listening() -> bool:
            assert process.poll() is None, (prefix / "error.log").read_text()
            try:
                Client(port).request("GET", "/health", timeout=1)
            except OSError:
                return False
            return True

        wait_until("nginx listens", listening, 20)
        return port

    yield start
    for process in started:
        if process.poll() is None:
            process.send_signal(signal.SIGTERM)
            try:
                process.wait(10)
            except subprocess.TimeoutExpired:
                process.kill()
                process.wait(10)


def through(port: int, name: str, **fields: object) -> Any:
    return Client(port).request("POST", "/v1/chat/completions", {"model": name, **fields})


def stream_through(port: int, name: str) -> tuple[list[dict[str, Any]], float]:
    """A stream's events, and when its first arrived (time.time(), as the stand-in stamps)."""
    connection = Client(port).connection()
    body = {"model": name, "stream": True, "standin_chunks": 10}
    connection.request("POST", "/v1/chat/completions", json.dumps(body))
    response = connection.getresponse()
    assert response.status == 200 and response.headers["X-Garnel-Route"] == "ready"
    events, first = [], 0.0
    for line in response:
        if line.startswith(b"data: {"):
            events.append(json.loads(line[6:]))
            first = first or time.time()
    connection.close()
    return events, first


def test_two_hosts_behind_nginx(start_host: Any, nginx: Any) -> None:
    # The same roster on two cards, each too small for both: a 24 GiB card holds a,
    # a 16 GiB card cannot, and holds b.
    roster = [
        model("a", 20, "--name", "a", "--healthy-after", "2"),
        model("b", 10, "--name", "b", "--chunk-ms", "100"),
    ]
    # A request for a model that is loading is answered at once, so nginx tries the next host.
    serve = {"probe_interval_s": 60, "warming_wait_s": 0}
    host_a: Host = start_host(roster, card={"total": "24GiB"}, serve=serve)
    host_b: Host = start_host(roster, card={"total": "16GiB"}, serve=serve)
    host_a.wait_routes(a="ready", b="not_admitted")
    host_b.wait_routes(a="not_admitted", b="ready")
    port = nginx([host_a.port, host_b.port])

    for _ in range(4):  # each host is first in the round in turn
        for name in ("a", "b"):
            answer = through(port, name)
            assert answer.status == 200, answer.body
            assert answer.json()["model"] == name
    for name in ("a", "b"):
        events, first = stream_through(port, name)
        assert [event["model"] for event in events] == [name] * 10
        # Unbuffered: the first chunk is here before the stand-in sends the last.
        assert first < events[-1]["sent"]

    # a's server killed: a gets 503 through nginx (one host says lost, the other not
    # admitted) until a is back; b answers all along.
    os.kill(int(through(port, "a").headers["X-Standin-Pid"]), signal.SIGKILL)
    wait_until("a lost", lambda: host_a.routes()["a"] in ("lost", "warming"), 10)
    assert through(port, "a").status == 503
    assert through(port, "b").status == 200
    wait_until("a back through nginx", lambda: through(port, "a").status == 200, 30)

    # One serve stopped: the other host's model still answers.
    assert host_b.end() == 0
    assert through(port, "a").status == 200
    # No host holds b now: the answer is the last host's tried, a's 503 or nginx's 502
    # for the one that is down.
    assert through(port, "b").status in (502, 503)
    assert host_a.end() == 0
