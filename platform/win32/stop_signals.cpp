#include "platform/stop_signals.h"

#include <windows.h>

#include <condition_variable>
#include <deque>
#include <mutex>

namespace {
// How long a console close waits for the command to end before returning
// to the system, which then ends the process (it allows about 5 s).
constexpr auto kCloseGrace = std::chrono::milliseconds(4500);
}  // namespace

// The console's control handler runs on a thread of its own; it queues the
// request for the watcher thread, so that the stop action runs where it does
// on Linux.
struct StopSignals::SystemState {
  std::mutex mutex;
  std::condition_variable changed;
  std::deque<int> requests;
  bool watcherDone = false;
};

namespace {

std::mutex activeMutex;
StopSignals::SystemState* active = nullptr;

BOOL WINAPI OnConsoleControl(DWORD type) {
  if (type != CTRL_C_EVENT && type != CTRL_BREAK_EVENT && type != CTRL_CLOSE_EVENT) return FALSE;
  std::unique_lock<std::mutex> lock(activeMutex);
  if (!active) return FALSE;
  StopSignals::SystemState* state = active;
  {
    std::lock_guard<std::mutex> queue(state->mutex);
    // Windows numbers its events from 0 (Ctrl-C); a request is never 0.
    state->requests.push_back(static_cast<int>(type) + 1);
  }
  state->changed.notify_all();
  if (type == CTRL_CLOSE_EVENT) {
    // Returning ends the process: let the command finish its file first.
    // activeMutex stays held, so the state outlives this wait.
    std::unique_lock<std::mutex> queue(state->mutex);
    state->changed.wait_for(queue, kCloseGrace, [state] { return state->watcherDone; });
  }
  return TRUE;
}

}  // namespace

StopSignals::StopSignals(std::function<void()> onStop)
    : onStop_(std::move(onStop)), system_(std::make_unique<SystemState>()) {
  {
    std::lock_guard<std::mutex> lock(activeMutex);
    active = system_.get();
  }
  SetConsoleCtrlHandler(OnConsoleControl, TRUE);
  watcher_ = std::thread([this] { Watch(); });
}

StopSignals::~StopSignals() {
  {
    std::lock_guard<std::mutex> queue(system_->mutex);
    ending_.store(true);
  }
  system_->changed.notify_all();
  watcher_.join();  // releases a console close that waits for the end
  {
    std::lock_guard<std::mutex> lock(activeMutex);
    active = nullptr;
  }
  SetConsoleCtrlHandler(OnConsoleControl, FALSE);
}

void StopSignals::Watch() {
  std::unique_lock<std::mutex> queue(system_->mutex);
  while (!ending_.load()) {
    system_->changed.wait(queue, [this] { return ending_.load() || !system_->requests.empty(); });
    while (!system_->requests.empty() && !ending_.load()) {
      const int request = system_->requests.front();
      system_->requests.pop_front();
      queue.unlock();
      Take(request);
      queue.lock();
    }
  }
  system_->watcherDone = true;
  system_->changed.notify_all();
}

void IgnoreBrokenPipes() {}
