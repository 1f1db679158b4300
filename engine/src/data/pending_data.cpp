// Placeholders until data conversion and the fit driver land; each throws.
#include "morvel/api.h"
#include "morvel/data.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
template <class T>
DenseMatrix copy_dense(const StridedView<T>&, const std::vector<uint64_t>*) { pending("copy_dense"); }
template DenseMatrix copy_dense(const StridedView<float>&, const std::vector<uint64_t>*);
template DenseMatrix copy_dense(const StridedView<double>&, const std::vector<uint64_t>*);
CsrMatrix csr_from_arrays(std::span<const int64_t>, std::span<const int64_t>, std::span<const double>, uint64_t,
                          uint64_t) { pending("csr_from_arrays"); }
void validate_dense(const DenseMatrix&) { pending("validate_dense"); }
void validate_csr(const CsrMatrix&) { pending("validate_csr"); }
double validate_weights(std::span<const double>) { pending("validate_weights"); }
std::vector<uint64_t> convert_labels(std::span<const int64_t>) { pending("convert_labels"); }
template <class T>
std::vector<uint64_t> build_training_order(const StridedView<T>&, std::span<const int64_t>) { pending("order"); }
template std::vector<uint64_t> build_training_order(const StridedView<float>&, std::span<const int64_t>);
template std::vector<uint64_t> build_training_order(const StridedView<double>&, std::span<const int64_t>);
FitOutcome run_fit(const FitRequest&, ProfileMap&) { pending("run_fit"); }
PredictionMatrix prepare_prediction(const FittedForest&, OwnedMatrix&&, FeatureCheck) { pending("prepare_prediction"); }
}  // namespace morvel
