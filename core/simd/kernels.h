// Scoring kernels: the inner product of a transformed query with a packed
// code, each code dequantized through its codebook on the fly.
//
// Every kernel set returns the bits of the scalar reference:
//  - 4-bit: four 4-lane accumulators A0..A3; each whole chunk of 8 code bytes
//    (16 coordinates, nibbles in coordinate order) adds c(code) * q lane-wise
//    with a fused multiply-add, A0 taking coordinates 0..3 of the chunk, A1
//    4..7, A2 8..11, A3 12..15. Reduce V = (A3 + A2) + (A1 + A0), then
//    s = (V0 + V1) + (V2 + V3). The remaining (< 8) bytes add their products
//    one by one, rounded before adding: low nibble, then the high nibble only
//    while its coordinate is below `limit`.
//  - 2-bit: one running sum, s += q[i] * d(code i) for every coordinate in
//    order, each product rounded before it is added. Slots with no query value
//    behind them (padded dimension below 4) add nothing and are never read.
//
// The batch forms score many codes against one query with the same per-code
// summation order, so each result is bit-identical to the one-code kernel.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

namespace teskra::simd {

// n codes, code i starting at (ptrs ? ptrs[i] : base + i * stride) + offset.
struct CodeBatch {
  const uint8_t* base = nullptr;
  size_t stride = 0;
  const uint8_t* const* ptrs = nullptr;
  size_t n = 0;
  size_t offset = 0;

  const uint8_t* code(size_t i) const {
    return (ptrs ? ptrs[i] : base + i * stride) + offset;
  }
};

// Per-query table for the 2-bit kernels: products[4 * i + k] is the rounded
// product q[i] * CENTROIDS_2BIT[k] for each of the n query values. Every
// 2-bit sum adds exactly these products, so batch kernels look them up.
struct TwoBitQuery {
  std::vector<float> products;
  size_t n = 0;  // query values

  static TwoBitQuery from(const float* q, size_t n);
};

struct KernelSet {
  const char* name;

  // code_bytes bytes of 4-bit codes; q holds at least min(2 * code_bytes,
  // limit) values.
  float (*score_4bit)(const float* q, const uint8_t* code, size_t code_bytes, size_t limit);
  // code_bytes bytes of 2-bit codes against q[0..q_len).
  float (*score_2bit)(const float* q, size_t q_len, const uint8_t* code, size_t code_bytes);

  // out[i] = score_4bit(q, codes.code(i), code_bytes, limit) for i < codes.n.
  void (*score_4bit_batch)(const float* q, const CodeBatch& codes, size_t code_bytes,
                           size_t limit, float* out);
  // out[i] = score_2bit(q, tq.n, codes.code(i), code_bytes) for i < codes.n.
  void (*score_2bit_batch)(const TwoBitQuery& tq, const CodeBatch& codes, size_t code_bytes,
                           float* out);
};

// The portable reference; always available.
const KernelSet& scalar_kernels();
// The best set this CPU supports, chosen once at load time.
const KernelSet& active_kernels();
// Every set this build has and this CPU supports, scalar first.
std::vector<const KernelSet*> available_kernels();

}  // namespace teskra::simd
