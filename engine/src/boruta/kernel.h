// The Boruta gain-importance kernel: builds the binned extra-trees training context of the
// augmented matrix, trains the forest on all available CPUs and returns the tree-normalised
// gain importances of the active and shadow columns.
#pragma once

#include <cstdint>
#include <span>

#include "boruta/augmented.h"
#include "driver/fit_plan.h"
#include "morvel/api.h"
#include "morvel/settings.h"
#include "data/training_context.h"

namespace morvel {

// The fit a kernel call makes, as the package's fit would be called with the same settings
// (extra trees on the binned backend, sqrt(columns) features per split, every other option
// at its default), planned by the fit's own settings stage.
FitSettings boruta_fit_settings(uint64_t n_columns, const BorutaSettings& settings, uint64_t threads);
FitPlan boruta_plan(uint64_t n_columns, const BorutaSettings& settings, uint64_t threads);

// The kernel's own setting and label checks; returns the class count.
uint64_t boruta_class_count(const AugmentedMatrix& matrix, std::span<const uint64_t> labels,
                            const BorutaSettings& settings);

// The training context of the augmented matrix: unit weights, edges and feature-major bins
// over the rows in canonical order. `labels` are in canonical order (entry p is the label
// of row order[p]).
TrainingContext boruta_training_context(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                                        std::span<const uint64_t> labels, uint64_t n_classes, const FitPlan& plan);

// The whole kernel; preparation_seconds covers the context, training_seconds the forest and
// the importances.
BorutaResult run_boruta_kernel(const AugmentedMatrix& matrix, std::span<const uint64_t> order,
                               std::span<const uint64_t> labels, const BorutaSettings& settings);

}  // namespace morvel
