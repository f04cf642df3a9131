// Ctrl-C, SIGTERM and SIGHUP for commands that talk to the tuner box: the
// signals are blocked in every thread and taken by a watcher thread, which
// calls the command's stop action (so no device request is ever interrupted
// half-way; the action may cancel them).
#pragma once

#include <signal.h>

#include <atomic>
#include <cstdint>
#include <functional>
#include <thread>

class StopSignals {
public:
  // `onStop` runs on the watcher thread at every stop signal.
  explicit StopSignals(std::function<void()> onStop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first stop signal taken, 0 for none; and when it came (GetTickCountMs).
  int Received() const { return received_.load(); }
  uint32_t ReceivedTick() const { return receivedTick_.load(); }

private:
  void Watch();

  std::function<void()> onStop_;
  sigset_t signals_{};
  sigset_t previousMask_{};
  std::atomic<bool> ending_{false};
  std::atomic<int> received_{0};
  std::atomic<uint32_t> receivedTick_{0};
  std::thread watcher_;
};
