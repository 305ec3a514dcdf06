// A standalone mutation driver for fuzz_load.cpp, for toolchains without
// libFuzzer (g++). It builds valid index files of every type and several
// layouts and versions in memory, then for N iterations feeds the target
// mutants of them: bit flips, byte overwrites, truncations, insertions,
// deletions, chunk copies, and rewrites of the count fields (header counts,
// list and member counts, node and neighbour counts, neighbour indices) with
// boundary values. Mutants that still load are kept and mutated further.
// Every 64th input also goes through a temporary file and both file loaders,
// which must agree with the in-memory decode.
//
//   fuzz_load [iterations] [rng-seed]      mutate and run (default 100000, 1)
//   fuzz_load --run FILE...                 run saved inputs
//
// When the sanitizers stop the process the input at fault is written to
// fuzz-crash.tskr in the working directory.
#include <sanitizer/common_interface_defs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <random>
#include <string>
#include <vector>

#include "core/engine.h"
#include "core/io/byte_stream.h"
#include "core/io/format.h"
#include "core/io/index_file.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size);

namespace {

using namespace teskra;
using Bytes = std::string;

// A count-like field of a seed file: where it is and how wide.
struct Field {
  size_t offset;
  int width;  // bytes: 1, 2, 4 or 8
};

struct Seed {
  Bytes bytes;
  std::vector<Field> fields;
};

const Bytes* g_current = nullptr;

void save_current_input() {
  if (g_current == nullptr) return;
  std::ofstream("fuzz-crash.tskr", std::ios::binary) << *g_current;
  std::fprintf(stderr, "fuzz_load: input written to fuzz-crash.tskr (%zu bytes)\n", g_current->size());
}

uint64_t get(const Bytes& b, size_t at, int width) {
  uint64_t v = 0;
  for (int i = 0; i < width && at + i < b.size(); ++i) v |= uint64_t(uint8_t(b[at + i])) << (8 * i);
  return v;
}

void put(Bytes& b, size_t at, int width, uint64_t v) {
  for (int i = 0; i < width && at + i < b.size(); ++i) b[at + i] = char(v >> (8 * i));
}

// Walks a valid version-6 file and records its count fields.
std::vector<Field> count_fields(const Bytes& b) {
  std::vector<Field> f = {{8, 4},  {13, 1}, {14, 1}, {16, 8}, {32, 4},
                          {40, 4}, {44, 4}, {48, 2}, {52, 2}, {54, 1}};
  const uint64_t dim = get(b, 8, 4), n4 = get(b, 32, 4), type = get(b, 14, 1);
  const uint64_t p = padded_dim_for(dim);
  const uint64_t bytes = (n4 + 1) / 2 + (p - n4 + 3) / 4;
  size_t pos = 56 + (get(b, 54, 1) ? dim * 8 : 0);
  if (type == 1) {
    const uint64_t lists = get(b, pos, 4), len = get(b, pos + 4, 4);
    f.push_back({pos, 4});
    f.push_back({pos + 4, 4});
    pos += 8;
    for (uint64_t l = 0; l < lists; ++l) {
      pos += len * 4;
      const uint64_t members = get(b, pos, 4);
      f.push_back({pos, 4});
      pos += 4 + members * (12 + bytes);
    }
  } else if (type == 2) {
    const uint64_t nodes = get(b, pos, 4);
    for (int i = 0; i < 3; ++i) f.push_back({pos + 4 * size_t(i), 4});
    pos += 12;
    for (uint64_t n = 0; n < nodes; ++n) {
      pos += 8 + bytes + 4;
      const uint64_t layers = get(b, pos, 1);
      f.push_back({pos, 1});
      pos += 1;
      for (uint64_t l = 0; l < layers; ++l) {
        const uint64_t count = get(b, pos, 2);
        f.push_back({pos, 2});
        if (count > 0) f.push_back({pos + 2, 4});  // a neighbour index
        pos += 2 + 4 * count;
      }
    }
  }
  return f;
}

Bytes encode(const Teskra& e) {
  StringSink out;
  IndexFile::encode(e, out);
  return out.out;
}

std::vector<Seed> make_seeds() {
  std::vector<Seed> seeds;
  std::mt19937 rng(5);
  std::normal_distribution<float> g;
  auto add_seed = [&](const Bytes& b) { seeds.push_back({b, count_fields(b)}); };
  for (uint8_t type = 0; type < 3; ++type) {
    for (uint8_t metric = 0; metric < 3; ++metric) {
      for (uint64_t dim : {1u, 3u, 12u, 33u}) {
        for (size_t n : {0u, 1u, 9u, 40u}) {
          const uint64_t p = padded_dim_for(dim);
          // Pure 4-bit, pure 2-bit and mixed layouts in turn.
          const uint64_t layout = (dim + metric + n) % 3;
          const uint64_t n4 = layout == 0 ? p : layout == 1 ? 0 : p / 2 / 4 * 4;
          EngineConfig c{.dim = dim,
                         .n4_dims = n4,
                         .seed = kDefaultSeed + n,
                         .bit_width = uint8_t(n4 == 0 ? 2 : 4),
                         .metric = Metric(metric),
                         .index_type = IndexType(type)};
          if (type == 1) c.ivf_nlist = 4, c.ivf_nprobe = 2;
          if (type == 2) c.hnsw_m = 2 + n % 3, c.hnsw_ef_construction = 8, c.hnsw_ef_search = n % 2 ? 0 : 5;
          Teskra e(c);
          std::vector<std::vector<float>> vs(n, std::vector<float>(dim));
          for (auto& v : vs)
            for (auto& x : v) x = g(rng);
          if (metric == 2 && n > 0 && dim == 12) e.fit(vs);
          std::vector<uint64_t> ids(n);
          for (size_t i = 0; i < n; ++i) ids[i] = i * 7 + 1;
          e.add(ids, vs);
          if (type == 1 && n == 0) continue;  // an unbuilt IvfFlat index cannot be saved
          e.build();
          add_seed(encode(e));
        }
      }
    }
  }
  // Older versions: shorter headers and, for version 1, no norms.
  const size_t base = seeds.size();
  for (size_t i = 0; i < base; ++i) {
    const Bytes b = seeds[i].bytes;  // a copy: adding seeds moves them
    if (get(b, 54, 1) != 0) continue;
    Bytes v5 = b;
    put(v5, 4, 4, 5);
    add_seed(v5);
    if (get(b, 14, 1) != 0) continue;
    for (uint32_t v : {1u, 2u, 3u}) {
      Bytes old = b.substr(0, Header::size_for(v)) + b.substr(56);
      put(old, 4, 4, v);
      seeds.push_back({old, {{8, 4}, {16, 8}}});
    }
  }
  return seeds;
}

uint64_t interesting(std::mt19937_64& rng, uint64_t old, int width) {
  const uint64_t max = width == 8 ? ~uint64_t{0} : (uint64_t{1} << (8 * width)) - 1;
  switch (rng() % 10) {
    case 0:
      return 0;
    case 1:
      return 1;
    case 2:
      return max;
    case 3:
      return max - 1;
    case 4:
      return old + 1;
    case 5:
      return old - 1;
    case 6:
      return old * 2 + 1;
    case 7:
      return max >> 1;
    case 8:
      return width >= 4 ? (uint64_t{1} << (8 * width - 4)) : 2;
    default:
      return rng() & max;
  }
}

void mutate(Bytes& b, const Seed& seed, std::mt19937_64& rng) {
  const int rounds = 1 + int(rng() % 4);
  for (int r = 0; r < rounds; ++r) {
    const size_t n = b.size();
    switch (rng() % 8) {
      case 0:  // bit flips
        for (int i = 0, k = 1 + int(rng() % 8); i < k && n > 0; ++i) b[rng() % n] ^= char(1u << (rng() % 8));
        break;
      case 1:  // a byte overwritten
        if (n > 0) b[rng() % n] = char(rng() % 4 == 0 ? 0xFF : rng());
        break;
      case 2:  // truncation
        b.resize(n == 0 ? 0 : rng() % n);
        break;
      case 3: {  // insertion of random bytes
        Bytes extra(1 + rng() % 16, '\0');
        for (char& c : extra) c = char(rng());
        b.insert(n == 0 ? 0 : rng() % (n + 1), extra);
        break;
      }
      case 4:  // deletion of a range
        if (n > 0) {
          const size_t at = rng() % n;
          b.erase(at, 1 + rng() % std::min<size_t>(64, n - at));
        }
        break;
      case 5:  // a chunk copied over another place
        if (n > 8) {
          const size_t from = rng() % n, to = rng() % n,
                       len = 1 + rng() % std::min<size_t>(32, n - std::max(from, to));
          b.replace(to, len, b.substr(from, len));
        }
        break;
      default: {  // a count field rewritten (the likeliest way to reach allocation paths)
        if (seed.fields.empty()) break;
        const Field f = seed.fields[rng() % seed.fields.size()];
        put(b, f.offset, f.width, interesting(rng, get(b, f.offset, f.width), f.width));
        break;
      }
    }
  }
}

// The outcome of one loader: the re-encoded file, or the error text.
Bytes outcome(const std::function<Teskra()>& load) {
  try {
    const Teskra e = load();
    try {
      return "ok:" + encode(e);
    } catch (const std::exception&) {
      return "ok, not encodable";
    }
  } catch (const TeskraError& err) {
    return std::string("error:") + err.what();
  }
}

// The same input through memory and the buffered file reader.
void compare_loaders(const Bytes& input, const std::string& path) {
  std::ofstream(path, std::ios::binary | std::ios::trunc) << input;
  const Bytes mem = outcome([&] {
    MemorySource in({reinterpret_cast<const uint8_t*>(input.data()), input.size()});
    return IndexFile::decode(in);
  });
  const Bytes buffered = outcome([&] { return Teskra::load(path); });
  if (mem != buffered) {
    std::fprintf(stderr, "fuzz_load: loaders disagree:\n  memory   %.120s\n  load     %.120s\n", mem.c_str(),
                 buffered.c_str());
    save_current_input();
    std::abort();
  }
}

int run_files(int argc, char** argv) {
  for (int i = 2; i < argc; ++i) {
    std::ifstream f(argv[i], std::ios::binary);
    const Bytes b((std::istreambuf_iterator<char>(f)), {});
    g_current = &b;
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(b.data()), b.size());
    std::printf("%s: ran\n", argv[i]);
  }
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  __sanitizer_set_death_callback(save_current_input);
  if (argc > 1 && std::strcmp(argv[1], "--run") == 0) return run_files(argc, argv);
  const uint64_t iterations = argc > 1 ? std::stoull(argv[1]) : 100000;
  std::mt19937_64 rng(argc > 2 ? std::stoull(argv[2]) : 1);
  const std::vector<Seed> seeds = make_seeds();
  const std::string temp = "/tmp/fuzz_load." + std::to_string(::getpid()) + ".tskr";

