// Thread start/join for the fork-join helpers, the available-CPU count, and the return of
// free memory to the system.
#include "parallel/parallel.h"

#include <sched.h>
#if defined(__GLIBC__)
#include <malloc.h>
#endif

#include <cmath>
#include <fstream>
#include <sstream>
#include <string>

namespace morvel::parallel {

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

void run_threads(std::vector<std::function<void()>>& tasks, const char* panic_message,
                 const std::function<void()>& on_spawn_failure) {
  std::vector<std::exception_ptr> failures(tasks.size());
  std::vector<std::thread> threads;
  threads.reserve(tasks.size());
  std::string spawn_error;
  for (size_t i = 0; i < tasks.size(); ++i) {
    try {
      threads.emplace_back([&tasks, &failures, i] {
        try {
          tasks[i]();
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
    } catch (const std::system_error& e) {
      spawn_error = e.what();
      break;
    }
  }
  if (!spawn_error.empty() && on_spawn_failure) on_spawn_failure();
  // Every started thread is joined before anything is reported.
  for (std::thread& t : threads) t.join();
  if (!spawn_error.empty()) throw InternalError(std::string(msg::kFailedSpawn) + ": " + spawn_error);
  for (const std::exception_ptr& failure : failures) {
    if (!failure) continue;
    try {
      std::rethrow_exception(failure);
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
