// Typed engine failures. Each carries the final user-facing text; the binding maps the
// type to a Python exception in one place and never rewrites the message.
#pragma once

#include <new>
#include <stdexcept>
#include <string>

namespace morvel {

// Bad input or settings: raised to Python as ValueError.
struct ValidationError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// The object is in the wrong state (not fitted, no out-of-bag votes): RuntimeError.
struct StateError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A broken invariant that validated input cannot reach: PanicException.
struct InternalError : std::runtime_error {
  using std::runtime_error::runtime_error;
};

// A size that can never be allocated, found before anything was allocated or drawn: raised
// to Python as MemoryError with the message. It is a bad_alloc, so every layer that lets
// memory exhaustion through unchanged lets this through too; an allocation that fails
// later, deep inside, stays a plain bad_alloc (MemoryError without a message).
class MemoryLimitError : public std::bad_alloc {
 public:
  explicit MemoryLimitError(const std::string& message) : message_(message) {}
  const char* what() const noexcept override { return message_.what(); }

 private:
  std::runtime_error message_;  // copies without throwing, as an exception must
};

[[noreturn]] void throw_internal(const std::string& message);

}  // namespace morvel

// Stays on in release builds: a broken invariant must stop the call, not corrupt a model.
#define MORVEL_ASSERT(cond, message)          \
  do {                                        \
    if (!(cond)) ::morvel::throw_internal(message); \
  } while (0)
