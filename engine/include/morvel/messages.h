// User-facing message texts that callers and tests quote verbatim.
#pragma once

namespace morvel::msg {

// Surface and state.
inline constexpr const char* kNotFitted = "forest is not fitted";
inline constexpr const char* kOobUnavailable = "out-of-bag predictions are unavailable";
inline constexpr const char* kAlreadyBorrowed = "Already borrowed";
inline constexpr const char* kAlreadyMutablyBorrowed = "Already mutably borrowed";
inline constexpr const char* kShapFeatureMismatch = "X has a different number of features";

// Input matrices, labels and weights.
inline constexpr const char* kNotAMatrix = "X must be a two-dimensional NumPy array or CSR/CSC matrix";
inline constexpr const char* kInfiniteValues = "X must not contain infinite values";
inline constexpr const char* kNoRows = "X must contain at least one row";
inline constexpr const char* kNoFeatures = "X must contain at least one feature";
inline constexpr const char* kNoRowsOrFeatures = "X must contain at least one row and feature";
inline constexpr const char* kShapeTooLarge = "X shape is too large";
inline constexpr const char* kBufferLength = "X buffer length does not match its shape";
inline constexpr const char* kCsrRowPointer = "invalid CSR row pointer";
inline constexpr const char* kCsrColumnIndex = "invalid CSR column index";
inline constexpr const char* kCsrStructure = "invalid CSR matrix structure";
inline constexpr const char* kCsrUnsorted = "CSR column indices must be sorted and unique";
inline constexpr const char* kRowCountMismatch = "X and y must contain the same number of rows";
inline constexpr const char* kNegativeLabels = "y must contain non-negative labels";
inline constexpr const char* kOneLabelPerRow = "y must contain one label per row";
inline constexpr const char* kLabelsEncoded = "labels must be encoded in 0..n_classes";
inline constexpr const char* kNoClassRequired = "at least one class is required";
inline constexpr const char* kNoClass = "y must contain at least one class";
inline constexpr const char* kWeightLength = "sample_weight must have the same length as X";
inline constexpr const char* kWeightPerRow = "sample_weight must contain one value per row";
inline constexpr const char* kWeightValues = "sample_weight must contain finite non-negative values";
inline constexpr const char* kWeightAllZero = "sample_weight cannot be all zero";
inline constexpr const char* kWeightSumFinite = "sample_weight sum must be finite";
inline constexpr const char* kWeightSumPositive = "sample_weight sum must be positive";
inline constexpr const char* kEdgesMismatch = "histogram edges do not match the fitted feature count";

// Fit settings, in the order the driver checks them.
inline constexpr const char* kNEstimators = "n_estimators must be at least 1";
inline constexpr const char* kCcpAlpha = "ccp_alpha must be a finite non-negative number";
inline constexpr const char* kBinningStrategy =
    "binning_strategy must be 'exact_sort', 'sampled_sort', 'exact_select', or 'sampled_select'";
inline constexpr const char* kBinSampleSize = "bin_sample_size must be a positive integer";
inline constexpr const char* kMaxSamples = "max_samples must be positive";
inline constexpr const char* kMaxBins = "max_bins must be None or an integer in [2, 255]";
inline constexpr const char* kMaxBinsRange = "max_bins must be an integer in [2, 255]";
inline constexpr const char* kBackend = "extra_trees_backend must be 'exact' or 'binned'";
inline constexpr const char* kBinnedNeedsExtra =
    "extra_trees_backend='binned' requires extra_trees=True and integer max_bins";
inline constexpr const char* kBinnedDenseOnly =
    "extra_trees_backend='binned' supports dense float32/float64 input only";
inline constexpr const char* kExactNoBins =
    "max_bins must be None when extra_trees=True; use extra_trees_backend='binned' to enable "
    "experimental binning";
inline constexpr const char* kMaxFeatures = "max_features must be between 1 and the number of features";
inline constexpr const char* kCriterion = "unsupported criterion";
inline constexpr const char* kMinLeafWeight = "min_leaf_weight must be finite and non-negative";
inline constexpr const char* kMinSampleControl = "invalid minimum sample control";
inline constexpr const char* kMinImpurityDecrease =
    "min_impurity_decrease must be finite and non-negative";
inline constexpr const char* kMonotonicValues =
    "monotonic_cst must contain one value from {-1, 0, 1} per feature";
inline constexpr const char* kMonotonicBinary =
    "monotonic_cst is supported only for binary classification";

// Boruta kernel.
inline constexpr const char* kBorutaLabels = "invalid labels";
inline constexpr const char* kBorutaArrays = "invalid training arrays or settings";
inline constexpr const char* kBorutaSettings = "invalid training settings";
inline constexpr const char* kBorutaClasses = "invalid classification labels";

// Internal invariants (PanicException).
inline constexpr const char* kUpToPositive = "assertion failed: up_to > 0";
inline constexpr const char* kHopPositive = "assertion failed: self.hop > 0";
inline constexpr const char* kTreesMissing = "Iterating over trees non existing";
inline constexpr const char* kFailedSpawn = "failed to spawn thread";
inline constexpr const char* kScopedPanic = "a scoped thread panicked";
inline constexpr const char* kEdgeWorkerPanicked = "histogram edge worker panicked";
inline constexpr const char* kSparseWorkerPanicked = "sparse histogram worker panicked";
inline constexpr const char* kBinWorkerPanicked = "histogram bin worker panicked";
inline constexpr const char* kChunkSize = "chunk size must be non-zero";
inline constexpr const char* kStepNonZero = "assertion failed: step != 0";
inline constexpr const char* kHistogramNeedsEdges = "histogram cache requires fitted bin edges";
inline constexpr const char* kHistogramNeedsBins =
    "internal error: entered unreachable code: histograms require binned input";
inline constexpr const char* kValidatedBeforeHistogram =
    "training values were validated before histogramization, but an infinite value was found";
inline constexpr const char* kPredictionInput = "prediction input cannot be used for training";
inline constexpr const char* kBalancedNeedsWeights = "balanced bootstrap requires training weights";
inline constexpr const char* kMergeMixed = "Merging forests with and without trees";
inline constexpr const char* kThreadsPositive = "assertion failed: threads > 0";
inline constexpr const char* kDirectVotesMissing = "direct OOB votes must be collected before permutation";
inline constexpr const char* kDirectVoteUnavailable = "direct OOB vote must be available";
inline constexpr const char* kIdenticalPredictions =
    "internal error: entered unreachable code: identical predictions cannot differ";
inline constexpr const char* kPermutationCount = "assertion failed: count >= self.n";
inline constexpr const char* kShapWorkerPanicked = "SHAP worker panicked";
inline constexpr const char* kPredictWorkerPanicked = "prediction worker panicked";
inline constexpr const char* kTreeNodeIndex = "tree node index out of range";
inline constexpr const char* kTreeNotATree = "tree nodes are reachable by more than one path";
inline constexpr const char* kTreeFeatureIndex = "tree split feature out of range";
inline constexpr const char* kTreeLeafClass = "tree leaf class out of range";
inline constexpr const char* kShapKernelUnavailable = "TreeSHAP kernel not supported by this CPU";
inline constexpr const char* kShapBatchSize = "TreeSHAP batch larger than its scratch";

}  // namespace morvel::msg
