"""The benchmark's data sets and the exact answers they are scored against.

Three kinds of data:
- the real LSA vectors beside the repository (float16 on disk, read as float32,
  with exact top-100 answers per metric shipped alongside);
- a generated set of Gaussian clusters, the stand-in when the real vectors are
  absent and the high-dimensional case (768) in any run;
- word-vector-like data whose norms lie between 2 and 5, which the engine's
  fixed codebooks are not scaled for unless the caller normalizes or fits.
"""

from __future__ import annotations

import os
from dataclasses import dataclass, field
from pathlib import Path

import numpy as np

REPO = Path(__file__).resolve().parents[1]
# The real LSA vectors: the copy beside the repository where there is one,
# else the set `make data` builds (tools/make_lsa.py).
REAL_PLACES = (REPO.parent / "shared" / "datasets" / "lsa384", REPO / "data" / "lsa384")
DEFAULT_REAL = next((p for p in REAL_PLACES if (p / "base.f16.npy").exists()), REAL_PLACES[-1])
K = 10


def single_thread_env() -> None:
    """Pin every BLAS / OpenMP pool to one thread. Must run before NumPy or a
    peer library is imported: the pools read these once, at load."""
    for var in ("OMP_NUM_THREADS", "OPENBLAS_NUM_THREADS", "MKL_NUM_THREADS"):
        os.environ[var] = "1"


class Truth:
    """The exact answers to a data set's queries under one metric, and the
    recall of an index's answers against them.

    recall@k counts an answer as a hit when its exact score is at least that
    of the true k-th neighbour. With distinct scores this is the share of the
    true top k found; with exact ties (the real set holds many identical
    texts, so a query can have dozens of neighbours at similarity 1) any of
    the tied vectors is as right as another, whichever ids a ground-truth
    file happened to list."""

    def __init__(self, base: np.ndarray, queries: np.ndarray, metric: str, ids: np.ndarray, k: int = K):
        self.metric, self.k = metric, min(k, ids.shape[1])
        self.base = normalized(base) if metric == "cosine" else base
        self.queries = normalized(queries) if metric == "cosine" else queries
        self.ids = ids[:, :self.k]
        self.kth = np.array([self.scores(i, [int(self.ids[i, -1])])[0] for i in range(len(self.ids))])

    def scores(self, qi: int, ids) -> np.ndarray:
        rows = self.base[np.asarray(ids, dtype=np.int64)]
        s = rows @ self.queries[qi]
        if self.metric == "l2":
            s = s - 0.5 * np.einsum("ij,ij->i", rows, rows)
        return s

    def recall(self, found: list[list[int]]) -> float:
        if len(found) == 0:
            return float("nan")
        n, hits = len(self.base), 0
        for i, answer in enumerate(found):
            ids = list(dict.fromkeys(j for j in answer[:self.k] if 0 <= j < n))  # unique, in range
            if ids:
                # Slack for float rounding only: our float32 scores against the ground truth's.
                tol = 1e-5 * max(1.0, abs(float(self.kth[i])))
                hits += int(np.count_nonzero(self.scores(i, ids) >= self.kth[i] - tol))
        return hits / (len(found) * self.k)


@dataclass
class Dataset:
    key: str
    name: str
    base: np.ndarray  # (n, dim) float32, C-contiguous
    queries: np.ndarray  # (q, dim) float32, C-contiguous
    truth_ids: dict[str, np.ndarray] = field(default_factory=dict)  # metric -> (q, >=K) row indices
    note: str = ""

    @property
    def dim(self) -> int:
        return int(self.base.shape[1])

    def truth_for(self, metric: str) -> Truth:
        if metric not in self.truth_ids:
            self.truth_ids[metric] = exact_topk(self.base, self.queries, K, metric)
        return Truth(self.base, self.queries, metric, self.truth_ids[metric])


def normalized(x: np.ndarray) -> np.ndarray:
    """Rows scaled to unit length (zero rows stay zero): what inner-product
    peers need to answer cosine queries."""
    norms = np.linalg.norm(x, axis=1, keepdims=True)
    return np.ascontiguousarray(x / np.maximum(norms, 1e-30), dtype=np.float32)


