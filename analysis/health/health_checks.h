// The check registry and the board the parts of the engine report to: each
// check's number, name and JSON key, its count, its first occurrences in
// stream order, and why it could not be evaluated.
#pragma once

#include <array>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "analysis/health/stream_health.h"

namespace health {

// Where a packet sits in the input. `offset` (of the packet's first byte,
// prefix included) is also the stream's time axis: bytes skipped or lost
// advance it as much as analysed ones.
struct Mark {
  uint64_t packet = 0;
  uint64_t offset = 0;
};

// An occurrence's description: an English template and the values for its
// %s, in order (translated by the window through the template).
struct Described {
  std::string textTemplate;
  std::vector<std::string> values;
};

template <typename... Args>
std::string Format(const char* format, Args... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}
inline std::string Hex2(int value) { return Format("0x%02X", value); }
inline std::string Hex4(int value) { return Format("0x%04X", value); }
inline std::string Seconds3(double s) { return Format("%.3f", s); }

class StreamClock;

class CheckBoard {
public:
  explicit CheckBoard(size_t maxOccurrences) : maxOccurrences_(maxOccurrences) {}

  // Counts one error; keeps it among the first (by byte offset) when there
  // is room. `describe` is called only when the occurrence is kept.
  template <typename Describe>
  void Report(HealthCheck check, const Mark& mark, int pid, Describe describe) {
    HealthCheckResult& result = results_[static_cast<size_t>(check)];
    ++result.count;
    if (result.first.size() >= maxOccurrences_ && result.first.back().byteOffset <= mark.offset) return;
    Keep(check, mark, pid, describe());
  }
  // Describes anew the kept occurrence of `check` at `mark` on `pid` (a gap
  // reported while still open, once its length is known).
  void Amend(HealthCheck check, const Mark& mark, int pid, Described described);
  // Times the occurrences at or before `axis` that have no time yet.
  void TimeUpTo(uint64_t axis, const StreamClock& clock);
  // Times every occurrence still without one (the end of the stream).
  void TimeAll(const StreamClock& clock);
  uint64_t Count(HealthCheck check) const { return results_[static_cast<size_t>(check)].count; }
  const std::array<HealthCheckResult, kHealthCheckCount>& results() const { return results_; }

private:
  void Keep(HealthCheck check, const Mark& mark, int pid, Described described);

  size_t maxOccurrences_;
  std::array<HealthCheckResult, kHealthCheckCount> results_;
  std::array<size_t, kHealthCheckCount> untimed_{};
};

// A table's short name from its table_id ("SDT actual", "MGT"), or "table_id 0xNN".
std::string TableName(int tableId);

// Why the checks that need time were not evaluated on a stream without a
// clock, depending on whether any PMT names a PCR_PID.
const char* NoClockReason(bool anyPcrPid);

// Counts one error in a result outside the board (judged when the result is
// made), kept among the first by byte offset.
void AddOccurrence(HealthCheckResult& result, const Mark& mark, int pid, Described described, size_t maxOccurrences);

// Marks `result` not evaluated, with the reason, and drops its count.
void SetNotEvaluated(HealthCheckResult& result, std::string reasonTemplate, std::vector<std::string> values);

}  // namespace health
