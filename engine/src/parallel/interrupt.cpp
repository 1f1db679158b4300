// The scope bookkeeping and the installing thread's polling of the interrupt callback.
#include "morvel/interrupt.h"

namespace morvel {

namespace {

using Clock = std::chrono::steady_clock;

// Clock reads aim at this spacing: often enough to poll on time, rare enough not to show
// when the checkpoints come from a loop over small tree nodes.
constexpr Clock::duration kClockSpacing = std::chrono::microseconds(500);
constexpr uint32_t kMaxStride = 256;

}  // namespace

InterruptScope::InterruptScope(InterruptPoll poll, void* context) : previous_(detail::t_interrupt) {
  state_.poll = poll;
  state_.context = context;
  state_.last_poll = state_.last_clock = Clock::now();
  detail::t_interrupt = detail::ThreadInterrupt{&state_, true};
}

InterruptScope::~InterruptScope() { detail::t_interrupt = previous_; }

namespace detail {

bool poll_now(InterruptState& state) {
  if (state.stop.load(std::memory_order_relaxed)) return true;
  state.last_poll = Clock::now();
  if (state.poll != nullptr && state.poll(state.context)) {
    state.stop.store(true, std::memory_order_relaxed);
    return true;
  }
  return false;
}

void owner_checkpoint(InterruptState& state) {
  const Clock::time_point now = Clock::now();
  const Clock::duration since_read = now - state.last_clock;
  state.last_clock = now;
  // A loop that checks in often reads the clock every few calls; one that checks in
  // rarely reads it every time.
  if (since_read < kClockSpacing) {
    if (state.stride < kMaxStride) state.stride *= 2;
  } else if (since_read > 4 * kClockSpacing) {
    state.stride = 1;
  }
  state.countdown = state.stride;
  if (now - state.last_poll >= kPollInterval && poll_now(state)) throw Interrupted{};
}

}  // namespace detail

}  // namespace morvel
