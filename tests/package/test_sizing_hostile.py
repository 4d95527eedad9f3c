"""Hostile and broken model files that the one-message cases cannot show: a
cache that cannot be sized through a roster, a file cut while it is read, and
headers whose counts would have the reader hold or walk far more than is on disk."""

from __future__ import annotations

import json
import subprocess

import garnel
import pytest
import sizing_files as sf
from sizing_files import GARNEL


def config_past_floats(tmp_path):
    sf.write_sparse_safetensors(tmp_path / "model.safetensors", [("w", "BF16", [8])])
    config = {
        **sf.LLAMA3_8B_CONFIG,
        "max_position_embeddings": 1e308,
        "rope_scaling": {"type": "linear", "factor": 4},
    }
    (tmp_path / "config.json").write_text(json.dumps(config))
    return tmp_path, 16


def config_without_layers(tmp_path):
    sf.write_sparse_safetensors(tmp_path / "model.safetensors", [("w", "BF16", [8])])
    (tmp_path / "config.json").write_text(
        json.dumps({**sf.LLAMA3_8B_CONFIG, "num_hidden_layers": 0})
    )
    return tmp_path, 16


@pytest.mark.parametrize(
    ("build", "key"),
    [
        (config_past_floats, "'max_position_embeddings' is about 2**1023"),
        (config_without_layers, "'num_hidden_layers' is 0"),
    ],
    ids=["config-context-past-floats", "config-no-layers"],
)
def test_a_cache_that_cannot_be_sized_names_its_key_and_leaves_the_weights(tmp_path, build, key):
    path, weights = build(tmp_path)
    assert key in garnel.inspect(path).cache_problem
    run = subprocess.run(
        [*GARNEL, "size", str(path), "--context", "0"], capture_output=True, text=True, check=False
    )
    assert run.returncode == 0, run.stderr
    assert json.loads(run.stdout)[0]["weightsBytes"] == weights
    # Through a roster's "path" entry, planned: the key, not a traceback.
    roster = tmp_path / "roster.json"
    for entry, code in (({"path": str(path)}, 2), ({"path": str(path), "context": 0}, 0)):
        roster.write_text(json.dumps([entry]))
        run = subprocess.run(
            [*GARNEL, "plan", str(roster), "--card", "24GiB"],
            capture_output=True,
            text=True,
            check=False,
        )
        assert run.returncode == code, run.stderr
        assert "Traceback" not in run.stderr and (code == 0 or key in run.stderr)


def test_an_index_total_of_thousands_of_digits_warns_in_a_line(tmp_path):
    sf.write_sharded(tmp_path, sf.llama3_8b_tensors()[:2], 1, sf.LLAMA3_8B_CONFIG, 10**4000)
    with pytest.warns(UserWarning) as caught:
        garnel.inspect(tmp_path)
    (warning,) = caught
    assert "total_size about 2**13287 disagrees" in str(warning.message)
    assert len(str(warning.message)) < 300
