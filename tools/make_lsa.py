"""Builds the LSA data set the demo and the benchmarks run on (make data).

    python tools/make_lsa.py [OUT_DIR]      (default: data/lsa384)

The vectors are the English package descriptions of Debian 12 (main), as the
archive publishes them in i18n/Translation-en: TF-IDF weighted (words of two
or more letters or digits, common English words left out; descriptions
left without a word are dropped), then reduced to 384 dimensions by a truncated SVD
(latent semantic analysis). 50,000 descriptions form the base, 1,000 others
the queries, both drawn with a fixed seed. The exact top 100 of every query
is computed for cosine, inner product and Euclidean distance on the float16
values as stored, so recall measured on the files is exact.

Written: base.f16.npy, queries.f16.npy, gt_cosine.i32.npy, gt_dot.i32.npy,
gt_l2.i32.npy and info.json (source, its SHA-256, explained variance). The
archive updates Translation-en with point releases, so a later download can
differ a little from an earlier one: info.json records which file was used.
"""

from __future__ import annotations

import hashlib
import json
import lzma
import sys
import time
import urllib.request
from pathlib import Path

import numpy as np

URL = "http://deb.debian.org/debian/dists/bookworm/main/i18n/Translation-en.xz"
DIM, N_BASE, N_QUERIES, K_GT, SEED = 384, 50_000, 1_000, 100, 0


def descriptions(raw: bytes) -> list[str]:
    """The text of each Description-en field: the short line and the long
    description, paragraph markers (" .") dropped."""
    texts, current = [], None
    for line in lzma.decompress(raw).decode("utf-8", "replace").splitlines():
        if line.startswith("Description-en:"):
            current = [line[len("Description-en:"):].strip()]
            texts.append(current)
        elif line.startswith(" ") and current is not None:
            if line.strip() != ".":
                current.append(line.strip())
        else:
            current = None
    return [" ".join(t) for t in texts]


def exact_top(base: np.ndarray, queries: np.ndarray, metric: str) -> np.ndarray:
    """Row indices of the K_GT best base vectors per query, best first."""
    b, q = base.astype(np.float64), queries.astype(np.float64)
    if metric == "cosine":
        b = b / np.maximum(np.linalg.norm(b, axis=1, keepdims=True), 1e-30)
        q = q / np.maximum(np.linalg.norm(q, axis=1, keepdims=True), 1e-30)
    scores = q @ b.T
    if metric == "l2":
        scores = -(np.sum(b * b, axis=1)[None, :] - 2 * scores)
    top = np.argpartition(-scores, K_GT, axis=1)[:, :K_GT]
    order = np.argsort(-np.take_along_axis(scores, top, axis=1), axis=1, kind="stable")
    return np.take_along_axis(top, order, axis=1).astype(np.int32)


def main() -> None:
    from sklearn.decomposition import TruncatedSVD
    from sklearn.feature_extraction.text import TfidfVectorizer

    out = Path(sys.argv[1] if len(sys.argv) > 1 else Path(__file__).resolve().parents[1] / "data" / "lsa384")
    out.mkdir(parents=True, exist_ok=True)
    start = time.perf_counter()
    print(f"downloading {URL}")
    with urllib.request.urlopen(URL, timeout=120) as r:
        raw = r.read()
    texts = descriptions(raw)
    print(f"{len(texts)} descriptions; TF-IDF and a {DIM}-dimensional truncated SVD")
    tfidf = TfidfVectorizer(stop_words="english", dtype=np.float32).fit_transform(texts)
    svd = TruncatedSVD(DIM, algorithm="randomized", n_iter=7, random_state=SEED)
    vectors = svd.fit_transform(tfidf).astype(np.float16)

    # Descriptions without a single kept word have no direction: left out.
    usable = np.flatnonzero(np.diff(tfidf.indptr) > 0)
    rng = np.random.default_rng(SEED)
    order = usable[rng.permutation(len(usable))]
    base, queries = vectors[order[:N_BASE]], vectors[order[N_BASE:N_BASE + N_QUERIES]]
    np.save(out / "base.f16.npy", base)
    np.save(out / "queries.f16.npy", queries)
    for metric, name in (("cosine", "cosine"), ("dot", "dot"), ("l2", "l2")):
        np.save(out / f"gt_{name}.i32.npy", exact_top(base.astype(np.float32), queries.astype(np.float32), metric))
    info = {
        "name": "debian-descriptions-lsa384", "dim": DIM, "n_base": N_BASE, "n_queries": N_QUERIES,
        "k_gt": K_GT, "source": URL, "source_sha256": hashlib.sha256(raw).hexdigest(),
        "descriptions": len(texts), "terms": int(tfidf.shape[1]),
        "explained_variance": float(svd.explained_variance_ratio_.sum()),
        "dtype": "float16 on disk; cast to float32 before use",
    }
    (out / "info.json").write_text(json.dumps(info, indent=2) + "\n")
    print(f"wrote {out} in {time.perf_counter() - start:.0f} s: {json.dumps(info)}")


if __name__ == "__main__":
    main()
