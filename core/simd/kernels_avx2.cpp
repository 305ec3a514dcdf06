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

#include <cstddef>
#include <cstdint>

#include "core/quantize/tables.h"
#include "core/simd/kernel_sets.h"
#include "core/simd/kernels.h"

namespace teskra::simd {
namespace {

// Plain copies of the codebooks, so the kernels read arrays, not std::array.
alignas(32) constexpr float kC4[16] = {
    CENTROIDS_4BIT[0],  CENTROIDS_4BIT[1],  CENTROIDS_4BIT[2],  CENTROIDS_4BIT[3],
    CENTROIDS_4BIT[4],  CENTROIDS_4BIT[5],  CENTROIDS_4BIT[6],  CENTROIDS_4BIT[7],
    CENTROIDS_4BIT[8],  CENTROIDS_4BIT[9],  CENTROIDS_4BIT[10], CENTROIDS_4BIT[11],
    CENTROIDS_4BIT[12], CENTROIDS_4BIT[13], CENTROIDS_4BIT[14], CENTROIDS_4BIT[15],
};
constexpr float kC2[4] = {CENTROIDS_2BIT[0], CENTROIDS_2BIT[1], CENTROIDS_2BIT[2],
                          CENTROIDS_2BIT[3]};

}  // namespace
}  // namespace teskra::simd

#pragma GCC push_options
#pragma GCC target("avx2,fma")

namespace teskra::simd {
namespace {

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

// Byte b of x holds coordinates 2b (low nibble) and 2b+1 (high nibble);
// interleaving x with x >> 4 puts each coordinate's nibble in the low half
// of its own byte, in coordinate order.
inline __m128i nibbles_lo(__m128i x) { return _mm_unpacklo_epi8(x, _mm_srli_epi16(x, 4)); }
inline __m128i nibbles_hi(__m128i x) { return _mm_unpackhi_epi8(x, _mm_srli_epi16(x, 4)); }

inline __m128i load8(const uint8_t* p) {
  return _mm_loadl_epi64(reinterpret_cast<const __m128i*>(p));
}
inline __m128i load16(const uint8_t* p) {
  return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p));
}

// One chunk: 16 nibbles in coordinate order; a01 += coordinates 0..7,
// a23 += coordinates 8..15.
inline void fma_chunk(__m128i nibbles, const float* q, const Codebook4& t, __m256& a01,
                      __m256& a23) {
  const __m256i i01 = _mm256_cvtepu8_epi32(nibbles);
  const __m256i i23 = _mm256_cvtepu8_epi32(_mm_unpackhi_epi64(nibbles, nibbles));
  a01 = _mm256_fmadd_ps(dequant8(i01, t), _mm256_loadu_ps(q), a01);
  a23 = _mm256_fmadd_ps(dequant8(i23, t), _mm256_loadu_ps(q + 8), a23);
}

// V = (A3 + A2) + (A1 + A0) lane-wise, then (V0 + V1) + (V2 + V3).
inline float reduce4x4(__m256 a01, __m256 a23) {
  const __m128 a0 = _mm256_castps256_ps128(a01);
  const __m128 a1 = _mm256_extractf128_ps(a01, 1);
  const __m128 a2 = _mm256_castps256_ps128(a23);
  const __m128 a3 = _mm256_extractf128_ps(a23, 1);
  const __m128 v = _mm_add_ps(_mm_add_ps(a3, a2), _mm_add_ps(a1, a0));
  const __m128 t = _mm_add_ps(v, _mm_movehdup_ps(v));  // t0 = V0+V1, t2 = V2+V3
  return _mm_cvtss_f32(_mm_add_ss(t, _mm_movehl_ps(t, t)));
}

// The bytes after the last whole chunk: rounded products, added one by one.
inline float tail_4bit(float s, const float* q, const uint8_t* code, size_t from,
                       size_t code_bytes, size_t limit) {
  for (size_t i = from; i < code_bytes; ++i) {
    const uint8_t byte = code[i];
    s += kC4[byte & 0x0F] * q[2 * i];
    if (2 * i + 1 < limit) s += kC4[byte >> 4] * q[2 * i + 1];
  }
  return s;
}

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

// Pulls the cache lines of upcoming codes while the current group computes.
inline void prefetch_line(const uint8_t* p) {
  _mm_prefetch(reinterpret_cast<const char*>(p), _MM_HINT_T0);
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

void score_4bit_batch(const float* q, const CodeBatch& codes, size_t code_bytes, size_t limit,
                      float* out) {
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
        long long bits;
        __builtin_memcpy(&bits, c[k] + 8 * j, 8);
        const __m256i x = _mm256_set1_epi64x(bits);
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

// ---- 2-bit -------------------------------------------------------------

float score_2bit(const float* q, size_t q_len, const uint8_t* code, size_t code_bytes) {
  // A single chain of dependent adds: nothing to vectorize without changing
  // the order, so this is the reference loop.
  const size_t coords = q_len < 4 * code_bytes ? q_len : 4 * code_bytes;
  float s = 0.0f;
  for (size_t i = 0; i < coords; ++i) {
    s += q[i] * kC2[(code[i / 4] >> (2 * (i % 4))) & 3u];
  }
  return s;
}

// 8-code groups in flight in the 2-bit batch: four fit the 16 vector
// registers (accumulator, shifted word and loaded words per group).
constexpr size_t kTwoBitGroups = 4;
#include "core/simd/two_bit_lanes.inc"

}  // namespace
}  // namespace teskra::simd

#pragma GCC pop_options

namespace teskra::simd {
namespace {

// Baseline-compiled adapter: reading the table out of the std::vector here
// keeps library code out of the AVX2 region.
void score_2bit_batch(const TwoBitQuery& tq, const CodeBatch& codes, size_t code_bytes,
                      float* out) {
  score_2bit_batch_tables(tq.products.data(), tq.n, codes, code_bytes, out);
}

const KernelSet kAvx2 = {"avx2", score_4bit, score_2bit, score_4bit_batch, score_2bit_batch};

}  // namespace

const KernelSet* avx2_kernel_set() { return &kAvx2; }

}  // namespace teskra::simd
