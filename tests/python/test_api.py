"""Construction, properties, the class signature, and every error's class and text.

The code layouts n4_dims and bit_width give, the aliases the model test draws, and the tuning calls
on every index type are checked by test_model.py; here what it does not draw.
"""

import numpy as np
import pytest

import teskra
from conftest import expect_error, small
from teskra import Teskra


@pytest.mark.parametrize("dim, kwargs, padded, n4, bytes_per_vec", [
    (100, {"mixed_ratio": 0.5}, 128, 64, 32 + 16), (100, {"mixed_ratio": 0.3}, 128, 36, 18 + 23),  # 38.4 -> 38 -> 36
    (100, {"mixed_ratio": 1.7}, 128, 128, 64), (100, {"mixed_ratio": -1}, 128, 0, 32),
    (100, {"mixed_ratio": float("nan")}, 128, 0, 32), (100, {"mixed_ratio": 0.5, "n4_dims": 10}, 128, 8, 4 + 30),
    (129, {"bit_width": 2, "mixed_ratio": 0.25}, 256, 64, 32 + 48), (0, {"n4_dims": None, "mixed_ratio": None}, 1, 1, 1),
])
def test_layout_resolution(dim, kwargs, padded, n4, bytes_per_vec):
    t = Teskra(dim, **kwargs)
    assert (t.dim, t.padded_dim, t.n4_dims, t.packed_bytes_per_vec, t.pb4_per_vec) == (
        dim, padded, n4, bytes_per_vec, (n4 + 1) // 2)
    assert t.is_mixed() == (0 < n4 < padded)


def test_defaults_aliases_and_positional_arguments():
    t = Teskra(768)
    assert (t.metric, t.bit_width, t.index_type, len(t), t.n_vectors, t.is_empty()) == (
        "cosine", 4, "BruteForce", 0, 0, True)
    metrics = {"COSINE": "cosine", "DOT_PRODUCT": "dot", "Euclidean": "l2", "L2": "l2"}
    kinds = {"Brute-Force": "BruteForce", "brute": "BruteForce", "IVF": "IvfFlat", "IVF-Flat": "IvfFlat",
             "ivfflat": "IvfFlat", "HNSW": "Hnsw"}
    assert {m: Teskra(8, metric=m).metric for m in metrics} == metrics
    assert {k: Teskra(8, index_type=k).index_type for k in kinds} == kinds
    t = Teskra(64, "dot", np.uint8(4), "hnsw", None, 32, 0, 0, 16, 10, 0)  # a NumPy integer is index-like, not an int
    assert (t.metric, t.bit_width, t.index_type, t.n4_dims) == ("dot", 4, "Hnsw", 32)
    # The Hnsw arguments are checked for an Hnsw index only; the smallest accepted.
    assert [Teskra(8, index_type=k, hnsw_m=0, hnsw_ef_construction=0).index_type
            for k in ("brute_force", "ivf_flat")] == ["BruteForce", "IvfFlat"]
    assert Teskra(8, index_type="hnsw", hnsw_m=2, hnsw_ef_construction=1).index_type == "Hnsw"


def test_read_only_properties_and_class_signature():
    # Every member's docstring and signature: test_exports.py, against the type stub.
    t = Teskra(8)
    for name in ("n_vectors", "bit_width", "index_type", "dim", "n4_dims", "metric", "packed_bytes_per_vec",
                 "padded_dim", "pb4_per_vec", "hnsw_selection", "is_view"):
        pytest.raises(AttributeError, setattr, t, name, 1)
    assert Teskra.__text_signature__ == (
        '(dim, metric="cosine", bit_width=4, index_type="brute_force", mixed_ratio=None, n4_dims=None, '
        'ivf_nlist=256, ivf_nprobe=8, hnsw_m=32, hnsw_ef_construction=200, hnsw_ef_search=0, '
        'hnsw_selection="diverse")')
    assert (Teskra.recommended_m(999999), Teskra.recommended_m(n=1000000), t.recommended_m(0)) == (32, 64, 32)


NOT_CONTIGUOUS = "The given array is not contiguous"
HNSW_M = "hnsw_m must be at least 2 for an Hnsw index, got "
ARGUMENT_CASES = [  # (keyword arguments, class, argument named in the message): one per converter
    ({"dim": "8"}, TypeError, "dim"), ({"dim": -1}, OverflowError, "dim"), ({"dim": 2**64}, OverflowError, "dim"),
    ({"bit_width": 256}, OverflowError, "bit_width"), ({"mixed_ratio": "x"}, TypeError, "mixed_ratio"),
    ({"metric": 1}, TypeError, "metric"), ({"n4_dims": -4}, OverflowError, "n4_dims"),
    ({"metric": "nope", "bit_width": "4"}, TypeError, "bit_width"),  # every argument converts before names parse
]
BAD_IDS = [("ab", TypeError), ({1, 2}, TypeError), (iter([1, 2]), TypeError), ([1.0, 2], TypeError),
           (np.array([1.0, 2.0]), TypeError), ([1, -2], OverflowError), ([1, 2**64], OverflowError),
           (np.array([1, -2]), OverflowError), (5, TypeError)]
ERRORS = [  # (call, class, exact text or, for argument conversion, the prefix before CPython's wording)
    # The metric is named first, lower-cased the Unicode way.
    *[(lambda m=m: Teskra(8, metric=m, index_type="yy"), ValueError,
       f"unknown metric '{m.lower()}': use 'cosine', 'dot', or 'l2'") for m in ("dot-product", "XX", "Ä")],
    (lambda: Teskra(8, index_type="FLAT"), ValueError,
     "unknown index_type 'flat': use 'brute_force', 'ivf_flat', or 'hnsw'"),
    *[(lambda w=w: Teskra(16, bit_width=w), ValueError, f"invalid bit width: {w} (must be 2 or 4)")
      for w in (0, 3, 255)],
    # Every index that can be built must save and load; files hold padded dims up to 2**26.
    *[(lambda d=d: Teskra(d), ValueError, f"dim must be at most 67108864, got {d}")
      for d in (2**26 + 1, 2**62, 2**63 + 1, 2**64 - 1)],
    (lambda: Teskra(8, index_type="hnsw", hnsw_m=1), ValueError, HNSW_M + "1"),
    (lambda: Teskra(8, index_type="hnsw", hnsw_m=0, hnsw_ef_construction=0), ValueError, HNSW_M + "0"),
    (lambda: Teskra(8, index_type="hnsw", hnsw_ef_construction=0), ValueError,
     "hnsw_ef_construction must be at least 1 for an Hnsw index"),
    # Neighbour lists longer than an index file's u16 lengths hold are refused up front.
    (lambda: Teskra(8, index_type="hnsw", hnsw_m=32768), ValueError,
     "hnsw_m must be at most 32767 for an Hnsw index, got 32768"),
    # Emptiness, unbuilt indexes, and wrong lengths and counts in every argument form: test_model.py.
    *[(lambda q=q: small().search(q, 1), ValueError, f"query dimension mismatch: expected 4, got {len(q)}")
      for q in (np.zeros(5, np.float32), [])],
    (lambda: small().search(np.arange(8, dtype=np.float32)[::2], 1), TypeError, NOT_CONTIGUOUS),
    (lambda: small().add([1, 2], np.zeros((4, 8), np.float32)[::2, ::2]), TypeError, NOT_CONTIGUOUS),
    (lambda: Teskra(0).add([4], np.empty((10**12, 0), np.float32)), ValueError,
     "ids length (1) != vectors length (1000000000000)"),
    *[(lambda kw=kw: Teskra(**{"dim": 8, **kw}), exc, f"argument '{name}': ") for kw, exc, name in ARGUMENT_CASES],
    *[(lambda i=i: small().add(i, [[1, 0, 0, 0]] * 2), exc, "argument 'ids': ") for i, exc in BAD_IDS],
    (lambda: small().search([1, 0, 0, 0], 2**64), OverflowError, "argument 'k': "),
    (lambda: small().search([1, 0, 0, 0], 1, allowlist={1, 2}), TypeError, "argument 'allowlist': "),
    (lambda: Teskra.recommended_m(-1), OverflowError, "argument 'n': "),
    (lambda: small().set_nprobe(-1), OverflowError, "argument 'nprobe': "),
    (lambda: small().set_ef_search(1.5), TypeError, "argument 'ef': "),
    (lambda: small().build(1), TypeError, "build() takes no arguments (1 given)"),
    # The exports' and profiling's (those of the other index types, refused: test_model.py).
    (lambda: small().transform_query_np([1, 2, 3]), ValueError, "query dimension mismatch: expected 4, got 3"),
    (lambda: small().profile_variance([]), ValueError, "sample is empty \u2014 provide at least 1 vector for profiling"),
    (lambda: small().optimal_n4_dims([[1, 2]], 3.0), ValueError, "vector 0 dimension mismatch: expected 4, got 2"),
    (lambda: small().optimal_n4_dims([], "3"), TypeError, "argument 'avg_bits': "),  # avg_bits converts first
    (lambda: small().optimal_n4_dims([[1, 2, 3, 4]]), TypeError,
     "optimal_n4_dims() missing required argument 'avg_bits' (pos 2)"),
    (lambda: small().packed_data(1), TypeError, "packed_data() takes no arguments (1 given)"),
    # search_batch's (its rows are searched as search() searches them: test_threads.py) and the thread setting's.
    *[(lambda q=q: small().search_batch(q, 1), ValueError, "query dimension mismatch: expected 4, got 3")
      for q in (np.zeros((2, 3)), [[1, 0, 0, 0], [1, 2, 3]])],
    (lambda: small().search_batch(np.zeros(4), 1), ValueError, "argument 'queries': expected a 2-D array, got 1 dimension(s)"),
    (lambda: small().search_batch(5, 1), TypeError,
     "argument 'queries': expected a 2-D array or a sequence of queries, got 'int'"),
    (lambda: small().search_batch([[1, 0, 0, 0]], 1, threads=-1), OverflowError, "argument 'threads': "),
    (lambda: Teskra(4).search_batch([[1, 0, 0, 0]], 1), RuntimeError, "index is empty"),
    (lambda: (u := Teskra(4, index_type="ivf_flat"), u.add([1], [[1, 0, 0, 0]]), u.search_batch([[1, 0, 0, 0]], 1)),
     RuntimeError, "call build() before search() for IvfFlat indexes"),
    (lambda: teskra.set_num_threads(-1), OverflowError, "argument 'n': "),
    # hnsw_selection's: checked whatever the index type, after the metric and the index type.
    *[(lambda kw=kw: Teskra(8, **kw), ValueError, f"unknown hnsw_selection '{name}': use 'diverse' or 'nearest'")
      for kw, name in [({"index_type": "hnsw", "hnsw_selection": "Closest"}, "closest"), ({"hnsw_selection": "x"}, "x")]],
    (lambda: Teskra(8, metric="m", hnsw_selection="x"), ValueError, "unknown metric 'm': use 'cosine', 'dot', or 'l2'"),
    (lambda: Teskra(8, index_type="hnsw", hnsw_selection=1), TypeError, "argument 'hnsw_selection': "),
    (lambda: Teskra.centroids_2bit(x=1), TypeError, "centroids_2bit() got an unexpected keyword argument 'x'"),
]


@pytest.mark.parametrize("call, exc, text", ERRORS)
def test_error_class_and_text(call, exc, text):
    expect_error(exc, text, call)


def test_failed_calls_change_nothing():
    t = small()
    before = t.search([1, 1, 1, 1], 3)
    pytest.raises(TypeError, t.add, [8, 9], [[1, 0, 0, 0], [1, None, 0, 0]])  # the first row converted; none is stored
    pytest.raises(OverflowError, t.add, [8, -9], [[1, 0, 0, 0]] * 2)
    for call in (lambda: t.search([1] * 4), lambda: t.search([1] * 4, 1, None, 2), lambda: t.search([1] * 4, 1, x=1),
                 lambda: t.search([1] * 4, k=1, query=[1] * 4), lambda: t.add(ids=[1]), lambda: t.is_empty(1),
                 lambda: t.is_mixed(x=1), lambda: Teskra(), lambda: Teskra(8, dim=8), lambda: Teskra(*range(1, 13))):
        pytest.raises(TypeError, call)
    assert len(t) == 3 and t.search([1, 1, 1, 1], 3) == before
    t.add([9], [[0, 0, 0, 5]])
    assert t.search([0, 0, 0, 1], 1)[0]["id"] == 9
