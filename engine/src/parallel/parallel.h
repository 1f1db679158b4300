// Fork-join helpers: the only place in the engine that starts threads. Results are
// returned indexed by chunk (or worker) and combined by the caller in that fixed order, so
// no result depends on scheduling. With one worker everything runs on the calling thread.
#pragma once

#include <algorithm>
#include <cstdint>
#include <exception>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <type_traits>
#include <vector>

#include "morvel/errors.h"
#include "morvel/interrupt.h"
#include "morvel/messages.h"

namespace morvel::parallel {

// ceil(count / workers); workers must be >= 1.
inline uint64_t chunk_length(uint64_t count, uint64_t workers) {
  return count / workers + (count % workers != 0 ? 1 : 0);
}

struct Chunk {
  uint64_t index;  // chunk number, 0-based
  uint64_t begin;  // first element
  uint64_t end;    // one past the last element
};

// Contiguous chunks of chunk_length(count, workers) elements; fewer chunks than workers
// when the division leaves them empty (count 9, workers 4: three chunks of 3).
std::vector<Chunk> split_chunks(uint64_t count, uint64_t workers);

// Returns the allocator's free pages to the system. Worker threads allocate from arenas of
// their own, which keep what the workers freed; a step that leaves megabytes of scratch
// behind (the canonical sort, the bin edges) calls this before the fit's next large arrays,
// so that the fit's peak does not hold both.
void release_free_memory();

// The most threads one fork-join step starts: a small multiple of the CPUs this process may
// run on, so that a huge `n_jobs` splits the work as asked but cannot exhaust the system.
uint64_t thread_limit();

namespace detail {

// Runs task(0) .. task(n_tasks - 1) on `threads` threads (1 <= threads <= n_tasks), each
// thread taking the next index from a shared counter; joins them all, then rethrows the
// failure of the lowest index. ValidationError, bad_alloc and Interrupted pass through
// unchanged; anything else becomes InternalError("<panic>: <what>"). Threads answer to the
// calling thread's interrupt scope; when the calling thread installed it, it polls while
// waiting and, on a stop request, joins every thread and throws Interrupted.
// `on_spawn_failure`, when given, runs before the started threads are joined if a thread
// cannot be started (so that threads waiting for their peers can be released).
void run_threads(uint64_t n_tasks, uint64_t threads, const std::function<void(uint64_t)>& task,
                 const char* panic_message, const std::function<void()>& on_spawn_failure = {});

}  // namespace detail

// Calls fn(const Chunk&) for every chunk and returns the results in chunk order. The chunks
// are those of `workers`; at most thread_limit() threads run them.
// `panic_message` names the step in the InternalError raised for a failed worker.
template <class Fn>
auto for_each_chunk(uint64_t count, uint64_t workers, Fn&& fn, const char* panic_message) {
  using R = std::invoke_result_t<Fn&, const Chunk&>;
  const std::vector<Chunk> chunks = split_chunks(count, workers == 0 ? 1 : workers);
  const uint64_t threads = std::min<uint64_t>(chunks.size(), thread_limit());
  if constexpr (std::is_void_v<R>) {
    if (chunks.size() <= 1) {
      for (const Chunk& c : chunks) fn(c);
      return;
    }
    detail::run_threads(chunks.size(), threads, [&fn, &chunks](uint64_t k) { fn(chunks[k]); },
                        panic_message);
  } else {
    std::vector<R> results(chunks.size());
    if (chunks.size() <= 1) {
      for (const Chunk& c : chunks) results[c.index] = fn(c);
      return results;
    }
    detail::run_threads(
        chunks.size(), threads, [&fn, &chunks, &results](uint64_t k) { results[k] = fn(chunks[k]); },
        panic_message);
    return results;
  }
}

// Starts `workers` threads running fn(worker_index) and returns their results in worker
// order. With one worker, runs inline. Callers bound `workers` (thread_limit()).
template <class Fn>
auto run_workers(uint64_t workers, Fn&& fn, const char* panic_message) {
  using R = std::invoke_result_t<Fn&, uint64_t>;
  MORVEL_ASSERT(workers > 0, "assertion failed: threads > 0");
  std::vector<R> results(workers);
  if (workers == 1) {
    results[0] = fn(uint64_t{0});
    return results;
  }
  detail::run_threads(workers, workers, [&fn, &results](uint64_t w) { results[w] = fn(w); }, panic_message);
  return results;
}

// The meeting point of workers that proceed in lockstep phases. Once any member fails (or a
// member could not be started), every sync returns false and the members must stop.
class Team {
 public:
  explicit Team(uint64_t members) : members_(members) {}

  // Waits until every member has arrived; false when the team has failed.
  bool sync() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (failed_) return false;
    if (++arrived_ == members_) {
      arrived_ = 0;
      ++generation_;
      cv_.notify_all();
      return true;
    }
    const uint64_t generation = generation_;
    cv_.wait(lock, [&] { return generation_ != generation || failed_; });
    return !failed_;
  }

  void fail() {
    std::lock_guard<std::mutex> lock(mutex_);
    failed_ = true;
    cv_.notify_all();
  }

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  uint64_t members_;
  uint64_t arrived_ = 0;
  uint64_t generation_ = 0;
  bool failed_ = false;
};

// Like run_workers, for workers that meet at team.sync(): fn(worker_index, team). A worker
// that throws fails the team, so its peers stop at their next sync instead of waiting for it.
// Callers bound `workers` (thread_limit()).
template <class Fn>
auto run_team(uint64_t workers, Fn&& fn, const char* panic_message) {
  using R = std::invoke_result_t<Fn&, uint64_t, Team&>;
  MORVEL_ASSERT(workers > 0, "assertion failed: threads > 0");
  Team team(workers);
  std::vector<R> results(workers);
  if (workers == 1) {
    results[0] = fn(uint64_t{0}, team);
    return results;
  }
  // Every member is a thread of its own: members wait for each other at sync.
  detail::run_threads(
      workers, workers,
      [&fn, &results, &team](uint64_t w) {
        try {
          results[w] = fn(w, team);
        } catch (...) {
          team.fail();
          throw;
        }
      },
      panic_message, [&team] { team.fail(); });
  return results;
}

// CPUs this process may run on: the scheduler affinity mask, limited by a cgroup (v2 or
// v1) CPU quota when one is set; 1 when neither can be read.
uint64_t available_cpus();

}  // namespace morvel::parallel
