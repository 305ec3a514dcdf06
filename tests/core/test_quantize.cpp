// Codebooks, the scalar quantizers, packing and the pipeline around them.
// Codes and tables are stored byte for byte in index files and exported raw,
// so these tests pin bit patterns, not approximate values.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <limits>
#include <numeric>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include "core/error.h"
#include "core/quantize/pipeline.h"
#include "core/quantize/scalar.h"
#include "core/quantize/tables.h"
#include "test_util.h"

namespace teskra {
namespace {

using Bytes = std::vector<uint8_t>;
using DimN4 = std::pair<uint64_t, uint64_t>;
constexpr float kDenorm = std::numeric_limits<float>::denorm_min();

using namespace test_util;
using test_util::bits;

// The quantizers as defined: the index of the first threshold the value is
// below, else the top code.
template <size_t N>
uint8_t chain(const std::array<float, N>& t, float x) {
  uint8_t k = 0;
  while (k < N && !(x < t[k])) ++k;
  return k;
}

template <size_t N>
std::array<uint32_t, N> bits(const std::array<float, N>& t) {
  return std::bit_cast<std::array<uint32_t, N>>(t);
}

TEST(Tables, ThresholdBitPatterns) {
  // The centroids, exported, are pinned by tests/python/reference.py.
  // The inner pair sits one ulp beyond the float midpoint 0.258221656.
  EXPECT_EQ(bits(THRESHOLDS_4BIT),
            (std::array<uint32_t, 15>{0xc019a6c3, 0xbfebf8da, 0xbfb7f42a, 0xbf8cb566, 0xbf4caf4c, 0xbf05bc40,
                                      0xbe8435a2, 0x00000000, 0x3e8435a2, 0x3f05bc40, 0x3f4caf4c, 0x3f8cb566,
                                      0x3fb7f42a, 0x3febf8da, 0x4019a6c3}));
  EXPECT_EQ(bits(THRESHOLDS_2BIT), (std::array<uint32_t, 3>{0xbf7b4a0f, 0, 0x3f7b4a0f}));
}

// With the threshold bits pinned above, the chain fixes every edge: a value
// equal to a threshold codes above it, NaN codes as the top code.
TEST(ScalarCodes, TheBranchFreeEncoderFollowsTheComparisonChain) {
  for (uint8_t k = 0; k < 16; ++k) EXPECT_EQ(code_4bit(CENTROIDS_4BIT[k]), k);
  for (uint8_t k = 0; k < 4; ++k) EXPECT_EQ(code_2bit(CENTROIDS_2BIT[k]), k);
  EXPECT_EQ(std::tuple(code_4bit(kNaN), code_4bit(-kNaN), code_2bit(kNaN)), std::tuple(15, 15, 3));
  // 200 ulps each side of every threshold, the special values, then random
  // bit patterns (NaNs, subnormals).
  Floats probes = {0.0f, -0.0f, kDenorm, -kDenorm, kInf, -kInf, kNaN, -kNaN};
  auto around = [&probes](float t) {
    float lo = t, hi = t;
    for (int i = 0; i < 200; ++i) {
      probes.insert(probes.end(), {lo, hi});
      lo = std::nextafter(lo, -kInf);
      hi = std::nextafter(hi, kInf);
    }
  };
  std::ranges::for_each(THRESHOLDS_4BIT, around);
  std::ranges::for_each(THRESHOLDS_2BIT, around);
  std::mt19937 rng(1);
  for (int i = 0; i < 20000; ++i) probes.push_back(std::bit_cast<float>(uint32_t(rng())));
  for (float x : probes) {
    ASSERT_EQ(code_4bit(x), chain(THRESHOLDS_4BIT, x)) << std::hex << bits(x);
    ASSERT_EQ(code_2bit(x), chain(THRESHOLDS_2BIT, x)) << std::hex << bits(x);
  }
}

TEST(Packing, ReferenceBytesAndPartialBytes) {
  EXPECT_EQ(encode_4bit(Floats{-3.0f, 0.1f, 2.5f, -0.3f}), (Bytes{0x80, 0x6F}));
  EXPECT_EQ(encode_2bit(Floats{-3.0f, 0.1f, 2.5f, -0.3f}), (Bytes{0x78}));
  // Empty slots of a partial byte stay zero (0.0 itself codes as 8 and 2).
  EXPECT_EQ(encode_4bit(Floats{0.0f, 0.0f, 3.0f}), (Bytes{0x88, 0x0F}));
  EXPECT_EQ(encode_2bit(Floats{0.0f, 0.0f, 9.0f, -9.0f, 0.0f}), (Bytes{0x3A, 0x02}));

  // Long vectors cross the encoder's chunks; the _into forms must overwrite
  // every byte of a dirty buffer and nothing after it.
  std::mt19937 rng(2);
  for (size_t n : {1u, 3u, 5u, 255u, 256u, 257u, 511u, 1001u, 2047u}) {
    const Floats v = random_vector(n, rng(), 1.2f);
    Bytes p4((n + 1) / 2 + 1, 0xFF), p2((n + 3) / 4 + 1, 0xFF);
    encode_4bit_into(v, p4.data());
    encode_2bit_into(v, p2.data());
    ASSERT_EQ(p4.back(), 0xFF) << n;
    ASSERT_EQ(p2.back(), 0xFF) << n;
    for (size_t i = 0; i < p4.size() * 2 - 2; ++i)
      ASSERT_EQ((p4[i / 2] >> (4 * (i % 2))) & 15, i < n ? chain(THRESHOLDS_4BIT, v[i]) : 0) << i;
    for (size_t i = 0; i < p2.size() * 4 - 4; ++i)
      ASSERT_EQ((p2[i / 4] >> (2 * (i % 4))) & 3, i < n ? chain(THRESHOLDS_2BIT, v[i]) : 0) << i;
  }
}

// The sizes of every layout: tests/python/test_api.py and the model test,
// against the engine's exports.
TEST(Pipeline, LayoutValidation) {
  // n4 must be P or a multiple of 4 up to P; the error names the set width.
  for (uint8_t width : {2, 4}) {
    for (auto [dim, n4] : {DimN4{100, 130}, {100, 30}, {100, 129}, {100, 2}, {100, 127}, {1, 2}, {2, 1}}) {
      EXPECT_EQ(error_of([&] { pipeline(dim, Metric::Cosine, n4, width); }),
                "invalid bit width: " + std::to_string(width) + " (must be 2 or 4)")
          << dim << "/" << n4;
    }
  }
}

TEST(Pipeline, PrepareInput) {
  // Cosine divides each element by the norm; multiplying by 1/norm would
  // differ on this data.
  const QuantPipeline cos = pipeline(384);
  std::mt19937 rng(1);
  const Floats x = random_vector(384, rng(), 3.0f);
  const float norm = std::sqrt(std::inner_product(x.begin(), x.end(), x.begin(), 0.0f));
  Floats want(x);
  for (float& v : want) v /= norm;
  EXPECT_EQ(bits_of(cos.prepare_input(x)), bits_of(want));

  // Zero, sub-floor (norm 6e-8 < 2^-23) and NaN norms pass through.
  const QuantPipeline c4 = pipeline(4);
  for (const Floats& v :
       {Floats(4, 0.0f), Floats{3e-8f, -3e-8f, 3e-8f, 3e-8f}, Floats{1.0f, kNaN, 2.0f, 0.0f}}) {
    EXPECT_EQ(bits_of(c4.prepare_input(v)), bits_of(v));
  }
  EXPECT_EQ(c4.prepare_input(Floats{2e-7f, 0.0f, 0.0f, 0.0f})[0], 1.0f);

  // Finite elements whose squares overflow: an infinite norm would zero the
  // vector; it must keep its direction at unit length.
  const QuantPipeline c8 = pipeline(8);
  const Floats big = {3e19f, -4e19f, 0.0f, 1e19f, 2e38f, -1e38f, 5.0f, 0.0f};
  const Floats u = c8.prepare_input(big);
  const double big_norm = std::sqrt(9e38 + 16e38 + 1e38 + 4e76 + 1e76 + 25.0);
  for (size_t i = 0; i < big.size(); ++i) EXPECT_NEAR(u[i], big[i] / big_norm, 1e-6) << i;

  // L2 standardizes only once fitted; input == mean gives exact zeros, which
  // code as 8. Dot ignores the parameters.
  QuantPipeline l2 = pipeline(4, Metric::L2), dot = pipeline(4, Metric::Dot);
  const Floats m = {1.0f, 2.0f, 3.0f, 4.0f};
  EXPECT_EQ(bits_of(l2.prepare_input(m)), bits_of(m));
  for (QuantPipeline* p : {&l2, &dot}) p->set_std_params({m, {0.5f, 2.0f, 4.0f, 8.0f}});
  EXPECT_EQ(bits_of(l2.prepare_input(m)), bits_of(Floats(4, 0.0f)));
  EXPECT_EQ(l2.encode(m), (Bytes{0x88, 0x88}));
  EXPECT_EQ(bits_of(l2.prepare_input(Floats{3.0f, 0.0f, 3.5f, -4.0f})),
            bits_of(Floats{1.0f, -4.0f, 2.0f, -64.0f}));
  EXPECT_EQ(bits_of(dot.prepare_input(m)), bits_of(m));
}

TEST(Pipeline, TransformAndEncode) {
  std::mt19937 rng(4);
  for (auto [dim, n4] :
       {DimN4{0, 0}, {1, 1}, {3, 0}, {100, 0}, {100, 36}, {100, 124}, {100, 128}, {1536, 1024}}) {
    const QuantPipeline p = pipeline(dim, Metric::Dot, n4);
    const Floats x = random_vector(dim, rng(), 10.0f);
    // Rotate, then scale by sqrtf(P) as a separate rounding.
    const Floats t = p.transform_query(x);
    Floats want = p.rotation().apply(x);
    for (float& v : want) v *= std::sqrt(float(p.padded_dim()));
    EXPECT_EQ(bits_of(t), bits_of(want)) << dim << "/" << n4;
    // The code is the 4-bit block then the 2-bit block of the transform.
    Bytes code = encode_4bit(std::span<const float>(t).first(n4));
    const Bytes tail = encode_2bit(std::span<const float>(t).subspan(n4));
    code.insert(code.end(), tail.begin(), tail.end());
    EXPECT_EQ(p.encode(x), code) << dim << "/" << n4;
    Floats scratch;
    code.push_back(0x5A);  // must survive: nothing is written past the code
    Bytes out(code.size(), 0x5A);
    p.encode_into(x, out.data(), scratch);
    EXPECT_EQ(out, code) << dim << "/" << n4;
  }
  // Cosine codes do not depend on the length (a power-of-two scale is exact).
  const QuantPipeline cos = pipeline(300, Metric::Cosine, 256);
  Floats x = random_vector(300, rng());
  const Bytes code = cos.encode(x);
  for (float& v : x) v *= 4.0f;
  EXPECT_EQ(cos.encode(x), code);
}

TEST(Pipeline, ComputeNormCountsEverySlot) {
  // Sum of squares in layout order, including the empty slots of a partial
  // last byte (P 1 and 2). A zero cosine vector must code to the innermost
  // centroids rather than through a division by zero.
  std::mt19937 rng(7);
  // (Small layouts, P up to 64, also in the model test against reference.py.)
  for (auto [dim, n4] : {DimN4{100, 36}, {100, 0}, {1536, 1024}, {1536, 2048}, {1, 0}}) {
    const QuantPipeline p = pipeline(dim, Metric::Cosine, n4);
    for (const Floats& x : {random_vector(dim, rng()), Floats(dim, 0.0f)}) {
      const Bytes code = p.encode(x);
      float s = 0.0f;
      auto add = [&s](float c) { s += c * c; };
      for (size_t i = 0; i < code.size(); ++i) {
        if (n4 != 0 && (p.n2_dims() == 0 || i < p.pb4())) {
          for (int sh : {0, 4}) add(CENTROIDS_4BIT[(code[i] >> sh) & 15]);
        } else {
          for (int sh : {0, 2, 4, 6}) add(CENTROIDS_2BIT[(code[i] >> sh) & 3]);
        }
      }
      const float norm = p.compute_norm(code.data());
      EXPECT_EQ(bits(norm), bits(std::sqrt(s))) << dim << "/" << n4;
      if (x[0] == 0.0f && p.padded_dim() >= 4) {
        const double c4 = 0.128395006, c2 = 0.452780008;
        const double want = std::sqrt(n4 * c4 * c4 + p.n2_dims() * c2 * c2);
        EXPECT_NEAR(norm, want, 1e-5 * want) << dim << "/" << n4;
      }
    }
  }
}

// score() splits the code into the 4-bit and 2-bit blocks (limits, offsets,
// s4 + s2); score_batch must equal it bit for bit through a pointer batch
// (scattered, shuffled) and a strided batch (codes behind a record header),
// and so must the multi-query batch, which splits the blocks for every query
// (the 2-bit block in pieces), for each query alone.
void check_scores(const QuantPipeline& p, std::mt19937& rng, size_t n) {
  const simd::KernelSet& k = simd::scalar_kernels();
  const size_t bytes = p.packed_bytes_per_vec(), n4 = p.n4_dims(), pb4 = p.pb4();
  const size_t header = 5, stride = header + bytes + 3;
  Bytes records(n * stride, 0xEE);
  std::vector<Bytes> codes(n);
  for (size_t i = 0; i < n; ++i) {
    codes[i] = p.encode(random_vector(p.dim(), rng()));
    std::copy(codes[i].begin(), codes[i].end(), records.begin() + i * stride + header);
  }
  const PreparedQuery pq = p.prepare_query(p.transform_query(random_vector(p.dim(), rng())));
  const float* q = pq.q.data();
  std::vector<const uint8_t*> ptrs(n);
  for (size_t i = 0; i < n; ++i) ptrs[i] = codes[i].data();
  std::shuffle(ptrs.begin(), ptrs.end(), rng);
  Floats out_ptr(n + 1, -7.0f), out_strided(n + 1, -7.0f);
  p.score_batch(pq, {.ptrs = ptrs.data(), .n = n}, out_ptr.data());
  const simd::CodeBatch strided{.base = records.data(), .stride = stride, .n = n, .offset = header};
  p.score_batch(pq, strided, out_strided.data());
  ASSERT_EQ(out_ptr[n], -7.0f);
  ASSERT_EQ(out_strided[n], -7.0f);
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* c = codes[i].data();
    const float s4 = n4 ? k.score_4bit(q, c, pb4, n4) : 0.0f;
    const float s2 = p.n2_dims() ? k.score_2bit(q + n4, p.n2_dims(), c + pb4, bytes - pb4) : 0.0f;
    const float want = !n4 ? s2 : !p.n2_dims() ? s4 : s4 + s2;
    ASSERT_EQ(bits(p.score(q, c)), bits(want)) << "P " << p.padded_dim() << " n4 " << n4;
    ASSERT_EQ(bits(out_strided[i]), bits(want)) << "strided, n4 " << n4;
    ASSERT_EQ(bits(out_ptr[i]), bits(p.score(q, ptrs[i]))) << "pointers, P " << p.padded_dim();
  }
  std::vector<PreparedQuery> pqs = {pq};
  while (pqs.size() < 7) pqs.push_back(p.prepare_query(p.transform_query(random_vector(p.dim(), rng()))));
  for (size_t nq : {1, 2, 7}) {
    Floats out(nq * (n + 1), -7.0f);
    p.score_batch_multi(std::span(pqs).first(nq), strided, out.data(), n + 1);
    for (size_t j = 0; j < nq; ++j) {
      for (size_t i = 0; i < n; ++i) {
        ASSERT_EQ(bits(out[j * (n + 1) + i]), bits(p.score(pqs[j].q.data(), codes[i].data())))
            << "P " << p.padded_dim() << " n4 " << n4 << " query " << j << " of " << nq;
      }
      ASSERT_EQ(out[j * (n + 1) + n], -7.0f);
    }
  }
}

// At every kernel level this CPU runs (a pipeline keeps the level active
// when it is made).
TEST(Pipeline, ScoreAndScoreBatchInEveryLayout) {
  const simd::KernelLevel start = simd::active_kernels().level;
  for (simd::KernelLevel level :
       {simd::KernelLevel::scalar, simd::KernelLevel::avx2, simd::KernelLevel::avx512}) {
    if (level > simd::best_kernel_level()) continue;
    SCOPED_TRACE(simd::set_kernel_level(level).name);
    std::mt19937 rng(10);
    for (uint64_t dim : {1, 2, 4, 8, 16, 32}) {
      for (uint64_t n4 = 0; n4 <= dim; ++n4)
        if (n4 == dim || n4 % 4 == 0) check_scores(pipeline(dim, Metric::Dot, n4), rng, 37);
    }
    // 300 codes: more than one 256-code piece of the mixed path, not a multiple.
    for (uint64_t n4 : {0, 24, 1024, 2048}) check_scores(pipeline(1536, Metric::Dot, n4), rng, 300);
  }
  simd::set_kernel_level(start);
}

}  // namespace
}  // namespace teskra
