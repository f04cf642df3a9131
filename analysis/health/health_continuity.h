// Continuity_count_error: per PID, payload packets advance the
// continuity_counter by one, packets without payload repeat it, the
// discontinuity_indicator resets the expectation. A packet may be sent
// twice: the copy repeats every byte of the original except a PCR. The same
// counter on other content is a lost run of (a multiple of 16) packets.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "analysis/health/health_checks.h"

namespace health {

class ContinuityChecker {
public:
  enum class Counter { Follows, Duplicate, Broken };

  explicit ContinuityChecker(CheckBoard& board);

  // `p` is the whole 188-byte packet; it must stay readable until
  // EndOfBuffer().
  [[gnu::always_inline]] Counter Check(const uint8_t* p, int pid, const Mark& mark, bool payload,
                                       bool discontinuity) {
    // Most packets: the next counter, with payload.
    PidCounter& s = pids_[static_cast<size_t>(pid)];
    const int cc = p[3] & 0x0F;
    if (payload && !discontinuity && s.lastCc >= 0 && cc == ((s.lastCc + 1) & 0x0F)) {
      s.lastCc = static_cast<int8_t>(cc);
      s.lastPayloadCc = static_cast<int8_t>(cc);
      s.duplicateRun = 0;
      Remember(pid, s, p);
      return Counter::Follows;
    }
    return CheckOther(p, pid, mark, payload, discontinuity);
  }
  // The counter of `pid` can no longer be trusted (a damaged packet).
  void Forget(int pid);
  // Bytes were lost: nothing is judged across them.
  void ForgetAll();
  // The buffer holding the packets given to Check is about to go.
  void EndOfBuffer();

  uint64_t Errors(int pid) const { return pids_[static_cast<size_t>(pid)].errors; }
  uint64_t Duplicates(int pid) const { return pids_[static_cast<size_t>(pid)].duplicates; }

private:
  struct PidCounter {
    int8_t lastCc = -1;
    int8_t lastPayloadCc = -1;
    uint8_t duplicateRun = 0;
    int32_t copy = -1;              // index in copies_ of the last payload packet
    const uint8_t* live = nullptr;  // or that packet in the caller's buffer
    uint64_t errors = 0;
    uint64_t duplicates = 0;
  };
  Counter CheckOther(const uint8_t* p, int pid, const Mark& mark, bool payload, bool discontinuity);
  bool SameAsLast(PidCounter& s, const uint8_t* p) const;
  void Remember(int pid, PidCounter& s, const uint8_t* p) {
    if (s.live == nullptr) live_.push_back(pid);
    s.live = p;
  }
  Counter Break(int pid, PidCounter& s, const Mark& mark, Described described, int cc, bool payload);

  CheckBoard& board_;
  std::vector<PidCounter> pids_;
  std::vector<std::array<uint8_t, 188>> copies_;
  std::vector<int> live_;  // PIDs whose last payload packet is still in the caller's buffer
};

}  // namespace health
