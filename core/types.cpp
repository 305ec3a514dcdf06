#include "core/types.h"

#include <cmath>

namespace teskra {

std::string_view metric_name(Metric m) {
  switch (m) {
    case Metric::Cosine:
      return "cosine";
    case Metric::Dot:
      return "dot";
    case Metric::L2:
      return "l2";
  }
  return "unknown";
}

std::string_view index_type_name(IndexType t) {
  switch (t) {
    case IndexType::BruteForce:
      return "BruteForce";
    case IndexType::IvfFlat:
      return "IvfFlat";
    case IndexType::Hnsw:
      return "Hnsw";
  }
  return "unknown";
}

std::optional<Metric> metric_from_byte(uint8_t b) {
  if (b > 2) return std::nullopt;
  return static_cast<Metric>(b);
}

std::optional<IndexType> index_type_from_byte(uint8_t b) {
  if (b > 2) return std::nullopt;
  return static_cast<IndexType>(b);
}

uint64_t round_to_count(float x) {
  const float r = std::round(x);
  if (std::isnan(r) || r <= 0.0f) return 0;
  if (r >= 18446744073709551616.0f) return UINT64_MAX;  // 2^64
  return static_cast<uint64_t>(r);
}

uint64_t padded_dim_for(uint64_t dim) {
  if (dim <= 1) return 1;
  constexpr uint64_t kTop = uint64_t{1} << 63;
  if (dim > kTop) return kTop;
  uint64_t p = 1;
  while (p < dim) p <<= 1;
  return p;
}

}  // namespace teskra
