"""What `garnel serve` adds to a request: the same stand-in server reached directly, through
serve, and through Debian's nginx as a plain reverse proxy, on this machine.

    .venv/bin/python bench/serve.py             # 10 s a run
    .venv/bin/python bench/serve.py --quick     # 3 s a run
    .venv/bin/python bench/serve.py --swaps     # the swaps alone (no nginx or wrk needed)

Needs nginx and wrk (`apt-get install -y nginx wrk`) and the serve extra. It
starts serve on examples/standin.py, an nginx of its own (its own config and
prefix in a scratch folder, a loopback port, one worker) in front of the
stand-in serve started, and ends both by their pids. wrk sends the same small
chat completion each way:

- one client: p50 and p99 latency, and what serve adds over the direct path
  (target: added p50 at most 1 ms);
- 32 clients: requests per second (target: serve at least half of nginx's);
- a stream with a chunk every 50 ms, read directly and through serve: each
  chunk's delay from the stand-in's send (target: through serve within 5 ms
  of direct, every chunk);
- serve again while a scraper polls its /metrics every 100 ms, as Prometheus
  would, ten times as often (target: the added p50 at 1 client within 0.25 ms
  of that without the scraper);
- swaps: two on-demand stand-ins that cannot share the card, requested in
  turn, so that every request swaps one out and the other in. What a swap
  adds is the request's time less a request's time without a swap and less
  the stand-in's own start, from its exec to its first healthy answer,
  measured here by starting it directly (target: median under 50 ms).

Exits 1 when a target is missed. A benchmark for people, not a test.
"""

from __future__ import annotations

import argparse
import http.client
import json
import os
import pathlib
import re
import shutil
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import threading
import time

REPO = pathlib.Path(__file__).resolve().parents[1]
STANDIN = REPO / "examples" / "standin.py"
BODY = '{"model": "chat", "messages": [{"role": "user", "content": "hi"}]}'
NGINX_CONF = """\
worker_processes 1;
daemon off;
pid {prefix}/nginx.pid;
error_log {prefix}/error.log;
events {{ worker_connections 1024; }}
http {{
  access_log off;
  client_body_temp_path {prefix}/body;
  proxy_temp_path {prefix}/proxy;
  fastcgi_temp_path {prefix}/fastcgi;
  uwsgi_temp_path {prefix}/uwsgi;
  scgi_temp_path {prefix}/scgi;
  upstream standin {{ server 127.0.0.1:{upstream}; keepalive 64; }}
  server {{
    listen 127.0.0.1:{port};
    location / {{
      proxy_pass http://standin;
      proxy_http_version 1.1;
      proxy_set_header Connection "";
      proxy_buffering off;
    }}
  }}
}}
"""
WRK_SCRIPT = f"""\
wrk.method = "POST"
wrk.body = '{BODY}'
wrk.headers["Content-Type"] = "application/json"
"""


def free_port() -> int:
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        port: int = probe.getsockname()[1]
        return port


def wait_for(url_port: int, path: str, timeout: float = 30) -> None:
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        try:
            connection = http.client.HTTPConnection("127.0.0.1", url_port, timeout=2)
            connection.request("GET", path)
            if connection.getresponse().status == 200:
                return
        except OSError:
            pass
        time.sleep(0.1)
    raise SystemExit(f"bench/serve.py: nothing answered on port {url_port} within {timeout} s")


def models_ready(port: int) -> bool:
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=2)
    connection.request("GET", "/v1/models")
    listed = json.loads(connection.getresponse().read())["data"]
    return all(entry["garnel"]["ready"] for entry in listed)


