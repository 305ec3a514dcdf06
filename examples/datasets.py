"""Data for the demo and the benchmarks: the real LSA vectors when present,
otherwise a generated clustered set of the same shape."""

from __future__ import annotations

import os
from dataclasses import dataclass
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
# The real LSA vectors: the copy beside the repository where there is one,
# else the set `make data` builds (tools/make_lsa.py).
REAL_PLACES = (REPO.parent / "shared" / "datasets" / "lsa384", REPO / "data" / "lsa384")
DEFAULT_REAL = next((p for p in REAL_PLACES if (p / "base.f16.npy").exists()), REAL_PLACES[-1])


@dataclass
class Dataset:
    name: str
    base: np.ndarray  # (n, dim) float32, C-contiguous
    queries: np.ndarray  # (q, dim) float32


def load_real(folder: Path, n_queries: int | None = None) -> Dataset:
    """The float16 files cast to float32 (the ground truth was computed on
    exactly those values)."""
    base = np.ascontiguousarray(np.load(folder / "base.f16.npy").astype(np.float32))
    queries = np.ascontiguousarray(np.load(folder / "queries.f16.npy").astype(np.float32))
    if n_queries is not None:
        queries = queries[:n_queries]
    return Dataset(f"{folder.name} ({len(base)}x{base.shape[1]}, real, from {folder})", base, queries)


def clustered(n: int, dim: int, n_queries: int, clusters: int = 100, seed: int = 0) -> Dataset:
    """Gaussian clusters with unequal spreads: nearest neighbours are
    meaningful, unlike in uniform noise."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32)
    spread = rng.uniform(0.3, 0.8, clusters).astype(np.float32)

    def draw(count: int) -> np.ndarray:
        which = rng.integers(0, clusters, count)
        noise = rng.standard_normal((count, dim)).astype(np.float32)
        return np.ascontiguousarray(centres[which] + spread[which, None] * noise)

    return Dataset(f"clustered ({n}x{dim}, generated)", draw(n), draw(n_queries))


def pick(data_dir: str | None, n_queries: int, fallback_n: int = 20000, dim: int = 384) -> Dataset:
    folder = Path(data_dir) if data_dir else DEFAULT_REAL
    if folder.is_dir() and (folder / "base.f16.npy").exists():
        return load_real(folder, n_queries)
    if data_dir:
        raise SystemExit(f"no base.f16.npy in {data_dir}")
    print(f"no LSA vectors in {' or '.join(str(p) for p in REAL_PLACES)} (make data builds them);"
          " running on a generated set instead")
    return clustered(fallback_n, dim, n_queries)


def exact_topk(base: np.ndarray, queries: np.ndarray, k: int, metric: str) -> np.ndarray:
    """Exact float search with NumPy: row indices of the k best per query."""
    b, q = base, queries
    if metric == "cosine":
        b = b / np.maximum(np.linalg.norm(b, axis=1, keepdims=True), 1e-30)
        q = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-30)
    out = np.empty((len(q), k), dtype=np.int64)
    for s in range(0, len(q), 256):
        sims = q[s:s + 256] @ b.T
        if metric == "l2":
            sims = sims - 0.5 * np.einsum("ij,ij->i", b, b)[None, :]
        part = np.argpartition(-sims, k, axis=1)[:, :k]
        order = np.take_along_axis(sims, part, axis=1).argsort(axis=1)[:, ::-1]
        out[s:s + 256] = np.take_along_axis(part, order, axis=1)
    return out


def recall_at(found: list[list[int]], truth: np.ndarray, k: int) -> float:
    hits = sum(len(set(f[:k]) & set(truth[i, :k].tolist())) for i, f in enumerate(found))
    return hits / (len(found) * k)


def single_thread_env() -> None:
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ.setdefault(var, "1")
