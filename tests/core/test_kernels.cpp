// Scoring kernels. The scalar set defines the bits; every other set this CPU
// can run must reproduce them exactly (NaNs compare equal to each other: the
// payload and sign a NaN ends up with may depend on operand order). The first
// group pins the reference itself with values worked out by hand.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "core/quantize/tables.h"
#include "core/simd/kernels.h"
#include "test_util.h"

namespace teskra::simd {
namespace {

using test_util::bits;
using test_util::same_value;

std::string show(float f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a (0x%08x)", static_cast<double>(f), bits(f));
  return buf;
}

#define EXPECT_SAME(got, want) \
  EXPECT_PRED2(same_value, got, want) << "got " << show(got) << " want " << show(want)

uint8_t pack(unsigned lo, unsigned hi) { return static_cast<uint8_t>(lo | (hi << 4)); }

// ---------------------------------------------------------------------------
// The reference, pinned by hand (checked on every set).

TEST(ReferenceKernels, TwoBitKnownSumAndPlusZeroForAZeroQuery) {
  const float q[4] = {1, 2, 3, 4};
  const uint8_t code = 0xE4;  // codes 0, 1, 2, 3
  const TwoBitQuery tq = TwoBitQuery::from(q, 4);
  const uint8_t* ptrs[1] = {&code};
  // The sums start at +0 and -0 products do not change that.
  const std::vector<uint8_t> codes(100, 0x5C);
  const std::vector<float> zero(400, 0.0f);
  for (const KernelSet* k : available_kernels()) {
    EXPECT_EQ(bits(k->score_2bit(q, 4, &code, 1)), bits(4.98403263f)) << k->name;
    float out = -1.0f;
    k->score_2bit_batch(tq, CodeBatch{.ptrs = ptrs, .n = 1}, 1, &out);
    EXPECT_EQ(bits(out), bits(4.98403263f)) << k->name;
    for (size_t bytes : {0, 1, 13, 100}) {
      EXPECT_EQ(bits(k->score_4bit(zero.data(), codes.data(), bytes, 2 * bytes)), 0u) << k->name;
      EXPECT_EQ(bits(k->score_2bit(zero.data(), 4 * bytes, codes.data(), bytes)), 0u) << k->name;
    }
  }
}

// A query that is zero except at one coordinate picks out exactly that
// coordinate's centroid times the value: pins the nibble and bit-pair order
// in whole chunks and in the tail, for every code value.
TEST(ReferenceKernels, OneHotQueryFollowsTheLayout) {
  const size_t bytes = 21;  // 4-bit: two whole chunks and a 5-byte tail
  std::vector<uint8_t> code(bytes);
  for (size_t i = 0; i < bytes; ++i) code[i] = pack((3 * i) % 16, (7 * i + 5) % 16);
  for (size_t coord = 0; coord < 4 * bytes; ++coord) {
    std::vector<float> q(4 * bytes, 0.0f);
    q[coord] = -4.0f;
    const uint8_t byte4 = code[coord / 2 % bytes];
    const float want4 = -4.0f * CENTROIDS_4BIT[coord % 2 ? byte4 >> 4 : byte4 & 15];
    const float want2 = -4.0f * CENTROIDS_2BIT[(code[coord / 4] >> (2 * (coord % 4))) & 3];
    for (const KernelSet* k : available_kernels()) {
      if (coord < 2 * bytes) {
        EXPECT_EQ(k->score_4bit(q.data(), code.data(), bytes, 2 * bytes), want4)
            << k->name << " 4-bit coordinate " << coord;
      }
      EXPECT_EQ(k->score_2bit(q.data(), q.size(), code.data(), bytes), want2)
          << k->name << " 2-bit coordinate " << coord;
    }
  }
}

// Padded dimension 16: one whole chunk, no tail. With C = c(15) and lane 0 of
// A3 = -C, A2 = C, A1 = C * 2^-24, the pairing (A3 + A2) + (A1 + A0) is exact
// and gives C * 2^-24; a left-to-right sum would round C + C * 2^-24 up by one
// ulp and return 2^-22 instead.
TEST(ReferenceKernels, FourBitChunkReductionPairs) {
  const float big = CENTROIDS_4BIT[15];
  const std::vector<uint8_t> code(8, 0xFF);
  std::vector<float> q(16, 0.0f);
  q[4] = std::ldexp(1.0f, -24);
  q[8] = 1.0f;
  q[12] = -1.0f;
  // Same trick one level down: V0 = C * 2^-24, V2 = -C, V3 = C.
  std::vector<float> q2(16, 0.0f);
  q2[0] = std::ldexp(1.0f, -24);
  q2[2] = -1.0f;
  q2[3] = 1.0f;
  const float want = std::ldexp(big, -24);
  ASSERT_NE(bits(((0.0f + want) + big) - big), bits(want));  // the order matters
  for (const KernelSet* k : available_kernels()) {
    EXPECT_EQ(bits(k->score_4bit(q.data(), code.data(), 8, 16)), bits(want)) << k->name;
    EXPECT_EQ(bits(k->score_4bit(q2.data(), code.data(), 8, 16)), bits(want)) << k->name;
  }
}

// The same two products, c(11) * 0.1 and then c(11) * 1.3, summed in a chunk
// lane (the second fused onto the first) and in the tail (both rounded): the
// results differ in the last bit.
TEST(ReferenceKernels, FourBitFusedInChunksRoundedInTail) {
  const float fused = 0x1.51bc1ep+0f;
  const float rounded = 0x1.51bc1cp+0f;
  // Two chunks: coordinates 0 and 16 share lane 0 of A0.
  const std::vector<uint8_t> chunked(16, 0xBB);
  std::vector<float> q(32, 0.0f);
  q[0] = 0.1f;
  q[16] = 1.3f;
  // Padded dimension 8: four bytes, no whole chunk, all through the tail.
  const std::vector<uint8_t> tail_only(4, 0xBB);
  std::vector<float> qt(8, 0.0f);
  qt[0] = 0.1f;
  qt[1] = 1.3f;
  for (const KernelSet* k : available_kernels()) {
    EXPECT_EQ(bits(k->score_4bit(q.data(), chunked.data(), 16, 32)), bits(fused)) << k->name;
    EXPECT_EQ(bits(k->score_4bit(qt.data(), tail_only.data(), 4, 8)), bits(rounded)) << k->name;
  }
}

TEST(Dispatch, ScalarFirstActiveLast) {
  const auto sets = available_kernels();
  ASSERT_FALSE(sets.empty());
  EXPECT_EQ(sets.front(), &scalar_kernels());
  EXPECT_EQ(sets.back(), &active_kernels());
  for (size_t i = 1; i < sets.size(); ++i) EXPECT_STRNE(sets[i - 1]->name, sets[i]->name);
#ifndef TESKRA_HAVE_SIMD
  EXPECT_EQ(sets.size(), 1u);
#endif
}

// ---------------------------------------------------------------------------
// Random and adversarial inputs for the equivalence runs.

// Kind 0: normal values. 1: any finite float, denormals included (products
// overflow, underflow and absorb each other). 2: normal values with NaN,
// ±inf, ±0, denormals and ±FLT_MAX sprinkled in, so some results stay finite
// and others turn inf or NaN. 3: large values of alternating sign with tiny
// ones between, so any change of summation order shows in the low bits.
constexpr int kQueryKinds = 4;

std::vector<float> make_query(size_t n, int kind, std::mt19937_64& rng) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  constexpr float kNaN = std::numeric_limits<float>::quiet_NaN();
  const float specials[] = {kNaN, -kNaN, kInf, -kInf, 0.0f, -0.0f,
                            std::numeric_limits<float>::denorm_min(),
                            -std::bit_cast<float>(0x007fffffu),
                            std::numeric_limits<float>::max(),
                            -std::numeric_limits<float>::max()};
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> q(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t r = rng();
    switch (kind) {
      case 0: q[i] = normal(rng); break;
      case 1: {
        uint32_t b = static_cast<uint32_t>(r);
        if (((b >> 23) & 0xFF) == 0xFF) b &= ~(1u << 30);  // no inf/NaN
        q[i] = std::bit_cast<float>(b);
        break;
      }
      case 2: q[i] = r % 16 == 0 ? specials[(r >> 8) % std::size(specials)] : normal(rng); break;
      default:
        q[i] = i % 3 == 2 ? normal(rng) * 1e-6f : (i % 2 ? -1e6f : 1e6f) * (1 + normal(rng) / 1e3f);
    }
  }
  return q;
}

// Kind 0: random bytes. 1: all zero. 2: all ones. 3: mostly 0x88 (c = ±0.128).
constexpr int kCodeKinds = 4;

void fill_code(uint8_t* code, size_t bytes, int kind, std::mt19937_64& rng) {
  for (size_t i = 0; i < bytes; ++i) {
    const uint8_t r = static_cast<uint8_t>(rng());
    code[i] = kind == 0 ? r : kind == 1 ? 0x00 : kind == 2 ? 0xFF : (r & 7) == 0 ? r : 0x88;
  }
}

// Codes with a byte `offset` into each record, two ways: records of `stride`
// bytes in one exactly sized buffer, and one exactly sized allocation per code
// reached through a pointer table (with a repeat), so that sanitizer builds
// catch any read past a code.
struct Codes {
  size_t n, bytes, offset, stride;
  std::vector<uint8_t> strided;
  std::vector<std::vector<uint8_t>> separate;
  std::vector<const uint8_t*> ptrs;

