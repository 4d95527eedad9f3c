"""The example day served for real: `garnel serve examples/serve.toml` with stand-in servers.

Serve starts, a request and a stream go through it, a server is killed and comes
back, the card's report is read from the journal, and serve stops cleanly,
leaving nothing running. It runs in a scratch folder (the configuration's
journal and logs go there) on a free port, in well under a minute; with
--keep FOLDER it runs in FOLDER and leaves the journal and logs there, for
`garnel replay FOLDER/card.journal --plot day.svg`.

Usage: python examples/serve_day.py [--keep FOLDER]
"""

from __future__ import annotations

import argparse
import contextlib
import http.client
import json
import os
import pathlib
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from typing import Any, Callable

import garnel

HERE = pathlib.Path(__file__).parent


def step(title: str) -> None:
    print(f"\n--- {title}", flush=True)


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


class Client:
    def __init__(self, port: int) -> None:
        self.port = port

    def call(self, method: str, path: str, body: object = None) -> tuple[int, dict[str, str], Any]:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        try:
            data = None if body is None else json.dumps(body)
            connection.request(method, path, body=data)
            answer = connection.getresponse()
            return answer.status, dict(answer.headers), json.loads(answer.read())
        finally:
            connection.close()

    def routes(self) -> dict[str, str]:
        _, _, listed = self.call("GET", "/v1/models")
        return {entry["id"]: entry["garnel"]["route"] for entry in listed["data"]}

    def stream(self, model: str) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=30)
        body = {"model": model, "stream": True, "messages": [{"role": "user", "content": "hi"}]}
        connection.request("POST", "/v1/chat/completions", body=json.dumps(body))
        answer = connection.getresponse()
        for line in answer:
            if line.startswith(b"data: "):
                event = line[6:].strip()
                text = "[DONE]" if event == b"[DONE]" else json.loads(event)["choices"][0]["delta"]
                print(
                    f"  {time.strftime('%H:%M:%S')}.{int(time.time() * 1000) % 1000:03d}  {text}",
                    flush=True,
                )
        connection.close()


def wait(what: str, done: Callable[[], bool], timeout: float = 20.0) -> None:
    deadline = time.monotonic() + timeout
    while not done():
        if time.monotonic() > deadline:
            raise SystemExit(f"serve_day: {what} did not happen within {timeout:g} s")
        time.sleep(0.1)


def answers(client: Client) -> bool:
    try:
        return client.call("GET", "/health")[0] == 200
    except OSError:
        return False


def main() -> None:
    parser = argparse.ArgumentParser(description="The example day, served for real.")
    parser.add_argument("--keep", metavar="FOLDER", help="run in FOLDER and keep what serve wrote")
    keep = parser.parse_args().keep
    with contextlib.ExitStack() as scratch:
        if keep is None:
            folder = pathlib.Path(scratch.enter_context(tempfile.TemporaryDirectory()))
        else:
            folder = pathlib.Path(keep)
            folder.mkdir(parents=True, exist_ok=True)
            for old in ("card.journal", "logs"):  # a day of its own, not appended to another
                shutil.rmtree(folder / old, ignore_errors=True)
                with contextlib.suppress(FileNotFoundError):
                    (folder / old).unlink()
        port = free_port()
        config = (HERE / "serve.toml").read_text().replace("127.0.0.1:8080", f"127.0.0.1:{port}")
        (folder / "serve.toml").write_text(config)
        shutil.copy(HERE / "standin.py", folder / "standin.py")
        client = Client(port)

        step(f"garnel serve serve.toml  (examples/serve.toml, on port {port})")
        serve = subprocess.Popen(
            [sys.executable, "-m", "garnel", "serve", "serve.toml"], cwd=folder
        )
        try:
            a_day(client, serve, folder)
        finally:
            if serve.poll() is None:
                serve.kill()  # its servers die with it
                serve.wait(10)


def a_day(client: Client, serve: subprocess.Popen[bytes], folder: pathlib.Path) -> None:
    wait("serve listening", lambda: answers(client))
    wait(
        "every admitted model ready",
        lambda: (
            "warming" not in client.routes().values() and "unknown" not in client.routes().values()
        ),
    )
    print("routes:", client.routes(), flush=True)

    step("A request through serve")
    status, headers, body = client.call(
        "POST", "/v1/chat/completions", {"model": "chat-8b", "messages": []}
    )
    print(f"  {status} {headers['X-Garnel-Route']}: {body['choices'][0]['message']['content']}")
    step("A stream through serve, chunk by chunk")
    client.stream("embed-small")
    step("A model the plan rejected, and one never declared")
    for model in ("coder-14b", "vision-7b"):
        status, headers, body = client.call("POST", "/v1/chat/completions", {"model": model})
        elsewhere = headers.get("X-Garnel-Try-Elsewhere")
        print(f"  {model}: {status}, try elsewhere: {elsewhere}, {body['error']['message']}")

    step("chat-8b's server is killed")
    pid = int(headers_of(client, "chat-8b")["X-Standin-Pid"])
    os.kill(pid, signal.SIGKILL)
    wait("chat-8b lost", lambda: client.routes()["chat-8b"] == "lost")
    status, _, body = client.call("POST", "/v1/chat/completions", {"model": "chat-8b"})
    print(f"  at once: {status} {body['error']['message']}")
    wait("chat-8b back", lambda: client.routes()["chat-8b"] == "ready")
    print(
        f"  then: ready again, a new server (pid {headers_of(client, 'chat-8b')['X-Standin-Pid']})"
    )

    step("The card's report, from its journal")
    print(garnel.replay(folder / "card.journal").report(), end="", flush=True)

    step("SIGTERM: a clean stop")
    serve.send_signal(signal.SIGTERM)
    print(f"  garnel serve exited with {serve.wait(30)}")
    print("  the journal's last life ends with:")
    print(garnel.replay(folder / "card.journal").report(), end="")


def headers_of(client: Client, model: str) -> dict[str, str]:
    return client.call("POST", "/v1/chat/completions", {"model": model})[1]


if __name__ == "__main__":
    main()
