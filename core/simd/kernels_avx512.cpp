// AVX-512 kernels (F, BW, VL, DQ). Same sums, same order, same bits as the
// scalar reference; only the way the lanes are laid out differs.
//
// 4-bit: one zmm holds the four 4-lane accumulators A0..A3 as its four
// 128-bit quarters, so a whole 16-coordinate chunk is one fused
// multiply-add; the codebook is one vpermps on the nibble indices.
//
// 2-bit: one code is a single chain of rounded adds, so the batch form gives
// every code its own lane; see two_bit_lanes.inc (256-bit lanes, which beat
// 512-bit ones on the Zen 4 cores we measure on).
//
// The helpers these kernels share with the AVX2 ones are in
// packed_helpers.inc.
//
// The ISA is enabled per function below the includes, never on the command
// line: inline library code instantiated here must not be compiled with
// AVX-512 and then merged into code that runs on older CPUs. For the same
// reason nothing inside the target region calls library templates.

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
#pragma GCC target("avx512f,avx512bw,avx512vl,avx512dq,avx2,fma")

namespace teskra::simd::avx512 {
namespace {

#include "core/simd/packed_helpers.inc"

// ---- 4-bit -------------------------------------------------------------

// Codes scored side by side in the batch: independent accumulators hide the
// FMA latency while each code keeps its own summation order.
constexpr size_t kInterleave4 = 4;

// 16 nibble indices (low 4 bits of each byte, coordinate order) -> the 16
// dequantized values. vpermps reads only the low 4 index bits, so the high
// halves left over from the byte split need no masking.
inline __m512 dequant16(__m128i nibbles, __m512 table) {
  return _mm512_permutexvar_ps(_mm512_cvtepu8_epi32(nibbles), table);
}

// The reduction on one zmm holding A0..A3 as its quarters.
inline float reduce4x4(__m512 acc) {
  return reduce4x4(_mm512_castps512_ps128(acc), _mm512_extractf32x4_ps(acc, 1),
                   _mm512_extractf32x4_ps(acc, 2), _mm512_extractf32x4_ps(acc, 3));
}

// The batch dequantizes without the byte-widening shuffle of the one-code
// kernel: a chunk's 8 bytes are broadcast to every qword and qword m is
// shifted right by 4m, so dword 2m holds nibble m and dword 2m+1 nibble m+8
// in its low 4 bits (all vpermps reads). That one shift replaces a shuffle
// per code and chunk, the resource the kernel is bound by. The lanes now
// carry coordinates in the order kChunkLaneCoord, so each chunk of q is
// permuted the same way once for all the interleaved codes, and each
// accumulator is put back in coordinate order before the reduction. Every
// lane still sees the same coordinate in every chunk, so the sums are the
// reference's.
alignas(64) constexpr int32_t kChunkLaneCoord[16] = {0, 8, 1, 9, 2, 10, 3, 11, 4, 12, 5, 13, 6, 14, 7, 15};
// Inverse of kChunkLaneCoord: the lane holding coordinate k.
alignas(64) constexpr int32_t kChunkCoordLane[16] = {0, 2, 4, 6, 8, 10, 12, 14, 1, 3, 5, 7, 9, 11, 13, 15};
alignas(64) constexpr int64_t kChunkShifts[8] = {0, 4, 8, 12, 16, 20, 24, 28};

// The multi-query form: each chunk of a code is decoded once (broadcast,
// shift, vpermps) and fed to the accumulators of kMultiQueries queries,
// whose chunks were put in lane order kChunkLaneCoord beforehand (outside
// the kernel, once per call). kMultiCodes codes are decoded side by side:
// 8 x 2 accumulators, eight query chunks and the decoded values fit the 32
// vector registers. On Zen 4 this runs at the FMA unit's rate (one 512-bit
// FMA per cycle), 1.6x the one-query batch; 4 x 4 measured the same there,
// fewer decodes per FMA suit cores with two 512-bit FMA units.
constexpr size_t kMultiQueries = 8;
constexpr size_t kMultiCodes = 2;

// Codes c[0..C) against queries 0..Q: q[m] the query, lanes[m] the same in
// lane order; out[m * out_stride + k] gets code k's score for query m.
template <size_t Q, size_t C>
inline void score_4bit_codes(const float* const* q, const float* const* lanes, const uint8_t* const* c,
                             const uint8_t* const* next, size_t code_bytes, size_t limit, float* out,
                             size_t out_stride) {
  const __m512 table = _mm512_load_ps(kC4);
  const __m512i shifts = _mm512_load_si512(kChunkShifts);
  const size_t chunks = code_bytes / 8;
  __m512 acc[Q][C];
#pragma GCC unroll 8
  for (size_t m = 0; m < Q; ++m) {
#pragma GCC unroll 8
    for (size_t k = 0; k < C; ++k) acc[m][k] = _mm512_setzero_ps();
  }
  for (size_t j = 0; j < chunks; ++j) {
    if ((j & 7) == 0) {
#pragma GCC unroll 8
      for (size_t k = 0; k < C; ++k) prefetch_line(next[k] + 8 * j);
    }
    __m512 qv[Q];
#pragma GCC unroll 8
    for (size_t m = 0; m < Q; ++m) qv[m] = _mm512_loadu_ps(lanes[m] + 16 * j);
#pragma GCC unroll 8
    for (size_t k = 0; k < C; ++k) {
      const __m512i x = _mm512_set1_epi64(chunk_bits(c[k] + 8 * j));
      const __m512 d = _mm512_permutexvar_ps(_mm512_srlv_epi64(x, shifts), table);
#pragma GCC unroll 8
      for (size_t m = 0; m < Q; ++m) acc[m][k] = _mm512_fmadd_ps(d, qv[m], acc[m][k]);
    }
  }
  const __m512i coord_lane = _mm512_load_si512(kChunkCoordLane);
#pragma GCC unroll 8
  for (size_t m = 0; m < Q; ++m) {
#pragma GCC unroll 8
    for (size_t k = 0; k < C; ++k) {
      const float s = reduce4x4(_mm512_permutexvar_ps(coord_lane, acc[m][k]));
      out[m * out_stride + k] = tail_4bit(s, q[m], c[k], 8 * chunks, code_bytes, limit);
    }
  }
}

// Every code of the batch against Q queries, kMultiCodes codes at a time.
template <size_t Q>
void score_4bit_queries(const float* const* q, const float* const* lanes, const CodeBatch& codes,
                        size_t code_bytes, size_t limit, float* out, size_t out_stride) {
  const size_t n = codes.n;
  size_t i = 0;
  for (; i + kMultiCodes <= n; i += kMultiCodes) {
    const uint8_t* c[kMultiCodes];
    const uint8_t* next[kMultiCodes];
#pragma GCC unroll 8
    for (size_t k = 0; k < kMultiCodes; ++k) {
      c[k] = codes.code(i + k);
      const size_t nk = i + kMultiCodes + k;
      next[k] = codes.code(nk < n ? nk : n - 1);
    }
    score_4bit_codes<Q, kMultiCodes>(q, lanes, c, next, code_bytes, limit, out + i, out_stride);
  }
  for (; i < n; ++i) {
    const uint8_t* c = codes.code(i);
    score_4bit_codes<Q, 1>(q, lanes, &c, &c, code_bytes, limit, out + i, out_stride);
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

// 8-code groups in flight in the 2-bit batch; with 32 vector registers, eight
// measured fastest (four leave add latency exposed).
constexpr size_t kTwoBitGroups = 8;
// The multi-query form: queries sharing each group's decoded words, and the
// groups in flight then (accumulators, shifted words and a table per query).
constexpr size_t kTwoBitMultiQueries = 4;
constexpr size_t kTwoBitMultiGroups = 4;
#include "core/simd/two_bit_lanes.inc"

}  // namespace

// ---- the kernels ---------------------------------------------------------

float score_4bit(const float* q, const uint8_t* code, size_t code_bytes, size_t limit) {
  const __m512 table = _mm512_load_ps(kC4);
  const size_t chunks = code_bytes / 8;
  __m512 acc = _mm512_setzero_ps();
  size_t j = 0;
  for (; j + 2 <= chunks; j += 2) {
    const __m128i x = load16(code + 8 * j);
    acc = _mm512_fmadd_ps(dequant16(nibbles_lo(x), table), _mm512_loadu_ps(q + 16 * j), acc);
    acc = _mm512_fmadd_ps(dequant16(nibbles_hi(x), table), _mm512_loadu_ps(q + 16 * j + 16), acc);
  }
  if (j < chunks) {
    acc =
        _mm512_fmadd_ps(dequant16(nibbles_lo(load8(code + 8 * j)), table), _mm512_loadu_ps(q + 16 * j), acc);
  }
  return tail_4bit(reduce4x4(acc), q, code, 8 * chunks, code_bytes, limit);
}

void score_4bit_batch(const float* q, const CodeBatch& codes, size_t code_bytes, size_t limit, float* out) {
  const __m512 table = _mm512_load_ps(kC4);
  const __m512i lane_coord = _mm512_load_si512(kChunkLaneCoord);
  const __m512i coord_lane = _mm512_load_si512(kChunkCoordLane);
  const __m512i shifts = _mm512_load_si512(kChunkShifts);
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
    __m512 acc[kInterleave4];
#pragma GCC unroll 8
    for (size_t k = 0; k < kInterleave4; ++k) acc[k] = _mm512_setzero_ps();
    for (size_t j = 0; j < chunks; ++j) {
      // One 64-byte line of each upcoming code every eight chunks.
      if ((j & 7) == 0) {
#pragma GCC unroll 8
        for (size_t k = 0; k < kInterleave4; ++k) prefetch_line(next[k] + 8 * j);
      }
      const __m512 qv = _mm512_permutexvar_ps(lane_coord, _mm512_loadu_ps(q + 16 * j));
#pragma GCC unroll 8
      for (size_t k = 0; k < kInterleave4; ++k) {
        const __m512i x = _mm512_set1_epi64(chunk_bits(c[k] + 8 * j));
        const __m512i idx = _mm512_srlv_epi64(x, shifts);
        acc[k] = _mm512_fmadd_ps(_mm512_permutexvar_ps(idx, table), qv, acc[k]);
      }
    }
#pragma GCC unroll 8
    for (size_t k = 0; k < kInterleave4; ++k) {
      const float s = reduce4x4(_mm512_permutexvar_ps(coord_lane, acc[k]));
      out[i + k] = tail_4bit(s, q, c[k], 8 * chunks, code_bytes, limit);
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

}  // namespace teskra::simd::avx512

#pragma GCC pop_options

namespace teskra::simd::avx512 {

#include "core/simd/baseline_adapters.inc"

}  // namespace teskra::simd::avx512
