// Graph build time, memory, search speed and filtered search, single-threaded.
//
//   bench_hnsw [n] [m] [ef_construction] [metric] [bit_width] [selection] [release]
//
// Reads the LSA vectors of ../shared/datasets/lsa384 (float16 .npy) when
// present, or base.*.npy and queries.*.npy (float16 or float32) from the
// folder in TESKRA_BENCH_DATA, else draws clustered Gaussian data of 384
// dimensions. Builds an Hnsw graph over the first n vectors (default 50000,
// m 32, ef_construction 200, cosine, 4-bit, selection "diverse"), frees what
// only insertions use, and prints the build time, the resident memory the
// graph added (peak during the build and after it), how many nodes layer 0
// reaches, then QPS and recall@10 at several ef_search values against the
// exhaustive scan over the same codes (what the graph can at best find) and,
// for the real data, the exact float ground truth; then filtered searches
// at several allowlist shares, walked and scanned. With "release", what
// insertions use is freed halfway too. TESKRA_BENCH_NO_FILTER skips the
// filtered searches; TESKRA_BENCH_PROFILE_EF=ef,seconds runs only searches
// at that ef for that long after the build (for a profiler).
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
#include "core/search/filter.h"
#include "core/search/flat_index.h"
#include "core/search/hnsw.h"
#include "core/search/scan.h"
#include "core/search/topk.h"

