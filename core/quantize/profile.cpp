// Variance profiling and the 4-bit/2-bit split: tools for choosing a mixed
// layout before an index is built. Neither touches an engine.
#include <algorithm>
#include <cmath>

#include "core/error.h"
#include "core/quantize/pipeline.h"

namespace teskra {

std::vector<float> QuantPipeline::profile_variance(const EngineConfig& config,
                                                   std::span<const std::vector<float>> samples) {
  if (samples.empty()) throw TeskraError::empty_sample();
  // Its own rotation from the same (dim, seed) as the engine's pipeline, so
  // the profile describes the coordinates the engine's codes are taken of.
  const Rhdh rotation(config.dim, config.seed);
  const size_t p = static_cast<size_t>(rotation.padded_dim());
  const size_t dim = static_cast<size_t>(config.dim);
  const float scale = std::sqrt(static_cast<float>(p));
  const bool cosine = config.metric == Metric::Cosine;

  // Double sums: over hundreds of samples single precision would lose the
  // small differences between sumsq/n and mean^2 that the variance is.
  std::vector<double> sum(p, 0.0);
  std::vector<double> sumsq(p, 0.0);
  std::vector<float> buf(std::max(p, dim));
  for (const std::vector<float>& sample : samples) {
    if (sample.size() != dim) throw TeskraError::dimension_mismatch(config.dim, sample.size());
    if (cosine) {
      normalize_into(sample, buf.data());
    } else {
      std::copy(sample.begin(), sample.end(), buf.begin());
    }
    rotation.apply_into(std::span<const float>(buf.data(), dim), buf.data());
    for (size_t j = 0; j < p; ++j) {
      // The scaled coordinate exactly as encoding forms it (a float
      // product), widened only for accumulation.
      const double v = static_cast<double>(scale * buf[j]);
      sum[j] += v;
      sumsq[j] += v * v;
    }
  }

  const double n = static_cast<double>(samples.size());
  std::vector<float> variance(p);
  for (size_t j = 0; j < p; ++j) {
    const double mean = sum[j] / n;
    // sumsq/n - mean^2 can come out a hair below zero for a coordinate that
    // does not vary; fmax also turns the NaN of a non-finite sample into 0.
    variance[j] = static_cast<float>(std::fmax(sumsq[j] / n - mean * mean, 0.0));
  }
  return variance;
}

uint64_t optimal_n4_dims(float avg_bits, uint64_t padded_dim) {
  float a = avg_bits;
  if (a < 2.0f) a = 2.0f;  // NaN fails both tests and stays NaN
  if (a > 4.0f) a = 4.0f;
  const float x = ((a - 2.0f) * static_cast<float>(padded_dim)) * 0.5f;
  const uint64_t n = round_to_count(x);
  return n & ~uint64_t{3};
}

}  // namespace teskra
