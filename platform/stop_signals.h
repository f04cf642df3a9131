// The user's stop requests for commands that talk to the tuner box: Ctrl-C,
// SIGTERM and SIGHUP on Linux; Ctrl-C, Ctrl-Break and closing the console on
// Windows. They are taken by a watcher thread, which calls the command's stop
// action (so no device request is ever interrupted half-way; the action may
// cancel them).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <thread>

class StopSignals {
public:
  // `onStop` runs on the watcher thread at every stop request.
  explicit StopSignals(std::function<void()> onStop);
  ~StopSignals();
  StopSignals(const StopSignals&) = delete;
  StopSignals& operator=(const StopSignals&) = delete;

  // The first stop request taken (the signal number on Linux), 0 for none;
  // and when it came (GetTickCountMs).
  int Received() const { return received_.load(); }
  uint32_t ReceivedTick() const { return receivedTick_.load(); }

  struct SystemState;  // how the system delivers the requests (posix/, win32/)

private:
  void Watch();
  void Take(int request);

  std::function<void()> onStop_;
  std::unique_ptr<SystemState> system_;
  std::atomic<bool> ending_{false};
  std::atomic<int> received_{0};
  std::atomic<uint32_t> receivedTick_{0};
  std::thread watcher_;
};

// From now on a pipe whose reader went away fails the write (EPIPE) instead
// of ending the process (SIGPIPE on Linux; Windows writes fail anyway).
void IgnoreBrokenPipes();
