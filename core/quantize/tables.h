// The Lloyd-Max codebooks of the standard normal distribution and their
// decision thresholds, fixed to the bit: stored codes and exported tables
// depend on these exact single-precision values.
#pragma once

#include <array>
#include <bit>
#include <cstdint>

namespace teskra {

namespace tables_detail {
constexpr float f(uint32_t bits) { return std::bit_cast<float>(bits); }
}  // namespace tables_detail

// Code k reconstructs as entry k. Antisymmetric: entry 15-k == -entry k.
inline constexpr std::array<float, 16> CENTROIDS_4BIT = {
    tables_detail::f(0xc02ee2bf), tables_detail::f(0xc0046ac7), tables_detail::f(0xbfcf1c25),
    tables_detail::f(0xbfa0cc2f), tables_detail::f(0xbf713d3a), tables_detail::f(0xbf28215d),
    tables_detail::f(0xbec6ae44), tables_detail::f(0xbe0379fb), tables_detail::f(0x3e0379fb),
    tables_detail::f(0x3ec6ae44), tables_detail::f(0x3f28215d), tables_detail::f(0x3f713d3a),
    tables_detail::f(0x3fa0cc2f), tables_detail::f(0x3fcf1c25), tables_detail::f(0x40046ac7),
    tables_detail::f(0x402ee2bf),
};

inline constexpr std::array<float, 4> CENTROIDS_2BIT = {
    tables_detail::f(0xbfc1555d),
    tables_detail::f(0xbee7d2c8),
    tables_detail::f(0x3ee7d2c8),
    tables_detail::f(0x3fc1555d),
};

// Ascending. Fixed constants, not recomputed midpoints: +-0.258221686 is one
// ulp above the single-precision midpoint of its neighbours.
inline constexpr std::array<float, 15> THRESHOLDS_4BIT = {
    -2.40080333f,
    -1.84353185f,
    -1.4371388f,
    -1.09928584f,
    -0.799549818f,
    -0.522403717f,
    tables_detail::f(0xbe8435a2),
    0.0f,
    tables_detail::f(0x3e8435a2),
    0.522403717f,
    0.799549818f,
    1.09928584f,
    1.4371388f,
    1.84353185f,
    2.40080333f,
};

inline constexpr std::array<float, 3> THRESHOLDS_2BIT = {
    tables_detail::f(0xbf7b4a0f),
    0.0f,
    tables_detail::f(0x3f7b4a0f),
};

}  // namespace teskra
