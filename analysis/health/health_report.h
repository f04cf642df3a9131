// The stream health result as JSON (the shape scripts rely on: packet_size,
// packets, bytes, bitrate_bps, duration_s, pids[], errors{}) and as text.
#pragma once

#include <string>

#include "analysis/health/stream_health.h"

// Pretty-printed JSON with a final newline; null where unknown or not evaluated.
std::string HealthJson(const HealthResult& result);
// The summary, the PID table and the checks, "\n" line ends.
std::string HealthText(const HealthResult& result);
// A service or provider name as stored in the SDT, as text for a report: a
// leading character-table selector is dropped, control codes become blanks.
std::string HealthNameText(const std::string& raw);
