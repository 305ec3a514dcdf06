"""Search benchmarks, single-threaded, side by side with peers in one process.

    python bench/bench_search.py [--data DIR] [--queries N] [--quick]

Prints for each data set: recall@10 against exact float search, queries per
second and ratios to the peer; then the Python call overhead of a search and
the add throughput.
"""

from __future__ import annotations

import argparse
import json
import sys
import time
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
sys.path.insert(0, str(ROOT / "examples"))

from datasets import clustered, exact_topk, load_real, recall_at, single_thread_env, DEFAULT_REAL  # noqa: E402

single_thread_env()

import numpy as np  # noqa: E402

import teskra  # noqa: E402

K = 10


def timed_queries(search_one, queries) -> tuple[list[list[int]], float]:
    found = []
    t0 = time.perf_counter()
    for q in queries:
        found.append(search_one(q))
    return found, len(queries) / (time.perf_counter() - t0)


def teskra_flat(data, truth, bits: int = 4) -> dict:
    dim = data.base.shape[1]
    index = teskra.Teskra(dim, metric="cosine", bit_width=bits)
    t0 = time.perf_counter()
    index.add(np.arange(len(data.base), dtype=np.uint64), data.base)
    add_rate = len(data.base) / (time.perf_counter() - t0)
    found, qps = timed_queries(lambda q: [h["id"] for h in index.search(q, K)], data.queries)
    return {"name": f"teskra BruteForce {bits}-bit", "recall": recall_at(found, truth, K), "qps": qps,
            "add_rate": add_rate, "bytes": index.packed_bytes_per_vec + 4,
            "codes_per_s": qps * len(data.base), "code_bytes": index.packed_bytes_per_vec}


def faiss_sq4(data, truth) -> dict | None:
    try:
        import faiss
    except ImportError:
        return None
    faiss.omp_set_num_threads(1)
    dim = data.base.shape[1]
    base = data.base / np.maximum(np.linalg.norm(data.base, axis=1, keepdims=True), 1e-30)
    queries = data.queries / np.maximum(np.linalg.norm(data.queries, axis=1, keepdims=True), 1e-30)
    index = faiss.IndexScalarQuantizer(dim, faiss.ScalarQuantizer.QT_4bit, faiss.METRIC_INNER_PRODUCT)
    index.train(base)
    index.add(base)
    # One query per call, as an application asks; and the whole batch at once.
    found, qps = timed_queries(lambda q: index.search(q[None, :], K)[1][0].tolist(), queries)
    t0 = time.perf_counter()
    index.search(queries, K)
    batch_qps = len(queries) / (time.perf_counter() - t0)
    return {"name": "faiss SQ 4-bit flat", "recall": recall_at(found, truth, K), "qps": qps,
            "batch_qps": batch_qps, "bytes": index.code_size}


def call_overhead(dim: int = 384, calls: int = 20000) -> float:
    index = teskra.Teskra(dim)
    rng = np.random.default_rng(1)
    index.add([0], rng.standard_normal((1, dim)).astype(np.float32))
    q = rng.standard_normal(dim).astype(np.float32)
    for _ in range(1000):
        index.search(q, 10)
    t0 = time.perf_counter()
    for _ in range(calls):
        index.search(q, 10)
    return (time.perf_counter() - t0) / calls * 1e6


def kernel_codes_per_s(code_bytes: int) -> dict[str, float]:
    """The active kernel set's 4-bit batch rates (codes in L2 and in memory)
    for this code length, from bench_kernels' JSON, if it ran."""
    path = ROOT / "build" / "bench" / "kernels.json"
    if not path.exists():
        return {}
    rows = json.loads(path.read_text())
    active = rows[-1]["set"] if rows else None  # the last set measured is the active one
    return {r["buffer"]: r["codes_per_s"] for r in rows
            if r["layout"] == "4bit" and r["form"] == "batch" and r["set"] == active
            and r["code_bytes"] == code_bytes}


def report(data) -> None:
    print(f"\n== {data.name}: {len(data.queries)} queries, cosine, k={K}, one thread")
    truth = exact_topk(data.base, data.queries, K, "cosine")
    ours = teskra_flat(data, truth)
    rows = [ours, teskra_flat(data, truth, bits=2)]
    peer = faiss_sq4(data, truth)
    if peer:
        rows.append(peer)
    print(f"{'index':<26}{'recall@10':>10}{'QPS':>10}{'bytes/vec':>11}")
    for r in rows:
        print(f"{r['name']:<26}{r['recall']:>10.3f}{r['qps']:>10.1f}{r['bytes']:>11d}")
    if peer:
        print(f"ratio teskra 4-bit / faiss SQ4 (one query per call): {ours['qps'] / peer['qps']:.2f}x QPS, "
              f"recall {ours['recall']:.3f} vs {peer['recall']:.3f}")
        print(f"ratio teskra 4-bit / faiss SQ4 (faiss given the whole batch): "
              f"{ours['qps'] / peer['batch_qps']:.2f}x QPS")
    print(f"add throughput: {ours['add_rate']:,.0f} vectors/s")
    kern = kernel_codes_per_s(ours["code_bytes"])
    scan = ours["codes_per_s"]
    if kern:
        shares = ", ".join(f"{scan / rate:.0%} of the batch kernel's {rate / 1e6:.1f} M codes/s ({buf})"
                           for buf, rate in kern.items())
        print(f"scan rate: {scan / 1e6:.1f} M codes/s = {shares}")
    else:
        print(f"scan rate: {scan / 1e6:.1f} M codes/s (run make bench-kernels for the kernel's rate)")


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", help="folder with base.f16.npy and queries.f16.npy")
    ap.add_argument("--queries", type=int, default=200)
    ap.add_argument("--quick", action="store_true", help="smaller generated set")
    args = ap.parse_args()

    folder = Path(args.data) if args.data else DEFAULT_REAL
    if (folder / "base.f16.npy").exists():
        report(load_real(folder, args.queries))
    report(clustered(20000 if args.quick else 100000, 384, args.queries, seed=3))
    print(f"\nPython call overhead: search k=10 on a 1-vector dim-384 index: {call_overhead():.2f} us")


if __name__ == "__main__":
    main()
