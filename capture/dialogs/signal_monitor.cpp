#include "capture/dialogs/signal_monitor.h"

#include <algorithm>

#include "capture/capture_settings.h"
#include "device/tuner_device.h"
#include "ui/shell_state.h"

namespace {

// A worker waiting on its events ends at once; one that has not ended within
// this time is inside a device request and gets it cancelled.
constexpr uint32_t kStopGraceMs = 100;

// A request that failed while requests were not cancelled on purpose may
// mean the box went away: the frame reopens it at the next device command.
void NoteFailedRequest(int result) {
  if (result == 0 && !TunerRequestsCancelled()) bDeviceRequestFailed.store(1);
}

void RunMonitorStep(MonitorShared& shared) {
  uint32_t generation = 0;
  bool tuned = false;
  {
    std::lock_guard<std::mutex> lock(shared.valueLock);
    if (!shared.readout.monitoring) return;
    generation = shared.requestGeneration;
    tuned = shared.tuned;
  }
  if (!tuned) {
    const CaptureSettingsBlock block = GetSettingsBlock();
    const int result = TuneChannel(-1, block.channel, block.capture);
    shared.tuneCount.store(shared.tuneCount.load(std::memory_order_relaxed) + 1, std::memory_order_relaxed);
    NoteFailedRequest(result);
    std::lock_guard<std::mutex> lock(shared.valueLock);
    if (shared.requestGeneration == generation) shared.tuned = result != 0;
    return;
  }
  // The outputs get defined values: a failed query may leave them untouched.
  int strength = 0;
  int quality = 0;
  int locked = 0;
  const int ok = GetSignalStatus(&strength, &quality, &locked);
  NoteFailedRequest(ok);
  std::lock_guard<std::mutex> lock(shared.valueLock);
  if (shared.requestGeneration != generation) return;
  shared.readout.locked = locked;
  // A failed query shows 0: the last values would stay frozen on screen
  // after the box went away.
  shared.readout.strength = ok ? strength : 0;
  shared.readout.quality = ok ? quality : 0;
}

}  // namespace

int MonitorThreadProc(std::shared_ptr<MonitorShared> shared) {
  for (;;) {
    const WaitResult woken = WaitForEitherEvent(shared->stopEvent, shared->wakeEvent, shared->config.waitTimeoutMs);
    if (woken == WaitResult::First) break;
    RunMonitorStep(*shared);
  }
  {
    std::lock_guard<std::mutex> lock(shared->endLock);
    shared->ended = true;
    if (shared->resumeRequestsAtEnd) ResumeTunerRequests();
  }
  shared->finished.Set();
  return 1;
}

SignalMonitor::SignalMonitor(const MonitorConfig& config) : shared_(std::make_shared<MonitorShared>(config)) {}

SignalMonitor::~SignalMonitor() { Stop(); }

void SignalMonitor::Start() {
  if (worker_.joinable()) return;
  shared_->stopEvent.Reset();
  worker_ = std::thread([shared = shared_] { MonitorThreadProc(shared); });
}

void SignalMonitor::Request() {
  {
    std::lock_guard<std::mutex> lock(shared_->valueLock);
    shared_->readout = SignalReadout{};
    shared_->readout.monitoring = true;
    shared_->tuned = false;
    ++shared_->requestGeneration;
  }
  if (shared_->config.wake == MonitorWake::Pulse) shared_->wakeEvent.Pulse();
  else shared_->wakeEvent.Set();
}

SignalReadout SignalMonitor::Read() const {
  std::lock_guard<std::mutex> lock(shared_->valueLock);
  return shared_->readout;
}

bool SignalMonitor::Stop() {
  if (!worker_.joinable()) return true;
  shared_->stopEvent.Set();
  const uint32_t grace = std::min(kStopGraceMs, shared_->config.stopWaitMs);
  bool ended = WaitForEvent(shared_->finished, grace) == WaitResult::First;
  if (!ended) {
    CancelTunerRequests();
    WaitForEvent(shared_->finished, shared_->config.stopWaitMs - grace);
    std::lock_guard<std::mutex> lock(shared_->endLock);
    ended = shared_->ended;
    if (ended) ResumeTunerRequests();
    else shared_->resumeRequestsAtEnd = true;  // the worker resumes them as it ends
  }
  if (ended) worker_.join();
  else worker_.detach();  // it holds only the shared state and ends at its next step
  return ended;
}

int ClampSignalPercent(int value) { return std::clamp(value, 0, 100); }
