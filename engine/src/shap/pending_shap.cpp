// Placeholder until the Boruta kernel lands; it throws.
#include "morvel/api.h"

namespace morvel {
namespace {
[[noreturn]] void pending(const char* what) { throw_internal(std::string("not built yet: ") + what); }
}  // namespace
BorutaResult boruta_gain_importances(const BorutaArrays&, const BorutaSettings&) { pending("boruta"); }
}  // namespace morvel
