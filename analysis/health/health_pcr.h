// The PCR checks (PCR_repetition, PCR_discontinuity_indicator,
// PCR_accuracy) on the PIDs that a PMT in force names as PCR_PID, and the
// ticks of the stream clock they give. PCRs elsewhere are counted and
// shown (count, largest interval), never judged, never a clock.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <vector>

#include "analysis/health/health_context.h"
#include "analysis/health/health_pcr_accuracy.h"

namespace health {

class PcrChecks {
public:
  explicit PcrChecks(HealthContext& context) : context_(context), pids_(kPidCount) {}

  // The PCR field (6 bytes) of a packet of `pid` at `mark`. Returns true
  // when the stream clock advanced.
  bool OnPcr(int pid, const uint8_t* field, bool discontinuity, const Mark& mark);
  // `pid` is no longer (or newly) a PCR_PID: its accuracy run ends.
  void EndRun(int pid);
  // Bytes were lost: no step is taken across them.
  void Gap();
  // The axis the PCRs are judged against changes (the arrival timestamps
  // stop): every accuracy run ends.
  void AxisChanged();
  // The end of the stream: pending accuracy judgements are made.
  void Finish();

  uint64_t Count(int pid) const { return pids_[static_cast<size_t>(pid)].count; }
  std::optional<double> MaxInterval(int pid) const {
    const PidPcr& s = pids_[static_cast<size_t>(pid)];
    return s.maxInterval >= 0 ? std::optional<double>(s.maxInterval) : std::nullopt;
  }
  const PcrAccuracyTally& accuracy() const { return tally_; }
  // The PID whose PCRs timed the stream last.
  int clockPid() const { return followedPid_; }

private:
  struct PidPcr {
    bool have = false;
    uint64_t last = 0;        // 27 MHz
    uint64_t lastAxis = 0;
    double runSeconds = 0;    // since the start of the accuracy run
    uint64_t runTicks = 0;    // the same in 27 MHz ticks
    PcrAccuracyFit* fit = nullptr;
    double maxInterval = -1;
    uint64_t count = 0;
    // How steadily its PCRs follow the bytes: running means of the seconds
    // per byte of each step and of how far a step strays from that.
    double rate = 0;
    double wobble = 0;
    uint32_t steps = 0;
  };
  // Whether `pid`'s PCRs keep a clock much steadier than the followed PID's.
  bool Steadier(int pid) const;

  HealthContext& context_;
  std::vector<PidPcr> pids_;
  std::map<int, std::unique_ptr<PcrAccuracyFit>> fits_;
  PcrAccuracyTally tally_;
  int followedPid_ = -1;  // the PID whose PCRs tick the clock
  uint64_t followedAxis_ = 0;  // where its latest PCR came
};

// The 27 MHz value of a 6-byte PCR field.
uint64_t DecodePcr(const uint8_t* field);

}  // namespace health
