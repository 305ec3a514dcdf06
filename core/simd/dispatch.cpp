// Run-time choice of the kernel set. The CPU is asked once; every set returns
// the same bits, so the choice only affects speed.
#include <vector>

#include "core/simd/kernel_sets.h"
#include "core/simd/kernels.h"

namespace teskra::simd {
namespace {

#ifdef TESKRA_HAVE_SIMD
bool cpu_has_avx2() {
  __builtin_cpu_init();
  return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("fma");
}

// libgcc only reports the AVX-512 features when the OS saves the zmm and mask
// state (XCR0), so this also covers OS support.
bool cpu_has_avx512() {
  __builtin_cpu_init();
  return cpu_has_avx2() && __builtin_cpu_supports("avx512f") &&
         __builtin_cpu_supports("avx512bw") && __builtin_cpu_supports("avx512vl") &&
         __builtin_cpu_supports("avx512dq");
}
#endif

std::vector<const KernelSet*> detect() {
  std::vector<const KernelSet*> sets{&scalar_kernels()};
#ifdef TESKRA_HAVE_SIMD
  if (cpu_has_avx2()) sets.push_back(avx2_kernel_set());
  if (cpu_has_avx512()) sets.push_back(avx512_kernel_set());
#endif
  return sets;
}

const std::vector<const KernelSet*>& supported() {
  static const std::vector<const KernelSet*> sets = detect();
  return sets;
}

// Detect while the library loads, so no search pays for it; supported() is a
// function-local static, so initialization order across files does not matter.
[[maybe_unused]] const bool kDetectedAtLoad = !supported().empty();

}  // namespace

// The last supported set is the widest.
const KernelSet& active_kernels() { return *supported().back(); }

std::vector<const KernelSet*> available_kernels() { return supported(); }

}  // namespace teskra::simd
