"""The Hnsw neighbour-selection rule as the binding exposes it: its keyword, property and file byte (its
refusals: test_api.py; every way of saving keeps it: test_persistence.py; how each rule builds its graph:
tests/core/test_hnsw.cpp)."""

import numpy as np
import pytest

from conftest import expect_error
from teskra import Teskra


def test_keyword_and_property():
    assert Teskra(8, index_type="hnsw").hnsw_selection == "diverse"
    assert Teskra(8, index_type="hnsw", hnsw_selection="NEAREST").hnsw_selection == "nearest"
    assert [Teskra(8, index_type=k, hnsw_selection="nearest").hnsw_selection for k in ("brute_force", "ivf_flat")] == [
        None, None]
    assert repr(Teskra(8, index_type="hnsw", hnsw_selection="nearest")) == "Teskra(dim=8, n=0, bit_width=4, index_type=Hnsw)"


@pytest.mark.parametrize("rule", ["diverse", "nearest"])
def test_the_rule_is_saved_in_its_byte(rule):
    t = Teskra(16, index_type="hnsw", hnsw_m=4, hnsw_selection=rule)
    t.add(np.arange(200), np.random.default_rng(3).standard_normal((200, 16)).astype(np.float32))
    data = t.to_bytes()
    assert data[55] == (rule == "nearest") and Teskra.from_bytes(data).hnsw_selection == rule
    # A file written before the rule was saved holds 0 there: it loads as diverse.
    assert Teskra.from_bytes(data[:55] + b"\0" + data[56:]).hnsw_selection == "diverse"
    expect_error(OSError, "invalid .tskr file: hnsw_selection byte 2 is neither 0 (diverse) nor 1 (nearest)",
                 lambda: Teskra.from_bytes(data[:55] + b"\2" + data[56:]))
