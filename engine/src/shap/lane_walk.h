// The attribution walk with the path procedures run in SIMD lanes (see lane_walk.cpp).
#pragma once

#include <cstdint>
#include <vector>

#include "shap/compact_tree.h"
#include "shap/tree_shap.h"

namespace morvel::shap {

// Two-lane walk: plain 16-byte vectors, available on every target.
void walk_lanes2(Workspace::Lanes& lanes, std::vector<Visit>& stack, const CompactTree& tree,
                 const double* row, uint64_t n_classes, double* phi);

// Four-lane walk, compiled for AVX. Call only when avx_available().
void walk_lanes4(Workspace::Lanes& lanes, std::vector<Visit>& stack, const CompactTree& tree,
                 const double* row, uint64_t n_classes, double* phi);

bool avx_available();

}  // namespace morvel::shap
