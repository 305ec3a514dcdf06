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


# --- the graph beyond the sweeps: filtered searches and memory --------------

FILTER_SHARES = (0.001, 0.01, 0.1, 0.5)
FILTER_M = 16


def allowlists(n: int, seed: int = 11) -> list[np.ndarray]:
    """One random allowlist (sorted row indices, at least K of them) per share of FILTER_SHARES."""
    rng = np.random.default_rng(seed)
    return [np.sort(rng.choice(n, max(K, round(share * n)), replace=False)).astype(np.uint64)
            for share in FILTER_SHARES]


def filtered_truths(data: Dataset, lists: list[np.ndarray], n_queries: int) -> list:
    """The exact cosine answers among the allowed vectors only, in subset positions."""
    from data import Truth, exact_topk
    out = []
    for allowed in lists:
        rows = data.base[allowed.astype(np.int64)]
        queries = data.queries[:n_queries]
        out.append(Truth(rows, queries, "cosine", exact_topk(rows, queries, K, "cosine")))
    return out


def to_subset(allowed: np.ndarray, n: int) -> np.ndarray:
    """Row index -> position in allowed (-1 when not allowed)."""
    pos = np.full(n, -1, dtype=np.int64)
    pos[allowed.astype(np.int64)] = np.arange(len(allowed))
    return pos


def graph_filtered(data: Dataset, plan: Plan, lists: list[np.ndarray], truths: list, n_queries: int) -> dict:
    """Hnsw m 16 at its default ef (2m): unfiltered, then with each allowlist
    (passed as a NumPy array, as an application would), one query per call.
    Recall against the exact answers among the allowed vectors; QPS beside
    the unfiltered search's at the same ef."""
    queries = data.queries[:n_queries]
    ids = np.arange(len(data.base), dtype=np.uint64)
    index = teskra.Teskra(data.dim, metric="cosine", index_type="hnsw", hnsw_m=FILTER_M,
                          hnsw_ef_construction=plan.ef_construction)
    for s in range(0, len(ids), plan.add_chunk):
        index.add(ids[s:s + plan.add_chunk], data.base[s:s + plan.add_chunk])
    index.build()
    full_truth = data.truth_for("cosine")
    answers, qps = time_queries(lambda q: index.search(q, K), queries, repeats=plan.repeats)
    found = [_ids(a) for a in answers]
    unfiltered = {"recall": full_truth.recall(found), "qps": qps}  # the first n_queries of the truth
    rows = []
    for allowed, truth in zip(lists, truths):
        pos = to_subset(allowed, len(data.base))
        answers, qps = time_queries(lambda q: index.search(q, K, allowlist=allowed), queries, repeats=plan.repeats)
        mapped = [[int(pos[i]) for i in _ids(a)] for a in answers]
        short = sum(1 for a in answers if len(a) < min(K, len(allowed)))
        rows.append({"allowed": len(allowed), "share": len(allowed) / len(data.base), "recall": truth.recall(mapped),
                     "qps": qps, "short": short})
    return {"m": FILTER_M, "ef": 2 * FILTER_M, "n_queries": len(queries), "unfiltered": unfiltered, "rows": rows}


def _status(key: str) -> int:
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(key):
                return int(line.split()[1]) * 1024
    return -1


def graph_memory(data: Dataset, plan: Plan, m: int) -> dict:
    """Resident memory of an Hnsw build as a user sees it: a fresh process
    with the allocator as it comes (no tuning, no trim), adding in chunks
    and calling build(). The peak is the process's high-water mark during
    the adds, counted from the resident size before them."""
    import gc
    ids = np.arange(len(data.base), dtype=np.uint64)
    gc.collect()
    with open("/proc/self/clear_refs", "w") as f:  # a new high-water mark from here
        f.write("5")
    before, hwm0 = _status("VmRSS:"), _status("VmHWM:")
    index = teskra.Teskra(data.dim, metric="cosine", index_type="hnsw", hnsw_m=m,
                          hnsw_ef_construction=plan.ef_construction)
    with Stopwatch() as sw:
        for s in range(0, len(ids), plan.add_chunk):
            index.add(ids[s:s + plan.add_chunk], data.base[s:s + plan.add_chunk])
        index.build()
    gc.collect()
    after, peak = _status("VmRSS:"), _status("VmHWM:")
    n = len(ids)
    return {"m": m, "n": n, "code_bytes": index.packed_bytes_per_vec, "build_s": sw.s,
            "final_per_vec": (after - before) / n, "peak_per_vec": (max(peak, hwm0) - before) / n}
