// UTC calendar time computed the same way on every system (Windows has no
// gmtime_r, timegm or strptime, and its gmtime_s refuses times before 1970).
#pragma once

#include <cstdint>
#include <ctime>
#include <optional>
#include <string>

// Seconds since 1970-01-01T00:00:00Z as a calendar date and time (tm_year
// from 1900, tm_mon from 0, tm_wday and tm_yday filled).
void UtcCalendar(int64_t seconds, std::tm* out);

// "YYYY-MM-DDTHH:MM:SSZ" as seconds since 1970; nothing for other text.
std::optional<int64_t> ParseUtcText(const std::string& text);

// The local calendar time of `seconds` (thread-safe: localtime_r on Linux,
// localtime_s on Windows); false when the system cannot convert it.
bool LocalCalendar(std::time_t seconds, std::tm* out);
