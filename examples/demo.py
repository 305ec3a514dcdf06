"""teskra in one page: index a data set at 4-bit, 2-bit and a mixed layout,
and print recall@10 against an exact float search, queries per second,
bytes per vector, and the size and load time of each index saved to a file.

    python examples/demo.py [--data DIR] [--queries N]

DIR holds base.f16.npy and queries.f16.npy; by default the LSA vectors beside
the repository are used when present, else those `make data` builds into
data/lsa384, else a generated clustered set (the first line says which).
"""

from __future__ import annotations

import argparse
import os
import sys
import tempfile
import time
from pathlib import Path

sys.path.insert(0, str(Path(__file__).resolve().parent))

import numpy as np  # noqa: E402

import teskra  # noqa: E402
from datasets import exact_topk, pick, recall_at  # noqa: E402

K = 10


def run(label: str, data, truth, tune=None, **kwargs) -> dict:
    dim = data.base.shape[1]
    index = teskra.Teskra(dim, metric="cosine", **kwargs)
    t0 = time.perf_counter()
    index.add(np.arange(len(data.base), dtype=np.uint64), data.base)
    index.build()  # clusters IvfFlat; releases Hnsw's construction vectors
    build_s = time.perf_counter() - t0
    if tune:
        tune(index)

    found = []
    t0 = time.perf_counter()
    for q in data.queries:
        found.append([hit["id"] for hit in index.search(q, K)])
    search_s = time.perf_counter() - t0

    # Round trip through a file: the loaded index must answer exactly as the
    # saved one (save keeps the configured nprobe / ef_search, so retune).
    with tempfile.TemporaryDirectory() as tmp:
        path = os.path.join(tmp, "index.tskr")
        index.save(path)
        file_bytes = os.path.getsize(path)
        t0 = time.perf_counter()
        loaded = teskra.Teskra.load(path)
        load_s = time.perf_counter() - t0
    if tune:
        tune(loaded)
    for q in data.queries[:20]:
        if loaded.search(q, K) != index.search(q, K):
            raise SystemExit(f"{label}: the loaded index answers differently")

    stored = index.packed_bytes_per_vec + 4  # code + its norm
    return {
        "layout": label,
        "recall": recall_at(found, truth, K),
        "qps": len(data.queries) / search_s,
        "build": build_s,
        "bytes": stored,
        "ratio": dim * 4 / stored,
        "file_mb": file_bytes / 1e6,
        "load_ms": load_s * 1e3,
    }


def main() -> None:
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--data", help="folder with base.f16.npy and queries.f16.npy")
    ap.add_argument("--queries", type=int, default=300, help="queries to run (default 300)")
    args = ap.parse_args()

    data = pick(args.data, args.queries)
    dim = data.base.shape[1]
    print(f"teskra {teskra.__version__}: {data.name}, {len(data.queries)} queries, cosine, k={K}")
    truth = exact_topk(data.base, data.queries, K, "cosine")

    rows = [
        run("BruteForce 4-bit", data, truth, bit_width=4),
        run("BruteForce mixed 50%", data, truth, mixed_ratio=0.5),
        run("BruteForce 2-bit", data, truth, bit_width=2),
        run("IvfFlat 4-bit, nprobe 16", data, truth, tune=lambda ix: ix.set_nprobe(16),
            index_type="ivf_flat", ivf_nlist=256),
        run("Hnsw 4-bit, m 16, ef 64", data, truth, tune=lambda ix: ix.set_ef_search(64),
            index_type="hnsw", hnsw_m=16, hnsw_ef_construction=100),
    ]
    print()
    print(f"{'index':<26}{'recall@10':>10}{'QPS':>9}{'build s':>9}{'code B/vec':>12}{'vs float32':>12}"
          f"{'file MB':>9}{'load ms':>9}")
    for r in rows:
        print(f"{r['layout']:<26}{r['recall']:>10.3f}{r['qps']:>9.0f}{r['build']:>9.1f}"
              f"{r['bytes']:>12d}{r['ratio']:>11.1f}x{r['file_mb']:>9.2f}{r['load_ms']:>9.1f}")
    print(f"\nfloat32 storage: {dim * 4} bytes per vector; code B/vec counts the packed code and its"
          " stored norm\n(Hnsw adds its neighbour lists, IvfFlat its centroids). build s includes add."
          "\nfile MB / load ms: the index saved to a .tskr file and loaded back (answers checked equal).")


if __name__ == "__main__":
    main()
