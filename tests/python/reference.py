"""A pure-NumPy model of the BruteForce arithmetic: quantization, packing, stored norms, scoring, top-k.

Written from the layout and summation orders alone, in float32 with one
rounding per operation, so that it reproduces the engine bit for bit. The
rotated and scaled vector (transform_query_np) is taken from the engine: the
rotation has its own bit-exact tests, and everything after it is modelled
here. test_model.py drives it against the engine; test_reference_fma checks
the one operation NumPy lacks (a fused multiply-add) against the C library.
"""

import heapq
from dataclasses import dataclass

import numpy as np

F32 = np.float32


def _bits(words):
    return np.array(words, np.uint32).view(F32)


# The Lloyd-Max codebooks of the standard normal, by their exact bits.
CENTROIDS_4BIT = _bits([0xC02EE2BF, 0xC0046AC7, 0xBFCF1C25, 0xBFA0CC2F, 0xBF713D3A, 0xBF28215D, 0xBEC6AE44,
                        0xBE0379FB, 0x3E0379FB, 0x3EC6AE44, 0x3F28215D, 0x3F713D3A, 0x3FA0CC2F, 0x3FCF1C25,
                        0x40046AC7, 0x402EE2BF])
CENTROIDS_2BIT = _bits([0xBFC1555D, 0xBEE7D2C8, 0x3EE7D2C8, 0x3FC1555D])
# Decision thresholds: fixed constants, not recomputed midpoints (+-0.258221686
# is one unit in the last place above the float32 midpoint of its neighbours).
THRESHOLDS_4BIT = np.array(["-2.40080333", "-1.84353185", "-1.4371388", "-1.09928584", "-0.799549818",
                            "-0.522403717", "-0.258221686", "0", "0.258221686", "0.522403717", "0.799549818",
                            "1.09928584", "1.4371388", "1.84353185", "2.40080333"], F32)
THRESHOLDS_2BIT = np.array(["-0.981598794", "0", "0.981598794"], F32)
assert THRESHOLDS_4BIT[8].view(np.uint32) == 0x3E8435A2 and THRESHOLDS_2BIT[2].view(np.uint32) == 0x3F7B4A0F


def padded_dim(dim):
    return 1 if dim <= 1 else 1 << (dim - 1).bit_length()


