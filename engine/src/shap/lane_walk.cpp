// Path-dependent TreeSHAP for a batch of rows (one state per distinct path history, see
// lane_walk.h) with the path procedures in SIMD lanes, bit for bit equal to the scalar walk in
// tree_shap.cpp.
//
// Every lane performs exactly the scalar operations of one element, in the scalar order, with
// one rounding per operation (no fused multiply-add: the build sets -ffp-contract=off, and the
// AVX variant does not enable FMA). What runs side by side:
//   * EXTEND: the new weight of element i is (old[i] term) + (old[i-1] term), and both terms
//     read only old weights, so all elements are independent;
//   * UNWIND with a zero one fraction: every weight is rescaled independently;
//   * UNWOUND_SUM at a leaf: the sums of different elements are independent chains. Elements
//     are gathered by the branch they take (one fraction nonzero or zero), so no lane ever
//     evaluates the other branch.
// Lanes past the used part of the path compute on padding or stale values and are discarded.
#include "shap/lane_walk.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>
#include <new>

#include "morvel/errors.h"
#include "morvel/messages.h"

// The 32-byte vector helpers are always inlined into the AVX function, so no vector ever
// crosses a call boundary and the ABI note GCC gives for them does not apply.
#pragma GCC diagnostic ignored "-Wpsabi"

#define MORVEL_BATCH_CHECK(cond) MORVEL_ASSERT(cond, msg::kShapBatchSize)
#define MORVEL_LANES_INLINE inline __attribute__((always_inline))

