"""The arithmetic behind every ratio the report prints."""

import math

import pytest

from compare import (PointRatio, frontier, qps_at_recall, recall_at_bytes, summarize_ratios)
from peers import pq_shape


class TestFrontier:
    def test_keeps_only_undominated_points_sorted_by_recall(self):
        pts = [(0.80, 900.0), (0.90, 500.0), (0.85, 400.0), (0.95, 100.0), (0.70, 1000.0)]
        # (0.85, 400) is beaten by (0.90, 500): more accurate and faster.
        assert frontier(pts) == [(0.70, 1000.0), (0.80, 900.0), (0.90, 500.0), (0.95, 100.0)]

    def test_equal_recall_keeps_the_faster_point_and_drops_unusable_ones(self):
        assert frontier([(0.9, 100.0), (0.9, 300.0), (float("nan"), 5e5), (0.99, 0.0)]) == [(0.9, 300.0)]


class TestQpsAtRecall:
    sweep = [(0.70, 10000.0), (0.80, 4000.0), (0.90, 1000.0)]

    def test_interpolates_log_qps_between_bracketing_points(self):
        at = qps_at_recall(self.sweep, 0.85)
        assert at.how == "interpolated"
        assert at.qps == pytest.approx(math.sqrt(4000.0 * 1000.0))

    def test_exact_point(self):
        assert qps_at_recall(self.sweep, 0.80).qps == pytest.approx(4000.0)

    def test_below_the_lowest_recall_the_fastest_point_stands_in(self):
        at = qps_at_recall(self.sweep, 0.50)
        assert (at.qps, at.how) == (10000.0, "fastest point")

    def test_just_above_the_highest_recall_counts_as_matched(self):
        at = qps_at_recall(self.sweep, 0.905)
        assert (at.qps, at.how) == (1000.0, "matched")

    def test_beyond_the_peer(self):
        at = qps_at_recall(self.sweep, 0.95)
        assert at.qps is None and at.how == "never reaches"

    def test_noisy_sweep_uses_the_frontier(self):
        # ef 64 measured slower than ef 128 (a neighbour stole the CPU): the
        # peer can reach 0.8 at 3000 QPS, so that is what we compare with.
        noisy = [(0.7, 5000.0), (0.8, 1000.0), (0.85, 3000.0)]
        at = qps_at_recall(noisy, 0.8)
        assert at.qps == pytest.approx(5000.0 * (3000.0 / 5000.0) ** (2 / 3)) and at.qps > 3000.0


class TestRecallAtBytes:
    ours = [(140.0, 0.80), (270.0, 0.95), (205.0, 0.90)]

    def test_linear_between_layouts(self):
        assert recall_at_bytes(self.ours, 172.5) == pytest.approx(0.85)

    def test_upper_envelope(self):
        # A layout that spends more bytes for less recall does not pull the
        # curve down: at 240 B the best we have is the 205 B layout's recall.
        pts = self.ours + [(240.0, 0.70)]
        assert recall_at_bytes(pts, 240.0) == pytest.approx(0.90)
        assert recall_at_bytes(pts, 255.0) == pytest.approx(0.925)

    def test_no_extrapolation(self):
        assert recall_at_bytes(self.ours, 100.0) is None
        assert recall_at_bytes(self.ours, 400.0) is None
        assert recall_at_bytes(self.ours, 272.0) == pytest.approx(0.95)  # within 2 %: the end point
        assert recall_at_bytes([], 200.0) is None


class TestSummarizeRatios:
    def test_met_only_when_every_comparable_point_meets_the_goal(self):
        pts = [PointRatio(10, 0.7, 300.0, 100.0, "interpolated"), PointRatio(64, 0.9, 90.0, 100.0, "interpolated")]
        text, met = summarize_ratios(pts, 1.0)
        assert met is False and "0.90x-3.00x over 2 points" in text

    def test_points_the_peer_never_reaches_count_for_us(self):
        pts = [PointRatio(10, 0.7, 300.0, 100.0, "interpolated"), PointRatio(64, 0.99, 50.0, None, "never reaches")]
        text, met = summarize_ratios(pts, 1.0)
        assert met is True and "never reaches" in text

    def test_below_the_peers_range_only_dominance_counts(self):
        # Less accurate and slower than the peer's fastest point: beaten.
        beaten = [PointRatio(10, 0.5, 50.0, 100.0, "fastest point"), PointRatio(64, 0.9, 300.0, 100.0, "matched")]
        assert summarize_ratios(beaten, 1.0)[1] is False
        # Less accurate but faster: a trade-off, no verdict either way.
        text, met = summarize_ratios([PointRatio(10, 0.5, 500.0, 100.0, "fastest point")], 1.0)
        assert met is None and "no verdict" in text
        text, met = summarize_ratios([PointRatio(10, 0.5, 500.0, 100.0, "fastest point"),
                                      PointRatio(64, 0.9, 150.0, 100.0, "interpolated")], 1.0)
        assert met is True and "1.50x" in text

    def test_nothing_to_compare(self):
        assert summarize_ratios([], 1.0) == ("no comparable points", None)


class TestPqShape:
    @pytest.mark.parametrize("dim,budget,expected", [
        (384, 128, (128, 8)),  # exact
        (384, 192, (192, 8)),
        (384, 160, (192, 6)),  # 1280 bits impossible within 8-bit codewords: 1152 is the closest below
        (384, 256, (384, 5)),
        (768, 384, (384, 8)),  # ties on bits go to the wider codeword, not (768, 4)
    ])
    def test_known_budgets(self, dim, budget, expected):
        assert pq_shape(dim, budget) == expected

    @pytest.mark.parametrize("dim", [100, 300, 384, 768])
    @pytest.mark.parametrize("budget", [16, 50, 128, 224, 448])
    def test_always_fits_and_divides(self, dim, budget):
        m, nbits = pq_shape(dim, budget)
        assert dim % m == 0 and 4 <= nbits <= 8 and m * nbits <= budget * 8

    def test_no_shape_below_one_codeword(self):
        assert pq_shape(384, 0) is None
