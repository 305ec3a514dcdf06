"""The NumPy exports, external scoring from them, variance profiling, and the type stub (their errors:
test_api.py)."""

import ast
import inspect
import sys
from pathlib import Path

import numpy as np
import pytest

from teskra import Teskra

REPO = Path(__file__).resolve().parents[2]
sys.path.insert(0, str(REPO / "examples"))
from external_scoring import ExternalScorer  # noqa: E402

def test_exports_are_writable_copies_and_the_query_the_engines_own_buffer():
    # Shapes, dtypes and every value, for every layout and index type: test_model.py.
    t, rng = Teskra(100, n4_dims=64), np.random.default_rng(0)
    t.add([7, 8, 9], rng.standard_normal((3, 100)).astype(np.float32))
    x = rng.standard_normal(100).astype(np.float32)
    q = t.transform_query_np(x)
    assert type(q.base).__name__ == "PyCapsule"  # handed over without a copy
    # Cosine: normalized, rotated (orthonormal), scaled by sqrt(padded_dim); the same for any index type.
    assert abs(float(np.linalg.norm(q)) - 128**0.5) < 1e-4 and np.allclose(t.transform_query_np(3 * x), q, atol=1e-5)
    assert np.array_equal(Teskra(100, index_type="hnsw", n4_dims=64).transform_query_np(query=x.tolist()), q)
    exported = [t.packed_data(), t.vector_norms(), t.vector_ids(), Teskra.centroids_4bit(), t.centroids_2bit()]
    for a in (*exported, q):
        assert a.flags.writeable and a.flags.c_contiguous and (a.flags.owndata or a.base is q.base)
    for a in exported:
        a[...] = 0  # copies: the index does not see this, nor they the next add
    t.add([10], [[2.0] * 100])
    assert [len(a) for a in exported[:3]] == [3, 3, 3] and t.search([1.0] * 100, 1)[0]["id"] == 10
    assert t.vector_ids().tolist() == [7, 8, 9, 10] and t.packed_data()[:3].any()
    assert Teskra.centroids_4bit().all() and t.centroids_2bit().all()  # the zeros went to copies
    # fit reaches the engine: mean 2.5, factor 1 / sqrt(variance 1.25 * dim 2) makes [1, 2] a unit
    # vector, scaled by sqrt(2) (unfitted, its squared norm would be 5 * 2). The values: tests/core.
    fitted = Teskra(2, metric="l2")
    fitted.fit([[1, 2], [3, 4]])
    assert np.sum(fitted.transform_query_np([1, 2]).astype(np.float64) ** 2) == pytest.approx(2.0, rel=1e-5)


@pytest.mark.parametrize("metric, layout", [("cosine", {"bit_width": 2}), ("dot", {}), ("l2", {"n4_dims": 64})])
def test_external_scoring_reproduces_search(metric, layout):
    rng = np.random.default_rng(5)
    base = rng.standard_normal((10, 100))[rng.integers(0, 10, 400)] + 0.5 * rng.standard_normal((400, 100))
    t = Teskra(100, metric=metric, **layout)
    t.add(rng.permutation(4000)[:400], base.astype(np.float32))
    scorer = ExternalScorer(t)
    for q in base[:3] * 1.1 + 0.2:
        hits = t.search(q, 400)
        ext = dict(zip(scorer.ids.tolist(), scorer.scores(q)))
        mine, engine = (np.array(s, np.float32) for s in ([ext[h["id"]] for h in hits], [h["score"] for h in hits]))
        tol = 1e-5 * float(np.max(np.abs(engine)))
        assert len(hits) == len(ext) and np.allclose(mine, engine, rtol=0, atol=tol)  # same scores
        assert np.all(np.diff(mine) <= tol)  # the full ranking agrees wherever scores are distinguishable
        assert scorer.search(q, 10)[0].tolist() == [h["id"] for h in hits[:10]]


def test_profile_variance_and_optimal_n4_dims():
    # The values are the core's (tests/core/test_profile.cpp): here, what the binding hands over and back.
    t = Teskra(768)
    sample = np.random.default_rng(2).standard_normal((50, 768)).astype(np.float32)
    profile = t.profile_variance(sample)
    assert len(profile) == 1024 and all(type(v) is float and v >= 0 for v in profile)
    assert t.profile_variance(sample.tolist()) == profile and t.profile_variance(sample[:1]) == [0.0] * 1024
    assert [t.optimal_n4_dims(sample, a) for a in (3.0, 3.5, float("nan"), 3)] == [512, 768, 0, 512]
    assert t.optimal_n4_dims(avg_bits=2.1, sample_vecs=sample[:2]) == 48  # x = 51.19995 -> 51 -> 48


def test_stub_matches_every_member_signature_and_docstring():
    tree = ast.parse((REPO / "python" / "teskra.pyi").read_text(encoding="utf-8"))
    cls = next(n for n in tree.body if isinstance(n, ast.ClassDef) and n.name == "Teskra")
    stub = {n.name: n for n in cls.body if isinstance(n, ast.FunctionDef)}
    public = {n for n in dir(Teskra) if not n.startswith("_")}
    assert {n for n in stub if not n.startswith("_")} == public and {"__new__", "__len__"} <= stub.keys()
    kinds = {"getset_descriptor": "property", "staticmethod": "staticmethod", "classmethod_descriptor": "classmethod"}
    for name in public:
        node, runtime = stub[name], getattr(Teskra, name)
        kind = kinds.get(type(inspect.getattr_static(Teskra, name)).__name__)
        assert {ast.unparse(d) for d in node.decorator_list} == ({kind} if kind else set()), name
        assert node.returns is not None and ast.get_docstring(node).splitlines()[0] == runtime.__doc__.splitlines()[0]
        if kind != "property":  # the exact text signature, rebuilt from the stub's parameters and defaults
            defaults = [None] * (len(node.args.args) - len(node.args.defaults)) + node.args.defaults
            params = [{"self": "$self", "cls": "$cls"}.get(a.arg, a.arg) + (f"={ast.unparse(d)}" if d else "")
                      for a, d in zip(node.args.args, defaults)]
            assert runtime.__text_signature__ == f"({', '.join(params)})", name
    assert [a.arg for a in stub["__new__"].args.args[1:]] == list(inspect.signature(Teskra).parameters)
