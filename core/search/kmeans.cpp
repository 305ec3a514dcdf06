#include "core/search/kmeans.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "core/error.h"
#include "core/search/centroid_panel.h"

namespace teskra {

namespace {

constexpr uint64_t kReseedStride = 7919;
constexpr double kUnitRoundoff = 0x1p-24;  // f32
constexpr double kInf = std::numeric_limits<double>::infinity();
// Relative widening of every double-precision bound computation; double
// rounding (~1e-16) is far below it, and it is far below the f32 score
// error the bounds must beat (~1e-5), so it costs no pruning.
constexpr double kSlack = 1e-9;
// Above this magnitude an f32 score computation might overflow, and the
// error bound would no longer hold: such rows are always rescored.
constexpr double kSafeMagnitude = 1e37;

// A dot product summed in sixteen interleaved partial sums, which vectorize.
// Only ever used for bounds: the rounding-error bound below holds for every
// summation order, and this one is many times faster than the sequential
// order, whose single chain of adds is latency-bound.
float bound_dot(const float* a, const float* b, size_t n) {
  float acc[16] = {};
  size_t i = 0;
  for (; i + 16 <= n; i += 16) {
    for (size_t l = 0; l < 16; ++l) acc[l] += a[i + l] * b[i + l];
  }
  float s = 0.0f;
  for (; i < n; ++i) s += a[i] * b[i];
  for (float x : acc) s += x;
  return s;
}

// Rows per block: whole 6-row tiles, with the score buffer kept to 2^20
// floats however many clusters there are.
size_t block_rows(size_t stride) {
  size_t b = stride == 0 ? 192 : (size_t{1} << 20) / stride;
  b = std::clamp<size_t>(b, 6, 192);
  return b / 6 * 6;
}

// Rows per task of the passes that go over the rows without the panel.
constexpr size_t kRowBlock = 192;

class Clustering {
 public:
  Clustering(const RowSource& rows, size_t k, uint64_t seed, Metric metric, bool prune, const Execution& exec)
      : exec_(exec),
        scratch_(exec.slots()),
        rows_(rows),
        n_(rows.size()),
        d_(rows.dim()),
        k_(k),
        seed_(seed),
        metric_(metric),
        a_(metric == Metric::L2 ? 2.0 : 1.0),
        centroids_(k * rows.dim()),
        assignment_(rows.size(), 0) {
    const double dd = static_cast<double>(d_) + 2.0;
    // Rounding error of one f32 score: each product and each addition of
    // the d-term sum, plus the final L2 subtraction, is within
    // gamma = (d + 2) u / (1 - (d + 2) u) of the exact real result, relative
    // to |v| |c| (Cauchy-Schwarz) and |c|^2. Doubled for safety.
    prune_ = prune && dd * kUnitRoundoff < 0.5;
    if (prune_) {
      eps_coef_ = 2.0 * dd * kUnitRoundoff / (1.0 - dd * kUnitRoundoff);
      eps_floor_ = static_cast<double>(d_) * 1e-43;  // products that underflow
      prepare_bounds();
    }
  }

  void seed_centroids(uint64_t step, uint64_t offset) {
    for (size_t c = 0; c < k_; ++c) {
      copy_row((c * step + offset) % n_, c, scratch_[0]);
    }
    centroids_changed();
  }

