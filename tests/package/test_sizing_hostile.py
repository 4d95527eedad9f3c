"""Hostile and broken model files that the one-message cases cannot show: a
cache that cannot be sized through a roster, a file cut while it is read, and
headers whose counts would have the reader hold or walk far more than is on disk."""

from __future__ import annotations

import garnel
import pytest
import sizing_files as sf


def test_an_index_total_of_thousands_of_digits_warns_in_a_line(tmp_path):
    sf.write_sharded(tmp_path, sf.llama3_8b_tensors()[:2], 1, sf.LLAMA3_8B_CONFIG, 10**4000)
    with pytest.warns(UserWarning) as caught:
        garnel.inspect(tmp_path)
    (warning,) = caught
    assert "total_size about 2**13287 disagrees" in str(warning.message)
    assert len(str(warning.message)) < 300