  Codes(size_t n_, size_t bytes_, size_t offset_, size_t pad, int kind, std::mt19937_64& rng)
      : n(n_), bytes(bytes_), offset(offset_), stride(bytes_ + offset_ + pad) {
    strided.assign(n ? (n - 1) * stride + offset + bytes : 0, 0xA5);
    for (size_t i = 0; i < n; ++i) {
      uint8_t* code = strided.data() + i * stride + offset;
      fill_code(code, bytes, kind, rng);
      separate.emplace_back(offset, 0x5A);
      separate.back().insert(separate.back().end(), code, code + bytes);
    }
    for (const auto& s : separate) ptrs.push_back(s.data());
    if (n > 2) ptrs[n / 2] = ptrs[0];  // a repeated neighbour is allowed
  }

  CodeBatch strided_batch() const {
    return CodeBatch{.base = strided.data(), .stride = stride, .n = n, .offset = offset};
  }
  CodeBatch pointer_batch() const {
    return CodeBatch{.ptrs = ptrs.data(), .n = n, .offset = offset};
  }
};

class KernelEquivalence : public ::testing::TestWithParam<const KernelSet*> {
 protected:
  const KernelSet& k() const { return *GetParam(); }
  const KernelSet& ref() const { return scalar_kernels(); }

  // Both batch forms of both widths against the one-code reference; the
  // slot after the batch must stay untouched.
  void check_batches(const Codes& c, const std::vector<float>& q, size_t limit, size_t q2_len,
                     const std::string& what) {
    const TwoBitQuery tq = TwoBitQuery::from(q.data(), q2_len);
    const float sentinel = 12345.0f;
    std::vector<float> out(c.n + 1);
    for (const CodeBatch& batch : {c.strided_batch(), c.pointer_batch()}) {
      const char* form = batch.ptrs ? "pointers" : "strided";
      out.assign(c.n + 1, sentinel);
      k().score_4bit_batch(q.data(), batch, c.bytes, limit, out.data());
      for (size_t i = 0; i < c.n; ++i) {
        EXPECT_SAME(out[i], ref().score_4bit(q.data(), batch.code(i), c.bytes, limit))
            << "4-bit " << form << " " << what << " code " << i;
      }
      EXPECT_EQ(out[c.n], sentinel) << "4-bit " << form << " wrote past n, " << what;

      out.assign(c.n + 1, sentinel);
      k().score_2bit_batch(tq, batch, c.bytes, out.data());
      for (size_t i = 0; i < c.n; ++i) {
        EXPECT_SAME(out[i], ref().score_2bit(q.data(), q2_len, batch.code(i), c.bytes))
            << "2-bit " << form << " " << what << " code " << i;
      }
      EXPECT_EQ(out[c.n], sentinel) << "2-bit " << form << " wrote past n, " << what;
    }
  }
};

// Every code length up to 1024 bytes crosses every chunk and word edge.
TEST_P(KernelEquivalence, OneCodeEveryLength) {
  std::mt19937_64 rng(1234);
  std::vector<uint8_t> code(1024);
  for (size_t bytes = 1; bytes <= 1024; ++bytes) {
    for (int rep = 0; rep < (bytes <= 72 ? 16 : 1); ++rep) {
      fill_code(code.data(), bytes, (bytes / 4 + rep) % kCodeKinds, rng);
      const std::vector<float> q = make_query(4 * bytes, (bytes + rep) % kQueryKinds, rng);
      // 4-bit: full limit, and the odd limit of padded dimension 1.
      for (size_t limit : {2 * bytes, 2 * bytes - 1}) {
        EXPECT_SAME(k().score_4bit(q.data(), code.data(), bytes, limit),
                    ref().score_4bit(q.data(), code.data(), bytes, limit))
            << "4-bit bytes " << bytes << " limit " << limit;
      }
      // 2-bit: full query, and queries that stop short of the code's slots.
      for (size_t q_len : {4 * bytes, 4 * bytes - 1, 4 * bytes - 3}) {
        EXPECT_SAME(k().score_2bit(q.data(), q_len, code.data(), bytes),
                    ref().score_2bit(q.data(), q_len, code.data(), bytes))
            << "2-bit bytes " << bytes << " q_len " << q_len;
      }
    }
  }
}

// Every batch size up to 70 crosses each lane-group and interleave boundary
// (at a few lengths), and every length up to 80 and around the larger chunk
// edges runs a batch of 37; each also with an odd 4-bit limit and a query
// shorter than the 2-bit slots (one-byte codes: lengths 1 and 2, padded
// dimensions 1 and 2).
TEST_P(KernelEquivalence, BatchesOfEverySizeAndLength) {
  std::mt19937_64 rng(5);
  std::vector<std::pair<size_t, size_t>> cases;  // (bytes, n)
  for (size_t bytes : {1, 2, 3, 5, 8, 13, 16, 17, 64, 129, 256}) {
    for (size_t n = 0; n <= 70; ++n) cases.push_back({bytes, n});
  }
  for (size_t b = 1; b <= 80; ++b) cases.push_back({b, 37});
  for (size_t edge = 96; edge <= 1024; edge += edge < 256 ? 16 : 64) {
    for (size_t b : {edge - 3, edge - 1, edge, edge + 1, edge + 5}) cases.push_back({b, 37});
  }
  for (const auto& [bytes, n] : cases) {
    const Codes c(n, bytes, (n + bytes) % 5, (n + bytes) % 4, static_cast<int>((n + bytes) % kCodeKinds), rng);
    const std::vector<float> q = make_query(4 * bytes, static_cast<int>((n + bytes) % kQueryKinds), rng);
    const std::string what = "bytes " + std::to_string(bytes) + " n " + std::to_string(n);
    check_batches(c, q, 2 * bytes, 4 * bytes, what);
    if (bytes > 1) check_batches(c, q, 2 * bytes - 1, 4 * bytes - 2, what + " short q");
    else for (size_t q_len : {1, 2}) check_batches(c, q, q_len, q_len, what + " short q");
  }
}

// Two pages, the second inaccessible: a buffer placed to end at the page
// boundary faults on the first byte read past it.
class GuardedPage {
 public:
  GuardedPage() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* m = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m == MAP_FAILED) return;
    mem_ = static_cast<uint8_t*>(m);
    if (mprotect(mem_ + page_, page_, PROT_NONE) != 0) {
      munmap(mem_, 2 * page_);
      mem_ = nullptr;
    }
  }
  ~GuardedPage() {
    if (mem_) munmap(mem_, 2 * page_);
  }
  bool ok() const { return mem_ != nullptr; }
  uint8_t* ending_at_guard(size_t bytes) { return mem_ + page_ - bytes; }

 private:
  size_t page_;
  uint8_t* mem_ = nullptr;
};

