#include "platform/sync.h"

#include <chrono>
#include <thread>

namespace {

// One lock and one condition for all events keeps waiting on two events at
// once simple and free of lost wake-ups; events are few and rarely signalled.
std::mutex& EventMutex() {
  static std::mutex mutex;
  return mutex;
}
std::condition_variable& EventCondition() {
  static std::condition_variable condition;
  return condition;
}

template <typename Ready>
WaitResult WaitUntil(std::unique_lock<std::mutex>& lock, uint32_t timeoutMs, Ready ready) {
  if (timeoutMs == kInfinite) {
    for (;;) {
      if (auto r = ready()) return *r;
      EventCondition().wait(lock);
    }
  }
  auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    if (auto r = ready()) return *r;
    if (EventCondition().wait_until(lock, deadline) == std::cv_status::timeout) {
      if (auto r2 = ready()) return *r2;
      return WaitResult::Timeout;
    }
  }
}

}  // namespace

uint32_t GetTickCountMs() {
  using namespace std::chrono;
  static const steady_clock::time_point origin = steady_clock::now();
  return static_cast<uint32_t>(duration_cast<milliseconds>(steady_clock::now() - origin).count());
}

void SleepMs(uint32_t milliseconds) {
  if (milliseconds == 0) {
    std::this_thread::yield();
    return;
  }
  std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
}

SyncEvent::SyncEvent(bool manualReset, bool initiallySignalled)
    : manualReset_(manualReset), signalled_(initiallySignalled) {}

void SyncEvent::Set() {
  std::lock_guard<std::mutex> lock(EventMutex());
  signalled_ = true;
  EventCondition().notify_all();
}

void SyncEvent::Reset() {
  std::lock_guard<std::mutex> lock(EventMutex());
  signalled_ = false;
}

void SyncEvent::Pulse() {
  std::lock_guard<std::mutex> lock(EventMutex());
  signalled_ = false;
  if (waiters_ == 0) return;
  ++pulseGeneration_;
  pendingPulses_ = manualReset_ ? 0 : 1;
  EventCondition().notify_all();
}

bool SyncEvent::IsSignalled() const {
  std::lock_guard<std::mutex> lock(EventMutex());
  return signalled_;
}

bool SyncEvent::TryConsumeLocked(uint64_t generationAtStart) {
  if (signalled_) {
    if (!manualReset_) signalled_ = false;
    return true;
  }
  if (pulseGeneration_ == generationAtStart) return false;
  if (manualReset_) return true;
  if (pendingPulses_ > 0) {
    --pendingPulses_;
    return true;
  }
  return false;
}

WaitResult WaitForEvent(SyncEvent& event, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(EventMutex());
  const uint64_t generation = event.pulseGeneration_;
  ++event.waiters_;
  WaitResult result = WaitUntil(lock, timeoutMs, [&]() -> std::optional<WaitResult> {
    if (event.TryConsumeLocked(generation)) return WaitResult::First;
    return std::nullopt;
  });
  --event.waiters_;
  return result;
}

WaitResult WaitForEitherEvent(SyncEvent& first, SyncEvent& second, uint32_t timeoutMs) {
  std::unique_lock<std::mutex> lock(EventMutex());
  const uint64_t generationFirst = first.pulseGeneration_;
  const uint64_t generationSecond = second.pulseGeneration_;
  ++first.waiters_;
  ++second.waiters_;
  WaitResult result = WaitUntil(lock, timeoutMs, [&]() -> std::optional<WaitResult> {
    if (first.TryConsumeLocked(generationFirst)) return WaitResult::First;
    if (second.TryConsumeLocked(generationSecond)) return WaitResult::Second;
    return std::nullopt;
  });
  --first.waiters_;
  --second.waiters_;
  return result;
}
