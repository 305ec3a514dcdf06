// Index files served in place (Teskra::view): the same answers, bytes and
// errors as load for every index type, metric and layout; what is read in
// place and what is copied; read-only behaviour; a file replaced or removed
// under a view; searches from several threads.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "core/engine.h"
#include "core/io/index_file.h"
#include "core/io/mapped_file.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;
using Bytes = std::string;
constexpr uint64_t kDim = 40;  // pads to 64

// n4 -1: all 4-bit; 0: all 2-bit; 8 and 16: mixed codes of 18 and 20 bytes,
// which leave the ids (and, for 18, the norms) of an odd count misaligned.
Teskra filled(IndexType type, Metric metric, size_t n, int64_t n4 = -1, uint32_t seed = 7) {
  EngineConfig c = config(kDim, metric, type, n4 == 0 ? 2 : 4, n4 == 0 ? -1 : n4);
  if (type == IndexType::IvfFlat) c.ivf_nlist = 12, c.ivf_nprobe = 3;
  if (type == IndexType::Hnsw) c.hnsw_m = 6, c.hnsw_ef_construction = 24;
  return test_util::filled(c, n, 1000, seed);
}

// The file holds what encode() gives; decoded from memory, loaded and viewed
// it answers and saves as the original does, tuned or not (run-time tuning
// lives outside the file), and no temporary file is left behind.
TEST(IndexView, EveryTypeMetricAndLayoutDecodesLoadsAndViewsAsTheOriginal) {
  TempDir dir;
  const std::string path = dir / "index.tskr";
  for (IndexType type : kTypes) {
    for (Metric metric : kMetrics) {
      for (int64_t n4 : {-1, 0, 8, 16}) {
        SCOPED_TRACE(std::to_string(int(type)) + " metric " + std::to_string(int(metric)) + " n4 " +
                     std::to_string(n4));
        const Teskra e = filled(type, metric, 301, n4);
        e.save(path);
        EXPECT_EQ(read_file(path), encode(e));
        expect_same_index(e, decode(encode(e)));
        Teskra view = Teskra::view(path), tuned = Teskra::load(path);
        EXPECT_TRUE(view.is_view() && !tuned.is_view());
        expect_same_index(e, tuned);
        expect_same_index(e, view);
        for (uint64_t v : {1u, 40u}) {
          tuned.set_ef_search(v), tuned.set_nprobe(v), view.set_ef_search(v), view.set_nprobe(v);
          expect_same_index(tuned, view);
        }
      }
    }
  }
  EXPECT_EQ(dir.names().size(), 1u);
}

TEST(IndexView, BruteForceReadsInPlaceAndCopiesOnlyMisalignedIdsOrNorms) {
  TempDir dir;
  const std::string path = dir / "flat.tskr";
  // 56-byte header, then n codes of B bytes: ids at 56 + n * B, norms 8n later.
  const struct {
    size_t n;
    int64_t n4;
    bool ids_in_place, norms_in_place;
  } cases[] = {{300, -1, true, true}, {301, 16, false, true}, {301, 8, false, false}, {302, 8, false, true}};
  for (const auto& c : cases) {
    SCOPED_TRACE(std::to_string(c.n) + " " + std::to_string(c.n4));
    filled(IndexType::BruteForce, Metric::Cosine, c.n, c.n4).save(path);
    const Teskra view = Teskra::view(path);
    const MappedFile& file = *view.mapping();
    EXPECT_TRUE(file.contains(view.codes().data(), view.codes().size()));
    EXPECT_EQ(file.contains(view.ids().data(), view.ids().size_bytes()), c.ids_in_place);
    EXPECT_EQ(file.contains(view.norms().data(), view.norms().size_bytes()), c.norms_in_place);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(view.ids().data()) % alignof(uint64_t), 0u);
    EXPECT_EQ(reinterpret_cast<uintptr_t>(view.norms().data()) % alignof(float), 0u);
    const Teskra loaded = Teskra::load(path);
    EXPECT_EQ(std::tuple(vec(view.codes()), vec(view.ids()), vec(view.norms())),
              std::tuple(vec(loaded.codes()), vec(loaded.ids()), vec(loaded.norms())));
  }
}

