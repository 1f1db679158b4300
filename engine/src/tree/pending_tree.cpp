// Placeholders until exact search, growth and pruning land; each throws.
#include "tree/grow.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
std::optional<SplitCandidate> search_exact(const TrainingContext&, const TreeWeights&, const SearchRules&,
                                           std::span<const uint64_t>, const NodeStats&, uint64_t, int8_t,
                                           NodeBounds, ExactScratch&) { pending("search_exact"); }
Tree grow_tree(const TrainingContext&, const TreeWeights&, std::span<const uint64_t>, const ForestSettings&, Rng&,
               WorkerScratch&) { pending("grow_tree"); }
void partition_rows(const TrainingContext&, const Node&, std::span<const uint64_t>, std::vector<uint64_t>&,
                    std::vector<uint64_t>&) { pending("partition_rows"); }
void prune_tree(Tree&, const TrainingContext&, const TreeWeights&, std::span<const uint64_t>, double,
                WorkerScratch&) { pending("prune_tree"); }
}  // namespace morvel
