// `_native` whole-model operations: merge, save and load. Native work runs with the
// interpreter lock released; the forests it reads are held by shared borrows meanwhile, so
// no fit can replace them underneath.
#include <memory>
#include <vector>

#include "errors.h"
#include "gil.h"
#include "module_native.h"
#include "native_forest.h"

namespace morvel::py {
namespace {

// A new NativeForest holding `forest`.
PyObject* forest_object(FittedForest&& forest, std::vector<RowIndex>&& training_order) {
  PyRef object = new_forest(native_forest_type());
  ForestState& state = state_of(object.get());
  state.fitted = std::move(forest);
  state.training_order = std::move(training_order);
  return object.release();
}

PyObject* native_to_bytes(PyObject*, PyObject* object) {
  try {
    ForestState& state = forest_argument(object, "forest");
    std::vector<uint8_t> bytes;
    {
      SharedBorrow borrow(state.borrow);
      const FittedForest& forest = fitted_forest(state);
      const GilRelease unlocked;
      bytes = save_model(forest, state.training_order);
    }
    return PyBytes_FromStringAndSize(reinterpret_cast<const char*>(bytes.data()),
                                     static_cast<Py_ssize_t>(bytes.size()));
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* native_from_bytes(PyObject*, PyObject* data) {
  try {
    // Copied first: the caller's buffer (a bytearray, say) may change while the lock is
    // released, and the checksum must cover exactly the bytes that are parsed.
    std::vector<uint8_t> copy;
    {
      Py_buffer view;
      if (PyObject_GetBuffer(data, &view, PyBUF_SIMPLE) < 0) fail_argument("data");
      const auto* begin = static_cast<const uint8_t*>(view.buf);
      try {
        copy.assign(begin, begin + view.len);
      } catch (...) {
        PyBuffer_Release(&view);
        throw;
      }
      PyBuffer_Release(&view);
    }
    ModelParts parts;
    {
      const GilRelease unlocked;
      parts = load_model(copy);
      std::vector<uint8_t>().swap(copy);
    }
    return forest_object(std::move(parts.forest), std::move(parts.training_order));
  } catch (...) {
    return raise_current_exception();
  }
}

PyObject* native_merge(PyObject*, PyObject* forests) {
  try {
    PyRef items = PyRef::steal(PySequence_Fast(forests, "forests must be a sequence of NativeForest objects"));
    if (!items) throw_error_set();
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(items.get());
    PyObject** objects = PySequence_Fast_ITEMS(items.get());
    std::vector<std::unique_ptr<SharedBorrow>> borrows;
    std::vector<ModelView> views;
    for (Py_ssize_t i = 0; i < n; ++i) {
      ForestState& state = forest_argument(objects[i], "forests");
      borrows.push_back(std::make_unique<SharedBorrow>(state.borrow));
      views.push_back(ModelView{&fitted_forest(state), state.training_order});
    }
    FittedForest merged;
    {
      const GilRelease unlocked;
      merged = merge_forests(views);
    }
    std::vector<RowIndex> order(views.front().training_order.begin(), views.front().training_order.end());
    borrows.clear();
    return forest_object(std::move(merged), std::move(order));
  } catch (...) {
    return raise_current_exception();
  }
}

}  // namespace

PyMethodDef native_model_methods[] = {
    {"merge", native_merge, METH_O,
     "merge(forests)\n--\n\n"
     "One forest from forests fitted on adjacent tree ranges of the same settings and data;\n"
     "equal to the single fit of the covered range."},
    {"to_bytes", native_to_bytes, METH_O,
     "to_bytes(forest)\n--\n\n"
     "The whole fitted state of the forest as bytes (a versioned, checksummed format)."},
    {"from_bytes", native_from_bytes, METH_O,
     "from_bytes(data)\n--\n\n"
     "A new fitted NativeForest from bytes made by to_bytes; any bytes-like object is read.\n"
     "Truncated, altered or foreign data raise ValueError."},
    {nullptr, nullptr, 0, nullptr},
};

}  // namespace morvel::py
