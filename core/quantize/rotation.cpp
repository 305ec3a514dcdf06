#include "core/quantize/rotation.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstring>
#include <new>

namespace teskra {

namespace rhdh_detail {

std::array<uint32_t, 8> expand_key(uint64_t seed) {
  std::array<uint32_t, 8> key{};
  uint64_t s = seed;
  for (uint32_t& word : key) {
    s = s * 6364136223846793005ULL + 11634580027462260723ULL;
    const auto x = static_cast<uint32_t>(((s >> 18) ^ s) >> 27);
    const auto r = static_cast<int>(s >> 59);
    word = std::rotr(x, r);
  }
  return key;
}

namespace {

inline void quarter_round(uint32_t& a, uint32_t& b, uint32_t& c, uint32_t& d) {
  a += b;
  d ^= a;
  d = std::rotl(d, 16);
  c += d;
  b ^= c;
  b = std::rotl(b, 12);
  a += b;
  d ^= a;
  d = std::rotl(d, 8);
  c += d;
  b ^= c;
  b = std::rotl(b, 7);
}

}  // namespace

std::array<uint32_t, 16> chacha20_block(const std::array<uint32_t, 8>& key, uint64_t block) {
  std::array<uint32_t, 16> in{};
  in[0] = 0x61707865;
  in[1] = 0x3320646e;
  in[2] = 0x79622d32;
  in[3] = 0x6b206574;
  for (int i = 0; i < 8; ++i) in[4 + i] = key[i];
  in[12] = static_cast<uint32_t>(block);
  in[13] = static_cast<uint32_t>(block >> 32);
  in[14] = 0;
  in[15] = 0;

  std::array<uint32_t, 16> x = in;
  for (int round = 0; round < 10; ++round) {
    quarter_round(x[0], x[4], x[8], x[12]);
    quarter_round(x[1], x[5], x[9], x[13]);
    quarter_round(x[2], x[6], x[10], x[14]);
    quarter_round(x[3], x[7], x[11], x[15]);
    quarter_round(x[0], x[5], x[10], x[15]);
    quarter_round(x[1], x[6], x[11], x[12]);
    quarter_round(x[2], x[7], x[8], x[13]);
    quarter_round(x[3], x[4], x[9], x[14]);
  }
  for (int i = 0; i < 16; ++i) x[i] += in[i];
  return x;
}

}  // namespace rhdh_detail

namespace {

// Far beyond any memory this engine will meet, yet small enough that P * 4
// bytes cannot overflow. A dimension above it is reported the same way an
// allocation failure is, instead of letting a huge size reach the allocator
// (or wrap around when multiplied).
constexpr uint64_t kMaxPaddedDim = uint64_t{1} << 40;

// The butterflies only ever combine y[j] with y[j + h] inside one block of
// 2h, so the passes below may be regrouped freely: every element still gets
// exactly the same sequence of single-precision adds and subtracts as the
// textbook loop, in the same order per element, hence the same bits.

// Passes h = 1 and h = 2 fused, on each group of four.
void fwht_first_two(float* y, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 4) {
    const float a0 = y[i], a1 = y[i + 1], a2 = y[i + 2], a3 = y[i + 3];
    const float b0 = a0 + a1, b1 = a0 - a1;
    const float b2 = a2 + a3, b3 = a2 - a3;
    y[i] = b0 + b2;
    y[i + 1] = b1 + b3;
    y[i + 2] = b0 - b2;
    y[i + 3] = b1 - b3;
  }
}

// Four-lane vectors through the compiler's generic vector extension: plain
// lane-wise IEEE adds and subtracts, so the bits are those of scalar code,
// on every target.
typedef float Lanes4 __attribute__((vector_size(16)));

inline Lanes4 load4(const float* p) {
  Lanes4 v;
  std::memcpy(&v, p, sizeof v);
  return v;
}
inline void store4(float* p, Lanes4 v) { std::memcpy(p, &v, sizeof v); }

inline void transpose4(Lanes4& a, Lanes4& b, Lanes4& c, Lanes4& d) {
  const Lanes4 t0 = __builtin_shufflevector(a, b, 0, 4, 1, 5);
  const Lanes4 t1 = __builtin_shufflevector(a, b, 2, 6, 3, 7);
  const Lanes4 t2 = __builtin_shufflevector(c, d, 0, 4, 1, 5);
  const Lanes4 t3 = __builtin_shufflevector(c, d, 2, 6, 3, 7);
  a = __builtin_shufflevector(t0, t2, 0, 1, 4, 5);
  b = __builtin_shufflevector(t0, t2, 2, 3, 6, 7);
  c = __builtin_shufflevector(t1, t3, 0, 1, 4, 5);
  d = __builtin_shufflevector(t1, t3, 2, 3, 6, 7);
}

// The butterflies of a radix-4 step: (r0, r1) and (r2, r3) at distance h,
// then (r0, r2) and (r1, r3) at distance 2h.
inline void radix4(Lanes4& r0, Lanes4& r1, Lanes4& r2, Lanes4& r3) {
  const Lanes4 b0 = r0 + r1, b1 = r0 - r1;
  const Lanes4 b2 = r2 + r3, b3 = r2 - r3;
  r0 = b0 + b2;
  r1 = b1 + b3;
  r2 = b0 - b2;
  r3 = b1 - b3;
}

// Passes h = 1, 2, 4, 8 on each block of 16, in registers. Seen as a 4 x 4
// matrix of rows y[4r .. 4r + 3], passes 1 and 2 combine columns and passes
// 4 and 8 combine rows: transpose, do 1 and 2 lane-wise, transpose back, do
// 4 and 8 lane-wise. The pass order per element is unchanged.
void fwht_first_four(float* y, uint64_t n) {
  for (uint64_t i = 0; i < n; i += 16) {
    Lanes4 r0 = load4(y + i), r1 = load4(y + i + 4), r2 = load4(y + i + 8), r3 = load4(y + i + 12);
    transpose4(r0, r1, r2, r3);
    radix4(r0, r1, r2, r3);
    transpose4(r0, r1, r2, r3);
    radix4(r0, r1, r2, r3);
    store4(y + i, r0);
    store4(y + i + 4, r1);
    store4(y + i + 8, r2);
    store4(y + i + 12, r3);
  }
}

// One pass with half-block h >= 4: the two halves of a block are disjoint
// contiguous runs, so the inner loop vectorizes.
void fwht_pass(float* y, uint64_t n, uint64_t h) {
  for (uint64_t i = 0; i < n; i += 2 * h) {
    float* __restrict lo = y + i;
    float* __restrict hi = y + i + h;
    for (uint64_t j = 0; j < h; ++j) {
      const float a = lo[j];
      const float b = hi[j];
      lo[j] = a + b;
      hi[j] = a - b;
    }
  }
}

// Two consecutive passes h and 2h fused: one trip through memory instead of
// two. Each element still sees the h-pass result before the 2h-pass.
void fwht_pass_pair(float* y, uint64_t n, uint64_t h) {
  for (uint64_t i = 0; i < n; i += 4 * h) {
    float* __restrict p0 = y + i;
    float* __restrict p1 = y + i + h;
    float* __restrict p2 = y + i + 2 * h;
    float* __restrict p3 = y + i + 3 * h;
    for (uint64_t j = 0; j < h; ++j) {
      const float a0 = p0[j], a1 = p1[j], a2 = p2[j], a3 = p3[j];
      const float b0 = a0 + a1, b1 = a0 - a1;
      const float b2 = a2 + a3, b3 = a2 - a3;
      p0[j] = b0 + b2;
      p1[j] = b1 + b3;
      p2[j] = b0 - b2;
      p3[j] = b1 - b3;
    }
  }
}

void fwht(float* y, uint64_t n) {
  if (n < 4) {
    // Lengths 1 and 2: the plain loop (identity, or one butterfly).
    for (uint64_t h = 1; h < n; h *= 2) {
      for (uint64_t i = 0; i < n; i += 2 * h) {
        for (uint64_t j = i; j < i + h; ++j) {
          const float a = y[j];
          const float b = y[j + h];
          y[j] = a + b;
          y[j + h] = a - b;
        }
      }
    }
    return;
  }
  uint64_t h;
  if (n >= 16) {
    fwht_first_four(y, n);
    h = 16;
  } else {
    fwht_first_two(y, n);
    h = 4;
  }
  for (; 4 * h <= n; h *= 4) fwht_pass_pair(y, n, h);
  if (h < n) fwht_pass(y, n, h);
}

}  // namespace

