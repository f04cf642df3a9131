// PTS_error timing: on each video and audio PID a PMT names, the PES
// packets that start in the stream must carry a PTS at least every
// limit. Only unscrambled PES are judged: a scrambled PES start stops the
// tracker (its header cannot be read), the next unscrambled one starts it
// afresh.
#pragma once

#include <cstddef>
#include <cstdint>

#include "analysis/health/health_context.h"

namespace health {

// Whether the PES packet starting at `payload` has a PTS.
bool PesCarriesPts(const uint8_t* payload, size_t length);

// A packet of `pid` with payload_unit_start_indicator set.
inline void OnPesStart(HealthContext& context, int pid, const uint8_t* payload, size_t length, bool scrambled,
                       const Mark& mark) {
  PidRole& role = context.pids[static_cast<size_t>(pid)];
  if (scrambled) {
    context.trackers.Stop(role.ptsTracker, mark);
    role.ptsTracker = -1;
    return;
  }
  if (role.ptsTracker < 0) {
    role.ptsTracker = context.trackers.Start(-1, IntervalKind::Pts, pid, context.limits.ptsIntervalS, mark);
    return;  // Start counts `mark` itself: with or without a PTS, one is due within the limit
  }
  if (PesCarriesPts(payload, length)) context.trackers.Event(role.ptsTracker, mark);
}

}  // namespace health
