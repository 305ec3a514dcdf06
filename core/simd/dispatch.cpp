// The kernel tables, one per level, and the choice among them. The tables are
// compile-time constants (no code runs to build them); the CPU and
// TESKRA_KERNELS are asked once, at first use, through function-local
// statics, so no static initializer of any file depends on another's.
#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <iterator>

#include "core/simd/kernel_sets.h"
#include "core/simd/kernels.h"

namespace teskra::simd {
namespace {

// Indexed by KernelLevel; also the values TESKRA_KERNELS takes.
constexpr const char* kLevelNames[] = {"scalar", "avx2", "avx512"};

constexpr KernelSet kScalar = {
    .name = kLevelNames[0],
    .level = KernelLevel::scalar,
    .score_4bit = scalar::score_4bit,
    .score_2bit = scalar::score_2bit,
    .score_4bit_batch = scalar::score_4bit_batch,
    .score_2bit_batch = scalar::score_2bit_batch,
    .score_4bit_multi = scalar::score_4bit_multi,
    .score_2bit_multi = scalar::score_2bit_multi,
    .panel_dots = scalar::panel_dots,
    .float_dot = scalar::float_dot,
    .float_dot_rows = scalar::float_dot_rows,
};

#ifdef TESKRA_HAVE_SIMD
constexpr KernelSet kAvx2 = {
    .name = kLevelNames[1],
    .level = KernelLevel::avx2,
    .score_4bit = avx2::score_4bit,
    .score_2bit = avx2::score_2bit,
    .score_4bit_batch = avx2::score_4bit_batch,
    .score_2bit_batch = avx2::score_2bit_batch,
    .score_4bit_multi = avx2::score_4bit_multi,
    .score_2bit_multi = avx2::score_2bit_multi,
    .panel_dots = avx2::panel_dots,
    .float_dot = avx2::float_dot,
    .float_dot_rows = avx2::float_dot_rows,
};

constexpr KernelSet kAvx512 = {
    .name = kLevelNames[2],
    .level = KernelLevel::avx512,
    .score_4bit = avx512::score_4bit,
    .score_2bit = avx512::score_2bit,
    .score_4bit_batch = avx512::score_4bit_batch,
    .score_2bit_batch = avx512::score_2bit_batch,
    .score_4bit_multi = avx512::score_4bit_multi,
    .score_2bit_multi = avx512::score_2bit_multi,
    .panel_dots = avx512::panel_dots,
    // The float dot waits on memory, not arithmetic: AVX2's serves.
    .float_dot = avx2::float_dot,
    .float_dot_rows = avx2::float_dot_rows,
};
#endif

// Indexed by KernelLevel, up to the best level this build has.
constexpr const KernelSet* kSets[] = {
    &kScalar,
#ifdef TESKRA_HAVE_SIMD
    &kAvx2,
    &kAvx512,
#endif
};

KernelLevel detect() {
#ifdef TESKRA_HAVE_SIMD
  __builtin_cpu_init();  // this may run before libgcc's own constructor
  if (!__builtin_cpu_supports("avx2") || !__builtin_cpu_supports("fma")) {
    return KernelLevel::scalar;
  }
  // libgcc only reports the AVX-512 features when the OS saves the zmm and
  // mask state (XCR0), so this also covers OS support.
  if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
      __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("avx512dq")) {
    return KernelLevel::avx512;
  }
  return KernelLevel::avx2;
#else
  return KernelLevel::scalar;
#endif
}

// The set for `level`, or for the best supported level below it.
const KernelSet& supported_set(KernelLevel level) {
  return *kSets[static_cast<size_t>(std::min(level, best_kernel_level()))];
}

// The best supported level, capped by TESKRA_KERNELS when it names a level.
const KernelSet& initial_set() {
  KernelLevel level = KernelLevel::avx512;
  if (const char* env = std::getenv("TESKRA_KERNELS")) {
    for (size_t i = 0; i < std::size(kLevelNames); ++i) {
      if (std::strcmp(env, kLevelNames[i]) == 0) level = static_cast<KernelLevel>(i);
    }
  }
  return supported_set(level);
}

std::atomic<const KernelSet*>& active() {
  static std::atomic<const KernelSet*> set{&initial_set()};
  return set;
}

}  // namespace

const KernelSet& scalar_kernels() { return kScalar; }

const KernelSet& active_kernels() { return *active().load(std::memory_order_acquire); }

KernelLevel best_kernel_level() {
  static const KernelLevel best = detect();
  return best;
}

const KernelSet& set_kernel_level(KernelLevel level) {
  const KernelSet& set = supported_set(level);
  active().store(&set, std::memory_order_release);
  return set;
}

}  // namespace teskra::simd
