#include "core/quantize/scalar.h"

#include <algorithm>
#include <array>
#include <bit>

#include "core/quantize/tables.h"

namespace teskra {

namespace {

// Both quantizers are symmetric about zero (t[k] == -t[n-1-k], with 0 as the
// middle threshold), so a code is decided by |x| against the positive
// thresholds alone. For these the order of floats is the order of their bit
// patterns read as integers, so the comparisons run on integers:
//   x >= +0 (and -0, and any NaN): code = half + #{t > 0 : |x| >= t}
//   x <  0:                        code = half - 1 - #{t > 0 : |x| > t}
// "|x| > t" is "bits(|x|) - 1 >= bits(t)", so both cases count the same
// comparisons on key = bits(|x|) - neg, and the negative code is the mirror
// image (2 * half - 1) - code, which for these small values is an XOR.
// This is exactly "the index of the first threshold with x < t_k, else the
// top code": equality takes the upper cell, -0.0 codes like 0.0, and NaN
// (which fails every comparison of the chain) gets the top code. It has no
// branches, so the loops below vectorize. Checked against the chain for
// every one of the 2^32 float bit patterns.
template <size_t N>
constexpr bool antisymmetric(const std::array<float, N>& t) {
  for (size_t k = 0; k < N; ++k) {
    if (std::bit_cast<uint32_t>(t[k]) != (std::bit_cast<uint32_t>(t[N - 1 - k]) ^ 0x80000000u) &&
        t[k] != 0.0f) {
      return false;
    }
  }
  return t[N / 2] == 0.0f;
}
static_assert(antisymmetric(THRESHOLDS_4BIT) && antisymmetric(THRESHOLDS_2BIT),
              "the symmetric quantizer below needs thresholds mirrored about 0");

template <size_t N>
constexpr std::array<int32_t, N> positive_threshold_bits(const float* t) {
  std::array<int32_t, N> out{};
  for (size_t j = 0; j < N; ++j) out[j] = std::bit_cast<int32_t>(t[j]);
  return out;
}
constexpr std::array<int32_t, 7> kPos4 = positive_threshold_bits<7>(THRESHOLDS_4BIT.data() + 8);
constexpr std::array<int32_t, 1> kPos2 = positive_threshold_bits<1>(THRESHOLDS_2BIT.data() + 2);

template <uint32_t kHalf, size_t N>
inline uint32_t symmetric_code(float x, const std::array<int32_t, N>& pos) {
  const uint32_t b = std::bit_cast<uint32_t>(x);
  const uint32_t a = b & 0x7fffffffu;
  // Strictly negative: sign set, magnitude nonzero, and not NaN.
  const uint32_t neg = (b >> 31) & static_cast<uint32_t>(a - 1u < 0x7f800000u);
  const auto key = static_cast<int32_t>(a - neg);
  uint32_t c = kHalf;
  for (int32_t t : pos) c += static_cast<uint32_t>(key >= t);
  return c ^ (neg * (2 * kHalf - 1));
}

inline uint32_t code4(float x) { return symmetric_code<8>(x, kPos4); }
inline uint32_t code2(float x) { return symmetric_code<2>(x, kPos2); }

// Codes are formed a chunk at a time into a small stack buffer (32-bit
// lanes, so the code loop vectorizes without narrowing), then packed.
// Must be a multiple of 4 so chunks end on byte boundaries.
constexpr size_t kChunk = 256;

}  // namespace

uint8_t code_4bit(float x) { return static_cast<uint8_t>(code4(x)); }
uint8_t code_2bit(float x) { return static_cast<uint8_t>(code2(x)); }

void encode_4bit_into(std::span<const float> values, uint8_t* out) {
  const float* v = values.data();
  const size_t n = values.size();
  uint32_t codes[kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t len = std::min(kChunk, n - start);
    for (size_t i = 0; i < len; ++i) codes[i] = code4(v[start + i]);
    uint8_t* o = out + start / 2;
    const size_t pairs = len / 2;
    for (size_t i = 0; i < pairs; ++i) {
      o[i] = static_cast<uint8_t>(codes[2 * i] | (codes[2 * i + 1] << 4));
    }
    // Only the very last chunk can be odd; its high nibble stays zero.
    if (len & 1) o[pairs] = static_cast<uint8_t>(codes[len - 1]);
  }
}

void encode_2bit_into(std::span<const float> values, uint8_t* out) {
  const float* v = values.data();
  const size_t n = values.size();
  uint32_t codes[kChunk];
  for (size_t start = 0; start < n; start += kChunk) {
    const size_t len = std::min(kChunk, n - start);
    for (size_t i = 0; i < len; ++i) codes[i] = code2(v[start + i]);
    uint8_t* o = out + start / 4;
    const size_t quads = len / 4;
    for (size_t i = 0; i < quads; ++i) {
      o[i] = static_cast<uint8_t>(codes[4 * i] | (codes[4 * i + 1] << 2) | (codes[4 * i + 2] << 4) |
                                  (codes[4 * i + 3] << 6));
    }
    // A partial last byte keeps zero bits in the slots with no value.
    const size_t rest = len - 4 * quads;
    if (rest != 0) {
      unsigned b = 0;
      for (size_t s = 0; s < rest; ++s) b |= codes[4 * quads + s] << (2 * s);
      o[quads] = static_cast<uint8_t>(b);
    }
  }
}

std::vector<uint8_t> encode_4bit(std::span<const float> values) {
  std::vector<uint8_t> out((values.size() + 1) / 2);
  encode_4bit_into(values, out.data());
  return out;
}

std::vector<uint8_t> encode_2bit(std::span<const float> values) {
  std::vector<uint8_t> out((values.size() + 3) / 4);
  encode_2bit_into(values, out.data());
  return out;
}

}  // namespace teskra
