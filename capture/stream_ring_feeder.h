// Feeds the open box's stream ring to the stream health engine: what the
// driver wrote since the last poll goes to the engine, a backlog the driver
// may already be overwriting is dropped as a gap (counted), never read. The
// reader of `vantrel-cli monitor` and of the Live Stream Analysis window.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>

#include "analysis/health/stream_health.h"

class StreamRingFeeder {
public:
  StreamRingFeeder(const uint8_t* ring, uint32_t ringSize) : ring_(ring), ringSize_(ringSize) {}

  // false when the write offset cannot be read or lies outside the ring.
  bool Poll(StreamHealth& health);
  // The same for any reader: `data` receives the new bytes in order (in up
  // to two pieces at the ring's end), `gap` each backlog dropped.
  bool Poll(const std::function<void(const uint8_t*, size_t)>& data, const std::function<void()>& gap);

  uint64_t overruns() const { return overruns_; }
  // Bytes fed to the engine.
  uint64_t bytes() const { return bytes_; }
  // Bytes the driver wrote, the dropped backlogs included.
  uint64_t received() const { return received_; }

private:
  const uint8_t* ring_;
  uint32_t ringSize_;
  uint32_t read_ = 0;
  uint64_t overruns_ = 0;
  uint64_t bytes_ = 0;
  uint64_t received_ = 0;
};
