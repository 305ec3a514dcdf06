"""The peers, configured to answer the same cosine queries as teskra.

faiss: scalar quantizer flat at 4 and 8 bits, product quantizer at teskra's
byte budgets, RaBitQ, IVF with a 4-bit scalar quantizer, HNSW over 4-bit
scalar codes. hnswlib: HNSW on float32. usearch: HNSW on i8 and f16.
Inner-product peers get unit-length vectors, which makes their inner product
the cosine similarity. Each library is imported only when asked for, so a
missing one costs its rows, not the run.
"""

from __future__ import annotations

import importlib

import numpy as np

from data import K, Dataset
from harness import IndexRecipe, Plan
from measure import quiet_stderr


def available(module: str) -> bool:
    try:
        importlib.import_module(module)
    except ImportError:
        return False
    return True


def pq_shape(dim: int, budget_bytes: int, nbits_range=range(4, 9)) -> tuple[int, int] | None:
    """(M, nbits) of the product quantizer whose code is the largest that fits
    in budget_bytes: M must divide dim. Exact budgets are often impossible
    (384 = 2^7 * 3 has few divisors), so the report shows the bytes actually
    used. Wider codewords win ties: at equal bits they quantize better. Codebooks
    above 2^8 entries are left out: their training costs minutes per index."""
    best = None
    for nbits in nbits_range:
        for m in range(1, dim + 1):
            if dim % m or m * nbits > budget_bytes * 8:
                continue
            key = (m * nbits, nbits)
            if best is None or key > best[0]:
                best = (key, (m, nbits))
    return best[1] if best else None


# --- faiss -----------------------------------------------------------------

def _faiss_persist() -> dict:
    import faiss
    return {"save": lambda ix, p: faiss.write_index(ix, p), "load": faiss.read_index, "file_suffix": ".faiss"}


def _faiss_search(ix, q):
    return ix.search(q[None, :], K)[1][0]


def _faiss_ids(labels) -> list[int]:
    return labels.tolist()


def _faiss_builder(make, base: np.ndarray, train_rows: int | None = None, quiet_train: bool = False):
    def build(add_all):
        ix = make()
        train = base if train_rows is None else base[:train_rows]
        if quiet_train:
            with quiet_stderr():
                ix.train(train)
        else:
            ix.train(train)
        add_all(lambda s, e: ix.add(base[s:e]))
        return ix
    return build


def faiss_recipes(data: Dataset, unit: np.ndarray, plan: Plan, budgets: list[int]) -> list[IndexRecipe]:
    """budgets: teskra's code bytes per vector (without the norm), one per layout."""
    import faiss
    faiss.omp_set_num_threads(1)
    d, ip = data.dim, faiss.METRIC_INNER_PRODUCT
    sq = faiss.ScalarQuantizer
    out = []
    for bits, qt in ((4, sq.QT_4bit), (8, sq.QT_8bit)):
        out.append(IndexRecipe(
            "faiss", f"faiss SQ {bits}-bit flat", "exhaustive", f"faiss SQ{bits} flat",
            _faiss_builder(lambda qt=qt: faiss.IndexScalarQuantizer(d, qt, ip), unit),
            _faiss_search, _faiss_ids, code_bytes=lambda ix: ix.code_size, params={"bits": bits}, **_faiss_persist()))

    seen = set()
    for budget in sorted(set(budgets)):
        shape = pq_shape(d, budget)
        if shape is None or shape in seen:
            continue
        seen.add(shape)
        m, nbits = shape

        def make(m=m, nbits=nbits):
            ix = faiss.IndexPQ(d, m, nbits, ip)
            ix.pq.cp.niter = plan.pq_niter  # default 25: minutes per index at these M
            return ix
        out.append(IndexRecipe(
            "faiss", f"faiss PQ {m}x{nbits} ({m * nbits // 8} B)", "exhaustive", "faiss PQ",
            _faiss_builder(make, unit, train_rows=plan.pq_train, quiet_train=True),
            _faiss_search, _faiss_ids, code_bytes=lambda ix: ix.code_size,
            params={"M": m, "nbits": nbits, "budget": budget, "train_rows": min(plan.pq_train, len(unit)),
                    "niter": plan.pq_niter},
            note=f"for teskra's {budget} B", tag=f"{m * nbits // 8} B", **_faiss_persist()))

    if hasattr(faiss, "IndexRaBitQ"):
        for bits in plan.rabitq_bits:
            def make(bits=bits):
                try:
                    ix = faiss.IndexRaBitQ(d, ip, bits)
                except TypeError:  # releases with one-bit codes only
                    if bits != 1:
                        raise
                    ix = faiss.IndexRaBitQ(d, ip)
                ix.qb = 8  # queries quantized to 8 bits: its most accurate setting
                return ix
            out.append(IndexRecipe(
                "faiss", f"faiss RaBitQ {bits}-bit", "exhaustive", "faiss RaBitQ",
                _faiss_builder(make, unit), _faiss_search, _faiss_ids, code_bytes=lambda ix: ix.code_size,
                params={"bits": bits, "qb": 8}, tag=f"{bits}-bit", **_faiss_persist()))

    nlist = plan.nlist_for(len(unit))

    def make_ivf():
        quantizer = faiss.IndexFlatIP(d)
        # faiss's Python layer keeps the quantizer alive as long as the index.
        return faiss.IndexIVFScalarQuantizer(quantizer, d, nlist, sq.QT_4bit, ip)

    def set_nprobe(ix, p):
        ix.nprobe = p
    out.append(IndexRecipe(
        "faiss", f"faiss IVF-SQ 4-bit nlist {nlist}", "ivf", "faiss IVF-SQ4",
        _faiss_builder(make_ivf, unit), _faiss_search, _faiss_ids, knob="nprobe",
        knob_values=[p for p in plan.nprobe_sweep if p <= nlist], set_knob=set_nprobe,
        code_bytes=lambda ix: ix.code_size, params={"nlist": nlist}, **_faiss_persist()))

    def set_ef(ix, ef):
        ix.hnsw.efSearch = ef
    for m in plan.hnsw_ms:
        def make_hnsw(m=m):
            ix = faiss.IndexHNSWSQ(d, sq.QT_4bit, m, ip)
            ix.hnsw.efConstruction = plan.ef_construction
            return ix
        out.append(IndexRecipe(
            "faiss", f"faiss HNSW-SQ 4-bit m {m}", "graph", f"faiss HNSW-SQ4 m{m}",
            _faiss_builder(make_hnsw, unit), _faiss_search, _faiss_ids, knob="ef",
            knob_values=plan.ef_sweep, set_knob=set_ef,
            code_bytes=lambda ix: faiss.downcast_index(ix.storage).code_size,
            params={"m": m, "ef_construction": plan.ef_construction}, **_faiss_persist()))
    return out


