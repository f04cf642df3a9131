// The signal monitor behind the capture settings dialogs and the Antenna
// Tuning Utility: a worker that, once asked, tunes the box with the settings
// block until a tune succeeds and then polls the signal status, and the
// values it leaves for the dialog's painting.
//
// Everything the worker uses lives in MonitorShared, owned jointly by the
// dialog's SignalMonitor and the worker, so the worker never touches the
// dialog. The dialog stops the worker before it goes: the stop event first,
// then, for a worker still inside a device request or a tuning sequence,
// CancelTunerRequests; it never destroys anything under a running worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <thread>

#include "platform/sync.h"

// How "Apply" (or "Tuning") wakes the worker: a signal is kept until the
// worker waits; a pulse only wakes a worker that is waiting at that moment.
enum class MonitorWake { Signal, Pulse };

struct MonitorConfig {
  uint32_t waitTimeoutMs;    // the worker acts at least this often
  MonitorWake wake;
  uint32_t stopWaitMs;       // the longest the dialog waits for its worker to end
};

// What the display shows.
struct SignalReadout {
  bool monitoring = false;   // false until the first "Apply" / "Tuning"
  int strength = 0;          // percent, as the box reports it
  int quality = 0;
  int locked = 0;            // non-zero while the box reports lock
};

// The state a dialog shares with its worker.
struct MonitorShared {
  explicit MonitorShared(const MonitorConfig& config) : config(config) {}

  const MonitorConfig config;
  SyncEvent stopEvent{true};
  SyncEvent wakeEvent{false};
  SyncEvent finished{true};    // set by the worker as it ends

  // A worker that outlived the dialog's stop wait leaves device requests
  // cancelled until it has ended, so it cannot finish a tuning sequence
  // beside the next user of the box; it resumes them itself as it ends.
  std::mutex endLock;
  bool ended = false;                 // guarded by endLock
  bool resumeRequestsAtEnd = false;   // guarded by endLock

  // The value lock: guards everything below. Held only to read or store
  // values, never across a device request, so neither the painting nor the
  // worker ever waits on it for more than a moment.
  mutable std::mutex valueLock;
  SignalReadout readout;
  bool tuned = false;
  // Bumped by every "Apply": a tune or query that began before it must not
  // leave its result for the new channel.
  uint32_t requestGeneration = 0;

  // Device requests the worker made (tunes and signal queries), for tests.
  std::atomic<int> tuneCount{0};
};

// The worker's entry: waits for the stop or the wake event with the
// configured time-out; on a wake or a time-out, while monitoring, tunes with
// the settings block (model -1) until a tune succeeds, then polls
// GetSignalStatus. Returns 1 when told to stop.
int MonitorThreadProc(std::shared_ptr<MonitorShared> shared);

// One monitor: the dialog's handle on its worker.
class SignalMonitor {
public:
  explicit SignalMonitor(const MonitorConfig& config);
  ~SignalMonitor();
  SignalMonitor(const SignalMonitor&) = delete;
  SignalMonitor& operator=(const SignalMonitor&) = delete;

  // Starts the worker (idle until Request).
  void Start();
  // "Apply" / "Tuning": monitoring on, not tuned, values 0; wakes the worker.
  void Request();
  // The values for painting.
  SignalReadout Read() const;
  // Ends the worker: sets the stop event; a worker that has not ended after a
  // short grace has its device requests cancelled. Waits at most stopWaitMs;
  // a worker that outlives that is left to end on its own, holding only
  // the shared state, and requests stay cancelled until it has ended.
  // Idempotent. true when the worker had ended (or none ran), false when it
  // was left to end on its own.
  bool Stop();

  bool IsRunning() const { return worker_.joinable(); }
  int TuneCount() const { return shared_->tuneCount.load(); }

private:
  std::shared_ptr<MonitorShared> shared_;
  std::thread worker_;
};

// Signal values as the display shows them: clamped to 0..100, so a full
// 100 % reads 100 and a level byte above 100 never wraps round.
int ClampSignalPercent(int value);
