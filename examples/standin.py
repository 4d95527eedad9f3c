"""A stand-in model server: the HTTP face of one, with no model behind it.

What `garnel serve` needs of a model server, and the ways servers fail:
slow to become healthy (`--healthy-after`), never healthy (`--never-healthy`),
unhealthy after a while (`--unhealthy-after`),
completions with and without `"stream": true` (server-sent events, a chunk
every `--chunk-ms`), and, asked in a request's body, an exit
(`"standin_exit": CODE`), a death in the middle of a stream
(`"standin_die_after": N` chunks), a connection dropped unanswered
(`"standin_drop": true`) or a stall before answering
(`"standin_stall_s": S`). Every answer carries `X-Standin-Pid`, and a
completion the CUDA_VISIBLE_DEVICES it was started with. Standard
library only, so any Python 3.9 or later runs it.

Usage: python3 examples/standin.py --port PORT [--name NAME] [--healthy-after S]
       [--never-healthy] [--unhealthy-after S] [--chunk-ms MS] [--chunks N]
"""

from __future__ import annotations

import argparse
import gzip
import hashlib
import json
import os
import sys
import threading
import time
from http.server import BaseHTTPRequestHandler, ThreadingHTTPServer
from typing import Any


class StandIn(ThreadingHTTPServer):
    daemon_threads = True
    options: argparse.Namespace
    started: float


class Handler(BaseHTTPRequestHandler):
    protocol_version = "HTTP/1.1"  # keep-alive, as real servers do
    # Headers and body go out in separate writes: without this, Nagle's algorithm
    # holds the body back until the client's delayed acknowledgement, 40 ms.
    disable_nagle_algorithm = True
    server: StandIn

    def log_message(self, format: str, *args: Any) -> None:  # quiet: the log is for events
        pass

    def do_GET(self) -> None:
        options = self.server.options
        if self.path == "/health":
            age = time.monotonic() - self.server.started
            healthy = not options.never_healthy and options.healthy_after <= age
            if options.unhealthy_after is not None and age >= options.unhealthy_after:
                healthy = False
            self.answer(200 if healthy else 503, {"status": "ok" if healthy else "loading"})
        elif self.path == "/v1/models":
            self.answer(200, {"object": "list", "data": [{"id": options.name, "object": "model"}]})
        else:
            self.answer(404, {"error": {"message": "no such path", "code": "not_found"}})

    def do_POST(self) -> None:
        length = int(self.headers.get("Content-Length") or 0)
        raw = self.rfile.read(length)
        self.raw_body = raw
        try:
            if self.headers.get("Content-Encoding") == "gzip":
                raw = gzip.decompress(raw)
            body = json.loads(raw or b"{}")
        except (ValueError, OSError):  # not JSON, or not gzip
            self.answer(400, {"error": {"message": "not JSON", "code": "invalid_json"}})
            return
        if not isinstance(body, dict):
            body = {}
        if body.get("standin_drop"):
            os._exit(1)
        if "standin_stall_s" in body:
            time.sleep(float(body["standin_stall_s"]))
        if "standin_exit" in body:
            self.answer(200, {"exiting": body["standin_exit"]})
            self.wfile.flush()
            os._exit(int(body["standin_exit"]))
        if self.path.split("?")[0] not in ("/v1/chat/completions", "/v1/completions"):
            self.answer(200, {"object": "list", "data": [{"embedding": [0.0, 1.0], "index": 0}]})
        elif body.get("stream"):
            self.stream(body)
        else:
            self.answer(200, self.completion(body, "hello from " + self.server.options.name))

    def completion(self, body: dict[str, Any], text: str) -> dict[str, Any]:
        chat = self.path.startswith("/v1/chat/")
        choice: dict[str, Any] = {"index": 0, "finish_reason": "stop"}
        if chat:
            choice["message"] = {"role": "assistant", "content": text}
        else:
            choice["text"] = text
        return {
            "id": "standin-1",
            "object": "chat.completion" if chat else "text_completion",
            "model": self.server.options.name,
            "choices": [choice],
            "standin": {
                "pid": os.getpid(),
                "path": self.path,
                "authorization": "Authorization" in self.headers,
                "headers": sorted(key.lower() for key in self.headers),
                "request_model": body.get("model"),
                "body_sha256": hashlib.sha256(self.raw_body).hexdigest(),
                "content_encoding": self.headers.get("Content-Encoding"),
                # The card serve let it see, as a real server's CUDA would.
                "cuda_visible_devices": os.environ.get("CUDA_VISIBLE_DEVICES"),
            },
        }

    def stream(self, body: dict[str, Any]) -> None:
        options = self.server.options
        chunks = int(body.get("standin_chunks", options.chunks))
        die_after = body.get("standin_die_after")
        self.send_response(200)
        self.send_header("Content-Type", "text/event-stream")
        self.send_header("Cache-Control", "no-cache")
        self.send_header("X-Standin-Pid", str(os.getpid()))
        # The stream's end is the connection's: no length to know in advance.
        self.send_header("Connection", "close")
        self.end_headers()
        self.close_connection = True
        for number in range(chunks):
            if die_after is not None and number >= int(die_after):
                os._exit(1)
            delta = {"content": f"tok{number} "}
            event = {
                "id": "standin-1",
                "model": options.name,
                "index": number,
                "sent": time.time(),
                "choices": [{"index": 0, "delta": delta}],
            }
            self.wfile.write(b"data: " + json.dumps(event).encode() + b"\n\n")
            self.wfile.flush()
            time.sleep(options.chunk_ms / 1000)
        self.wfile.write(b"data: [DONE]\n\n")
        self.wfile.flush()

    def answer(self, status: int, document: dict[str, Any]) -> None:
        data = json.dumps(document).encode()
        self.send_response(status)
        self.send_header("Content-Type", "application/json")
        self.send_header("Content-Length", str(len(data)))
        self.send_header("X-Standin-Pid", str(os.getpid()))
        self.end_headers()
        self.wfile.write(data)


def main() -> None:
    parser = argparse.ArgumentParser(description="A stand-in model server.")
    parser.add_argument("--port", type=int, required=True)
    parser.add_argument("--host", default="127.0.0.1")
    parser.add_argument("--name", default="standin")
    parser.add_argument("--healthy-after", type=float, default=0.0, metavar="S")
    parser.add_argument("--never-healthy", action="store_true")
    parser.add_argument("--unhealthy-after", type=float, default=None, metavar="S")
    parser.add_argument("--chunk-ms", type=float, default=50.0, metavar="MS")
    parser.add_argument("--chunks", type=int, default=5, metavar="N")
    options = parser.parse_args()
    server = StandIn((options.host, options.port), Handler)
    server.options = options
    server.started = time.monotonic()
    print(
        f"stand-in {options.name}: pid {os.getpid()}, port {options.port}, "
        f"healthy after {'never' if options.never_healthy else options.healthy_after} s",
        flush=True,
    )
    threading.current_thread().name = options.name
    try:
        server.serve_forever()
    except KeyboardInterrupt:
        sys.exit(0)


if __name__ == "__main__":
    main()
