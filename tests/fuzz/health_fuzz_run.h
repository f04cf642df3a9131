// One fuzz input run through the stream health engine: fed whole, then in
// pieces whose sizes come from the input itself, with and without a forced
// packet size. Both splits must give the same result. Shared by the
// libFuzzer target and the corpus replay test of the suite.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "analysis/health/health_report.h"
#include "analysis/health/stream_health.h"

// Returns false when the split result differs from the whole one.
inline bool RunHealthOnBytes(const uint8_t* data, size_t size) {
  for (int packetSize : {0, 188, 192, 204, 208}) {
    HealthLimits limits;
    limits.packetSize = packetSize;
    limits.maxSeriesPoints = 16;
    StreamHealth whole(limits);
    whole.Feed(data, size);
    whole.Finish();
    StreamHealth split(limits);
    size_t at = 0;
    for (size_t k = 0; at < size; ++k) {
      const size_t piece = std::min<size_t>(size - at, 1 + (data[k % size] * 7 + k) % 701);
      split.Feed(data + at, piece);
      at += piece;
    }
    split.Finish();
    if (HealthJson(whole.Snapshot()) != HealthJson(split.Snapshot())) return false;
  }
  return true;
}
