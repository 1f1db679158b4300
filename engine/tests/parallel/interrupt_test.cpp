// A stop request must reach workers of every fork-join shape, leave no thread running and
// surface as Interrupted (never as a worker panic).
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "morvel/interrupt.h"
#include "parallel/parallel.h"

namespace morvel::parallel {
namespace {

// Says stop once `after` polls have been made.
struct StopAfter {
  int after;
  std::atomic<int> polls{0};
  static bool poll(void* self) {
    auto* s = static_cast<StopAfter*>(self);
    return s->polls.fetch_add(1) + 1 >= s->after;
  }
};

// Workers that only ever check in: they end only through a stop request.
void spin_until_stopped() {
  for (;;) {
    checkpoint();
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
}

TEST(Interrupt, StopReachesWorkersOfEveryShape) {
  for (int shape = 0; shape < 3; ++shape) {
    StopAfter stop{3};
    InterruptScope scope(&StopAfter::poll, &stop);
    const auto run = [&] {
      if (shape == 0) for_each_chunk(64, 64, [](const Chunk&) { spin_until_stopped(); }, "chunk");
      if (shape == 1) run_workers(3, [](uint64_t) { spin_until_stopped(); return 0; }, "worker");
      if (shape == 2) run_team(3, [](uint64_t, Team&) { spin_until_stopped(); return 0; }, "team");
    };
    EXPECT_THROW(run(), Interrupted) << shape;
    EXPECT_GE(stop.polls.load(), 3);
  }
  // The scope is gone: checkpoints are free again.
  EXPECT_NO_THROW(checkpoint());
}

TEST(Interrupt, OwnerCheckpointPollsOnItsOwn) {
  StopAfter stop{2};
  InterruptScope scope(&StopAfter::poll, &stop);
  EXPECT_THROW(for (;;) checkpoint(), Interrupted);
  // Once stopped, every later checkpoint stops too, without asking again.
  const int polls = stop.polls.load();
  EXPECT_THROW(checkpoint(), Interrupted);
  EXPECT_EQ(stop.polls.load(), polls);
}

}  // namespace
}  // namespace morvel::parallel
