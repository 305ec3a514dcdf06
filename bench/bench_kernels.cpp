// Kernel throughput: codes scored per second and GB/s of code bytes read, for
// every kernel set this CPU runs, one code at a time, in batches and in
// multi-query batches (kMultiQueries queries per pass over a block; the rate
// counts query-code scores, so it compares with the one-query batch), over a
// buffer that stays in L2 and one far larger than the last-level cache. A
// plain sequential read of the same buffer, timed in the same run, gives the
// ceiling each figure is compared with.
//
// Single-threaded. Each figure is the best of several timed rounds, which
// filters out interference from other processes on a shared machine.
#include <emmintrin.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <random>
#include <string>
#include <vector>

#include "core/simd/kernels.h"

namespace {

using teskra::simd::CodeBatch;
using teskra::simd::KernelLevel;
using teskra::simd::KernelSet;
using teskra::simd::TwoBitQuery;
using Clock = std::chrono::steady_clock;

constexpr size_t kL2Bytes = 512 << 10;              // well inside a 1 MiB L2
constexpr size_t kMemoryBytes = size_t{256} << 20;  // far beyond the L3
constexpr size_t kBlock = 256;                      // codes per batch call
constexpr size_t kMultiQueries = 8;                 // queries per multi call (as a batch search groups them)
constexpr double kRoundSeconds = 0.08;
constexpr int kRounds = 5;

// Keeps results observable so the compiler cannot drop the work.
volatile float g_sink_f;
volatile uint64_t g_sink_u;

// Runs step() (which processes `bytes_per_step` bytes) until a round's time
// budget is spent; returns the best bytes per second over the rounds.
double best_rate(size_t bytes_per_step, const std::function<void()>& step) {
  step();  // warm caches and page tables
  double best = 0.0;
  for (int r = 0; r < kRounds; ++r) {
    size_t steps = 0;
    const auto start = Clock::now();
    double elapsed = 0.0;
    do {
      step();
      ++steps;
      elapsed = std::chrono::duration<double>(Clock::now() - start).count();
    } while (elapsed < kRoundSeconds);
    best = std::max(best, static_cast<double>(steps * bytes_per_step) / elapsed);
  }
  return best;
}

// Sum of every 64-bit word, four independent SSE2 accumulators: the plain
// streaming read the kernels are measured against.
uint64_t read_all(const uint8_t* p, size_t bytes) {
  __m128i a0 = _mm_setzero_si128(), a1 = a0, a2 = a0, a3 = a0;
  size_t i = 0;
  for (; i + 64 <= bytes; i += 64) {
    a0 = _mm_add_epi64(a0, _mm_load_si128(reinterpret_cast<const __m128i*>(p + i)));
    a1 = _mm_add_epi64(a1, _mm_load_si128(reinterpret_cast<const __m128i*>(p + i + 16)));
    a2 = _mm_add_epi64(a2, _mm_load_si128(reinterpret_cast<const __m128i*>(p + i + 32)));
    a3 = _mm_add_epi64(a3, _mm_load_si128(reinterpret_cast<const __m128i*>(p + i + 48)));
  }
  const __m128i s = _mm_add_epi64(_mm_add_epi64(a0, a1), _mm_add_epi64(a2, a3));
  uint64_t out[2];
  _mm_storeu_si128(reinterpret_cast<__m128i*>(out), s);
  for (; i < bytes; ++i) out[0] += p[i];
  return out[0] + out[1];
}

struct Layout {
  const char* name;
  size_t p;   // padded dimension
  size_t n4;  // 4-bit coordinates
  size_t pb4() const { return (n4 + 1) / 2; }
  size_t pb2() const { return (p - n4 + 3) / 4; }
  size_t bytes() const { return pb4() + pb2(); }
};

// One query against codes [first, first + n) of a contiguous buffer, the way
// the pipeline splits a code: 4-bit block, then 2-bit block, summed.
struct Scorer {
  const Layout& layout;
  const std::vector<float>& q;
  const TwoBitQuery& tq2;  // table for the 2-bit part of q
  const uint8_t* codes;

  float one(const KernelSet& k, size_t i) const {
    const uint8_t* c = codes + i * layout.bytes();
    if (layout.n4 == 0) return k.score_2bit(q.data(), layout.p, c, layout.bytes());
    const float s4 = k.score_4bit(q.data(), c, layout.pb4(), layout.n4);
    if (layout.n4 == layout.p) return s4;
    return s4 + k.score_2bit(q.data() + layout.n4, layout.p - layout.n4, c + layout.pb4(), layout.pb2());
  }