  // One assignment pass; whether any row changed cluster. Blocks of rows in
  // parallel: a row's bounds and cluster are its own.
  bool assign() {
    const size_t block = block_rows(panel_.stride());
    const size_t stride = panel_.stride();
    for (Scratch& s : scratch_) s.changed = false;
    parallel_for(exec_, (n_ + block - 1) / block, [&](size_t b, size_t slot) {
      Scratch& s = scratch_[slot];
      s.fit(block, d_);
      if (s.scores.size() < block * stride) s.scores.resize(block * stride);
      const size_t start = b * block;
      const size_t count = std::min(block, n_ - start);
      rows_.fetch(start, count, s.rows.data(), s.ptrs.data());
      size_t m = 0;
      for (size_t j = 0; j < count; ++j) {
        const size_t v = start + j;
        if (prune_ && bounded_[v] && keeps_cluster(v, s.ptrs[j])) continue;
        s.gathered_ptrs[m] = s.ptrs[j];
        s.gathered_rows[m] = v;
        ++m;
      }
      panel_.dots(s.gathered_ptrs.data(), m, s.scores.data());
      for (size_t i = 0; i < m; ++i) s.changed |= settle(s.gathered_rows[i], s.scores.data() + i * stride);
      s.rescored += m;
    });
    bool changed = false;
    for (Scratch& s : scratch_) {
      changed |= s.changed;
      rows_rescored_ += s.rescored;
      s.rescored = 0;
    }
    return changed;
  }

  // New centroids. Each task owns a range of clusters and adds their members
  // in row order, so every sum is formed as one thread would form it.
  void update() {
    sums_.assign(k_ * d_, 0.0f);
    counts_.assign(k_, 0);
    previous_.swap(centroids_);
    centroids_.resize(k_ * d_);
    const size_t groups = exec_.slots() == 1 ? 1 : std::min(k_, 4 * exec_.slots());
    parallel_for(exec_, groups, [&](size_t g, size_t slot) {
      Scratch& s = scratch_[slot];
      s.fit(1, d_);
      const size_t first = g * k_ / groups, last = (g + 1) * k_ / groups;
      for (size_t v = 0; v < n_; ++v) {
        const uint32_t c = assignment_[v];
        if (c < first || c >= last) continue;
        const float* row = nullptr;
        rows_.fetch(v, 1, s.rows.data(), &row);
        ++counts_[c];
        float* sum = sums_.data() + c * d_;
        for (size_t i = 0; i < d_; ++i) sum[i] += row[i];
      }
      for (size_t c = first; c < last; ++c) finish_centroid(c, s);
    });
    centroids_changed();
    if (prune_) move_bounds();
  }

  KMeansResult finish(size_t iterations) {
    KMeansResult r;
    r.k = k_;
    r.dim = d_;
    r.centroids = std::move(centroids_);
    r.assignment = std::move(assignment_);
    r.iterations = iterations;
    r.rows_rescored = rows_rescored_;
    return r;
  }

 private:
  // A thread's working memory.
  struct Scratch {
    std::vector<float> rows;
    std::vector<const float*> ptrs;
    std::vector<const float*> gathered_ptrs;
    std::vector<size_t> gathered_rows;
    std::vector<float> scores;
    uint64_t rescored = 0;
    bool changed = false;

    // Room for blocks of `count` rows of d floats.
    void fit(size_t count, size_t d) {
      if (rows.size() < count * d) rows.resize(count * d);
      if (ptrs.size() < count) {
        ptrs.resize(count);
        gathered_ptrs.resize(count);
        gathered_rows.resize(count);
      }
    }
  };

  void copy_row(uint64_t index, size_t c, Scratch& s) {
    const float* row = nullptr;
    s.fit(1, d_);
    rows_.fetch(static_cast<size_t>(index), 1, s.rows.data(), &row);
    std::copy(row, row + d_, centroids_.begin() + static_cast<ptrdiff_t>(c * d_));
  }

  // Centroid c from its sum and count: the f32 mean, or a copy of a row for
  // an empty cluster; unit length for Cosine.
  void finish_centroid(size_t c, Scratch& s) {
    float* centroid = centroids_.data() + c * d_;
    if (counts_[c] == 0) {
      copy_row((seed_ + static_cast<uint64_t>(c) * kReseedStride) % n_, c, s);
    } else {
      const float count = static_cast<float>(counts_[c]);
      const float* sum = sums_.data() + c * d_;
      for (size_t i = 0; i < d_; ++i) centroid[i] = sum[i] / count;
    }
    if (metric_ == Metric::Cosine) {
      const float norm = std::sqrt(sequential_dot(centroid, centroid, d_));
      if (norm > 1e-9f) {
        for (size_t i = 0; i < d_; ++i) centroid[i] /= norm;
      }
    }
  }

