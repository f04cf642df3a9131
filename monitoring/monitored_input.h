// One input of a monitor: where its bytes come from (a network address, a
// tuner box's ring), its own stream health engine, and its state. An input
// that falls silent is Stopped until bytes come again; its engine and its
// counters go on, so counters only grow.
#pragma once

#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "analysis/health/stream_health.h"
#include "netinput/ts_datagram.h"

enum class InputState { Waiting, Receiving, Stopped };
const char* InputStateName(InputState state);  // "waiting", "receiving", "stopped"

struct SignalReading {
  bool locked = false;
  int strength = 0;  // percent
  int quality = 0;
};

// Where an input's bytes come from.
class StreamSource {
public:
  virtual ~StreamSource() = default;
  // A descriptor that polls readable when bytes wait; -1 for a source that
  // is looked at on every pass of the loop (a ring).
  virtual int PollFd() const = 0;
  // Feeds what arrived to `health`; false on a failure (`error` says which),
  // after which the source is tried again later.
  virtual bool Pump(StreamHealth& health, std::string* error) = 0;
  // Stream bytes fed so far.
  virtual uint64_t BytesFed() const = 0;
  // How long without bytes makes the input Stopped.
  virtual double SilenceLimitS() const = 0;
  virtual std::optional<SignalReading> Signal() { return std::nullopt; }
  virtual const NetInputStats* Network() const { return nullptr; }
  // Bytes lost before they could be read (ring overruns, truncated datagrams).
  virtual uint64_t Overruns() const { return 0; }
};

class MonitoredInput {
public:
  using Clock = std::chrono::steady_clock;

  MonitoredInput(std::string name, std::unique_ptr<StreamSource> source, const HealthLimits& limits);

  const std::string& name() const { return name_; }
  StreamSource& source() { return *source_; }
  const StreamSource& source() const { return *source_; }
  InputState state() const { return state_; }
  const std::string& lastError() const { return lastError_; }

  // Reads what the source has; updates the state. Returns true when the
  // state changed (`reason` says why).
  bool Pump(Clock::time_point now, std::string* reason);
  // Seconds since the last stream byte, nothing before the first.
  std::optional<double> SecondsSinceData(Clock::time_point now) const;

  // A fresh result and signal reading (once a second), and the result before it.
  void TakeSnapshot();
  const HealthResult& latest() const { return latest_; }
  const std::optional<SignalReading>& signal() const { return signal_; }
  const HealthResult& previous() const { return previous_; }

private:
  std::string name_;
  std::unique_ptr<StreamSource> source_;
  StreamHealth health_;
  InputState state_ = InputState::Waiting;
  std::string lastError_;
  uint64_t lastBytes_ = 0;
  bool haveData_ = false;
  Clock::time_point created_;
  Clock::time_point lastData_;
  HealthResult latest_, previous_;
  std::optional<SignalReading> signal_;
};
