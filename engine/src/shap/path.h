// The unique-feature path of path-dependent TreeSHAP (Lundberg et al., "Consistent
// individualized feature attribution for tree ensembles", Algorithm 2) and its three
// procedures EXTEND, UNWIND and UNWOUND_SUM. Every expression keeps the grouping written in
// the comments: results must be reproducible to the last bit, so nothing is rearranged.
#pragma once

#include <cstdint>

namespace morvel::shap {

// The feature of the root's dummy element.
inline constexpr uint64_t kNoFeature = ~uint64_t{0};

struct PathElement {
  uint64_t feature_index = kNoFeature;  // feature this element stands for
  double zero_fraction = 0.0;  // share of the cover that follows the edge when the feature is unknown
  double one_fraction = 0.0;   // 1 when the row follows the edge, 0 otherwise
  double pweight = 0.0;        // weight of the subsets of this size among the path's features
};

// EXTEND: appends element d (the path holds elements 0..d-1) and updates the weights.
//   pweight[i+1] += (i+1) * (pweight[i] * po) / (d+1)
//   pweight[i]    = (d-i) * (pweight[i] * pz) / (d+1)       for i = d-1 down to 0
inline void extend_path(PathElement* path, uint64_t d, double pz, double po, uint64_t pi) {
  path[d].feature_index = pi;
  path[d].zero_fraction = pz;
  path[d].one_fraction = po;
  path[d].pweight = d == 0 ? 1.0 : 0.0;
  const double d1 = static_cast<double>(d + 1);
  for (uint64_t i = d; i-- > 0;) {
    path[i + 1].pweight += static_cast<double>(i + 1) * (path[i].pweight * po) / d1;
    path[i].pweight = static_cast<double>(d - i) * (path[i].pweight * pz) / d1;
  }
}

// UNWIND: removes element i from a path of elements 0..d (undoing its EXTEND). The weights
// stay in place; the feature and fractions of elements i+1..d move down by one.
inline void unwind_path(PathElement* path, uint64_t d, uint64_t i) {
  const double o = path[i].one_fraction;
  const double z = path[i].zero_fraction;
  const double d1 = static_cast<double>(d + 1);
  double n = path[d].pweight;
  if (o != 0.0) {
    for (uint64_t j = d; j-- > 0;) {
      const double t = path[j].pweight;
      path[j].pweight = n * d1 / (static_cast<double>(j + 1) * o);
      n = t - static_cast<double>(d - j) * (path[j].pweight * z) / d1;
    }
  } else {
    for (uint64_t j = d; j-- > 0;) {
      path[j].pweight = path[j].pweight * d1 / (static_cast<double>(d - j) * z);
    }
  }
  for (uint64_t k = i; k < d; ++k) {
    path[k].feature_index = path[k + 1].feature_index;
    path[k].zero_fraction = path[k + 1].zero_fraction;
    path[k].one_fraction = path[k + 1].one_fraction;
  }
}

// UNWOUND_SUM: the total weight element i's feature would carry if it were unwound, without
// changing the path. The factor d+1 is already inside every term.
inline double unwound_path_sum(const PathElement* path, uint64_t d, uint64_t i) {
  const double o = path[i].one_fraction;
  const double z = path[i].zero_fraction;
  const double d1 = static_cast<double>(d + 1);
  double total = 0.0;
  if (o != 0.0) {
    double n = path[d].pweight;
    for (uint64_t j = d; j-- > 0;) {
      const double t = n * d1 / (static_cast<double>(j + 1) * o);
      total += t;
      n = path[j].pweight - static_cast<double>(d - j) * (t * z) / d1;
    }
  } else {
    for (uint64_t j = d; j-- > 0;) {
      total += path[j].pweight / z * d1 / static_cast<double>(d - j);
    }
  }
  return total;
}

// UNWOUND_SUM of N elements at once, all with a nonzero one fraction. Each sum is the same
// serial chain of divisions as above; running N independent chains side by side lets the
// divider overlap them without changing a single rounding.
template <int N>
inline void unwound_path_sums(const PathElement* path, uint64_t d, const uint64_t* index,
                              double* out) {
  const double d1 = static_cast<double>(d + 1);
  double o[N], z[N], n[N], total[N];
  for (int k = 0; k < N; ++k) {
    o[k] = path[index[k]].one_fraction;
    z[k] = path[index[k]].zero_fraction;
    n[k] = path[d].pweight;
    total[k] = 0.0;
  }
  for (uint64_t j = d; j-- > 0;) {
    const double j1 = static_cast<double>(j + 1);
    const double dj = static_cast<double>(d - j);
    const double w = path[j].pweight;
    for (int k = 0; k < N; ++k) {
      const double t = n[k] * d1 / (j1 * o[k]);
      total[k] += t;
      n[k] = w - dj * (t * z[k]) / d1;
    }
  }
  for (int k = 0; k < N; ++k) out[k] = total[k];
}

}  // namespace morvel::shap
