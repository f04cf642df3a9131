#include <gtest/gtest.h>

#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "platform/stop_signals.h"

namespace {

// A command ends as soon as its work is done: the watcher is not waited out.
// Before, each end waited for the watcher's next look, up to 50 ms.
TEST(StopSignals, TakesARequestAndEndsAtOnce) {
  std::atomic<int> stops{0};
  {
    StopSignals signals([&stops] { stops.fetch_add(1); });
    ASSERT_EQ(kill(getpid(), SIGTERM), 0);
    for (int i = 0; i < 500 && stops.load() == 0; ++i) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    EXPECT_EQ(stops.load(), 1);
    EXPECT_EQ(signals.Received(), SIGTERM);
  }
  constexpr int kEnds = 40;
  const auto start = std::chrono::steady_clock::now();
  for (int i = 0; i < kEnds; ++i) {
    auto signals = std::make_unique<StopSignals>([&stops] { stops.fetch_add(1); });
    // Every other one ends at once, perhaps before its watcher has begun to
    // wait; the others once it waits.
    if (i % 2) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  const auto elapsed = std::chrono::steady_clock::now() - start;
  // 40 ends took about a second before; now a few milliseconds.
  EXPECT_LT(elapsed, std::chrono::milliseconds(400));
  EXPECT_EQ(stops.load(), 1);
}

}  // namespace
