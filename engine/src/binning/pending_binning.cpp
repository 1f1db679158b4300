// Placeholders until binning and the histogram search land; each throws.
#include "binning/binning.h"
#include "morvel/errors.h"
#include "split/histogram.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
std::vector<double> feature_edges(std::vector<double>&, uint64_t, BinningStrategy) { pending("feature_edges"); }
std::vector<uint64_t> binning_row_sample(uint64_t, uint64_t, uint64_t) { pending("binning_row_sample"); }
BinnedMatrix bin_view(const ViewF32&, const std::vector<uint64_t>&, const BinningOptions&) { pending("bin_view"); }
BinnedMatrix bin_view(const ViewF64&, const std::vector<uint64_t>&, const BinningOptions&) { pending("bin_view"); }
BinnedMatrix bin_dense(const DenseMatrix&, const BinningOptions&) { pending("bin_dense"); }
BinEdges csr_edges(const CsrMatrix&, const BinningOptions&) { pending("csr_edges"); }
std::vector<uint64_t> candidate_features(const BinEdges&) { pending("candidate_features"); }
void convert_bins_to_feature_major(BinnedMatrix&, uint64_t, ProfileCounters*) { pending("convert_bins"); }
std::vector<float> feature_major_from_view(const ViewF32&, const std::vector<uint64_t>&, uint64_t, bool&) {
  pending("feature_major_from_view");
}
std::vector<float> feature_major_narrowed(const DenseMatrix&, uint64_t) { pending("feature_major_narrowed"); }
std::vector<double> feature_major_copy(const DenseMatrix&, uint64_t) { pending("feature_major_copy"); }
std::vector<uint8_t> bin_rows(const DenseMatrix&, const BinEdges&) { pending("bin_rows"); }
struct HistogramSearch::Impl {};
HistogramSearch::HistogramSearch(const TrainingContext&, const TreeWeights&, const SearchRules&) {
  pending("HistogramSearch");
}
HistogramSearch::~HistogramSearch() = default;
NodeHistogram HistogramSearch::build(std::span<const uint64_t>) { pending("histogram build"); }
std::pair<NodeHistogram, NodeHistogram> HistogramSearch::derive_children(NodeHistogram&&, std::span<const uint64_t>,
                                                                         std::span<const uint64_t>) {
  pending("derive_children");
}
void HistogramSearch::recycle(NodeHistogram&&) { pending("recycle"); }
std::optional<SplitCandidate> HistogramSearch::search(const NodeHistogram&, const NodeStats&, uint64_t, int8_t,
                                                      NodeBounds) { pending("histogram search"); }
}  // namespace morvel
