#include "core/quantize/pipeline.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>

#include "core/error.h"
#include "core/quantize/scalar.h"
#include "core/quantize/tables.h"

namespace teskra {

namespace {

// Below this the norm of a Cosine input is treated as zero (single-precision
// machine epsilon, 2^-23): such a vector has no direction worth keeping.
constexpr float kNormFloor = 1.1920929e-7f;

// compute_norm adds c * c for each slot; squaring a table entry always
// rounds to the same float, so the squares are formed once.
constexpr std::array<float, 16> squares_4bit() {
  std::array<float, 16> s{};
  for (size_t k = 0; k < 16; ++k) s[k] = CENTROIDS_4BIT[k] * CENTROIDS_4BIT[k];
  return s;
}
constexpr std::array<float, 4> squares_2bit() {
  std::array<float, 4> s{};
  for (size_t k = 0; k < 4; ++k) s[k] = CENTROIDS_2BIT[k] * CENTROIDS_2BIT[k];
  return s;
}
constexpr std::array<float, 16> kSq4 = squares_4bit();
constexpr std::array<float, 4> kSq2 = squares_2bit();

inline float add_2bit_byte(float s, uint8_t b) {
  s += kSq2[b & 3];
  s += kSq2[(b >> 2) & 3];
  s += kSq2[(b >> 4) & 3];
  s += kSq2[(b >> 6) & 3];
  return s;
}

// The 2-bit half of a mixed batch is scored into this many results at a time
// on the stack and added onto the 4-bit half: no allocation per batch.
constexpr size_t kBatchChunk = 256;

simd::CodeBatch sub_batch(const simd::CodeBatch& codes, size_t start, size_t n) {
  simd::CodeBatch sub = codes;
  if (codes.ptrs != nullptr) {
    sub.ptrs = codes.ptrs + start;
  } else {
    sub.base = codes.base + start * codes.stride;
  }
  sub.n = n;
  return sub;
}

}  // namespace

QuantPipeline::QuantPipeline(const EngineConfig& config)
    : rotation_(config.dim, config.seed),
      n4_dims_(config.n4_dims),
      n2_dims_(0),
      pb4_(0),
      scale_(0.0f),
      metric_(config.metric),
      bit_width_(config.bit_width),
      kernels_(&simd::active_kernels()) {
  const uint64_t p = rotation_.padded_dim();
  // A 4-bit block that ends mid-byte would shift the 2-bit block off its
  // byte boundary, so a partial 4-bit block is only allowed when it is all
  // there is.
  if (n4_dims_ > p || (n4_dims_ != p && n4_dims_ % 4 != 0)) {
    throw TeskraError::invalid_bit_width(config.bit_width);
  }
  n2_dims_ = p - n4_dims_;
  pb4_ = (n4_dims_ + 1) / 2;
  scale_ = std::sqrt(static_cast<float>(p));
}

void QuantPipeline::set_std_params(StdParams params) { std_params_ = std::move(params); }

void QuantPipeline::normalize_into(std::span<const float> x, float* out) {
  const size_t n = x.size();
  const float* in = x.data();
  float sum = 0.0f;
  for (size_t i = 0; i < n; ++i) sum += in[i] * in[i];
  float norm = std::sqrt(sum);
  if (std::isinf(sum) && std::all_of(x.begin(), x.end(), [](float v) { return std::isfinite(v); })) {
    // The single-precision sum of squares overflowed although every
    // element is finite (elements around 1e19 and up). Dividing by an
    // infinite norm would flatten the vector to zeros and lose its
    // direction; the norm is taken in double precision instead, where it
    // cannot overflow, and the division is done there too, because the
    // norm itself may exceed the float range.
    double sum_d = 0.0;
    for (size_t i = 0; i < n; ++i) sum_d += static_cast<double>(in[i]) * in[i];
    const double norm_d = std::sqrt(sum_d);
    for (size_t i = 0; i < n; ++i) out[i] = static_cast<float>(in[i] / norm_d);
    return;
  }
  if (norm > kNormFloor) {
    for (size_t i = 0; i < n; ++i) out[i] = in[i] / norm;
  } else if (out != in) {
    std::copy(in, in + n, out);
  }
}

size_t QuantPipeline::prepare_into(std::span<const float> x, float* out) const {
  const size_t n = x.size();
  const float* in = x.data();
  if (metric_ == Metric::Cosine) {
    normalize_into(x, out);
    return n;
  }
  if (metric_ != Metric::Dot && std_params_.has_value()) {
    const float* mean = std_params_->mean.data();
    const float* inv_std = std_params_->inv_std.data();
    const size_t m = std::min({n, std_params_->mean.size(), std_params_->inv_std.size()});
    for (size_t i = 0; i < m; ++i) out[i] = (in[i] - mean[i]) * inv_std[i];
    return m;
  }
  if (out != in) std::copy(in, in + n, out);
  return n;
}

std::vector<float> QuantPipeline::prepare_input(std::span<const float> x) const {
  std::vector<float> out(x.size());
  out.resize(prepare_into(x, out.data()));
  return out;
}

void QuantPipeline::transform_into(std::span<const float> x, float* buf) const {
  const size_t m = prepare_into(x, buf);
  rotation_.apply_into(std::span<const float>(buf, m), buf);
  const size_t p = static_cast<size_t>(padded_dim());
  const float s = scale_;
  // A separate multiply after the rotation's own 1/sqrt(P): for odd powers
  // of two sqrt(P) is inexact and stored codes depend on both roundings.
  for (size_t i = 0; i < p; ++i) buf[i] *= s;
}

std::vector<float> QuantPipeline::transform_query(std::span<const float> x) const {
  const size_t p = static_cast<size_t>(padded_dim());
  std::vector<float> out(std::max(p, x.size()));
  transform_into(x, out.data());
  out.resize(p);
  return out;
}

std::vector<uint8_t> QuantPipeline::encode(std::span<const float> x) const {
  std::vector<uint8_t> out(static_cast<size_t>(packed_bytes_per_vec()));
  std::vector<float> scratch;
  encode_into(x, out.data(), scratch);
  return out;
}

void QuantPipeline::encode_into(std::span<const float> x, uint8_t* out, std::vector<float>& scratch) const {
  const size_t p = static_cast<size_t>(padded_dim());
  const size_t need = std::max(p, x.size());
  if (scratch.size() < need) scratch.resize(need);
  transform_into(x, scratch.data());
  pack_into(std::span<const float>(scratch.data(), p), out);
}

void QuantPipeline::pack_into(std::span<const float> transformed, uint8_t* out) const {
  const size_t n4 = static_cast<size_t>(n4_dims_);
  if (n4 == 0) {
    encode_2bit_into(transformed, out);
  } else if (n2_dims_ == 0) {
    encode_4bit_into(transformed, out);
  } else {
    encode_4bit_into(transformed.first(n4), out);
    encode_2bit_into(transformed.subspan(n4), out + pb4_);
  }
}

float QuantPipeline::compute_norm(const uint8_t* code) const {
  const size_t bytes = static_cast<size_t>(packed_bytes_per_vec());
  float s = 0.0f;
  size_t i = 0;
  if (n4_dims_ != 0) {
    // Pure 4-bit covers every byte; mixed only the first pb4.
    const size_t end4 = n2_dims_ == 0 ? bytes : static_cast<size_t>(pb4_);
    for (; i < end4; ++i) {
      s += kSq4[code[i] & 15];
      s += kSq4[code[i] >> 4];
    }
  }
  for (; i < bytes; ++i) s = add_2bit_byte(s, code[i]);
  return std::sqrt(s);
}

void QuantPipeline::dequantize_into(const uint8_t* code, float* out) const {
  const size_t n4 = static_cast<size_t>(n4_dims_);
  const size_t n2 = static_cast<size_t>(n2_dims_);
  for (size_t c = 0; c < n4; ++c) {
    out[c] = CENTROIDS_4BIT[(code[c / 2] >> (4 * (c & 1))) & 15];
  }
  const uint8_t* block2 = code + pb4_;
  for (size_t c = 0; c < n2; ++c) {
    out[n4 + c] = CENTROIDS_2BIT[(block2[c / 4] >> (2 * (c & 3))) & 3];
  }
}

float QuantPipeline::score(const float* q, const uint8_t* code) const {
  const size_t p = static_cast<size_t>(padded_dim());
  const size_t bytes = static_cast<size_t>(packed_bytes_per_vec());
  if (n4_dims_ == 0) return kernels_->score_2bit(q, p, code, bytes);
  if (n2_dims_ == 0) return kernels_->score_4bit(q, code, bytes, p);
  const size_t n4 = static_cast<size_t>(n4_dims_);
  const size_t pb4 = static_cast<size_t>(pb4_);
  const float s4 = kernels_->score_4bit(q, code, pb4, n4);
  const float s2 = kernels_->score_2bit(q + n4, static_cast<size_t>(n2_dims_), code + pb4, bytes - pb4);
  return s4 + s2;
}

PreparedQuery QuantPipeline::prepare_query(std::vector<float> transformed) const {
  PreparedQuery pq;
  pq.q = std::move(transformed);
  if (n2_dims_ != 0) {
    pq.two_bit = simd::TwoBitQuery::from(pq.q.data() + n4_dims_, static_cast<size_t>(n2_dims_));
  }
  return pq;
}

void QuantPipeline::score_batch(const PreparedQuery& pq, const simd::CodeBatch& codes, float* out) const {
  if (codes.n == 0) return;
  const size_t p = static_cast<size_t>(padded_dim());
  const size_t bytes = static_cast<size_t>(packed_bytes_per_vec());
  if (n4_dims_ == 0) {
    kernels_->score_2bit_batch(pq.two_bit, codes, bytes, out);
    return;
  }
  if (n2_dims_ == 0) {
    kernels_->score_4bit_batch(pq.q.data(), codes, bytes, p, out);
    return;
  }
  const size_t pb4 = static_cast<size_t>(pb4_);
  kernels_->score_4bit_batch(pq.q.data(), codes, pb4, static_cast<size_t>(n4_dims_), out);
  float s2[kBatchChunk];
  for (size_t start = 0; start < codes.n; start += kBatchChunk) {
    const size_t len = std::min(kBatchChunk, codes.n - start);
    simd::CodeBatch part = sub_batch(codes, start, len);
    part.offset += pb4;
    kernels_->score_2bit_batch(pq.two_bit, part, bytes - pb4, s2);
    // s4 + s2, the same single rounding as score().
    for (size_t i = 0; i < len; ++i) out[start + i] = out[start + i] + s2[i];
  }
}

void QuantPipeline::score_batch_multi(std::span<const PreparedQuery> pqs, const simd::CodeBatch& codes,
                                      float* out, size_t out_stride) const {
  const size_t nq = pqs.size();
  if (codes.n == 0 || nq == 0) return;
  if (nq == 1) {
    score_batch(pqs[0], codes, out);
    return;
  }
  const size_t p = static_cast<size_t>(padded_dim());
  const size_t bytes = static_cast<size_t>(packed_bytes_per_vec());
  std::vector<const float*> qs(nq);
  std::vector<const simd::TwoBitQuery*> tqs(nq);
  for (size_t j = 0; j < nq; ++j) {
    qs[j] = pqs[j].q.data();
    tqs[j] = &pqs[j].two_bit;
  }
  if (n4_dims_ == 0) {
    kernels_->score_2bit_multi(tqs.data(), nq, codes, bytes, out, out_stride);
    return;
  }
  if (n2_dims_ == 0) {
    kernels_->score_4bit_multi(qs.data(), nq, codes, bytes, p, out, out_stride);
    return;
  }
  const size_t pb4 = static_cast<size_t>(pb4_);
  kernels_->score_4bit_multi(qs.data(), nq, codes, pb4, static_cast<size_t>(n4_dims_), out, out_stride);
  std::vector<float> s2(nq * kBatchChunk);
  for (size_t start = 0; start < codes.n; start += kBatchChunk) {
    const size_t len = std::min(kBatchChunk, codes.n - start);
    simd::CodeBatch part = sub_batch(codes, start, len);
    part.offset += pb4;
    kernels_->score_2bit_multi(tqs.data(), nq, part, bytes - pb4, s2.data(), kBatchChunk);
    // s4 + s2, the same single rounding as score().
    for (size_t j = 0; j < nq; ++j) {
      float* o = out + j * out_stride + start;
      const float* t = s2.data() + j * kBatchChunk;
      for (size_t i = 0; i < len; ++i) o[i] = o[i] + t[i];
    }
  }
}

}  // namespace teskra
