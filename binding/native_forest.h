// The NativeForest type and its state. The state, its borrow guards and the type check are
// shared with the package's own native module, which works on the same objects.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <optional>
#include <vector>

#include "morvel/api.h"
#include "morvel/errors.h"
#include "morvel/messages.h"
#include "pyref.h"

namespace morvel::py {

struct ForestState {
  // 0 idle, n > 0 shared calls running, -1 held by fit. Changed only by compare-and-swap:
  // Python code run during a call (an argument's __index__, a sparse object's tocsr) may
  // re-enter the object or release the interpreter lock to another thread.
  std::atomic<int64_t> borrow{0};
  std::vector<RowIndex> training_order;  // from the last successful fit
  std::optional<FittedForest> fitted;    // absent until a fit succeeds
  ProfileMap profile;                    // written by the fit driver
};

struct NativeForestObject {
  PyObject_HEAD
  ForestState state;
};

inline ForestState& state_of(PyObject* self) { return reinterpret_cast<NativeForestObject*>(self)->state; }

// The state of `object` when it is a NativeForest (of any module instance that made the
// type from this library); otherwise sets TypeError naming `name` and throws PythonErrorSet.
ForestState& forest_argument(PyObject* object, const char* name);

// A new, unfitted instance of `type`, a NativeForest type made by add_native_forest.
PyRef new_forest(PyTypeObject* type);

// A shared borrow for every method but fit.
class SharedBorrow {
 public:
  explicit SharedBorrow(std::atomic<int64_t>& counter) : counter_(counter) {
    int64_t seen = counter_.load();
    do {
      if (seen < 0) throw StateError(msg::kAlreadyMutablyBorrowed);
    } while (!counter_.compare_exchange_weak(seen, seen + 1));
  }
  ~SharedBorrow() { counter_.fetch_sub(1); }
  SharedBorrow(const SharedBorrow&) = delete;
  SharedBorrow& operator=(const SharedBorrow&) = delete;

 private:
  std::atomic<int64_t>& counter_;
};

// fit's exclusive hold: 0 -> -1, restored to 0 on every exit path.
class ExclusiveBorrow {
 public:
  explicit ExclusiveBorrow(std::atomic<int64_t>& counter) : counter_(counter) {
    int64_t idle = 0;
    if (!counter_.compare_exchange_strong(idle, -1)) throw StateError(msg::kAlreadyBorrowed);
  }
  ~ExclusiveBorrow() { counter_.store(0); }
  ExclusiveBorrow(const ExclusiveBorrow&) = delete;
  ExclusiveBorrow& operator=(const ExclusiveBorrow&) = delete;

 private:
  std::atomic<int64_t>& counter_;
};

inline const FittedForest& fitted_forest(const ForestState& state) {
  if (!state.fitted) throw StateError(msg::kNotFitted);
  return *state.fitted;
}

// Creates the NativeForest type for `module` and adds it; returns -1 with an error set.
int add_native_forest(PyObject* module);

}  // namespace morvel::py
