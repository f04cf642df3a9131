#include "analysis/health/health_continuity.h"

#include <cstring>

namespace health {

namespace {

constexpr int kPidCount = 8192;

// Where the PCR sits when the packet carries one: bytes 6 to 11.
bool HasPcr(const uint8_t* p) { return (p[3] & 0x20) && p[4] >= 7 && (p[5] & 0x10); }

}  // namespace

ContinuityChecker::ContinuityChecker(CheckBoard& board) : board_(board), pids_(kPidCount) {}

bool ContinuityChecker::SameAsLast(PidCounter& s, const uint8_t* p) const {
  const uint8_t* last = s.live ? s.live : (s.copy >= 0 ? copies_[static_cast<size_t>(s.copy)].data() : nullptr);
  if (last == nullptr) return false;
  // The sync byte is framing, not content.
  if (HasPcr(p) && HasPcr(last))
    return std::memcmp(p + 1, last + 1, 5) == 0 && std::memcmp(p + 12, last + 12, 188 - 12) == 0;
  return std::memcmp(p + 1, last + 1, 187) == 0;
}

void ContinuityChecker::EndOfBuffer() {
  for (int pid : live_) {
    PidCounter& s = pids_[static_cast<size_t>(pid)];
    if (s.copy < 0) {
      copies_.emplace_back();
      s.copy = static_cast<int32_t>(copies_.size()) - 1;
    }
    std::memcpy(copies_[static_cast<size_t>(s.copy)].data(), s.live, 188);
    s.live = nullptr;
  }
  live_.clear();
}

void ContinuityChecker::Forget(int pid) {
  PidCounter& s = pids_[static_cast<size_t>(pid)];
  s.lastCc = -1;
  s.lastPayloadCc = -1;
  s.duplicateRun = 0;
}

void ContinuityChecker::ForgetAll() {
  EndOfBuffer();
  for (int pid = 0; pid < kPidCount; ++pid) Forget(pid);
}

ContinuityChecker::Counter ContinuityChecker::Break(int pid, PidCounter& s, const Mark& mark, Described described,
                                                    int cc, bool payload) {
  ++s.errors;
  board_.Report(HealthCheck::Continuity, mark, pid, [&] { return std::move(described); });
  s.lastCc = static_cast<int8_t>(cc);
  s.lastPayloadCc = payload ? static_cast<int8_t>(cc) : -1;
  s.duplicateRun = 0;
  return Counter::Broken;
}

ContinuityChecker::Counter ContinuityChecker::CheckOther(const uint8_t* p, int pid, const Mark& mark,
                                                         bool payload, bool discontinuity) {
  PidCounter& s = pids_[static_cast<size_t>(pid)];
  const int cc = p[3] & 0x0F;
  const int last = s.lastCc;
  if (discontinuity || last < 0) {
    s.lastCc = static_cast<int8_t>(cc);
    s.lastPayloadCc = payload ? static_cast<int8_t>(cc) : -1;
    s.duplicateRun = 0;
    if (payload) Remember(pid, s, p);
    return Counter::Follows;
  }
  if (!payload) {
    if (cc == last) return Counter::Follows;
    return Break(pid, s, mark,
                 {"PID %s: continuity_counter %s on a packet without payload, expected %s",
                  {Hex4(pid), std::to_string(cc), std::to_string(last)}},
                 cc, false);
  }
  if (cc == ((last + 1) & 0x0F)) {
    s.lastCc = static_cast<int8_t>(cc);
    s.lastPayloadCc = static_cast<int8_t>(cc);
    s.duplicateRun = 0;
    Remember(pid, s, p);
    return Counter::Follows;
  }
  if (cc == last && s.lastPayloadCc == cc) {
    if (SameAsLast(s, p)) {
      if (s.duplicateRun == 0) {
        s.duplicateRun = 1;
        ++s.duplicates;
        return Counter::Duplicate;
      }
      if (s.duplicateRun == 1) {
        s.duplicateRun = 2;
        ++s.errors;
        board_.Report(HealthCheck::Continuity, mark, pid, [&]() -> Described {
          return {"PID %s: continuity_counter %s repeated more than once", {Hex4(pid), std::to_string(cc)}};
        });
      }
      return Counter::Duplicate;
    }
    // New content under the same counter: 16 packets (or a multiple) lost.
    Remember(pid, s, p);
    return Break(pid, s, mark,
                 {"PID %s: continuity_counter %s repeated on a packet with other content",
                  {Hex4(pid), std::to_string(cc)}},
                 cc, true);
  }
  Remember(pid, s, p);
  return Break(pid, s, mark,
               {"PID %s: continuity_counter %s, expected %s",
                {Hex4(pid), std::to_string(cc), std::to_string((last + 1) & 0x0F)}},
               cc, true);
}

}  // namespace health