def wrk(port: int, clients: int, seconds: float, script: pathlib.Path) -> dict[str, float]:
    """Requests per second and latency percentiles in ms, from wrk's own report."""
    done = subprocess.run(
        [
            *("wrk", "-t", str(min(clients, 2)), "-c", str(clients)),
            *("-d", f"{seconds:g}s", "--latency", "-s", str(script)),
            f"http://127.0.0.1:{port}/v1/chat/completions",
        ],
        capture_output=True,
        text=True,
        check=True,
        timeout=seconds + 60,
    )
    figures = {"rps": float(re.search(r"Requests/sec:\s+([\d.]+)", done.stdout)[1])}  # type: ignore[index]
    for pct in ("50", "99"):
        value, unit = re.search(rf"\s{pct}%\s+([\d.]+)(us|ms|s)", done.stdout).groups()  # type: ignore[union-attr]
        figures[f"p{pct}"] = float(value) * {"us": 0.001, "ms": 1.0, "s": 1000.0}[unit]
    errors = re.search(r"Non-2xx or 3xx responses: (\d+)", done.stdout)
    if errors:
        raise SystemExit(f"bench/serve.py: {errors[1]} requests failed on port {port}")
    return figures


class Scraper(threading.Thread):
    """GET /metrics every `interval` seconds on one kept-alive connection, until stopped."""

    def __init__(self, port: int, interval: float = 0.1) -> None:
        super().__init__(daemon=True)
        self.port, self.interval = port, interval
        self.done = threading.Event()
        self.scrapes = 0
        self.failed = ""

    def run(self) -> None:
        connection = http.client.HTTPConnection("127.0.0.1", self.port, timeout=10)
        while not self.done.wait(self.interval):
            connection.request("GET", "/metrics")
            answer = connection.getresponse()
            if answer.status != 200 or b"garnel_requests_total" not in answer.read():
                self.failed = f"/metrics answered {answer.status}, not serve's metrics"
                break
            self.scrapes += 1
        connection.close()


def chunk_delays(port: int, chunks: int) -> list[float]:
    """Each chunk's delay in ms from the stand-in's send to its arrival here."""
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=30)
    body = {"model": "chat", "stream": True, "standin_chunks": chunks}
    connection.request("POST", "/v1/chat/completions", json.dumps(body))
    answer = connection.getresponse()
    delays = []
    for line in answer:
        if line.startswith(b"data: {"):
            delays.append((time.time() - json.loads(line[6:])["sent"]) * 1000)
    connection.close()
    return delays


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.split("\n", 1)[0])
    parser.add_argument("--quick", action="store_true", help="3 s runs instead of 10 s")
    parser.add_argument("--swaps", action="store_true", help="measure the swaps alone")
    options = parser.parse_args()
    if options.swaps:
        return measure_swaps(10 if options.quick else 30)
    seconds = 3.0 if options.quick else 10.0
    for tool in ("nginx", "wrk"):
        if shutil.which(tool) is None:
            print(f"bench/serve.py: needs {tool}: apt-get install -y nginx wrk", file=sys.stderr)
            return 2
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="garnel-bench-serve-"))
    serve_port, nginx_port = free_port(), free_port()
    (scratch / "serve.toml").write_text(
        f'[card]\ntotal = "24GiB"\n[serve]\nlisten = "127.0.0.1:{serve_port}"\n'
        'journal = "card.journal"\nprobe_interval_s = 60\n'
        '[[model]]\nname = "chat"\nweights_bytes = 1\nengine = "command"\n'
        f"command = {json.dumps([sys.executable, str(STANDIN), '--port', '{port}'])}\n"
    )
    (scratch / "post.lua").write_text(WRK_SCRIPT)
    processes: list[subprocess.Popen[bytes]] = []
    try:
        serve = subprocess.Popen(
            [sys.executable, "-m", "garnel", "serve", "serve.toml"],
            cwd=scratch,
            stdout=subprocess.DEVNULL,
            stderr=open(scratch / "serve.err", "wb"),  # noqa: SIM115
        )
        processes.append(serve)
        wait_for(serve_port, "/health")
        deadline = time.monotonic() + 30
        while not models_ready(serve_port) and time.monotonic() < deadline:
            time.sleep(0.1)
        journal = (scratch / "card.journal").read_text().splitlines()
        endpoint = next(json.loads(line)["endpoint"] for line in journal if "set_endpoint" in line)
        standin_port = int(endpoint.rsplit(":", 1)[1])
        (scratch / "nginx.conf").write_text(
            NGINX_CONF.format(prefix=scratch, upstream=standin_port, port=nginx_port)
        )
        nginx = subprocess.Popen(
            ["nginx", "-p", str(scratch), "-c", str(scratch / "nginx.conf")],
            stdout=subprocess.DEVNULL,
            stderr=subprocess.DEVNULL,
        )
        processes.append(nginx)
        wait_for(nginx_port, "/health")
        return measure(scratch, seconds, standin_port, serve_port, nginx_port)
    finally:
        for process in reversed(processes):
            end(process)
        shutil.rmtree(scratch, ignore_errors=True)


