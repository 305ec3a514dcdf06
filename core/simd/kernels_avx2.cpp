// AVX2 + FMA kernels. Same sums, same order, same bits as the scalar
// reference.
//
// 4-bit: two ymm registers hold the accumulators as (A0, A1) and (A2, A3).
// The 16-entry codebook is two 8-entry vpermps (entries 0..7 and 8..15) and a
// blend on bit 3 of the nibble.
//
// 2-bit: one code is a single chain of rounded adds, so the batch form gives
// every code its own lane; see two_bit_lanes.inc.
//
// The helpers these kernels share with the AVX-512 ones are in
// packed_helpers.inc.
//
// The ISA is enabled per function below the includes, never on the command
// line, so no inline library code is compiled for AVX2 and merged into code
// that runs on older CPUs; nothing inside the target region calls library
// templates.

// GCC 12's intrinsic headers build their "undefined" vectors by
// self-initialization (__Y = __Y), which the uninitialized-use warnings flag
// once the intrinsics are inlined into these kernels.
#pragma GCC diagnostic ignored "-Wuninitialized"
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"

#include <immintrin.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/simd/codebooks.h"
#include "core/simd/kernel_sets.h"

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace teskra::simd::avx2 {
namespace {

#include "core/simd/packed_helpers.inc"

// ---- 4-bit -------------------------------------------------------------

// Codes scored side by side in the batch (two accumulators each; 16 ymm
// registers leave room for four).
constexpr size_t kInterleave4 = 4;

struct Codebook4 {
  __m256 lo;  // entries 0..7
  __m256 hi;  // entries 8..15
};

inline Codebook4 load_codebook() { return {_mm256_load_ps(kC4), _mm256_load_ps(kC4 + 8)}; }

// 8 dword nibble indices -> 8 dequantized values. vpermps reads the low 3
// index bits; bit 3, shifted up to the sign bit, picks the upper table. Any
// bits above bit 3 are shifted out or ignored, so indices need no masking.
inline __m256 dequant8(__m256i idx, const Codebook4& t) {
  const __m256 lo = _mm256_permutevar8x32_ps(t.lo, idx);
  const __m256 hi = _mm256_permutevar8x32_ps(t.hi, idx);
  return _mm256_blendv_ps(lo, hi, _mm256_castsi256_ps(_mm256_slli_epi32(idx, 28)));
}

// One chunk: 16 nibbles in coordinate order; a01 += coordinates 0..7,
// a23 += coordinates 8..15.
inline void fma_chunk(__m128i nibbles, const float* q, const Codebook4& t, __m256& a01, __m256& a23) {
  const __m256i i01 = _mm256_cvtepu8_epi32(nibbles);
  const __m256i i23 = _mm256_cvtepu8_epi32(_mm_unpackhi_epi64(nibbles, nibbles));
  a01 = _mm256_fmadd_ps(dequant8(i01, t), _mm256_loadu_ps(q), a01);
  a23 = _mm256_fmadd_ps(dequant8(i23, t), _mm256_loadu_ps(q + 8), a23);
}

// The reduction on (A0, A1) and (A2, A3).
inline float reduce4x4(__m256 a01, __m256 a23) {
  return reduce4x4(_mm256_castps256_ps128(a01), _mm256_extractf128_ps(a01, 1), _mm256_castps256_ps128(a23),
                   _mm256_extractf128_ps(a23, 1));
}

// The batch dequantizes without the byte-widening shuffles of the one-code
// kernel: a chunk's 8 bytes are broadcast to every qword and each qword is
// shifted so that its two dwords hold two nibbles in their low 4 bits. With
// the shift counts below, register X carries coordinates
// (0 8 1 9 | 4 12 5 13) of the chunk and register Y (2 10 3 11 | 6 14 7 15):
// exactly what unpacklo/unpackhi of q[0..7] and q[8..15] produce, so q is
// rearranged with two in-lane unpacks per chunk, shared by the interleaved
// codes. Each lane still sees the same coordinate in every chunk, so the sums
// are the reference's; one shuffle per accumulator pair restores (A0, A1) and
// (A2, A3) for the reduction.
alignas(32) constexpr int64_t kShiftsX[4] = {0, 4, 16, 20};
alignas(32) constexpr int64_t kShiftsY[4] = {8, 12, 24, 28};

// The multi-query form: each chunk of a code is decoded once (the two
// X / Y halves above) and fed to the accumulators of kMultiQueries queries,
// whose chunks were put in lane order kChunkLaneCoord (X then Y) beforehand,
// outside the kernel, once per call. Four queries' two accumulators, the
// codebook, the shifts and the decoded halves fill the 16 registers, so one
// code at a time.
constexpr size_t kMultiQueries = 4;
alignas(64) constexpr int32_t kChunkLaneCoord[16] = {0, 8, 1, 9, 4, 12, 5, 13, 2, 10, 3, 11, 6, 14, 7, 15};

// Every code of the batch against Q queries: q[m] the query, lanes[m] the
// same in lane order; out[m * out_stride + i] gets code i's score for m.
template <size_t Q>
void score_4bit_queries(const float* const* q, const float* const* lanes, const CodeBatch& codes,
                        size_t code_bytes, size_t limit, float* out, size_t out_stride) {
  const Codebook4 t = load_codebook();
  const __m256i shifts_x = _mm256_load_si256(reinterpret_cast<const __m256i*>(kShiftsX));
  const __m256i shifts_y = _mm256_load_si256(reinterpret_cast<const __m256i*>(kShiftsY));
  const size_t chunks = code_bytes / 8;
  const size_t n = codes.n;
  for (size_t i = 0; i < n; ++i) {
    const uint8_t* c = codes.code(i);
    const uint8_t* next = codes.code(i + 1 < n ? i + 1 : i);
    __m256 ax[Q];
    __m256 ay[Q];
#pragma GCC unroll 8
    for (size_t m = 0; m < Q; ++m) ax[m] = ay[m] = _mm256_setzero_ps();
    for (size_t j = 0; j < chunks; ++j) {
      if ((j & 7) == 0) prefetch_line(next + 8 * j);
      const __m256i x = _mm256_set1_epi64x(chunk_bits(c + 8 * j));
      const __m256 dx = dequant8(_mm256_srlv_epi64(x, shifts_x), t);
      const __m256 dy = dequant8(_mm256_srlv_epi64(x, shifts_y), t);
#pragma GCC unroll 8
      for (size_t m = 0; m < Q; ++m) {
        ax[m] = _mm256_fmadd_ps(dx, _mm256_loadu_ps(lanes[m] + 16 * j), ax[m]);
        ay[m] = _mm256_fmadd_ps(dy, _mm256_loadu_ps(lanes[m] + 16 * j + 8), ay[m]);
      }
    }
#pragma GCC unroll 8
    for (size_t m = 0; m < Q; ++m) {
      const __m256 a01 = _mm256_shuffle_ps(ax[m], ay[m], _MM_SHUFFLE(2, 0, 2, 0));
      const __m256 a23 = _mm256_shuffle_ps(ax[m], ay[m], _MM_SHUFFLE(3, 1, 3, 1));
      out[m * out_stride + i] = tail_4bit(reduce4x4(a01, a23), q[m], c, 8 * chunks, code_bytes, limit);
    }
  }
}

// score_4bit_queries for a run-time count 1 <= nq <= Q.
template <size_t Q>
void score_4bit_some_queries(size_t nq, const float* const* q, const float* const* lanes,
                             const CodeBatch& codes, size_t code_bytes, size_t limit, float* out,
                             size_t out_stride) {
  if constexpr (Q > 0) {
    if (nq == Q) {
      score_4bit_queries<Q>(q, lanes, codes, code_bytes, limit, out, out_stride);
    } else {
      score_4bit_some_queries<Q - 1>(nq, q, lanes, codes, code_bytes, limit, out, out_stride);
    }
  }
}

// ---- 2-bit -------------------------------------------------------------

// 8-code groups in flight in the 2-bit batch: four fit the 16 vector
// registers (accumulator, shifted word and loaded words per group).
constexpr size_t kTwoBitGroups = 4;
// The multi-query form: queries sharing each group's decoded words, and the
// groups in flight then (2 x 4 accumulators, a shifted word per group and a
// table per query).
constexpr size_t kTwoBitMultiQueries = 4;
constexpr size_t kTwoBitMultiGroups = 2;
#include "core/simd/two_bit_lanes.inc"

}  // namespace

// ---- the kernels ---------------------------------------------------------

float score_4bit(const float* q, const uint8_t* code, size_t code_bytes, size_t limit) {
  const Codebook4 t = load_codebook();
  const size_t chunks = code_bytes / 8;
  __m256 a01 = _mm256_setzero_ps();
  __m256 a23 = _mm256_setzero_ps();
  size_t j = 0;
  for (; j + 2 <= chunks; j += 2) {
    const __m128i x = load16(code + 8 * j);
    fma_chunk(nibbles_lo(x), q + 16 * j, t, a01, a23);
    fma_chunk(nibbles_hi(x), q + 16 * j + 16, t, a01, a23);
  }
  if (j < chunks) fma_chunk(nibbles_lo(load8(code + 8 * j)), q + 16 * j, t, a01, a23);
  return tail_4bit(reduce4x4(a01, a23), q, code, 8 * chunks, code_bytes, limit);
}

void score_4bit_batch(const float* q, const CodeBatch& codes, size_t code_bytes, size_t limit, float* out) {
  const Codebook4 t = load_codebook();
  const __m256i shifts_x = _mm256_load_si256(reinterpret_cast<const __m256i*>(kShiftsX));
  const __m256i shifts_y = _mm256_load_si256(reinterpret_cast<const __m256i*>(kShiftsY));
  const size_t chunks = code_bytes / 8;
  const size_t n = codes.n;
  size_t i = 0;
  for (; i + kInterleave4 <= n; i += kInterleave4) {
    const uint8_t* c[kInterleave4];
    const uint8_t* next[kInterleave4];
#pragma GCC unroll 8
    for (size_t k = 0; k < kInterleave4; ++k) {
      c[k] = codes.code(i + k);
      const size_t nk = i + kInterleave4 + k;
      next[k] = codes.code(nk < n ? nk : n - 1);
    }
    __m256 ax[kInterleave4];
    __m256 ay[kInterleave4];
#pragma GCC unroll 8
    for (size_t k = 0; k < kInterleave4; ++k) ax[k] = ay[k] = _mm256_setzero_ps();
    for (size_t j = 0; j < chunks; ++j) {
      // One 64-byte line of each upcoming code every eight chunks.
      if ((j & 7) == 0) {
#pragma GCC unroll 8
        for (size_t k = 0; k < kInterleave4; ++k) prefetch_line(next[k] + 8 * j);
      }
      const __m256 qa = _mm256_loadu_ps(q + 16 * j);
      const __m256 qb = _mm256_loadu_ps(q + 16 * j + 8);
      const __m256 qx = _mm256_unpacklo_ps(qa, qb);
      const __m256 qy = _mm256_unpackhi_ps(qa, qb);
#pragma GCC unroll 8
      for (size_t k = 0; k < kInterleave4; ++k) {
        const __m256i x = _mm256_set1_epi64x(chunk_bits(c[k] + 8 * j));
        ax[k] = _mm256_fmadd_ps(dequant8(_mm256_srlv_epi64(x, shifts_x), t), qx, ax[k]);
        ay[k] = _mm256_fmadd_ps(dequant8(_mm256_srlv_epi64(x, shifts_y), t), qy, ay[k]);
      }
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kInterleave4; ++k) {
      const __m256 a01 = _mm256_shuffle_ps(ax[k], ay[k], _MM_SHUFFLE(2, 0, 2, 0));
      const __m256 a23 = _mm256_shuffle_ps(ax[k], ay[k], _MM_SHUFFLE(3, 1, 3, 1));
      out[i + k] = tail_4bit(reduce4x4(a01, a23), q, c[k], 8 * chunks, code_bytes, limit);
    }
  }
  for (; i < n; ++i) out[i] = score_4bit(q, codes.code(i), code_bytes, limit);
}

float score_2bit(const float* q, size_t q_len, const uint8_t* code, size_t code_bytes) {
  return two_bit_chain(q, q_len, code, code_bytes);
}

namespace {

// Up to kMultiQueries queries (q, and lanes: the same in lane order).
void score_4bit_multi_lanes(const float* const* q, const float* const* lanes, size_t nq,
                            const CodeBatch& codes, size_t code_bytes, size_t limit, float* out,
                            size_t out_stride) {
  score_4bit_some_queries<kMultiQueries>(nq, q, lanes, codes, code_bytes, limit, out, out_stride);
}

}  // namespace

}  // namespace teskra::simd::avx2

#pragma GCC pop_options

namespace teskra::simd::avx2 {

#include "core/simd/baseline_adapters.inc"

}  // namespace teskra::simd::avx2
