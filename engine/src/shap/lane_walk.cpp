// Path-dependent TreeSHAP with the path procedures in SIMD lanes, bit for bit equal to the
// scalar walk in tree_shap.cpp.
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

// Runs `count` lanes (a multiple of N) four vectors at a time, so that enough independent
// division chains are in flight.
template <class V, int N, bool Hot>
MORVEL_LANES_INLINE void sums(const double* pw, uint64_t d, const double* o, const double* z,
                              double* out, uint64_t count) {
  uint64_t k = 0;
  for (; k + 4 * N <= count; k += 4 * N) {
    if constexpr (Hot) sums_hot<V, N, 4>(pw, d, o + k, z + k, out + k);
    else sums_cold<V, N, 4>(pw, d, z + k, out + k);
  }
  switch ((count - k) / N) {
    case 3:
      if constexpr (Hot) sums_hot<V, N, 3>(pw, d, o + k, z + k, out + k);
      else sums_cold<V, N, 3>(pw, d, z + k, out + k);
      break;
    case 2:
      if constexpr (Hot) sums_hot<V, N, 2>(pw, d, o + k, z + k, out + k);
      else sums_cold<V, N, 2>(pw, d, z + k, out + k);
      break;
    case 1:
      if constexpr (Hot) sums_hot<V, N, 1>(pw, d, o + k, z + k, out + k);
      else sums_cold<V, N, 1>(pw, d, z + k, out + k);
      break;
    default:
      break;
  }
}

