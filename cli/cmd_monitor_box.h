// The tuner box as one input of `monitor --input box ...`: its stream ring,
// looked at on every pass of the monitor's loop. A box that stops answering
// (unplugged, its program ended) is closed and then opened, tuned to the same
// channel and started again, on a worker thread so that the other inputs go
// on meanwhile: the first try 1 s after it went, then every 2, 4, 5, 5, ... s
// until the box is back.
#pragma once

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_settings.h"
#include "capture/stream_ring_feeder.h"
#include "monitoring/monitored_input.h"

// What opening the box again needs: the model it was, the channel, the lock wait.
struct BoxTuning {
  int model = 0;
  CaptureSettingsBlock block{};
  uint32_t lockMs = 0;
};

class BoxSource : public StreamSource {
public:
  using Clock = std::chrono::steady_clock;
  static constexpr auto kFirstRetry = std::chrono::seconds(1);
  static constexpr auto kLongestRetry = std::chrono::seconds(5);

  // The box is open and streams into `ring`.
  BoxSource(const uint8_t* ring, uint32_t ringSize, const BoxTuning& tuning);
  // Ends a reopening under way (cancelling its requests) and waits for it.
  ~BoxSource() override;
  BoxSource(const BoxSource&) = delete;
  BoxSource& operator=(const BoxSource&) = delete;

  int PollFd() const override { return -1; }
  bool Pump(StreamHealth& health, std::string* error) override;
  uint64_t BytesFed() const override { return fedBefore_ + (feeder_ ? feeder_->bytes() : 0); }
  double SilenceLimitS() const override;
  // Nothing while the box is away.
  std::optional<SignalReading> Signal() override;
  uint64_t Overruns() const override { return overrunsBefore_ + (feeder_ ? feeder_->overruns() : 0); }
  // Times the box came back.
  uint64_t reopened() const { return reopened_; }

private:
  void Lost(Clock::time_point now);
  void Reopen();  // on the worker

  BoxTuning tuning_;
  std::unique_ptr<StreamRingFeeder> feeder_;  // null while the box is away
  uint64_t fedBefore_ = 0, overrunsBefore_ = 0;
  uint64_t reopened_ = 0;
  Clock::duration retry_ = kFirstRetry;
  Clock::time_point nextTry_{};
  std::string lostReason_;
  std::thread worker_;
  // Set by the worker when it ends; what it found is valid from then on.
  std::atomic<bool> workerDone_{false};
  const uint8_t* reopenedRing_ = nullptr;
  uint32_t reopenedRingSize_ = 0;
};