// Neither the query nor the last code of a batch may be read past its end
// (both placed to end at the guard): no whole vector or word load may reach
// beyond the last byte.
TEST_P(KernelEquivalence, NoReadPastTheQueryOrTheLastCode) {
  GuardedPage g;
  if (!g.ok()) GTEST_SKIP() << "no guard page";
  const uint8_t code = 0xE4;
  for (size_t q_len : {1, 2, 3}) {
    float* q = reinterpret_cast<float*>(g.ending_at_guard(q_len * sizeof(float)));
    float want = 0.0f;
    for (size_t i = 0; i < q_len; ++i) {
      q[i] = static_cast<float>(i + 1);
      want += q[i] * CENTROIDS_2BIT[(code >> (2 * i)) & 3];
    }
    EXPECT_EQ(bits(k().score_2bit(q, q_len, &code, 1)), bits(want)) << q_len;
    const TwoBitQuery tq = TwoBitQuery::from(q, q_len);
    float out = 0.0f;
    k().score_2bit_batch(tq, CodeBatch{.base = &code, .stride = 1, .n = 1}, 1, &out);
    EXPECT_EQ(bits(out), bits(want)) << q_len;
  }
  // 4-bit with padded dimension 1: one value, limit 1, so the high nibble does not count.
  float* q1 = reinterpret_cast<float*>(g.ending_at_guard(sizeof(float)));
  *q1 = 3.0f;
  const uint8_t code4 = pack(12, 7);
  EXPECT_EQ(k().score_4bit(q1, &code4, 1, 1), 3.0f * CENTROIDS_4BIT[12]);
  float out = 0.0f;
  k().score_4bit_batch(q1, CodeBatch{.base = &code4, .stride = 1, .n = 1}, 1, 1, &out);
  EXPECT_EQ(out, 3.0f * CENTROIDS_4BIT[12]);

  std::mt19937_64 rng(10);
  for (size_t bytes = 1; bytes <= 40; ++bytes) {
    for (size_t n : {1, 4, 7, 16, 19}) {
      uint8_t* base = g.ending_at_guard(n * bytes);
      fill_code(base, n * bytes, 0, rng);
      const std::vector<float> q = make_query(4 * bytes, 0, rng);
      const TwoBitQuery tq = TwoBitQuery::from(q.data(), q.size());
      std::vector<const uint8_t*> ptrs(n);
      for (size_t i = 0; i < n; ++i) ptrs[i] = base + (n - 1 - i) * bytes;
      std::vector<float> out4(n), out2(n);
      for (const CodeBatch& batch : {CodeBatch{.base = base, .stride = bytes, .n = n},
                                     CodeBatch{.ptrs = ptrs.data(), .n = n}}) {
        k().score_4bit_batch(q.data(), batch, bytes, 2 * bytes, out4.data());
        k().score_2bit_batch(tq, batch, bytes, out2.data());
        for (size_t i = 0; i < n; ++i) {
          EXPECT_SAME(out4[i], ref().score_4bit(q.data(), batch.code(i), bytes, 2 * bytes));
          EXPECT_SAME(out2[i], ref().score_2bit(q.data(), q.size(), batch.code(i), bytes));
        }
      }
      const uint8_t* last = base + (n - 1) * bytes;
      EXPECT_SAME(k().score_4bit(q.data(), last, bytes, 2 * bytes),
                  ref().score_4bit(q.data(), last, bytes, 2 * bytes));
      EXPECT_SAME(k().score_2bit(q.data(), q.size(), last, bytes),
                  ref().score_2bit(q.data(), q.size(), last, bytes));
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Kernels, KernelEquivalence, ::testing::ValuesIn(available_kernels()),
                         [](const ::testing::TestParamInfo<const KernelSet*>& info) {
                           return std::string(info.param->name);
                         });

}  // namespace
}  // namespace teskra::simd
