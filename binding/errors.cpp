// Exception translation for every entry point, and the argument-note helper.
#include "errors.h"

#include <exception>
#include <new>
#include <stdexcept>

#include "convert.h"
#include "morvel/errors.h"
#include "pyref.h"

namespace morvel::py {
namespace {

// Owned for the life of the process: both modules raise the same type.
PyObject* g_panic_exception = nullptr;

// The caller holds the lock. A module that releases it around engine work needs a callback
// that takes it back (PyGILState_Ensure) around this call.
bool python_signal_pending(void*) { return PyErr_CheckSignals() != 0; }

// The handler's exception stays pending on this thread's state after the lock is let go.
bool python_signal_pending_unlocked(void*) {
  const PyGILState_STATE state = PyGILState_Ensure();
  const bool pending = PyErr_CheckSignals() != 0;
  PyGILState_Release(state);
  return pending;
}

}  // namespace

SignalScope::SignalScope(bool lock_released)
    : scope_(lock_released ? &python_signal_pending_unlocked : &python_signal_pending, nullptr) {}

void throw_error_set() { throw PythonErrorSet{}; }

int init_runtime() {
  if (g_panic_exception == nullptr) {
    g_panic_exception = PyErr_NewExceptionWithDoc(
        "morvel.PanicException",
        "An internal invariant of the native code failed; the call was stopped.",
        PyExc_BaseException, nullptr);
    if (g_panic_exception == nullptr) return -1;
  }
  return init_numpy_api();
}

PyObject* panic_exception_type() { return g_panic_exception; }

PyObject* raise_current_exception() noexcept {
  PyObject* panic = g_panic_exception != nullptr ? g_panic_exception : PyExc_SystemError;
  try {
    throw;
  } catch (const PythonErrorSet&) {
    if (!PyErr_Occurred()) PyErr_SetString(panic, "a Python error was reported but none is set");
  } catch (const Interrupted&) {
    if (!PyErr_Occurred()) PyErr_SetNone(PyExc_KeyboardInterrupt);
  } catch (const ValidationError& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const StateError& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (const InternalError& e) {
    PyErr_SetString(panic, e.what());
  } catch (const MemoryLimitError& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::length_error&) {
    // A container asked for more elements than can ever be allocated: the same condition
    // as an allocation failure as far as the caller is concerned.
    PyErr_NoMemory();
  } catch (const std::exception& e) {
    PyErr_SetString(panic, e.what());
  } catch (...) {
    PyErr_SetString(panic, "unknown native exception");
  }
  return nullptr;
}

namespace {

// Attaches the note to a normalised exception object; false when that failed.
bool attach_note(PyObject* exception, const char* name) {
  PyRef note = PyRef::steal(PyUnicode_FromFormat("while processing '%s'", name));
  if (!note) return false;
#if PY_VERSION_HEX >= 0x030B0000
  PyRef result = PyRef::steal(PyObject_CallMethod(exception, "add_note", "O", note.get()));
  return static_cast<bool>(result);
#else
  PyRef notes = PyRef::steal(PyObject_GetAttrString(exception, "__notes__"));
  if (!notes) {
    PyErr_Clear();
    notes = PyRef::steal(PyList_New(0));
    if (!notes || PyObject_SetAttrString(exception, "__notes__", notes.get()) < 0) return false;
  }
  return PyList_Check(notes.get()) && PyList_Append(notes.get(), note.get()) == 0;
#endif
}

}  // namespace

void add_argument_note(const char* name) {
#if PY_VERSION_HEX >= 0x030C0000
  PyRef exception = PyRef::steal(PyErr_GetRaisedException());
  if (!exception) return;
  // The note is a courtesy; failing to attach it must not replace the real error.
  if (!attach_note(exception.get(), name)) PyErr_Clear();
  PyErr_SetRaisedException(exception.release());
#else
  PyObject* type = nullptr;
  PyObject* value = nullptr;
  PyObject* traceback = nullptr;
  PyErr_Fetch(&type, &value, &traceback);
  if (type == nullptr) return;
  PyErr_NormalizeException(&type, &value, &traceback);
  if (traceback != nullptr && value != nullptr) PyException_SetTraceback(value, traceback);
  PyRef type_ref = PyRef::steal(type);
  PyRef value_ref = PyRef::steal(value);
  PyRef traceback_ref = PyRef::steal(traceback);
  // The note is a courtesy; failing to attach it must not replace the real error.
  if (!value_ref || !attach_note(value_ref.get(), name)) PyErr_Clear();
  PyErr_Restore(type_ref.release(), value_ref.release(), traceback_ref.release());
#endif
}

void fail_argument(const char* name) {
  add_argument_note(name);
  throw_error_set();
}

}  // namespace morvel::py
