// The kernels of each level, by family; dispatch.cpp gathers them into the
// KernelSet tables. Internal to core/simd: everything else goes through
// scalar_kernels() / active_kernels(), which only hand out a set the running
// CPU can execute. The SIMD kernels are compiled for their instruction set
// (per function, never on the command line), so calling one on a CPU without
// it faults.
//
// Where the kernels live: packed codes in kernels_<level>.cpp (the shared
// AVX2 / AVX-512 parts in packed_helpers.inc and two_bit_lanes.inc), the
// centroid panel in panel_dots.cpp (one body, panel_dots.inc, per level), the
// float dot in float_dot.cpp. AVX-512 has no float dot of its own: that sum
// waits on memory, not arithmetic, so it uses the AVX2 one.
#pragma once

#include <cstddef>
#include <cstdint>

#include "core/simd/kernels.h"

namespace teskra::simd {

namespace scalar {
#include "core/simd/level_kernels.inc"
float float_dot(const float* a, const float* b, size_t n);
void float_dot_rows(const float* q, const float* const* rows, size_t count, size_t n, float* out);
}  // namespace scalar

#ifdef TESKRA_HAVE_SIMD
namespace avx2 {
#include "core/simd/level_kernels.inc"
float float_dot(const float* a, const float* b, size_t n);
void float_dot_rows(const float* q, const float* const* rows, size_t count, size_t n, float* out);
}  // namespace avx2

namespace avx512 {
#include "core/simd/level_kernels.inc"
}  // namespace avx512
#endif

}  // namespace teskra::simd
