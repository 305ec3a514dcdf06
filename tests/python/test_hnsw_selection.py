"""The Hnsw neighbour-selection rule as the binding exposes it: its keyword, property and persistence.

How each rule builds its graph: tests/core/test_hnsw.cpp.
"""

import pickle

import numpy as np
import pytest

from conftest import expect_error
from teskra import Teskra


def test_keyword_property_and_refusals():
    assert Teskra(8, index_type="hnsw").hnsw_selection == "diverse"
    assert Teskra(8, index_type="hnsw", hnsw_selection="NEAREST").hnsw_selection == "nearest"
    assert [Teskra(8, index_type=k, hnsw_selection="nearest").hnsw_selection for k in ("brute_force", "ivf_flat")] == [
        None, None]
    t = Teskra(8, index_type="hnsw", hnsw_selection="nearest")
    assert repr(t) == "Teskra(dim=8, n=0, bit_width=4, index_type=Hnsw)"
    with pytest.raises(AttributeError):
        t.hnsw_selection = "diverse"
    expect_error(ValueError, "unknown hnsw_selection 'closest': use 'diverse' or 'nearest'",
                 lambda: Teskra(8, index_type="hnsw", hnsw_selection="Closest"))
    # Checked whatever the index type, after the metric and the index type.
    expect_error(ValueError, "unknown hnsw_selection 'x': use 'diverse' or 'nearest'", lambda: Teskra(8, hnsw_selection="x"))
    expect_error(ValueError, "unknown metric 'm': use 'cosine', 'dot', or 'l2'",
                 lambda: Teskra(8, metric="m", hnsw_selection="x"))
    expect_error(TypeError, "argument 'hnsw_selection': ", lambda: Teskra(8, index_type="hnsw", hnsw_selection=1))


@pytest.mark.parametrize("rule", ["diverse", "nearest"])
def test_the_rule_survives_every_way_of_saving(rule, tmp_path):
    rng = np.random.default_rng(3)
    t = Teskra(16, index_type="hnsw", hnsw_m=4, hnsw_selection=rule)
    t.add(np.arange(200), rng.standard_normal((200, 16)).astype(np.float32))
    t.save(tmp_path / "g.tskr")
    data = t.to_bytes()
    assert data[55] == (rule == "nearest")
    for copy in (Teskra.load(tmp_path / "g.tskr"), Teskra.from_bytes(data), pickle.loads(pickle.dumps(t))):
        assert copy.hnsw_selection == rule and copy.to_bytes() == data
    # A file written before the rule was saved holds 0 there: it loads as diverse.
    assert Teskra.from_bytes(data[:55] + b"\0" + data[56:]).hnsw_selection == "diverse"
    expect_error(OSError, "invalid .tskr file: hnsw_selection byte 2 is neither 0 (diverse) nor 1 (nearest)",
                 lambda: Teskra.from_bytes(data[:55] + b"\2" + data[56:]))
