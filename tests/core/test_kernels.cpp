// The kernels and their dispatcher. The scalar set is the reference, pinned
// by hand below; every level this CPU runs must reproduce it bit for bit, in
// every family (NaNs compare equal to each other: the payload and sign a NaN
// ends up with may depend on operand order). The pipeline's batches over them,
// at every level: test_quantize.cpp.
#include <gtest/gtest.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/quantize/tables.h"
#include "core/search/centroid_panel.h"
#include "core/search/float_dot.h"
#include "core/simd/kernels.h"
#include "test_util.h"

namespace teskra::simd {
namespace {

using test_util::bits;
using test_util::same_value;

constexpr KernelLevel kLevels[] = {KernelLevel::scalar, KernelLevel::avx2, KernelLevel::avx512};
constexpr const char* kLevelNames[] = {"scalar", "avx2", "avx512"};
const char* name_of(KernelLevel level) { return kLevelNames[static_cast<size_t>(level)]; }

std::string show(float f) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%a (0x%08x)", static_cast<double>(f), bits(f));
  return buf;
}

#define EXPECT_SAME(got, want) \
  EXPECT_PRED2(same_value, got, want) << "got " << show(got) << " want " << show(want)

// ---------------------------------------------------------------------------
// The reference, pinned by hand.

// A query that is zero except at one coordinate picks out exactly that
// coordinate's centroid times the value: pins the nibble and bit-pair order
// in whole chunks and in the tail, for every code value. A 4-bit limit of 1
// (padded dimension 1) leaves the high nibble out.
TEST(ReferenceKernels, OneHotQueryFollowsTheLayout) {
  const KernelSet& k = scalar_kernels();
  const size_t bytes = 21;  // 4-bit: two whole chunks and a 5-byte tail
  std::vector<uint8_t> code(bytes);
  for (size_t i = 0; i < bytes; ++i) {
    code[i] = static_cast<uint8_t>(3 * i % 16 | (7 * i + 5) % 16 << 4);  // nibbles lo | hi
  }
  for (size_t coord = 0; coord < 4 * bytes; ++coord) {
    std::vector<float> q(4 * bytes, 0.0f);
    q[coord] = -4.0f;
    if (coord < 2 * bytes) {
      const uint8_t byte = code[coord / 2];
      EXPECT_EQ(k.score_4bit(q.data(), code.data(), bytes, 2 * bytes),
                -4.0f * CENTROIDS_4BIT[coord % 2 ? byte >> 4 : byte & 15])
          << "4-bit coordinate " << coord;
    }
    EXPECT_EQ(k.score_2bit(q.data(), q.size(), code.data(), bytes),
              -4.0f * CENTROIDS_2BIT[(code[coord / 4] >> (2 * (coord % 4))) & 3])
        << "2-bit coordinate " << coord;
  }
  const float q1[2] = {3.0f, 5.0f};
  EXPECT_EQ(k.score_4bit(q1, code.data(), 1, 1), 3.0f * CENTROIDS_4BIT[code[0] & 15]);
}

// The order of every sum. 4-bit, padded dimension 16: one whole chunk, no
// tail. With C = c(15) and lane 0 of A3 = -C, A2 = C, A1 = C * 2^-24, the
// pairing (A3 + A2) + (A1 + A0) is exact and gives C * 2^-24; a left-to-right
// sum would round C + C * 2^-24 up by one ulp and return 2^-22 instead.
TEST(ReferenceKernels, SumsInTheirPinnedOrder) {
  const KernelSet& k = scalar_kernels();
  const float big = CENTROIDS_4BIT[15];
  const std::vector<uint8_t> code(8, 0xFF);
  const std::vector<float> q = {0, 0, 0, 0, 0x1p-24f, 0, 0, 0, 1, 0, 0, 0, -1, 0, 0, 0};
  // Same trick one level down: V0 = C * 2^-24, V2 = -C, V3 = C.
  const std::vector<float> q2 = {0x1p-24f, 0, -1, 1, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  const float want = std::ldexp(big, -24);
  ASSERT_NE(bits(((0.0f + want) + big) - big), bits(want));  // the order matters
  EXPECT_EQ(bits(k.score_4bit(q.data(), code.data(), 8, 16)), bits(want));
  EXPECT_EQ(bits(k.score_4bit(q2.data(), code.data(), 8, 16)), bits(want));

  // The same two products, c(11) * 0.1 and then c(11) * 1.3, summed in a
  // chunk lane (the second fused onto the first) and in the tail (both
  // rounded): the results differ in the last bit. Two chunks: coordinates 0
  // and 16 share lane 0 of A0.
  const std::vector<uint8_t> chunked(16, 0xBB);
  std::vector<float> qc(32, 0.0f);
  qc[0] = 0.1f, qc[16] = 1.3f;
  // Padded dimension 8: four bytes, no whole chunk, all through the tail.
  const std::vector<uint8_t> tail_only(4, 0xBB);
  const std::vector<float> qt = {0.1f, 1.3f, 0, 0, 0, 0, 0, 0};
  EXPECT_EQ(bits(k.score_4bit(qc.data(), chunked.data(), 16, 32)), bits(0x1.51bc1ep+0f));
  EXPECT_EQ(bits(k.score_4bit(qt.data(), tail_only.data(), 4, 8)), bits(0x1.51bc1cp+0f));

  // Float dot. Lane 1 adds -1, then (1 + 2^-12)^2 = 1 + 2^-11 + 2^-24:
  // rounded before the add, the product leaves 2^-11; fused, the 2^-24 would
  // survive. With C = 2^24, lanes 0, 1, 6, 7 = C, 1, -C, 1 sum to 2 only
  // paired as (j, j + 4) and then (0 + 2) + (1 + 3) (in index order C absorbs
  // a 1, and so do the pairings (0 + 1) + (2 + 3)); the tail C, 1, -C sums to
  // 0 on its own but would add 2 more to the running total.
  const float c = 0x1p24f;
  std::vector<float> a(16, 0.0f), b(16, 1.0f);
  a[1] = -1.0f;
  a[9] = b[9] = 1.0f + 0x1p-12f;
  EXPECT_EQ(bits(k.float_dot(a.data(), b.data(), 16)), bits(0x1p-11f));
  const std::vector<float> x = {c, 1, 0, 0, 0, 0, -c, 1, c, 1, -c}, ones(x.size(), 1.0f);
  EXPECT_EQ(bits(k.float_dot(x.data(), ones.data(), x.size())), bits(2.0f));
}

// ---------------------------------------------------------------------------
// The dispatcher.

// The ctest runs set TESKRA_KERNELS; a value naming no level leaves the best.
TEST(KernelDispatch, EnvironmentAndOverrideFallBackToWhatTheCpuRuns) {
  const KernelLevel best = best_kernel_level();
#ifndef TESKRA_HAVE_SIMD
  EXPECT_EQ(best, KernelLevel::scalar);
#endif
  const char* env = std::getenv("TESKRA_KERNELS");
  KernelLevel want = best;
  for (KernelLevel level : kLevels)
    if (env != nullptr && std::string_view(env) == name_of(level)) want = std::min(level, best);
  const KernelSet& start = active_kernels();
  EXPECT_EQ(start.level, want) << "TESKRA_KERNELS=" << (env ? env : "(unset)");
  for (KernelLevel level : {KernelLevel::avx512, KernelLevel::scalar, KernelLevel::avx2}) {
    const KernelSet& set = set_kernel_level(level);
    EXPECT_EQ(&set, &active_kernels());
    EXPECT_EQ(set.level, std::min(level, best)) << name_of(level);
    EXPECT_STREQ(set.name, name_of(set.level));
  }
  EXPECT_EQ(&set_kernel_level(KernelLevel::scalar), &scalar_kernels());
  set_kernel_level(start.level);
}

// ---------------------------------------------------------------------------
// Random and adversarial inputs for the equivalence runs.

// Kind 0: normal values. 1: any finite float, denormals included (products
// overflow, underflow and absorb each other). 2: normal values with NaN,
// ±inf, ±0, denormals and ±FLT_MAX sprinkled in, so some results stay finite
// and others turn inf or NaN. 3: large values of alternating sign with tiny
// ones between, so any change of summation order shows in the low bits.
// 4: all -0, whose products are ±0: every sum starts at +0 and stays there.
constexpr int kValueKinds = 5;

std::vector<float> make_values(size_t n, int kind, std::mt19937_64& rng) {
  using L = std::numeric_limits<float>;
  const float specials[] = {
      L::quiet_NaN(), -L::quiet_NaN(), L::infinity(),   -L::infinity(),
      0.0f,           -0.0f,           L::denorm_min(), -std::bit_cast<float>(0x007fffffu),
      L::max(),       -L::max()};
  std::normal_distribution<float> normal(0.0f, 1.0f);
  std::vector<float> q(n);
  for (size_t i = 0; i < n; ++i) {
    const uint64_t r = rng();
    const uint32_t b = static_cast<uint32_t>(r) & (((r >> 23) & 0xFF) == 0xFF ? ~(1u << 30) : ~0u);  // finite
    q[i] = kind == 0   ? normal(rng)
           : kind == 1 ? std::bit_cast<float>(b)
           : kind == 2 ? (r % 16 == 0 ? specials[(r >> 8) % std::size(specials)] : normal(rng))
           : kind == 3
               ? (i % 3 == 2 ? normal(rng) * 1e-6f : (i % 2 ? -1e6f : 1e6f) * (1 + normal(rng) / 1e3f))
               : -0.0f;
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

// Codes with a byte `offset` into each record (as the 2-bit block of a mixed
// code is), two ways: records of `stride` bytes in one exactly sized buffer,
// and one exactly sized allocation per code reached through a pointer table
// (with a repeat), so that sanitizer builds catch any read past a code.
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
  CodeBatch pointer_batch() const { return CodeBatch{.ptrs = ptrs.data(), .n = n, .offset = offset}; }
};

// Two pages, the second inaccessible: a buffer placed to end at the page
// boundary faults on the first byte read past it.
class GuardedPage {
 public:
  GuardedPage() : page_(static_cast<size_t>(sysconf(_SC_PAGESIZE))) {
    void* m = mmap(nullptr, 2 * page_, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (m != MAP_FAILED) mem_ = static_cast<uint8_t*>(m);
    if (mem_ && mprotect(mem_ + page_, page_, PROT_NONE) != 0)
      munmap(std::exchange(mem_, nullptr), 2 * page_);
  }
  ~GuardedPage() {
    if (mem_) munmap(mem_, 2 * page_);
  }
  bool ok() const { return mem_ != nullptr; }
  uint8_t* ending_at_guard(size_t bytes) { return mem_ + page_ - bytes; }
  float* holding(const std::vector<float>& v) {
    float* p = reinterpret_cast<float*>(ending_at_guard(v.size() * sizeof(float)));
    std::copy(v.begin(), v.end(), p);
    return p;
  }

 private:
  size_t page_;
  uint8_t* mem_ = nullptr;
};

// ---------------------------------------------------------------------------
// Every family at every level this CPU runs, against the reference. Each test
// makes its level the active one, so the public entry points (CentroidPanel,
// float_dot) are exercised through the dispatcher.

std::vector<KernelLevel> supported_levels() {
  std::vector<KernelLevel> levels;
  for (KernelLevel level : kLevels)
    if (level <= best_kernel_level()) levels.push_back(level);
  return levels;
}

class Kernels : public ::testing::TestWithParam<KernelLevel> {
 protected:
  void SetUp() override {
    previous_ = active_kernels().level;
    ASSERT_EQ(set_kernel_level(GetParam()).level, GetParam());
  }
  void TearDown() override { set_kernel_level(previous_); }

  const KernelSet& k() const { return active_kernels(); }
  const KernelSet& ref() const { return scalar_kernels(); }

  // Both widths for each query: one code at a time, in both batch forms and
  // in the multi-query batch (all the queries at once), against the one-code
  // reference; the slot after each row must stay untouched.
  void check_codes(const Codes& c, const std::vector<std::vector<float>>& qs, size_t limit, size_t q2_len,
                   const std::string& what) {
    constexpr float kUntouched = 12345.0f;
    const size_t nq = qs.size(), stride = c.n + 1;
    std::vector<TwoBitQuery> tqs;
    std::vector<const float*> q_ptrs;
    std::vector<const TwoBitQuery*> tq_ptrs;
    tqs.reserve(nq);
    for (const auto& q : qs) {
      q_ptrs.push_back(q.data());
      tq_ptrs.push_back(&tqs.emplace_back(TwoBitQuery::from(q.data(), q2_len)));
    }
    for (const CodeBatch& batch : {c.strided_batch(), c.pointer_batch()}) {
      const char* form = batch.ptrs ? " pointers" : " strided";
      std::vector<float> multi4(nq * stride, kUntouched), multi2(nq * stride, kUntouched);
      k().score_4bit_multi(q_ptrs.data(), nq, batch, c.bytes, limit, multi4.data(), stride);
      k().score_2bit_multi(tq_ptrs.data(), nq, batch, c.bytes, multi2.data(), stride);
      for (size_t j = 0; j < nq; ++j) {
        const float* q = qs[j].data();
        std::vector<float> out4(stride, kUntouched), out2(stride, kUntouched);
        k().score_4bit_batch(q, batch, c.bytes, limit, out4.data());
        k().score_2bit_batch(tqs[j], batch, c.bytes, out2.data());
        for (size_t i = 0; i <= c.n; ++i) {  // i = n: the slot after the row
          const float want4 = i < c.n ? ref().score_4bit(q, batch.code(i), c.bytes, limit) : kUntouched;
          const float want2 = i < c.n ? ref().score_2bit(q, q2_len, batch.code(i), c.bytes) : kUntouched;
          const float one4 = i < c.n ? k().score_4bit(q, batch.code(i), c.bytes, limit) : want4;
          const float one2 = i < c.n ? k().score_2bit(q, q2_len, batch.code(i), c.bytes) : want2;
          for (auto [got, want, how] : {std::tuple{out4[i], want4, "4-bit batch"},
                                        {one4, want4, "4-bit one"},
                                        {multi4[j * stride + i], want4, "4-bit multi"},
                                        {out2[i], want2, "2-bit batch"},
                                        {one2, want2, "2-bit one"},
                                        {multi2[j * stride + i], want2, "2-bit multi"}})
            EXPECT_SAME(got, want) << how << " " << what << form << " query " << j << " code " << i;
        }
      }
    }
  }

 private:
  KernelLevel previous_ = KernelLevel::scalar;
};

// Every batch size up to 70 crosses each lane-group and interleave boundary
// (at a few lengths), and every code length up to 80 (every chunk and word
// edge) and around the larger chunk edges runs a batch of 37; each also with
// an odd 4-bit limit and a query shorter than the 2-bit slots (one-byte codes:
// lengths 1 and 2, padded dimensions 1 and 2).
TEST_P(Kernels, PackedCodesOfEveryLengthAndBatchSize) {
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
    const int kind = static_cast<int>(n + bytes);
    const Codes c(n, bytes, (n + bytes) % 5, (n + bytes) % 4, kind % kCodeKinds, rng);
    const std::vector<std::vector<float>> q = {make_values(4 * bytes, kind % kValueKinds, rng)};
    const std::string what = "bytes " + std::to_string(bytes) + " n " + std::to_string(n);
    check_codes(c, q, 2 * bytes, 4 * bytes, what);
    if (bytes > 1)
      check_codes(c, q, 2 * bytes - 1, 4 * bytes - 2, what + " short q");
    else
      for (size_t q_len : {1, 2}) check_codes(c, q, q_len, q_len, what + " short q");
  }
}

// The multi-query forms against the one-code reference, query by query:
// query counts on both sides of every level's query group (odd ones and a
// remainder of one included), batch sizes across the code interleave and
// the 2-bit lane groups, code lengths across the chunk and word edges, with
// and without a 4-bit tail, an odd limit and a short 2-bit query. Each query
// has its own kind of values, so a query scored with a neighbour's values
// or accumulators shows; the slots between the rows must stay untouched.
TEST_P(Kernels, MultiQueryIsEachQueryAlone) {
  std::mt19937_64 rng(21);
  for (size_t bytes : {1, 2, 3, 7, 8, 9, 16, 17, 24, 40, 129, 200}) {
    for (size_t n : {0, 1, 3, 4, 5, 8, 9, 17, 33, 64, 70}) {
      const int kind = static_cast<int>(n + bytes);
      const Codes c(n, bytes, (n + bytes) % 5, (n + bytes) % 3, kind % kCodeKinds, rng);
      for (size_t nq : {1, 2, 3, 4, 5, 7, 8, 9, 13}) {
        const bool short_q = (nq + n) % 2 == 1;
        std::vector<std::vector<float>> qs;
        for (size_t j = 0; j < nq; ++j) qs.push_back(make_values(4 * bytes, int(j + n) % kValueKinds, rng));
        check_codes(
            c, qs, bytes == 1 ? 1 + short_q : 2 * bytes - short_q,
            bytes == 1 ? 1 + short_q : 4 * bytes - 2 * short_q,
            "bytes " + std::to_string(bytes) + " n " + std::to_string(n) + " nq " + std::to_string(nq));
      }
    }
  }
}

// Every row against every centroid is the plain loop: two whole row tiles and
// a tail (13 rows), centroid counts on both sides of the 64-wide padding,
// overflowing products and a row of -0 (whose sums must stay +0). One
// allocation per row, so sanitizer builds catch a read past one.
TEST_P(Kernels, CentroidPanelIsThePlainLoop) {
  constexpr float kInf = std::numeric_limits<float>::infinity();
  const float extremes[] = {
      std::numeric_limits<float>::quiet_NaN(), kInf, -kInf, 1e-40f, -0.0f, 3e38f, -3e38f, 0.0f};
  std::mt19937_64 rng(5);
  for (size_t dim : {1, 7, 64, 131}) {
    for (size_t k : {1, 5, 64, 65, 130}) {
      std::vector<float> cents = make_values(k * dim, 0, rng);
      std::vector<std::vector<float>> rows(13);
      for (auto& r : rows) r = make_values(dim, 0, rng);
      for (size_t s = 0; s < 8; ++s) {
        cents[rng() % cents.size()] = extremes[s];
        rows[rng() % 12][rng() % dim] = extremes[(s + 3) % 8];
      }
      rows[12] = make_values(dim, 4, rng);
      const CentroidPanel panel(cents, k, dim);
      std::vector<const float*> ptrs;
      for (const auto& r : rows) ptrs.push_back(r.data());
      std::vector<float> out(13 * panel.stride());
      panel.dots(ptrs.data(), 13, out.data());
      for (size_t i = 0; i < 13 * k; ++i) {
        const float want = sequential_dot(ptrs[i / k], &cents[i % k * dim], dim);
        ASSERT_PRED2(same_value, out[i / k * panel.stride() + i % k], want)
            << "dim " << dim << " k " << k << " row " << i / k << " centroid " << i % k;
      }
    }
  }
}

// Lengths across the 8-lane steps and their tails, every row count across the
// 8-row groups and their remainders, a repeated row, and one allocation per
// row; the slot after the rows must stay untouched.
TEST_P(Kernels, FloatDotEveryLengthAndRowCount) {
  std::mt19937_64 rng(7);
  std::vector<size_t> lengths = test_util::iota_ids(81);  // 0 to 80
  lengths.insert(lengths.end(), {127, 128, 129, 1000, 1031});
  for (size_t n : lengths) {
    const std::vector<float> q = make_values(n, static_cast<int>(n % kValueKinds), rng);
    std::vector<std::vector<float>> rows(19);
    std::vector<const float*> ptrs;
    for (size_t r = 0; r < rows.size(); ++r) {
      rows[r] = make_values(n, static_cast<int>((n + r) % kValueKinds), rng);
      ptrs.push_back(rows[r].data());
      EXPECT_SAME(float_dot(q.data(), ptrs[r], n), ref().float_dot(q.data(), ptrs[r], n))
          << "n " << n << " row " << r;
    }
    ptrs[10] = ptrs[3];
    for (size_t count = 0; count <= ptrs.size(); ++count) {
      std::vector<float> out(count + 1, 12345.0f);
      float_dot_rows(q.data(), ptrs.data(), count, n, out.data());
      for (size_t r = 0; r < count; ++r) {
        EXPECT_SAME(out[r], ref().float_dot(q.data(), ptrs[r], n))
            << "n " << n << " count " << count << " row " << r;
      }
      EXPECT_EQ(out[count], 12345.0f) << "wrote past the rows, n " << n << " count " << count;
    }
  }
}

// Nothing is read past the end of a query, a code or a float row, each placed
// to end at a guard: no whole vector or word load may reach beyond the last
// value, in the one-query and the multi-query batches. Queries as short as a
// code allows: the 4-bit one at its limit (odd for a one-byte code), the
// 2-bit one a value short of the code's slots.
TEST_P(Kernels, NoReadPastTheEnd) {
  GuardedPage a, b;
  if (!a.ok() || !b.ok()) GTEST_SKIP() << "no guard page";
  std::mt19937_64 rng(10);
  for (size_t bytes = 1; bytes <= 40; ++bytes) {
    for (size_t n : {1, 4, 7, 16, 19}) {
      uint8_t* codes = a.ending_at_guard(n * bytes);
      fill_code(codes, n * bytes, 0, rng);
      std::vector<const uint8_t*> ptrs(n);
      for (size_t i = 0; i < n; ++i) ptrs[i] = codes + (n - 1 - i) * bytes;
      const CodeBatch batches[] = {{.base = codes, .stride = bytes, .n = n}, {.ptrs = ptrs.data(), .n = n}};
      std::vector<float> out(n);
      for (size_t limit = bytes == 1 ? 1 : 2 * bytes; limit <= 2 * bytes; ++limit) {
        const float* q = b.holding(make_values(limit, 0, rng));
        EXPECT_SAME(k().score_4bit(q, ptrs[0], bytes, limit), ref().score_4bit(q, ptrs[0], bytes, limit));
        const float* qs[] = {q, q, q};
        std::vector<float> out3(3 * n);
        for (const CodeBatch& batch : batches) {
          k().score_4bit_batch(q, batch, bytes, limit, out.data());
          k().score_4bit_multi(qs, 3, batch, bytes, limit, out3.data(), n);
          for (size_t i = 0; i < n; ++i) {
            EXPECT_SAME(out[i], ref().score_4bit(q, batch.code(i), bytes, limit));
            EXPECT_SAME(out3[2 * n + i], out[i]);
          }
        }
      }
      for (size_t q_len = bytes == 1 ? 1 : 4 * bytes - 1; q_len < 4 * bytes; ++q_len) {
        const float* q = b.holding(make_values(q_len, 0, rng));
        EXPECT_SAME(k().score_2bit(q, q_len, ptrs[0], bytes), ref().score_2bit(q, q_len, ptrs[0], bytes));
        const TwoBitQuery tq = TwoBitQuery::from(q, q_len);
        const TwoBitQuery* tqs[] = {&tq, &tq, &tq};
        std::vector<float> out3(3 * n);
        for (const CodeBatch& batch : batches) {
          k().score_2bit_batch(tq, batch, bytes, out.data());
          k().score_2bit_multi(tqs, 3, batch, bytes, out3.data(), n);
          for (size_t i = 0; i < n; ++i) {
            EXPECT_SAME(out[i], ref().score_2bit(q, q_len, batch.code(i), bytes));
            EXPECT_SAME(out3[2 * n + i], out[i]);
          }
        }
      }
    }
    const float* x = a.holding(make_values(bytes, 0, rng));
    const float* y = b.holding(make_values(bytes, 0, rng));
    float rows_out = 0.0f;
    float_dot_rows(x, &y, 1, bytes, &rows_out);
    EXPECT_SAME(float_dot(x, y, bytes), ref().float_dot(x, y, bytes));
    EXPECT_SAME(rows_out, ref().float_dot(x, y, bytes));
  }
}

INSTANTIATE_TEST_SUITE_P(Levels, Kernels, ::testing::ValuesIn(supported_levels()),
                         [](const ::testing::TestParamInfo<KernelLevel>& info) {
                           return std::string(name_of(info.param));
                         });

}  // namespace
}  // namespace teskra::simd
