// Scalar quantizers and bit packing.
//
// Packed layout of one vector with padded dimension P and N4 4-bit
// coordinates: pb4 = (N4 + 1) / 2 bytes of 4-bit codes (coordinate 2i in the
// low nibble of byte i, 2i+1 in the high nibble), then (P - N4 + 3) / 4 bytes
// of 2-bit codes (block coordinate 4j + s at bits 2s..2s+1 of byte j). Unused
// slots of a partially filled last byte are zero.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

namespace teskra {

// Index of the first threshold with x < t_k, else 15: a comparison chain.
// A value equal to a threshold takes the upper cell; NaN gives 15.
uint8_t code_4bit(float x);
// 0 if x < -0.981598794, 1 if x < 0, 2 if x < 0.981598794, else 3 (NaN -> 3).
uint8_t code_2bit(float x);

// (n + 1) / 2 bytes.
std::vector<uint8_t> encode_4bit(std::span<const float> values);
// (n + 3) / 4 bytes.
std::vector<uint8_t> encode_2bit(std::span<const float> values);

// The same packing into out, which must hold (n + 1) / 2 or (n + 3) / 4 bytes;
// every byte of out is written.
void encode_4bit_into(std::span<const float> values, uint8_t* out);
void encode_2bit_into(std::span<const float> values, uint8_t* out);

}  // namespace teskra
