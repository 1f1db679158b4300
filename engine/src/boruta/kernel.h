// The Boruta gain-importance kernel: builds the binned extra-trees training context of the
// augmented matrix, trains the forest on all available CPUs and returns the tree-normalised
// gain importances of the active and shadow columns.
#pragma once

#include <cstdint>
#include <span>

#include "boruta/augmented.h"
#include "morvel/api.h"
#include "morvel/settings.h"
#include "data/training_context.h"

namespace morvel {

// The fixed forest options of a kernel call.
ForestSettings boruta_forest_settings(uint64_t n_columns, const BorutaSettings& settings);

// Steps of the kernel up to the finished training context: setting and label checks, unit
// weights, edges and bins over the rows in canonical order, feature-major bytes. `labels`
// are in canonical order (entry p is the label of row order[p]).
TrainingContext boruta_training_context(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                                        std::span<const uint64_t> labels, const BorutaSettings& settings,
                                        uint64_t threads);

// The whole kernel; preparation_seconds covers the context, training_seconds the forest and
// the importances.
BorutaResult run_boruta_kernel(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                               std::span<const uint64_t> labels, const BorutaSettings& settings);

}  // namespace morvel
