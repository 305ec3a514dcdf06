"""Score queries outside the engine with NumPy alone, and get search()'s ranking.

A BruteForce index hands out everything a scorer on other hardware (a GPU,
say) needs: the packed codes, the stored norms, the ids, the two codebooks and
the query transform. This example unpacks the codes, dequantizes them with the
codebooks, takes the raw inner product with the transformed query, applies the
metric's norm adjustment, and checks the result against search() for the
cosine, dot and l2 metrics in pure 4-bit, mixed and pure 2-bit layouts.

    python examples/external_scoring.py
"""

from __future__ import annotations

import numpy as np

import teskra


def dequantize(index: teskra.Teskra) -> np.ndarray:
    """The stored vectors as the engine scores them: float32 [n, padded_dim]."""
    codes = index.packed_data()
    n4, n2, pb4 = index.n4_dims, index.padded_dim - index.n4_dims, index.pb4_per_vec
    # 4-bit block: coordinate 2i in the low nibble of byte i, 2i + 1 in the high one.
    block4 = codes[:, :pb4]
    nibbles = np.stack([block4 & 0x0F, block4 >> 4], axis=2).reshape(len(codes), -1)[:, :n4]
    # 2-bit block: four coordinates per byte, from the lowest bits up.
    block2 = codes[:, pb4:]
    pairs = np.stack([(block2 >> s) & 0x03 for s in (0, 2, 4, 6)], axis=2).reshape(len(codes), -1)[:, :n2]
    c4, c2 = teskra.Teskra.centroids_4bit(), teskra.Teskra.centroids_2bit()
    return np.concatenate([c4[nibbles], c2[pairs]], axis=1)


def adjust(metric: str, raw: np.ndarray, norms: np.ndarray) -> np.ndarray:
    """The similarity search() ranks by (higher is better) from raw inner products."""
    if len(norms) == 0:  # an index read from a file without norms keeps raw scores
        return raw
    if metric == "cosine":
        return raw / np.where(norms > 1e-9, norms, np.float32(1.0))
    if metric == "l2":
        return raw + norms * (norms * np.float32(-0.5))  # raw - |x|^2 / 2
    return raw  # dot


class ExternalScorer:
    """A snapshot of a BruteForce index, searched with NumPy."""

    def __init__(self, index: teskra.Teskra):
        self.index = index
        self.vectors = dequantize(index)
        self.norms = index.vector_norms()
        self.ids = index.vector_ids()

    def scores(self, query) -> np.ndarray:
        """The similarity of every stored vector to query, in storage order."""
        q = self.index.transform_query_np(query)
        return adjust(self.index.metric, self.vectors @ q, self.norms)

    def search(self, query, k: int) -> tuple[np.ndarray, np.ndarray]:
        """The ids and scores of the k best, highest first."""
        s = self.scores(query)
        best = np.argsort(-s, kind="stable")[:k]
        return self.ids[best], s[best]


def main() -> None:
    rng = np.random.default_rng(1)
    dim, n, k = 100, 2000, 10
    centres = rng.standard_normal((20, dim)).astype(np.float32)
    base = (centres[rng.integers(0, 20, n)] + 0.5 * rng.standard_normal((n, dim))).astype(np.float32)
    queries = (centres[rng.integers(0, 20, 20)] + 0.5 * rng.standard_normal((20, dim))).astype(np.float32)
    ids = rng.permutation(10 * n)[:n].astype(np.uint64)  # ids need not be positions

    print(f"{'metric':8}{'layout':10}{'same top-10':>14}{'max relative score diff':>26}")
    for metric in ("cosine", "dot", "l2"):
        for layout, kwargs in (("4-bit", {}), ("mixed", {"n4_dims": 64}), ("2-bit", {"bit_width": 2})):
            index = teskra.Teskra(dim, metric=metric, **kwargs)
            index.add(ids, base)
            scorer = ExternalScorer(index)
            same, worst = 0, 0.0
            for q in queries:
                hits = index.search(q, k)
                ext_ids, ext_scores = scorer.search(q, k)
                same += [h["id"] for h in hits] == ext_ids.tolist()
                engine_scores = np.array([h["score"] for h in hits])
                worst = max(worst, float(np.max(np.abs(ext_scores - engine_scores) / np.abs(engine_scores))))
            # Scores differ only by float rounding (NumPy sums in another order).
            print(f"{metric:8}{layout:10}{f'{same}/{len(queries)}':>14}{worst:>26.1e}")


if __name__ == "__main__":
    main()
