// Constant-bitrate test streams for the health engine: packet slots of a
// fixed length on the 27 MHz clock, filled with chosen packets at chosen
// times and null packets elsewhere. Continuity counters and PCR values are
// written when the stream is built, so a test only says what goes where.
#pragma once

#include <cstdint>
#include <map>
#include <vector>

#include "tests/support/ts_builder.h"

namespace healthtest {

using tsbuild::Bytes;

// 1,000 ticks per packet: 27,000 packets a second, 40,608,000 bit/s.
constexpr uint64_t kTicksPerPacket = 1000;
constexpr double kPacketsPerSecond = 27000.0;
constexpr double kCbrBitrate = 188.0 * 8.0 * kPacketsPerSecond;

constexpr int kPmtPid = 0x1000;
constexpr int kVideoPid = 0x100;  // also the PCR PID
constexpr int kAudioPid = 0x101;

inline size_t Slot(double seconds) { return static_cast<size_t>(seconds * kPacketsPerSecond + 0.5); }

struct Scheduled {
  tsbuild::TsHeader header;
  Bytes payload;
  bool pcr = false;
  int64_t pcrOffsetTicks = 0;     // added to the slot's exact PCR
  bool discontinuity = false;
  bool autoCc = true;
  bool raw = false;               // `payload` is the whole packet, written as is
};

class CbrStream {
public:
  explicit CbrStream(size_t slots) : slots_(slots) {}

  // PCR value of slot 0; a stream may start near the PCR wrap.
  CbrStream& PcrStart(uint64_t ticks) {
    pcrStart_ = ticks;
    return *this;
  }
  CbrStream& Put(size_t slot, Scheduled packet) {
    packets_[slot] = std::move(packet);
    return *this;
  }
  // Sections on `pid` (one packet each) every `interval` seconds from
  // `first` until before `until`.
  CbrStream& SectionEvery(int pid, const Bytes& section, double interval, double first = 0, double until = 1e9);
  // PCRs (adaptation-only packets) every `interval` seconds on `pid`.
  CbrStream& PcrEvery(int pid, double interval, double first = 0, double until = 1e9);
  // PES starts with a PTS every `interval` seconds.
  CbrStream& PtsEvery(int pid, int streamId, double interval, double first = 0, double until = 1e9);
  // Empties the slots from `from` to before `until` seconds (null packets).
  CbrStream& Clear(double from, double until);
  // The usual program: PAT and PMT every 100 ms, PCRs every 20 ms on the
  // video PID, video and audio PTS every 40 ms.
  CbrStream& StandardProgram();
  // The slot nearest `seconds` at or after it that is free (null).
  size_t FreeSlot(size_t from) const;

  Bytes Build() const;
  size_t slots() const { return slots_; }

private:
  size_t slots_;
  uint64_t pcrStart_ = 0;
  std::map<size_t, Scheduled> packets_;
};

// An adaptation-only packet carrying the slot's PCR moved by `offsetTicks`.
Scheduled PcrPacket(int pid, int64_t offsetTicks = 0, bool discontinuity = false);

Bytes StandardPat();
Bytes StandardPmt(int pcrPid = kVideoPid);

}  // namespace healthtest
