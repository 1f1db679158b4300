// Placeholders until the extra-trees searches land; each throws.
#include "split/extra_trees.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
double draw_extra_threshold(Rng&, uint64_t, double, double) { pending("draw_extra_threshold"); }
std::optional<SplitCandidate> search_extra(const TrainingContext&, const TreeWeights&, const SearchRules&,
                                           std::span<const uint64_t>, const NodeStats&, uint64_t, int8_t,
                                           NodeBounds, std::vector<uint64_t>&, Rng&, ExtraScratch&) {
  pending("search_extra");
}
}  // namespace morvel
