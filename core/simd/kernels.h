// The compute kernels and the one dispatcher that picks them.
//
// A KernelSet holds every kernel family for one instruction-set level:
// scalar (baseline x86-64, or plain C++ elsewhere), AVX2 (+ FMA) and AVX-512
// (F/BW/VL/DQ). Every level returns the bits of the scalar set for every
// input, so the level only changes speed; the scalar set is the reference
// the others are tested against. (A NaN result is a NaN at every level, but
// its sign and payload may differ: they depend on which operand of an add the
// compiler puts first.)
//
// Packed codes: the inner product of a transformed query with a code, each
// coordinate dequantized through its codebook on the fly.
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
//  A code mixing both widths is a 4-bit block followed by a 2-bit block,
//  scored by the two kernels (the 2-bit batch through CodeBatch::offset).
//  The batch forms score many codes against one query with the same per-code
//  summation order, so each result is bit-identical to the one-code kernel.
//  The multi forms score a batch against several queries: each block of codes
//  is decoded once and accumulated into every query's sums, each (query,
//  code) sum in the one-code kernel's order, so again bit for bit the same.
//
// Centroid panel: dot products of rows with a fixed set of centroids stored
// coordinate-major, each the plain loop
//     s = 0.0f;  for i in 0 .. dim-1:  s = s + v[i] * c[i]
// with every product rounded before it is added.
//
// Float dot: a . b over n floats summed over 8 lanes (element i feeds lane
// i % 8, in index order), each product rounded before it is added; the lanes
// are then combined as (j, j + 4), then (0 + 2) + (1 + 3), and the last n % 8
// products, added one by one to a sum of their own, come last.
//
// Choosing the level: the best one this build and CPU support, asked once at
// first use. The environment variable TESKRA_KERNELS=scalar|avx2|avx512, read
// at that first use, caps it: a level above what this CPU (or a build without
// the SIMD kernels) supports falls back to the best supported one below it.
// Any other value, an empty one included, is ignored.
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

  const uint8_t* code(size_t i) const { return (ptrs ? ptrs[i] : base + i * stride) + offset; }
};

// Per-query table for the 2-bit kernels: products[4 * i + k] is the rounded
// product q[i] * CENTROIDS_2BIT[k] for each of the n query values. Every
// 2-bit sum adds exactly these products, so batch kernels look them up.
struct TwoBitQuery {
  std::vector<float> products;
  size_t n = 0;  // query values

  static TwoBitQuery from(const float* q, size_t n);
};

// Ordered: a level can run every level below it.
enum class KernelLevel : uint8_t { scalar, avx2, avx512 };

struct KernelSet {
  const char* name;  // "scalar", "avx2", "avx512": the TESKRA_KERNELS values
  KernelLevel level;

  // ---- packed codes
  // code_bytes bytes of 4-bit codes; q holds at least min(2 * code_bytes,
  // limit) values. A limit below 2 * code_bytes (an odd padded dimension,
  // so 1) must not fall inside a whole chunk.
  float (*score_4bit)(const float* q, const uint8_t* code, size_t code_bytes, size_t limit);
  // code_bytes bytes of 2-bit codes against q[0..q_len).
  float (*score_2bit)(const float* q, size_t q_len, const uint8_t* code, size_t code_bytes);
  // out[i] = score_4bit(q, codes.code(i), code_bytes, limit) for i < codes.n.
  void (*score_4bit_batch)(const float* q, const CodeBatch& codes, size_t code_bytes, size_t limit,
                           float* out);
  // out[i] = score_2bit(q, tq.n, codes.code(i), code_bytes) for i < codes.n.
  void (*score_2bit_batch)(const TwoBitQuery& tq, const CodeBatch& codes, size_t code_bytes, float* out);
  // out[j * out_stride + i] = score_4bit(qs[j], codes.code(i), code_bytes,
  // limit) for j < nq, i < codes.n.
  void (*score_4bit_multi)(const float* const* qs, size_t nq, const CodeBatch& codes, size_t code_bytes,
                           size_t limit, float* out, size_t out_stride);
  // out[j * out_stride + i] = score_2bit(.., codes.code(i), code_bytes) for
  // query j (tqs[j]) for j < nq, i < codes.n. Every table has the same n.
  void (*score_2bit_multi)(const TwoBitQuery* const* tqs, size_t nq, const CodeBatch& codes,
                           size_t code_bytes, float* out, size_t out_stride);

  // ---- centroid panel
  // out[r * kpad + c] = dot(rows[r], centroid c) for r < n_rows, c < kpad.
  // panel is dim x kpad, panel[i * kpad + c] coordinate i of centroid c;
  // kpad is a multiple of 64 (no kernel has a column tail), and a panel on
  // a 64-byte boundary keeps every vector load within one cache line. Each
  // rows[r] points at dim floats; rows need not be contiguous.
  void (*panel_dots)(const float* const* rows, size_t n_rows, const float* panel, size_t kpad, size_t dim,
                     float* out);

  // ---- float dot
  float (*float_dot)(const float* a, const float* b, size_t n);
  // out[r] = float_dot(q, rows[r], n) for r < count; reads several rows side
  // by side, which keeps several memory streams in flight.
  void (*float_dot_rows)(const float* q, const float* const* rows, size_t count, size_t n, float* out);
};

// The reference set; always available.
const KernelSet& scalar_kernels();
// The set in use, chosen at first use as described above.
const KernelSet& active_kernels();
// The best level this build and CPU support, whatever TESKRA_KERNELS says.
KernelLevel best_kernel_level();
// Makes `level` active (the best supported one below it when this CPU lacks
// it) and returns the set now active: for tests and benchmarks that run every
// level in one process. Safe while other threads score: a call already under
// way finishes with the set it started with, and so does an object that kept
// one (a QuantPipeline keeps the set active when it was built).
const KernelSet& set_kernel_level(KernelLevel level);

}  // namespace teskra::simd
