// Dot products of float vectors, the construction score of the graph,
// through the active kernel set. Every level returns the same bits (the
// summation order is in core/simd/kernels.h), so a graph does not depend on
// the machine that built it.
#pragma once

#include <cstddef>

#include "core/simd/kernels.h"

namespace teskra {

// a . b over n values.
inline float float_dot(const float* a, const float* b, size_t n) {
  return simd::active_kernels().float_dot(a, b, n);
}

// out[r] = float_dot(q, rows[r], n) for r < count; reads several rows side
// by side, which keeps several memory streams in flight.
inline void float_dot_rows(const float* q, const float* const* rows, size_t count, size_t n, float* out) {
  simd::active_kernels().float_dot_rows(q, rows, count, n, out);
}

// The reference form, the scalar set's, whatever level is active.
inline float float_dot_baseline(const float* a, const float* b, size_t n) {
  return simd::scalar_kernels().float_dot(a, b, n);
}

}  // namespace teskra
