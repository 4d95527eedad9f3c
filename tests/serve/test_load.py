"""Load and faults: 2,000 requests from 64 clients while a server is killed twice. Every
request gets a whole answer or a documented error, none hangs, and serve holds the same
memory and file descriptors after as before."""

from __future__ import annotations

import asyncio
import os
import signal
import time
from typing import Any

import aiohttp
from serve_support import Host, model, start_host

__all__ = ["start_host"]  # the fixture

CLIENTS = 64
REQUESTS = 2000
REQUEST_TIMEOUT_S = 10


def footprint(pid: int, port: int) -> tuple[int, int, int]:
    """A serve's resident kilobytes, its open descriptors but its idle connections to the
    servers, and those connections (a pool: as many as the busiest moment needed)."""
    with open(f"/proc/{pid}/status") as status:
        rss = next(int(line.split()[1]) for line in status if line.startswith("VmRSS:"))
    links = [os.readlink(f"/proc/{pid}/fd/{fd}") for fd in os.listdir(f"/proc/{pid}/fd")]
    sockets = {link[8:-1] for link in links if link.startswith("socket:[")}
    outgoing = 0
    with open("/proc/net/tcp") as table:
        for row in list(table)[1:]:
            fields = row.split()
            local, remote, inode = int(fields[1][-4:], 16), int(fields[2][-4:], 16), fields[9]
            if inode in sockets and port not in (local, remote) and remote != 0:
                outgoing += 1
    return rss, len(links) - outgoing, outgoing


async def run_load(host: Host, count: int, kills: int) -> dict[str, int]:
    """`count` requests from CLIENTS clients; `kills` of the chat server along the way."""
    outcomes: dict[str, int] = {}
    queue = list(range(count))
    url = f"http://127.0.0.1:{host.port}/v1/chat/completions"
    killed: list[int] = []
    cut_short: list[int] = []  # the servers of answers that ended early

    async def client(session: aiohttp.ClientSession) -> None:
        while queue:
            number = queue.pop()
            body = {"model": "chat", "stream": number % 4 == 0, "standin_chunks": 3}
            started = time.monotonic()
            async with session.post(url, json=body) as answer:
                try:
                    data = await answer.read()
                except aiohttp.ClientPayloadError:  # a stream whose server died mid-way
                    data = b""
            assert time.monotonic() - started < REQUEST_TIMEOUT_S + 5
            if answer.status == 200:
                pid = int(answer.headers["X-Standin-Pid"])
                if not data.endswith(b"[DONE]\n\n" if body["stream"] else b"}}"):
                    cut_short.append(pid)
                # A kill at each third of the run, once the model is back.
                due = len(killed) < kills and number < count * (kills - len(killed)) / (kills + 1)
                if due and pid not in killed:
                    killed.append(pid)
                    os.kill(pid, signal.SIGKILL)
            else:
                error = data.decode()
                assert answer.status in (502, 503, 504) and '"code": ' in error, error
                if answer.status == 503:  # as a client should: wait as told, at most 1 s
                    await asyncio.sleep(min(1.0, float(answer.headers["Retry-After"])))
            key = str(answer.status)
            outcomes[key] = outcomes.get(key, 0) + 1

    timeout = aiohttp.ClientTimeout(total=REQUEST_TIMEOUT_S + 5)
    async with aiohttp.ClientSession(timeout=timeout) as session:
        await asyncio.gather(*(client(session) for _ in range(CLIENTS)))
    assert len(killed) == kills
    # Only a server that died while answering ends an answer early.
    assert set(cut_short) <= set(killed), (cut_short, killed)
    return outcomes


def test_load_with_kills(start_host: Any) -> None:
    host: Host = start_host(
        [model("chat", 1, "--chunk-ms", "1")],
        serve={"request_timeout_s": REQUEST_TIMEOUT_S, "warming_wait_s": 5},
    )
    host.wait_routes(chat="ready")
    asyncio.run(run_load(host, 400, kills=0))  # warm: pools, buffers, caches
    time.sleep(0.5)
    before = footprint(host.process.pid, host.port)
    outcomes = asyncio.run(run_load(host, REQUESTS, kills=2))
    assert sum(outcomes.values()) == REQUESTS and outcomes["200"] > REQUESTS / 2, outcomes
    host.wait_routes(chat="ready")
    asyncio.run(run_load(host, 400, kills=0))  # the same last use as before
    time.sleep(0.5)
    after = footprint(host.process.pid, host.port)
    assert after[0] <= before[0] * 1.05 and abs(after[1] - before[1]) <= before[1] * 0.05, (
        before,
        after,
        outcomes,
    )
    assert after[2] <= CLIENTS, (before, after)
    assert host.end() == 0
