"""Python code run during argument conversion that calls back into the same index (other threads: test_threads.py)."""

import contextlib

import numpy as np
import pytest

from conftest import Hook, expect_error
from teskra import Teskra


def test_callbacks_that_swallow_a_refusal_raise_or_shrink_their_container():
    index, seen = Teskra(4), []
    index.add([1, 2], [[1, 0, 0, 0], [0, 1, 0, 0]])

    def swallow_refusal_then_read():
        with contextlib.suppress(RuntimeError):
            index.add([9], [[1, 1, 1, 1]])
        seen.append((len(index), index.search([0, 1, 0, 0], 1)[0]["id"]))

    # A refused call the callback swallows leaves the outer call working.
    assert index.search([Hook(action=swallow_refusal_then_read), 0, 0, 0], 1)[0]["id"] == 1 and seen == [(2, 2)]
    boom = Hook(action=lambda: {}["from __float__"], value=3)
    for call in (lambda: index.search([boom, 0, 0, 0], 1), lambda: index.add([boom], [[0] * 4])):
        with pytest.raises(KeyError, match="from __float__"):  # propagates unchanged
            call()
    query, batch, ids = [1.0, 0.0, 0.0, 0.0], [[1, 0, 0, 0], [0, 1, 0, 0]], [7, 8]
    query[1], batch[0][0], ids[0] = Hook(action=query.clear), Hook(action=batch.clear), Hook(action=ids.clear, value=7)
    for call, text in [(lambda: index.search(query, 1), "query dimension mismatch: expected 4, got 2"),
                       (lambda: index.add([7, 8], batch), "ids length (2) != vectors length (1)"),
                       (lambda: index.add(ids, np.eye(2, 4, dtype=np.float32)), "ids length (1) != vectors length (2)")]:
        expect_error(ValueError, text, call)
    assert index.n_vectors == 2 and index.search([1, 0, 0, 0], 1)[0]["id"] == 1
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
        before, seen = (t.n_vectors, t.search([1, 1, 0, 0], 3)), []

        def action():
            try:
                inner(t)
            except OSError:
                pass  # the nested save reached the file system
            except RuntimeError as e:
                seen.append(str(e))
                raise
            seen.append("ran")

        hook = Hook(action=action, value=2)
        if outer_access == inner_access == "shared":
            outer(t, hook)
            assert seen == ["ran"], (name, inner_name)
        else:
            e = pytest.raises(RuntimeError, outer, t, hook)
            expected = "Already borrowed" if inner_access == "exclusive" else "Already mutably borrowed"
            assert str(e.value) == expected and seen == [expected], (name, inner_name)
        # Whatever happened, the access was released and the index is as it was.
        assert (t.n_vectors, t.search([1, 1, 0, 0], 3)) == before, (name, inner_name)
        t.add([7], [[0, 0, 0, 1]])
        t.build()
        assert t.n_vectors == 4
