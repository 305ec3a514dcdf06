"""add and search end to end: argument forms, result order, k, allowlists and recall."""

import numpy as np
import pytest

from conftest import pairs, small
from teskra import Teskra


VALUES = [0.25, -1.5, 2.0, 3.0]


@pytest.mark.parametrize("query", [  # lists, tuples, float32 and float64 arrays: test_model.py
    np.array(VALUES, ">f4"), np.array([0, -1, 2, 3], np.int32), np.array(VALUES, object),
    [np.float64(0.25), np.float16(-1.5), 2, True + 2], [1 + 2**-30, 0.1, 0.2, 0.3],
])
def test_query_forms_agree_with_float32(query):
    t = small()
    reference = np.array([float(v) for v in query], dtype=np.float32)
    assert pairs(t.search(query, 3)) == pairs(t.search(reference, 3))


class RowSequence:
    """Neither list nor tuple, so converted by iteration; its __len__ lies."""

    def __init__(self, data):
        self.data = data

    def __len__(self):
        return 10**12

    def __getitem__(self, i):
        return self.data[i].tolist()


# Beyond the lists, tuples, float32 (C and Fortran order) and float64 batches and list, tuple and
# uint64 ids of test_model.py.
BATCH_FORMS = [
    lambda d: np.frombuffer(d.tobytes(), np.float32).reshape(d.shape),  # read-only
    lambda d: d.astype(np.int32), lambda d: d.astype(">f4"), lambda d: list(np.repeat(d, 2, axis=1)[:, ::2]),
    RowSequence,
]
ID_FORMS = [
    lambda i: range(7, 12), lambda i: np.array(i, np.int8), lambda i: np.array(i, ">i4"),
    lambda i: np.repeat(np.array(i, np.uint16), 2)[::2], lambda i: [np.uint64(v) if v % 2 else np.int32(v) for v in i],
]


@pytest.mark.parametrize("make_ids, make_batch", list(zip(ID_FORMS, BATCH_FORMS)))
def test_id_and_batch_forms_store_the_same_vectors(make_ids, make_batch):
    ids, data = list(range(7, 12)), (np.arange(40, dtype=np.float32).reshape(5, 8) % 7) - 3
    queries = np.random.default_rng(5).standard_normal((3, 8)).astype(np.float32)
    results = []
    for i, batch in ((make_ids(ids), make_batch(data)), (ids, np.ascontiguousarray(data))):
        t = Teskra(8)
        t.add(i, batch)
        results.append([pairs(t.search(q, 5)) for q in queries])
    assert results[0] == results[1]


def test_rejected_query_forms_and_zero_columns():
    t = small()
    # A (1, dim) matrix is not one vector: its single row is not a number.
    for bad in ("abcd", {1, 2, 3, 4}, 4.0, [1, 2, "3", 4], {1: 1, 2: 2, 3: 3, 4: 4}, np.zeros((1, 4), np.float32)):
        pytest.raises(TypeError, t.search, bad, 1)
    # Empty batches and duplicate ids: test_model.py.
    z = Teskra(0)  # zero-column arrays behave like lists of empty rows
    z.add([1, 2], np.zeros((2, 0), np.float32))
    z.add([3], [[]])
    assert sorted(h["id"] for h in z.search([], 10)) == [1, 2, 3]


def test_result_dicts_keywords_and_allowlist_forms():
    # Order, ties, k and allowlists against the reference, bit for bit: test_model.py.
    data = np.random.default_rng(1234).standard_normal((50, 16)).astype(np.float32)
    index = Teskra(16)
    index.add(range(100, 150), data)
    everything = index.search(data[0], 1000)
    assert sorted(h["id"] for h in everything) == list(range(100, 150)) and everything[0]["id"] == 100
    assert all(list(h) == ["id", "score"] and type(h["id"]) is int and type(h["score"]) is float for h in everything)
    assert len(index.search(data[0], 2**64 - 1, allowlist=range(200_000))) == 50  # k never sizes an allocation
    assert index.search(data[0], 10, allowlist=None) == index.search(k=10, query=data[0])
    assert {h["id"] for h in index.search(data[0], 10, range(140, 10**6, 3))} == {140, 143, 146, 149}


@pytest.mark.parametrize("kwargs, share", [
    ({}, 1.0), ({"metric": "l2"}, 1.0), ({"mixed_ratio": 0.5}, 0.9), ({"bit_width": 2}, 0.9),
])
def test_exact_neighbour_found_first_on_clustered_data(kwargs, share):
    centres = np.random.default_rng(0).standard_normal((20, 1, 64))
    data = (centres + 0.3 * np.random.default_rng(1).standard_normal((20, 40, 64))).reshape(-1, 64).astype(np.float32)
    t = Teskra(64, **kwargs)
    t.add(np.arange(len(data)), data)
    queries = data[::9] + 0.01 * np.random.default_rng(7).standard_normal((len(data[::9]), 64)).astype(np.float32)
    unit = data / np.linalg.norm(data, axis=1, keepdims=True)
    best = [np.argmin(((data - q) ** 2).sum(1)) if t.metric == "l2" else np.argmax(unit @ q) for q in queries]
    assert np.mean([t.search(q, 1)[0]["id"] == b for q, b in zip(queries, best)]) >= share