  void centroids_changed() {
    panel_ = CentroidPanel(centroids_, k_, d_);
    sq_norms_.resize(k_);
    for (size_t c = 0; c < k_; ++c) {
      const float* centroid = centroids_.data() + c * d_;
      sq_norms_[c] = sequential_dot(centroid, centroid, d_);
    }
    if (!prune_) return;
    double cmax = 0.0;
    for (size_t c = 0; c < k_; ++c) {
      const double norm = std::sqrt(double_sq_norm(centroids_.data() + c * d_));
      if (!std::isfinite(norm)) {
        cmax = kInf;
        break;
      }
      cmax = std::max(cmax, norm);
    }
    max_centroid_norm_ = cmax * (1.0 + kSlack);
  }

  double double_sq_norm(const float* x) const {
    double s = 0.0;
    for (size_t i = 0; i < d_; ++i) s += static_cast<double>(x[i]) * x[i];
    return s;
  }

  // The bound machinery measures rows from the mean of the finite rows
  // (any fixed point is correct; the mean makes the bounds tightest). Three
  // passes: each row's norm and whether it is finite (blocks of rows in
  // parallel), the mean (slices of coordinates in parallel, each coordinate
  // summed in row order), each row's distance from the mean.
  void prepare_bounds() {
    lower_.assign(n_, 0.0);
    upper_.assign(n_, 0.0);
    bounded_.assign(n_, 0);
    row_norm_.assign(n_, 0.0);
    row_spread_.assign(n_, 0.0);
    mean_.assign(d_, 0.0);
    std::vector<uint8_t> finite(n_, 0);
    const size_t blocks = (n_ + kRowBlock - 1) / kRowBlock;
    for_row_blocks(blocks, [&](size_t v, const float* row) {
      double sq = 0.0;
      for (size_t i = 0; i < d_; ++i) sq += static_cast<double>(row[i]) * row[i];
      // NaN for rows with NaN or infinite values: never bounded.
      row_norm_[v] = std::sqrt(sq) * (1.0 + kSlack);
      finite[v] = std::all_of(row, row + d_, [](float x) { return std::isfinite(x); }) ? 1 : 0;
    });
    const size_t slices = std::min(exec_.slots(), std::max<size_t>(d_, 1));
    parallel_for(exec_, slices, [&](size_t sl, size_t slot) {
      Scratch& s = scratch_[slot];
      s.fit(kRowBlock, d_);
      const size_t first = sl * d_ / slices, last = (sl + 1) * d_ / slices;
      for (size_t start = 0; start < n_; start += kRowBlock) {
        const size_t count = std::min(kRowBlock, n_ - start);
        rows_.fetch(start, count, s.rows.data(), s.ptrs.data());
        for (size_t j = 0; j < count; ++j) {
          if (!finite[start + j]) continue;
          const float* row = s.ptrs[j];
          for (size_t i = first; i < last; ++i) mean_[i] += row[i];
        }
      }
    });
    const uint64_t finite_rows = static_cast<uint64_t>(std::count(finite.begin(), finite.end(), uint8_t{1}));
    if (finite_rows != 0) {
      for (double& m : mean_) m /= static_cast<double>(finite_rows);
    }
    mean_norm_ = 0.0;
    for (double m : mean_) mean_norm_ += m * m;
    mean_norm_ = std::sqrt(mean_norm_);
    for_row_blocks(blocks, [&](size_t v, const float* row) {
      double spread = 0.0;
      for (size_t i = 0; i < d_; ++i) {
        const double x = row[i];
        spread += (x - mean_[i]) * (x - mean_[i]);
      }
      row_spread_[v] = std::sqrt(spread) * (1.0 + kSlack);
    });
  }

