"""`garnel size` as a user runs it, roster entries that give a path, the Hub
through a stand-in client, and the optional extras missing."""

from __future__ import annotations

import json
import math
import os
import pathlib
import subprocess
import sys

import _garnel
import garnel
import pytest
import sizing_files as sf
from garnel._sizing import model_from_entry_path
from sizing_files import GARNEL

GIB = 2**30
LLAMA_WEIGHTS = 16_060_522_496


@pytest.fixture(scope="module")
def models(tmp_path_factory):
    """A sparse Meta-Llama-3-8B folder and a small GGUF model beside it."""
    root = tmp_path_factory.mktemp("models")
    sf.write_sharded(root / "Meta-Llama-3-8B", sf.llama3_8b_tensors(), 4, sf.LLAMA3_8B_CONFIG)
    keys = {"block_count": 2, "head_count": 4, "embedding_length": 256, "context_length": 2048}
    sf.write_gguf(root / "tiny.gguf", "llama", [("w", [256, 256], "Q8_0")], keys)
    return root


def garnel_size(*args, env=None):
    return subprocess.run(
        [*GARNEL, "size", *map(str, args)], capture_output=True, text=True, env=env, check=False
    )


def test_size_prints_a_roster_that_plans_and_explains_on_stderr(models):
    run = garnel_size(models / "Meta-Llama-3-8B", models / "tiny.gguf", "--explain")
    assert run.returncode == 0, run.stderr
    roster = json.loads(run.stdout)
    tiny_kv = 2 * 2048 * 4 * 128 * 2  # llama.cpp, f16
    assert roster == [
        {"model": "Meta-Llama-3-8B", "weightsBytes": LLAMA_WEIGHTS, "kvBytes": GIB},
        {"model": "tiny", "weightsBytes": 256 * 256 // 32 * 34, "kvBytes": tiny_kv},
    ]
    plan = json.loads(_garnel.plan(24 * GIB, 10, run.stdout))
    assert plan["fits"] is True and plan["committed_bytes"] == LLAMA_WEIGHTS + GIB + 69632 + tiny_kv
    assert "weights: 16,060,522,496 bytes = BF16 16,060,522,496" in run.stderr
    assert (
        "32 layers x 8 heads x (128 + 128) x 2 bytes x 8192 cells x 1 sequence(s) = 1,073,741,824"
        in run.stderr
    )


@pytest.mark.parametrize(
    ("args", "message"),
    [
        (["a", "b", "--name", "x"], "--name needs exactly one PATH"),
        (["a", "--context", "-1"], "must be at least 0"),
    ],
)
def test_bad_arguments_exit_2(args, message):
    run = garnel_size(*args)
    assert run.returncode == 2 and message in run.stderr and "Traceback" not in run.stderr


@pytest.mark.parametrize("command", ["size", "plan"])
def test_gguf_without_the_extra_names_it(models, tmp_path, command):
    (tmp_path / "gguf").mkdir()
    (tmp_path / "gguf" / "__init__.py").write_text("raise ImportError('not installed')\n")
    env = {**os.environ, "PYTHONPATH": str(tmp_path)}
    if command == "size":
        run = garnel_size(models / "tiny.gguf", env=env)
    else:
        roster = tmp_path / "roster.json"
        roster.write_text(json.dumps([{"path": str(models / "tiny.gguf")}]))
        run = subprocess.run(
            [*GARNEL, "plan", str(roster), "--card", "24GiB"],
            capture_output=True,
            text=True,
            env=env,
            check=False,
        )
    assert run.returncode == 2
    assert f"garnel {command}: error: " in run.stderr
    assert "needs the gguf package: pip install 'garnel[gguf]'" in run.stderr
    assert "Traceback" not in run.stderr


def test_roster_entries_with_paths_are_sized_and_given_bytes_win(models):
    entries = [
        {"model": "llama", "path": "Meta-Llama-3-8B", "context": 4096, "sequences": 2},
        {"path": "tiny.gguf", "cacheType": "q8_0", "kvBytes": 7},
        {"path": "not-read-at-all", "weightsBytes": 5, "kvBytes": 6},
    ]
    sized = [model_from_entry_path(entry, models) for entry in entries]
    assert sized == [
        garnel.Model("llama", LLAMA_WEIGHTS, GIB),
        garnel.Model("tiny", 69632, 7),
        garnel.Model("not-read-at-all", 5, 6),
    ]
    roster = json.dumps([model.entry() for model in sized])
    assert json.loads(_garnel.plan(24 * GIB, 10, roster))["committed_bytes"] == sum(
        model.needed_bytes for model in sized
    )
    with pytest.raises(ValueError, match="'context' must be a whole number"):
        model_from_entry_path({"path": "tiny.gguf", "context": "long"}, models)


def test_a_roster_of_model_folders_plans_through_the_command_line(models, tmp_path):
    sf.write_sharded(tmp_path / "llama-copy", sf.llama3_8b_tensors(), 1, sf.LLAMA3_8B_CONFIG)
    roster = tmp_path / "rosters" / "card.json"
    roster.parent.mkdir()
    roster.write_text(
        json.dumps(
            [
                {"path": str(models / "Meta-Llama-3-8B")},  # absolute
                {"model": "copy", "path": "../llama-copy", "context": 4096},  # relative to the file
                {"model": "embed", "weightsBytes": 5 * GIB},
            ]
        )
    )
    run = subprocess.run(
        [*GARNEL, "plan", str(roster), "--card", "48GiB", "--json"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    plan = json.loads(run.stdout)
    assert plan["admitted"] == ["Meta-Llama-3-8B", "copy", "embed"]
    assert plan["committed_bytes"] == 2 * LLAMA_WEIGHTS + GIB + GIB // 2 + 5 * GIB
    missing = roster.with_name("missing.json")
    missing.write_text(json.dumps([{"path": "nowhere"}]))
    run = subprocess.run(
        [*GARNEL, "plan", str(missing), "--card", "48GiB"],
        capture_output=True,
        text=True,
        check=False,
    )
    assert run.returncode == 2
    assert run.stderr.startswith(f"garnel plan: error: {missing}: entry 0 (nowhere): ")
    assert "Traceback" not in run.stderr


FAKE_HUB = '''
"""A stand-in for huggingface_hub: repos are folders under $FAKE_HUB."""
import json, os

ROOT = os.environ["FAKE_HUB"]


def snapshot_download(repo_id, local_files_only=False):
    assert local_files_only
    folder = os.path.join(ROOT, "cache", repo_id)
    if not os.path.isdir(folder):
        raise FileNotFoundError(repo_id)
    return folder


def hf_hub_download(repo_id, filename):
    path = os.path.join(ROOT, "remote", repo_id, filename)
    if not os.path.isfile(path):
        raise OSError(f"404: {filename}")
    return path


class _Obj:
    def __init__(self, **fields):
        self.__dict__.update(fields)


class HfApi:
    def get_safetensors_metadata(self, repo_id):
        with open(os.path.join(ROOT, "remote", repo_id, "headers.json")) as file:
            headers = json.load(file)
        files = {
            name: _Obj(tensors={t: _Obj(**info) for t, info in tensors.items()})
            for name, tensors in headers["files"].items()
        }
        return _Obj(metadata=headers["index"], files_metadata=files)
'''


@pytest.fixture
def hub(tmp_path, monkeypatch, models):
    """The stand-in hub with Meta-Llama-3-8B remote (headers and config) and in the cache."""
    (tmp_path / "huggingface_hub.py").write_text(FAKE_HUB)
    remote = tmp_path / "remote" / "meta-llama" / "Meta-Llama-3-8B"
    remote.mkdir(parents=True)
    tensors, shards = sf.llama3_8b_tensors(), {}
    for number, start in enumerate(range(0, len(tensors), 100)):
        offset, header = 0, {}
        for name, dtype, shape in tensors[start : start + 100]:
            nbytes = 2 * math.prod(shape)
            header[name] = {
                "dtype": dtype,
                "shape": shape,
                "data_offsets": [offset, offset + nbytes],
            }
            offset += nbytes
        shards[f"model-{number + 1:05d}-of-00003.safetensors"] = header
    headers = {"index": {"total_size": LLAMA_WEIGHTS}, "files": shards}
    (remote / "headers.json").write_text(json.dumps(headers))
    (remote / "config.json").write_text(json.dumps(sf.LLAMA3_8B_CONFIG))
    (tmp_path / "cache" / "meta-llama").mkdir(parents=True)
    try:
        (tmp_path / "cache" / "meta-llama" / "Meta-Llama-3-8B").symlink_to(
            models / "Meta-Llama-3-8B"
        )
    except OSError:  # Windows without the right to make links
        pytest.skip("cannot make a symbolic link here")
    monkeypatch.setenv("FAKE_HUB", str(tmp_path))
    monkeypatch.syspath_prepend(str(tmp_path))
    monkeypatch.delitem(sys.modules, "huggingface_hub", raising=False)
    return tmp_path


@pytest.mark.parametrize("remote", [False, True], ids=["local-cache", "remote"])
def test_a_repo_id_is_sized_from_the_cache_or_the_hubs_headers(hub, remote):
    model = garnel.size("meta-llama/Meta-Llama-3-8B", remote=remote)
    assert model == garnel.Model("Meta-Llama-3-8B", LLAMA_WEIGHTS, GIB)


def test_hub_failures_are_messages(hub):
    with pytest.raises(ValueError, match="not in the local Hugging Face cache"):
        garnel.size("someone/unknown")
    with pytest.raises(ValueError, match="cannot read its safetensors headers on the Hub"):
        garnel.size("someone/unknown", remote=True)
    (hub / "remote" / "meta-llama" / "Meta-Llama-3-8B" / "config.json").unlink()
    with pytest.raises(ValueError, match="no config.json on the Hub"):
        garnel.size("meta-llama/Meta-Llama-3-8B", remote=True)
    env = {**os.environ, "PYTHONPATH": str(hub)}
    run = garnel_size("meta-llama/Meta-Llama-3-8B", "--remote", "--context", "0", env=env)
    assert json.loads(run.stdout) == [
        {"model": "Meta-Llama-3-8B", "weightsBytes": LLAMA_WEIGHTS, "kvBytes": 0}
    ]


def test_a_repo_id_without_the_extra_names_it(monkeypatch):
    monkeypatch.setitem(sys.modules, "huggingface_hub", None)
    with pytest.raises(ValueError, match=r"no such file or folder; .*'garnel\[hf\]'"):
        garnel.size("meta-llama/Meta-Llama-3-8B")
    with pytest.raises(garnel.MissingExtra, match=r"pip install 'garnel\[hf\]'"):
        garnel.size("meta-llama/Meta-Llama-3-8B", remote=True)


def test_a_folder_named_in_no_utf_8_still_gives_a_roster_that_plans(tmp_path):
    folder = os.fsdecode(os.path.join(os.fsencode(tmp_path), b"caf\xe9-7b"))
    sf.write_sharded(pathlib.Path(folder), sf.llama3_8b_tensors()[:3], 1, sf.LLAMA3_8B_CONFIG)
    sized = garnel_size(folder)
    assert sized.returncode == 0, sized.stderr
    run = subprocess.run(
        [*GARNEL, "plan", "-", "--card", "24GiB", "--json"],
        input=sized.stdout,
        capture_output=True,
        text=True,
        check=False,
    )
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)["admitted"] == ["caf\ufffd-7b"]
