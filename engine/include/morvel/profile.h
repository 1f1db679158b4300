// Fit profiling: eight counters shared by every worker of one profiled fit, and the timer
// helper. With profiling off no record exists and no clock is read.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>

namespace morvel {

using ProfileMap = std::unordered_map<std::string, double>;

struct ProfileCounters {
  std::atomic<uint64_t> split_search_ns{0};        // "split_search_seconds"
  std::atomic<uint64_t> bootstrap_ns{0};           // "bootstrap_seconds"
  std::atomic<uint64_t> partition_ns{0};           // "partition_seconds"
  std::atomic<uint64_t> feature_visits{0};         // "feature_visits"
  std::atomic<uint64_t> sample_visits{0};          // "sample_visits"
  std::atomic<uint64_t> rejected_candidates{0};    // "rejected_candidates"
  std::atomic<uint64_t> feature_buffer_peak{0};    // "feature_buffer_peak_bytes_per_worker" (max)
  std::atomic<uint64_t> bin_layout_conversion_ns{0};  // "bin_layout_conversion_seconds"

  void add(std::atomic<uint64_t>& field, uint64_t amount) {
    field.fetch_add(amount, std::memory_order_relaxed);
  }
  void record_peak(uint64_t bytes) {
    uint64_t seen = feature_buffer_peak.load(std::memory_order_relaxed);
    while (bytes > seen &&
           !feature_buffer_peak.compare_exchange_weak(seen, bytes, std::memory_order_relaxed)) {
    }
  }
};

using ProfileHandle = std::shared_ptr<ProfileCounters>;

// Adds the elapsed nanoseconds of its lifetime to one counter, when a record exists.
class ScopedNanos {
 public:
  ScopedNanos(ProfileCounters* counters, std::atomic<uint64_t> ProfileCounters::*field)
      : counters_(counters), field_(field) {
    if (counters_ != nullptr) start_ = std::chrono::steady_clock::now();
  }
  ~ScopedNanos() {
    if (counters_ == nullptr) return;
    const auto elapsed = std::chrono::steady_clock::now() - start_;
    counters_->add(counters_->*field_, static_cast<uint64_t>(
        std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
  }
  ScopedNanos(const ScopedNanos&) = delete;
  ScopedNanos& operator=(const ScopedNanos&) = delete;

 private:
  ProfileCounters* counters_;
  std::atomic<uint64_t> ProfileCounters::*field_;
  std::chrono::steady_clock::time_point start_{};
};

}  // namespace morvel