def end(process: subprocess.Popen[bytes]) -> None:
    """SIGTERM to a process this benchmark started, SIGKILL if it lingers past 30 s."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(30)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait(10)


def measure(scratch: pathlib.Path, seconds: float, *ports: int) -> int:
    script = scratch / "post.lua"
    names = ("direct", "serve", "nginx", "scraped")
    print(f"{os.cpu_count()} cores; wrk runs of {seconds:g} s; a small chat completion")
    results: dict[str, dict[int, dict[str, float]]] = {name: {} for name in names}
    scrapes = 0
    for clients in (1, 32):
        for name, port in zip(names, (*ports, ports[1])):
            scraper = Scraper(port) if name == "scraped" else None
            if scraper is not None:
                scraper.start()
            wrk(port, clients, 1, script)  # warm the pools
            results[name][clients] = wrk(port, clients, seconds, script)
            if scraper is not None:
                scraper.done.set()
                scraper.join()
                if scraper.failed:
                    raise SystemExit(f"bench/serve.py: {scraper.failed}")
                scrapes += scraper.scrapes
    print(f"\n{'':8}{'1 client: p50':>15}{'p99':>9}{'32 clients: req/s':>20}{'p50':>9}{'p99':>9}")
    for name in names:
        one, many = results[name][1], results[name][32]
        print(
            f"{name:8}{one['p50']:>12.3f} ms{one['p99']:>6.3f} ms{many['rps']:>20.0f}"
            f"{many['p50']:>6.2f} ms{many['p99']:>6.2f} ms"
        )
    direct, serve, nginx, scraped = (results[name] for name in names)
    added = {pct: serve[1][pct] - direct[1][pct] for pct in ("p50", "p99")}
    scraped_added = {pct: scraped[1][pct] - direct[1][pct] for pct in ("p50", "p99")}
    nginx_added = {pct: nginx[1][pct] - direct[1][pct] for pct in ("p50", "p99")}
    share = serve[32]["rps"] / nginx[32]["rps"]
    print(f"\nadded by serve, 1 client:  p50 {added['p50']:.3f} ms, p99 {added['p99']:.3f} ms")
    print(
        f"added by nginx, 1 client:  p50 {nginx_added['p50']:.3f} ms, p99 {nginx_added['p99']:.3f} ms"
    )
    print(
        f"added by serve with /metrics scraped every 100 ms ({scrapes} scrapes), 1 client:  "
        f"p50 {scraped_added['p50']:.3f} ms, p99 {scraped_added['p99']:.3f} ms; "
        f"32 clients: {scraped[32]['rps'] / serve[32]['rps']:.2f} of its requests/s unscraped"
    )
    print(f"serve's requests/s at 32 clients: {share:.2f} of nginx's")

    direct_delays = chunk_delays(ports[0], 40)
    serve_delays = chunk_delays(ports[1], 40)
    late = max(serve_delays) - statistics.median(direct_delays)
    print(
        f"\nstream, a chunk every 50 ms: delay from send, direct median "
        f"{statistics.median(direct_delays):.2f} ms max {max(direct_delays):.2f} ms; "
        f"through serve median {statistics.median(serve_delays):.2f} ms "
        f"max {max(serve_delays):.2f} ms"
    )
    missed = []
    if added["p50"] > 1.0:
        missed.append(f"added p50 {added['p50']:.3f} ms > 1 ms")
    if share < 0.5:
        missed.append(f"{share:.2f} of nginx's requests/s < 0.5")
    if late > 5.0:
        missed.append(f"a chunk {late:.2f} ms later through serve than direct > 5 ms")
    if scraped_added["p50"] - added["p50"] > 0.25:
        missed.append(
            f"scraping adds {scraped_added['p50'] - added['p50']:.3f} ms to the p50 > 0.25 ms"
        )
    print("\ntargets: " + ("all met" if not missed else "MISSED: " + "; ".join(missed)))
    swaps_missed = measure_swaps(10 if seconds < 10 else 30)
    return 1 if missed or swaps_missed else 0


SWAP_CONFIG = """\
[card]
total = "24GiB"
[serve]
listen = "127.0.0.1:{port}"
journal = "card.journal"
probe_interval_s = 60
[[model]]
name = "chat"
weights_bytes = 1
engine = "command"
command = {command}
{on_demand}
"""
ON_DEMAND = """\
[[model]]
name = "{name}"
weights_bytes = 12884901888
on_demand = true
engine = "command"
command = {command}
"""


def standin_start_ms() -> float:
    """The stand-in's own start: from exec to its first healthy answer, asked every 1 ms."""
    port = free_port()
    started = time.monotonic()
    process = subprocess.Popen(
        [sys.executable, str(STANDIN), "--port", str(port)], stdout=subprocess.DEVNULL
    )
    try:
        while True:
            try:
                connection = http.client.HTTPConnection("127.0.0.1", port, timeout=5)
                connection.request("GET", "/health")
                if connection.getresponse().status == 200:
                    return (time.monotonic() - started) * 1000
            except OSError:
                time.sleep(0.001)
    finally:
        process.terminate()
        process.wait(10)


