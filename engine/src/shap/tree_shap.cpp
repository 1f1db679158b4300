// tree_shap and shap_importances: per-row, per-tree path-dependent TreeSHAP with one-hot leaf
// values, averaged over the trees. Rows are processed on the calling thread (tree_shap) or in
// row chunks combined in chunk order (shap_importances), so results never depend on timing.
#include "shap/tree_shap.h"

#include <algorithm>
#include <atomic>
#include <cmath>
#include <limits>
#include <new>
#include <thread>
#include <variant>

#include "morvel/bin_edges.h"
#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"
#include "parallel/parallel.h"
#include "shap/lane_walk.h"

namespace morvel::shap {

uint64_t checked_size(uint64_t a, uint64_t b) {
  if (a != 0 && b > std::numeric_limits<size_t>::max() / a) throw std::bad_alloc();
  return a * b;
}

namespace {

double bin_as_value(const std::vector<double>& edges, double value) {
  const uint8_t bin = bin_of(edges, value);
  if (bin == missing_bin(edges.size())) return std::numeric_limits<double>::quiet_NaN();
  return static_cast<double>(bin);
}

}  // namespace

bool kernel_available(Kernel kernel) {
  return kernel != Kernel::Vector4 || avx_available();
}

Workspace::Workspace(uint64_t max_depth, uint64_t n_features)
    : width_(std::min(n_features, max_depth) + 2) {
  path_.resize(checked_size(max_depth + 2, width_));
  stack_.reserve(max_depth + 2);
}

void Workspace::attribute(const CompactTree& tree, const double* row, uint64_t n_classes,
                          double* phi) {
  const CompactNode* nodes = tree.nodes.data();
  stack_.clear();
  stack_.push_back(Visit{0, 0, 0, 1.0, 1.0, kNoFeature});
  // The stack replaces the recursion of the paper: the cold child is pushed below the hot
  // one, so the hot subtree is finished first, exactly as in the recursive order. A level is
  // written only by visits at that depth, so the parent level a pending cold child copies
  // from stays as its parent left it.
  while (!stack_.empty()) {
    const Visit v = stack_.back();
    stack_.pop_back();
    PathElement* path = path_.data() + v.level * width_;
    if (v.level > 0) std::copy_n(path - width_, v.depth, path);
    extend_path(path, v.depth, v.zero_fraction, v.one_fraction, v.feature);
    const uint64_t d = v.depth;
    const CompactNode& node = nodes[v.node];

    if (node.is_leaf) {
      // A single-leaf tree (d == 0) attributes nothing. Each feature is on the path once, so
      // every element adds to a different phi entry and the elements can be taken in any
      // order: those with a nonzero one fraction go four at a time.
      double* phi_class = phi + node.leaf_class;
      auto add = [&](uint64_t i, double w) {
        phi_class[path[i].feature_index * n_classes] +=
            w * (path[i].one_fraction - path[i].zero_fraction);
      };
      uint64_t batch[4];
      int batched = 0;
      for (uint64_t i = 1; i <= d; ++i) {
        if (path[i].one_fraction == 0.0) {
          add(i, unwound_path_sum(path, d, i));
          continue;
        }
        batch[batched++] = i;
        if (batched == 4) {
          double w[4];
          unwound_path_sums<4>(path, d, batch, w);
          for (int k = 0; k < 4; ++k) add(batch[k], w[k]);
          batched = 0;
        }
      }
      if (batched >= 2) {
        double w[2];
        unwound_path_sums<2>(path, d, batch, w);
        add(batch[0], w[0]);
        add(batch[1], w[1]);
        batched -= 2;
        batch[0] = batch[2];
      }
      if (batched == 1) add(batch[0], unwound_path_sum(path, d, batch[0]));
      continue;
    }

    const uint64_t f = static_cast<uint64_t>(node.feature);
    const double value = row[f];
    const bool left = std::isnan(value) ? node.missing_left : value > node.pivot;
    const uint64_t hot = left ? node.left : node.right;
    const uint64_t cold = left ? node.right : node.left;

    // A feature met again on the path: the deeper split takes over the fractions of the
    // earlier one, which is unwound so the path holds each feature once.
    double iz = 1.0;
    double io = 1.0;
    uint64_t child_depth = d + 1;
    for (uint64_t i = 0; i <= d; ++i) {
      if (path[i].feature_index == f) {
        iz = path[i].zero_fraction;
        io = path[i].one_fraction;
        unwind_path(path, d, i);
        child_depth = d;
        break;
      }
    }
    // A node whose cover is 0 divides as if its cover were 1.
    const double cover = std::max(node.cover, 1.0);
    stack_.push_back(Visit{cold, v.level + 1, child_depth, iz * nodes[cold].cover / cover, 0.0, f});
    stack_.push_back(Visit{hot, v.level + 1, child_depth, iz * nodes[hot].cover / cover, io, f});
  }
}

RowReader::RowReader(const PredictionMatrix& x, uint64_t n_features)
    : x_(x), n_features_(n_features) {
  dense_ = std::get_if<DenseMatrix>(&x.values);
  csr_ = std::get_if<CsrMatrix>(&x.values);
  const bool binned = x.edges != nullptr;
  if (binned) MORVEL_ASSERT(x.edges->size() == n_features, msg::kEdgesMismatch);
  if (binned && !x.bins.empty()) {
    MORVEL_ASSERT(x.bins.size() == checked_size(x.n_rows, n_features), msg::kBufferLength);
    kind_ = Kind::Bins;
  } else if (dense_ != nullptr) {
    MORVEL_ASSERT(dense_->n_rows == x.n_rows && dense_->n_features == n_features &&
                      dense_->values.size() == checked_size(x.n_rows, n_features),
                  msg::kBufferLength);
    kind_ = binned ? Kind::DenseBinned : Kind::Dense;
  } else {
    MORVEL_ASSERT(csr_ != nullptr && csr_->n_rows == x.n_rows && csr_->n_features == n_features &&
                      csr_->indptr.size() == x.n_rows + 1 &&
                      csr_->indices.size() == csr_->data.size(),
                  msg::kCsrStructure);
    kind_ = binned ? Kind::CsrBinned : Kind::Csr;
  }
  if (kind_ == Kind::Dense) return;
  scratch_.assign(n_features, 0.0);
  if (kind_ == Kind::CsrBinned) {
    // An absent sparse entry reads 0.0, whose bin differs per feature.
    defaults_.resize(n_features);
    for (uint64_t f = 0; f < n_features; ++f) defaults_[f] = bin_as_value((*x.edges)[f], 0.0);
    scratch_ = defaults_;
  } else if (kind_ == Kind::Csr) {
    defaults_.assign(n_features, 0.0);
  }
}

const double* RowReader::row(uint64_t r) {
  switch (kind_) {
    case Kind::Dense:
      return dense_->values.data() + r * n_features_;
    case Kind::Bins: {
      const uint8_t* bins = x_.bins.data() + r * n_features_;
      for (uint64_t f = 0; f < n_features_; ++f) {
        const uint64_t n_edges = (*x_.edges)[f].size();
        scratch_[f] = bins[f] == missing_bin(n_edges) ? std::numeric_limits<double>::quiet_NaN()
                                                      : static_cast<double>(bins[f]);
      }
      return scratch_.data();
    }
    case Kind::DenseBinned: {
      const double* values = dense_->values.data() + r * n_features_;
      for (uint64_t f = 0; f < n_features_; ++f) {
        scratch_[f] = bin_as_value((*x_.edges)[f], values[f]);
      }
      return scratch_.data();
    }
    case Kind::Csr:
    case Kind::CsrBinned: {
      // Scatter the stored entries over the defaults; the previous row's are reset first, so
      // a row costs its stored entries, not n_features.
      for (uint64_t f : touched_) scratch_[f] = defaults_[f];
      touched_.clear();
      const uint64_t begin = csr_->indptr[r];
      const uint64_t end = csr_->indptr[r + 1];
      MORVEL_ASSERT(begin <= end && end <= csr_->indices.size(), msg::kCsrRowPointer);
      for (uint64_t k = begin; k < end; ++k) {
        const uint64_t f = csr_->indices[k];
        MORVEL_ASSERT(f < n_features_, msg::kCsrColumnIndex);
        const double value = csr_->data[k];
        scratch_[f] = kind_ == Kind::Csr ? value : bin_as_value((*x_.edges)[f], value);
        touched_.push_back(f);
      }
      return scratch_.data();
    }
  }
  return nullptr;
}

namespace {

struct Prepared {
  std::vector<CompactTree> trees;
  uint64_t max_depth = 0;
};

Prepared compact_forest(const FittedForest& forest) {
  const std::vector<Tree>& trees = forest.result.trees.list();
  Prepared out;
  out.trees.reserve(trees.size());
  for (const Tree& tree : trees) {
    checkpoint();
    out.trees.push_back(compact_tree(tree, forest.n_features, forest.n_classes));
    out.max_depth = std::max(out.max_depth, out.trees.back().max_depth);
  }
  return out;
}

void check_features(const FittedForest& forest, const PredictionMatrix& x) {
  if (x.n_features != forest.n_features) throw ValidationError(msg::kShapFeatureMismatch);
}

// The mean |phi| of every feature over rows and classes, computed by a team of workers.
//
// The rows belong to consecutive chunks, one per worker, and each chunk's accumulator adds its
// rows in row order. The workers walk batches of rows together, so that path states are shared
// by all rows of a batch whichever chunk they belong to. A worker takes the next tree from a
// counter, prepares it (path states and leaf terms of the whole batch), then replays it block
// of rows by block, each block only once the previous tree is done with it: every row adds
// exactly the scalar walk's terms in tree order, so the result is that of one thread, and each
// worker replays the terms it has just computed, still in its own cache. The chunks fix the
// grouping of the sums; the team that computes them is bounded, each member owning a
// contiguous run of chunks with an accumulator per chunk.
class ImportanceTeam {
 public:
  ImportanceTeam(const Prepared& prepared, const PredictionMatrix& x, uint64_t n_features, uint64_t n_classes,
                 uint64_t n_jobs)
      : prepared_(prepared),
        x_(x),
        n_features_(n_features),
        n_classes_(n_classes),
        per_row_(checked_size(n_features, n_classes)),
        n_trees_(static_cast<double>(prepared.trees.size())),
        classes_(static_cast<double>(n_classes)),
        chunks_(parallel::split_chunks(x.n_rows, std::min(x.n_rows, n_jobs == 0 ? uint64_t{1} : n_jobs))),
        owned_(parallel::split_chunks(chunks_.size(), std::min<uint64_t>(chunks_.size(), parallel::thread_limit()))),
        batch_(std::min(x.n_rows,
                        BatchWalker::batch_rows_for(prepared.trees, prepared.max_depth, n_features, n_classes))),
        // Replay blocks: small enough that a tree follows closely behind the one before it.
        block_rows_(owned_.size() == 1 ? batch_ : 32),
        chunk_acc_(checked_size(chunks_.size(), n_features), 0.0),
        rows_(checked_size(batch_, n_features)),
        phi_(checked_size(batch_, per_row_)),
        replayed_(prepared.trees.size()) {
    walkers_.reserve(members());
    for (uint64_t w = 0; w < members(); ++w) walkers_.emplace_back(prepared.max_depth, n_features, n_classes, batch_);
  }

