// `_native` fit and prediction-side calls.
#include "module_native.h"

namespace morvel::py {

PyMethodDef native_call_methods[] = {
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvel::py
