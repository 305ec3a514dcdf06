// Graph build time and search speed, single-threaded.
//
//   bench_hnsw [n] [m] [ef_construction] [metric] [bit_width] [release]
//
// Reads the 384-d LSA vectors of ../shared/datasets/lsa384 (float16 .npy)
// when present, else draws clustered Gaussian data of the same shape. Builds
// an Hnsw graph over the first n vectors (default 50000, m 32,
// ef_construction 200, cosine, 4-bit), then runs the queries at several
// ef_search values and prints QPS and recall@10 against two references: the
// exhaustive scan over the same codes (what the graph can at best find) and,
// for the real data, the exact float ground truth. With "release", the float
// vectors are released halfway and the second half is inserted against the
// codes of the first.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "core/quantize/pipeline.h"
#include "core/search/flat_index.h"
#include "core/search/hnsw.h"

namespace {

using Clock = std::chrono::steady_clock;
using teskra::Metric;

constexpr const char* kDataDir = "/work/shared/datasets/lsa384/";

double seconds_since(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

float half_to_float(uint16_t h) {
  const uint32_t sign = static_cast<uint32_t>(h & 0x8000) << 16;
  uint32_t exp = (h >> 10) & 0x1f;
  uint32_t mant = h & 0x3ff;
  uint32_t bits;
  if (exp == 0x1f) {
    bits = sign | 0x7f800000 | (mant << 13);
  } else if (exp != 0) {
    bits = sign | ((exp + 112) << 23) | (mant << 13);
  } else if (mant == 0) {
    bits = sign;
  } else {
    // Subnormal half: normalize into a float.
    exp = 113;
    while ((mant & 0x400) == 0) {
      mant <<= 1;
      --exp;
    }
    bits = sign | (exp << 23) | ((mant & 0x3ff) << 13);
  }
  float f;
  std::memcpy(&f, &bits, 4);
  return f;
}

// A C-order .npy array of 2-byte floats or 4-byte ints; rows x cols.
struct Npy {
  std::vector<char> data;
  size_t rows = 0, cols = 0;
};

bool read_npy(const std::string& path, Npy& out) {
  std::ifstream f(path, std::ios::binary);
  if (!f) return false;
  char magic[10];
  f.read(magic, 10);
  if (!f || std::memcmp(magic, "\x93NUMPY", 6) != 0) return false;
  const size_t header_len = static_cast<uint8_t>(magic[8]) | (static_cast<uint8_t>(magic[9]) << 8);
  std::string header(header_len, '\0');
  f.read(header.data(), static_cast<std::streamsize>(header_len));
  const size_t shape = header.find("'shape': (");
  if (shape == std::string::npos) return false;
  if (std::sscanf(header.c_str() + shape + 10, "%zu, %zu", &out.rows, &out.cols) != 2) return false;
  out.data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

std::vector<float> halves_to_floats(const Npy& a) {
  std::vector<float> out(a.rows * a.cols);
  for (size_t i = 0; i < out.size(); ++i) {
    uint16_t h;
    std::memcpy(&h, a.data.data() + 2 * i, 2);
    out[i] = half_to_float(h);
  }
  return out;
}

std::vector<float> clustered(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const size_t centers = 64;
  std::vector<float> c(centers * dim);
  for (float& x : c) x = g(rng);
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const size_t k = rng() % centers;
    for (size_t d = 0; d < dim; ++d) out[i * dim + d] = c[k * dim + d] + 0.35f * g(rng);
  }
  return out;
}

double recall_at(const std::vector<teskra::SearchHit>& got, const std::set<uint64_t>& truth) {
  size_t hit = 0;
  for (const auto& h : got) hit += truth.count(h.id);
  return static_cast<double>(hit) / static_cast<double>(truth.size());
}

}  // namespace

int main(int argc, char** argv) {
  size_t n = argc > 1 ? std::strtoull(argv[1], nullptr, 10) : 50000;
  const uint64_t m = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 32;
  const uint64_t efc = argc > 3 ? std::strtoull(argv[3], nullptr, 10) : 200;
  const std::string metric_name = argc > 4 ? argv[4] : "cosine";
  const int bits = argc > 5 ? std::atoi(argv[5]) : 4;
  const bool release_halfway = argc > 6 && std::string(argv[6]) == "release";
  const Metric metric = metric_name == "l2" ? Metric::L2
                        : metric_name == "dot" ? Metric::Dot
                                               : Metric::Cosine;

  const size_t dim = 384;
  std::vector<float> base, queries;
  std::vector<int32_t> gt;
  size_t nq = 1000;
  Npy b, q, g;
  const bool real = read_npy(std::string(kDataDir) + "base.f16.npy", b) &&
                    read_npy(std::string(kDataDir) + "queries.f16.npy", q) && b.cols == dim;
  if (real) {
    n = std::min(n, b.rows);
    base = halves_to_floats(b);
    queries = halves_to_floats(q);
    nq = q.rows;
    const std::string gt_name = "gt_" + metric_name + ".i32.npy";
    if (n == b.rows && read_npy(std::string(kDataDir) + gt_name, g)) {
      gt.resize(g.rows * g.cols);
      std::memcpy(gt.data(), g.data.data(), gt.size() * 4);
    }
  } else {
    base = clustered(n, dim, 1);
    queries = clustered(nq, dim, 2);
  }
  std::printf("data: %s, n=%zu dim=%zu queries=%zu  m=%llu ef_construction=%llu %s %d-bit%s\n",
              real ? "lsa384" : "synthetic clustered", n, dim, nq,
              static_cast<unsigned long long>(m), static_cast<unsigned long long>(efc),
              metric_name.c_str(), bits, release_halfway ? ", vectors released halfway" : "");

  teskra::EngineConfig cfg;
  cfg.dim = dim;
  cfg.seed = teskra::kDefaultSeed;
  cfg.metric = metric;
  cfg.bit_width = static_cast<uint8_t>(bits);
  const uint64_t p = teskra::padded_dim_for(dim);
  cfg.n4_dims = bits == 4 ? p : 0;
  teskra::QuantPipeline pipeline(cfg);
  const size_t bpv = pipeline.packed_bytes_per_vec();

  // Encoding is timed apart from the graph: it is the same for every index.
  std::vector<uint8_t> codes(n * bpv);
  std::vector<float> norms(n), transformed(n * p), scratch;
  auto t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    pipeline.encode_into(std::span<const float>(base.data() + i * dim, dim), codes.data() + i * bpv,
                         scratch);
    std::copy_n(scratch.data(), p, transformed.data() + i * p);
    norms[i] = pipeline.compute_norm(codes.data() + i * bpv);
  }
  const double encode_s = seconds_since(t0);