  void batch(const KernelSet& k, size_t first, size_t n, float* out, float* tmp) const {
    const CodeBatch four{.base = codes + first * layout.bytes(), .stride = layout.bytes(), .n = n};
    if (layout.n4 == 0) {
      k.score_2bit_batch(tq2, four, layout.bytes(), out);
      return;
    }
    k.score_4bit_batch(q.data(), four, layout.pb4(), layout.n4, out);
    if (layout.n4 == layout.p) return;
    CodeBatch two = four;
    two.offset = layout.pb4();
    k.score_2bit_batch(tq2, two, layout.pb2(), tmp);
    for (size_t i = 0; i < n; ++i) out[i] += tmp[i];
  }

  // kMultiQueries copies of the query side by side: out holds a row of n per
  // query, tmp as much.
  void multi(const KernelSet& k, size_t first, size_t n, float* out, float* tmp) const {
    const CodeBatch four{.base = codes + first * layout.bytes(), .stride = layout.bytes(), .n = n};
    const float* qs[kMultiQueries];
    const TwoBitQuery* tqs[kMultiQueries];
    for (size_t m = 0; m < kMultiQueries; ++m) {
      qs[m] = q.data();
      tqs[m] = &tq2;
    }
    if (layout.n4 == 0) {
      k.score_2bit_multi(tqs, kMultiQueries, four, layout.bytes(), out, n);
      return;
    }
    k.score_4bit_multi(qs, kMultiQueries, four, layout.pb4(), layout.n4, out, n);
    if (layout.n4 == layout.p) return;
    CodeBatch two = four;
    two.offset = layout.pb4();
    k.score_2bit_multi(tqs, kMultiQueries, two, layout.pb2(), tmp, n);
    for (size_t i = 0; i < kMultiQueries * n; ++i) out[i] += tmp[i];
  }
};

struct Row {
  std::string layout, set, mode, buffer;
  size_t p, bytes;
  double codes_per_s, gbps, mem_gbps;
};

void print_row(const Row& r, double scalar_one) {
  std::printf("%-6s %5zu %5zu  %-7s %-5s %-4s %10.2f %8.2f %6.0f%% %8.1fx\n", r.layout.c_str(), r.p, r.bytes,
              r.set.c_str(), r.mode.c_str(), r.buffer.c_str(), r.codes_per_s / 1e6, r.gbps,
              100.0 * r.gbps / r.mem_gbps, r.codes_per_s / scalar_one);
}

// The throughput goals for the hot loop, checked on the active kernel set:
// batches at P = 1024 over codes in L2.
void print_targets(const std::vector<Row>& rows, const std::string& active) {
  struct Target {
    const char* layout;
    double gbps;
    double speedup;
  };
  for (const Target& t : {Target{"4bit", 4.0, 5.0}, Target{"2bit", 2.0, 10.0}}) {
    const Row* scalar = nullptr;
    const Row* best = nullptr;
    for (const Row& r : rows) {
      if (r.layout != t.layout || r.p != 1024 || r.buffer != "L2") continue;
      if (r.set == "scalar" && r.mode == "one") scalar = &r;
      if (r.set == active && r.mode == "batch") best = &r;
    }
    if (scalar == nullptr || best == nullptr) continue;
    const double speedup = best->codes_per_s / scalar->codes_per_s;
    const bool met = best->gbps >= t.gbps && speedup >= t.speedup;
    std::printf(
        "target %s batch P=1024 L2 (%s): %.2f GB/s (goal %.0f), %.1fx scalar "
        "(goal %.0fx): %s\n",
        t.layout, active.c_str(), best->gbps, t.gbps, speedup, t.speedup, met ? "met" : "MISSED");
  }
}

// The rows as JSON, for the search benchmark to relate the scan's rate to the
// kernel's.
void write_json(const std::vector<Row>& rows, const char* path) {
  FILE* f = std::fopen(path, "w");
  if (f == nullptr) {
    std::perror(path);
    return;
  }
  std::fprintf(f, "[\n");
  for (size_t i = 0; i < rows.size(); ++i) {
    const Row& r = rows[i];
    std::fprintf(f,
                 "  {\"layout\": \"%s\", \"set\": \"%s\", \"form\": \"%s\", \"buffer\": \"%s\", "
                 "\"padded_dim\": %zu, \"code_bytes\": %zu, \"codes_per_s\": %.1f, \"gbps\": %.3f}%s\n",
                 r.layout.c_str(), r.set.c_str(), r.mode.c_str(), r.buffer.c_str(), r.p, r.bytes,
                 r.codes_per_s, r.gbps, i + 1 < rows.size() ? "," : "");
  }
  std::fprintf(f, "]\n");
  std::fclose(f);
}

}  // namespace

