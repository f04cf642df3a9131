// The stream health result as JSON (the shape scripts rely on: packet_size,
// packets, bytes, bitrate_bps, duration_s, pids[], errors{}) and as text.
#pragma once

#include <cstddef>
#include <string>

#include "analysis/health/stream_health.h"

// Service and provider names are decoded from their character tables
// (DecodeDvbText), the raw bytes kept beside them in *_name_hex.
// JSON with a final newline; null where unknown or not evaluated. Indented
// by `indent` blanks, or on one line when `indent` is negative.
std::string HealthJson(const HealthResult& result, int indent = 2);
// The summary, the PID table and the checks, "\n" line ends; priority 3 in
// a block of its own after the verdict on priorities 1 and 2.
std::string HealthText(const HealthResult& result);
// That priority 3 block alone.
std::string SiChecksText(const HealthResult& result);
// How regularly each table came (count, min/mean/max interval), a table.
std::string SiRepetitionText(const HealthResult& result);

// The PIDs a PMT names that never came are listed beside the verdict up to
// this many, then counted (the JSON lists them all).
constexpr size_t kNeverSeenListed = 8;

// The verdict as the JSON report names it ("no_errors", "errors", ...).
const char* HealthVerdictKey(HealthVerdict verdict);