  teskra::Hnsw graph(m, efc, 0, bpv, p);
  t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    if (release_halfway && i == n / 2) graph.release_vectors();
    graph.insert(i, codes.data() + i * bpv, norms[i],
                 std::span<const float>(transformed.data() + i * p, p), metric, pipeline);
  }
  const double build_s = seconds_since(t0);
  std::printf("encode %.2f s, graph build %.2f s (%.0f inserts/s), max level %llu\n", encode_s,
              build_s, n / build_s, static_cast<unsigned long long>(graph.max_level()));

  {
    // Connectivity of the bottom layer: nodes no list names can only be
    // found as the entry point, and nodes cut off from the entry not at all.
    std::vector<char> seen(n, 0);
    std::vector<uint32_t> stack{*graph.entry_point()};
    std::vector<uint32_t> in_links(n, 0);
    seen[stack[0]] = 1;
    size_t reached = 1, orphans = 0;
    while (!stack.empty()) {
      const uint32_t u = stack.back();
      stack.pop_back();
      for (const auto& nb : graph.neighbours(u, 0)) {
        if (seen[nb.node]) continue;
        seen[nb.node] = 1;
        ++reached;
        stack.push_back(nb.node);
      }
    }
    for (uint32_t i = 0; i < n; ++i) {
      for (const auto& nb : graph.neighbours(i, 0)) ++in_links[nb.node];
    }
    for (uint32_t c : in_links) orphans += c == 0;
    std::printf("layer 0: %zu of %zu nodes reachable from the entry, %zu named by no list\n",
                reached, n, orphans);
  }
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = i;
  const teskra::FlatIndex store(teskra::CodeStore(
      bpv, teskra::CodeStore::CodeArray(codes.begin(), codes.end()), ids, norms, true));
  std::vector<teskra::PreparedQuery> pqs;
  std::vector<std::set<uint64_t>> exact_codes(nq), exact_float(nq);
  for (size_t j = 0; j < nq; ++j) {
    pqs.push_back(pipeline.prepare_query(
        pipeline.transform_query(std::span<const float>(queries.data() + j * dim, dim))));
    for (const auto& h : store.search(pipeline, pqs[j], 10, std::nullopt)) {
      exact_codes[j].insert(h.id);
    }
    if (!gt.empty()) {
      for (size_t r = 0; r < 10; ++r) exact_float[j].insert(static_cast<uint64_t>(gt[j * 100 + r]));
    }
  }

  t0 = Clock::now();
  for (size_t j = 0; j < nq; ++j) store.search(pipeline, pqs[j], 10, std::nullopt);
  std::printf("exhaustive scan: %.0f QPS", nq / seconds_since(t0));
  if (!gt.empty()) {
    // What the codes themselves allow: the scan's own recall of the exact top 10.
    double r = 0;
    for (size_t j = 0; j < nq; ++j) {
      std::vector<teskra::SearchHit> top(exact_codes[j].size());
      size_t t = 0;
      for (uint64_t id : exact_codes[j]) top[t++] = {id, 0.0f};
      r += recall_at(top, exact_float[j]);
    }
    std::printf("  recall@10 vs exact float %.4f", r / nq);
  }
  std::printf("\n");

  teskra::Hnsw::SearchScratch walk_scratch;  // reused by every search, as an engine thread would
  for (uint64_t ef : {16, 32, 64, 128, 256}) {
    graph.set_ef_search(ef);
    double r_codes = 0, r_float = 0;
    std::vector<std::vector<teskra::SearchHit>> results(nq);
    double best = 1e30;
    for (int round = 0; round < 3; ++round) {
      t0 = Clock::now();
      for (size_t j = 0; j < nq; ++j) results[j] = graph.search(pipeline, pqs[j], 10, metric, walk_scratch);
      best = std::min(best, seconds_since(t0));
    }
    for (size_t j = 0; j < nq; ++j) {
      r_codes += recall_at(results[j], exact_codes[j]);
      if (!gt.empty()) r_float += recall_at(results[j], exact_float[j]);
    }
    std::printf("ef %3llu: %7.0f QPS  recall@10 vs scan over codes %.4f", static_cast<unsigned long long>(ef),
                nq / best, r_codes / nq);
    if (!gt.empty()) std::printf("  vs exact float %.4f", r_float / nq);
    std::printf("\n");
  }
  return 0;
}
