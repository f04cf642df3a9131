// The stream clock: stream time as a function of the byte position in the
// input (the time axis), built from the PCRs of a PID that a PMT names as
// PCR_PID (one at a time: the PCR checks choose which). Between two PCRs
// time is linear in the position; beyond the last one it runs at the last
// rate.
#pragma once

#include <cstdint>
#include <optional>

#include "analysis/health/health_checks.h"

namespace health {

class StreamClock {
public:
  // The first analysed packet: stream time 0.
  void SetOrigin(uint64_t axis) {
    if (!originKnown_) originAxis_ = axis, originKnown_ = true;
  }
  // A PCR of a clock PID at `mark`: `step` seconds since the PID's previous
  // PCR at `previousAxis`, or negative when the two cannot be compared (a
  // discontinuity, the first PCR). Returns true when the clock advanced to
  // `mark`. Steps longer than `longStepS` are believed only when they keep
  // the rate within a factor of two.
  bool Tick(const Mark& mark, double step, uint64_t previousAxis, double longStepS);
  // Bytes were lost in unknown number: no rate is taken across them.
  void Gap() { gapPending_ = true; }

  bool Valid() const { return valid_; }
  // Seconds since the first packet (valid clock only): exact up to the
  // latest PCR, at the latest rate beyond it.
  double At(uint64_t axis) const {
    return anchorTime_ + (static_cast<double>(axis) - static_cast<double>(anchor_.offset)) * secondsPerByte_ -
           originTime_;
  }
  const Mark& anchor() const { return anchor_; }
  // The latest rate: what the clock runs at beyond its anchor.
  double SecondsPerAxisUnit() const { return secondsPerByte_; }
  // Mux bitrate in 188-byte packets between the first and the latest PCR.
  std::optional<double> Bitrate() const;
  // Over about the last second of stream time.
  std::optional<double> RecentBitrate() const;

private:
  bool originKnown_ = false;
  uint64_t originAxis_ = 0;
  double originTime_ = 0;
  bool haveAnchor_ = false;
  bool valid_ = false;
  bool gapPending_ = false;
  Mark anchor_;
  double anchorTime_ = 0;  // seconds since the first anchor
  double secondsPerByte_ = 0;
  Mark firstAnchor_;
  double firstAnchorTime_ = 0;
  Mark windowAnchor_;
  double windowAnchorTime_ = 0;
  double recentBitrate_ = -1;
};

}  // namespace health
