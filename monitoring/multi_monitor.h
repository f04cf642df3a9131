// Many inputs watched by one thread: a poll loop over every input's socket
// (inputs without one, such as a tuner box's ring, are looked at on every
// pass, every few milliseconds), the metrics server's sockets, and a tick
// once a second that takes each input's snapshot, reports it and writes the
// events. Each input has its own health engine.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "monitoring/metrics_server.h"
#include "monitoring/monitor_events.h"
#include "monitoring/monitored_input.h"

struct MultiMonitorOptions {
  double seconds = 0;                // 0: until stopped
  MetricsServer* metrics = nullptr;  // may be null
  EventLog* events = nullptr;        // may be null
  // Once a second for each input, after its snapshot: `elapsedS` since the start.
  std::function<void(const MonitoredInput& input, double elapsedS)> onSecond;
};

class MultiMonitor {
public:
  void Add(std::unique_ptr<MonitoredInput> input) { inputs_.push_back(std::move(input)); }
  const std::vector<std::unique_ptr<MonitoredInput>>& inputs() const { return inputs_; }

  // Runs until `stop` is set or the time is up.
  void Run(const std::atomic<bool>& stop, const MultiMonitorOptions& options);

private:
  void Tick(MonitoredInput::Clock::time_point now, double elapsedS, const MultiMonitorOptions& options);

  std::vector<std::unique_ptr<MonitoredInput>> inputs_;
  std::vector<uint64_t> lostSeen_;
};
