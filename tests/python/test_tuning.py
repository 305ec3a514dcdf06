"""fit, build, set_nprobe and set_ef_search: the IvfFlat life cycle, standardization, run-time tuning and the
Hnsw construction arguments."""

import numpy as np
import pytest

from teskra import Teskra

NOT_BUILT = "call build() before search() for IvfFlat indexes"
EMPTY = "index is empty"


def clustered(n, dim, clusters=20, spread=0.3, seed=0):
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32)
    noise = spread * rng.standard_normal((n, dim)).astype(np.float32)
    return np.ascontiguousarray(centres[rng.integers(0, clusters, n)] + noise)


def raises(cls, message, call):
    with pytest.raises(cls) as e:
        call()
    assert str(e.value) == message


METHODS = {
    "fit": ("($self, vectors)", "Compute per-dimension standardization parameters for L2 metric."),
    "build": ("($self)", "Build the search index."),
    "set_ef_search": ("($self, ef)", "Update HNSW ef_search at runtime without rebuilding the index."),
    "set_nprobe": ("($self, nprobe)", "Update IvfFlat nprobe at runtime. Higher = better recall, lower QPS."),
}


def test_signatures_docstrings_and_registration_order():
    for name, (signature, first_line) in METHODS.items():
        method = getattr(Teskra, name)
        assert (method.__text_signature__, method.__doc__.splitlines()[0]) == (signature, first_line)
    table = ["add", "search", "fit", "build", "set_ef_search", "set_nprobe", "save", "recommended_m", "load"]
    registered = [n for n in Teskra.__dict__ if n in table]
    assert registered == [n for n in table if n in Teskra.__dict__]


def test_ivf_flat_life_cycle():
    data = clustered(300, 16)
    t = Teskra(16, index_type="ivf_flat", ivf_nlist=8, ivf_nprobe=8)
    raises(RuntimeError, EMPTY, t.build)
    raises(RuntimeError, EMPTY, lambda: t.search(data[0], 5))
    t.add(list(range(200)), data[:200])
    raises(RuntimeError, NOT_BUILT, lambda: t.search(data[0], 5))
    assert t.build() is None and len(t) == 200
    assert t.search(data[0], 1)[0]["id"] == 0 and t.search(data[0], 0) == []
    raises(RuntimeError, EMPTY, t.build)  # nothing new: the built lists stay
    assert t.search(data[7], 1)[0]["id"] == 7

    t.add(list(range(200, 300)), [list(map(float, row)) for row in data[200:]])
    assert len(t) == 200 and not t.is_empty()  # pending vectors are neither counted nor found
    assert all(h["id"] < 200 for h in t.search(data[250], 100))
    t.build()  # re-clusters everything: old members stay, new ones join
    assert len(t) == 300 and t.search(data[250], 1)[0]["id"] == 250 and t.search(data[3], 1)[0]["id"] == 3
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

    def ranked(hits):  # equal scores may come in either order
        return sorted((-h["score"], h["id"]) for h in hits)

    for q in queries:
        assert ranked(ivf.search(q, 10)) == ranked(flat.search(q, 10))
    # Probing a quarter of the lists still finds most neighbours on clustered data.
    ivf.set_nprobe(4)
    found = sum(len({h["id"] for h in ivf.search(q, 10)} & {h["id"] for h in flat.search(q, 10)})
                for q in queries)
    assert found >= 0.8 * 10 * len(queries)


def test_set_nprobe_and_set_ef_search():
    data = clustered(200, 8, seed=2)
    t = Teskra(8, index_type="ivf", ivf_nlist=4, ivf_nprobe=4)
    t.add(list(range(200)), data)
    assert t.set_nprobe(0) is None  # before build: lost
    t.build()
    assert len(t.search(data[0], 500)) == 200
    assert t.set_ef_search(1) is None and len(t.search(data[0], 500)) == 200  # not an IvfFlat setting
    t.set_nprobe(nprobe=0)
    assert t.search(data[0], 10) == []
    t.set_nprobe(2**64 - 1)
    assert len(t.search(data[0], 500)) == 200

    flat = Teskra(8)
    flat.add([1, 2], data[:2])
    before = flat.search(data[0], 2)
    assert flat.build() is None and flat.set_nprobe(0) is None and flat.set_ef_search(ef=0) is None
    assert flat.search(data[0], 2) == before  # nothing to build or tune for BruteForce
    for call, cls, text in [(lambda: flat.set_nprobe(-1), OverflowError, "nprobe"),
                            (lambda: flat.set_nprobe("3"), TypeError, "nprobe"),
                            (lambda: flat.set_ef_search(2**64), OverflowError, "ef"),
                            (lambda: flat.set_ef_search(1.5), TypeError, "ef"),
                            (lambda: flat.set_nprobe(), TypeError, "nprobe"),
                            (lambda: flat.build(1), TypeError, "build")]:
        with pytest.raises(cls, match=text):
            call()


