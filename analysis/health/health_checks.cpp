#include "analysis/health/health_checks.h"

#include <algorithm>

#include "analysis/health/health_clock.h"
#include "platform/ui_hooks.h"

namespace {

// Priority 1, 2 then 3, in TR 101 290 order: a new check goes into
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
    {"3.1", "NIT_error", "nit", 3},
    {"3.2", "SI_repetition_error", "si_repetition", 3},
    {"3.4", "Unreferenced_PID", "unreferenced_pid", 3},
    {"3.5", "SDT_error", "sdt", 3},
    {"3.6", "EIT_error", "eit", 3},
    {"3.7", "RST_error", "rst", 3},
    {"3.8", "TDT_error", "tdt", 3},
};

bool ServiceInformationCheck(size_t c) { return kCheckInfo[c].priority == 3; }

struct Tally {
  uint64_t errors = 0;
  int checksWithErrors = 0;
  bool anyEvaluated = false;
  bool allEvaluated = true;
};

// Over the checks of priority 1 and 2, or those of priority 3.
Tally TallyChecks(const HealthResult& r, bool serviceInformation) {
  Tally t;
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    if (ServiceInformationCheck(c) != serviceInformation) continue;
    const HealthCheckResult& result = r.checks[c];
    if (!result.evaluated) {
      t.allEvaluated = false;
      continue;
    }
    t.anyEvaluated = true;
    t.errors += result.count;
    if (result.count > 0) ++t.checksWithErrors;
  }
  return t;
}

HealthVerdict VerdictOf(const HealthResult& r, const Tally& t) {
  if (r.packets == 0) return HealthVerdict::NoStream;
  if (t.errors > 0) return HealthVerdict::Errors;
  return t.allEvaluated ? HealthVerdict::NoErrors : HealthVerdict::NotEvaluated;
}

}  // namespace

const HealthCheckInfo& GetHealthCheckInfo(HealthCheck check) { return kCheckInfo[static_cast<size_t>(check)]; }

uint64_t HealthResult::TotalErrors() const { return TallyChecks(*this, false).errors; }
int HealthResult::ChecksWithErrors() const { return TallyChecks(*this, false).checksWithErrors; }
HealthVerdict HealthResult::Verdict() const { return VerdictOf(*this, TallyChecks(*this, false)); }
uint64_t HealthResult::SiTotalErrors() const { return TallyChecks(*this, true).errors; }
int HealthResult::SiChecksWithErrors() const { return TallyChecks(*this, true).checksWithErrors; }
HealthVerdict HealthResult::SiVerdict() const { return VerdictOf(*this, TallyChecks(*this, true)); }

std::vector<int> HealthResult::NeverSeenPids(const ProgramInfo& program) const {
  std::vector<int> never;
  if (!durationS || *durationS < HealthLimits{}.pidTimeoutS) return never;
  // `pids` holds the PIDs that had packets, ascending.
  for (const ProgramStreamInfo& stream : program.streams) {
    const auto at = std::lower_bound(pids.begin(), pids.end(), stream.pid, [](const PidStats& p, int pid) { return p.pid < pid; });
    if (at == pids.end() || at->pid != stream.pid || at->packets == 0) never.push_back(stream.pid);
  }
  std::sort(never.begin(), never.end());
  never.erase(std::unique(never.begin(), never.end()), never.end());
  return never;
}

namespace health {

namespace {

// Puts the occurrence among `first` in byte order (most reports come in
// stream order; a gap is reported when it is closed).
void InsertOccurrence(std::vector<HealthOccurrence>& first, const Mark& mark, int pid, Described described) {
  HealthOccurrence o;
  o.packetIndex = mark.packet;
  o.byteOffset = mark.offset;
  o.pid = pid;
  o.description = FillTemplate(described.textTemplate, described.values);
  o.descriptionTemplate = std::move(described.textTemplate);
  o.descriptionValues = std::move(described.values);
  auto at = std::upper_bound(first.begin(), first.end(), mark.offset,
                             [](uint64_t offset, const HealthOccurrence& x) { return offset < x.byteOffset; });
  first.insert(at, std::move(o));
}

}  // namespace

void CheckBoard::Keep(HealthCheck check, const Mark& mark, int pid, Described described) {
  const size_t c = static_cast<size_t>(check);
  std::vector<HealthOccurrence>& first = results_[c].first;
  InsertOccurrence(first, mark, pid, std::move(described));
  ++untimed_[c];
  ++untimedTotal_;
  if (first.size() > maxOccurrences_) {
    if (!first.back().timeS) --untimed_[c], --untimedTotal_;
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
  if (untimedTotal_ == 0) return;  // most clock advances
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    if (untimed_[c] == 0) continue;
    for (HealthOccurrence& o : results_[c].first) {
      if (o.byteOffset > axis) break;
      if (!o.timeS) {
        o.timeS = clock.At(o.byteOffset);
        --untimed_[c];
        --untimedTotal_;
      }
    }
  }
}

void CheckBoard::TimeAll(const StreamClock& clock) { TimeUpTo(UINT64_MAX, clock); }

const char* NoClockReason(bool anyPcrPid) {
  return anyPcrPid ? "no PCR on the PCR_PID of any program: the stream has no clock"
                   : "no PMT names a PCR_PID: the stream has no clock";
}

void AddOccurrence(HealthCheckResult& result, const Mark& mark, int pid, Described described, size_t maxOccurrences) {
  ++result.count;
  if (result.first.size() >= maxOccurrences && result.first.back().byteOffset <= mark.offset) return;
  InsertOccurrence(result.first, mark, pid, std::move(described));
  if (result.first.size() > maxOccurrences) result.first.pop_back();
}

void SetNotEvaluated(HealthCheckResult& result, std::string reasonTemplate, std::vector<std::string> values) {
  result.evaluated = false;
  result.count = 0;
  result.first.clear();
  result.notEvaluatedTemplate = std::move(reasonTemplate);
  result.notEvaluatedValues = std::move(values);
}

}  // namespace health
