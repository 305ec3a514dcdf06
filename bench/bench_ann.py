"""Approximate indexes against peers, single-threaded, in one run.

    python bench/bench_ann.py [--data DIR] [--queries N] [--quick]

Hnsw against hnswlib (and usearch) at the same m / ef_construction / ef:
build time, QPS, recall@10 and memory per vector. IvfFlat against faiss's
IndexIVFScalarQuantizer (4-bit) over an nprobe sweep. Every index is built in
a fresh process so that its resident-memory growth can be measured alone.
"""

from __future__ import annotations

import argparse
import multiprocessing as mp
import sys
import time
from concurrent.futures import ProcessPoolExecutor
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from datasets import DEFAULT_REAL, clustered, exact_topk, load_real, recall_at, single_thread_env  # noqa: E402

single_thread_env()

import numpy as np  # noqa: E402

K = 10
M, EF_CONSTRUCTION = 32, 200
EF_SWEEP = (32, 64, 128)
NPROBE_SWEEP = (4, 8, 16, 32)


def rss_bytes() -> int:
    # Hand freed heap pages back first, so memory a build released (our
    # construction vectors, a peer's temporaries) does not count as held.
    try:
        import ctypes
        ctypes.CDLL("libc.so.6").malloc_trim(0)
    except OSError:
        pass
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


def load(key: str, n_queries: int):
    if key.startswith("real:"):
        return load_real(Path(key[5:]), n_queries)
    n = int(key.split(":")[1])
    return clustered(n, 384, n_queries, seed=3)


def normalized(x: np.ndarray) -> np.ndarray:
    return np.ascontiguousarray(x / np.maximum(np.linalg.norm(x, axis=1, keepdims=True), 1e-30))


def sweep(search_one, queries, truth, settings, apply) -> list[tuple]:
    rows = []
    for s in settings:
        apply(s)
        found = []
        t0 = time.perf_counter()
        for q in queries:
            found.append(search_one(q))
        qps = len(queries) / (time.perf_counter() - t0)
        rows.append((s, recall_at(found, truth, K), qps))
    return rows


def run_teskra_hnsw(key, n_queries, truth):
    import teskra
    data = load(key, n_queries)
    before = rss_bytes()
    index = teskra.Teskra(data.base.shape[1], index_type="hnsw", hnsw_m=M, hnsw_ef_construction=EF_CONSTRUCTION)
    t0 = time.perf_counter()
    index.add(np.arange(len(data.base), dtype=np.uint64), data.base)
    index.build()  # releases the construction vectors
    build_s = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(data.base)
    rows = sweep(lambda q: [h["id"] for h in index.search(q, K)], data.queries, truth, EF_SWEEP,
                 index.set_ef_search)
    return {"name": "teskra Hnsw 4-bit", "build_s": build_s, "mem": mem, "rows": rows}


def run_hnswlib(key, n_queries, truth):
    import hnswlib
    data = load(key, n_queries)
    base = normalized(data.base)
    before = rss_bytes()
    index = hnswlib.Index(space="ip", dim=base.shape[1])
    index.init_index(max_elements=len(base), M=M, ef_construction=EF_CONSTRUCTION, random_seed=1)
    index.set_num_threads(1)
    t0 = time.perf_counter()
    index.add_items(base, np.arange(len(base)))
    build_s = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(data.base)  # base was allocated before: not counted
    del base
    rows = sweep(lambda q: index.knn_query(q, k=K)[0][0].tolist(), normalized(data.queries), truth, EF_SWEEP,
                 index.set_ef)
    return {"name": "hnswlib float32", "build_s": build_s, "mem": mem, "rows": rows}


def run_usearch(key, n_queries, truth):
    from usearch.index import Index
    data = load(key, n_queries)
    before = rss_bytes()
    index = Index(ndim=data.base.shape[1], metric="cos", dtype="f16", connectivity=M,
                  expansion_add=EF_CONSTRUCTION)
    t0 = time.perf_counter()
    index.add(np.arange(len(data.base)), data.base, threads=1)
    build_s = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(data.base)

    def set_ef(ef):
        index.expansion_search = ef
    rows = sweep(lambda q: index.search(q, K, threads=1).keys.tolist(), data.queries, truth, EF_SWEEP, set_ef)
    return {"name": "usearch f16", "build_s": build_s, "mem": mem, "rows": rows}


