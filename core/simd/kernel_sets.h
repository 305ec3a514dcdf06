// The ISA-specific kernel sets. Internal to core/simd: everything else goes
// through scalar_kernels() / active_kernels(), which only hand out a set the
// running CPU can execute. Calling these accessors is always safe; running
// the returned kernels on a CPU without the ISA is not.
#pragma once

#include "core/simd/kernels.h"

namespace teskra::simd {

#ifdef TESKRA_HAVE_SIMD
// AVX2 + FMA.
const KernelSet* avx2_kernel_set();
// AVX-512 F/BW/VL/DQ.
const KernelSet* avx512_kernel_set();
#endif

}  // namespace teskra::simd
