"""garnel serve in front of a real model server: llama-cpp-python's, serving a tiny llama that
the test writes itself (two layers of random weights, a byte-level vocabulary of 259 tokens).

Run by `./dev check`, which builds llama-cpp-python[server] into .venv once
(GARNEL_LLAMA_CPP=1 makes its absence a failure rather than a skip).
"""

from __future__ import annotations

import json
import os
import pathlib
import signal
import sys
from typing import Any

import pytest
from serve_support import Host, start_host, wait_until

__all__ = ["start_host"]  # the fixture

if not os.environ.get("GARNEL_LLAMA_CPP"):
    pytest.importorskip("llama_cpp.server", reason="./dev check builds llama-cpp-python[server]")
gguf = pytest.importorskip("gguf")
np = pytest.importorskip("numpy")

EMBED, FF, HEADS, LAYERS, CONTEXT = 64, 128, 4, 2, 256


def write_tiny_llama(path: pathlib.Path) -> None:
    tokens = ["<unk>", "<s>", "</s>"] + [f"<0x{byte:02X}>" for byte in range(256)]
    types = [gguf.TokenType.UNKNOWN, gguf.TokenType.CONTROL, gguf.TokenType.CONTROL]
    types += [gguf.TokenType.BYTE] * 256
    writer = gguf.GGUFWriter(str(path), "llama")
    writer.add_context_length(CONTEXT)
    writer.add_embedding_length(EMBED)
    writer.add_block_count(LAYERS)
    writer.add_feed_forward_length(FF)
    writer.add_head_count(HEADS)
    writer.add_head_count_kv(HEADS)
    writer.add_rope_dimension_count(EMBED // HEADS)
    writer.add_layer_norm_rms_eps(1e-5)
    writer.add_file_type(0)  # all F32
    writer.add_tokenizer_model("llama")
    writer.add_token_list(tokens)
    writer.add_token_scores([0.0] * len(tokens))
    writer.add_token_types(types)
    writer.add_bos_token_id(1)
    writer.add_eos_token_id(2)
    writer.add_unk_token_id(0)
    rng = np.random.default_rng(0)

    def weights(*shape: int) -> Any:
        return (rng.standard_normal(shape) * 0.02).astype(np.float32)

    vocab = len(tokens)
    writer.add_tensor("token_embd.weight", weights(vocab, EMBED))
    writer.add_tensor("output_norm.weight", np.ones(EMBED, dtype=np.float32))
    writer.add_tensor("output.weight", weights(vocab, EMBED))
    for layer in range(LAYERS):
        block = f"blk.{layer}"
        writer.add_tensor(f"{block}.attn_norm.weight", np.ones(EMBED, dtype=np.float32))
        for name in ("attn_q", "attn_k", "attn_v", "attn_output"):
            writer.add_tensor(f"{block}.{name}.weight", weights(EMBED, EMBED))
        writer.add_tensor(f"{block}.ffn_norm.weight", np.ones(EMBED, dtype=np.float32))
        writer.add_tensor(f"{block}.ffn_gate.weight", weights(FF, EMBED))
        writer.add_tensor(f"{block}.ffn_up.weight", weights(FF, EMBED))
        writer.add_tensor(f"{block}.ffn_down.weight", weights(EMBED, FF))
    writer.write_header_to_file()
    writer.write_kv_data_to_file()
    writer.write_tensors_to_file()
    writer.close()


def children(pid: int) -> list[int]:
    found = []
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as stat:
                    if int(stat.read().rsplit(")", 1)[1].split()[1]) == pid:
                        found.append(int(entry))
            except OSError:
                continue
    return found


def chat(host: Host, stream: bool) -> bytes:
    body = {"model": "tiny", "messages": [{"role": "user", "content": "hi"}], "max_tokens": 8}
    connection = host.connection(timeout=60)
    connection.request(
        "POST",
        "/v1/chat/completions",
        json.dumps({**body, "stream": stream}),
        {"Content-Type": "application/json"},
    )
    answer = connection.getresponse()
    data = answer.read()
    connection.close()
    assert answer.status == 200 and answer.headers["X-Garnel-Route"] == "ready", data
    return data


def test_a_real_server_started_routed_killed_and_back(start_host: Any, tmp_path: Any) -> None:
    model = tmp_path / "tiny.gguf"
    write_tiny_llama(model)
    command = [sys.executable, "-m", "llama_cpp.server", "--model", "{path}"]
    command += ["--host", "127.0.0.1", "--port", "{port}", "--n_ctx", "{total_context}"]
    host: Host = start_host(
        [
            {
                "name": "tiny",
                "path": str(model),
                "context": CONTEXT,
                "engine": "command",
                "command": command,
                "health": "/v1/models",  # that server has no /health
            }
        ],
        serve={"journal": "card.journal", "load_timeout_s": 120, "warming_wait_s": 120},
    )
    host.wait_routes(tiny="ready", timeout=150)
    assert json.loads(chat(host, stream=False))["choices"][0]["message"]["role"] == "assistant"
    streamed = chat(host, stream=True)
    assert streamed.count(b"data: ") >= 2 and streamed.rstrip().endswith(b"data: [DONE]")

    (server,) = children(host.process.pid)
    host.servers.add(server)
    os.kill(server, signal.SIGKILL)
    wait_until("tiny lost", lambda: host.routes()["tiny"] == "lost", 10)
    host.wait_routes(tiny="ready", timeout=150)
    assert b'"choices"' in chat(host, stream=False)
    assert host.end() == 0, host.stderr()
    kinds = [json.loads(line).get("kind") for line in (host.folder / "card.journal").open()]
    assert kinds.count("load_started") == 2 and "process_exited" in kinds
