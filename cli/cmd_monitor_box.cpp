#include "cli/cmd_monitor_box.h"

#include <algorithm>

#include "capture/capture_run.h"
#include "capture/stream_ring_access.h"
#include "device/tuner_device.h"

BoxSource::BoxSource(const uint8_t* ring, uint32_t ringSize, const BoxTuning& tuning)
    : tuning_(tuning), feeder_(std::make_unique<StreamRingFeeder>(ring, ringSize)) {}

BoxSource::~BoxSource() {
  if (!worker_.joinable()) return;
  // A stop signal may have cancelled the requests already; then the command resumes them.
  const bool cancelled = TunerRequestsCancelled();
  CancelTunerRequests();
  worker_.join();
  if (!cancelled) ResumeTunerRequests();
}

double BoxSource::SilenceLimitS() const { return kCaptureStallFailMs / 1000.0; }

std::optional<SignalReading> BoxSource::Signal() {
  if (!feeder_) return std::nullopt;
  SignalReading reading;
  int locked = 0;
  if (GetSignalStatus(&reading.strength, &reading.quality, &locked) == 0) return std::nullopt;
  reading.locked = locked != 0;
  return reading;
}

void BoxSource::Lost(Clock::time_point now) {
  fedBefore_ += feeder_->bytes();
  overrunsBefore_ += feeder_->overruns();
  feeder_.reset();
  switch (GetTunerProblem().problem) {
    case TunerProblem::NotAnswering: lostReason_ = "the box stopped answering in time"; break;
    case TunerProblem::InUse: lostReason_ = "the box streams for another program"; break;
    default: lostReason_ = "the box stopped answering the stream position request (unplugged?)"; break;
  }
  lostReason_ += "; opening it again";
  retry_ = kFirstRetry;
  nextTry_ = now + retry_;
}

void BoxSource::Reopen() {
  reopenedRing_ = nullptr;
  // The old handles are dead: every request on them would fail.
  CloseTunerDevice();
  ClearTunerProblem();
  if (OpenTunerDevice() && GetTunerModel() == tuning_.model &&
      TuneChannel(-1, tuning_.block.channel, tuning_.block.capture) &&
      WaitForTunerLock(tuning_.lockMs) == LockWait::Locked) {
    uint8_t* ring = nullptr;
    size_t mapped = 0;
    const StreamLayout layout = GetStreamLayout(tuning_.model);
    if (StartStream(&ring, &mapped) && ring != nullptr && mapped >= layout.ringSize) {
      reopenedRing_ = ring;
      reopenedRingSize_ = layout.ringSize;
    } else if (ring != nullptr) {
      StopStream();
    }
  }
  workerDone_.store(true, std::memory_order_release);
}

bool BoxSource::Pump(StreamHealth& health, std::string* error) {
  const Clock::time_point now = Clock::now();
  if (feeder_) {
    if (feeder_->Poll(health)) return true;
    Lost(now);
  } else if (worker_.joinable() && workerDone_.load(std::memory_order_acquire)) {
    worker_.join();
    if (reopenedRing_ != nullptr) {
      feeder_ = std::make_unique<StreamRingFeeder>(reopenedRing_, reopenedRingSize_);
      ++reopened_;
      if (feeder_->Poll(health)) return true;
      Lost(now);
    } else {
      retry_ = std::min<Clock::duration>(retry_ * 2, kLongestRetry);
      nextTry_ = now + retry_;
    }
  } else if (!worker_.joinable() && now >= nextTry_) {
    workerDone_.store(false);
    worker_ = std::thread([this] { Reopen(); });
  }
  *error = lostReason_;
  return false;
}
