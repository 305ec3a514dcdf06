// The rules every engine configuration obeys, in one place. The engine's
// constructor, the file loader and the binding all go through them, so a
// configuration one of them accepts is one the others accept too.
#pragma once

#include <cstdint>
#include <optional>
#include <stdexcept>

#include "core/types.h"

namespace teskra {

// The largest padded dimension an index may have. Beyond it the rotation
// alone takes gigabytes, and a file declaring one would make the loader
// allocate it for a 56-byte file.
inline constexpr uint64_t kMaxPaddedDim = uint64_t{1} << 26;

// The largest hnsw_m: the file field is 16 bits and a layer-0 list of 2m
// entries must fit its u16 length.
inline constexpr uint64_t kMaxHnswM = 32767;

// The constructor's defaults for the tuning of each index type.
inline constexpr uint64_t kDefaultIvfNlist = 256;
inline constexpr uint64_t kDefaultIvfNprobe = 8;
inline constexpr uint64_t kDefaultHnswM = 32;
inline constexpr uint64_t kDefaultHnswEfConstruction = 200;

// A caller's argument out of range. The binding raises ValueError with this
// text; the texts are the ones the Python constructor has always used.
class ConfigError : public std::invalid_argument {
 public:
  using std::invalid_argument::invalid_argument;
};

// The number of 4-bit coordinates: all of them (none for bit_width 2) unless
// mixed_ratio or, winning over it, n4_dims asks for a mixed layout. Both give
// a multiple of 4 not above the padded dimension; a NaN ratio gives 0.
uint64_t resolve_n4_dims(uint64_t dim, uint8_t bit_width, std::optional<float> mixed_ratio,
                         std::optional<uint64_t> n4_dims);

// Bytes of one packed code: the 4-bit block (odd counts round up to a whole
// byte) followed by the 2-bit block. n4_dims must not exceed padded_dim.
uint64_t packed_bytes_for(uint64_t padded_dim, uint64_t n4_dims);

// The code layout is sound: n4_dims at most the padded dimension, and a
// multiple of 4 unless it is all of it (a partial 4-bit block that ends
// mid-byte would shift the 2-bit block off its byte boundary).
bool n4_layout_is_sound(uint64_t padded_dim, uint64_t n4_dims);

// Everything a new engine needs, in the order a caller hears about it:
// ConfigError for a padded dimension above kMaxPaddedDim, then for an Hnsw
// index with hnsw_m below 2 or above kMaxHnswM or an hnsw_ef_construction of
// 0; then InvalidBitWidth (TeskraError) for a width other than 2 or 4 or an
// unsound n4 layout. Parameters of other index types are not looked at.
void validate_config(const EngineConfig& config);

}  // namespace teskra