namespace morvel::shap {

namespace {

template <int N>
struct LaneVector {
  typedef double type __attribute__((vector_size(8 * N)));
};

template <class V>
MORVEL_LANES_INLINE V load(const double* p) {
  V v;
  std::memcpy(&v, p, sizeof v);
  return v;
}

template <class V>
MORVEL_LANES_INLINE void store(double* p, V v) {
  std::memcpy(p, &v, sizeof v);
}

template <class V, int N>
MORVEL_LANES_INLINE V splat(double x) {
  V v;
  for (int k = 0; k < N; ++k) v[k] = x;
  return v;
}

MORVEL_LANES_INLINE uint64_t round_up(uint64_t n, uint64_t to) { return (n + to - 1) / to * to; }

// UNWOUND_SUM of K vectors of elements whose one fraction is nonzero:
//   t = n * (d+1) / ((j+1) * o); total += t; n = pweight[j] - (d-j) * (t * z) / (d+1)
// The last n (after j = 0) is never read, so it is not computed.
template <class V, int N, int K>
MORVEL_LANES_INLINE void sums_hot(const double* pw, uint64_t d, const double* o_in,
                                  const double* z_in, double* out) {
  const V d1 = splat<V, N>(static_cast<double>(d + 1));
  V o[K], z[K], n[K], total[K];
  for (int k = 0; k < K; ++k) {
    o[k] = load<V>(o_in + k * N);
    z[k] = load<V>(z_in + k * N);
    n[k] = splat<V, N>(pw[d]);
    total[k] = splat<V, N>(0.0);
  }
  for (uint64_t j = d; j-- > 1;) {
    const V w = splat<V, N>(pw[j]);
    const V j1 = splat<V, N>(static_cast<double>(j + 1));
    const V dj = splat<V, N>(static_cast<double>(d - j));
    for (int k = 0; k < K; ++k) {
      const V t = n[k] * d1 / (j1 * o[k]);
      total[k] += t;
      n[k] = w - dj * (t * z[k]) / d1;
    }
  }
  const V one = splat<V, N>(1.0);
  for (int k = 0; k < K; ++k) {
    const V t = n[k] * d1 / (one * o[k]);
    total[k] += t;
    store(out + k * N, total[k]);
  }
}

// UNWOUND_SUM of K vectors of elements whose one fraction is zero:
//   total += pweight[j] / z * (d+1) / (d-j)
template <class V, int N, int K>
MORVEL_LANES_INLINE void sums_cold(const double* pw, uint64_t d, const double* z_in,
                                   double* out) {
  const V d1 = splat<V, N>(static_cast<double>(d + 1));
  V z[K], total[K];
  for (int k = 0; k < K; ++k) {
    z[k] = load<V>(z_in + k * N);
    total[k] = splat<V, N>(0.0);
  }
  for (uint64_t j = d; j-- > 0;) {
    const V w = splat<V, N>(pw[j]);
    const V dj = splat<V, N>(static_cast<double>(d - j));
    for (int k = 0; k < K; ++k) total[k] += w / z[k] * d1 / dj;
  }
  for (int k = 0; k < K; ++k) store(out + k * N, total[k]);
}

// UNWOUND_SUM of K vectors of lanes from lane k on, by the formula of their branch.
template <class V, int N, bool Hot, int K>
MORVEL_LANES_INLINE void sums_of(const double* pw, uint64_t d, const double* o, const double* z,
                                 double* out, uint64_t k) {
  if constexpr (Hot) sums_hot<V, N, K>(pw, d, o + k, z + k, out + k);
  else sums_cold<V, N, K>(pw, d, z + k, out + k);
}

// Runs `count` lanes (a multiple of N) four vectors at a time, so that enough independent
// division chains are in flight.
template <class V, int N, bool Hot>
MORVEL_LANES_INLINE void sums(const double* pw, uint64_t d, const double* o, const double* z,
                              double* out, uint64_t count) {
  uint64_t k = 0;
  for (; k + 4 * N <= count; k += 4 * N) sums_of<V, N, Hot, 4>(pw, d, o, z, out, k);
  switch ((count - k) / N) {
    case 3:
      sums_of<V, N, Hot, 3>(pw, d, o, z, out, k);
      break;
    case 2:
      sums_of<V, N, Hot, 2>(pw, d, o, z, out, k);
      break;
    case 1:
      sums_of<V, N, Hot, 1>(pw, d, o, z, out, k);
      break;
    default:
      break;
  }
}

// EXTEND on the weights alone (the caller has set pw[d] to its initial value):
//   new[i] = (d-i) * (old[i] * pz) / (d+1) + i * (old[i-1] * po) / (d+1)
template <class V, int N>
MORVEL_LANES_INLINE void extend_weights(double* pw, uint64_t d, double pz, double po,
                                        double* term_a, double* term_b) {
  if (d == 0) return;
  V iota;
  for (int k = 0; k < N; ++k) iota[k] = static_cast<double>(k);
  const V dv = splat<V, N>(static_cast<double>(d));
  const V d1 = splat<V, N>(static_cast<double>(d + 1));
  const V pzv = splat<V, N>(pz);
  const V pov = splat<V, N>(po);
  const V one_v = splat<V, N>(1.0);
  for (uint64_t i = 0; i < d; i += N) {
    const V old = load<V>(pw + i);
    const V iv = iota + splat<V, N>(static_cast<double>(i));
    store(term_b + i + 1, (iv + one_v) * (old * pov) / d1);
    store(term_a + i, (dv - iv) * (old * pzv) / d1);
  }
  const double last = pw[d];
  pw[0] = term_a[0];
  for (uint64_t i = 1; i < d; ++i) pw[i] = term_a[i] + term_b[i];
  pw[d] = last + term_b[d];
}

// UNWIND on the weights alone, for an element with fractions (o, z).
template <class V, int N>
MORVEL_LANES_INLINE void unwind_weights(double* pw, uint64_t d, double o, double z,
                                        double* term_a) {
  const double d1 = static_cast<double>(d + 1);
  if (o != 0.0) {
    double n = pw[d];
    for (uint64_t j = d; j-- > 0;) {
      const double t = pw[j];
      pw[j] = n * d1 / (static_cast<double>(j + 1) * o);
      n = t - static_cast<double>(d - j) * (pw[j] * z) / d1;
    }
    return;
  }
  V iota;
  for (int k = 0; k < N; ++k) iota[k] = static_cast<double>(k);
  const V dv = splat<V, N>(static_cast<double>(d));
  const V d1v = splat<V, N>(d1);
  const V zv = splat<V, N>(z);
  for (uint64_t j = 0; j < d; j += N) {
    const V jv = iota + splat<V, N>(static_cast<double>(j));
    store(term_a + j, load<V>(pw + j) * d1v / ((dv - jv) * zv));
  }
  std::copy_n(term_a, d, pw);
}

// What each element 1..d of a leaf's path adds to phi: UNWOUND_SUM(i) * (one[i] - zero[i]),
// written to out[i - 1].
template <class V, int N>
MORVEL_LANES_INLINE void leaf_terms(const double* one, const double* zero, const double* pw,
                                    uint64_t d, uint64_t stride, double* scratch,
                                    uint64_t* order, double* out) {
  double* gathered_one = scratch + 2 * stride;
  double* gathered_zero = gathered_one + stride;
  double* gathered_sum = gathered_zero + stride;
  uint64_t hot_end = 0;
  for (uint64_t i = 1; i <= d; ++i) {
    if (one[i] == 0.0) continue;
    order[hot_end] = i;
    gathered_one[hot_end] = one[i];
    gathered_zero[hot_end] = zero[i];
    ++hot_end;
  }
  const uint64_t cold_begin = round_up(hot_end, N);
  for (uint64_t k = hot_end; k < cold_begin; ++k) {
    gathered_one[k] = 1.0;
    gathered_zero[k] = 1.0;
  }
  uint64_t cold_end = cold_begin;
  for (uint64_t i = 1; i <= d; ++i) {
    if (one[i] != 0.0) continue;
    order[cold_end] = i;
    gathered_zero[cold_end] = zero[i];
    ++cold_end;
  }
  const uint64_t padded_end = round_up(cold_end, N);
  for (uint64_t k = cold_end; k < padded_end; ++k) gathered_zero[k] = 1.0;
  sums<V, N, true>(pw, d, gathered_one, gathered_zero, gathered_sum, cold_begin);
  sums<V, N, false>(pw, d, nullptr, gathered_zero + cold_begin, gathered_sum + cold_begin,
                    padded_end - cold_begin);
  for (uint64_t k = 0; k < hot_end; ++k) {
    const uint64_t i = order[k];
    out[i - 1] = gathered_sum[k] * (one[i] - zero[i]);
  }
  for (uint64_t k = cold_begin; k < cold_end; ++k) {
    const uint64_t i = order[k];
    out[i - 1] = gathered_sum[k] * (one[i] - zero[i]);
  }
}

}  // namespace

// One pending node of the batch walk. The rows and states of its level are built on entry
// from the parent level, which no deeper visit writes.
struct BatchVisit {
  uint64_t node;
  uint64_t level;
  uint64_t depth;         // unique depth d of the node's path
  double zero_fraction;   // shared by every state
  uint64_t feature;
  bool left_child;        // the node is its parent's `left` child
};

struct BatchWalker::Scratch {
  uint64_t stride = 0;
  uint64_t levels = 0;
  uint64_t batch = 0;
  std::vector<uint64_t> slot_base;   // per level: first state slot
  std::vector<uint64_t> begin_base;  // per level: first entry in `begin`
  std::vector<uint64_t> features;    // levels x stride, shared by the states of a level
  std::vector<double> zero;          // levels x stride, shared
  std::vector<double> one;           // state slots x stride
  std::vector<double> weight;        // state slots x stride
  std::vector<double> incoming_one;  // per state slot: one fraction the children inherit
  std::vector<uint32_t> rows;        // levels x batch: rows, grouped by state
  std::vector<uint8_t> side;         // levels x batch: 1 when that row goes `left`
  std::vector<uint32_t> begin;       // per level: state s holds rows [begin[s], begin[s+1])
  std::vector<uint32_t> states;      // per level: number of states
  std::vector<double> lanes;         // 6 x stride
  std::vector<uint64_t> order;       // stride
  std::vector<BatchVisit> stack;
  // Per tree.
  std::vector<uint64_t> leaf_slot;        // per node
  std::vector<uint64_t> leaf_depth;       // per leaf
  std::vector<uint64_t> leaf_features;    // per leaf: first entry in feature_list
  std::vector<uint64_t> feature_list;     // the features of elements 1..d of each leaf
  std::vector<double> terms;              // per leaf and state: d contributions
  std::vector<uint64_t> leaf_terms;       // per leaf: where the terms of its first state start
  // leaves x batch: the state each row has at each leaf (its terms follow the leaf's first
  // state's at state * depth). Leaf-major, so a leaf writes one run, and consecutive rows of a
  // replay read the same cache lines.
  std::vector<uint16_t> row_state;
  std::vector<uint64_t> replay;
  uint64_t prepared_rows = 0;  // rows of the batch the stored terms belong to
};

namespace {

uint64_t level_capacity(uint64_t level, uint64_t batch) {
  return level >= 62 ? batch : std::min(batch, uint64_t{1} << level);
}

// The state slots of one level: one fraction and weights of each state, `stride` apart.
MORVEL_LANES_INLINE double* one_of(BatchWalker::Scratch& s, uint64_t level, uint64_t state) {
  return s.one.data() + (s.slot_base[level] + state) * s.stride;
}

MORVEL_LANES_INLINE double* weight_of(BatchWalker::Scratch& s, uint64_t level, uint64_t state) {
  return s.weight.data() + (s.slot_base[level] + state) * s.stride;
}

// Numbers the tree's leaves and sizes the per-leaf tables for one walk.
MORVEL_LANES_INLINE void index_leaves(BatchWalker::Scratch& s, const CompactTree& tree) {
  const uint64_t n_nodes = tree.nodes.size();
  uint64_t n_leaves = 0;
  s.leaf_slot.resize(n_nodes);
  for (uint64_t k = 0; k < n_nodes; ++k) {
    if (tree.nodes[k].is_leaf) s.leaf_slot[k] = n_leaves++;
  }
  s.leaf_depth.assign(n_leaves, 0);
  s.leaf_features.assign(n_leaves, 0);
  s.feature_list.clear();
  s.terms.clear();
  s.leaf_terms.assign(n_leaves, 0);
  s.row_state.resize(checked_size(n_leaves, s.batch));
}

// The level a visit writes: its path (features and zero fractions, shared by its states), its
// rows grouped by state and where each state's rows begin, and its states' slots. Kept as
// plain values so that the walk holds them in registers.
struct LevelView {
  uint64_t level;
  uint64_t depth;
  uint64_t stride;
  uint64_t* feature;
  double* zero;
  uint32_t* rows;
  uint32_t* begin;
  double* one;     // state g: one + g * stride
  double* weight;  // state g: weight + g * stride
  double* term_a;  // lane scratch
  uint32_t states = 0;
};

// Copies the parent's path into the visit's level and appends the visit's element.
MORVEL_LANES_INLINE LevelView enter_level(BatchWalker::Scratch& s, const BatchVisit& v) {
  const uint64_t stride = s.stride;
  LevelView at{v.level,
               v.depth,
               stride,
               s.features.data() + v.level * stride,
               s.zero.data() + v.level * stride,
               s.rows.data() + v.level * s.batch,
               s.begin.data() + s.begin_base[v.level],
               one_of(s, v.level, 0),
               weight_of(s, v.level, 0),
               s.lanes.data()};
  if (v.level > 0) {
    std::copy_n(at.feature - stride, v.depth, at.feature);
    std::copy_n(at.zero - stride, v.depth, at.zero);
  }
  at.feature[v.depth] = v.feature;
  at.zero[v.depth] = v.zero_fraction;
  return at;
}

// Appends a state: the parent state's path extended by the visit's element with one fraction
// `po`. Its rows end where the level's rows end now.
template <class V, int N>
MORVEL_LANES_INLINE void add_state(LevelView& at, double zero_fraction,
                                   const double* parent_one, const double* parent_weight, double po) {
  const uint64_t d = at.depth;
  double* one = at.one + at.states * at.stride;
  double* pw = at.weight + at.states * at.stride;
  if (d > 0) {
    std::copy_n(parent_one, d, one);
    std::copy_n(parent_weight, d, pw);
  }
  one[d] = po;
  pw[d] = d == 0 ? 1.0 : 0.0;
  extend_weights<V, N>(pw, d, zero_fraction, po, at.term_a, at.term_a + at.stride);
  ++at.states;
}

// The states of a node: per parent state, the rows that went toward this node (one fraction
// inherited) and those that did not (one fraction 0); the two coincide when the inherited one
// fraction is already 0. The root has one state holding every row.
template <class V, int N>
MORVEL_LANES_INLINE void build_states(BatchWalker::Scratch& s, const BatchVisit& v, LevelView& at,
                                      uint64_t n_rows) {
  at.begin[0] = 0;
  if (at.level == 0) {
    for (uint64_t k = 0; k < n_rows; ++k) at.rows[k] = static_cast<uint32_t>(k);
    at.begin[1] = static_cast<uint32_t>(n_rows);
    add_state<V, N>(at, v.zero_fraction, one_of(s, 0, 0), weight_of(s, 0, 0), 1.0);  // copies nothing
    return;
  }
  const uint64_t parent = at.level - 1;
  const uint32_t* parent_rows = s.rows.data() + parent * s.batch;
  const uint8_t* parent_side = s.side.data() + parent * s.batch;
  const uint32_t* parent_begin = s.begin.data() + s.begin_base[parent];
  const uint8_t toward = v.left_child ? 1 : 0;
  const double* parent_ones = one_of(s, parent, 0);
  const double* parent_weights = weight_of(s, parent, 0);
  const double* parent_incoming = s.incoming_one.data() + s.slot_base[parent];
  const uint32_t parent_states = s.states[parent];
  uint32_t end = 0;
  // Appends the rows of [b, e) that `keep`, and their state when there are any.
  auto add_group = [&](const double* parent_one, const double* parent_weight, double po, uint32_t b,
                       uint32_t e, auto keep) {
    const uint32_t start = end;
    for (uint32_t k = b; k < e; ++k) {
      if (keep(parent_side[k])) at.rows[end++] = parent_rows[k];
    }
    if (end == start) return;
    at.begin[at.states + 1] = end;
    add_state<V, N>(at, v.zero_fraction, parent_one, parent_weight, po);
  };
  for (uint32_t g = 0; g < parent_states; ++g) {
    const double* parent_one = parent_ones + g * at.stride;
    const double* parent_weight = parent_weights + g * at.stride;
    const double io = parent_incoming[g];
    const uint32_t b = parent_begin[g];
    const uint32_t e = parent_begin[g + 1];
    if (io == 0.0) {
      for (uint32_t k = b; k < e; ++k) at.rows[end++] = parent_rows[k];
      at.begin[at.states + 1] = end;
      add_state<V, N>(at, v.zero_fraction, parent_one, parent_weight, 0.0);
      continue;
    }
    add_group(parent_one, parent_weight, io, b, e, [toward](uint8_t side) { return side == toward; });
    add_group(parent_one, parent_weight, 0.0, b, e, [toward](uint8_t side) { return side != toward; });
  }
}

// At a leaf: the terms of each state, and for each row the state it reaches the leaf with.
template <class V, int N>
MORVEL_LANES_INLINE void store_leaf_terms(BatchWalker::Scratch& s, uint64_t node, const LevelView& at) {
  const uint64_t slot = s.leaf_slot[node];
  const uint64_t d = at.depth;
  s.leaf_depth[slot] = d;
  if (d == 0) return;  // a single-leaf tree attributes nothing
  s.leaf_features[slot] = s.feature_list.size();
  s.feature_list.insert(s.feature_list.end(), at.feature + 1, at.feature + 1 + d);
  s.leaf_terms[slot] = s.terms.size();
  for (uint32_t g = 0; g < at.states; ++g) {
    const uint64_t offset = s.terms.size();
    s.terms.resize(offset + d);
    leaf_terms<V, N>(at.one + g * at.stride, at.zero, at.weight + g * at.stride, d, at.stride, at.term_a,
                     s.order.data(), s.terms.data() + offset);
    for (uint32_t k = at.begin[g]; k < at.begin[g + 1]; ++k) {
      s.row_state[slot * s.batch + at.rows[k]] = static_cast<uint16_t>(g);
    }
  }
}

// At a split: which side each row of the level takes, the path element of a feature met again
// unwound in every state (its fractions pass to the children), and the two children pushed.
template <class V, int N>
MORVEL_LANES_INLINE void split_states(BatchWalker::Scratch& s, const CompactNode* nodes, const CompactNode& node,
                                      const LevelView& at, const double* rows, uint64_t n_rows,
                                      uint64_t n_features) {
  const uint64_t d = at.depth;
  const uint64_t f = static_cast<uint64_t>(node.feature);
  uint8_t* level_side = s.side.data() + at.level * s.batch;
  for (uint64_t k = 0; k < n_rows; ++k) {
    const double value = rows[at.rows[k] * n_features + f];
    level_side[k] = (std::isnan(value) ? node.missing_left : value > node.pivot) ? 1 : 0;
  }
  double* incoming = s.incoming_one.data() + s.slot_base[at.level];
  double iz = 1.0;
  uint64_t child_depth = d + 1;
  uint64_t found = d + 1;
  for (uint64_t i = 0; i <= d; ++i) {
    if (at.feature[i] == f) {
      found = i;
      break;
    }
  }
  if (found <= d) {
    const uint64_t i = found;
    iz = at.zero[i];
    for (uint32_t g = 0; g < at.states; ++g) {
      double* one = at.one + g * at.stride;
      incoming[g] = one[i];
      unwind_weights<V, N>(at.weight + g * at.stride, d, one[i], at.zero[i], at.term_a);
      for (uint64_t k = i; k < d; ++k) one[k] = one[k + 1];
    }
    for (uint64_t k = i; k < d; ++k) {
      at.feature[k] = at.feature[k + 1];
      at.zero[k] = at.zero[k + 1];
    }
    child_depth = d;
  } else {
    for (uint32_t g = 0; g < at.states; ++g) incoming[g] = 1.0;
  }
  // A node whose cover is 0 divides as if its cover were 1.
  const double cover = std::max(node.cover, 1.0);
  s.stack.push_back(BatchVisit{node.right, at.level + 1, child_depth, iz * nodes[node.right].cover / cover, f, false});
  s.stack.push_back(BatchVisit{node.left, at.level + 1, child_depth, iz * nodes[node.left].cover / cover, f, true});
}

// The shared half of the walk: every path state of the batch and the terms it leaves at
// each leaf, stored in the scratch for replay_rows.
template <class V, int N>
MORVEL_LANES_INLINE void walk_states(BatchWalker::Scratch& s, const CompactTree& tree,
                                     const double* rows, uint64_t n_rows, uint64_t n_features) {
  const CompactNode* nodes = tree.nodes.data();
  index_leaves(s, tree);
  s.stack.clear();
  s.stack.push_back(BatchVisit{0, 0, 0, 1.0, kNoFeature, false});
  while (!s.stack.empty()) {
    const BatchVisit v = s.stack.back();
    s.stack.pop_back();
    LevelView at = enter_level(s, v);
    build_states<V, N>(s, v, at, n_rows);
    s.states[at.level] = at.states;
    const CompactNode& node = nodes[v.node];
    if (node.is_leaf) {
      store_leaf_terms<V, N>(s, v.node, at);
    } else {
      split_states<V, N>(s, nodes, node, at, rows, n_rows, n_features);
    }
  }
}

// The per-row half: each row of [begin, end) adds its leaves' terms in its own walk order
// (hot child before cold child). Reads the scratch only, so several threads may replay the
// same prepared tree for different rows at once.
void replay_rows(const BatchWalker::Scratch& s, const CompactTree& tree, const double* rows,
                 uint64_t begin, uint64_t end, uint64_t n_features, uint64_t n_classes,
                 double* phi, std::vector<uint64_t>& stack) {
  const CompactNode* nodes = tree.nodes.data();
  const uint64_t per_row = n_features * n_classes;
  for (uint64_t r = begin; r < end; ++r) {
    const double* row = rows + r * n_features;
    double* phi_row = phi + r * per_row;
    const uint16_t* row_state = s.row_state.data() + r;
    stack.clear();
    stack.push_back(0);
    while (!stack.empty()) {
      const CompactNode& node = nodes[stack.back()];
      const uint64_t at = stack.back();
      stack.pop_back();
      if (node.is_leaf) {
        const uint64_t slot = s.leaf_slot[at];
        const uint64_t d = s.leaf_depth[slot];
        if (d == 0) continue;
        const double* terms = s.terms.data() + s.leaf_terms[slot] + row_state[slot * s.batch] * d;
        const uint64_t* features = s.feature_list.data() + s.leaf_features[slot];
        double* phi_class = phi_row + node.leaf_class;
        for (uint64_t k = 0; k < d; ++k) phi_class[features[k] * n_classes] += terms[k];
        continue;
      }
      const double value = row[node.feature];
      const bool left = std::isnan(value) ? node.missing_left : value > node.pivot;
      stack.push_back(left ? node.right : node.left);
      stack.push_back(left ? node.left : node.right);
    }
  }
}

}  // namespace

#if defined(__x86_64__) || defined(__i386__)
bool avx_available() { return __builtin_cpu_supports("avx"); }
#else
bool avx_available() { return false; }
#endif

namespace {

void walk_states2(BatchWalker::Scratch& s, const CompactTree& tree, const double* rows,
                  uint64_t n_rows, uint64_t n_features) {
  walk_states<LaneVector<2>::type, 2>(s, tree, rows, n_rows, n_features);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void walk_states4(BatchWalker::Scratch& s,
                                                  const CompactTree& tree, const double* rows,
                                                  uint64_t n_rows, uint64_t n_features) {
  walk_states<LaneVector<4>::type, 4>(s, tree, rows, n_rows, n_features);
}
#else
void walk_states4(BatchWalker::Scratch& s, const CompactTree& tree, const double* rows,
                  uint64_t n_rows, uint64_t n_features) {
  walk_states<LaneVector<4>::type, 4>(s, tree, rows, n_rows, n_features);
}
#endif

uint64_t path_width(uint64_t max_depth, uint64_t n_features) {
  return std::min(n_features, max_depth) + 2;
}

uint64_t lane_stride(uint64_t width) { return (width + 11) / 4 * 4; }

}  // namespace

uint64_t BatchWalker::batch_rows_for(const std::vector<CompactTree>& trees, uint64_t max_depth,
                                     uint64_t n_features, uint64_t n_classes) {
  // Bytes one more row of a batch may need, in the worst case: its copy and phi, its term
  // positions per leaf, the terms of every leaf if no state were shared, and its place in
  // the per-level row lists and states. Counted in doubles to rule out overflow.
  constexpr double kBudget = 48.0 * 1024 * 1024;
  constexpr uint64_t kMaxBatch = 2048;
  const double width = static_cast<double>(path_width(max_depth, n_features));
  const double stride = static_cast<double>(lane_stride(path_width(max_depth, n_features)));
  const double levels = static_cast<double>(max_depth) + 2.0;
  double leaves = 0.0;
  for (const CompactTree& tree : trees) {
    double n = 0.0;
    for (const CompactNode& node : tree.nodes) n += node.is_leaf ? 1.0 : 0.0;
    leaves = std::max(leaves, n);
  }
  const double features = static_cast<double>(n_features);
  const double per_row = 8.0 * features + 8.0 * features * static_cast<double>(n_classes) +
                         leaves * (8.0 + 8.0 * width) + levels * (9.0 + 24.0 * stride);
  const double rows = std::floor(kBudget / per_row);
  if (!(rows >= 1.0)) return 1;
  return rows >= static_cast<double>(kMaxBatch) ? kMaxBatch : static_cast<uint64_t>(rows);
}

BatchWalker::BatchWalker(uint64_t max_depth, uint64_t n_features, uint64_t n_classes,
                         uint64_t batch_rows, Kernel kernel)
    : n_features_(n_features), n_classes_(n_classes), batch_rows_(batch_rows), kernel_(kernel) {
  if (kernel_ == Kernel::Best) kernel_ = avx_available() ? Kernel::Vector4 : Kernel::Vector2;
  MORVEL_ASSERT(kernel_available(kernel_), msg::kShapKernelUnavailable);
  scratch_ = std::make_shared<Scratch>();
  Scratch& s = *scratch_;
  s.batch = std::max<uint64_t>(batch_rows, 1);
  // Row states are stored in 16 bits; a leaf has at most one state per row.
  MORVEL_BATCH_CHECK(s.batch <= std::numeric_limits<uint16_t>::max());
  s.stride = lane_stride(path_width(max_depth, n_features));
  s.levels = max_depth + 2;
  s.slot_base.resize(s.levels + 1);
  s.begin_base.resize(s.levels + 1);
  uint64_t slots = 0;
  uint64_t begins = 0;
  for (uint64_t l = 0; l < s.levels; ++l) {
    s.slot_base[l] = slots;
    s.begin_base[l] = begins;
    slots += level_capacity(l, s.batch);
    begins += level_capacity(l, s.batch) + 1;
  }
  s.slot_base[s.levels] = slots;
  s.begin_base[s.levels] = begins;
  const uint64_t level_cells = checked_size(s.levels, s.stride);
  s.features.assign(level_cells, kNoFeature);
  s.zero.assign(level_cells, 0.0);
  s.one.assign(checked_size(slots, s.stride), 0.0);
  s.weight.assign(checked_size(slots, s.stride), 0.0);
  s.incoming_one.assign(slots, 1.0);
  s.rows.assign(checked_size(s.levels, s.batch), 0);
  s.side.assign(checked_size(s.levels, s.batch), 0);
  s.begin.assign(begins, 0);
  s.states.assign(s.levels, 0);
  s.lanes.assign(checked_size(6, s.stride), 0.0);
  s.order.assign(s.stride, 0);
  s.stack.reserve(s.levels + 1);
  s.replay.reserve(s.levels + 1);
}

void BatchWalker::prepare(const CompactTree& tree, const double* rows, uint64_t n_rows) {
  scratch_->prepared_rows = 0;
  if (n_rows == 0) return;
  MORVEL_BATCH_CHECK(n_rows <= scratch_->batch);
  if (kernel_ == Kernel::Vector4) {
    walk_states4(*scratch_, tree, rows, n_rows, n_features_);
  } else {
    walk_states2(*scratch_, tree, rows, n_rows, n_features_);
  }
  scratch_->prepared_rows = n_rows;
}

void BatchWalker::replay(const CompactTree& tree, const double* rows, uint64_t begin,
                         uint64_t end, double* phi, std::vector<uint64_t>& stack) const {
  MORVEL_BATCH_CHECK(begin <= end && end <= scratch_->prepared_rows);
  replay_rows(*scratch_, tree, rows, begin, end, n_features_, n_classes_, phi, stack);
}

void BatchWalker::attribute(const CompactTree& tree, const double* rows, uint64_t n_rows,
                            double* phi) {
  prepare(tree, rows, n_rows);
  replay(tree, rows, 0, n_rows, phi, scratch_->replay);
}

}  // namespace morvel::shap