def test_fit_standardizes_l2_vectors():
    t = Teskra(2, metric="l2")
    unfitted = np.sum(t.transform_query_np([1, 2]).astype(np.float64) ** 2)
    assert t.fit([[1, 2], [3, 4]]) is None
    # mean 2.5, factor 1 / sqrt(variance 1.25 * dim 2): [1, 2] becomes a unit vector, scaled by sqrt(2).
    assert np.sum(t.transform_query_np([1, 2]).astype(np.float64) ** 2) == pytest.approx(2.0, rel=1e-5)
    assert unfitted == pytest.approx(10.0, rel=1e-5)
    t.fit(np.array([[0, 0], [2, 2]], np.float32))  # a later fit replaces the first
    assert np.sum(t.transform_query_np([1, 1]) ** 2) == pytest.approx(0.0, abs=1e-9)
    t.add([1], [[1, 1]])
    raises(ValueError, "fit() must be called before add() — index already contains vectors", lambda: t.fit([[1, 1]]))
    raises(ValueError, "fit() must be called before add() — index already contains vectors", lambda: t.fit([]))


def test_fit_errors_and_other_metrics():
    raises(ValueError, "sample is empty — provide at least 1 vector for profiling", lambda: Teskra(2, metric="l2").fit([]))
    raises(ValueError, "vector 1 dimension mismatch: expected 2, got 3",
           lambda: Teskra(2, metric="l2").fit([[1, 2], [1, 2, 3]]))
    for metric in ("cosine", "dot"):
        t = Teskra(2, metric=metric)
        t.add([1], [[3, 4]])
        before = t.transform_query_np([3, 4])
        t.fit([])
        t.fit([[100, 200], [300, 400]])
        assert np.array_equal(t.transform_query_np([3, 4]), before)
    t = Teskra(2, metric="l2", index_type="ivf")
    t.add([1, 2], [[1, 2], [3, 4]])
    t.build()
    t.add([3], [[5, 6]])  # built, with a pending vector: still refused
    raises(ValueError, "fit() must be called before add() — index already contains vectors", lambda: t.fit([[1, 2]]))


def test_fit_and_build_take_exclusive_access():
    t = Teskra(2, metric="l2", index_type="ivf")

    class Reentrant:
        def __float__(self):
            t.build()
            return 1.0

    with pytest.raises(RuntimeError, match="Already borrowed"):
        t.fit([[Reentrant(), 1.0]])
    t.fit([[1.0, 2.0], [3.0, 4.0]])  # the failed call released its access


@pytest.mark.parametrize("kwargs, message", [
    ({"hnsw_m": 1}, "hnsw_m must be at least 2 for an Hnsw index, got 1"),
    ({"hnsw_m": 0, "hnsw_ef_construction": 0}, "hnsw_m must be at least 2 for an Hnsw index, got 0"),
    ({"hnsw_ef_construction": 0}, "hnsw_ef_construction must be at least 1 for an Hnsw index"),
])
def test_hnsw_construction_arguments(kwargs, message):
    raises(ValueError, message, lambda: Teskra(8, index_type="hnsw", **kwargs))
    for other in ("brute_force", "ivf_flat"):  # ignored by the other index types
        assert Teskra(8, index_type=other, **kwargs).index_type in ("BruteForce", "IvfFlat")
    assert Teskra(8, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=1).index_type == "Hnsw"


def test_hnsw_life_cycle():
    # Touching clusters: with the best-first neighbour choice, well-separated
    # clusters can end up as unconnected islands of the graph.
    data = clustered(600, 32, clusters=10, spread=1.5)
    t = Teskra(32, index_type="hnsw", hnsw_m=8, hnsw_ef_construction=64)
    raises(RuntimeError, EMPTY, lambda: t.search(data[0], 5))
    t.add(list(range(300)), data[:300])
    assert len(t) == 300
    assert t.search(data[5], 1)[0]["id"] == 5 and t.search(data[5], 0) == []
    t.build()  # releases the construction vectors; adding still works afterwards
    t.add(list(range(300, 600)), [list(map(float, row)) for row in data[300:]])
    assert len(t) == 600
    found = sum(t.search(data[i], 1)[0]["id"] == i for i in range(0, 600, 7))
    assert found >= 0.95 * len(range(0, 600, 7))
    # k beyond the graph returns every node once; ef_search 0 falls back to k.
    t.set_ef_search(0)
    assert sorted(h["id"] for h in t.search(data[0], 10**9)) == list(range(600))
    # The allowlist filters the graph's top k afterwards.
    hits = t.search(data[0], 10, allowlist=[0, 1, 599])
    assert {h["id"] for h in hits} <= {0, 1, 599} and hits[0]["id"] == 0
