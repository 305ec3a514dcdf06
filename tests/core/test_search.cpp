// The top-k heap, the allowlist and the exhaustive scan's ordering rules.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <vector>

#include "core/search/filter.h"
#include "core/search/topk.h"

namespace teskra {
namespace {

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

TEST(TopK, KeepsTheBestKSortedHighestFirst) {
  TopK heap(3, 10);
  const float scores[] = {0.5f, 2.0f, -1.0f, 3.0f, 1.0f, 2.5f};
  for (uint64_t i = 0; i < 6; ++i) heap.offer(i, scores[i]);
  auto hits = heap.into_sorted();
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{3, 5, 1}));
  EXPECT_EQ(hits[0].score, 3.0f);
}

TEST(TopK, EqualScoreToTheRootIsNotAdmittedEvenWithSmallerId) {
  TopK heap(2, 10);
  heap.offer(10, 1.0f);
  heap.offer(20, 1.0f);
  heap.offer(5, 1.0f);  // equal to the root: discarded
  auto hits = heap.into_sorted();
  EXPECT_EQ(id_set(hits), (std::set<uint64_t>{10, 20}));
}

TEST(TopK, RootIsLowestScoreThenLargestId) {
  // Among equal lowest scores the root is the largest id, so a better
  // candidate evicts the largest id first.
  TopK heap(3, 10);
  heap.offer(1, 1.0f);
  heap.offer(9, 1.0f);
  heap.offer(4, 1.0f);
  EXPECT_EQ(heap.worst_score(), 1.0f);
  heap.offer(7, 2.0f);
  auto ids = ids_of(heap.into_sorted());
  EXPECT_EQ(ids[0], 7u);
  EXPECT_EQ(std::set<uint64_t>(ids.begin(), ids.end()), (std::set<uint64_t>{1, 4, 7}));
}

TEST(TopK, NanIsNeverAdmittedOnceFull) {
  TopK heap(1, 10);
  heap.offer(1, 0.0f);
  heap.offer(2, std::numeric_limits<float>::quiet_NaN());
  auto hits = heap.into_sorted();
  ASSERT_EQ(hits.size(), 1u);
  EXPECT_EQ(hits[0].id, 1u);
}

TEST(TopK, HugeKReservesOnlyForTheCandidates) {
  // Must not try to reserve 2^64 entries.
  TopK heap(std::numeric_limits<uint64_t>::max(), 4);
  for (uint64_t i = 0; i < 4; ++i) heap.offer(i, static_cast<float>(i));
  EXPECT_EQ(ids_of(heap.into_sorted()), (std::vector<uint64_t>{3, 2, 1, 0}));
}

TEST(TopK, ZeroKKeepsNothing) {
  TopK heap(0, 4);
  heap.offer(1, 1.0f);
  EXPECT_TRUE(heap.into_sorted().empty());
}

TEST(SortResults, StableByScoreOnlyWithNanComparingEqual) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  std::vector<SearchHit> hits = {{1, 1.0f}, {2, 3.0f}, {3, 1.0f}, {4, 3.0f}, {5, 2.0f}};
  TopK::sort_results(hits);
  EXPECT_EQ(ids_of(hits), (std::vector<uint64_t>{2, 4, 5, 1, 3}));

  // With NaNs there is no total order; the sort must still terminate, stay
  // in bounds and keep every entry.
  std::mt19937 rng(7);
  std::vector<SearchHit> mixed;
  for (uint64_t i = 0; i < 200; ++i) mixed.push_back({i, (rng() % 5 == 0) ? nan : float(rng() % 7)});
  TopK::sort_results(mixed);
  EXPECT_EQ(id_set(mixed).size(), 200u);
}

TEST(Allowlist, ChoosesBitmapOrSetByTheSizeRule) {
  std::vector<uint64_t> small = {3, 70, 5000};
  Allowlist a(small);
  EXPECT_TRUE(a.is_bitmap());
  EXPECT_EQ(a.bitmap_words(), 79u);  // 5000 / 64 = 78 < 96

  std::vector<uint64_t> sparse = {1000000};  // 15625 words for one id
  EXPECT_FALSE(Allowlist(sparse).is_bitmap());
  std::vector<uint64_t> big = {uint64_t{1} << 26};
  EXPECT_FALSE(Allowlist(big).is_bitmap());

  // 31 words for one id is below 32: bitmap; 32 is not.
  std::vector<uint64_t> edge_in = {31 * 64 + 5};
  std::vector<uint64_t> edge_out = {32 * 64};
  EXPECT_TRUE(Allowlist(edge_in).is_bitmap());
  EXPECT_FALSE(Allowlist(edge_out).is_bitmap());
}

TEST(Allowlist, BothFormsAnswerTheSame) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> ids;
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
}

TEST(Allowlist, EmptyAllowsNothingAndDuplicatesAreHarmless) {
  Allowlist empty(std::span<const uint64_t>{});
  EXPECT_FALSE(empty.contains(0));
  std::vector<uint64_t> dup = {5, 5, 5, 0};
  Allowlist a(dup);
  EXPECT_TRUE(a.contains(5));
  EXPECT_TRUE(a.contains(0));
  EXPECT_FALSE(a.contains(1));
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
