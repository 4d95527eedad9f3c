"""The host loop of one card's day, end to end through the module."""

import json
import subprocess
import sys

from _garnel import Fleet
from conftest import EXAMPLES, GIB

HEADER = "{held} / 21.6 GiB held  (4 declared, 3 admitted)\n"
NOT_ADMITTED = "  coder-14b                    not admitted \u2014 short by 5.4 GiB\n"


def report(held, chat, embed, rerank="never probed"):
    return (
        HEADER.format(held=held)
        + f"  chat-8b                      {chat}\n"
        + NOT_ADMITTED
        + f"  embed-small                  {embed}\n"
        + f"  rerank-base                  {rerank}\n"
    )


def test_a_day_of_one_card():
    fleet = Fleet(24 * GIB, 10, (EXAMPLES / "roster.json").read_text(encoding="utf-8"))
    assert fleet.report(0) == report("0.0", "never probed", "never probed")

    assert fleet.next_to_load() == "chat-8b"
    fleet.observe("chat-8b", "load_started", "{}", 0)
    assert fleet.next_to_load() == "embed-small"  # a loading model holds nothing yet
    assert fleet.route("chat-8b", 1500) == (
        '{"for_ms":1500,"model":"chat-8b","operator_fault":false,"ready":false,"route":"warming","try_elsewhere":false}'
    )
    assert fleet.report(1500) == report("0.0", "loading for 1s", "never probed")

    fleet.observe("chat-8b", "probe_ok", json.dumps({"vramBytes": 17 * GIB}), 42_000)
    assert fleet.route("chat-8b", 43_000) == (
        '{"model":"chat-8b","operator_fault":false,"ready":false,"route":"unknown","try_elsewhere":true}'
    )
    fleet.set_endpoint("chat-8b", "http://127.0.0.1:8001")
    assert fleet.route("chat-8b", 60_000) == (
        '{"endpoint":"http://127.0.0.1:8001","model":"chat-8b","operator_fault":false,"ready":true,'
        '"route":"ready","try_elsewhere":false}'
    )
    assert fleet.committed_bytes() == 17 * GIB
    assert fleet.free_bytes() == 23192823406 - 17 * GIB
    assert fleet.next_to_load() == "embed-small"
    assert fleet.report(60_000) == report("17.0", "resident for 18s", "never probed")

    fleet.observe("embed-small", "loadStarted", "{}", 60_000)
    fleet.observe("embed-small", "probeOk", json.dumps({"vram_bytes": GIB}), 65_000)
    fleet.set_endpoint("embed-small", "http://127.0.0.1:8002")
    assert fleet.route("coder-14b", 70_000) == (
        '{"model":"coder-14b","operator_fault":false,"ready":false,"route":"not_admitted",'
        '"short_bytes":5798205842,"try_elsewhere":true}'
    )
    assert fleet.report(70_000) == report("18.0", "resident for 28s", "resident for 5s")

    fleet.observe("chat-8b", "process_exited", json.dumps({"code": -9}), 3_600_000)
    assert fleet.route("chat-8b", 3_600_500) == (
        '{"model":"chat-8b","operator_fault":true,"ready":false,"reason":"process_exited","route":"lost",'
        '"try_elsewhere":true}'
    )
    assert fleet.committed_bytes() == GIB
    assert fleet.next_to_load() == "chat-8b"  # lost models are loaded again
    assert fleet.report(3_600_500) == report("1.0", "the serving process exited", "resident for 3535s")

    fleet.observe("chat-8b", "load_failed", json.dumps({"detail": "CUDA out of memory"}), 3_700_000)
    assert fleet.route("chat-8b", 3_700_000) == (
        '{"model":"chat-8b","operator_fault":true,"ready":false,"reason":"CUDA out of memory","route":"failed",'
        '"try_elsewhere":true}'
    )
    fleet.observe("embed-small", "probe_failed", json.dumps({"gpu_present": False}), 3_800_000)
    assert fleet.route("embed-small", 3_800_000) == (
        '{"model":"embed-small","operator_fault":false,"ready":false,"reason":"gpu_detached","route":"lost",'
        '"try_elsewhere":true}'
    )
    fleet.observe("rerank-base", "stop", "{}", 3_900_000)
    assert fleet.next_to_load() == "chat-8b"
    assert fleet.report(3_900_000) == report(
        "0.0", "failed to load: CUDA out of memory", "the GPU was detached by the host", "stopped on request"
    )


def test_the_demo_runs_on_the_shipped_roster():
    done = subprocess.run(
        [sys.executable, str(EXAMPLES / "demo.py")], capture_output=True, text=True, encoding="utf-8", timeout=60
    )
    assert done.returncode == 0, done.stderr
    assert "3 of 4 admitted, 19.0 GiB committed of 21.6 GiB usable" in done.stdout
    assert '"route":"lost"' in done.stdout
