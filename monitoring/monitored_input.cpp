#include "monitoring/monitored_input.h"

#include <cstdio>

const char* InputStateName(InputState state) {
  switch (state) {
    case InputState::Waiting: return "waiting";
    case InputState::Receiving: return "receiving";
    case InputState::Stopped: return "stopped";
  }
  return "?";
}

MonitoredInput::MonitoredInput(std::string name, std::unique_ptr<StreamSource> source, const HealthLimits& limits)
    : name_(std::move(name)), source_(std::move(source)), health_(limits), created_(Clock::now()) {}

std::optional<double> MonitoredInput::SecondsSinceData(Clock::time_point now) const {
  if (!haveData_) return std::nullopt;
  return std::chrono::duration<double>(now - lastData_).count();
}

bool MonitoredInput::Pump(Clock::time_point now, std::string* reason) {
  const InputState before = state_;
  std::string error;
  if (!source_->Pump(health_, &error)) {
    if (state_ != InputState::Stopped || error != lastError_) {
      if (state_ == InputState::Receiving) health_.MarkGap();
      lastError_ = error;
      state_ = InputState::Stopped;
      *reason = error;
      return true;
    }
    return false;
  }
  const uint64_t bytes = source_->BytesFed();
  if (bytes != lastBytes_) {
    lastBytes_ = bytes;
    lastData_ = now;
    haveData_ = true;
    lastError_.clear();
    state_ = InputState::Receiving;
  } else {
    const double silentS = std::chrono::duration<double>(now - (haveData_ ? lastData_ : created_)).count();
    if (silentS >= source_->SilenceLimitS() && state_ != InputState::Stopped) {
      state_ = InputState::Stopped;
      char text[96];
      std::snprintf(text, sizeof text, "no stream bytes for %.0f s", source_->SilenceLimitS());
      lastError_ = text;
    }
  }
  // The bytes before a silence and after it do not follow each other.
  if (state_ == InputState::Stopped && before == InputState::Receiving) health_.MarkGap();
  if (state_ == before) return false;
  *reason = state_ == InputState::Stopped ? lastError_ : "";
  return true;
}

void MonitoredInput::TakeSnapshot() {
  previous_ = std::move(latest_);
  latest_ = health_.Snapshot();
  signal_ = source_->Signal();
}
