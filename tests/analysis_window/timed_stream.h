// A program with a known timing, for the Timing tab's tests and pictures:
// PCRs every 20 ms, video PTS every 40 ms on the clock, audio PTS every
// 24 ms running kTimedAudioPpm fast, and the PCR half a second ahead from
// kTimedJumpAtS on (the PTS do not follow).
#pragma once

#include <cmath>
#include <cstdint>

// Qt's `slots` keyword is a macro: not here, where a stream has slots.
#pragma push_macro("slots")
#undef slots
#include "tests/health/cbr_stream.h"

constexpr double kTimedSeconds = 5.0;
constexpr double kTimedAudioPpm = 250;
constexpr double kTimedJumpAtS = 2.0;
constexpr double kTimedJumpS = 0.5;

inline tsbuild::Bytes TimedStream(double seconds = kTimedSeconds) {
  using namespace healthtest;
  CbrStream s(Slot(seconds));
  // The PCRs first: the other packets take the free slots around them.
  for (double t = 0; Slot(t) < s.slots(); t += 0.020)
    s.Put(Slot(t), PcrPacket(kVideoPid, t >= kTimedJumpAtS - 1e-9 ? static_cast<int64_t>(kTimedJumpS * 27e6) : 0));
  s.SectionEvery(0, StandardPat(), 0.100).SectionEvery(kPmtPid, StandardPmt(), 0.100, 0.001);
  s.PtsEvery(kVideoPid, 0xE0, 0.040, 0.002);
  for (double t = 0.003; Slot(t) < s.slots(); t += 0.024) {
    Scheduled audio;
    audio.header = {.pid = kAudioPid, .pusi = 1};
    audio.payload =
        tsbuild::PesHeaderWithPts(0xC0, static_cast<uint64_t>(std::llround(t * (1 + kTimedAudioPpm * 1e-6) * 90000)));
    s.Put(s.FreeSlot(Slot(t)), audio);
  }
  return s.Build();
}

#pragma pop_macro("slots")
