// Thread start/join for the fork-join helpers, the available-CPU count, and the return of
// free memory to the system.
#include "parallel/parallel.h"

#include <sched.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <algorithm>
#include <atomic>
#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

namespace morvel::parallel {

using morvel::detail::InterruptState;
using morvel::detail::ThreadInterrupt;
using morvel::detail::poll_now;
using morvel::detail::t_interrupt;

void release_free_memory() {
#if defined(__GLIBC__)
  malloc_trim(0);
#endif
}

std::vector<Chunk> split_chunks(uint64_t count, uint64_t workers) {
  std::vector<Chunk> chunks;
  if (count == 0) return chunks;
  const uint64_t length = chunk_length(count, workers);
  MORVEL_ASSERT(length != 0, msg::kStepNonZero);
  for (uint64_t begin = 0, index = 0; begin < count; begin += length, ++index) {
    chunks.push_back(Chunk{index, begin, begin + length < count ? begin + length : count});
  }
  return chunks;
}

namespace detail {

void run_threads(uint64_t n_tasks, uint64_t threads, const std::function<void(uint64_t)>& task,
                 const char* panic_message, const std::function<void()>& on_spawn_failure) {
  MORVEL_ASSERT(threads > 0 && threads <= n_tasks, msg::kThreadsPositive);
  const ThreadInterrupt caller = t_interrupt;
  InterruptState* const interrupt = caller.state;
  std::vector<std::exception_ptr> failures(n_tasks);
  std::atomic<uint64_t> next_task{0};
  std::mutex mutex;
  std::condition_variable all_done;
  uint64_t running = 0;
  std::vector<std::thread> threads_started;
  threads_started.reserve(threads);
  std::string spawn_error;
  for (uint64_t i = 0; i < threads; ++i) {
    try {
      {
        std::lock_guard<std::mutex> lock(mutex);
        ++running;
      }
      threads_started.emplace_back([&, interrupt] {
        // Workers answer to the caller's scope: its stop flag, never its callback.
        t_interrupt = ThreadInterrupt{interrupt, false};
        for (uint64_t k = next_task.fetch_add(1); k < n_tasks; k = next_task.fetch_add(1)) {
          if (interrupt != nullptr && interrupt->stop.load(std::memory_order_relaxed)) break;
          try {
            task(k);
          } catch (...) {
            failures[k] = std::current_exception();
          }
        }
        std::lock_guard<std::mutex> lock(mutex);
        if (--running == 0) all_done.notify_all();
      });
    } catch (const std::system_error& e) {
      {
        std::lock_guard<std::mutex> lock(mutex);
        --running;
      }
      spawn_error = e.what();
      break;
    }
  }
  if (!spawn_error.empty() && on_spawn_failure) on_spawn_failure();
  // The thread that installed the scope waits in short slices and asks between them, so a
  // stop request is seen while the workers run; it then stops them before anything returns.
  if (caller.owner && interrupt != nullptr) {
    std::unique_lock<std::mutex> lock(mutex);
    while (running != 0) {
      if (all_done.wait_for(lock, kPollInterval, [&] { return running == 0; })) break;
      lock.unlock();
      const bool stop = poll_now(*interrupt);
      lock.lock();
      if (stop) break;
    }
  }
  // Every started thread is joined before anything is reported.
  for (std::thread& t : threads_started) t.join();
  if (interrupt != nullptr && interrupt->stop.load(std::memory_order_relaxed)) throw Interrupted{};
  if (!spawn_error.empty()) throw InternalError(std::string(msg::kFailedSpawn) + ": " + spawn_error);
  for (const std::exception_ptr& failure : failures) {
    if (!failure) continue;
    try {
      std::rethrow_exception(failure);
    } catch (const Interrupted&) {
      throw;
    } catch (const ValidationError&) {
      throw;
    } catch (const std::bad_alloc&) {
      throw;
    } catch (const std::exception& e) {
      throw InternalError(std::string(panic_message) + ": " + e.what());
    } catch (...) {
      throw InternalError(panic_message);
    }
  }
}

}  // namespace detail

namespace {

// cgroup v2: "max 100000" or "<quota> <period>" in cpu.max.
double cgroup_v2_limit() {
  std::ifstream in("/sys/fs/cgroup/cpu.max");
  std::string quota;
  double period = 0.0;
  if (!(in >> quota >> period) || quota == "max" || period <= 0.0) return 0.0;
  const double q = std::strtod(quota.c_str(), nullptr);
  return q > 0.0 ? q / period : 0.0;
}

// cgroup v1: cpu.cfs_quota_us (-1 when unset) and cpu.cfs_period_us.
double cgroup_v1_limit() {
  std::ifstream quota_in("/sys/fs/cgroup/cpu/cpu.cfs_quota_us");
  std::ifstream period_in("/sys/fs/cgroup/cpu/cpu.cfs_period_us");
  double quota = 0.0, period = 0.0;
  if (!(quota_in >> quota) || !(period_in >> period) || quota <= 0.0 || period <= 0.0) return 0.0;
  return quota / period;
}

}  // namespace

uint64_t thread_limit() {
  // Read once: the affinity mask and the cgroup quota do not change under a running fit
  // often enough to matter, and each read opens files.
  static const uint64_t limit = [] {
    const uint64_t hardware = std::max<uint64_t>(std::thread::hardware_concurrency(), available_cpus());
    return 4 * std::max<uint64_t>(hardware, 1);
  }();
  return limit;
}

uint64_t available_cpus() {
  uint64_t cpus = 0;
  cpu_set_t set;
  CPU_ZERO(&set);
  if (sched_getaffinity(0, sizeof(set), &set) == 0) cpus = static_cast<uint64_t>(CPU_COUNT(&set));
  double limit = cgroup_v2_limit();
  if (limit <= 0.0) limit = cgroup_v1_limit();
  if (limit > 0.0) {
    const uint64_t quota_cpus = static_cast<uint64_t>(std::ceil(limit));
    cpus = cpus == 0 ? quota_cpus : (quota_cpus < cpus ? quota_cpus : cpus);
  }
  return cpus == 0 ? 1 : cpus;
}

}  // namespace morvel::parallel
