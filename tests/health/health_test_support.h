// Feeding test streams to the health engine.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/health/stream_health.h"
#include "tests/support/ts_builder.h"

namespace healthtest {

// The whole of `bytes` in pieces of `piece` bytes (0: one piece), then Finish.
inline HealthResult Analyse(const tsbuild::Bytes& bytes, const HealthLimits& limits = {},
                            size_t piece = 0) {
  StreamHealth health(limits);
  if (piece == 0) piece = bytes.size() + 1;
  for (size_t at = 0; at < bytes.size(); at += piece)
    health.Feed(bytes.data() + at, std::min(piece, bytes.size() - at));
  health.Finish();
  return health.Snapshot();
}

inline uint64_t Count(const HealthResult& r, HealthCheck check) { return r.check(check).count; }

inline const PidStats* FindPid(const HealthResult& r, int pid) {
  for (const PidStats& p : r.pids)
    if (p.pid == pid) return &p;
  return nullptr;
}

}  // namespace healthtest
