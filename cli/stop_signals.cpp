#include "cli/stop_signals.h"

#include <pthread.h>

#include <ctime>

#include "platform/sync.h"

namespace {
constexpr long kSignalCheckMs = 50;
}  // namespace

StopSignals::StopSignals(std::function<void()> onStop) : onStop_(std::move(onStop)) {
  sigemptyset(&signals_);
  for (int signal : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&signals_, signal);
  pthread_sigmask(SIG_BLOCK, &signals_, &previousMask_);  // inherited by later threads
  watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
  ending_.store(true);
  watcher_.join();
  // A signal that came too late to matter is dropped rather than acted on
  // once unblocked.
  timespec none{0, 0};
  while (sigtimedwait(&signals_, nullptr, &none) > 0) {
  }
  pthread_sigmask(SIG_SETMASK, &previousMask_, nullptr);
}

void StopSignals::Watch() {
  const timespec step{0, kSignalCheckMs * 1000000};
  while (!ending_.load()) {
    int signal = sigtimedwait(&signals_, nullptr, &step);
    if (signal <= 0) continue;
    if (received_.load() == 0) {
      receivedTick_.store(GetTickCountMs());
      received_.store(signal);
    }
    onStop_();
  }
}
