// The float dot kernels: the baseline (SSE2, or plain C++ without SSE2 or
// when TESKRA_PORTABLE_BASELINE asks for it, to test the plain form here) and
// AVX2. Eight lanes, lo = 0..3 and hi = 4..7, each a running sum of rounded
// products; reduced as (lane j + lane j+4), then (0 + 2) + (1 + 3), then the
// tail's own sum is added.
//
// Graph insertion scores thousands of stored float vectors per new node,
// scattered over memory far larger than the caches, so the cost is waiting
// for memory, not arithmetic: the many-rows forms touch the next rows ahead,
// and AVX2 reads up to eight rows side by side.
#if defined(__SSE2__) && !defined(TESKRA_PORTABLE_BASELINE)
#define TESKRA_SSE_BASELINE 1
#endif
#if defined(TESKRA_SSE_BASELINE) || defined(TESKRA_HAVE_SIMD)
#include <immintrin.h>
#endif

#include <cstddef>

#include "core/simd/kernel_sets.h"

namespace teskra::simd {
namespace {

float tail_sum(const float* a, const float* b, size_t from, size_t n) {
  float s = 0.0f;
  for (size_t i = from; i < n; ++i) s += a[i] * b[i];
  return s;
}

// Touches the first cache line of each of the next rows, so their memory
// requests are under way while the current ones are summed.
inline void touch_rows(const float* const* rows, size_t count) {
  for (size_t r = 0; r < count; ++r) __builtin_prefetch(rows[r]);
}

#if defined(TESKRA_SSE_BASELINE) || defined(TESKRA_HAVE_SIMD)
// The reduction on the two halves of an 8-lane sum.
inline float reduce8(__m128 lo, __m128 hi) {
  const __m128 v = _mm_add_ps(lo, hi);
  const __m128 pairs = _mm_add_ps(v, _mm_movehl_ps(v, v));
  return _mm_cvtss_f32(_mm_add_ss(pairs, _mm_shuffle_ps(pairs, pairs, 0x55)));
}
#endif

}  // namespace

namespace scalar {

#ifdef TESKRA_SSE_BASELINE
float float_dot(const float* a, const float* b, size_t n) {
  const size_t whole = n - n % 8;
  __m128 lo = _mm_setzero_ps(), hi = _mm_setzero_ps();
  for (size_t i = 0; i < whole; i += 8) {
    lo = _mm_add_ps(lo, _mm_mul_ps(_mm_loadu_ps(a + i), _mm_loadu_ps(b + i)));
    hi = _mm_add_ps(hi, _mm_mul_ps(_mm_loadu_ps(a + i + 4), _mm_loadu_ps(b + i + 4)));
  }
  return reduce8(lo, hi) + tail_sum(a, b, whole, n);
}
#else
float float_dot(const float* a, const float* b, size_t n) {
  const size_t whole = n - n % 8;
  float lo[4] = {0.0f, 0.0f, 0.0f, 0.0f}, hi[4] = {0.0f, 0.0f, 0.0f, 0.0f};
  for (size_t i = 0; i < whole; i += 8) {
    for (size_t j = 0; j < 4; ++j) {
      lo[j] = lo[j] + a[i + j] * b[i + j];
      hi[j] = hi[j] + a[i + 4 + j] * b[i + 4 + j];
    }
  }
  float v[4];
  for (size_t j = 0; j < 4; ++j) v[j] = lo[j] + hi[j];
  const float sum = (v[0] + v[2]) + (v[1] + v[3]);
  return sum + tail_sum(a, b, whole, n);
}
#endif

void float_dot_rows(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  for (size_t r = 0; r < count; ++r) {
    if (r + 1 < count) touch_rows(rows + r + 1, 1);
    out[r] = float_dot(q, rows[r], n);
  }
}

}  // namespace scalar

#ifdef TESKRA_HAVE_SIMD
namespace avx2 {
namespace {

// Rows scored side by side; eight 8-lane accumulators fill half the AVX2
// register file and leave room for the query and the loads.
constexpr size_t kGroup = 8;

// K rows at once: one 8-lane accumulator per row, one load of q per step.
template <size_t K>
__attribute__((target("avx2"))) void dot_group(const float* q, const float* const* rows, size_t n,
                                               float* out) {
  const size_t whole = n - n % 8;
  __m256 acc[K];
  for (size_t k = 0; k < K; ++k) acc[k] = _mm256_setzero_ps();
  for (size_t i = 0; i < whole; i += 8) {
    const __m256 qv = _mm256_loadu_ps(q + i);
    for (size_t k = 0; k < K; ++k) {
      acc[k] = _mm256_add_ps(acc[k], _mm256_mul_ps(qv, _mm256_loadu_ps(rows[k] + i)));
    }
  }
  for (size_t k = 0; k < K; ++k) {
    out[k] = reduce8(_mm256_castps256_ps128(acc[k]), _mm256_extractf128_ps(acc[k], 1)) +
             tail_sum(q, rows[k], whole, n);
  }
}

}  // namespace

__attribute__((target("avx2"))) float float_dot(const float* a, const float* b, size_t n) {
  float out;
  dot_group<1>(a, &b, n, &out);
  return out;
}

__attribute__((target("avx2"))) void float_dot_rows(const float* q, const float* const* rows, size_t count,
                                                    size_t n, float* out) {
  size_t r = 0;
  for (; r + kGroup <= count; r += kGroup) {
    const size_t next = count - (r + kGroup);
    touch_rows(rows + r + kGroup, next < kGroup ? next : kGroup);
    dot_group<kGroup>(q, rows + r, n, out + r);
  }
  // The rest in one pass too: split into smaller groups, the last rows
  // would wait for memory one at a time.
  switch (count - r) {
    case 7:
      dot_group<7>(q, rows + r, n, out + r);
      break;
    case 6:
      dot_group<6>(q, rows + r, n, out + r);
      break;
    case 5:
      dot_group<5>(q, rows + r, n, out + r);
      break;
    case 4:
      dot_group<4>(q, rows + r, n, out + r);
      break;
    case 3:
      dot_group<3>(q, rows + r, n, out + r);
      break;
    case 2:
      dot_group<2>(q, rows + r, n, out + r);
      break;
    case 1:
      dot_group<1>(q, rows + r, n, out + r);
      break;
    default:
      break;
  }
}

}  // namespace avx2
#endif

}  // namespace teskra::simd
