"""fit, build, set_nprobe, set_ef_search: the IvfFlat life cycle, standardization, tuning, Hnsw arguments."""

import re

import numpy as np
import pytest

from teskra import Teskra

NOT_BUILT = "call build() before search() for IvfFlat indexes"
EMPTY = "index is empty"
FIT_AFTER_ADD = "fit() must be called before add() — index already contains vectors"


def clustered(n, dim, clusters=20, spread=0.3, seed=0):
    rng = np.random.default_rng(seed)
    centres, noise = (rng.standard_normal(shape).astype(np.float32) for shape in ((clusters, dim), (n, dim)))
    return centres[rng.integers(0, clusters, n)] + spread * noise


def raises(cls, message, call):
    with pytest.raises(cls) as e:
        call()
    assert str(e.value) == message


def test_ivf_flat_life_cycle_and_nprobe():
    data = clustered(300, 16)
    t = Teskra(16, index_type="ivf_flat", ivf_nlist=8, ivf_nprobe=8)
    raises(RuntimeError, EMPTY, t.build)
    t.add(list(range(200)), data[:200])
    raises(RuntimeError, NOT_BUILT, lambda: t.search(data[0], 5))
    assert t.set_nprobe(0) is None and t.build() is None  # set before the build: lost
    assert len(t) == 200 and t.search(data[0], 0) == [] and t.search(data[7], 1)[0]["id"] == 7
    raises(RuntimeError, EMPTY, t.build)  # nothing new: the built lists stay
    t.set_nprobe(nprobe=0)
    assert t.search(data[7], 10) == []
    t.add(list(range(200, 300)), [list(map(float, row)) for row in data[200:]])
    assert len(t) == 200 and not t.is_empty()  # pending vectors are neither counted nor found
    t.set_nprobe(2**64 - 1)
    assert sorted(h["id"] for h in t.search(data[250], 1000)) == list(range(200))
    t.set_nprobe(0)
    t.build()  # re-clusters everything (old members stay, new ones join), with nprobe from the constructor
    assert len(t) == 300 and t.search(data[250], 1)[0]["id"] == 250 and t.search(data[3], 1)[0]["id"] == 3
    assert t.set_ef_search(1) is None  # not an IvfFlat setting
    assert sorted(h["id"] for h in t.search(data[0], 1000)) == list(range(300))


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
@pytest.mark.parametrize("bit_width", [4, 2])
def test_probing_every_list_equals_brute_force(metric, bit_width):
    data, queries = clustered(600, 24, seed=1), clustered(20, 24, seed=1)
    flat = Teskra(24, metric=metric, bit_width=bit_width)
    ivf = Teskra(24, metric=metric, bit_width=bit_width, index_type="ivf", ivf_nlist=16, ivf_nprobe=16)
    for t in (flat, ivf):
        t.add(np.arange(600, dtype=np.uint64), data)
    ivf.build()
    ranked = lambda t, q: sorted((-h["score"], h["id"]) for h in t.search(q, 10))  # noqa: E731  ties in any order
    assert all(ranked(ivf, q) == ranked(flat, q) for q in queries)
    # Probing a quarter of the lists still finds most neighbours on clustered data.
    ivf.set_nprobe(4)
    found = sum(len({i for _, i in ranked(ivf, q)} & {i for _, i in ranked(flat, q)}) for q in queries)
    assert found >= 0.8 * 10 * len(queries)


def test_brute_force_tuning_and_argument_errors():
    t = Teskra(8)
    t.add([1, 2], [[1] * 8, list(range(8))])
    before = t.search([1] * 8, 2)  # nothing to build or tune for BruteForce
    assert t.build() is None and t.set_nprobe(0) is None and t.set_ef_search(ef=0) is None
    assert t.search([1] * 8, 2) == before
    for call, cls, text in [(lambda: t.set_nprobe(-1), OverflowError, "argument 'nprobe': "),
                            (lambda: t.set_ef_search(2**64), OverflowError, "argument 'ef': "),
                            (lambda: t.set_ef_search(1.5), TypeError, "argument 'ef': "),
                            (lambda: t.build(1), TypeError, "build() takes no arguments (1 given)")]:
        with pytest.raises(cls, match=f"^{re.escape(text)}"):
            call()