  uint64_t members() const { return owned_.size(); }

  // Member w's part of every batch; 0 when the team stops early.
  int run(uint64_t w, parallel::Team& team) {
    std::vector<uint64_t> stack;
    RowReader reader(x_, n_features_);
    try {
      for (uint64_t first = 0; first < x_.n_rows; first += batch_) {
        const uint64_t count = std::min(batch_, x_.n_rows - first);
        load_share(w, reader, first, count);
        if (!team.sync()) return 0;
        if (!walk_trees(w, count, stack)) return 0;
        if (!team.sync()) return 0;
        accumulate(w, first, count);
        if (!team.sync()) return 0;
      }
    } catch (...) {
      failed_.store(true);
      throw;
    }
    return 0;
  }

  // Chunk order, then feature order: the sum does not depend on which thread finished first.
  std::vector<double> importances() const {
    std::vector<double> result(n_features_, 0.0);
    for (uint64_t k = 0; k < chunks_.size(); ++k) {
      for (uint64_t j = 0; j < n_features_; ++j) result[j] += chunk_acc_[k * n_features_ + j];
    }
    double total = 0.0;
    for (double v : result) total += v;
    if (total > 0.0) {
      for (double& v : result) v = v / total;
    }
    return result;
  }

 private:
  // This member's share of the batch: its rows copied in, its phi zeroed. Member 0 also
  // resets the tree counters, which nobody reads until the next meeting.
  void load_share(uint64_t w, RowReader& reader, uint64_t first, uint64_t count) {
    const uint64_t share = parallel::chunk_length(count, members());
    const uint64_t own_begin = std::min(count, w * share);
    const uint64_t own_end = std::min(count, own_begin + share);
    for (uint64_t r = own_begin; r < own_end; ++r) {
      std::copy_n(reader.row(first + r), n_features_, rows_.data() + r * n_features_);
    }
    std::fill(phi_.begin() + own_begin * per_row_, phi_.begin() + own_end * per_row_, 0.0);
    if (w == 0) {
      next_tree_.store(0, std::memory_order_relaxed);
      for (std::atomic<uint64_t>& done : replayed_) done.store(0, std::memory_order_relaxed);
    }
  }

