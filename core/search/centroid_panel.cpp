#include "core/search/centroid_panel.h"

#include "core/simd/kernels.h"

namespace teskra {

namespace {

// Panel columns are padded to this many centroids, a multiple of every
// kernel's tile width, so no kernel needs a column tail.
constexpr size_t kColumnPad = 64;

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
  simd::active_kernels().panel_dots(rows, n_rows, panel_.data(), kpad_, dim_, out);
}

float sequential_dot(const float* a, const float* b, size_t n) {
  float s = 0.0f;
  for (size_t i = 0; i < n; ++i) s += a[i] * b[i];
  return s;
}

}  // namespace teskra
