"""Comparisons between measured curves: QPS at equal recall, recall at equal
bytes, and the targets teskra is held to.

A sweep gives (recall, QPS) points. "A peer's QPS at our recall" is read off
the peer's Pareto frontier (for each recall, the fastest point reaching at
least it), interpolating log QPS linearly in recall between the two frontier
points that bracket ours, or taken from a point within RECALL_TOL of ours.

Outside the peer's recall range there is no equal-recall figure, only
dominance. Above its highest recall the peer never gets there: that point
counts for us. Below its lowest recall the peer's fastest point is shown; if
it is also faster than ours we are beaten on both counts and the point counts
against us, otherwise it is a trade-off (we are faster, the peer more
accurate) and gives no verdict.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Sequence
from dataclasses import dataclass

# A peer point whose recall is within this of ours counts as equal recall.
RECALL_TOL = 0.01


def frontier(points: Iterable[tuple[float, float]]) -> list[tuple[float, float]]:
    """(recall, qps) points where no other point is both at least as accurate
    and faster, sorted by recall ascending (so QPS descends)."""
    pts = sorted(((r, q) for r, q in points if q > 0 and not math.isnan(r)), key=lambda p: (-p[0], -p[1]))
    out, best_qps = [], -1.0
    for r, q in pts:  # from the most accurate down: keep a point only if it is faster than all above it
        if q > best_qps:
            out.append((r, q))
            best_qps = q
    return out[::-1]


@dataclass
class AtRecall:
    qps: float | None  # None: the peer never reaches this recall
    how: str  # "interpolated", "matched", "fastest point", "never reaches"


def qps_at_recall(points: Iterable[tuple[float, float]], recall: float, tol: float = RECALL_TOL) -> AtRecall:
    f = frontier(points)
    if not f:
        return AtRecall(None, "no points")
    for r, q in f:
        if abs(r - recall) <= 1e-12:
            return AtRecall(q, "matched")
    if recall < f[0][0]:
        return AtRecall(f[0][1], "fastest point")
    if recall > f[-1][0]:
        if recall - f[-1][0] <= tol:
            return AtRecall(f[-1][1], "matched")
        return AtRecall(None, "never reaches")
    for (r0, q0), (r1, q1) in zip(f, f[1:]):
        if r0 <= recall <= r1:
            t = (recall - r0) / (r1 - r0)
            return AtRecall(math.exp(math.log(q0) + t * (math.log(q1) - math.log(q0))), "interpolated")
    raise AssertionError("unreachable: recall lies within the frontier")


def recall_at_bytes(points: Iterable[tuple[float, float]], nbytes: float, rel_tol: float = 0.02) -> float | None:
    """Recall of our (bytes, recall) curve at nbytes, interpolated linearly on
    its upper envelope (the best recall at no more than those bytes). None
    outside the curve's byte range, give or take rel_tol: we do not guess
    beyond the layouts we measured."""
    pts = sorted((b, r) for b, r in points if not math.isnan(r))
    if not pts:
        return None
    env, best = [], -1.0
    for b, r in pts:
        best = max(best, r)
        env.append((b, best))
    lo, hi = env[0][0], env[-1][0]
    if nbytes < lo * (1 - rel_tol) or nbytes > hi * (1 + rel_tol):
        return None
    if nbytes <= lo:
        return env[0][1]
    if nbytes >= hi:
        return env[-1][1]
    for (b0, r0), (b1, r1) in zip(env, env[1:]):
        if b0 <= nbytes <= b1:
            return r0 if b1 == b0 else r0 + (nbytes - b0) / (b1 - b0) * (r1 - r0)
    raise AssertionError("unreachable: nbytes lies within the curve")


def curve(record: dict) -> list[tuple[float, float]]:
    return [(p["recall"], p["qps"]) for p in record["points"]]


def best_recall(record: dict) -> float:
    return max(p["recall"] for p in record["points"])


def bytes_per_vec(record: dict) -> float:
    """The figure every bytes comparison uses: resident memory growth of the
    build (all libraries can be measured that way, which keeps them alike)."""
    return record["mem_per_vec"]


@dataclass
class PointRatio:
    knob: object
    recall: float
    qps: float
    peer_qps: float | None
    how: str

    @property
    def ratio(self) -> float | None:
        return None if self.peer_qps is None else self.qps / self.peer_qps

    @property
    def tradeoff(self) -> bool:
        """Below the peer's recall range and faster than it: no verdict."""
        return self.how == "fastest point" and self.ratio is not None and self.ratio >= 1.0


def qps_ratios(ours: dict, peer: dict) -> list[PointRatio]:
    """Our QPS over the peer's at our recall, at each of our sweep points."""
    pc = curve(peer)
    out = []
    for p in ours["points"]:
        at = qps_at_recall(pc, p["recall"])
        out.append(PointRatio(p["knob"], p["recall"], p["qps"], at.qps, at.how))
    return out


def best_peer_at(recall: float, peers: Sequence[dict]) -> tuple[dict | None, AtRecall]:
    """The peer fastest at this recall, with how its figure was read."""
    best, best_at = None, AtRecall(None, "never reaches")
    for rec in peers:
        at = qps_at_recall(curve(rec), recall)
        if at.qps is not None and (best_at.qps is None or at.qps > best_at.qps):
            best, best_at = rec, at
    return best, best_at


@dataclass
class Target:
    data_set: str
    name: str
    goal: str
    measured: str
    met: bool | None  # None: could not be evaluated (say why in measured)


def summarize_ratios(ratios: Sequence[PointRatio], goal: float) -> tuple[str, bool | None]:
    """'min x - max y over n points' and whether every comparable point meets
    goal. Points the peer never reaches count as met; trade-off points (see
    the module note) are listed but give no verdict."""
    comparable = [r.ratio for r in ratios if r.ratio is not None and not r.tradeoff]
    beyond = sum(1 for r in ratios if r.how == "never reaches")
    tradeoffs = sum(1 for r in ratios if r.tradeoff)
    parts = []
    if comparable:
        lo, hi = min(comparable), max(comparable)
        parts.append(f"{lo:.2f}x-{hi:.2f}x over {len(comparable)} points" if len(comparable) > 1 else f"{lo:.2f}x")
    if beyond:
        parts.append(f"{beyond} point(s) at a recall the peer never reaches")
    if tradeoffs:
        parts.append(f"{tradeoffs} point(s) below the peer's recall range, faster than its fastest point "
                     "(no verdict)")
    if not comparable and not beyond:
        return "; ".join(parts) or "no comparable points", None
    return "; ".join(parts), all(c >= goal for c in comparable)