  std::map<std::string, uint64_t> outcomes;
  const auto start = std::chrono::steady_clock::now();
  Bytes input;
  g_current = &input;
  // Mutants that still loaded are mutated further a third of the time: a
  // damaged file that gets past the loader is where later operations break.
  std::vector<Bytes> survivors;
  for (uint64_t it = 0; it < iterations; ++it) {
    const Seed& seed = seeds[rng() % seeds.size()];
    input = seed.bytes;
    if (it >= seeds.size()) {  // every seed once unchanged first
      if (!survivors.empty() && rng() % 3 == 0) input = survivors[rng() % survivors.size()];
      mutate(input, seed, rng);  // count fields of the seed may be off here: still a mutation
    }
    LLVMFuzzerTestOneInput(reinterpret_cast<const uint8_t*>(input.data()), input.size());
    if (it % 64 == 0) compare_loaders(input, temp);
    if (it % 4 == 0) {  // tally outcomes and keep survivors on a sample (decoding again costs time)
      try {
        MemorySource in({reinterpret_cast<const uint8_t*>(input.data()), input.size()});
        IndexFile::decode(in);
        ++outcomes["loaded"];
        if (survivors.size() < 4096) {
          survivors.push_back(input);
        } else {
          survivors[rng() % survivors.size()] = input;
        }
      } catch (const TeskraError& e) {
        // Grouped by their text up to the first number.
        const std::string what = e.what();
        ++outcomes[what.substr(0, what.find_first_of("0123456789"))];
      }
    }
  }
  ::unlink(temp.c_str());
  const double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  std::printf("fuzz_load: %llu executions from %zu seeds in %.1f s (%.0f/s), no findings\n",
              static_cast<unsigned long long>(iterations), seeds.size(), secs, double(iterations) / secs);
  std::printf("outcomes of every 4th input:\n");
  for (const auto& [what, count] : outcomes)
    std::printf("  %8llu  %s\n", static_cast<unsigned long long>(count), what.c_str());
  return 0;
}
