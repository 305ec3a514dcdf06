"""teskra's configurations: the exhaustive scan at 4-bit, 2-bit and the mixed
layouts that optimal_n4_dims picks for 2.5, 3.0 and 3.5 average bits; IvfFlat
over an nprobe sweep; Hnsw at each m over an ef sweep. Plus the raw-magnitude
experiment, where vectors of norm 2-5 meet codebooks scaled for norm 1."""

from __future__ import annotations

import numpy as np

import teskra
from data import K, Dataset
from harness import IndexRecipe, Plan
from measure import Stopwatch, time_queries

HAS_SAVE = hasattr(teskra.Teskra, "save") and hasattr(teskra.Teskra, "load")


def _ids(hits) -> list[int]:
    return [h["id"] for h in hits]


def _search(index, q):
    return index.search(q, K)


def _persist() -> dict:
    if not HAS_SAVE:
        return {}
    return {"save": lambda ix, path: ix.save(path), "load": teskra.Teskra.load, "file_suffix": ".tskr"}


def _code_bytes(index) -> int:
    return index.packed_bytes_per_vec + 4  # the packed code and its stored norm


def _builder(data: Dataset, finish: bool, **kwargs):
    ids = np.arange(len(data.base), dtype=np.uint64)

    def build(add_all):
        index = teskra.Teskra(data.dim, metric="cosine", **kwargs)
        add_all(lambda s, e: index.add(ids[s:e], data.base[s:e]))
        if finish:
            index.build()  # IvfFlat: k-means; Hnsw: drops the construction vectors
        return index
    return build


def layouts(data: Dataset, plan: Plan) -> list[tuple[str, dict]]:
    """(label, plot tag, constructor arguments) of the exhaustive-scan layouts."""
    probe = teskra.Teskra(data.dim)
    sample = data.base[:plan.profile_sample]
    out = [("4-bit", "4-bit", {"bit_width": 4})]
    for bits in sorted(plan.avg_bits, reverse=True):
        n4 = probe.optimal_n4_dims(sample, bits)
        out.append((f"mixed {bits:.1f}-bit (n4_dims {n4})", f"{bits:.1f}", {"bit_width": 4, "n4_dims": n4}))
    out.append(("2-bit", "2-bit", {"bit_width": 2}))
    return out


def recipes(data: Dataset, plan: Plan) -> list[IndexRecipe]:
    out = []
    for label, tag, kwargs in layouts(data, plan):
        out.append(IndexRecipe(
            "teskra", f"teskra BruteForce {label}", "exhaustive", "teskra BruteForce",
            _builder(data, False, **kwargs), _search, _ids, code_bytes=_code_bytes, params=kwargs, tag=tag,
            **_persist()))
    nlist = plan.nlist_for(len(data.base))
    out.append(IndexRecipe(
        "teskra", f"teskra IvfFlat 4-bit nlist {nlist}", "ivf", "teskra IvfFlat",
        _builder(data, True, index_type="ivf_flat", ivf_nlist=nlist), _search, _ids,
        knob="nprobe", knob_values=[p for p in plan.nprobe_sweep if p <= nlist],
        set_knob=lambda ix, p: ix.set_nprobe(p), code_bytes=_code_bytes, params={"nlist": nlist}, **_persist()))
    for m in plan.hnsw_ms:
        out.append(IndexRecipe(
            "teskra", f"teskra Hnsw 4-bit m {m}", "graph", f"teskra Hnsw m{m}",
            _builder(data, True, index_type="hnsw", hnsw_m=m, hnsw_ef_construction=plan.ef_construction),
            _search, _ids, knob="ef", knob_values=plan.ef_sweep, set_knob=lambda ix, ef: ix.set_ef_search(ef),
            code_bytes=_code_bytes, params={"m": m, "ef_construction": plan.ef_construction}, **_persist()))
    return out


def warm_up(data: Dataset) -> None:
    """A tiny index of each kind, searched, saved and loaded, before anything
    is measured (see peers.warm_up)."""
    from measure import scratch_dir
    x = data.base[:2000]
    ids = np.arange(len(x), dtype=np.uint64)
    with scratch_dir() as folder:
        for kwargs in ({}, {"index_type": "ivf_flat", "ivf_nlist": 8}, {"index_type": "hnsw", "hnsw_m": 8}):
            index = teskra.Teskra(data.dim, **kwargs)
            index.add(ids, x)
            index.build()
            for q in data.queries[:5]:
                index.search(q, K)
            if HAS_SAVE:
                index.save(str(folder / "w.tskr"))
                teskra.Teskra.load(str(folder / "w.tskr"))


def raw_magnitude(data: Dataset, plan: Plan) -> list[dict]:
    """BruteForce 4-bit on vectors of norm 2-5: dot and unfitted l2 against
    their exact answers, then the two remedies (one common scale factor that
    keeps every dot ranking; fit for l2), with cosine as the reference."""
    norms = np.linalg.norm(data.base, axis=1)
    shrink = np.float32(1.0 / float(norms.max()))
    cases = [
        ("cosine", "cosine", "as given (cosine normalizes)", 1.0, False),
        ("dot", "dot", "as given, norms 2-5", 1.0, False),
        ("dot", "dot", "all scaled by 1/max norm (rankings unchanged)", shrink, False),
        ("l2", "l2", "as given, no fit", 1.0, False),
        ("l2", "l2", f"as given, fit on {min(plan.profile_sample, len(data.base))} rows", 1.0, True),
    ]
    rows = []
    ids = np.arange(len(data.base), dtype=np.uint64)
    for metric, truth_metric, treatment, scale, fit in cases:
        base = np.ascontiguousarray(data.base * scale) if scale != 1.0 else data.base
        queries = np.ascontiguousarray(data.queries * scale) if scale != 1.0 else data.queries
        index = teskra.Teskra(data.dim, metric=metric)
        with Stopwatch() as sw:
            if fit:
                index.fit(base[:plan.profile_sample])
            index.add(ids, base)
        answers, qps = time_queries(lambda q: index.search(q, K), queries, repeats=plan.repeats)
        rows.append({"metric": metric, "treatment": treatment, "build_s": sw.s, "qps": qps,
                     "recall": data.truth_for(truth_metric).recall([_ids(a) for a in answers])})
        del index
    return rows


def call_overhead_us(calls: int = 20000) -> float:
    """Microseconds per search on a one-vector index: the binding's fixed cost."""
    index = teskra.Teskra(384)
    rng = np.random.default_rng(1)
    index.add([0], rng.standard_normal((1, 384)).astype(np.float32))
    q = rng.standard_normal(384).astype(np.float32)
    for _ in range(1000):
        index.search(q, K)
    with Stopwatch() as sw:
        for _ in range(calls):
            index.search(q, K)
    return sw.s / calls * 1e6
