// Hard votes of the fitted trees: every input row routed through every tree, and turning a
// row's counters into probabilities.
#pragma once

#include <cstdint>
#include <vector>

#include "morvel/api.h"
#include "morvel/forest.h"

namespace morvel {

// For each input row, n_classes vote counters (row-major).
struct VoteTable {
  uint64_t n_rows = 0;
  uint64_t n_classes = 0;
  std::vector<uint64_t> counts;  // n_rows * n_classes

  const uint64_t* row(uint64_t r) const { return counts.data() + r * n_classes; }
};

// Every tree once, in stored order, over all rows of `x`, the rows cut into chunks over up
// to n_jobs threads (the counts do not depend on the cut). Fails with "Iterating over trees
// non existing" when the forest kept only a tree count.
VoteTable collect_votes(const MaybeTrees& trees, uint64_t n_classes, const PredictionMatrix& x,
                        uint64_t n_jobs = 1);

// counter / total per class; all zeros (never NaN) when the row has no votes.
void votes_to_proba(const uint64_t* counts, uint64_t n_classes, double* out);

}  // namespace morvel
