// Helpers the core tests share: random data, id ranges, configurations,
// error texts, bit-level float comparison, index files in memory and a
// scratch directory.
#pragma once

#include <stdlib.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/index_file.h"
#include "core/types.h"

namespace teskra::test_util {

using Vectors = std::vector<std::vector<float>>;

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

inline Vectors random_vectors(size_t n, size_t dim, uint32_t seed, float sd = 1.0f) {
  std::mt19937 rng(seed);
  std::normal_distribution<float> g(0.0f, sd);
  Vectors out(n, std::vector<float>(dim));
  for (auto& v : out) std::generate(v.begin(), v.end(), [&] { return g(rng); });
  return out;
}

inline std::vector<uint64_t> iota_ids(size_t n, uint64_t first = 0) {
  std::vector<uint64_t> ids(n);
  std::iota(ids.begin(), ids.end(), first);
  return ids;
}

// The error's text, or "" when f throws nothing.
inline std::string error_of(const std::function<void()>& f) {
  try {
    f();
  } catch (const std::exception& e) {
    return e.what();
  }
  return "";
}

// n4 < 0: the width's default layout (every coordinate at 4 bits, or all at 2).
inline EngineConfig config(uint64_t dim, Metric metric = Metric::Cosine,
                           IndexType type = IndexType::BruteForce, uint8_t bit_width = 4, int64_t n4 = -1) {
  return {.dim = dim,
          .n4_dims = n4 >= 0          ? uint64_t(n4)
                     : bit_width == 2 ? 0
                                      : padded_dim_for(dim),
          .seed = kDefaultSeed,
          .bit_width = bit_width,
          .metric = metric,
          .index_type = type};
}

// An engine as the bytes of its index file, and back.
inline std::string encode(const Teskra& e) {
  StringSink sink;
  IndexFile::encode(e, sink);
  return sink.out;
}

inline Teskra decode(const std::string& b) {
  MemorySource in({reinterpret_cast<const uint8_t*>(b.data()), b.size()});
  return IndexFile::decode(in);
}

inline std::string read_file(const std::string& path) {
  std::ifstream f(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(f), {});
}

inline void write_file(const std::string& path, const std::string& b) {
  std::ofstream(path, std::ios::binary) << b;
}

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
  size_t entries() const { return names().size(); }

 private:
  std::filesystem::path path_;
};

}  // namespace teskra::test_util
