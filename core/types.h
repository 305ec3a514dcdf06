// Vocabulary shared by every part of the engine: metrics, index types, the
// construction record and the search result entry.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace teskra {

// Stored as one byte in index files; the codes never change.
enum class Metric : uint8_t { Cosine = 0, Dot = 1, L2 = 2 };

enum class IndexType : uint8_t { BruteForce = 0, IvfFlat = 1, Hnsw = 2 };

// How an Hnsw graph chooses the neighbours a node keeps: the diversity rule,
// or the best-scored ones. Stored as one byte in index files.
enum class HnswSelection : uint8_t { Diverse = 0, Nearest = 1 };

// "cosine", "dot", "l2".
std::string_view metric_name(Metric m);
// "BruteForce", "IvfFlat", "Hnsw".
std::string_view index_type_name(IndexType t);

// A byte outside 0..2 is not a valid value.
std::optional<Metric> metric_from_byte(uint8_t b);
std::optional<IndexType> index_type_from_byte(uint8_t b);

// "diverse", "nearest".
inline std::string_view hnsw_selection_name(HnswSelection s) {
  return s == HnswSelection::Nearest ? "nearest" : "diverse";
}
// A byte outside 0..1 is not a valid value.
inline std::optional<HnswSelection> hnsw_selection_from_byte(uint8_t b) {
  if (b > 1) return std::nullopt;
  return static_cast<HnswSelection>(b);
}

// The rotation's output size: 1 for dim <= 1, else the smallest power of two
// not below dim. Saturates at 2^63 for dims beyond it (no such rotation can be
// allocated; the rotation reports that as std::bad_alloc).
uint64_t padded_dim_for(uint64_t dim);

// x rounded to the nearest integer, halves away from zero, as an unsigned
// 64-bit count: NaN and values at or below 0 give 0, values beyond the range
// saturate. Turns fractions of a padded dimension into coordinate counts.
uint64_t round_to_count(float x);

// The record an engine and its pipeline are built from; kept unchanged by the
// engine. n4_dims is already resolved by the caller.
struct EngineConfig {
  uint64_t dim = 0;
  uint64_t n4_dims = 0;
  uint64_t seed = 0;
  uint64_t ivf_nlist = 0;
  uint64_t ivf_nprobe = 0;
  uint64_t hnsw_m = 0;
  uint64_t hnsw_ef_construction = 0;
  uint64_t hnsw_ef_search = 0;  // 0 means 2 * hnsw_m
  uint8_t bit_width = 4;
  Metric metric = Metric::Cosine;
  IndexType index_type = IndexType::BruteForce;
  HnswSelection hnsw_selection = HnswSelection::Diverse;
};

// The seed the Python constructor always passes.
inline constexpr uint64_t kDefaultSeed = 0xDEADBEEFCAFE1337ULL;

// One search hit. Scores are similarities: higher is better for every metric.
struct SearchHit {
  uint64_t id;
  float score;
};

}  // namespace teskra