// Usage: bench_kernels [--json PATH] [P ...]; the padded dimensions default
// to 512 1024 2048.
int main(int argc, char** argv) {
  std::vector<size_t> dims;
  const char* json_path = nullptr;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--json") == 0 && i + 1 < argc) {
      json_path = argv[++i];
    } else {
      dims.push_back(std::strtoull(argv[i], nullptr, 10));
    }
  }
  if (dims.empty()) dims = {512, 1024, 2048};
  // Every level this CPU runs, scalar first; the sets are measured directly,
  // so the active one (TESKRA_KERNELS may cap it) only names the targets.
  const KernelSet& active = teskra::simd::active_kernels();
  std::vector<const KernelSet*> sets;
  for (int level = 0; level <= static_cast<int>(teskra::simd::best_kernel_level()); ++level) {
    sets.push_back(&teskra::simd::set_kernel_level(static_cast<KernelLevel>(level)));
  }
  teskra::simd::set_kernel_level(active.level);
  std::printf("kernel sets:");
  for (const KernelSet* k : sets) std::printf(" %s", k->name);
  std::printf("   (active: %s)\n\n", active.name);
  std::printf("%-6s %5s %5s  %-7s %-5s %-4s %10s %8s %7s %9s\n", "layout", "P", "B/vec", "set", "mode", "buf",
              "Mcodes/s", "GB/s", "of-read", "vs-scalar");

  std::mt19937_64 rng(42);
  std::vector<uint8_t> big(kMemoryBytes);
  for (size_t i = 0; i < big.size(); i += 8) {
    const uint64_t r = rng();
    std::memcpy(big.data() + i, &r, 8);
  }
  std::vector<float> out(kMultiQueries * kBlock), tmp(kMultiQueries * kBlock);
  std::vector<Row> rows;

  for (size_t p : dims) {
    const Layout layouts[] = {{"4bit", p, p}, {"2bit", p, 0}, {"mixed", p, p / 2}};
    std::vector<float> q(p);
    std::normal_distribution<float> normal;
    for (auto& v : q) v = normal(rng);
    for (const Layout& layout : layouts) {
      const TwoBitQuery tq2 = TwoBitQuery::from(q.data() + layout.n4, p - layout.n4);
      const size_t bytes = layout.bytes();
      struct Buffer {
        const char* name;
        size_t n;
      };
      const Buffer buffers[] = {{"L2", kL2Bytes / bytes}, {"mem", kMemoryBytes / bytes}};
      for (const Buffer& buf : buffers) {
        const Scorer scorer{layout, q, tq2, big.data()};
        // The reference read covers the same bytes the kernels walk.
        const size_t buf_bytes = buf.n * bytes;
        const double mem_rate = best_rate(buf_bytes, [&] { g_sink_u = read_all(big.data(), buf_bytes); });

        double scalar_one = 0.0;
        for (const KernelSet* k : sets) {
          for (const char* mode : {"one", "batch", "multi"}) {
            const bool batch = std::strcmp(mode, "batch") == 0;
            const bool multi = std::strcmp(mode, "multi") == 0;
            // Each step scores one block; successive steps walk the buffer
            // cyclically so the large one is always read from memory.
            size_t cursor = 0;
            const size_t block = std::min(kBlock, buf.n);
            auto step = [&] {
              if (cursor + block > buf.n) cursor = 0;
              if (batch) {
                scorer.batch(*k, cursor, block, out.data(), tmp.data());
                g_sink_f = out[block - 1];
              } else if (multi) {
                scorer.multi(*k, cursor, block, out.data(), tmp.data());
                g_sink_f = out[kMultiQueries * block - 1];
              } else {
                float acc = 0.0f;
                for (size_t i = 0; i < block; ++i) acc += scorer.one(*k, cursor + i);
                g_sink_f = acc;
              }
              cursor += block;
            };
            const double rate = best_rate(block * bytes * (multi ? kMultiQueries : 1), step);
            Row r{layout.name, k->name, mode, buf.name, p, bytes, rate / bytes, rate / 1e9, mem_rate / 1e9};
            if (k == sets.front() && !batch && !multi) scalar_one = r.codes_per_s;
            print_row(r, scalar_one);
            rows.push_back(r);
          }
        }
        std::printf("%-6s %5zu %5zu  %-7s %-5s %-4s %10.2f %8.2f   (sequential read, %zu codes)\n",
                    layout.name, p, bytes, "-", "read", buf.name, mem_rate / bytes / 1e6, mem_rate / 1e9,
                    buf.n);
      }
    }
    std::printf("\n");
  }
  print_targets(rows, active.name);
  if (json_path != nullptr) write_json(rows, json_path);
  return 0;
}