# --- hnswlib ---------------------------------------------------------------

def hnswlib_recipes(data: Dataset, unit: np.ndarray, plan: Plan) -> list[IndexRecipe]:
    import hnswlib
    n, d = unit.shape
    labels = np.arange(n)

    def load(path):
        ix = hnswlib.Index(space="ip", dim=d)
        ix.load_index(path, max_elements=n)
        ix.set_num_threads(1)
        return ix

    out = []
    for m in plan.hnsw_ms:
        def build(add_all, m=m):
            ix = hnswlib.Index(space="ip", dim=d)
            ix.init_index(max_elements=n, M=m, ef_construction=plan.ef_construction, random_seed=1)
            ix.set_num_threads(1)
            add_all(lambda s, e: ix.add_items(unit[s:e], labels[s:e], num_threads=1))
            return ix
        out.append(IndexRecipe(
            "hnswlib", f"hnswlib float32 m {m}", "graph", f"hnswlib m{m}", build,
            lambda ix, q: ix.knn_query(q, k=K, num_threads=1)[0][0], lambda a: a.tolist(),
            knob="ef", knob_values=plan.ef_sweep, set_knob=lambda ix, ef: ix.set_ef(ef),
            save=lambda ix, p: ix.save_index(p), load=load, file_suffix=".hnsw",
            code_bytes=lambda ix: 4 * d, params={"m": m, "ef_construction": plan.ef_construction}))
    return out


# --- usearch ---------------------------------------------------------------

def usearch_recipes(data: Dataset, unit: np.ndarray, plan: Plan) -> list[IndexRecipe]:
    from usearch.index import Index
    n, d = unit.shape
    keys = np.arange(n, dtype=np.uint64)

    def set_ef(ix, ef):
        ix.expansion_search = ef

    out = []
    for dtype, width in (("i8", 1), ("f16", 2)):
        for m in plan.hnsw_ms:
            def build(add_all, m=m, dtype=dtype):
                ix = Index(ndim=d, metric="cos", dtype=dtype, connectivity=m, expansion_add=plan.ef_construction)
                add_all(lambda s, e: ix.add(keys[s:e], unit[s:e], threads=1))
                return ix
            out.append(IndexRecipe(
                "usearch", f"usearch {dtype} m {m}", "graph", f"usearch {dtype} m{m}", build,
                lambda ix, q: ix.search(q, K, threads=1).keys, lambda a: a.tolist(),
                knob="ef", knob_values=plan.ef_sweep, set_knob=set_ef,
                save=lambda ix, p: ix.save(p), load=lambda p: Index.restore(p), file_suffix=".usearch",
                code_bytes=lambda ix, width=width: width * d,
                params={"m": m, "ef_construction": plan.ef_construction, "dtype": dtype}))
    return out


