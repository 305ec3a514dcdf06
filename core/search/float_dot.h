// Dot products of float vectors, the construction score of the graph.
//
// Graph insertion scores thousands of stored float vectors per new node, and
// those vectors are scattered over memory far larger than the caches, so the
// cost is waiting for memory, not arithmetic. The many-rows form therefore
// reads up to eight rows side by side, which keeps several memory streams in
// flight at once.
//
// Every form returns the same bits for the same inputs, on every CPU: the
// sum runs over 8 lanes (element i feeds lane i % 8, in index order), each
// product rounded before it is added (no fused multiply-add); the lanes are
// then combined as (j, j + 4), (j, j + 2), (0, 1), and the last n % 8
// products, added one by one, come last. A graph therefore does not depend on
// the machine that built it.
#pragma once

#include <cstddef>

namespace teskra {

// a . b over n values.
float float_dot(const float* a, const float* b, size_t n);

// out[r] = float_dot(q, rows[r], n) for r < count.
void float_dot_rows(const float* q, const float* const* rows, size_t count, size_t n, float* out);

// The baseline forms (SSE2), whatever the CPU supports; for tests.
float float_dot_baseline(const float* a, const float* b, size_t n);
void float_dot_rows_baseline(const float* q, const float* const* rows, size_t count, size_t n,
                             float* out);

}  // namespace teskra