def run_teskra_ivf(key, n_queries, truth):
    import teskra
    data = load(key, n_queries)
    before = rss_bytes()
    index = teskra.Teskra(data.base.shape[1], index_type="ivf_flat", ivf_nlist=256)
    t0 = time.perf_counter()
    index.add(np.arange(len(data.base), dtype=np.uint64), data.base)
    index.build()
    build_s = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(data.base)
    rows = sweep(lambda q: [h["id"] for h in index.search(q, K)], data.queries, truth, NPROBE_SWEEP,
                 index.set_nprobe)
    return {"name": "teskra IvfFlat 4-bit", "build_s": build_s, "mem": mem, "rows": rows}


def run_faiss_ivf(key, n_queries, truth):
    import faiss
    faiss.omp_set_num_threads(1)
    data = load(key, n_queries)
    base = normalized(data.base)
    before = rss_bytes()
    quantizer = faiss.IndexFlatIP(base.shape[1])
    index = faiss.IndexIVFScalarQuantizer(quantizer, base.shape[1], 256, faiss.ScalarQuantizer.QT_4bit,
                                          faiss.METRIC_INNER_PRODUCT)
    t0 = time.perf_counter()
    index.train(base)
    index.add(base)
    build_s = time.perf_counter() - t0
    mem = (rss_bytes() - before) / len(data.base)  # base was allocated before: not counted
    del base

    def set_nprobe(p):
        index.nprobe = p
    rows = sweep(lambda q: index.search(q[None, :], K)[1][0].tolist(), normalized(data.queries), truth,
                 NPROBE_SWEEP, set_nprobe)
    return {"name": "faiss IVF-SQ 4-bit", "build_s": build_s, "mem": mem, "rows": rows}


def isolated(fn, *args):
    with ProcessPoolExecutor(1, mp_context=mp.get_context("spawn")) as ex:
        try:
            return ex.submit(fn, *args).result()
        except ImportError as e:
            print(f"  ({fn.__name__} skipped: {e})")
            return None


def print_group(title, results, knob):
    results = [r for r in results if r]
    print(f"\n{title}")
    print(f"{'index':<22}{'build s':>9}{'bytes/vec':>11}   " + "   ".join(f"{knob}={s}: recall QPS" for s, _, _ in results[0]["rows"]))
    for r in results:
        cells = "   ".join(f"{rec:>10.3f} {qps:>7.0f}" for _, rec, qps in r["rows"])
        print(f"{r['name']:<22}{r['build_s']:>9.1f}{r['mem']:>11.0f}   {cells}")
    return results


def ratios_hnsw(results):
    ours, peer = results[0], next((r for r in results if r["name"].startswith("hnswlib")), None)
    if not peer:
        return
    qps = "  ".join(f"ef={a[0]}: {a[2] / b[2]:.2f}x" for a, b in zip(ours["rows"], peer["rows"]))
    print(f"teskra/hnswlib: build time {ours['build_s'] / peer['build_s']:.2f}x, "
          f"memory per vector {ours['mem'] / peer['mem']:.2f}x, QPS {qps}")


def ratios_ivf(results):
    ours, peer = results
    print("teskra/faiss QPS at equal nprobe: " + "  ".join(
        f"nprobe={a[0]}: {a[2] / b[2]:.2f}x (recall {a[1]:.3f} vs {b[1]:.3f})"
        for a, b in zip(ours["rows"], peer["rows"])))


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", help="folder with base.f16.npy and queries.f16.npy")
    ap.add_argument("--queries", type=int, default=300)
    ap.add_argument("--quick", action="store_true", help="only a small generated set")
    args = ap.parse_args()

    folder = Path(args.data) if args.data else DEFAULT_REAL
    keys = []
    if not args.quick and (folder / "base.f16.npy").exists():
        keys.append(f"real:{folder}")
    keys.append("gen:20000" if args.quick else "gen:100000")
    for key in keys:
        data = load(key, args.queries)
        truth = exact_topk(data.base, data.queries, K, "cosine")
        print(f"\n== {data.name}: {len(data.queries)} queries, cosine, k={K}, one thread")
        del data
        hnsw = print_group(f"graph indexes, m={M}, ef_construction={EF_CONSTRUCTION}",
                           [isolated(f, key, args.queries, truth) for f in (run_teskra_hnsw, run_hnswlib, run_usearch)],
                           "ef")
        ratios_hnsw(hnsw)
        ivf = print_group("inverted files, 256 lists",
                          [isolated(f, key, args.queries, truth) for f in (run_teskra_ivf, run_faiss_ivf)], "nprobe")
        if len(ivf) == 2:
            ratios_ivf(ivf)


if __name__ == "__main__":
    main()
