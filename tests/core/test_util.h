// Helpers the core tests share: random data, id ranges, configurations,
// error texts and bit-level float comparison.
#pragma once

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <exception>
#include <functional>
#include <numeric>
#include <random>
#include <span>
#include <string>
#include <vector>

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

}  // namespace teskra::test_util