def request_ms(port: int, model: str) -> float:
    started = time.monotonic()
    connection = http.client.HTTPConnection("127.0.0.1", port, timeout=60)
    connection.request("POST", "/v1/chat/completions", json.dumps({"model": model}))
    answer = connection.getresponse()
    answer.read()
    connection.close()
    if answer.status != 200:
        raise SystemExit(f"bench/serve.py: a request for {model} was answered {answer.status}")
    return (time.monotonic() - started) * 1000


def measure_swaps(count: int) -> int:
    """`count` requests that each swap a stand-in out and another in; 0 if the target is met."""
    scratch = pathlib.Path(tempfile.mkdtemp(prefix="garnel-bench-swap-"))
    port = free_port()
    command = json.dumps([sys.executable, str(STANDIN), "--port", "{port}"])
    on_demand = "".join(ON_DEMAND.format(name=name, command=command) for name in ("left", "right"))
    (scratch / "serve.toml").write_text(
        SWAP_CONFIG.format(port=port, command=command, on_demand=on_demand)
    )
    serve = subprocess.Popen(
        [sys.executable, "-m", "garnel", "serve", "serve.toml"],
        cwd=scratch,
        stdout=subprocess.DEVNULL,
        stderr=open(scratch / "serve.err", "wb"),  # noqa: SIM115
    )
    try:
        wait_for(port, "/health")
        request_ms(port, "chat")
        request_ms(port, "left")  # the first swap loads without unloading: not counted
        plain = statistics.median(request_ms(port, "chat") for _ in range(50))
        swaps = [request_ms(port, ("right", "left")[number % 2]) for number in range(count)]
        own = sorted(standin_start_ms() for _ in range(count))
    finally:
        end(serve)
        shutil.rmtree(scratch, ignore_errors=True)
    start = statistics.median(own)
    added = sorted(latency - start - plain for latency in swaps)
    print(
        f"\nswaps: {count} requests, each swapping one 12 GiB stand-in out and another in "
        f"beside a pinned one"
    )
    print(
        f"  a request that swaps: median {statistics.median(swaps):.1f} ms, "
        f"max {max(swaps):.1f} ms; without a swap: {plain:.2f} ms"
    )
    print(
        f"  the stand-in's own start, exec to healthy: median {start:.1f} ms "
        f"(from {own[0]:.1f} to {own[-1]:.1f} ms)"
    )
    median_added = statistics.median(added)
    print(
        f"  added by the swap: median {median_added:.1f} ms, "
        f"p90 {added[int(len(added) * 0.9)]:.1f} ms, max {added[-1]:.1f} ms"
    )
    met = median_added < 50.0
    print("target (median added under 50 ms): " + ("met" if met else "MISSED"))
    return 0 if met else 1


if __name__ == "__main__":
    sys.exit(main())
