// The interpreter lock around native work. Engine code runs with the lock released, so other
// Python threads keep running during a long call; Python objects are touched only with it held.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace morvel::py {

// Releases the lock for the guard's scope and takes it back on every exit path, also while
// an exception unwinds, so the translator always runs with the lock held.
class GilRelease {
 public:
  GilRelease() : saved_(PyEval_SaveThread()) {}
  ~GilRelease() { PyEval_RestoreThread(saved_); }
  GilRelease(const GilRelease&) = delete;
  GilRelease& operator=(const GilRelease&) = delete;

 private:
  PyThreadState* saved_;
};

// Takes the lock back inside a GilRelease scope, for a callback that runs Python code. A
// Python error it leaves pending stays with the calling thread's state.
class GilHold {
 public:
  GilHold() : state_(PyGILState_Ensure()) {}
  ~GilHold() { PyGILState_Release(state_); }
  GilHold(const GilHold&) = delete;
  GilHold& operator=(const GilHold&) = delete;

 private:
  PyGILState_STATE state_;
};

}  // namespace morvel::py
