// Stopping a long native call from the outside (Ctrl-C in Python).
//
// The caller installs an InterruptScope on its thread for the duration of a call, with a
// poll callback that says whether the call should stop. Engine loops call checkpoint():
//   - on the thread that installed the scope, checkpoint() runs the callback at most about
//     every kPollInterval (it reads a steady clock only every few calls, adapting the stride
//     to how often the loop checks in), and throws Interrupted when the callback says stop;
//   - on worker threads, which inherit the scope from the thread that started them,
//     checkpoint() only reads the scope's shared stop flag.
// While workers run, the thread that started them waits in short slices and polls between
// them; on a stop request it raises the flag, joins every worker and throws Interrupted.
//
// The callback always runs on the installing thread, never on a worker. A caller that keeps
// the Python interpreter lock through the call can call PyErr_CheckSignals() directly. A
// caller that releases the lock around the native work must re-acquire it inside its
// callback (PyGILState_Ensure / PyGILState_Release around PyErr_CheckSignals), since the
// callback is the only place where Python may run during the call.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>

namespace morvel {

// Thrown from a checkpoint (or a wait for workers) once the call has been asked to stop.
// Deliberately not a std::exception: no handler that converts engine failures may mistake
// it for one; it travels unchanged to the caller that installed the scope.
struct Interrupted {};

// True asks the call to stop. Runs only on the thread that installed the scope.
using InterruptPoll = bool (*)(void* context);

// How often the installing thread asks its callback, at most.
inline constexpr std::chrono::milliseconds kPollInterval{25};

namespace detail {

struct InterruptState {
  std::atomic<bool> stop{false};
  InterruptPoll poll = nullptr;
  void* context = nullptr;
  std::chrono::steady_clock::time_point last_poll{};
  std::chrono::steady_clock::time_point last_clock{};
  uint32_t stride = 1;      // checkpoints between clock reads on the installing thread
  uint32_t countdown = 1;
};

// The scope this thread answers to (its own, or the one inherited from the thread that
// started it), and whether this thread installed it.
struct ThreadInterrupt {
  InterruptState* state = nullptr;
  bool owner = false;
};

inline thread_local ThreadInterrupt t_interrupt;

// The installing thread's slow path: reads the clock, polls when due; throws Interrupted.
void owner_checkpoint(InterruptState& state);

// Runs the callback now (installing thread only); sets the stop flag when it says stop.
// True when the call must stop.
bool poll_now(InterruptState& state);

}  // namespace detail

class InterruptScope {
 public:
  InterruptScope(InterruptPoll poll, void* context);
  ~InterruptScope();
  InterruptScope(const InterruptScope&) = delete;
  InterruptScope& operator=(const InterruptScope&) = delete;

 private:
  detail::InterruptState state_;
  detail::ThreadInterrupt previous_;
};

// Throws Interrupted when the call has been asked to stop. Cheap enough for a loop over
// tree nodes: a thread-local read, a relaxed load and, on the installing thread, a counter.
inline void checkpoint() {
  const detail::ThreadInterrupt& t = detail::t_interrupt;
  if (t.state == nullptr) return;
  if (t.state->stop.load(std::memory_order_relaxed)) throw Interrupted{};
  if (t.owner && --t.state->countdown == 0) detail::owner_checkpoint(*t.state);
}

// True once the call has been asked to stop (never polls).
inline bool stop_requested() noexcept {
  const detail::ThreadInterrupt& t = detail::t_interrupt;
  return t.state != nullptr && t.state->stop.load(std::memory_order_relaxed);
}

}  // namespace morvel