def test_fit_standardizes_l2_only_and_before_add():
    t = Teskra(2, metric="l2")
    assert t.fit([[1, 2], [3, 4]]) is None
    # mean 2.5, factor 1 / sqrt(variance 1.25 * dim 2): [1, 2] becomes a unit vector, scaled by sqrt(2)
    # (unfitted, its squared norm would be 5 * 2).
    assert np.sum(t.transform_query_np([1, 2]).astype(np.float64) ** 2) == pytest.approx(2.0, rel=1e-5)
    t.fit(np.array([[0, 0], [2, 2]], np.float32))  # a later fit replaces the first
    assert np.sum(t.transform_query_np([1, 1]) ** 2) == pytest.approx(0.0, abs=1e-9)
    t.add([1], [[1, 1]])
    raises(ValueError, FIT_AFTER_ADD, lambda: t.fit([]))  # checked before the sample
    raises(ValueError, "sample is empty — provide at least 1 vector for profiling",
           lambda: Teskra(2, metric="l2").fit([]))
    raises(ValueError, "vector 1 dimension mismatch: expected 2, got 3",
           lambda: Teskra(2, metric="l2").fit([[1, 2], [1, 2, 3]]))
    for metric in ("cosine", "dot"):  # no effect, no error
        t = Teskra(2, metric=metric)
        t.add([1], [[3, 4]])
        before = t.transform_query_np([3, 4])
        assert t.fit([]) is None and t.fit([[100, 200], [300, 400]]) is None
        assert np.array_equal(t.transform_query_np([3, 4]), before)
    t = Teskra(2, metric="l2", index_type="ivf")
    t.add([1, 2], [[1, 2], [3, 4]])
    t.build()
    t.add([3], [[5, 6]])  # built, with a pending vector: still refused
    hook = type("Hook", (), {"__float__": lambda _: (t.build(), 1.0)[1]})
    raises(RuntimeError, "Already borrowed", lambda: t.fit([[hook(), 1.0]]))  # exclusive access, taken first
    raises(ValueError, FIT_AFTER_ADD, lambda: t.fit([[1, 2]]))  # and released by the failed call


@pytest.mark.parametrize("kwargs, message", [
    ({"hnsw_m": 1}, "hnsw_m must be at least 2 for an Hnsw index, got 1"),
    ({"hnsw_m": 0, "hnsw_ef_construction": 0}, "hnsw_m must be at least 2 for an Hnsw index, got 0"),
    ({"hnsw_ef_construction": 0}, "hnsw_ef_construction must be at least 1 for an Hnsw index"),
])
def test_hnsw_construction_arguments(kwargs, message):
    raises(ValueError, message, lambda: Teskra(8, index_type="hnsw", **kwargs))
    others = [Teskra(8, index_type=k, **kwargs).index_type for k in ("brute_force", "ivf_flat")]
    assert others == ["BruteForce", "IvfFlat"]  # ignored by the other index types
    assert Teskra(8, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=1).index_type == "Hnsw"


def test_hnsw_life_cycle():
    # Touching clusters: with the best-first neighbour choice, well-separated
    # clusters can end up as unconnected islands of the graph.
    data = clustered(600, 32, clusters=10, spread=1.5)
    t = Teskra(32, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=64)
    t.add(list(range(300)), data[:300])
    assert len(t) == 300 and t.search(data[5], 1)[0]["id"] == 5 and t.search(data[5], 0) == []
    t.build()  # releases the construction vectors; adding still works afterwards
    t.add(list(range(300, 600)), [list(map(float, row)) for row in data[300:]])
    probes = range(0, 600, 7)
    assert len(t) == 600 and sum(t.search(data[i], 1)[0]["id"] == i for i in probes) >= 0.95 * len(probes)
    t.set_ef_search(0)  # falls back to k; k beyond the graph returns every node once
    assert sorted(h["id"] for h in t.search(data[0], 10**9)) == list(range(600))
    hits = t.search(data[0], 10, allowlist=[0, 1, 599])  # filters the graph's top k afterwards
    assert {h["id"] for h in hits} <= {0, 1, 599} and hits[0]["id"] == 0
