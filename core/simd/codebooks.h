// Plain-array copies of the codebooks for the SIMD kernels: aligned for
// vector loads, and plain arrays because code inside an ISA target region
// calls no library code (std::array's operator[] included). Include this
// outside those regions; the arrays have internal linkage, one copy per
// kernel file.
#pragma once

#include "core/quantize/tables.h"

namespace teskra::simd {

alignas(64) constexpr float kC4[16] = {
    CENTROIDS_4BIT[0],  CENTROIDS_4BIT[1],  CENTROIDS_4BIT[2],  CENTROIDS_4BIT[3],
    CENTROIDS_4BIT[4],  CENTROIDS_4BIT[5],  CENTROIDS_4BIT[6],  CENTROIDS_4BIT[7],
    CENTROIDS_4BIT[8],  CENTROIDS_4BIT[9],  CENTROIDS_4BIT[10], CENTROIDS_4BIT[11],
    CENTROIDS_4BIT[12], CENTROIDS_4BIT[13], CENTROIDS_4BIT[14], CENTROIDS_4BIT[15],
};
constexpr float kC2[4] = {CENTROIDS_2BIT[0], CENTROIDS_2BIT[1], CENTROIDS_2BIT[2], CENTROIDS_2BIT[3]};

}  // namespace teskra::simd
