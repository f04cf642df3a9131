#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace {
constexpr long kSignalCheckMs = 50;
}  // namespace

// The stop signals are blocked in every thread (later threads inherit the
// mask) and taken by the watcher with sigtimedwait.
struct StopSignals::SystemState {
  sigset_t signals{};
  sigset_t previousMask{};
};

StopSignals::StopSignals(std::function<void()> onStop)
    : onStop_(std::move(onStop)), system_(std::make_unique<SystemState>()) {
  sigemptyset(&system_->signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&system_->signals, signal);
  pthread_sigmask(SIG_BLOCK, &system_->signals, &system_->previousMask);  // inherited by later threads
  watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
  ending_.store(true);
  watcher_.join();
  // A signal that came too late to matter is dropped rather than acted on
  // once unblocked.
  timespec none{0, 0};
  while (sigtimedwait(&system_->signals, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &system_->previousMask, nullptr);
}

void StopSignals::Watch() {
  const timespec step{0, kSignalCheckMs * 1000000};
  while (!ending_.load()) {
    int signal = sigtimedwait(&system_->signals, nullptr, &step);
    if (signal <= 0) continue;
    Take(signal);
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }
