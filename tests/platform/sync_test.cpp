#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "platform/sync.h"

namespace {

TEST(TickCount, AdvancesWithSleep) {
  uint32_t start = GetTickCountMs();
  SleepMs(50);
  uint32_t elapsed = GetTickCountMs() - start;
  EXPECT_GE(elapsed, 50u);
  EXPECT_LT(elapsed, 5000u);
}

TEST(SyncEvent, TimesOutWhenNotSignalled) {
  SyncEvent event(true);
  uint32_t start = GetTickCountMs();
  EXPECT_EQ(WaitForEvent(event, 30), WaitResult::Timeout);
  EXPECT_GE(GetTickCountMs() - start, 30u);
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
  std::thread waiter([&] { result = static_cast<int>(WaitForEvent(event, 60000)); });
  SleepMs(20);  // set before or after the wait begins: either way it is seen
  event.Set();
  waiter.join();
  EXPECT_EQ(result.load(), static_cast<int>(WaitResult::First));
  EXPECT_FALSE(event.IsSignalled());
}

template <typename Pred>
bool Eventually(Pred pred) {
  for (int i = 0; i < 3000; ++i) {
    if (pred()) return true;
    SleepMs(10);
  }
  return false;
}

// Whether thread `tid` of this process sits in a futex wait (where a
// condition-variable wait blocks), as the kernel reports it.
bool InFutexWait(pid_t tid) {
  std::ifstream syscall("/proc/self/task/" + std::to_string(tid) + "/syscall");
  long number = -1;
  return syscall >> number && number == SYS_futex;
}

// Threads that record their id and then wait on an event; BlockedOnEvent()
// holds once all of them are blocked in that wait, so a pulse finds them
// waiting however the threads were scheduled.
class EventWaiters {
public:
  EventWaiters(int count, SyncEvent& event, uint32_t timeoutMs) : tids_(static_cast<size_t>(count)) {
    for (int i = 0; i < count; ++i)
      threads_.emplace_back([this, i, &event, timeoutMs] {
        tids_[static_cast<size_t>(i)].store(static_cast<pid_t>(::syscall(SYS_gettid)));
        if (WaitForEvent(event, timeoutMs) == WaitResult::First) ++released_;
      });
  }
  ~EventWaiters() { Join(); }
  bool BlockedOnEvent() {
    // Twice in a row, so that a waiter passing through a mutex does not count.
    for (int round = 0; round < 2; ++round) {
      if (!Eventually([&] {
            for (const std::atomic<pid_t>& tid : tids_)
              if (tid.load() == 0 || !InFutexWait(tid.load())) return false;
            return true;
          }))
        return false;
      SleepMs(20);
    }
    return true;
  }
  void Join() {
    for (std::thread& thread : threads_)
      if (thread.joinable()) thread.join();
  }
  int Released() const { return released_.load(); }

private:
  std::vector<std::atomic<pid_t>> tids_;
  std::vector<std::thread> threads_;
  std::atomic<int> released_{0};
};

TEST(SyncEvent, ManualPulseReleasesEveryCurrentWaiterAndStaysReset) {
  SyncEvent event(true);
  EventWaiters waiters(3, event, 60000);
  ASSERT_TRUE(waiters.BlockedOnEvent());
  event.Pulse();
  waiters.Join();
  EXPECT_EQ(waiters.Released(), 3);
  EXPECT_FALSE(event.IsSignalled());
  EXPECT_EQ(WaitForEvent(event, 0), WaitResult::Timeout);
}

TEST(SyncEvent, AutoPulseReleasesExactlyOneWaiter) {
  SyncEvent event(false);
  // The other waiter ends at its time-out; long enough to be sure it was not
  // released, short enough for the suite.
  EventWaiters waiters(2, event, 3000);
  ASSERT_TRUE(waiters.BlockedOnEvent());
  event.Pulse();
  waiters.Join();
  EXPECT_EQ(waiters.Released(), 1);
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
    SleepMs(20);
    stop.Set();
  });
  stop.Reset();
  wake.Reset();
  EXPECT_EQ(WaitForEitherEvent(stop, wake, 10000), WaitResult::First);
  setter.join();
}

}  // namespace