  // fn(v, row) for every row, blocks of kRowBlock rows in parallel.
  template <class Fn>
  void for_row_blocks(size_t blocks, Fn&& fn) {
    parallel_for(exec_, blocks, [&](size_t b, size_t slot) {
      Scratch& s = scratch_[slot];
      s.fit(kRowBlock, d_);
      const size_t start = b * kRowBlock;
      const size_t count = std::min(kRowBlock, n_ - start);
      rows_.fetch(start, count, s.rows.data(), s.ptrs.data());
      for (size_t j = 0; j < count; ++j) fn(start + j, s.ptrs[j]);
    });
  }

  // Bound on |f32 score - exact score| of row v against any current centroid.
  double score_error(size_t v) const {
    const double magnitude = a_ * row_norm_[v] * max_centroid_norm_ +
                             (metric_ == Metric::L2 ? max_centroid_norm_ * max_centroid_norm_ : 0.0);
    if (!(magnitude <= kSafeMagnitude)) return kInf;  // also NaN
    return eps_coef_ * magnitude + eps_floor_;
  }

  // True when row v's cluster provably stays. May tighten its lower bound
  // with the exact score of its own cluster.
  bool keeps_cluster(size_t v, const float* row) {
    const double eps = score_error(v);
    if (lower_[v] - upper_[v] > 2.0 * eps) return true;
    const uint32_t c = assignment_[v];
    const float own = centroid_score(metric_, bound_dot(row, centroids_.data() + c * d_, d_), sq_norms_[c]);
    if (!std::isfinite(own)) return false;
    lower_[v] = own - eps;
    return lower_[v] - upper_[v] > 2.0 * eps;
  }

  // Full scoring of row v; dots holds its k dot products. Returns whether
  // its cluster changed.
  bool settle(size_t v, const float* dots) {
    uint32_t best = 0;
    float best_score = centroid_score(metric_, dots[0], sq_norms_[0]);
    bool nan = std::isnan(best_score);
    float second = -std::numeric_limits<float>::infinity();
    for (size_t c = 1; c < k_; ++c) {
      const float s = centroid_score(metric_, dots[c], sq_norms_[c]);
      nan |= std::isnan(s);
      if (!(best_score > s)) {
        if (best_score > second) second = best_score;
        best = static_cast<uint32_t>(c);
        best_score = s;
      } else if (s > second) {
        second = s;
      }
    }
    const bool changed = assignment_[v] != best;
    assignment_[v] = best;
    if (prune_) {
      const double eps = score_error(v);
      const bool usable =
          !nan && std::isfinite(best_score) && std::isfinite(eps) && (k_ == 1 || std::isfinite(second));
      bounded_[v] = usable ? 1 : 0;
      if (usable) {
        lower_[v] = best_score - eps;
        upper_[v] = k_ == 1 ? -kInf : second + eps;
      }
    }
    return changed;
  }

