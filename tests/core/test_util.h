// Helpers the core tests share: random data, id ranges, configurations,
// error texts, bit-level float and hit comparison, filled engines and batch
// searches, index files in memory (and patched) and a scratch directory.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <limits>
#include <numeric>
#include <random>
#include <set>
#include <span>
#include <string>
#include <utility>
#include <vector>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/index_file.h"
#include "core/types.h"

namespace teskra::test_util {

using Floats = std::vector<float>;
using Vectors = std::vector<Floats>;
constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
constexpr float kInf = std::numeric_limits<float>::infinity();
constexpr Metric kMetrics[] = {Metric::Cosine, Metric::Dot, Metric::L2};
constexpr IndexType kTypes[] = {IndexType::BruteForce, IndexType::IvfFlat, IndexType::Hnsw};

// A span's elements as a vector, for comparisons.
template <class T>
std::vector<std::remove_const_t<T>> vec(std::span<T> s) {
  return {s.begin(), s.end()};
}

inline uint32_t bits(float f) { return std::bit_cast<uint32_t>(f); }

// The same bits, or both NaN: which operand's NaN an operation passes on may
// depend on the order the compiler chose, so a NaN's sign and payload are not
// reproducible.
inline bool same_value(float a, float b) { return bits(a) == bits(b) || (std::isnan(a) && std::isnan(b)); }

inline Vectors random_vectors(size_t n, size_t dim, uint32_t seed, float sd = 1.0f, float mean = 0.0f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(mean, sd);
  Vectors out(n, std::vector<float>(dim));
  for (auto& v : out) std::generate(v.begin(), v.end(), [&] { return g(rng); });
  return out;
}

inline std::vector<float> random_vector(size_t dim, uint32_t seed, float sd = 1.0f) {
  return random_vectors(1, dim, seed, sd)[0];
}

// Rows back to back, as the flat forms take them.
inline std::vector<float> flatten(const Vectors& rows) {
  std::vector<float> out;
  for (const auto& r : rows) out.insert(out.end(), r.begin(), r.end());
  return out;
}

inline std::vector<uint32_t> bits_of(std::span<const float> v) {
  std::vector<uint32_t> out;
  for (float x : v) out.push_back(bits(x));
  return out;
}

// Hits as (id, score bits): equal means the same ids, order and scores to the bit.
using HitBits = std::vector<std::pair<uint64_t, uint32_t>>;
inline HitBits hit_bits(const std::vector<SearchHit>& hits) {
  HitBits out;
  for (const SearchHit& h : hits) out.emplace_back(h.id, bits(h.score));
  return out;
}

inline std::set<uint64_t> id_set(const std::vector<SearchHit>& hits) {
  std::set<uint64_t> ids;
  for (const SearchHit& h : hits) ids.insert(h.id);
  return ids;
}

inline std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

// The error's text, or "" when f throws nothing; an exception of another
// class than E fails the test.
template <class E = std::exception>
std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const E& e) {
    return e.what();
  }
  return "";
}

// n4 < 0: the width's default layout (every coordinate at 4 bits, or all at 2).
inline EngineConfig config(uint64_t dim, Metric metric = Metric::Cosine,
                           IndexType type = IndexType::BruteForce, uint8_t bit_width = 4, int64_t n4 = -1) {
  const uint64_t n4_dims = n4 >= 0 ? uint64_t(n4) : bit_width == 2 ? 0 : padded_dim_for(dim);
  return {.dim = dim,
          .n4_dims = n4_dims,
          .seed = kDefaultSeed,
          .bit_width = bit_width,
          .metric = metric,
          .index_type = type};
}

inline QuantPipeline pipeline(uint64_t dim, Metric metric = Metric::Cosine, int64_t n4 = -1,
                              uint8_t width = 4) {
  return QuantPipeline(config(dim, metric, IndexType::BruteForce, width, n4));
}

// An engine of configuration c holding n random vectors (ids from first_id),
// built, and fitted first for L2 unless told.
inline Teskra filled(const EngineConfig& c, size_t n, uint64_t first_id, uint32_t seed = 7, bool fit = true) {
  Teskra e(c);
  const Vectors vs = random_vectors(n, c.dim, seed);
  if (c.metric == Metric::L2 && fit) e.fit(vs);
  e.add(iota_ids(n, first_id), vs);
  if (n > 0) e.build();
  return e;
}

