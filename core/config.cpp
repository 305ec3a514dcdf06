#include "core/config.h"

#include <algorithm>
#include <string>

#include "core/error.h"

namespace teskra {

uint64_t resolve_n4_dims(uint64_t dim, uint8_t bit_width, std::optional<float> mixed_ratio,
                         std::optional<uint64_t> n4_dims) {
  const uint64_t padded = padded_dim_for(dim);
  uint64_t n4 = bit_width == 2 ? 0 : padded;
  if (mixed_ratio) {
    float r = *mixed_ratio;
    if (r < 0.0f) r = 0.0f;  // NaN fails both tests and stays NaN
    if (r > 1.0f) r = 1.0f;
    const uint64_t rounded = round_to_count(r * static_cast<float>(padded));
    n4 = rounded & ~uint64_t{3};
  }
  if (n4_dims) n4 = std::min(padded, *n4_dims) & ~uint64_t{3};
  return n4;
}

uint64_t packed_bytes_for(uint64_t padded_dim, uint64_t n4_dims) {
  return (n4_dims + 1) / 2 + (padded_dim - n4_dims + 3) / 4;
}

bool n4_layout_is_sound(uint64_t padded_dim, uint64_t n4_dims) {
  return n4_dims <= padded_dim && (n4_dims == padded_dim || n4_dims % 4 == 0);
}

namespace {

void validate_graph(const EngineConfig& c) {
  // A graph of degree below 2 cannot link its layers, and its level
  // multiplier 1 / ln(m) would draw absurd levels; a construction list of 0
  // keeps no candidates at all.
  if (c.hnsw_m < 2) {
    throw ConfigError("hnsw_m must be at least 2 for an Hnsw index, got " + std::to_string(c.hnsw_m));
  }
  if (c.hnsw_m > kMaxHnswM) {
    throw ConfigError("hnsw_m must be at most " + std::to_string(kMaxHnswM) + " for an Hnsw index, got " +
                      std::to_string(c.hnsw_m));
  }
  if (c.hnsw_ef_construction == 0) {
    throw ConfigError("hnsw_ef_construction must be at least 1 for an Hnsw index");
  }
}

}  // namespace

void validate_config(const EngineConfig& c) {
  const uint64_t padded = padded_dim_for(c.dim);
  if (padded > kMaxPaddedDim) {
    throw ConfigError("dim must be at most " + std::to_string(kMaxPaddedDim) + ", got " +
                      std::to_string(c.dim));
  }
  if (c.index_type == IndexType::Hnsw) validate_graph(c);
  // The width before the layout: a bad width is what a caller hears about,
  // whatever n4_dims says.
  if (c.bit_width != 4 && c.bit_width != 2) throw TeskraError::invalid_bit_width(c.bit_width);
  if (!n4_layout_is_sound(padded, c.n4_dims)) throw TeskraError::invalid_bit_width(c.bit_width);
}

}  // namespace teskra