  // Trees taken from the counter until none is left; false when another member failed.
  bool walk_trees(uint64_t w, uint64_t count, std::vector<uint64_t>& stack) {
    const uint64_t n_trees = prepared_.trees.size();
    const uint64_t blocks = count / block_rows_ + (count % block_rows_ != 0 ? 1 : 0);
    for (uint64_t t = next_tree_.fetch_add(1); t < n_trees; t = next_tree_.fetch_add(1)) {
      checkpoint();
      walkers_[w].prepare(prepared_.trees[t], rows_.data(), count);
      for (uint64_t k = 0; k < blocks; ++k) {
        // The previous tree was taken earlier by a running worker, which never waits for a
        // later tree, so this wait always ends.
        while (t > 0 && replayed_[t - 1].load(std::memory_order_acquire) <= k) {
          if (failed_.load(std::memory_order_relaxed)) return false;
          checkpoint();
          std::this_thread::yield();
        }
        const uint64_t begin = k * block_rows_;
        walkers_[w].replay(prepared_.trees[t], rows_.data(), begin, std::min(count, begin + block_rows_),
                           phi_.data(), stack);
        replayed_[t].store(k + 1, std::memory_order_release);
      }
    }
    return true;
  }

  // The rows of this batch that belong to this member's chunks, in row order.
  void accumulate(uint64_t w, uint64_t first, uint64_t count) {
    for (uint64_t k = owned_[w].begin; k < owned_[w].end; ++k) {
      double* acc = chunk_acc_.data() + k * n_features_;
      const uint64_t chunk_begin = std::max(chunks_[k].begin, first) - first;
      const uint64_t chunk_end = std::min(chunks_[k].end, first + count);
      for (uint64_t r = chunk_begin; r + first < chunk_end; ++r) {
        const double* row_phi = phi_.data() + r * per_row_;
        for (uint64_t j = 0; j < n_features_; ++j) {
          for (uint64_t c = 0; c < n_classes_; ++c) {
            acc[j] += std::fabs(row_phi[j * n_classes_ + c] / n_trees_) / classes_;
          }
        }
      }
    }
  }