@dataclass(frozen=True)
class Layout:
    p: int   # padded dimension
    n4: int  # leading coordinates coded at 4 bits

    n2 = property(lambda self: self.p - self.n4)  # coordinates coded at 2 bits
    pb4 = property(lambda self: (self.n4 + 1) // 2)  # bytes of the 4-bit block
    width = property(lambda self: self.pb4 + (self.n2 + 3) // 4)  # bytes per vector


def fma32(a, b, c):
    """a * b + c rounded once to float32, elementwise.

    The product of two float32 values is exact in float64, and TwoSum gives
    the float64 sum s with its exact error e. Rounding s to float32 is then
    correct except when s lies exactly halfway between two float32 values and
    e is not zero: the true value is off the midpoint, on e's side, so s is
    moved one float64 step that way before rounding.
    """
    a64, b64, c64 = (np.asarray(x, F32).astype(np.float64) for x in (a, b, c))
    p = a64 * b64
    s = p + c64
    bb = s - p
    e = (p - (s - bb)) + (c64 - bb)
    r = s.astype(F32)
    r64 = r.astype(np.float64)
    other = np.nextafter(r, np.where(s > r64, F32(np.inf), F32(-np.inf)).astype(F32)).astype(np.float64)
    halfway = (s != r64) & ((r64 + other) * 0.5 == s) & (e != 0)
    if np.any(halfway):
        nudged = np.nextafter(s, np.where(e > 0, np.inf, -np.inf)).astype(F32)
        r = np.where(halfway, nudged, r)
    return r


def encode(layout, t):
    """Packed codes (N, width) uint8 of transformed vectors t (N, p) float32."""
    t = np.asarray(t, F32).reshape(-1, layout.p)
    n, out = len(t), []
    if layout.n4:
        codes = np.searchsorted(THRESHOLDS_4BIT, t[:, :layout.n4], side="right").astype(np.uint8)
        if layout.n4 % 2:
            codes = np.concatenate([codes, np.zeros((n, 1), np.uint8)], axis=1)
        out.append(codes[:, 0::2] | (codes[:, 1::2] << 4))
    if layout.n2:
        codes = np.searchsorted(THRESHOLDS_2BIT, t[:, layout.n4:], side="right").astype(np.uint8)
        pad = -layout.n2 % 4
        codes = np.concatenate([codes, np.zeros((n, pad), np.uint8)], axis=1)
        out.append(codes[:, 0::4] | (codes[:, 1::4] << 2) | (codes[:, 2::4] << 4) | (codes[:, 3::4] << 6))
    return np.concatenate(out, axis=1).astype(np.uint8) if out else np.zeros((n, 0), np.uint8)


def _slots(layout, codes):
    """Centroid values of every slot, in layout order, for the 4-bit block and the 2-bit block."""
    codes = np.asarray(codes, np.uint8).reshape(-1, layout.width)
    b4, b2 = codes[:, :layout.pb4], codes[:, layout.pb4:]
    four = CENTROIDS_4BIT[np.stack([b4 & 15, b4 >> 4], axis=2).reshape(len(codes), 2 * layout.pb4)]
    two = CENTROIDS_2BIT[np.stack([(b2 >> s) & 3 for s in (0, 2, 4, 6)], axis=2).reshape(len(codes), 4 * b2.shape[1])]
    return four, two


def norms(layout, codes):
    """Stored norms: sqrt of the running float32 sum of squared centroids over every slot, padding included."""
    four, two = _slots(layout, codes)
    s = np.zeros(len(four), F32)
    for col in np.concatenate([four, two], axis=1).T:
        s = s + col * col
    return np.sqrt(s)


def _score_4bit(q, vals, n_bytes, limit):
    s = np.zeros(len(vals), F32)
    chunks = n_bytes // 8
    if chunks:
        acc = np.zeros((len(vals), 4, 4), F32)  # four accumulators of four lanes
        for j in range(chunks):
            acc = fma32(vals[:, 16 * j:16 * j + 16].reshape(-1, 4, 4), q[16 * j:16 * j + 16].reshape(4, 4), acc)
        v = (acc[:, 3] + acc[:, 2]) + (acc[:, 1] + acc[:, 0])
        s = (v[:, 0] + v[:, 1]) + (v[:, 2] + v[:, 3])
    for i in range(8 * chunks, n_bytes):  # the tail: rounded products, in order
        s = s + vals[:, 2 * i] * q[2 * i]
        if 2 * i + 1 < limit:
            s = s + vals[:, 2 * i + 1] * q[2 * i + 1]
    return s


def _score_2bit(q, vals):
    s = np.zeros(len(vals), F32)
    for i in range(len(q)):  # slots without a query value contribute nothing
        s = s + q[i] * vals[:, i]
    return s


def raw_scores(layout, q, codes):
    """Raw inner products of one transformed query with each code."""
    q = np.asarray(q, F32)
    four, two = _slots(layout, codes)
    if layout.n4 == 0:
        return _score_2bit(q, two)
    if layout.n2 == 0:
        return _score_4bit(q, four, layout.width, layout.p)
    return _score_4bit(q[:layout.n4], four, layout.pb4, layout.n4) + _score_2bit(q[layout.n4:], two)


def similarity(metric, raw, n):
    if metric == "cosine":
        return np.where(n > F32(1e-9), raw / n, raw).astype(F32)
    if metric == "l2":
        return raw + n * (n * F32(-0.5))
    return raw


def top_k(ids, scores, k):
    """The candidate heap, offered in storage order, then sorted by score, highest first.

    When full, a candidate enters only with a score strictly above the worst
    kept one, which it replaces; the worst is the lowest score and, among
    equal scores, the largest id. Which of several equal-score entries come
    first in the sorted result is not defined: callers compare accordingly.
    """
    heap = []
    for i, s in zip(ids, scores):
        entry = (float(s), -int(i))
        if len(heap) < k:
            heapq.heappush(heap, entry)
        elif entry[0] > heap[0][0]:
            heapq.heapreplace(heap, entry)
    return [(-neg_id, s) for s, neg_id in sorted(heap, key=lambda e: -e[0])]


def search(layout, metric, q, codes, ids, stored_norms, k, allowlist=None):
    """BruteForce search of one transformed query; [(id, score)] highest first."""
    ids = np.asarray(ids, np.uint64)
    keep = np.ones(len(ids), bool) if allowlist is None else np.isin(ids, np.asarray(allowlist, np.uint64))
    if k == 0 or not keep.any():
        return []
    scores = similarity(metric, raw_scores(layout, q, np.asarray(codes)[keep]), np.asarray(stored_norms, F32)[keep])
    return top_k(ids[keep].tolist(), scores.tolist(), k)
