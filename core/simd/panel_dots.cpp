// The centroid-panel kernels: one body, panel_dots.inc, per level, differing
// only in vector width and register tile.
#include <cstddef>

#include "core/simd/kernel_sets.h"

namespace teskra::simd {

// Baseline x86-64 (SSE2) or whatever the compiler targets by default: four
// lanes, a 4 x 8 tile in the sixteen xmm registers.
namespace scalar {
#define TESKRA_LANES 4
#define TESKRA_ROWS 4
#define TESKRA_COLS 2
#define TESKRA_TARGET
#include "core/simd/panel_dots.inc"
#undef TESKRA_LANES
#undef TESKRA_ROWS
#undef TESKRA_COLS
#undef TESKRA_TARGET
}  // namespace scalar

#ifdef TESKRA_HAVE_SIMD
// AVX2: a 6 x 16 tile, 12 accumulators + 2 centroid vectors + 1 broadcast
// of the 16 ymm registers.
namespace avx2 {
#define TESKRA_LANES 8
#define TESKRA_ROWS 6
#define TESKRA_COLS 2
#define TESKRA_TARGET __attribute__((target("avx2")))
#include "core/simd/panel_dots.inc"
#undef TESKRA_LANES
#undef TESKRA_ROWS
#undef TESKRA_COLS
#undef TESKRA_TARGET
}  // namespace avx2

// AVX-512: a 6 x 64 tile, 24 accumulators + 4 centroid vectors + 1
// broadcast of the 32 zmm registers; at each coordinate 24 multiplies and 24
// adds share 4 panel loads, so the loop runs at the arithmetic limit with the
// panel streaming from L2.
namespace avx512 {
#define TESKRA_LANES 16
#define TESKRA_ROWS 6
#define TESKRA_COLS 4
#define TESKRA_TARGET __attribute__((target("avx512f")))
#include "core/simd/panel_dots.inc"
#undef TESKRA_LANES
#undef TESKRA_ROWS
#undef TESKRA_COLS
#undef TESKRA_TARGET
}  // namespace avx512
#endif

}  // namespace teskra::simd
