#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "platform/sync.h"

namespace {

TEST(TickCount, AdvancesWithSleep) {
  uint32_t start = GetTickCount();
  Sleep(50);
  uint32_t elapsed = GetTickCount() - start;
  EXPECT_GE(elapsed, 50u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(SyncEvent, TimesOutWhenNotSignalled) {
  SyncEvent event(true);
  uint32_t start = GetTickCount();
  EXPECT_EQ(WaitForEvent(event, 30), WaitResult::Timeout);
  EXPECT_GE(GetTickCount() - start, 30u);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, ManualResetStaysSignalledUntilReset) {
  SyncEvent event(true);
  event.Set();
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::First);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::First);
  EXPECT_TRUE(event.IsSignalled());
  event.Reset();
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, AutoResetReleasesOneWaitAndResets) {
  SyncEvent event(false, true);
  EXPECT_TRUE(event.IsSignalled());
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::First);
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, SetWakesABlockedWaiter) {
  SyncEvent event(false);
  std::atomic<int> result{-1};
  std::thread waiter([&] { result = static_cast<int>(WaitForEvent(event, 10000)); });
  Sleep(20);
  event.Set();
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::First));
  EXPECT_FALSE(event.IsSignalled());
}

// Waits until `count` threads are blocked on the event (there is no other way
// to know a pulse will find them waiting).
template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 500; ++i) {
    if (pred()) return true;
    Sleep(10);
  }
  return false;
}

TEST(SyncEvent, ManualPulseReleasesEveryCurrentWaiterAndStaysReset) {
  SyncEvent event(true);
  std::atomic<int> started{0}, released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 3; ++i)
    waiters.emplace_back([&] {
      ++started;
      if (WaitForEvent(event, 10000) == WaitResult::First) ++released;
    });
  ASSERT_TRUE(Eventually([&] { return started == 3; }));
  Sleep(50);  // let them block
  event.Pulse();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 3);
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, AutoPulseReleasesExactlyOneWaiter) {
  SyncEvent event(false);
  std::atomic<int> started{0}, released{0};
  std::vector<std::thread> waiters;
  for (int i = 0; i < 2; ++i)
    waiters.emplace_back([&] {
      ++started;
      if (WaitForEvent(event, 400) == WaitResult::First) ++released;
    });
  ASSERT_TRUE(Eventually([&] { return started == 2; }));
  Sleep(50);
  event.Pulse();
  for (auto& t : waiters) t.join();
  EXPECT_EQ(released.load(), 1);
}

TEST(SyncEvent, PulseWithNobodyWaitingIsLost) {
  SyncEvent event(false);
  event.Pulse();
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, WaitForEitherReportsWhichOneAndConsumesOnlyIt) {
  SyncEvent stop(true), wake(false);
  EXPECT_EQ(WaitForEitherEvent(stop, wake, 10), WaitResult::Timeout);
  wake.Set();
  EXPECT_EQ(WaitForEitherEvent(stop, wake, 1000), WaitResult::Second);
  EXPECT_FALSE(wake.IsSignalled());
  stop.Set();
  wake.Set();
  EXPECT_EQ(WaitForEitherEvent(stop, wake, 1000), WaitResult::First);
  EXPECT_TRUE(wake.IsSignalled());
  std::thread setter([&] {
    Sleep(20);
    stop.Set();
  });
  stop.Reset();
  wake.Reset();
  EXPECT_EQ(WaitForEitherEvent(stop, wake, 10000), WaitResult::First);
  setter.join();
}

}  // namespace