template <class V, int N>
MORVEL_LANES_INLINE void walk(Workspace::Lanes& lanes, std::vector<Visit>& stack,
                              const CompactTree& tree, const double* row, uint64_t n_classes,
                              double* phi) {
  const CompactNode* nodes = tree.nodes.data();
  const uint64_t stride = lanes.stride;
  double* term_a = lanes.scratch.data();
  double* term_b = term_a + stride;
  double* gathered_one = term_b + stride;
  double* gathered_zero = gathered_one + stride;
  double* gathered_sum = gathered_zero + stride;
  uint64_t* order = lanes.order.data();
  V iota;
  for (int k = 0; k < N; ++k) iota[k] = static_cast<double>(k);

  stack.clear();
  stack.push_back(Visit{0, 0, 0, 1.0, 1.0, kNoFeature});
  while (!stack.empty()) {
    const Visit v = stack.back();
    stack.pop_back();
    const uint64_t at = v.level * stride;
    uint64_t* feature = lanes.features.data() + at;
    double* zero = lanes.zero.data() + at;
    double* one = lanes.one.data() + at;
    double* pw = lanes.weight.data() + at;
    const uint64_t d = v.depth;
    if (v.level > 0) {
      std::copy_n(feature - stride, d, feature);
      std::copy_n(zero - stride, d, zero);
      std::copy_n(one - stride, d, one);
      std::copy_n(pw - stride, d, pw);
    }

    // EXTEND: new[i] = (d-i) * (old[i] * pz) / (d+1) + (i) * (old[i-1] * po) / (d+1), the
    // first term alone at i = 0 and the second added to the initial 0 at i = d.
    feature[d] = v.feature;
    zero[d] = v.zero_fraction;
    one[d] = v.one_fraction;
    pw[d] = d == 0 ? 1.0 : 0.0;
    if (d > 0) {
      const V dv = splat<V, N>(static_cast<double>(d));
      const V d1 = splat<V, N>(static_cast<double>(d + 1));
      const V pz = splat<V, N>(v.zero_fraction);
      const V po = splat<V, N>(v.one_fraction);
      const V one_v = splat<V, N>(1.0);
      for (uint64_t i = 0; i < d; i += N) {
        const V old = load<V>(pw + i);
        const V iv = iota + splat<V, N>(static_cast<double>(i));
        store(term_b + i + 1, (iv + one_v) * (old * po) / d1);
        store(term_a + i, (dv - iv) * (old * pz) / d1);
      }
      const double last = pw[d];
      pw[0] = term_a[0];
      for (uint64_t i = 1; i < d; ++i) pw[i] = term_a[i] + term_b[i];
      pw[d] = last + term_b[d];
    }

    const CompactNode& node = nodes[v.node];
    if (node.is_leaf) {
      if (d == 0) continue;  // a single-leaf tree attributes nothing
      // Nonzero one fractions first, padded to whole vectors, then the zero ones.
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
      // Each feature is on the path once, so every element adds to a different entry.
      double* phi_class = phi + node.leaf_class;
      auto add = [&](uint64_t k) {
        const uint64_t i = order[k];
        phi_class[feature[i] * n_classes] += gathered_sum[k] * (one[i] - zero[i]);
      };
      for (uint64_t k = 0; k < hot_end; ++k) add(k);
      for (uint64_t k = cold_begin; k < cold_end; ++k) add(k);
      continue;
    }

    const uint64_t f = static_cast<uint64_t>(node.feature);
    const double value = row[f];
    const bool left = std::isnan(value) ? node.missing_left : value > node.pivot;
    const uint64_t hot = left ? node.left : node.right;
    const uint64_t cold = left ? node.right : node.left;

    // A feature met again on the path: UNWIND its element, so the path holds it once.
    double iz = 1.0;
    double io = 1.0;
    uint64_t child_depth = d + 1;
    for (uint64_t i = 0; i <= d; ++i) {
      if (feature[i] != f) continue;
      iz = zero[i];
      io = one[i];
      const double o = one[i];
      const double z = zero[i];
      const double d1 = static_cast<double>(d + 1);
      if (o != 0.0) {
        double n = pw[d];
        for (uint64_t j = d; j-- > 0;) {
          const double t = pw[j];
          pw[j] = n * d1 / (static_cast<double>(j + 1) * o);
          n = t - static_cast<double>(d - j) * (pw[j] * z) / d1;
        }
      } else {
        const V dv = splat<V, N>(static_cast<double>(d));
        const V d1v = splat<V, N>(d1);
        const V zv = splat<V, N>(z);
        for (uint64_t j = 0; j < d; j += N) {
          const V jv = iota + splat<V, N>(static_cast<double>(j));
          store(term_a + j, load<V>(pw + j) * d1v / ((dv - jv) * zv));
        }
        std::copy_n(term_a, d, pw);
      }
      for (uint64_t k = i; k < d; ++k) {
        feature[k] = feature[k + 1];
        zero[k] = zero[k + 1];
        one[k] = one[k + 1];
      }
      child_depth = d;
      break;
    }
    // A node whose cover is 0 divides as if its cover were 1.
    const double cover = std::max(node.cover, 1.0);
    stack.push_back(Visit{cold, v.level + 1, child_depth, iz * nodes[cold].cover / cover, 0.0, f});
    stack.push_back(Visit{hot, v.level + 1, child_depth, iz * nodes[hot].cover / cover, io, f});
  }
}

}  // namespace

void walk_lanes2(Workspace::Lanes& lanes, std::vector<Visit>& stack, const CompactTree& tree,
                 const double* row, uint64_t n_classes, double* phi) {
  walk<LaneVector<2>::type, 2>(lanes, stack, tree, row, n_classes, phi);
}

#if defined(__x86_64__) || defined(__i386__)
__attribute__((target("avx"))) void walk_lanes4(Workspace::Lanes& lanes,
                                                 std::vector<Visit>& stack,
                                                 const CompactTree& tree, const double* row,
                                                 uint64_t n_classes, double* phi) {
  walk<LaneVector<4>::type, 4>(lanes, stack, tree, row, n_classes, phi);
}

bool avx_available() { return __builtin_cpu_supports("avx"); }
#else
void walk_lanes4(Workspace::Lanes& lanes, std::vector<Visit>& stack, const CompactTree& tree,
                 const double* row, uint64_t n_classes, double* phi) {
  walk<LaneVector<4>::type, 4>(lanes, stack, tree, row, n_classes, phi);
}

bool avx_available() { return false; }
#endif

}  // namespace morvel::shap
