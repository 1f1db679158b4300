// Wall-clock readings of the fit's phases and of the Boruta kernel's two steps.
#pragma once

#include <chrono>
#include <cstdint>

#include "morvel/profile.h"

namespace morvel {

using PhaseClock = std::chrono::steady_clock;

// Whole seconds + nanoseconds / 1e9: the whole seconds are exact, so a long phase keeps
// its nanoseconds.
inline double seconds_since(PhaseClock::time_point start) {
  const uint64_t ns = static_cast<uint64_t>(
      std::chrono::duration_cast<std::chrono::nanoseconds>(PhaseClock::now() - start).count());
  return static_cast<double>(ns / 1000000000u) + static_cast<double>(ns % 1000000000u) / 1e9;
}

// A phase timer of the fit: reads the clock only when profiling is on.
class PhaseTimer {
 public:
  explicit PhaseTimer(bool enabled) : enabled_(enabled) {
    if (enabled_) start_ = PhaseClock::now();
  }
  void restart() {
    if (enabled_) start_ = PhaseClock::now();
  }
  // The seconds since the start, inserted under `key`.
  void record(ProfileMap& profile, const char* key) const {
    if (enabled_) profile[key] = seconds_since(start_);
  }

 private:
  bool enabled_;
  PhaseClock::time_point start_{};
};

}  // namespace morvel
