// What the parts of the health engine share: the limits, the check board,
// the stream clock, the interval trackers and what each PID is for.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/health/health_checks.h"
#include "analysis/health/health_clock.h"
#include "analysis/health/health_intervals.h"
#include "analysis/health/stream_health.h"

namespace health {

constexpr int kPidCount = 8192;
constexpr int kNullPid = 0x1FFF;

// What the PSI in force says a PID is for.
enum PidRoleBits : uint8_t {
  kRoleSections = 1,  // sections are assembled
  kRolePmt = 2,       // a PMT PID of the PAT
  kRoleEs = 4,        // an elementary stream a PMT names
  kRolePts = 8,       // video or audio: PTS spacing checked
  kRolePcr = 16,      // a PMT's PCR_PID: PCR checks, and a stream clock
  kRoleAsked = 32,    // sections asked for from outside
};

struct PidRole {
  uint8_t roles = 0;
  int32_t pmtTracker = -1;
  int32_t presenceTracker = -1;
  int32_t ptsTracker = -1;
  int32_t pcrTracker = -1;
  double presenceLimit = 0;  // of presenceTracker
  int program = -1;          // first program referencing it
  bool pcrSeen = false;      // a PCR since it became a PCR_PID
  uint64_t pcrDeclaredPacket = 0;  // the packet that made it one
};

struct HealthContext {
  explicit HealthContext(const HealthLimits& l) : limits(l), board(l.maxOccurrences), pids(kPidCount) {}
  HealthLimits limits;
  CheckBoard board;
  StreamClock clock;
  IntervalTrackers trackers;
  std::vector<PidRole> pids;
  StreamObserver* observer = nullptr;
  // Whether the arrival timestamps of 192-byte packets time the stream,
  // and the current packet's (27 MHz ticks since the first).
  bool arrivalClock = false;
  uint64_t arrivalTicks = 0;
};

}  // namespace health
