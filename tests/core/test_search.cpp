// The top-k heap and the allowlist.
#include <gtest/gtest.h>

#include <cstdint>
#include <limits>
#include <random>
#include <set>
#include <utility>
#include <vector>

#include "core/search/filter.h"
#include "core/search/topk.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;

std::vector<uint64_t> ids_of(const std::vector<SearchHit>& hits) {
  std::vector<uint64_t> out;
  for (const auto& h : hits) out.push_back(h.id);
  return out;
}

// The heap's sorted result after offering (id, score) pairs in order.
std::vector<SearchHit> top(uint64_t k, const std::vector<std::pair<uint64_t, float>>& offers) {
  TopK heap(k, offers.size());
  for (auto [id, score] : offers) heap.offer(id, score);
  return heap.into_sorted();
}

// Admission, eviction among equal scores, k 0 and huge k: the model test
// (tests/python/reference.py top_k). Here what it never offers: a NaN, which
// never enters a full heap, and the sort of results with NaNs.
TEST(TopK, NanNeverEntersAFullHeapAndSortsStablyByScoreAlone) {
  EXPECT_EQ(ids_of(top(1, {{1, 0.0f}, {2, kNaN}})), (std::vector<uint64_t>{1}));
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

TEST(Allowlist, BothFormsAnswerTheSame) {
  std::mt19937_64 rng(11);
  std::vector<uint64_t> ids = {5, 5, 0};  // duplicates are harmless
  for (int i = 0; i < 500; ++i) ids.push_back(rng() % 20000);
  Allowlist bitmap(ids);
  ASSERT_TRUE(bitmap.is_bitmap());
  std::vector<uint64_t> with_far = ids;
  with_far.push_back(uint64_t{1} << 40);  // a bitmap would take 2^34 words: the set form
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

}  // namespace
}  // namespace teskra
