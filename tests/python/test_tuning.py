"""build, set_nprobe, set_ef_search and fit through the binding, and the Hnsw construction arguments.

The IvfFlat life cycle (unbuilt, built, pending, nprobe), the fit rules and Hnsw searches are walked
through by test_model.py and, with exact values, recall and graph links, by tests/core.
"""

import numpy as np
import pytest

from conftest import expect_error
from teskra import Teskra


def test_brute_force_tuning_fit_and_argument_errors():
    t = Teskra(8)
    t.add([1, 2], [[1] * 8, list(range(8))])
    before = t.search([1] * 8, 2)  # nothing to build or tune for BruteForce
    assert t.build() is None and t.set_nprobe(nprobe=0) is None and t.set_ef_search(ef=0) is None
    assert t.search([1] * 8, 2) == before
    # fit reaches the engine: mean 2.5, factor 1 / sqrt(variance 1.25 * dim 2) makes [1, 2] a unit
    # vector, scaled by sqrt(2) (unfitted, its squared norm would be 5 * 2). The rules are the model's.
    fitted = Teskra(2, metric="l2")
    assert fitted.fit([[1, 2], [3, 4]]) is None
    assert np.sum(fitted.transform_query_np([1, 2]).astype(np.float64) ** 2) == pytest.approx(2.0, rel=1e-5)
    for call, cls, text in [(lambda: t.set_nprobe(-1), OverflowError, "argument 'nprobe': "),
                            (lambda: t.set_ef_search(2**64), OverflowError, "argument 'ef': "),
                            (lambda: t.set_ef_search(1.5), TypeError, "argument 'ef': "),
                            (lambda: t.build(1), TypeError, "build() takes no arguments (1 given)")]:
        expect_error(cls, text, call)


@pytest.mark.parametrize("kwargs, message", [
    ({"hnsw_m": 1}, "hnsw_m must be at least 2 for an Hnsw index, got 1"),
    ({"hnsw_m": 0, "hnsw_ef_construction": 0}, "hnsw_m must be at least 2 for an Hnsw index, got 0"),
    ({"hnsw_ef_construction": 0}, "hnsw_ef_construction must be at least 1 for an Hnsw index"),
    # Neighbour lists longer than an index file's u16 lengths hold are refused up front.
    ({"hnsw_m": 32768}, "hnsw_m must be at most 32767 for an Hnsw index, got 32768"),
])
def test_hnsw_construction_arguments(kwargs, message):
    expect_error(ValueError, message, lambda: Teskra(8, index_type="hnsw", **kwargs))
    others = [Teskra(8, index_type=k, **kwargs).index_type for k in ("brute_force", "ivf_flat")]
    assert others == ["BruteForce", "IvfFlat"]  # ignored by the other index types
    assert Teskra(8, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=1).index_type == "Hnsw"
