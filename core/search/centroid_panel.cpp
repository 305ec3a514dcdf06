#include "core/search/centroid_panel.h"

#include <cstring>

namespace teskra {

namespace {

// Panel columns are padded to this many centroids, a multiple of every
// kernel's tile width, so no kernel needs a column tail.
constexpr size_t kColumnPad = 64;

using DotsFn = void (*)(const float* const*, size_t, const float*, size_t, size_t, float*);

// Baseline x86-64 (SSE2) or whatever the compiler targets by default: four
// lanes, a 4 x 8 tile in the sixteen xmm registers.
namespace base {
#define TESKRA_LANES 4
#define TESKRA_ROWS 4
#define TESKRA_COLS 2
#define TESKRA_TARGET
#include "core/search/centroid_panel_kernel.inc"
#undef TESKRA_LANES
#undef TESKRA_ROWS
#undef TESKRA_COLS
#undef TESKRA_TARGET
}  // namespace base

#if defined(TESKRA_HAVE_SIMD) && (defined(__x86_64__) || defined(__i386__))
// AVX2: a 6 x 16 tile, 12 accumulators + 2 centroid vectors + 1 broadcast
// of the 16 ymm registers.
namespace avx2 {
#define TESKRA_LANES 8
#define TESKRA_ROWS 6
#define TESKRA_COLS 2
#define TESKRA_TARGET __attribute__((target("avx2")))
#include "core/search/centroid_panel_kernel.inc"
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
#include "core/search/centroid_panel_kernel.inc"
#undef TESKRA_LANES
#undef TESKRA_ROWS
#undef TESKRA_COLS
#undef TESKRA_TARGET
}  // namespace avx512
#endif

struct Kernel {
  const char* name;
  DotsFn fn;
  bool supported;
};

const Kernel* kernels(size_t* count) {
#if defined(TESKRA_HAVE_SIMD) && (defined(__x86_64__) || defined(__i386__))
  __builtin_cpu_init();  // may run before libgcc's own constructor
#endif
  static const Kernel table[] = {
      {"scalar", &base::panel_dots, true},
#if defined(TESKRA_HAVE_SIMD) && (defined(__x86_64__) || defined(__i386__))
      {"avx2", &avx2::panel_dots, __builtin_cpu_supports("avx2") != 0},
      {"avx512", &avx512::panel_dots, __builtin_cpu_supports("avx512f") != 0},
#endif
  };
  *count = sizeof(table) / sizeof(table[0]);
  return table;
}

// The widest supported kernel, chosen once.
DotsFn best_kernel() {
  static const DotsFn fn = [] {
    size_t n = 0;
    const Kernel* k = kernels(&n);
    DotsFn best = k[0].fn;
    for (size_t i = 0; i < n; ++i)
      if (k[i].supported) best = k[i].fn;
    return best;
  }();
  return fn;
}

}  // namespace

CentroidPanel::CentroidPanel(std::span<const float> centroids, size_t k, size_t dim)
    : k_(k), dim_(dim), kpad_((k + kColumnPad - 1) / kColumnPad * kColumnPad) {
  panel_.assign(dim_ * kpad_, 0.0f);
  for (size_t c = 0; c < k_; ++c) {
    const float* src = centroids.data() + c * dim_;
    for (size_t i = 0; i < dim_; ++i) panel_[i * kpad_ + c] = src[i];
  }
}

void CentroidPanel::dots(const float* const* rows, size_t n_rows, float* out) const {
  if (n_rows == 0 || kpad_ == 0) return;
  best_kernel()(rows, n_rows, panel_.data(), kpad_, dim_, out);
}

bool CentroidPanel::dots_with(const char* kernel, const float* const* rows, size_t n_rows,
                              float* out) const {
  size_t n = 0;
  const Kernel* k = kernels(&n);
  for (size_t i = 0; i < n; ++i) {
    if (std::strcmp(k[i].name, kernel) != 0) continue;
    if (!k[i].supported) return false;
    if (n_rows != 0 && kpad_ != 0) k[i].fn(rows, n_rows, panel_.data(), kpad_, dim_, out);
    return true;
  }
  return false;
}

float sequential_dot(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

}  // namespace teskra