  const Prepared& prepared_;
  const PredictionMatrix& x_;
  const uint64_t n_features_;
  const uint64_t n_classes_;
  const uint64_t per_row_;
  const double n_trees_;
  const double classes_;
  const std::vector<parallel::Chunk> chunks_;
  const std::vector<parallel::Chunk> owned_;
  const uint64_t batch_;
  const uint64_t block_rows_;
  std::vector<double> chunk_acc_;
  std::vector<double> rows_;
  std::vector<double> phi_;
  std::vector<BatchWalker> walkers_;
  std::vector<std::atomic<uint64_t>> replayed_;  // per tree: blocks of the batch replayed
  std::atomic<uint64_t> next_tree_{0};
  std::atomic<bool> failed_{false};
};

}  // namespace

}  // namespace morvel::shap

namespace morvel {

ShapValues tree_shap(const FittedForest& forest, const PredictionMatrix& x, uint64_t n_jobs) {
  using namespace shap;
  check_features(forest, x);
  const Prepared prepared = compact_forest(forest);
  const uint64_t n_classes = forest.n_classes;
  const uint64_t n_features = forest.n_features;
  const double n_trees = static_cast<double>(prepared.trees.size());

  ShapValues out;
  out.base_values.assign(n_classes, 0.0);
  const uint64_t per_row = checked_size(n_features, n_classes);
  out.values.assign(checked_size(x.n_rows, per_row), 0.0);
  if (prepared.trees.empty()) return out;

  std::vector<double> sums(n_classes, 0.0);
  for (const CompactTree& tree : prepared.trees) {
    const std::vector<double> expected = expected_values(tree, n_classes);
    for (uint64_t c = 0; c < n_classes; ++c) sums[c] += expected[c];
  }
  const double inverse = 1.0 / n_trees;
  for (uint64_t c = 0; c < n_classes; ++c) out.base_values[c] = inverse * sums[c];

  // Every row's values are the scalar walk's whatever batch it shares, so the rows can be
  // cut into chunks, one walker each. A row costs far more here than in prediction: a
  // handful of rows per worker already pays for its thread.
  constexpr uint64_t kRowsPerWorker = 8;
  const uint64_t workers = std::max<uint64_t>(
      1, std::min(std::max<uint64_t>(n_jobs, 1), x.n_rows / kRowsPerWorker));
  const uint64_t chunk_rows = parallel::chunk_length(x.n_rows, workers);
  // The walkers share one walker's scratch budget, so more threads never need more memory.
  const uint64_t batch_limit = std::max<uint64_t>(
      1, BatchWalker::batch_rows_for(prepared.trees, prepared.max_depth, n_features, n_classes) / workers);
  parallel::for_each_chunk(
      x.n_rows, workers,
      [&](const parallel::Chunk& chunk) {
        // Rows go through the trees in batches; each row's phi still sums its trees in order.
        const uint64_t batch = std::min(chunk_rows, batch_limit);
        BatchWalker walker(prepared.max_depth, n_features, n_classes, batch);
        RowReader reader(x, n_features);
        std::vector<double> rows(checked_size(batch, n_features));
        for (uint64_t first = chunk.begin; first < chunk.end; first += batch) {
          const uint64_t count = std::min(batch, chunk.end - first);
          for (uint64_t r = 0; r < count; ++r) {
            std::copy_n(reader.row(first + r), n_features, rows.data() + r * n_features);
          }
          double* phi = out.values.data() + first * per_row;
          for (const CompactTree& tree : prepared.trees) {
            checkpoint();
            walker.attribute(tree, rows.data(), count, phi);
          }
          for (uint64_t k = 0; k < count * per_row; ++k) phi[k] = phi[k] / n_trees;
        }
      },
      msg::kShapWorkerPanicked);
  return out;
}

std::vector<double> shap_importances(const FittedForest& forest, const PredictionMatrix& x,
                                     uint64_t n_jobs) {
  using namespace shap;
  check_features(forest, x);
  if (x.n_rows == 0) throw ValidationError(msg::kNoRows);
  const Prepared prepared = compact_forest(forest);
  if (prepared.trees.empty()) return std::vector<double>(forest.n_features, 0.0);
  ImportanceTeam team(prepared, x, forest.n_features, forest.n_classes, n_jobs);
  parallel::run_team(
      team.members(), [&team](uint64_t w, parallel::Team& sync) { return team.run(w, sync); },
      msg::kShapWorkerPanicked);
  return team.importances();
}

}  // namespace morvel
