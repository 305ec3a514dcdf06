// The engine on several threads: the pool's own contract, the same bytes for
// any thread count (codes, lists, graph, k-means), and calls stopped by their
// interrupt leaving the index as their other failures do. Batch search is
// compared with single searches row by row through Python
// (tests/python/test_threads.py), where every layout and input form meets it.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "core/engine.h"
#include "core/exec/cores.h"
#include "core/exec/execution.h"
#include "core/search/kmeans.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;

TEST(ThreadPool, EveryTaskOnceOnDistinctSlotsAndErrorsComeBack) {
  for (size_t threads : {1u, 2u, 5u}) {
    std::vector<std::atomic<int>> runs(1000);
    std::vector<std::atomic<int>> busy(threads);
    std::atomic<bool> shared_slot{false};
    parallel_for({.threads = threads}, runs.size(), [&](size_t task, size_t slot) {
      ASSERT_LT(slot, threads);
      if (busy[slot].fetch_add(1) != 0) shared_slot = true;
      runs[task].fetch_add(1);
      busy[slot].fetch_sub(1);
    });
    for (auto& r : runs) ASSERT_EQ(r.load(), 1) << threads;
    EXPECT_FALSE(shared_slot) << threads;
  }
  // A failing task stops the rest from starting; its exception reaches the
  // caller. Later tasks wait (a second at most) for it to throw: a thread
  // descheduled between taking task 10 and running it must not let the
  // others run every task first.
  std::atomic<int> started{0};
  std::atomic<bool> thrown{false};
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(1);
  EXPECT_EQ(error_of([&] {
              parallel_for({.threads = 3}, 100000, [&](size_t task, size_t) {
                started.fetch_add(1);
                if (task == 10) {
                  thrown = true;
                  throw std::runtime_error("task 10");
                }
                while (task > 10 && !thrown && std::chrono::steady_clock::now() < deadline)
                  std::this_thread::yield();
              });
            }),
            "task 10");
  EXPECT_LT(started.load(), 100000);
}

TEST(ThreadPool, CallersFromSeveralThreadsShareItCountsFollowTheDefault) {
  std::vector<long> sums(4, 0);
  std::vector<std::thread> callers;
  for (size_t c = 0; c < sums.size(); ++c) {
    callers.emplace_back([&, c] {
      std::vector<long> parts(500, 0);
      for (int round = 0; round < 20; ++round)
        parallel_for({.threads = 3}, parts.size(), [&](size_t task, size_t) { parts[task] += long(task); });
      for (long p : parts) sums[c] += p;
    });
  }
  for (auto& t : callers) t.join();
  for (long s : sums) EXPECT_EQ(s, 20L * 499 * 500 / 2);
  EXPECT_LE(ThreadPool::shared().workers(), kMaxThreads - 1);
  // Thread counts: as asked up to the most, else the default.
  EXPECT_GE(usable_cores(), 1u);
  EXPECT_EQ(resolve_threads(3), 3u);
  EXPECT_EQ(resolve_threads(100000), kMaxThreads);
  set_default_threads(2);
  EXPECT_EQ(resolve_threads(0), 2u);
  set_default_threads(0);
  EXPECT_EQ(resolve_threads(0), usable_cores());
}

EngineConfig small_config(IndexType type, Metric metric, int64_t n4 = -1) {
  EngineConfig c = config(48, metric, type, 4, n4);
  c.ivf_nlist = 16, c.ivf_nprobe = 4;
  c.hnsw_m = 8, c.hnsw_ef_construction = 32;
  return c;
}

// Two adds and, for IvfFlat, a build after each (the second re-clusters
// decoded members over many row blocks: the centroids and memberships of
// k-means are in the file): every byte the same for 1, 2 and 7 threads, and
// so is every row of a batch search, however many threads search at once.
TEST(Parallel, ThreadCountNeverShowsInTheIndex) {
  const Vectors first = random_vectors(600, 48, 3);
  const std::vector<float> flat = flatten(random_vectors(300, 48, 4));
  for (IndexType type : kTypes) {
    for (Metric metric : {Metric::Cosine, Metric::L2}) {
      std::string want;
      BatchRows want_rows;
      for (size_t threads : {1u, 2u, 7u}) {
        const Execution exec{.threads = threads};
        Teskra e(small_config(type, metric, 16));
        e.add(iota_ids(first.size()), first, exec);
        if (type != IndexType::Hnsw) e.build(exec);
        e.add_flat(iota_ids(300, 5000), flat, exec);
        e.build(exec);
        const auto rows = batch_rows(e, std::span<const float>(flat).first(40 * 48), 6, exec);
        if (threads == 1) want = encode(e), want_rows = rows;
        EXPECT_TRUE(encode(e) == want && rows == want_rows)
            << index_type_name(type) << " " << metric_name(metric) << " " << threads;
      }
    }
  }
}

TEST(Parallel, InterruptedCallsLeaveTheIndexAsAFailureDoes) {
  const Vectors data = random_vectors(5000, 48, 5);
  const std::vector<float> flat = flatten(data);
  for (size_t threads : {1u, 3u}) {
    // add: a prefix of the batch is in, in order, and nothing else.
    Teskra e(small_config(IndexType::BruteForce, Metric::Cosine));
    StopAfter stop(80);
    EXPECT_THROW(e.add_flat(iota_ids(5000), flat, {.threads = threads, .interrupt = &stop}), Interrupted);
    const uint64_t kept = e.n_vectors();
    EXPECT_GT(kept, 0u);
    EXPECT_LT(kept, 5000u);
    EXPECT_EQ(vec(e.ids()), iota_ids(kept));
    Teskra same(small_config(IndexType::BruteForce, Metric::Cosine));
    same.add_flat(iota_ids(kept), std::span<const float>(flat).first(kept * 48));
    EXPECT_TRUE(encode(e) == encode(same));

    // build: an interrupted first build leaves nothing built, a later one
    // leaves the previous lists and the pending vectors.
    Teskra ivf(small_config(IndexType::IvfFlat, Metric::L2));
    ivf.add(iota_ids(2000), Vectors(data.begin(), data.begin() + 2000));
    StopAfter soon(1);
    EXPECT_THROW(ivf.build({.threads = threads, .interrupt = &soon}), Interrupted);
    EXPECT_EQ(error_of([&] { ivf.search(data[0], 1, std::nullopt); }),
              "call build() before search() for IvfFlat indexes");
    ivf.build();
    ivf.add(iota_ids(500, 9000), Vectors(data.begin() + 2000, data.begin() + 2500));
    const auto before = ivf.search(data[7], 5, std::nullopt);
    StopAfter later(5);
    EXPECT_THROW(ivf.build({.threads = threads, .interrupt = &later}), Interrupted);
    EXPECT_EQ(ivf.index().stored(), 2500u);
    EXPECT_EQ(hit_bits(ivf.search(data[7], 5, std::nullopt)), hit_bits(before));

    // search_batch stops too.
    StopAfter quick(1);
    EXPECT_THROW(batch_rows(same, flat, 3, {.threads = threads, .interrupt = &quick}), Interrupted);
  }
}

}  // namespace
}  // namespace teskra
