// QuantPipeline: the one road every stored vector and every query takes.
//   vector: prepare_input -> rotation -> x scale -> quantize + pack (encode)
//   query:  prepare_input -> rotation -> x scale (transform_query)
// prepare_input normalizes for Cosine and standardizes for L2 once fitted.
// scale = sqrtf((float)P) brings the coordinates of a unit input close to
// standard normal, the distribution the codebooks are built for.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "core/quantize/rotation.h"
#include "core/simd/kernels.h"
#include "core/types.h"

namespace teskra {

// Standardization: out[i] = (x[i] - mean[i]) * inv_std[i].
struct StdParams {
  std::vector<float> mean;     // dim entries
  std::vector<float> inv_std;  // dim entries: reciprocal deviations
};

// A transformed query with the per-query tables the batch kernels use.
struct PreparedQuery {
  std::vector<float> q;       // padded_dim values (transform_query output)
  simd::TwoBitQuery two_bit;  // for the 2-bit block, when there is one
};

class QuantPipeline {
 public:
  // Reads dim, n4_dims, seed, metric and bit_width. Throws
  // TeskraError::invalid_bit_width(config.bit_width) unless n4_dims <= P and
  // (n4_dims == P or n4_dims % 4 == 0).
  explicit QuantPipeline(const EngineConfig& config);

  uint64_t dim() const { return rotation_.dim(); }
  uint64_t padded_dim() const { return rotation_.padded_dim(); }
  uint64_t n4_dims() const { return n4_dims_; }
  uint64_t n2_dims() const { return n2_dims_; }
  uint64_t pb4() const { return pb4_; }
  uint64_t packed_bytes_per_vec() const { return pb4_ + (n2_dims_ + 3) / 4; }
  float scale() const { return scale_; }
  Metric metric() const { return metric_; }
  uint8_t bit_width() const { return bit_width_; }
  const Rhdh& rotation() const { return rotation_; }
  const std::optional<StdParams>& std_params() const { return std_params_; }

  void set_std_params(StdParams params);

  // Cosine: divide each element by the norm (sqrt of the index-order sum of
  // squares) when it exceeds 2^-23; else unchanged. Not Dot and std params
  // present: standardized over min(len(x), len(mean), len(inv_std)) entries.
  // Otherwise an unchanged copy.
  std::vector<float> prepare_input(std::span<const float> x) const;
  // padded_dim values: rotation of prepare_input(x), then each times scale.
  std::vector<float> transform_query(std::span<const float> x) const;
  // packed_bytes_per_vec bytes.
  std::vector<uint8_t> encode(std::span<const float> x) const;
  // Encodes x into out (packed_bytes_per_vec bytes); scratch is reused
  // between calls to avoid allocations. On return scratch holds at least
  // padded_dim values, the first padded_dim of which are transform_query(x):
  // the engine keeps that form for index construction without recomputing.
  void encode_into(std::span<const float> x, uint8_t* out, std::vector<float>& scratch) const;
  // Packs an already transformed vector (padded_dim values) into out.
  void pack_into(std::span<const float> transformed, uint8_t* out) const;
  // Euclidean norm of the dequantized code in the scaled space, summed in
  // layout order (every slot of every byte counts).
  float compute_norm(const uint8_t* code) const;
  // The dequantized vector of a code: padded_dim centroid values, the 4-bit
  // block's coordinates first, then the 2-bit block's. out holds padded_dim
  // values. Search never needs this; graph construction falls back to it for
  // nodes whose float vectors are gone.
  void dequantize_into(const uint8_t* code, float* out) const;

  // Raw inner product of a transformed query with one code.
  float score(const float* q, const uint8_t* code) const;
  // Builds the tables for score_batch from a transform_query output.
  PreparedQuery prepare_query(std::vector<float> transformed) const;
  // out[i] = score(pq.q, codes.code(i)) for every code of the batch, bit for
  // bit, through the active kernel set.
  void score_batch(const PreparedQuery& pq, const simd::CodeBatch& codes, float* out) const;
  // score_batch for several queries in one pass over the codes: out[j *
  // out_stride + i] = score(pqs[j].q, codes.code(i)), bit for bit.
  void score_batch_multi(std::span<const PreparedQuery> pqs, const simd::CodeBatch& codes, float* out,
                         size_t out_stride) const;

  // The variance of every padded coordinate, in the rotated and scaled space
  // codes are taken in, over a sample (population variance, clamped at 0;
  // sums in double precision). Uses config's dim, seed and metric only:
  // Cosine samples are normalized as prepare_input does; standardization is
  // never applied. Throws EmptySample for no samples, then DimensionMismatch
  // for the first sample whose length is not dim. padded_dim values.
  static std::vector<float> profile_variance(const EngineConfig& config,
                                             std::span<const std::vector<float>> samples);

 private:
  // prepare_input's Cosine step: x divided by its norm into out (x.size()
  // values; may be x itself). Shared with profile_variance so that a profile
  // sees exactly the vectors the engine encodes.
  static void normalize_into(std::span<const float> x, float* out);
  // prepare_input into out (room for x.size() values; may be x itself);
  // returns the number of values written.
  size_t prepare_into(std::span<const float> x, float* out) const;
  // transform_query into buf, which holds max(padded_dim, x.size()) values;
  // the result is buf[0..padded_dim).
  void transform_into(std::span<const float> x, float* buf) const;

  Rhdh rotation_;
  std::optional<StdParams> std_params_;
  uint64_t n4_dims_;
  uint64_t n2_dims_;
  uint64_t pb4_;
  float scale_;
  Metric metric_;
  uint8_t bit_width_;
  const simd::KernelSet* kernels_;
};

// The n4_dims for which a padded_dim-wide layout averages avg_bits per
// coordinate: ((a - 2) * L) * 0.5 in single precision with a = avg_bits
// clamped to [2, 4] and L = padded_dim, rounded half away from zero,
// saturated into u64 (NaN gives 0), then rounded down to a multiple of 4 so
// the constructor accepts it unchanged.
uint64_t optimal_n4_dims(float avg_bits, uint64_t padded_dim);

}  // namespace teskra
