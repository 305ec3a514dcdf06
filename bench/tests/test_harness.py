"""measure() against a NumPy index whose answers we know."""

import numpy as np
import pytest

import data
from harness import IndexRecipe, Plan, measure
from measure import time_queries


class Flat:
    """Exact search over the first `visible` rows: a knob that trades recall."""

    def __init__(self, base):
        self.base, self.rows, self.visible = base, 0, None

    def search(self, q, k=10):
        n = self.rows if self.visible is None else min(self.rows, self.visible)
        return np.argsort(-(self.base[:n] @ q), kind="stable")[:k]


def recipe_for(base, lose_on_load=False, **kw):
    def build(add_all):
        ix = Flat(base)
        add_all(lambda s, e: setattr(ix, "rows", max(ix.rows, e)))
        return ix

    def load(path):
        ix = Flat(base)
        rows = int(open(path).read())
        ix.rows = rows // 2 if lose_on_load else rows
        return ix
    return IndexRecipe("fake", "flat", "graph", "flat", build, lambda ix, q: ix.search(q), lambda a: a.tolist(),
                     save=lambda ix, path: open(path, "w").write(str(ix.rows)), load=load, **kw)


@pytest.fixture
def setup():
    d = data.clustered(600, 8, 30, clusters=5)
    return d, d.truth_for("dot"), Plan(n_queries=30, add_chunk=100, quiet=True, repeats=1)


def test_full_index_finds_the_exact_answers(setup):
    d, truth, plan = setup
    rec = measure(recipe_for(d.base), len(d.base), d.queries, truth, plan)
    assert [p["recall"] for p in rec["points"]] == [1.0]
    assert rec["points"][0]["qps"] > 0 and rec["build_s"] >= 0
    assert rec["load_ok"] is True and rec["file_per_vec"] == pytest.approx(len(str(len(d.base))) / len(d.base))


def test_sweep_applies_each_setting_in_order(setup):
    d, truth, plan = setup
    seen = []

    def set_visible(ix, v):
        seen.append(v)
        ix.visible = v
    recipe = recipe_for(d.base, knob="rows", knob_values=[60, 300, 600], set_knob=set_visible)
    rec = measure(recipe, len(d.base), d.queries, truth, plan)
    recalls = [p["recall"] for p in rec["points"]]
    assert [p["knob"] for p in rec["points"]] == [60, 300, 600]
    assert recalls[0] < recalls[1] < recalls[2] == 1.0
    # The loaded copy gets the last setting again before it is compared.
    assert seen[-1] == 600 and rec["load_ok"] is True


def test_a_copy_that_answers_differently_is_reported(setup):
    d, truth, plan = setup
    rec = measure(recipe_for(d.base, lose_on_load=True), len(d.base), d.queries, truth, plan)
    assert rec["load_ok"] is False


def test_failed_save_costs_only_the_file_columns(setup):
    d, truth, plan = setup
    recipe = recipe_for(d.base)
    recipe.save = lambda ix, path: (_ for _ in ()).throw(OSError("disk full"))
    rec = measure(recipe, len(d.base), d.queries, truth, plan)
    assert rec["file_per_vec"] is None and "disk full" in rec["note"] and rec["points"][0]["recall"] == 1.0


def test_every_row_is_added_exactly_once(setup):
    d, truth, plan = setup
    spans = []

    def build(add_all):
        add_all(lambda s, e: spans.append((s, e)))
        return Flat(d.base)
    measure(IndexRecipe("fake", "x", "exhaustive", "x", build, lambda ix, q: [], lambda a: list(a)),
            len(d.base), d.queries, truth, plan)
    covered = [i for s, e in spans for i in range(s, e)]
    assert covered == list(range(len(d.base)))


def test_time_queries_keeps_answers_in_query_order():
    calls = []

    def search(q):
        calls.append(q)
        return q * 2
    answers, qps = time_queries(search, list(range(50)), warmup=5, repeats=3)
    assert answers == [2 * q for q in range(50)] and qps > 0
    assert len(calls) == 5 + 3 * 50


def test_time_queries_stops_repeating_a_slow_index():
    calls = []
    answers, _ = time_queries(lambda q: calls.append(q) or q, list(range(10)), warmup=0, repeats=5,
                              repeat_budget_s=0.0)
    assert answers == list(range(10)) and len(calls) == 10
