// The Prometheus text exposition (format 0.0.4) of a monitor's inputs: one
// series per input (and per check, per PID with continuity counts), label
// names that never change, counters that only grow.
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "monitoring/monitored_input.h"

// The metrics of every input from its latest snapshot (MonitoredInput::TakeSnapshot).
std::string RenderMetrics(const std::vector<const MonitoredInput*>& inputs, MonitoredInput::Clock::time_point now);

// A label value with backslash, double quote and newline escaped.
std::string EscapeLabelValue(const std::string& value);
