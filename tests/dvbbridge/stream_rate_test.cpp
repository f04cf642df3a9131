// The dry run's pace: a stream's rate from its PCRs.
#include <gtest/gtest.h>

#include "boxserver/stream_source.h"
#include "tests/support/ts_builder.h"

namespace {

using namespace tsbuild;

// Adaptation field bytes after its length: flags with the PCR flag, then the PCR.
Bytes PcrAdaptation(uint64_t ticks27MHz) {
  uint64_t base = (ticks27MHz / 300) & ((uint64_t{1} << 33) - 1), extension = ticks27MHz % 300;
  return {0x10,
          static_cast<uint8_t>(base >> 25),
          static_cast<uint8_t>(base >> 17),
          static_cast<uint8_t>(base >> 9),
          static_cast<uint8_t>(base >> 1),
          static_cast<uint8_t>((base & 1) << 7 | 0x7E | extension >> 8),
          static_cast<uint8_t>(extension)};
}

// `groups` groups of ten packets: a PCR on `pid` first, then nine null
// packets; the PCR advances `step` ticks per group from `first`.
Bytes PacedStream(int groups, int pid, uint64_t first, uint64_t step) {
  Bytes stream;
  for (int g = 0; g < groups; ++g) {
    TsHeader header;
    header.pid = pid;
    header.afc = 2;
    Append(stream, TsPacket(header, {}, PcrAdaptation(first + step * static_cast<uint64_t>(g))));
    for (int i = 0; i < 9; ++i) Append(stream, NullPacket());
  }
  return stream;
}

TEST(PcrBitrate, BytesBetweenPcrsOverTheirTimeAcrossTheWrap) {
  // Ten packets (15,040 bits) every 10 ms: 1,504,000 bit/s.
  EXPECT_EQ(EstimatePcrBitrate(PacedStream(50, 0x100, 0, 270000)), 1504000u);
  // The 33-bit base wraps in the middle: the steps still count forward.
  const uint64_t wrap = (uint64_t{1} << 33) * 300;
  EXPECT_EQ(EstimatePcrBitrate(PacedStream(50, 0x100, wrap - 270000 * 20, 270000)), 1504000u);
  // Twice as fast a clock: half the rate.
  EXPECT_EQ(EstimatePcrBitrate(PacedStream(50, 0x100, 0, 540000)), 752000u);
}

TEST(PcrBitrate, ThePidWithTheMostPcrsCountsAndTooFewGiveNothing) {
  Bytes stream = PacedStream(40, 0x100, 0, 270000);
  // A second PID with two PCRs far apart must not decide the rate.
  Append(stream, PacedStream(1, 0x200, 0, 0));
  Append(stream, PacedStream(1, 0x200, 27000000, 0));
  EXPECT_EQ(EstimatePcrBitrate(stream), 1504000u);
  EXPECT_EQ(EstimatePcrBitrate(PacedStream(1, 0x100, 0, 270000)), 0u);
  EXPECT_EQ(EstimatePcrBitrate(PacedStream(5, 0x100, 1000, 0)), 0u);  // a clock that stands still
  EXPECT_EQ(EstimatePcrBitrate(Bytes(188 * 20, 0x47)), 0u);
  EXPECT_EQ(EstimatePcrBitrate({}), 0u);
}

}  // namespace