namespace {

using Clock = std::chrono::steady_clock;
using teskra::Metric;

constexpr const char* kDataDir = "/work/shared/datasets/lsa384/";

double seconds_since(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

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

// A C-order .npy array of 2- or 4-byte floats or 4-byte ints; rows x cols.
struct Npy {
  std::vector<char> data;
  size_t rows = 0, cols = 0, width = 0;
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
  out.width = header.find("<f2") != std::string::npos ? 2 : 4;
  out.data.assign(std::istreambuf_iterator<char>(f), std::istreambuf_iterator<char>());
  return true;
}

std::vector<float> to_floats(const Npy& a) {
  std::vector<float> out(a.rows * a.cols);
  for (size_t i = 0; i < out.size(); ++i) {
    if (a.width == 2) {
      uint16_t h;
      std::memcpy(&h, a.data.data() + 2 * i, 2);
      out[i] = half_to_float(h);
    } else {
      std::memcpy(&out[i], a.data.data() + 4 * i, 4);
    }
  }
  return out;
}

bool read_pair(const std::string& dir, const char* name, Npy& out) {
  return read_npy(dir + name + ".f16.npy", out) || read_npy(dir + name + ".f32.npy", out);
}

std::vector<float> clustered(size_t n, size_t dim, uint64_t seed) {
  std::mt19937_64 rng(seed);
  std::normal_distribution<float> g(0.0f, 1.0f);
  const size_t centers = 64;
  std::mt19937_64 world(1);
  std::vector<float> c(centers * dim);
  for (float& x : c) x = g(world);
  std::vector<float> out(n * dim);
  for (size_t i = 0; i < n; ++i) {
    const size_t k = rng() % centers;
    for (size_t d = 0; d < dim; ++d) out[i * dim + d] = c[k * dim + d] + 0.35f * g(rng);
  }
  return out;
}

// A /proc/self/status value in bytes ("RssAnon:", "VmHWM:", ...).
long long status_bytes(const char* key) {
  std::ifstream f("/proc/self/status");
  std::string line;
  while (std::getline(f, line)) {
    if (line.rfind(key, 0) == 0) return std::atoll(line.c_str() + std::strlen(key)) * 1024;
  }
  return -1;
}

// Starts a new peak (VmHWM) at the current resident size.
void reset_peak() {
  std::ofstream f("/proc/self/clear_refs");
  f << "5";
}

double recall_at(const std::vector<teskra::SearchHit>& got, const std::set<uint64_t>& truth) {
  if (truth.empty()) return 1.0;
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
  const std::string selection_name = argc > 6 ? argv[6] : "diverse";
  const bool release_halfway = argc > 7 && std::string(argv[7]) == "release";
  const Metric metric = metric_name == "l2"    ? Metric::L2
                        : metric_name == "dot" ? Metric::Dot
                                               : Metric::Cosine;
  const teskra::HnswSelection selection =
      selection_name == "nearest" ? teskra::HnswSelection::Nearest : teskra::HnswSelection::Diverse;

  size_t dim = 384;
  std::vector<float> base, queries;
  std::vector<int32_t> gt;
  size_t nq = 1000;
  Npy b, q, g;
  const char* other = std::getenv("TESKRA_BENCH_DATA");
  std::string source = "synthetic clustered";
  if (other != nullptr && read_pair(std::string(other) + "/", "base", b) &&
      read_pair(std::string(other) + "/", "queries", q)) {
    source = other;
  } else if (read_npy(std::string(kDataDir) + "base.f16.npy", b) &&
             read_npy(std::string(kDataDir) + "queries.f16.npy", q)) {
    source = "lsa384";
    const std::string gt_name = "gt_" + metric_name + ".i32.npy";
    if (std::min(n, b.rows) == b.rows && read_npy(std::string(kDataDir) + gt_name, g)) {
      gt.resize(g.rows * g.cols);
      std::memcpy(gt.data(), g.data.data(), gt.size() * 4);
    }
  }
  if (source != "synthetic clustered") {
    dim = b.cols;
    n = std::min(n, b.rows);
    base = to_floats(b);
    queries = to_floats(q);
    nq = q.rows;
  } else {
    base = clustered(n, dim, 1);
    queries = clustered(nq, dim, 2);
  }
  std::printf("data: %s, n=%zu dim=%zu queries=%zu  m=%llu ef_construction=%llu %s %d-bit %s%s\n",
              source.c_str(), n, dim, nq, static_cast<unsigned long long>(m),
              static_cast<unsigned long long>(efc), metric_name.c_str(), bits, selection_name.c_str(),
              release_halfway ? ", construction memory freed halfway" : "");

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
    pipeline.encode_into(std::span<const float>(base.data() + i * dim, dim), codes.data() + i * bpv, scratch);
    std::copy_n(scratch.data(), p, transformed.data() + i * p);
    norms[i] = pipeline.compute_norm(codes.data() + i * bpv);
  }
  const double encode_s = seconds_since(t0);

  const long long rss0 = status_bytes("RssAnon:");
  reset_peak();
  const long long hwm0 = status_bytes("VmHWM:");
  teskra::Hnsw graph(m, efc, 0, bpv, p, selection);
  t0 = Clock::now();
  for (size_t i = 0; i < n; ++i) {
    if (release_halfway && i == n / 2) graph.release_construction();
    graph.insert(i, codes.data() + i * bpv, norms[i], std::span<const float>(transformed.data() + i * p, p),
                 metric, pipeline);
  }
  const double build_s = seconds_since(t0);
  const long long peak = status_bytes("VmHWM:") - hwm0;
  graph.release_construction();
  const long long kept = status_bytes("RssAnon:") - rss0;
  std::printf("encode %.2f s, graph build %.2f s (%.0f inserts/s), max level %llu\n", encode_s, build_s,
              n / build_s, static_cast<unsigned long long>(graph.max_level()));
  std::printf("memory: %.0f B/vec after the build (code+norm+id %zu), peak during it %.0f B/vec (%.2fx)\n",
              double(kept) / n, bpv + 12, double(peak) / n, double(peak) / double(kept));

  {
    // Connectivity of the bottom layer: nodes no list names can only be
    // found as the entry point, and nodes cut off from the entry not at all.
    std::vector<char> seen(n, 0);
    std::vector<uint32_t> stack{*graph.entry_point()};
    std::vector<uint32_t> in_links(n, 0);
    seen[stack[0]] = 1;
    size_t reached = 1, orphans = 0, links = 0;
    while (!stack.empty()) {
      const uint32_t u = stack.back();
      stack.pop_back();
      for (const uint32_t nb : graph.neighbours(u, 0)) {
        if (seen[nb]) continue;
        seen[nb] = 1;
        ++reached;
        stack.push_back(nb);
      }
    }
    for (uint32_t i = 0; i < n; ++i) {
      for (const uint32_t nb : graph.neighbours(i, 0)) ++in_links[nb];
      links += graph.neighbours(i, 0).size();
    }
    for (uint32_t c : in_links) orphans += c == 0;
    std::printf("layer 0: %zu of %zu nodes reachable from the entry, %zu named by no list, %.1f links/node\n",
                reached, n, orphans, double(links) / n);
  }
  std::vector<uint64_t> ids(n);
  for (size_t i = 0; i < n; ++i) ids[i] = i;
  const teskra::FlatIndex store(
      teskra::CodeStore(bpv, teskra::CodeStore::CodeArray(codes.begin(), codes.end()), ids, norms, true));
  std::vector<teskra::PreparedQuery> pqs;
  std::vector<std::set<uint64_t>> exact_codes(nq), exact_float(nq);
  for (size_t j = 0; j < nq; ++j) {
    pqs.push_back(pipeline.prepare_query(
        pipeline.transform_query(std::span<const float>(queries.data() + j * dim, dim))));
    for (const auto& h : store.search(pipeline, pqs[j], 10, std::nullopt)) {
      exact_codes[j].insert(h.id);
    }
    if (!gt.empty()) {
      for (size_t r = 0; r < 10; ++r) exact_float[j].insert(static_cast<uint64_t>(gt[j * g.cols + r]));
    }
  }

  t0 = Clock::now();
  for (size_t j = 0; j < nq; ++j) store.search(pipeline, pqs[j], 10, std::nullopt);
  std::printf("exhaustive scan: %.0f QPS", nq / seconds_since(t0));
  if (!gt.empty()) {
    // What the codes themselves allow: the scan's own recall of the exact top 10.
    double r = 0;
    for (size_t j = 0; j < nq; ++j) {
      std::vector<teskra::SearchHit> top;
      for (uint64_t id : exact_codes[j]) top.push_back({id, 0.0f});
      r += recall_at(top, exact_float[j]);
    }
    std::printf("  recall@10 vs exact float %.4f", r / nq);
  }
  std::printf("\n");

  teskra::Hnsw::SearchScratch walk_scratch;  // reused by every search, as an engine thread would
  if (const char* rounds = std::getenv("TESKRA_BENCH_PROFILE_EF")) {
    // Searches only, at one ef, for a profiler: TESKRA_BENCH_PROFILE_EF=ef,seconds.
    graph.set_ef_search(std::strtoull(rounds, nullptr, 10));
    const double budget = std::strchr(rounds, ',') ? std::atof(std::strchr(rounds, ',') + 1) : 10.0;
    t0 = Clock::now();
    size_t done = 0;
    while (seconds_since(t0) < budget) {
      for (size_t j = 0; j < nq; ++j) graph.search(pipeline, pqs[j], 10, metric, walk_scratch);
      done += nq;
    }
    std::printf("ef %s: %.0f QPS\n", rounds, done / seconds_since(t0));
    return 0;
  }
  std::vector<double> unfiltered_qps;
  const std::vector<uint64_t> efs = {10, 16, 24, 32, 48, 64, 96, 128, 256};
  for (uint64_t ef : efs) {
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
    unfiltered_qps.push_back(nq / best);
    std::printf("ef %3llu: %7.0f QPS  recall@10 vs scan over codes %.4f", static_cast<unsigned long long>(ef),
                nq / best, r_codes / nq);
    if (!gt.empty()) std::printf("  vs exact float %.4f", r_float / nq);
    std::printf("\n");
  }

  // Filtered: a random share of the ids allowed; recall against the
  // filtered scan, the walk and the scan timed side by side.
  if (std::getenv("TESKRA_BENCH_NO_FILTER") == nullptr) {
    const uint64_t ef = 2 * m;
    graph.set_ef_search(ef);
    const double qps_plain = unfiltered_qps[std::find(efs.begin(), efs.end(), ef) - efs.begin()];
    std::mt19937_64 rng(5);
    for (double share : {0.001, 0.01, 0.03, 0.05, 0.07, 0.1, 0.25, 0.5}) {
      std::vector<uint64_t> listed;
      for (uint64_t i = 0; i < n; ++i) {
        if (std::uniform_real_distribution<double>(0, 1)(rng) < share) listed.push_back(i);
      }
      const std::span<const uint64_t> held[] = {std::span<const uint64_t>(ids)};
      const size_t fq = std::min<size_t>(nq, 300);
      std::vector<std::set<uint64_t>> truth(fq);
      std::vector<std::vector<teskra::SearchHit>> walked(fq);
      double walk_s = 1e30, scan_s = 1e30;
      for (int round = 0; round < 2; ++round) {
        t0 = Clock::now();
        for (size_t j = 0; j < fq; ++j) {
          const teskra::Allowlist allow = teskra::allowlist_for(listed, held);
          teskra::TopK heap(10, listed.size());
          teskra::scan_store(pipeline, pqs[j], *store.flat_store(), &allow, heap);
          if (round == 0) {
            for (const auto& h : heap.into_sorted()) truth[j].insert(h.id);
          }
        }
        scan_s = std::min(scan_s, seconds_since(t0));
        t0 = Clock::now();
        for (size_t j = 0; j < fq; ++j) {
          const teskra::Allowlist allow = teskra::allowlist_for(listed, held);
          walked[j] = graph.search(pipeline, pqs[j], 10, metric, walk_scratch, &allow, listed.size());
        }
        walk_s = std::min(walk_s, seconds_since(t0));
      }
      double r = 0, short_of_k = 0;
      for (size_t j = 0; j < fq; ++j) {
        r += recall_at(walked[j], truth[j]);
        short_of_k += walked[j].size() < std::min<size_t>(10, listed.size());
      }
      std::printf(
          "allow %5.1f%% (%zu ids), ef %llu: walk %7.0f QPS (%.2fx unfiltered) recall %.4f, %g short; "
          "scan %7.0f QPS (%.2fx)\n",
          share * 100, listed.size(), static_cast<unsigned long long>(ef), fq / walk_s,
          fq / walk_s / qps_plain, r / fq, short_of_k, fq / scan_s, fq / scan_s / qps_plain);
    }
  }
  return 0;
}
