// The event log of a monitor (--events FILE): one JSON object per line for
// every error occurrence and every change of an input's state, with the UTC
// time and the input's name, for an operator's grep and a log shipper.
#pragma once

#include <chrono>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/health/stream_health.h"
#include "monitoring/monitored_input.h"
#include "netinput/ts_datagram.h"

// "2026-12-08T01:02:03.456Z"
std::string UtcTimeText(std::chrono::system_clock::time_point time);

// The error events between two snapshots of one input: one per occurrence
// the engine kept (its first ones per check), and for each check whose count
// grew past what was kept, one event with the number of further occurrences.
std::vector<std::string> ErrorEvents(const std::string& input, const std::string& time, const HealthResult& before,
                                     const HealthResult& after);
// A state change ("receiving", "stopped" with the reason, ...).
std::string StateEvent(const std::string& input, const std::string& time, InputState state, const std::string& reason);
// Datagrams lost on the way since the last look (RTP sequence gaps).
std::string NetworkLossEvent(const std::string& input, const std::string& time, uint64_t newlyLost, uint64_t totalLost);

class EventLog {
public:
  // Appends to `path`; false with the reason in `error`.
  bool Open(const std::string& path, std::string* error);
  ~EventLog();
  bool IsOpen() const { return file_ != nullptr; }
  // Writes the lines and flushes them; a write error is reported once on stderr.
  void Write(const std::vector<std::string>& lines);

private:
  std::FILE* file_ = nullptr;
  std::string path_;
  bool failed_ = false;
};
