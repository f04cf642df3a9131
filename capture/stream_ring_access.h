// What the ring readers (the capture loop, the live PAT probe) see of the
// driver: the mapped ring, its write offset and the clock. The capture fills
// it from the open box; tests drive the readers with a ring of their own and
// a clock that only moves when a reader sleeps.
#pragma once

#include <cstdint>
#include <functional>

// Ring length and the size of the chunks size-limited captures write, by
// model number.
struct StreamLayout {
  uint32_t ringSize;
  uint32_t chunkSize;
};
StreamLayout GetStreamLayout(int model);

struct StreamRingAccess {
  const uint8_t* ring = nullptr;
  StreamLayout layout{};
  std::function<bool(uint32_t* writeOffset)> writeOffset;  // as GetStreamWritePosition
  std::function<uint64_t()> nowMs;                          // steady milliseconds
  std::function<void(uint32_t milliseconds)> sleepMs;
  // Called just before a reader copies a backlog out of the ring; unset in
  // a capture. Tests let their driver write on here, as a real one may
  // between a reader's look at the ring and its copy.
  std::function<void()> copying;
  // The box passes one PID only: its packets may come seconds apart, so a
  // gap in a time-limited capture counts against the longer stall limit.
  bool onePid = false;
};
