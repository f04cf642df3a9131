// Arrival timestamps of 192-byte packets (M2TS, TTS): a 4-byte prefix whose
// low 30 bits count a 27 MHz clock at the packet's arrival, wrapping at
// 2^30. Where every packet carries one that moves forward by a plausible
// step, they are the stream's time reference: they tick the stream clock
// (which then lives on when PCRs stop) and they are the axis the PCRs are
// judged against. The first stamp that does not move forward by a
// believable step (it stays, goes back or jumps) ends that for the rest of
// the stream: the PCRs and the byte position take over. After a sync loss
// the 4 bytes in front of the regained packet may be what was left of the
// lost bytes: the stamps re-anchor on them (or on the next one) instead.
#pragma once

#include <cstdint>

#include "analysis/health/health_checks.h"

namespace health {

class ArrivalStamps {
public:
  // How far apart the clock is ticked, in 27 MHz ticks (10 ms).
  static constexpr uint64_t kTickSpacing = 270'000;
  // The believable steps between two packets: more than a second is a
  // jump; less than 40 ticks (1.5 us) is 192 bytes at over 1 Gbit/s.
  static constexpr uint64_t kMinStep = 40;
  static constexpr uint64_t kMaxStep = 27'000'000;
  static constexpr uint32_t kStampMask = (uint32_t{1} << 30) - 1;

  enum class Taken {
    Step,        // the stamp moves time on (or is the first)
    Reanchored,  // after a resync: time starts afresh from it, nothing measured across
    Abandoned,   // the stamps are no longer the reference
  };
  // The next packet's prefix, its 4 bytes big-endian.
  Taken Take(uint32_t prefix) {
    if (!inUse_) return Taken::Abandoned;
    const uint32_t stamp = prefix & kStampMask;
    const bool grace = reanchors_ > 0;
    if (grace) --reanchors_;
    if (!have_) {
      have_ = true;
      last_ = stamp;
      return Taken::Step;
    }
    const uint64_t step = (stamp - last_) & kStampMask;
    if (step < kMinStep || step > kMaxStep) {
      if (grace) {
        last_ = stamp;
        return Taken::Reanchored;
      }
      Abandon();
      return Taken::Abandoned;
    }
    last_ = stamp;
    ticks_ += step;
    return Taken::Step;
  }
  // Bytes were lost: the next stamp starts afresh.
  void Gap() { have_ = false; }
  // Sync was regained after a loss: the stamp in front of the regained
  // packet, and the one after it, re-anchor the time where they do not step
  // on plausibly.
  void Resynced() { reanchors_ = 2; }
  void Abandon() { inUse_ = false; }

  bool inUse() const { return inUse_; }
  // Ticks since the first stamp, unwrapped.
  uint64_t ticks() const { return ticks_; }
  // Whether the clock is due a tick: the ticks since the previous one and
  // where that was.
  bool TickDue() const { return ticks_ - tickedTicks_ >= kTickSpacing; }
  double SecondsSinceTick() const { return static_cast<double>(ticks_ - tickedTicks_) / 27e6; }
  uint64_t tickedAxis() const { return tickedAxis_; }
  void Ticked(const Mark& mark) {
    tickedTicks_ = ticks_;
    tickedAxis_ = mark.offset;
  }

private:
  bool inUse_ = true;
  bool have_ = false;
  int reanchors_ = 0;
  uint32_t last_ = 0;
  uint64_t ticks_ = 0;
  uint64_t tickedTicks_ = 0;
  uint64_t tickedAxis_ = 0;
};

}  // namespace health
