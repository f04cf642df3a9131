#include "analysis/health/health_clock.h"

namespace health {

namespace {
constexpr double kBitsPerPacket = 188.0 * 8.0;
}

bool StreamClock::Tick(const Mark& mark, double step, uint64_t previousAxis, double longStepS) {
  const bool gap = gapPending_;
  gapPending_ = false;
  if (!haveAnchor_) {
    haveAnchor_ = true;
    anchor_ = firstAnchor_ = windowAnchor_ = mark;
    anchorTime_ = firstAnchorTime_ = windowAnchorTime_ = 0;
    return false;
  }
  if (mark.offset <= anchor_.offset) return false;
  double rate = -1;
  if (!gap && step > 0 && mark.offset > previousAxis) {
    rate = step / static_cast<double>(mark.offset - previousAxis);
    // A long step is believed when it keeps the rate within a factor of two.
    if (step > longStepS && valid_ && !(rate > 0.5 * secondsPerByte_ && rate < 2 * secondsPerByte_)) rate = -1;
  }
  if (rate < 0 && !valid_) {
    // No rate yet: the clock starts afresh here.
    anchor_ = firstAnchor_ = windowAnchor_ = mark;
    anchorTime_ = firstAnchorTime_ = windowAnchorTime_ = 0;
    return false;
  }
  if (rate > 0) secondsPerByte_ = rate;
  anchorTime_ += static_cast<double>(mark.offset - anchor_.offset) * secondsPerByte_;
  anchor_ = mark;
  if (!valid_) {
    valid_ = true;
    // Time 0 is the first packet, before the first PCR at the first rate.
    originTime_ = firstAnchorTime_ - (static_cast<double>(firstAnchor_.offset) - static_cast<double>(originAxis_)) *
                                         secondsPerByte_;
  }
  if (anchorTime_ - windowAnchorTime_ >= 1.0) {
    recentBitrate_ = static_cast<double>(anchor_.packet - windowAnchor_.packet) * kBitsPerPacket /
                     (anchorTime_ - windowAnchorTime_);
    windowAnchor_ = anchor_;
    windowAnchorTime_ = anchorTime_;
  }
  return true;
}

std::optional<double> StreamClock::Bitrate() const {
  if (!valid_ || anchorTime_ <= firstAnchorTime_) return std::nullopt;
  return static_cast<double>(anchor_.packet - firstAnchor_.packet) * kBitsPerPacket / (anchorTime_ - firstAnchorTime_);
}

std::optional<double> StreamClock::RecentBitrate() const {
  if (recentBitrate_ >= 0) return recentBitrate_;
  return Bitrate();
}

}  // namespace health
