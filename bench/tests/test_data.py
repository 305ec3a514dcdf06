"""The exact answers and recall every figure is scored against, and the data
generators' promises."""

import numpy as np
import pytest

import data


def brute(base, queries, k, metric):
    """The slow obvious reference: sort every candidate by its score."""
    out = []
    for q in queries.astype(np.float64):
        b = base.astype(np.float64)
        if metric == "cosine":
            s = b @ q / (np.linalg.norm(b, axis=1) * np.linalg.norm(q))
        elif metric == "dot":
            s = b @ q
        else:
            s = -np.linalg.norm(b - q, axis=1)
        out.append(np.argsort(-s, kind="stable")[:k])
    return np.array(out)


@pytest.mark.parametrize("metric", ["cosine", "dot", "l2"])
def test_exact_topk_matches_a_full_sort(metric):
    rng = np.random.default_rng(7)
    base = (rng.standard_normal((500, 24)) * rng.uniform(0.2, 3.0, (500, 1))).astype(np.float32)
    queries = rng.standard_normal((30, 24)).astype(np.float32)
    got = data.exact_topk(base, queries, 10, metric)
    want = brute(base, queries, 10, metric)
    # Order within the top 10 may differ only between float near-ties.
    assert np.mean([len(set(g) & set(w)) for g, w in zip(got, want)]) >= 9.9
    assert np.mean(got[:, 0] == want[:, 0]) >= 0.95


def test_metrics_really_differ_on_raw_magnitudes():
    # Guards against one metric silently computing another.
    rng = np.random.default_rng(8)
    base = (rng.standard_normal((400, 16)) * rng.uniform(0.5, 5.0, (400, 1))).astype(np.float32)
    q = rng.standard_normal((20, 16)).astype(np.float32)
    tops = {m: data.exact_topk(base, q, 10, m) for m in ("cosine", "dot", "l2")}
    assert not np.array_equal(tops["cosine"], tops["dot"])
    assert not np.array_equal(tops["dot"], tops["l2"])


def test_exact_topk_rejects_unknown_metric_and_caps_k():
    base = np.eye(3, dtype=np.float32)
    with pytest.raises(ValueError):
        data.exact_topk(base, base, 2, "hamming")
    assert data.exact_topk(base, base, 10, "dot").shape == (3, 3)


class TestRecall:
    base = np.array([[1, 0], [0.9, 0.1], [0, 1], [0.7, 0.7], [1, 0]], dtype=np.float32)  # row 4 = row 0
    queries = np.array([[1, 0], [0, 1]], dtype=np.float32)

    def truth(self, ids):
        return data.Truth(self.base, self.queries, "cosine", np.array(ids))

    def test_hits_misses_and_answer_order(self):
        t = self.truth([[0, 1], [2, 3]])
        assert t.recall([[1, 0], [3, 2]]) == 1.0
        assert t.recall([[3, 2], [2, 1]]) == pytest.approx(1 / 4)

    def test_a_tied_vector_counts_whatever_id_the_truth_listed(self):
        # Rows 0 and 4 are the same vector: either one is a correct first answer.
        t = self.truth([[0, 1], [2, 3]])
        assert t.recall([[4, 1], [2, 3]]) == 1.0

    def test_only_the_first_k_unique_in_range_answers_count(self):
        t = self.truth([[0, 1], [2, 3]])
        assert t.recall([[0, 0], [2, 99]]) == pytest.approx(2 / 4)  # a repeat and a bogus id earn nothing
        assert t.recall([[3, 2, 0], [1, 0, 2]]) == pytest.approx(0.0)  # answers past k are ignored
        assert t.recall([[], [2]]) == pytest.approx(1 / 4)
        assert np.isnan(t.recall([]))

    def test_scores_follow_the_metric(self):
        base = np.array([[3, 0], [1, 0], [0, 1]], dtype=np.float32)
        q = np.array([[1, 0]], dtype=np.float32)
        # dot prefers the long vector, l2 the close one.
        assert data.Truth(base, q, "dot", np.array([[0]])).recall([[0]]) == 1.0
        assert data.Truth(base, q, "l2", np.array([[1]])).recall([[0]]) == 0.0
        assert data.Truth(base, q, "l2", np.array([[1]])).recall([[1]]) == 1.0


def test_generators_are_deterministic_and_shaped():
    a, b = data.clustered(300, 32, 10), data.clustered(300, 32, 10)
    assert np.array_equal(a.base, b.base) and np.array_equal(a.queries, b.queries)
    assert a.base.dtype == np.float32 and a.base.flags.c_contiguous and a.base.shape == (300, 32)
    w = data.word_vectors(500, 50, 20)
    norms = np.linalg.norm(np.vstack([w.base, w.queries]), axis=1)
    assert norms.min() >= 2.0 - 1e-4 and norms.max() <= 5.0 + 1e-4 and norms.max() - norms.min() > 2.0


def test_clustered_chunks_do_not_repeat_rows():
    # The generator draws in blocks; a block boundary must not restart the stream.
    d = data.clustered(40000, 4, 1)
    assert len(np.unique(d.base, axis=0)) == 40000


@pytest.mark.skipif(not data.real_available(), reason="real vectors not present")
class TestRealSet:
    def test_shipped_truth_agrees_with_exact_search(self):
        d = data.lsa384(n_queries=50)
        ours = data.exact_topk(d.base, d.queries, 10, "cosine")
        # Ids differ where the set holds identical texts; scores may not.
        assert d.truth_for("cosine").recall([r.tolist() for r in ours]) >= 0.999

    def test_subset_recomputes_truth_within_the_subset(self):
        d = data.lsa384(n_base=2000, n_queries=10)
        assert "cosine" not in d.truth_ids  # the shipped answers point beyond the subset
        assert d.truth_for("cosine").ids.max() < 2000
