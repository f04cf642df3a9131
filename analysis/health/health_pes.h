// PTS_error timing: on each video and audio PID a PMT names, the PES
// packets that start in the stream must carry a PTS at least every
// limit. Only unscrambled PES are judged: a scrambled PES start keeps the
// tracker quiet (its header cannot be read), it is not an error.
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
  const PidRole& role = context.pids[static_cast<size_t>(pid)];
  if (role.ptsTracker < 0) return;
  if (scrambled || PesCarriesPts(payload, length)) context.trackers.Event(role.ptsTracker, mark);
}

}  // namespace health
