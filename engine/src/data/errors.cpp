#include "morvel/errors.h"

namespace morvel {

void throw_internal(const std::string& message) { throw InternalError(message); }

}  // namespace morvel
