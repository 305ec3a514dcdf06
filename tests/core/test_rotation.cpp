// Stored codes stay meaningful only while the signs and the transform stay
// exactly as written: pin the signs to reference strings and the fast
// transform to the textbook loop, bit for bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <limits>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "core/quantize/rotation.h"
#include "core/types.h"
#include "test_util.h"

namespace teskra {
namespace {

constexpr uint64_t kSeed = kDefaultSeed;
using test_util::bits_of;
using test_util::Floats;

std::string sign_string(const Rhdh& r, size_t from, size_t to) {
  std::string s;
  for (size_t i = from; i < to; ++i) s += std::string(i > from ? " " : "") + "+-"[r.signs()[i] < 0];
  return s;
}

// Sign multiply into a zero-padded buffer, the plain Sylvester-order
// butterfly, one multiply by 1 / sqrtf(P). The engine regroups the passes;
// the bits must not change.
Floats textbook_apply(const Rhdh& r, const Floats& x) {
  const size_t n = r.padded_dim();
  Floats y(n, 0.0f);
  for (size_t i = 0; i < x.size() && i < n; ++i) y[i] = x[i] * float(r.signs()[i]);
  for (size_t h = 1; h < n; h *= 2)
    for (size_t i = 0; i < n; i += 2 * h)
      for (size_t j = i; j < i + h; ++j) {
        const float a = y[j], b = y[j + h];
        y[j] = a + b;
        y[j + h] = a - b;
      }
  const float f = 1.0f / std::sqrt(static_cast<float>(n));
  for (float& v : y) v *= f;
  return y;
}

TEST(Rhdh, PaddedDimsAndUnallocatableDims) {
  const std::pair<uint64_t, uint64_t> cases[] = {{0, 1},     {1, 1},     {2, 2},       {3, 4},      {5, 8},
                                                 {100, 128}, {128, 128}, {1025, 2048}, {1536, 2048}};
  for (auto [dim, padded] : cases) {
    const Rhdh r(dim, kSeed);
    EXPECT_EQ(r.padded_dim(), padded) << dim;
    EXPECT_EQ(r.signs().size(), padded) << dim;
  }
  // Saturates instead of wrapping, so a huge dim cannot look small.
  const uint64_t top = uint64_t{1} << 63;
  EXPECT_EQ(padded_dim_for(top + 1), top);
  EXPECT_EQ(padded_dim_for(std::numeric_limits<uint64_t>::max()), top);
  // Reported as an allocation failure (MemoryError in Python), not a crash.
  for (uint64_t dim : {std::numeric_limits<uint64_t>::max(), top + 1, (uint64_t{1} << 40) + 1})
    EXPECT_THROW(Rhdh(dim, kSeed), std::bad_alloc) << dim;
}

TEST(Rhdh, ReferenceSignStringsAndKeystream) {
  const Rhdh r64(64, kSeed);
  EXPECT_EQ(sign_string(r64, 0, 32), "- + - + + + + - - + - + - - - + - - + + - - - - - - + - + - - +");
  EXPECT_EQ(sign_string(r64, 32, 64), "- + + + + + - + + + + + + - + - - + + - + - + + - - - + + - + -");
  EXPECT_EQ(sign_string(Rhdh(16, 0), 0, 16), "+ + + + + - + - + - + + + - + -");
  EXPECT_EQ(sign_string(Rhdh(16, 1), 0, 16), "+ - + - + + - - + + - + + + + -");
  // One keystream word per sign: a longer rotation extends a shorter one.
  const Rhdh big(4096, kSeed);
  for (uint64_t dim : {1, 3, 17, 100, 1000}) {
    const Rhdh small(dim, kSeed);
    EXPECT_TRUE(std::equal(small.signs().begin(), small.signs().end(), big.signs().begin())) << dim;
  }
  // The keystream: with a zero nonce and a counter below 2^32 the
  // 64-bit-counter layout equals the IETF one, so the published all-zero-key
  // vector applies. Later blocks are pinned by the reference signs 17..64.
  EXPECT_EQ(rhdh_detail::chacha20_block(std::array<uint32_t, 8>{}, 0),
            (std::array<uint32_t, 16>{0xade0b876, 0x903df1a0, 0xe56a5d40, 0x28bd8653, 0xb819d2bd, 0x1aed8da0,
                                      0xccef36a8, 0xc70d778b, 0x7c5941da, 0x8d485751, 0x3fe02477, 0x374ad8b8,
                                      0xf4b8436a, 0x1ca11815, 0x69b687c3, 0x8665eeb2}));
  // The counter's high word must reach state word 13.
  const auto key = rhdh_detail::expand_key(kSeed);
  EXPECT_NE(rhdh_detail::chacha20_block(key, 5), rhdh_detail::chacha20_block(key, 5 + (uint64_t{1} << 32)));
}

TEST(Rhdh, ApplyMatchesTextbookLoopAndPreservesNorm) {
  std::mt19937 rng(7);
  std::normal_distribution<float> normal(0.0f, 3.0f);
  // Signed zeros, subnormals and one near-overflow value take the same adds.
  const float den = std::numeric_limits<float>::denorm_min();
  const float edge_values[] = {-0.0f, 0.0f, -1.5f, 1e-30f};
  for (uint64_t dim : {0, 1, 2, 3, 5, 9, 16, 33, 100, 256, 384, 768, 1024, 1536, 4096, 8192}) {
    const Rhdh r(dim, kSeed ^ dim);
    Floats x(dim), odd(dim);
    double in_sq = 0.0, out_sq = 0.0;
    for (size_t i = 0; i < dim; ++i) {
      x[i] = normal(rng);
      in_sq += double{x[i]} * x[i];
      odd[i] = i == 2 ? 3.0e38f : i % 5 == 4 ? den * float(i) : edge_values[i % 4];
    }
    const Floats out = r.apply(x);
    EXPECT_EQ(bits_of(out), bits_of(textbook_apply(r, x))) << dim;
    EXPECT_EQ(bits_of(r.apply(odd)), bits_of(textbook_apply(r, odd))) << dim;
    for (float v : out) out_sq += double{v} * v;
    EXPECT_NEAR(std::sqrt(out_sq), std::sqrt(in_sq), 1e-5 * std::sqrt(in_sq)) << dim;
  }
}

}  // namespace
}  // namespace teskra