// The rows of a batch search of k (ids and score bits), and the counts.
using BatchRows = std::pair<HitBits, std::vector<int64_t>>;
inline BatchRows batch_rows(const Teskra& e, std::span<const float> queries, size_t k,
                            const Execution& exec = {}) {
  const size_t n = queries.size() / e.config().dim;
  std::vector<uint64_t> ids(n * k);
  std::vector<float> scores(n * k);
  std::vector<int64_t> counts(n);
  e.search_batch(queries.data(), e.config().dim, std::nullopt, {k, ids, scores, counts}, exec);
  HitBits rows;
  for (size_t i = 0; i < ids.size(); ++i) rows.emplace_back(ids[i], bits(scores[i]));
  return {rows, counts};
}

// An engine as the bytes of its index file, and back.
inline std::string encode(const Teskra& e) {
  StringSink sink;
  IndexFile::encode(e, sink);
  return sink.out;
}

// The same index (the encoder writes everything a file carries, so equal
// bytes mean equal configurations, std parameters, codes, ids, norms, lists
// and links) giving the same answers: plain searches, allowlists of every
// size the index types treat differently (a few ids, many, more than the
// index holds, unknown ones; ids as filled() gives them from 1000), and
// batches on the threads of exec. An empty index refuses searches alike.
inline void expect_same_index(const Teskra& a, const Teskra& b, const Execution& exec = {.threads = 3}) {
  const std::string x = encode(a), y = encode(b);
  EXPECT_TRUE(x == y) << "sizes " << x.size() << " and " << y.size() << ", first difference at byte "
                      << std::ranges::mismatch(x, y).in1 - x.begin();
  ASSERT_EQ(a.n_vectors(), b.n_vectors());
  const Vectors queries = random_vectors(4, a.config().dim, 99);
  if (a.is_empty()) {
    const std::string error = error_of([&] { a.search(queries[0], 3, std::nullopt); });
    EXPECT_EQ(error, "index is empty");
    EXPECT_EQ(error, error_of([&] { b.search(queries[0], 3, std::nullopt); }));
    return;
  }
  std::vector<uint64_t> few = {1000, 1003, 1010, 5}, many, more = iota_ids(3000);
  for (uint64_t id = 1000; id < 1000 + a.n_vectors(); id += 2) many.push_back(id);
  for (const auto& q : queries) {
    for (uint64_t k : {1u, 10u, 1000u})
      EXPECT_EQ(hit_bits(a.search(q, k, std::nullopt)), hit_bits(b.search(q, k, std::nullopt))) << k;
    for (const auto* allow : {&few, &many, &more})
      EXPECT_EQ(hit_bits(a.search(q, 10, *allow)), hit_bits(b.search(q, 10, *allow))) << allow->size();
  }
  const std::vector<float> flat = flatten(queries);
  EXPECT_EQ(batch_rows(a, flat, 7, exec), batch_rows(b, flat, 7, exec));
}

inline Teskra decode(const std::string& b) {
  MemorySource in({reinterpret_cast<const uint8_t*>(b.data()), b.size()});
  return IndexFile::decode(in);
}

// b with the bytes of v at `at` (the tests run on little-endian hosts).
template <class T>
void poke(std::string& b, size_t at, T v) {
  std::memcpy(b.data() + at, &v, sizeof v);
}

template <class T>
std::string patched(std::string b, size_t at, T v) {
  poke(b, at, v);
  return b;
}

// A current (v6) file rewritten as an older version: a shorter header, and
// (version 1) without the last norms_bytes (its norms).
inline std::string as_version(const std::string& v6, uint32_t version, size_t norms_bytes = 0) {
  std::string b = v6.substr(0, Header::size_for(version)) + v6.substr(56);
  poke<uint32_t>(b, 4, version);
  if (version == 1) b.resize(b.size() - norms_bytes);
  return b;
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const std::string& path, const std::string& b) {
  std::ofstream(path, std::ios::binary) << b;
}

// Says stop from its n-th question on (0: at once).
class StopAfter final : public Interrupt {
 public:
  explicit StopAfter(int n) : left_(n) {}
  bool requested() override { return --left_ < 0; }

 private:
  int left_;
};

// A scratch directory, removed with everything in it.
class TempDir {
 public:
  TempDir() {
    std::string tmpl = (std::filesystem::temp_directory_path() / "teskra-test-XXXXXX").string();
    path_ = ::mkdtemp(tmpl.data());
  }
  ~TempDir() { std::filesystem::remove_all(path_); }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }
  // The names in it, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> out;
    for (const auto& e : std::filesystem::directory_iterator(path_))
      out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
  }

 private:
  std::filesystem::path path_;
};

}  // namespace teskra::test_util
