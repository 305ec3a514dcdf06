"""The churn schedule and the recall over an index's contents (no timing)."""

import numpy as np

import removal
from data import exact_topk


def replay(plan):
    """The contents (id -> row) after applying the rounds to the start."""
    held = dict(zip(plan["start_ids"].tolist(), plan["start_rows"].tolist()))
    for gone, new_ids, new_rows in plan["rounds"]:
        assert all(i in held for i in gone.tolist()), "a round removes an id the index does not hold"
        assert not set(new_ids.tolist()) & set(held), "a round reuses an id the index holds"
        for i in gone.tolist():
            del held[i]
        assert not set(new_rows.tolist()) & set(held.values()), "a row would be in the index twice"
        held.update(zip(new_ids.tolist(), new_rows.tolist()))
    return held


def test_churn_schedule_keeps_the_size_and_cycles_the_rows():
    n = 1000
    plan = removal.churn_schedule(n, np.random.default_rng(0))
    assert len(plan["start_ids"]) == 900 and len(plan["rounds"]) == removal.ROUNDS
    assert np.array_equal(plan["start_ids"], np.sort(plan["start_ids"]))  # built in id order
    assert all(len(g) == len(i) == len(r) == 90 for g, i, r in plan["rounds"])
    held = replay(plan)
    assert len(held) == 900
    assert np.array_equal(plan["final_ids"], np.array(sorted(held), dtype=np.uint64))
    assert plan["final_rows"].tolist() == [held[i] for i in sorted(held)]
    # The first round takes the held-back rows, later ones the rows removed before.
    assert not set(plan["rounds"][0][2].tolist()) & set(plan["start_rows"].tolist())
    assert set(plan["rounds"][2][2].tolist()) & set(plan["rounds"][0][0].tolist())


def test_contents_truth_scores_ids_and_counts_stale_hits():
    rng = np.random.default_rng(1)
    base = rng.standard_normal((300, 16)).astype(np.float32)
    queries = rng.standard_normal((20, 16)).astype(np.float32)
    rows = np.sort(rng.choice(300, 200, replace=False))
    ids = (rows * 7 + 1000).astype(np.uint64)  # ids unlike row numbers
    score = removal.contents_truth(base, ids, rows, queries)
    exact = [[int(ids[p]) for p in answer] for answer in exact_topk(base[rows], queries, 10, "cosine")]
    assert score(exact) == (1.0, 0)
    # An id the index no longer holds (a row outside the contents) is a miss and a stale hit,
    # and so is an id past every id it ever held.
    outside = int(np.setdiff1d(np.arange(300), rows)[0]) * 7 + 1000
    spoiled = [[outside] + answer[1:] for answer in exact]
    spoiled[0][1] = 10**9
    recall, stale = score(spoiled)
    assert stale == 21 and recall == (20 * 10 - 21) / 200
