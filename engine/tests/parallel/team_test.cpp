// Workers that meet at Team::sync must never hang when one of them fails, and a team that
// succeeds must really run in lockstep.
#include <gtest/gtest.h>

#include <atomic>
#include <new>
#include <stdexcept>
#include <vector>

#include "morvel/errors.h"
#include "parallel/parallel.h"

namespace morvel::parallel {
namespace {

TEST(Team, PhasesDoNotOverlap) {
  constexpr uint64_t kWorkers = 4;
  constexpr int kPhases = 200;
  std::atomic<int> arrived{0};
  std::atomic<bool> overlapped{false};
  const std::vector<int> seen = run_team(
      kWorkers,
      [&](uint64_t, Team& team) {
        int phases = 0;
        for (int p = 0; p < kPhases; ++p) {
          arrived.fetch_add(1);
          if (!team.sync()) return -1;
          // Everyone arrived for phase p before anyone passed it.
          if (arrived.load() < static_cast<int>(kWorkers) * (p + 1)) overlapped = true;
          if (!team.sync()) return -1;
          ++phases;
        }
        return phases;
      },
      "team test");
  EXPECT_FALSE(overlapped.load());
  EXPECT_EQ(seen, std::vector<int>(kWorkers, kPhases));
}

TEST(Team, FailingWorkerReleasesItsPeers) {
  // Worker 2 throws before its first meeting; without the release its peers would wait
  // forever. The failure surfaces as the panic of the step, bad_alloc as itself.
  auto run = [](auto thrower) {
    return run_team(
        3,
        [&](uint64_t w, Team& team) {
          for (int p = 0; p < 50; ++p) {
            if (w == 2 && p == 7) thrower();
            if (!team.sync()) return 0;
          }
          return 1;
        },
        "team step");
  };
  EXPECT_THROW(run([] { throw std::bad_alloc(); }), std::bad_alloc);
  try {
    run([] { throw std::runtime_error("boom"); });
    FAIL() << "expected a panic";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "team step: boom");
  }
}

TEST(Team, OneWorkerRunsInline) {
  const std::vector<int> out = run_team(
      1, [](uint64_t w, Team& team) { return team.sync() && team.sync() ? 5 + static_cast<int>(w) : 0; },
      "team step");
  EXPECT_EQ(out, std::vector<int>{5});
}

}  // namespace
}  // namespace morvel::parallel
