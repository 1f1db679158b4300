// `_native` whole-model operations: merge, save and load.
#include "module_native.h"

namespace morvel::py {

PyMethodDef native_model_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvel::py
