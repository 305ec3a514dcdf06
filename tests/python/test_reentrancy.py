"""Python code run during argument conversion that calls back into the same index."""

import contextlib

import numpy as np
import pytest

from conftest import Hook
from teskra import Teskra


@pytest.fixture
def index():
    t = Teskra(4)
    t.add([1, 2], [[1, 0, 0, 0], [0, 1, 0, 0]])
    return t


def test_a_refused_call_swallowed_by_the_callback_leaves_the_outer_call_working(index):
    seen = []

    def swallow_refusal_then_read():
        with contextlib.suppress(RuntimeError):
            index.add([9], [[1, 1, 1, 1]])
        seen.append((len(index), index.search([0, 1, 0, 0], 1)[0]["id"]))

    assert index.search([Hook(action=swallow_refusal_then_read), 0, 0, 0], 1)[0]["id"] == 1 and seen == [(2, 2)]
    assert index.n_vectors == 2 and index.search([1, 0, 0, 0], 1)[0]["id"] == 1


def test_callbacks_that_raise_or_shrink_their_container(index):
    def boom():
        raise KeyError("from __float__")

    for call in (lambda: index.search([Hook(action=boom), 0, 0, 0], 1),
                 lambda: index.add([Hook(action=boom, value=3)], [[0] * 4])):
        with pytest.raises(KeyError, match="from __float__"):  # propagates unchanged
            call()
    query = [1.0, 0.0, 0.0, 0.0]
    query[1] = Hook(action=query.clear)
    with pytest.raises(ValueError, match="^query dimension mismatch: expected 4, got 2$"):
        index.search(query, 1)
    batch = [[1, 0, 0, 0], [0, 1, 0, 0]]
    batch[0][0] = Hook(action=batch.clear)
    with pytest.raises(ValueError, match=r"^ids length \(2\) != vectors length \(1\)$"):
        index.add([7, 8], batch)
    ids = [7, 8]
    ids[0] = Hook(action=ids.clear, value=7)
    with pytest.raises(ValueError, match=r"^ids length \(1\) != vectors length \(2\)$"):
        index.add(ids, np.eye(2, 4, dtype=np.float32))
    index.add([9], [[1, 1, 1, 1]])
    assert index.n_vectors == 3


# Every method that converts Python objects, with the object that runs the
# callback, and whether the method holds shared or exclusive access while it does.
OUTER = [
    ("search: query element", "shared", lambda t, h: t.search([h, 0, 0, 0], 1)),
    ("search: k", "shared", lambda t, h: t.search([1, 0, 0, 0], h)),
    ("search: allowlist element", "shared", lambda t, h: t.search([1, 0, 0, 0], 1, allowlist=[1, h])),
    ("search: query sequence", "shared", lambda t, h: t.search(Hook([1, 0, 0, 0], h.action), 1)),
    ("search: allowlist sequence", "shared", lambda t, h: t.search([1, 0, 0, 0], 1, allowlist=Hook([1], h.action))),
    ("transform_query_np", "shared", lambda t, h: t.transform_query_np([h, 0, 0, 0])),
    ("profile_variance", "shared", lambda t, h: t.profile_variance([[h, 1, 0, 0]])),
    ("optimal_n4_dims: avg_bits", "shared", lambda t, h: t.optimal_n4_dims([[1, 0, 0, 0]], h)),
    ("add: vector element", "exclusive", lambda t, h: t.add([5], [[h, 1, 1, 1]])),
    ("add: id", "exclusive", lambda t, h: t.add([h], [[1, 1, 1, 1]])),
    ("add: id sequence", "exclusive", lambda t, h: t.add(Hook([5], h.action), [[1, 1, 1, 1]])),
    ("add: vector sequence", "exclusive", lambda t, h: t.add([5], Hook([[1, 1, 1, 1]], h.action))),
    ("add: batch sequence", "exclusive", lambda t, h: t.add([5], [Hook([1, 1, 1, 1], h.action)])),
    ("remove: id", "exclusive", lambda t, h: t.remove([3, h])),
    ("remove: id sequence", "exclusive", lambda t, h: t.remove(Hook([3], h.action))),
    ("upsert: vector element", "exclusive", lambda t, h: t.upsert([3], [[h, 1, 1, 1]])),
    ("upsert: id", "exclusive", lambda t, h: t.upsert([h], [[1, 1, 1, 1]])),
    ("fit", "exclusive", lambda t, h: t.fit([[h, 1, 1, 1]])),
    ("set_nprobe", "exclusive", lambda t, h: t.set_nprobe(h)),
    ("set_ef_search", "exclusive", lambda t, h: t.set_ef_search(h)),
]

INNER = [
    ("search", "shared", lambda t: t.search([0, 1, 0, 0], 1)),
    ("len", "shared", len),
    ("repr", "shared", repr),
    ("n_vectors", "shared", lambda t: t.n_vectors),
    ("is_empty", "shared", lambda t: t.is_empty()),
    ("transform_query_np", "shared", lambda t: t.transform_query_np([1, 2, 3, 4])),
    ("save", "shared", lambda t: t.save(SAVE_PATH)),
    ("add", "exclusive", lambda t: t.add([9], [[1, 1, 1, 1]])),
    ("remove", "exclusive", lambda t: t.remove([1])),
    ("upsert", "exclusive", lambda t: t.upsert([1], [[1, 1, 1, 1]])),
    ("fit", "exclusive", lambda t: t.fit([[1, 2, 3, 4]])),
    ("build", "exclusive", lambda t: t.build()),
    ("set_nprobe", "exclusive", lambda t: t.set_nprobe(3)),
    ("set_ef_search", "exclusive", lambda t: t.set_ef_search(3)),
]

SAVE_PATH = "/dev/null/never.tskr"  # never reached by a refused call; an allowed one fails as OSError


@pytest.mark.parametrize("name, outer_access, outer", OUTER, ids=[o[0] for o in OUTER])
def test_every_reentrant_pair_follows_the_access_rule(name, outer_access, outer):
    """Readers may nest inside readers; anything else fails with the access error and changes nothing."""
    for inner_name, inner_access, inner in INNER:
        t = Teskra(4, metric="l2", index_type="ivf", ivf_nlist=2)
        t.add([1, 2, 3], [[1, 0, 0, 0], [0, 1, 0, 0], [0, 0, 1, 0]])
        t.build()
        before = (t.n_vectors, t.search([1, 1, 0, 0], 3))
        seen = []

        def action():
            try:
                inner(t)
                seen.append("ran")
            except OSError:
                seen.append("ran")  # the nested save reached the file system
            except RuntimeError as e:
                seen.append(str(e))
                raise

        allowed = outer_access == "shared" and inner_access == "shared"
        hook = Hook(action=action, value=2)
        if allowed:
            outer(t, hook)
            assert seen == ["ran"], (name, inner_name)
        else:
            with pytest.raises(RuntimeError) as e:
                outer(t, hook)
            expected = "Already borrowed" if inner_access == "exclusive" else "Already mutably borrowed"
            assert str(e.value) == expected and seen == [expected], (name, inner_name)
        # Whatever happened, the access was released and the index is as it was.
        assert (t.n_vectors, t.search([1, 1, 0, 0], 3)) == before, (name, inner_name)
        t.add([7], [[0, 0, 0, 1]])
        t.build()
        assert t.n_vectors == 4
