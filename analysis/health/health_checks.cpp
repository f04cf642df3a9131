#include "analysis/health/health_checks.h"

#include <algorithm>

#include "analysis/health/health_clock.h"
#include "platform/ui_hooks.h"

namespace {

// Priority 1 then priority 2, in TR 101 290 order: a new check goes into
// HealthCheck, kHealthCheckCount and this table, nothing else.
constexpr HealthCheckInfo kCheckInfo[kHealthCheckCount] = {
    {"1.1", "TS_sync_loss", "sync_loss", 1},
    {"1.2", "Sync_byte_error", "sync_byte", 1},
    {"1.3", "PAT_error", "pat", 1},
    {"1.4", "Continuity_count_error", "continuity", 1},
    {"1.5", "PMT_error", "pmt", 1},
    {"1.6", "PID_error", "pid", 1},
    {"2.1", "Transport_error", "transport", 2},
    {"2.2", "CRC_error", "crc", 2},
    {"2.3a", "PCR_repetition_error", "pcr_repetition", 2},
    {"2.3b", "PCR_discontinuity_indicator_error", "pcr_discontinuity", 2},
    {"2.4", "PCR_accuracy_error", "pcr_accuracy", 2},
    {"2.5", "PTS_error", "pts", 2},
    {"2.6", "CAT_error", "cat", 2},
};

}  // namespace

const HealthCheckInfo& GetHealthCheckInfo(HealthCheck check) { return kCheckInfo[static_cast<size_t>(check)]; }

uint64_t HealthResult::TotalErrors() const {
  uint64_t total = 0;
  for (const HealthCheckResult& c : checks)
    if (c.evaluated) total += c.count;
  return total;
}

int HealthResult::ChecksWithErrors() const {
  int n = 0;
  for (const HealthCheckResult& c : checks)
    if (c.evaluated && c.count > 0) ++n;
  return n;
}

HealthVerdict HealthResult::Verdict() const {
  if (packets == 0) return HealthVerdict::NoStream;
  if (TotalErrors() > 0) return HealthVerdict::Errors;
  for (const HealthCheckResult& c : checks)
    if (!c.evaluated) return HealthVerdict::NotEvaluated;
  return HealthVerdict::NoErrors;
}

namespace health {

void CheckBoard::Keep(HealthCheck check, const Mark& mark, int pid, Described described) {
  const size_t c = static_cast<size_t>(check);
  std::vector<HealthOccurrence>& first = results_[c].first;
  HealthOccurrence o;
  o.packetIndex = mark.packet;
  o.byteOffset = mark.offset;
  o.pid = pid;
  o.description = FillTemplate(described.textTemplate, described.values);
  o.descriptionTemplate = std::move(described.textTemplate);
  o.descriptionValues = std::move(described.values);
  // Most reports come in stream order; a gap is reported when it is closed.
  auto at = std::upper_bound(first.begin(), first.end(), mark.offset,
                             [](uint64_t offset, const HealthOccurrence& x) { return offset < x.byteOffset; });
  first.insert(at, std::move(o));
  ++untimed_[c];
  if (first.size() > maxOccurrences_) {
    if (!first.back().timeS) --untimed_[c];
    first.pop_back();
  }
}

void CheckBoard::Amend(HealthCheck check, const Mark& mark, int pid, Described described) {
  std::vector<HealthOccurrence>& first = results_[static_cast<size_t>(check)].first;
  auto at = std::lower_bound(first.begin(), first.end(), mark.offset,
                             [](const HealthOccurrence& x, uint64_t offset) { return x.byteOffset < offset; });
  for (; at != first.end() && at->byteOffset == mark.offset; ++at) {
    if (at->pid != pid || at->packetIndex != mark.packet) continue;
    at->description = FillTemplate(described.textTemplate, described.values);
    at->descriptionTemplate = std::move(described.textTemplate);
    at->descriptionValues = std::move(described.values);
    return;
  }
}

void CheckBoard::TimeUpTo(uint64_t axis, const StreamClock& clock) {
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    if (untimed_[c] == 0) continue;
    for (HealthOccurrence& o : results_[c].first) {
      if (o.byteOffset > axis) break;
      if (!o.timeS) {
        o.timeS = clock.At(o.byteOffset);
        --untimed_[c];
      }
    }
  }
}

void CheckBoard::TimeAll(const StreamClock& clock) { TimeUpTo(UINT64_MAX, clock); }

void SetNotEvaluated(HealthCheckResult& result, std::string reasonTemplate, std::vector<std::string> values) {
  result.evaluated = false;
  result.count = 0;
  result.first.clear();
  result.notEvaluatedTemplate = std::move(reasonTemplate);
  result.notEvaluatedValues = std::move(values);
}

}  // namespace health
