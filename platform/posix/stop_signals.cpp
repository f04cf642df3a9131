#include "platform/stop_signals.h"

#include <pthread.h>
#include <signal.h>

#include <ctime>

namespace {
// Sent by the destructor to the watcher alone, so that it ends at once
// rather than at its next look (a command would otherwise exit that late).
int WakeSignal() { return SIGRTMIN; }
}  // namespace

// The stop signals are blocked in every thread (later threads inherit the
// mask) and taken by the watcher with sigwaitinfo.
struct StopSignals::SystemState {
  sigset_t signals{};
  sigset_t signalsAndWake{};
  sigset_t previousMask{};
};

StopSignals::StopSignals(std::function<void()> onStop)
    : onStop_(std::move(onStop)), system_(std::make_unique<SystemState>()) {
  sigemptyset(&system_->signals);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&system_->signals, signal);
  system_->signalsAndWake = system_->signals;
  sigaddset(&system_->signalsAndWake, WakeSignal());
  pthread_sigmask(SIG_BLOCK, &system_->signalsAndWake, &system_->previousMask);  // inherited by later threads
  watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
  ending_.store(true);
  // Pending until taken if the watcher is between two waits.
  pthread_kill(watcher_.native_handle(), WakeSignal());
  watcher_.join();
  // Once a stop was asked for, the command is ending: a request after it
  // changes nothing, also once unblocked (a second Ctrl-C would otherwise
  // end the process before it has said what it kept).
  if (Received() != 0)
    for (int signal : {SIGINT, SIGTERM, SIGHUP}) ::signal(signal, SIG_IGN);
  // A signal that came too late to matter is dropped rather than acted on
  // once unblocked.
  timespec none{0, 0};
  while (sigtimedwait(&system_->signals, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &system_->previousMask, nullptr);
}

void StopSignals::Watch() {
  while (!ending_.load()) {
    const int signal = sigwaitinfo(&system_->signalsAndWake, nullptr);
    if (signal <= 0 || signal == WakeSignal()) continue;
    Take(signal);
  }
}

void IgnoreBrokenPipes() { signal(SIGPIPE, SIG_IGN); }
