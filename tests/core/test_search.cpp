// The top-k heap, the allowlist and the post-filter.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/search/filter.h"
#include "core/search/topk.h"

namespace teskra {
namespace {

constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();

std::vector<uint64_t> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<uint64_t> out;
  for (const auto& h : hits) out.push_back(h.id);
  return out;
}

std::set<uint64_t> id_set(const std::vector<SearchHit>& hits) {
  std::set<uint64_t> out;
  for (const auto& h : hits) out.insert(h.id);
  return out;
}

// The heap's sorted result after offering (id, score) pairs in order.
std::vector<SearchHit> top(uint64_t k, const std::vector<std::pair<uint64_t, float>>& offers) {
  TopK heap(k, offers.size());
  for (auto [id, score] : offers) heap.offer(id, score);
  return heap.into_sorted();
}

TEST(TopK, AdmissionAndEviction) {
  const auto best = top(3, {{0, 0.5f}, {1, 2.0f}, {2, -1.0f}, {3, 3.0f}, {4, 1.0f}, {5, 2.5f}});
  EXPECT_EQ(ids_of(best), (std::vector<uint64_t>{3, 5, 1}));
  EXPECT_EQ(best[0].score, 3.0f);
  // A score equal to the root's is not admitted, even with a smaller id.
  EXPECT_EQ(id_set(top(2, {{10, 1.0f}, {20, 1.0f}, {5, 1.0f}})), (std::set<uint64_t>{10, 20}));
  // Among equal lowest scores the root is the largest id, so it is evicted first.
  const auto evicted = top(3, {{1, 1.0f}, {9, 1.0f}, {4, 1.0f}, {7, 2.0f}});
  EXPECT_EQ(evicted[0].id, 7u);
  EXPECT_EQ(id_set(evicted), (std::set<uint64_t>{1, 4, 7}));
  // NaN never enters a full heap; k 0 keeps nothing.
  EXPECT_EQ(ids_of(top(1, {{1, 0.0f}, {2, kNaN}})), (std::vector<uint64_t>{1}));
  EXPECT_TRUE(top(0, {{1, 1.0f}}).empty());
  // k of 2^64 - 1 reserves for the four candidates, not for k.
  EXPECT_EQ(ids_of(top(std::numeric_limits<uint64_t>::max(), {{0, 0.0f}, {1, 1.0f}, {2, 2.0f}, {3, 3.0f}})),
            (std::vector<uint64_t>{3, 2, 1, 0}));
}

TEST(SortResults, StableByScoreOnlyWithNanComparingEqual) {
  std::vector<SearchHit> hits = {{1, 1.0f}, {2, 3.0f}, {3, 1.0f}, {4, 3.0f}, {5, 2.0f}};
  TopK::sort_results(hits);
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{2, 4, 5, 1, 3}));
  // With NaNs there is no total order; the sort must still terminate, stay
  // in bounds and keep every entry.
  std::mt19937 rng(7);
  std::vector<SearchHit> mixed;
  for (uint64_t i = 0; i < 200; ++i) mixed.push_back({i, (rng() % 5 == 0) ? kNaN : float(rng() % 7)});
  TopK::sort_results(mixed);
  EXPECT_EQ(id_set(mixed).size(), 200u);
}

TEST(Allowlist, ChoosesBitmapOrSetByTheSizeRule) {
  const std::pair<std::vector<uint64_t>, bool> cases[] = {
      {{3, 70, 5000}, true},  // 79 words < 96
      {{1000000}, false},     // 15625 words for one id
      {{uint64_t{1} << 26}, false},
      {{31 * 64 + 5}, true},  // 31 words for one id is below 32
      {{32 * 64}, false}};
  for (const auto& [ids, bitmap] : cases) EXPECT_EQ(Allowlist(ids).is_bitmap(), bitmap) << ids[0];
  EXPECT_EQ(Allowlist(cases[0].first).bitmap_words(), 79u);
}

TEST(Allowlist, BothFormsAnswerTheSame) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> ids = {5, 5, 0};  // duplicates are harmless
  for (int i = 0; i < 500; ++i) ids.push_back(rng() % 20000);
  Allowlist bitmap(ids);
  ASSERT_TRUE(bitmap.is_bitmap());
  std::vector<uint64_t> with_far = ids;
  with_far.push_back(uint64_t{1} << 40);  // forces the set form
  Allowlist set(with_far);
  ASSERT_FALSE(set.is_bitmap());
  std::set<uint64_t> truth(ids.begin(), ids.end());
  for (uint64_t x = 0; x < 20100; ++x) {
    EXPECT_EQ(bitmap.contains(x), truth.count(x) == 1) << x;
    EXPECT_EQ(set.contains(x), truth.count(x) == 1) << x;
  }
  EXPECT_FALSE(bitmap.contains(std::numeric_limits<uint64_t>::max()));
  EXPECT_TRUE(set.contains(uint64_t{1} << 40));
  EXPECT_FALSE(Allowlist(std::span<const uint64_t>{}).contains(0));
}

TEST(PostFilter, KeepsListedHitsInOrder) {
  std::vector<SearchHit> hits = {{4, 9.0f}, {1, 8.0f}, {7, 7.0f}, {1, 6.0f}};
  std::vector<uint64_t> allowed = {1, 3};
  filter_hits_by_ids(hits, allowed);
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{1, 1}));
  EXPECT_EQ(hits[0].score, 8.0f);
  filter_hits_by_ids(hits, std::span<const uint64_t>{});
  EXPECT_TRUE(hits.empty());
}

}  // namespace
}  // namespace teskra
