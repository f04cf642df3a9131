// Arrival timestamps of 192-byte packets (M2TS, TTS): a 4-byte prefix whose
// low 30 bits count a 27 MHz clock at the packet's arrival, wrapping at
// 2^30. Where every packet carries one that moves forward by a plausible
// step, they are the stream's time reference: they tick the stream clock
// (which then lives on when PCRs stop) and they are the axis the PCRs are
// judged against. The first stamp that does not move forward by a
// believable step (it stays, goes back or jumps) ends that for the rest of
// the stream: the PCRs and the byte position take over.
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

  // The next packet's prefix, its 4 bytes big-endian. Returns false when
  // the stamps stop being the reference here.
  bool Take(uint32_t prefix) {
    if (!inUse_) return false;
    const uint32_t stamp = prefix & kStampMask;
    if (!have_) {
      have_ = true;
      last_ = stamp;
      return true;
    }
    const uint64_t step = (stamp - last_) & kStampMask;
    if (step < kMinStep || step > kMaxStep) {
      Abandon();
      return false;
    }
    last_ = stamp;
    ticks_ += step;
    return true;
  }
  // Bytes were lost: the next stamp starts afresh.
  void Gap() { have_ = false; }
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
  uint32_t last_ = 0;
  uint64_t ticks_ = 0;
  uint64_t tickedTicks_ = 0;
  uint64_t tickedAxis_ = 0;
};

}  // namespace health
