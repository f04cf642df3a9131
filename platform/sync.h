// Events, tick count and sleep with the semantics the workers and dialogs rely on.
#pragma once

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>

// Milliseconds from an arbitrary start on a steady clock; wraps after 2^32 ms.
// Measure intervals with unsigned subtraction: GetTickCountMs() - start.
uint32_t GetTickCountMs();

// Blocks the calling thread; 0 yields the rest of the time slice.
void SleepMs(uint32_t milliseconds);

constexpr uint32_t kInfinite = 0xFFFFFFFFu;

enum class WaitResult { First, Second, Timeout };

// An event object. A manual-reset event stays signalled until Reset() and
// releases every waiter; an auto-reset event releases one waiter and resets
// itself as it does so.
class SyncEvent {
public:
  explicit SyncEvent(bool manualReset, bool initiallySignalled = false);
  SyncEvent(const SyncEvent&) = delete;
  SyncEvent& operator=(const SyncEvent&) = delete;

  void Set();
  void Reset();
  // Releases the threads waiting right now (all of them for manual reset, one
  // for auto reset) and leaves the event non-signalled.
  void Pulse();
  // Signalled state, tested without waiting and without consuming it.
  bool IsSignalled() const;

private:
  friend WaitResult WaitForEvent(SyncEvent&, uint32_t);
  friend WaitResult WaitForEitherEvent(SyncEvent&, SyncEvent&, uint32_t);
  bool TryConsumeLocked(uint64_t generationAtStart);

  const bool manualReset_;
  bool signalled_;
  uint64_t pulseGeneration_ = 0;  // bumped by Pulse(); releases waiters that began before it
  int pendingPulses_ = 0;         // auto reset: waiters a pulse still has to release
  int waiters_ = 0;
};

// Waits until the event is signalled (consuming it if auto-reset) or the
// time-out in milliseconds passes (kInfinite waits for ever).
WaitResult WaitForEvent(SyncEvent& event, uint32_t timeoutMs);

// Waits for whichever of two events is signalled first; when both are, the
// first one wins. Only the event reported is consumed.
WaitResult WaitForEitherEvent(SyncEvent& first, SyncEvent& second, uint32_t timeoutMs);