  // After an update: centroid c moved by delta_c, so for any row v
  //   score'(v, c) - score(v, c) = a (v - m).(c' - c) + sigma_c,
  //   sigma_c = a m.(c' - c) - (|c'|^2 - |c|^2 for L2, else 0),
  // and |a (v - m).(c' - c)| <= a |v - m| delta_c.
  void move_bounds() {
    std::vector<double> lowest_shift(k_), travel(k_);
    double max_travel = 0.0, max_shift = -kInf;
    bool finite = std::isfinite(mean_norm_);
    for (size_t c = 0; c < k_ && finite; ++c) {
      const float* now = centroids_.data() + c * d_;
      const float* before = previous_.data() + c * d_;
      double moved = 0.0, along_mean = 0.0, sq_now = 0.0, sq_before = 0.0;
      for (size_t i = 0; i < d_; ++i) {
        const double diff = static_cast<double>(now[i]) - before[i];
        moved += diff * diff;
        along_mean += mean_[i] * diff;
        sq_now += static_cast<double>(now[i]) * now[i];
        sq_before += static_cast<double>(before[i]) * before[i];
      }
      const double delta = std::sqrt(moved) * (1.0 + kSlack);
      const bool l2 = metric_ == Metric::L2;
      const double sigma = a_ * along_mean - (l2 ? sq_now - sq_before : 0.0);
      const double slack = kSlack * (a_ * mean_norm_ * delta + (l2 ? sq_now + sq_before : 0.0));
      finite = std::isfinite(delta) && std::isfinite(sigma) && std::isfinite(slack);
      travel[c] = delta;
      lowest_shift[c] = sigma - slack;
      max_travel = std::max(max_travel, delta);
      max_shift = std::max(max_shift, sigma + slack);
    }
    if (!finite) {
      std::fill(bounded_.begin(), bounded_.end(), 0);
      return;
    }
    for (size_t v = 0; v < n_; ++v) {
      if (!bounded_[v]) continue;
      const uint32_t c = assignment_[v];
      const double spread = a_ * row_spread_[v];
      lower_[v] += lowest_shift[c] - spread * travel[c];
      upper_[v] += max_shift + spread * max_travel;
    }
  }

  const Execution& exec_;
  std::vector<Scratch> scratch_;  // one per slot
  const RowSource& rows_;
  const size_t n_;
  const size_t d_;
  const size_t k_;
  const uint64_t seed_;
  const Metric metric_;
  const double a_;  // weight of the dot product in the score

  std::vector<float> centroids_;
  std::vector<float> previous_;
  std::vector<float> sq_norms_;  // f32 |c|^2, the L2 score's term
  CentroidPanel panel_;
  std::vector<uint32_t> assignment_;
  uint64_t rows_rescored_ = 0;

  // Pruning state (only when prune_).
  bool prune_ = false;
  double eps_coef_ = 0.0;
  double eps_floor_ = 0.0;
  double max_centroid_norm_ = 0.0;
  std::vector<double> mean_;
  double mean_norm_ = 0.0;
  std::vector<double> row_norm_;    // |v|, widened
  std::vector<double> row_spread_;  // |v - mean|, widened
  std::vector<double> lower_;       // exact score of the own cluster is >= lower_
  std::vector<double> upper_;       // exact score of every other cluster is <= upper_
  std::vector<uint8_t> bounded_;    // whether lower_/upper_ hold

  // The update's sums and member counts, by cluster.
  std::vector<float> sums_;
  std::vector<uint64_t> counts_;
};

}  // namespace

KMeansResult kmeans(const RowSource& rows, uint64_t nlist, uint64_t seed, Metric metric,
                    const KMeansOptions& options, const Execution& exec) {
  const uint64_t n = rows.size();
  if (n == 0) throw TeskraError::empty_index();
  // nlist 0 would leave no cluster to hold the vectors (and a zero divisor
  // below): it means a single list.
  const uint64_t k = std::min<uint64_t>(n, std::max<uint64_t>(nlist, 1));
  if (k > std::numeric_limits<uint32_t>::max()) throw std::length_error("too many clusters");
  const uint64_t step = std::max<uint64_t>(n / k, 1);
  const uint64_t offset = seed % step;

  Clustering clustering(rows, static_cast<size_t>(k), seed, metric, options.prune, exec);
  clustering.seed_centroids(step, offset);
  size_t iterations = 0;
  bool settled = false;
  while (iterations < kMaxKMeansIterations) {
    ++iterations;
    exec.poll();
    if (!clustering.assign()) {
      settled = true;
      break;
    }
    clustering.update();
  }
  // After an update the memberships must be decided once more against the
  // final centroids; a settled loop already holds exactly that pass.
  if (!settled) clustering.assign();
  return clustering.finish(iterations);
}

}  // namespace teskra