Rhdh::Rhdh(uint64_t dim, uint64_t seed) : dim_(dim), padded_dim_(1) {
  while (padded_dim_ < dim_) {
    if (padded_dim_ >= kMaxPaddedDim) throw std::bad_alloc();
    padded_dim_ <<= 1;
  }
  const auto n = static_cast<size_t>(padded_dim_);
  signs_.resize(n);

  const std::array<uint32_t, 8> key = rhdh_detail::expand_key(seed);
  for (size_t done = 0, block = 0; done < n; ++block) {
    const std::array<uint32_t, 16> words = rhdh_detail::chacha20_block(key, block);
    const size_t take = std::min<size_t>(16, n - done);
    for (size_t w = 0; w < take; ++w) {
      signs_[done + w] = (words[w] & 1u) ? int8_t{-1} : int8_t{1};
    }
    done += take;
  }
}

std::vector<float> Rhdh::apply(std::span<const float> input) const {
  std::vector<float> out(static_cast<size_t>(padded_dim_));
  apply_into(input, out.data());
  return out;
}

void Rhdh::apply_into(std::span<const float> input, float* out) const {
  const size_t n = static_cast<size_t>(padded_dim_);
  // Values past the padded dimension have no coordinate to land in; reading
  // them would only write past out.
  const size_t m = std::min(input.size(), n);
  const float* in = input.data();
  const int8_t* s = signs_.data();
  // Element-wise, so input may be out itself (the pipeline rotates in place).
  for (size_t i = 0; i < m; ++i) out[i] = in[i] * static_cast<float>(s[i]);
  if (m < n) std::memset(out + m, 0, (n - m) * sizeof(float));

  fwht(out, n);

  const float f = 1.0f / std::sqrt(static_cast<float>(padded_dim_));
  for (size_t i = 0; i < n; ++i) out[i] *= f;
}

}  // namespace teskra