def exact_topk(base: np.ndarray, queries: np.ndarray, k: int, metric: str) -> np.ndarray:
    """Row indices of the k most similar base rows per query, by exact float
    arithmetic: cosine similarity, inner product, or (for l2) the smallest
    Euclidean distance, ranked as q.x - |x|^2/2 which orders identically."""
    if metric not in ("cosine", "dot", "l2"):
        raise ValueError(f"unknown metric {metric!r}")
    b, q = base, queries
    if metric == "cosine":
        b, q = normalized(b), normalized(q)
    k = min(k, len(b))
    half_sq = 0.5 * np.einsum("ij,ij->i", b, b) if metric == "l2" else None
    out = np.empty((len(q), k), dtype=np.int64)
    for s in range(0, len(q), 256):
        sims = q[s:s + 256] @ b.T
        if half_sq is not None:
            sims -= half_sq[None, :]
        part = np.argpartition(-sims, k - 1, axis=1)[:, :k]
        order = np.take_along_axis(sims, part, axis=1).argsort(axis=1, kind="stable")[:, ::-1]
        out[s:s + 256] = np.take_along_axis(part, order, axis=1)
    return out


def lsa384(folder: Path = DEFAULT_REAL, n_base: int | None = None, n_queries: int | None = None) -> Dataset:
    """The real vectors. With the full base the shipped ground truth is used;
    with a subset (quick runs) it is recomputed, since the shipped answers
    point at rows the subset lacks."""
    base = np.load(folder / "base.f16.npy").astype(np.float32)
    queries = np.load(folder / "queries.f16.npy").astype(np.float32)
    full = n_base is None or n_base >= len(base)
    if not full:
        base = base[:n_base]
    if n_queries is not None:
        queries = queries[:n_queries]
    data = Dataset("lsa384", f"lsa384 ({len(base)}x{base.shape[1]}, real text, LSA)",
                   np.ascontiguousarray(base), np.ascontiguousarray(queries))
    if full:
        for metric in ("cosine", "dot", "l2"):
            path = folder / f"gt_{metric}.i32.npy"
            if path.exists():
                data.truth_ids[metric] = np.load(path)[:len(queries)].astype(np.int64)
    else:
        data.note = f"first {len(base)} base rows; ground truth recomputed for the subset"
    return data


def real_available(folder: Path = DEFAULT_REAL) -> bool:
    return (folder / "base.f16.npy").exists() and (folder / "queries.f16.npy").exists()


def clustered(n: int, dim: int, n_queries: int, clusters: int = 100, seed: int = 3) -> Dataset:
    """Gaussian clusters with unequal spreads around standard-normal centres.
    Clusters sit far apart relative to their spread, which makes this set a
    hard case for graph indexes (see the report's Hnsw section)."""
    rng = np.random.default_rng(seed)
    centres = rng.standard_normal((clusters, dim)).astype(np.float32)
    spread = rng.uniform(0.3, 0.8, clusters).astype(np.float32)

    def draw(count: int) -> np.ndarray:
        out = np.empty((count, dim), dtype=np.float32)
        for s in range(0, count, 16384):  # bounded temporaries at 100k x 768
            c = min(16384, count - s)
            which = rng.integers(0, clusters, c)
            out[s:s + c] = centres[which] + spread[which, None] * rng.standard_normal((c, dim), dtype=np.float32)
        return out

    return Dataset(f"clustered{dim}", f"clustered ({n}x{dim}, generated, {clusters} clusters)",
                   draw(n), draw(n_queries))


def word_vectors(n: int, dim: int, n_queries: int, seed: int = 5) -> Dataset:
    """Raw-magnitude data in the manner of word embeddings: anisotropic
    directions (variance falling across dimensions) around 200 topics, each
    vector scaled to a norm drawn uniformly from [2, 5]."""
    rng = np.random.default_rng(seed)
    falloff = (1.0 / np.sqrt(1.0 + np.arange(dim) / 10.0)).astype(np.float32)
    topics = rng.standard_normal((200, dim)).astype(np.float32) * falloff

    def draw(count: int) -> np.ndarray:
        w = topics[rng.integers(0, 200, count)] + 0.8 * rng.standard_normal((count, dim), dtype=np.float32) * falloff
        w /= np.linalg.norm(w, axis=1, keepdims=True)
        return np.ascontiguousarray(w * rng.uniform(2.0, 5.0, (count, 1)).astype(np.float32))

    return Dataset(f"wordvec{dim}", f"word-vector-like ({n}x{dim}, generated, norms 2-5)", draw(n), draw(n_queries))