def recipes(data: Dataset, unit: np.ndarray, plan: Plan, budgets: list[int]) -> tuple[list[IndexRecipe], list[str]]:
    """All peer recipes for a data set, and the names of libraries not installed."""
    out, missing = [], []
    for module, make in (("faiss", lambda: faiss_recipes(data, unit, plan, budgets)),
                         ("hnswlib", lambda: hnswlib_recipes(data, unit, plan)),
                         ("usearch", lambda: usearch_recipes(data, unit, plan))):
        if available(module):
            out.extend(make())
        else:
            missing.append(module)
    return out, missing


def warm_up(unit: np.ndarray, queries: np.ndarray, missing: list[str]) -> None:
    """Build, search, save and load a tiny index of each kind every peer
    library is used for, before anything is measured: one-time allocations
    (thread pools, BLAS buffers, lazily built tables) then land outside every
    index's memory reading instead of on whichever index comes first."""
    from measure import scratch_dir
    x, d = unit[:2000], unit.shape[1]
    with scratch_dir() as folder, quiet_stderr():
        if "faiss" not in missing:
            import faiss
            ip, qt = faiss.METRIC_INNER_PRODUCT, faiss.ScalarQuantizer.QT_4bit
            small = [faiss.IndexScalarQuantizer(d, qt, ip), faiss.IndexPQ(d, 8, 8, ip),
                     faiss.IndexIVFScalarQuantizer(faiss.IndexFlatIP(d), d, 8, qt, ip),
                     faiss.IndexHNSWSQ(d, qt, 8, ip)]
            if hasattr(faiss, "IndexRaBitQ"):
                small.append(faiss.IndexRaBitQ(d, ip))
            for ix in small:
                ix.train(x)
                ix.add(x)
                for q in queries[:5]:
                    ix.search(q[None, :], K)
                faiss.write_index(ix, str(folder / "w.faiss"))
                faiss.read_index(str(folder / "w.faiss"))
        if "hnswlib" not in missing:
            import hnswlib
            ix = hnswlib.Index(space="ip", dim=d)
            ix.init_index(max_elements=len(x), M=8, ef_construction=20)
            ix.add_items(x, np.arange(len(x)), num_threads=1)
            for q in queries[:5]:
                ix.knn_query(q, k=K, num_threads=1)
            ix.save_index(str(folder / "w.hnsw"))
        if "usearch" not in missing:
            from usearch.index import Index
            for dtype in ("i8", "f16"):
                ix = Index(ndim=d, metric="cos", dtype=dtype, connectivity=8)
                ix.add(np.arange(len(x), dtype=np.uint64), x, threads=1)
                for q in queries[:5]:
                    ix.search(q, K, threads=1)
                ix.save(str(folder / "w.usearch"))
                Index.restore(str(folder / "w.usearch"))


def hnswlib_filtered(unit: np.ndarray, unit_queries: np.ndarray, plan: Plan, m: int, ef: int,
                     lists: list[np.ndarray], truths: list) -> dict | None:
    """hnswlib (float32, same m and ef_construction, ef) with its filter= callable
    for the same allowlists: recall against the exact answers among the
    allowed vectors, QPS beside its unfiltered search at the same ef."""
    if not available("hnswlib"):
        return None
    import hnswlib

    from measure import time_queries
    n, d = unit.shape
    ix = hnswlib.Index(space="ip", dim=d)
    ix.init_index(max_elements=n, M=m, ef_construction=plan.ef_construction, random_seed=1)
    ix.set_num_threads(1)
    for s in range(0, n, plan.add_chunk):
        ix.add_items(unit[s:s + plan.add_chunk], np.arange(s, min(n, s + plan.add_chunk)), num_threads=1)
    ix.set_ef(ef)
    _, qps = time_queries(lambda q: ix.knn_query(q, k=K, num_threads=1), unit_queries, repeats=plan.repeats)
    rows = []
    for allowed, truth in zip(lists, truths):
        pos = np.full(n, -1, dtype=np.int64)
        pos[allowed.astype(np.int64)] = np.arange(len(allowed))
        allowed_set = set(allowed.tolist())
        answers, fqps = time_queries(
            lambda q: ix.knn_query(q, k=min(K, len(allowed)), num_threads=1, filter=allowed_set.__contains__)[0][0],
            unit_queries, repeats=1)
        rows.append({"allowed": len(allowed), "recall": truth.recall([[int(pos[i]) for i in a] for a in answers]),
                     "qps": fqps})
    return {"m": m, "ef": ef, "unfiltered_qps": qps, "rows": rows}
