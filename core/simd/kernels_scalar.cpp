// The portable packed-code kernels, the reference: every other level is
// checked against these bit for bit, so the code spells out the summation
// order literally rather than trying to be fast: four 4-lane accumulators fed
// by fused multiply-adds for whole 16-coordinate chunks, a fixed pairwise
// reduction, then a tail of rounded products.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "core/quantize/tables.h"
#include "core/simd/kernel_sets.h"
#include "core/simd/kernels.h"

namespace teskra::simd {
namespace scalar {

float score_4bit(const float* q, const uint8_t* code, size_t code_bytes, size_t limit) {
  const size_t chunks = code_bytes / 8;
  // acc[a][l] is lane l of accumulator Aa; coordinate k of a chunk feeds
  // acc[k / 4][k % 4].
  float acc[4][4] = {};
  for (size_t j = 0; j < chunks; ++j) {
    const uint8_t* bytes = code + 8 * j;
    const float* qc = q + 16 * j;
    for (size_t k = 0; k < 16; ++k) {
      const uint8_t byte = bytes[k / 2];
      const unsigned nibble = (k % 2 == 0) ? (byte & 0x0F) : (byte >> 4);
      float& a = acc[k / 4][k % 4];
      a = std::fma(CENTROIDS_4BIT[nibble], qc[k], a);
    }
  }
  float v[4];
  for (size_t l = 0; l < 4; ++l) v[l] = (acc[3][l] + acc[2][l]) + (acc[1][l] + acc[0][l]);
  float s = (v[0] + v[1]) + (v[2] + v[3]);

  // The tail products are rounded before they are added; the build disables
  // FMA contraction so `s += a * b` stays two operations.
  for (size_t i = 8 * chunks; i < code_bytes; ++i) {
    const uint8_t byte = code[i];
    s += CENTROIDS_4BIT[byte & 0x0F] * q[2 * i];
    if (2 * i + 1 < limit) s += CENTROIDS_4BIT[byte >> 4] * q[2 * i + 1];
  }
  return s;
}

float score_2bit(const float* q, size_t q_len, const uint8_t* code, size_t code_bytes) {
  // A code of a padded dimension below 4 has slots with no query value
  // behind them: they add nothing, and q is never read past q_len.
  const size_t coords = q_len < 4 * code_bytes ? q_len : 4 * code_bytes;
  float s = 0.0f;
  for (size_t i = 0; i < coords; ++i) {
    const unsigned c = (code[i / 4] >> (2 * (i % 4))) & 3u;
    s += q[i] * CENTROIDS_2BIT[c];
  }
  return s;
}

void score_4bit_batch(const float* q, const CodeBatch& codes, size_t code_bytes, size_t limit, float* out) {
  for (size_t i = 0; i < codes.n; ++i) out[i] = score_4bit(q, codes.code(i), code_bytes, limit);
}

void score_2bit_batch(const TwoBitQuery& tq, const CodeBatch& codes, size_t code_bytes, float* out) {
  // The product table holds exactly the rounded products the chain adds.
  const size_t coords = tq.n < 4 * code_bytes ? tq.n : 4 * code_bytes;
  const float* products = tq.products.data();
  for (size_t j = 0; j < codes.n; ++j) {
    const uint8_t* code = codes.code(j);
    float s = 0.0f;
    for (size_t i = 0; i < coords; ++i) {
      const unsigned c = (code[i / 4] >> (2 * (i % 4))) & 3u;
      s += products[4 * i + c];
    }
    out[j] = s;
  }
}

// Queries scored together by the 2-bit multi-query kernel: their running
// sums stay in registers while each code's 2-bit fields are extracted once.
constexpr size_t kMultiQueries = 8;

void score_4bit_multi(const float* const* qs, size_t nq, const CodeBatch& codes, size_t code_bytes,
                      size_t limit, float* out, size_t out_stride) {
  // Each code is dequantized once (its whole chunks), then every query runs
  // score_4bit's sums over those values.
  const size_t chunks = code_bytes / 8;
  std::vector<float> values(16 * chunks);
  for (size_t i = 0; i < codes.n; ++i) {
    const uint8_t* code = codes.code(i);
    for (size_t k = 0; k < 16 * chunks; ++k) {
      const uint8_t byte = code[k / 2];
      values[k] = CENTROIDS_4BIT[(k % 2 == 0) ? (byte & 0x0F) : (byte >> 4)];
    }
    for (size_t m = 0; m < nq; ++m) {
      const float* q = qs[m];
      float acc[4][4] = {};
      for (size_t j = 0; j < chunks; ++j) {
        for (size_t k = 0; k < 16; ++k) {
          float& a = acc[k / 4][k % 4];
          a = std::fma(values[16 * j + k], q[16 * j + k], a);
        }
      }
      float v[4];
      for (size_t l = 0; l < 4; ++l) v[l] = (acc[3][l] + acc[2][l]) + (acc[1][l] + acc[0][l]);
      float s = (v[0] + v[1]) + (v[2] + v[3]);
      for (size_t b = 8 * chunks; b < code_bytes; ++b) {
        const uint8_t byte = code[b];
        s += CENTROIDS_4BIT[byte & 0x0F] * q[2 * b];
        if (2 * b + 1 < limit) s += CENTROIDS_4BIT[byte >> 4] * q[2 * b + 1];
      }
      out[m * out_stride + i] = s;
    }
  }
}

void score_2bit_multi(const TwoBitQuery* const* tqs, size_t nq, const CodeBatch& codes, size_t code_bytes,
                      float* out, size_t out_stride) {
  if (nq == 0) return;
  const size_t coords = tqs[0]->n < 4 * code_bytes ? tqs[0]->n : 4 * code_bytes;
  for (size_t first = 0; first < nq; first += kMultiQueries) {
    const size_t g = nq - first < kMultiQueries ? nq - first : kMultiQueries;
    const float* products[kMultiQueries];
    for (size_t m = 0; m < g; ++m) products[m] = tqs[first + m]->products.data();
    for (size_t j = 0; j < codes.n; ++j) {
      const uint8_t* code = codes.code(j);
      float s[kMultiQueries] = {};
      for (size_t i = 0; i < coords; ++i) {
        const unsigned c = (code[i / 4] >> (2 * (i % 4))) & 3u;
        for (size_t m = 0; m < g; ++m) s[m] += products[m][4 * i + c];
      }
      for (size_t m = 0; m < g; ++m) out[(first + m) * out_stride + j] = s[m];
    }
  }
}

}  // namespace scalar

TwoBitQuery TwoBitQuery::from(const float* q, size_t n) {
  TwoBitQuery tq;
  tq.n = n;
  tq.products.resize(4 * n);
  for (size_t i = 0; i < n; ++i) {
    for (size_t k = 0; k < 4; ++k) tq.products[4 * i + k] = q[i] * CENTROIDS_2BIT[k];
  }
  return tq;
}

}  // namespace teskra::simd