// Every file of a corpus of sound, empty, old, cut, patched and randomly
// damaged files, and paths where there is no file: view refuses it with
// load's error, or both open it and agree.
TEST(IndexView, AcceptsAndRefusesExactlyWhatLoadDoes) {
  TempDir dir;
  std::vector<Bytes> corpus;
  std::mt19937 rng(3);
  // Empty indexes (an empty IvfFlat cannot be saved).
  for (IndexType type : {IndexType::BruteForce, IndexType::Hnsw})
    corpus.push_back(encode(filled(type, Metric::Cosine, 0)));
  for (IndexType type : kTypes) {
    const Bytes b = encode(filled(type, Metric::Dot, 24, -1, 11));
    corpus.push_back(b + "trailing bytes");
    for (size_t cut = 0; cut < b.size(); cut += (cut < 120 ? 1 : 9)) corpus.push_back(b.substr(0, cut));
    // Older versions (header 32 or 40 bytes; version 1 without norms).
    for (uint32_t v = 1; v <= 5; ++v) corpus.push_back(as_version(b, v));
    if (type == IndexType::BruteForce) corpus.push_back(as_version(b, 1, 24 * 4));
    // Counts far beyond the file, and random single-byte damage anywhere
    // (much of it still loads: codes, ids, norms, links to other nodes).
    for (size_t at : {16u, 56u, 60u, 64u}) corpus.push_back(patched<uint32_t>(b, at, 0x7FFFFFF0u));
    for (int i = 0; i < 250; ++i) {
      const char value = char(rng());
      corpus.push_back(patched(b, rng() % b.size(), value));
    }
  }
  // Graph-specific refusals: an overlong list, a link to a missing node, a
  // bad entry point, a node without layers.
  const Bytes graph = encode(filled(IndexType::Hnsw, Metric::Dot, 24, -1, 11));
  const size_t layers0 = 56 + 12 + 32 + 8 + 4, list0 = layers0 + 1;
  corpus.insert(corpus.end(), {patched<uint16_t>(graph, list0, 13), patched<uint32_t>(graph, list0 + 2, 24),
                               patched<uint16_t>(graph, 60, 24), patched<uint16_t>(graph, 64, 9),
                               patched<uint8_t>(graph, layers0, 0)});

  size_t opened = 0;
  const auto same_outcome = [&](const std::string& p) {
    std::optional<Teskra> loaded, view;
    const std::string error = error_of([&] { loaded.emplace(Teskra::load(p)); });
    EXPECT_EQ(error, error_of([&] { view.emplace(Teskra::view(p)); }));
    if (loaded && view) ++opened, expect_same_index(*loaded, *view, {.threads = 1});
    return error;
  };
  for (size_t i = 0; i < corpus.size(); ++i) {
    SCOPED_TRACE("file " + std::to_string(i) + " of " + std::to_string(corpus[i].size()) + " bytes");
    write_file(dir / "f.tskr", corpus[i]);
    same_outcome(dir / "f.tskr");
  }
  EXPECT_GT(opened, 200u);  // the damage was not all refused
  EXPECT_LT(opened, corpus.size() - 200);
  std::filesystem::create_directory(dir / "sub");
  for (const std::string& p : {dir / "missing.tskr", dir / "sub", std::string("a\0b", 3)})
    EXPECT_NE(same_outcome(p), "") << p;
}

TEST(IndexView, RefusesChangesAndOutlivesItsFile) {
  TempDir dir;
  const std::string path = dir / "index.tskr";
  for (IndexType type : kTypes) {
    filled(type, Metric::L2, 200).save(path);
    Teskra view = Teskra::view(path);
    const Teskra before = Teskra::load(path);
    const Vectors vs = random_vectors(2, kDim, 1);
    const std::string refused = " a view of an index file: load() it to change it";
    EXPECT_EQ(error_of<ViewIsReadOnly>([&] { view.add(iota_ids(2), vs); }), "cannot add to" + refused);
    EXPECT_EQ(error_of<ViewIsReadOnly>([&] { view.add_flat(iota_ids(1), std::vector<float>(kDim, 0.5f)); }),
              "cannot add to" + refused);
    EXPECT_EQ(error_of<ViewIsReadOnly>([&] { view.fit(vs); }), "cannot fit" + refused);
    EXPECT_EQ(error_of<ViewIsReadOnly>([&] { view.build(); }), "cannot build" + refused);
    // Saved over (by rename), then removed: the view keeps its file.
    filled(type, Metric::Cosine, 50, 0, 5).save(path);
    expect_same_index(before, view);
    view.save(path);  // a view saved over its own file
    expect_same_index(before, Teskra::load(path));
    std::filesystem::remove(path);
    expect_same_index(before, view);
  }
  // What points into a view stays valid with a copy of its mapping.
  filled(IndexType::BruteForce, Metric::Dot, 100).save(path);
  std::shared_ptr<const MappedFile> kept;
  std::span<const uint8_t> codes;
  {
    const Teskra view = Teskra::view(path);
    kept = view.mapping();
    codes = view.codes();
  }
  EXPECT_EQ(vec(codes), vec(Teskra::load(path).codes()));
}

// Searches only read an index: threads searching views of every type at
// once, each in its own order, get what a lone search gets. Two graphs of
// different sizes make each thread's search scratch serve both in turn.
TEST(IndexView, ManyThreadsSearchViewsAtOnce) {
  TempDir dir;
  std::vector<Teskra> views;
  for (auto [type, n] : {std::pair{IndexType::BruteForce, 400},
                         {IndexType::IvfFlat, 400},
                         {IndexType::Hnsw, 1500},
                         {IndexType::Hnsw, 60}}) {
    filled(type, Metric::Cosine, n).save(dir / std::to_string(views.size()));
    views.push_back(Teskra::view(dir / std::to_string(views.size())));
  }
  const Vectors queries = random_vectors(40, kDim, 8);
  std::vector<HitBits> expected;  // query i of view v at 4 i + v
  for (const auto& q : queries)
    for (const Teskra& v : views) expected.push_back(hit_bits(v.search(q, 10, std::nullopt)));
  std::vector<int> wrong(4, 0);
  std::vector<std::thread> threads;
  for (size_t t = 0; t < wrong.size(); ++t) {
    threads.emplace_back([&, t] {
      for (size_t j = 0; j < 4 * expected.size(); ++j) {
        const size_t at = (t % 2 ? expected.size() - 1 - j % expected.size() : j + 7 * t) % expected.size();
        wrong[t] += hit_bits(views[at % 4].search(queries[at / 4], 10, std::nullopt)) != expected[at];
      }
    });
  }
  for (auto& th : threads) th.join();
  EXPECT_EQ(wrong, std::vector<int>(4, 0));
}

}  // namespace
}  // namespace teskra
