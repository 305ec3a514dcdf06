// Variance profiling and the 4-bit/2-bit split derived from an average bit
// budget. The profile must describe exactly the coordinates the engine's own
// pipeline quantizes, so it is checked against transform_query bit for bit.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <limits>
#include <string>
#include <vector>

#include "core/error.h"
#include "core/quantize/pipeline.h"
#include "test_util.h"

namespace teskra {
namespace {

using namespace test_util;

// Around a mean of 0.5, so that sum/n matters.
Vectors samples(size_t n, size_t dim, float sd, uint32_t seed) {
  return random_vectors(n, dim, seed, sd, 0.5f);
}

TEST(OptimalN4Dims, WorkedValuesClampingAndRounding) {
  const struct {
    uint64_t padded;
    float avg_bits;
    uint64_t want;
  } cases[] = {
      {2048, 3.0f, 1024},
      {2048, 3.5f, 1536},
      {2048, 2.0f, 0},
      {2048, -kInf, 0},
      {2048, 4.0f, 2048},
      {2048, kInf, 2048},
      {2048, kNaN, 0},
      {128, 2.1f, 4},            // x = 6.39999390 -> 6 -> 4
      {1024, 3.3f, 664},         // x = 665.599976 -> 666 -> 664
      {1024, 2.0068359375f, 4},  // x = 3.5 exactly: rounds to 4 (truncation would give 0)
      {1, 4.0f, 0},
      {2, 3.0f, 0},
      // L = 2^64 in single precision: x saturates instead of wrapping.
      {UINT64_MAX, 4.0f, UINT64_MAX & ~uint64_t{3}},
  };
  for (const auto& c : cases)
    EXPECT_EQ(optimal_n4_dims(c.avg_bits, c.padded), c.want) << c.padded << " " << c.avg_bits;
}

// The reference: population variance in double of transform_query's output,
// which for Cosine and for an unfitted Dot pipeline is the profiled space.
Floats reference_profile(Metric metric, uint64_t dim, const Vectors& vs) {
  const QuantPipeline pipe = pipeline(dim, metric);
  const size_t p = static_cast<size_t>(pipe.padded_dim());
  std::vector<double> sum(p), sumsq(p);
  for (const Floats& v : vs) {
    const Floats t = pipe.transform_query(v);
    for (size_t j = 0; j < p; ++j) {
      sum[j] += t[j];
      sumsq[j] += double(t[j]) * t[j];
    }
  }
  Floats out(p);
  const double n = double(vs.size());
  for (size_t j = 0; j < p; ++j) out[j] = float(std::fmax(sumsq[j] / n - (sum[j] / n) * (sum[j] / n), 0.0));
  return out;
}

// Also where there is no spread (one sample, or one repeated), where
// sumsq/n - mean^2 may round just below zero and must be clamped.
TEST(ProfileVariance, MatchesTheEnginesOwnTransformAlsoWithoutSpreadAndErrors) {
  for (const auto& vs :
       {samples(40, 100, 1.0f, 7), samples(1, 100, 3.0f, 1), Vectors(5, samples(1, 100, 3.0f, 2)[0])}) {
    for (Metric m : kMetrics) {
      const Floats got = QuantPipeline::profile_variance(config(100, m), vs);
      const Floats want = reference_profile(m == Metric::Cosine ? Metric::Cosine : Metric::Dot, 100, vs);
      ASSERT_EQ(got.size(), 128u);
      for (size_t j = 0; j < got.size(); ++j)
        ASSERT_EQ(got[j], want[j]) << "metric " << int(m) << " at " << j;
    }
  }
  // Errors: emptiness first, before a rotation is built (this one could never be).
  const auto error = [](uint64_t dim, const Vectors& vs) {
    return error_of<TeskraError>([&] { QuantPipeline::profile_variance(config(dim, Metric::Cosine), vs); });
  };
  EXPECT_EQ(error(uint64_t{1} << 62, {}), TeskraError::empty_sample().message());
  // The first sample of the wrong length is the one named.
  EXPECT_EQ(error(8, {Floats(8, 1.0f), Floats(3, 1.0f), Floats(9, 1.0f)}),
            "dimension mismatch: expected 8, got 3");
}

}  // namespace
}  // namespace teskra
