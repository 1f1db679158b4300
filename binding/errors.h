// The binding's single exception translator, the argument-note helper and the process-wide
// PanicException type. Nothing else in the binding sets a Python error, except argument
// conversion (which keeps the converter's exception and adds a note naming the argument).
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include "morvel/interrupt.h"

namespace morvel::py {

// Thrown by binding code (also from inside an engine callback) when a Python exception is
// already set. Deliberately not a std::exception, so no engine handler can mistake it for
// an engine failure; the translator returns the pending Python error unchanged.
struct PythonErrorSet {};

[[noreturn]] void throw_error_set();

// Creates the once-per-process objects shared by both modules (PanicException, the NumPy
// API table). Safe to call from every module's exec step; returns -1 with an error set.
int init_runtime();

// Lets Ctrl-C stop the engine call made while it lives: the engine asks, from this thread
// only, about every few tens of milliseconds, and PyErr_CheckSignals runs the Python signal
// handlers (these methods hold the interpreter lock throughout). When a handler raises, the
// engine stops its workers and the translator returns that exception.
class SignalScope {
 public:
  // `lock_released`: the call releases the interpreter lock around its engine work, so the
  // check takes the lock back for its own duration.
  explicit SignalScope(bool lock_released = false);

 private:
  InterruptScope scope_;
};

// PanicException: derives from BaseException so `except Exception` does not swallow it.
PyObject* panic_exception_type();

// Maps the exception in flight to a Python error and returns null. Call only from inside a
// catch block: ValidationError -> ValueError, StateError -> RuntimeError, InternalError and
// any other std::exception -> PanicException, allocation failures -> MemoryError, and
// PythonErrorSet -> the error already pending, Interrupted -> the error raised by the
// signal handler (KeyboardInterrupt when none is pending).
PyObject* raise_current_exception() noexcept;

// Adds "while processing '<name>'" to the pending Python error (add_note from 3.11, the
// __notes__ list before that). The exception's own message is left alone.
void add_argument_note(const char* name);

// Adds the argument note to the pending error and throws PythonErrorSet.
[[noreturn]] void fail_argument(const char* name);

}  // namespace morvel::py
