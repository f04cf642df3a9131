// The TR 101 290 checks on both sides of their limits, timed on the stream's
// own clock (constant-bitrate streams whose PCRs are exact).
#include <cmath>
#include <numbers>
#include <random>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

// PCRs, PAT, PMT, PTSs as in the standard program, each interval given.
struct Intervals {
  double pcr = 0.020;
  double pat = 0.100;
  double pmt = 0.100;
  double videoPts = 0.040;
  double audioPts = 0.040;
};

CbrStream Program(double seconds, const Intervals& i = {}) {
  CbrStream s(Slot(seconds));
  s.PcrEvery(kVideoPid, i.pcr)
      .SectionEvery(0, StandardPat(), i.pat)
      .SectionEvery(kPmtPid, StandardPmt(), i.pmt, 0.001)
      .PtsEvery(kVideoPid, 0xE0, i.videoPts, 0.002)
      .PtsEvery(kAudioPid, 0xC0, i.audioPts, 0.003);
  return s;
}

Scheduled SectionPacket(int pid, const Bytes& section, int scrambling = 0) {
  Scheduled s;
  s.header = {.pid = pid, .pusi = 1, .scrambling = scrambling};
  s.payload = Bytes{0x00};
  Append(s.payload, section);
  return s;
}

TEST(HealthChecks, ACleanConstantBitrateStreamHasNoErrorsAndEveryCheckEvaluated) {
  const HealthResult r = Analyse(Program(1.5).Build());
  for (size_t c = 0; c < kHealthCheckCount; ++c) {
    SCOPED_TRACE(GetHealthCheckInfo(static_cast<HealthCheck>(c)).name);
    // An encoder's output carries no service information: no priority 3 verdict.
    EXPECT_EQ(r.checks[c].evaluated, GetHealthCheckInfo(static_cast<HealthCheck>(c)).priority < 3);
    EXPECT_EQ(r.checks[c].count, 0u);
  }
  EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
  ASSERT_EQ(r.programs.size(), 1u);
  EXPECT_EQ(r.programs[0].pcrPid, kVideoPid);
  EXPECT_EQ(r.pcrPid, kVideoPid);
  EXPECT_EQ(FindPid(r, kVideoPid)->kind, PidKind::Video);
  EXPECT_EQ(FindPid(r, kVideoPid)->carries, "video of program 1 (stream_type 0x02)");
  EXPECT_EQ(FindPid(r, kAudioPid)->carries, "audio of program 1 (stream_type 0x03)");
  EXPECT_EQ(FindPid(r, kPmtPid)->carries, "PMT of program 1");
  EXPECT_EQ(FindPid(r, 0)->carries, "PAT");
  EXPECT_EQ(FindPid(r, kNullPid)->carries, "null");
}

TEST(HealthChecks, ConstantBitrateAndDurationComeFromThePcrsWithinATenthOfAPercent) {
  const Bytes ts = Program(2.0).Build();
  const HealthResult r = Analyse(ts);
  ASSERT_TRUE(r.bitrateBps && r.durationS);
  EXPECT_NEAR(*r.bitrateBps, kCbrBitrate, kCbrBitrate * 0.001);
  EXPECT_NEAR(*r.durationS, 2.0, 2.0 * 0.001);
  // Per-PID rates are shares of it.
  const PidStats* video = FindPid(r, kVideoPid);
  ASSERT_TRUE(video->bitrateBps);
  EXPECT_NEAR(*video->bitrateBps, kCbrBitrate * video->packets / r.packets, 1.0);
  // The series is flat at the same rate.
  ASSERT_FALSE(r.bitrateSeries.empty());
  for (const BitratePoint& point : r.bitrateSeries)
    EXPECT_NEAR(point.bitrateBps, kCbrBitrate, kCbrBitrate * 0.001) << point.timeS;
  EXPECT_LE(r.bitrateSeries.size(), HealthLimits{}.maxSeriesPoints);
  // Every PID has a series of its own here; at each point they add up to the mux.
  ASSERT_EQ(r.pidSeries.size(), r.pids.size());
  for (size_t n = 0; n < r.bitrateSeries.size(); ++n) {
    double sum = 0;
    for (const PidBitrateSeries& series : r.pidSeries) {
      ASSERT_EQ(series.bitrateBps.size(), r.bitrateSeries.size());
      sum += series.bitrateBps[n];
    }
    EXPECT_NEAR(sum, r.bitrateSeries[n].bitrateBps, 1.0) << n;
  }
}

TEST(HealthChecks, TheBitrateSeriesIsHalvedToStayWithinItsLength) {
  HealthLimits limits;
  limits.maxSeriesPoints = 64;
  const HealthResult r = Analyse(Program(2.0).Build(), limits);
  EXPECT_LE(r.bitrateSeries.size(), 64u);
  EXPECT_GE(r.bitrateSeries.size(), 32u);
  double covered = 0;
  for (const BitratePoint& point : r.bitrateSeries) {
    EXPECT_NEAR(point.bitrateBps, kCbrBitrate, kCbrBitrate * 0.001);
    covered += point.durationS;
  }
  EXPECT_NEAR(covered, 2.0, 0.001);
}

TEST(HealthChecks, PcrWrapIsNeitherADiscontinuityNorAWrongRate) {
  CbrStream s = Program(1.0);
  s.PcrStart(kPcrWrap - static_cast<uint64_t>(0.3 * kPcrHz));
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(Count(r, HealthCheck::PcrDiscontinuity), 0u);
  EXPECT_EQ(Count(r, HealthCheck::PcrRepetition), 0u);
  EXPECT_EQ(Count(r, HealthCheck::PcrAccuracy), 0u);
  ASSERT_TRUE(r.bitrateBps);
  EXPECT_NEAR(*r.bitrateBps, kCbrBitrate, kCbrBitrate * 0.001);
  EXPECT_NEAR(*r.durationS, 1.0, 0.001);
}

TEST(HealthChecks, PatIntervalLimitHalfASecond) {
  Intervals below, above;
  below.pat = 0.49;
  above.pat = 0.51;
  EXPECT_EQ(Count(Analyse(Program(1.6, below).Build()), HealthCheck::Pat), 0u);
  const HealthResult r = Analyse(Program(1.6, above).Build());
  EXPECT_EQ(Count(r, HealthCheck::Pat), 3u);  // three gaps of 0.51 s
  const HealthOccurrence& first = r.check(HealthCheck::Pat).first.at(0);
  EXPECT_EQ(first.pid, 0);
  ASSERT_TRUE(first.timeS);
  EXPECT_NEAR(*first.timeS, 0.51, 0.001);
}

TEST(HealthChecks, PatWithAnotherTableIdOrScrambledIsAnError) {
  CbrStream wrongTable = Program(0.5);
  wrongTable.Put(wrongTable.FreeSlot(Slot(0.25)), SectionPacket(0, StandardPmt()));
  EXPECT_EQ(Count(Analyse(wrongTable.Build()), HealthCheck::Pat), 1u);
  CbrStream scrambled = Program(0.5);
  scrambled.Put(scrambled.FreeSlot(Slot(0.25)), SectionPacket(0, StandardPat(), 2));
  EXPECT_EQ(Count(Analyse(scrambled.Build()), HealthCheck::Pat), 1u);
}

TEST(HealthChecks, PmtIntervalLimitHalfASecondAndScrambling) {
  Intervals below, above;
  below.pmt = 0.49;
  above.pmt = 0.51;
  EXPECT_EQ(Count(Analyse(Program(1.6, below).Build()), HealthCheck::Pmt), 0u);
  const HealthResult r = Analyse(Program(1.6, above).Build());
  EXPECT_EQ(Count(r, HealthCheck::Pmt), 3u);
  EXPECT_EQ(r.check(HealthCheck::Pmt).first.at(0).pid, kPmtPid);
  CbrStream scrambled = Program(0.5);
  scrambled.Put(scrambled.FreeSlot(Slot(0.25)), SectionPacket(kPmtPid, StandardPmt(), 3));
  EXPECT_EQ(Count(Analyse(scrambled.Build()), HealthCheck::Pmt), 1u);
}

TEST(HealthChecks, PidErrorWhenAReferencedPidIsAbsentLongerThanTheLimit) {
  HealthLimits limits;
  limits.pidTimeoutS = 0.3;
  for (double gap : {0.29, 0.31}) {
    SCOPED_TRACE(gap);
    CbrStream s(Slot(1.5));
    s.PcrEvery(kVideoPid, 0.020)
        .SectionEvery(0, StandardPat(), 0.1)
        .SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001)
        .PtsEvery(kVideoPid, 0xE0, 0.04, 0.002)
        .PtsEvery(kAudioPid, 0xC0, 0.5, 0.003)
        .PtsEvery(kAudioPid, 0xC0, 0.04, 0.503 + gap);
    // Audio at 0.003 and 0.503, then again from 0.503 + gap every 40 ms.
    const HealthResult r = Analyse(s.Build(), limits);
    const uint64_t expected = gap > 0.3 ? 1 : 0;
    // The first gap (0.003 to 0.503) is 0.5 s: over the limit in both runs.
    EXPECT_EQ(Count(r, HealthCheck::Pid), 1u + expected);
  }
  // The default limit is five seconds.
  EXPECT_DOUBLE_EQ(HealthLimits{}.pidTimeoutS, 5.0);
}

TEST(HealthChecks, PtsIntervalLimit700Milliseconds) {
  Intervals below, above;
  below.videoPts = 0.69;
  above.videoPts = 0.71;
  EXPECT_EQ(Count(Analyse(Program(2.2, below).Build()), HealthCheck::Pts), 0u);
  const HealthResult r = Analyse(Program(2.2, above).Build());
  EXPECT_EQ(Count(r, HealthCheck::Pts), 3u);
  EXPECT_EQ(r.check(HealthCheck::Pts).first.at(0).pid, kVideoPid);
}

TEST(HealthChecks, PcrRepetitionLimit40MillisecondsAndConfigurable) {
  Intervals below, above;
  below.pcr = 0.039;
  above.pcr = 0.041;
  const HealthResult ok = Analyse(Program(1.0, below).Build());
  EXPECT_EQ(Count(ok, HealthCheck::PcrRepetition), 0u);
  const HealthResult late = Analyse(Program(1.0, above).Build());
  const uint64_t pcrs = FindPid(late, kVideoPid)->pcrCount;
  // The first PCR comes before the PMT names the PID; the second 40 ms
  // after the PMT: every later interval is 41 ms.
  EXPECT_EQ(Count(late, HealthCheck::PcrRepetition), pcrs - 2);
  ASSERT_TRUE(FindPid(late, kVideoPid)->maxPcrIntervalS);
  EXPECT_NEAR(*FindPid(late, kVideoPid)->maxPcrIntervalS, 0.041, 1e-9);
  // Exactly at the limit is within it.
  Intervals exact;
  exact.pcr = 0.040;
  EXPECT_EQ(Count(Analyse(Program(1.0, exact).Build()), HealthCheck::PcrRepetition), 0u);
  HealthLimits relaxed;
  relaxed.pcrIntervalS = 0.045;
  EXPECT_EQ(Count(Analyse(Program(1.0, above).Build(), relaxed), HealthCheck::PcrRepetition), 0u);
}

// PCRs every 20 ms whose values jump by `jumpTicks` from `at` on.
Bytes PcrJump(int64_t jumpTicks, bool indicator, double at = 0.5) {
  CbrStream s = Program(1.0);
  bool first = true;
  for (double t = at; Slot(t) < s.slots(); t += 0.02) {
    s.Put(Slot(t), PcrPacket(kVideoPid, jumpTicks, indicator && first));
    first = false;
  }
  return s.Build();
}

TEST(HealthChecks, PcrDiscontinuityOutsideZeroTo100MillisecondsWithoutTheIndicator) {
  const int64_t ms = static_cast<int64_t>(kPcrHz / 1000);
  // A step of 20 + 79 = 99 ms is a late PCR, not a discontinuity.
  const HealthResult late = Analyse(PcrJump(79 * ms, false));
  EXPECT_EQ(Count(late, HealthCheck::PcrDiscontinuity), 0u);
  EXPECT_EQ(Count(late, HealthCheck::PcrRepetition), 1u);
  // 20 + 81 = 101 ms.
  const HealthResult jump = Analyse(PcrJump(81 * ms, false));
  EXPECT_EQ(Count(jump, HealthCheck::PcrDiscontinuity), 1u);
  EXPECT_EQ(Count(jump, HealthCheck::PcrRepetition), 0u);
  EXPECT_EQ(jump.check(HealthCheck::PcrDiscontinuity).first.at(0).packetIndex, Slot(0.5));
  // Backwards.
  EXPECT_EQ(Count(Analyse(PcrJump(-30 * ms, false)), HealthCheck::PcrDiscontinuity), 1u);
  // Announced by the discontinuity_indicator: fine, and the clock runs on.
  const HealthResult announced = Analyse(PcrJump(5000 * ms, true));
  EXPECT_EQ(Count(announced, HealthCheck::PcrDiscontinuity), 0u);
  EXPECT_EQ(Count(announced, HealthCheck::Continuity), 0u);
  ASSERT_TRUE(announced.durationS);
  EXPECT_NEAR(*announced.durationS, 1.0, 0.001);
}

TEST(HealthChecks, PcrAccuracyPlusMinus500Nanoseconds) {
  // One PCR of a constant-bitrate stream off by 16 ticks (593 ns), or by 13 (481 ns).
  for (int64_t ticks : {13, 16, -16}) {
    SCOPED_TRACE(ticks);
    CbrStream s = Program(1.0);
    s.Put(Slot(0.5), PcrPacket(kVideoPid, ticks));
    const HealthResult r = Analyse(s.Build());
    ASSERT_TRUE(r.check(HealthCheck::PcrAccuracy).evaluated);
    EXPECT_EQ(Count(r, HealthCheck::PcrAccuracy), std::abs(ticks) > 14 ? 1u : 0u);
  }
}

TEST(HealthChecks, PcrAccuracyIsNotEvaluatedOnAVariableBitrateStreamAndSaysWhy) {
  // The same packets, but stream time running up to 6 % faster and slower
  // over 3 s (PCRs exact for it): the bitrate is not constant.
  CbrStream s = Program(4.0);
  for (double t = 0; Slot(t) < s.slots(); t += 0.02)
    s.Put(Slot(t), PcrPacket(kVideoPid, static_cast<int64_t>(0.06 * 3 / (2 * std::numbers::pi) * kPcrHz * std::sin(2 * std::numbers::pi * t / 3))));
  const HealthResult r = Analyse(s.Build());
  EXPECT_FALSE(r.check(HealthCheck::PcrAccuracy).evaluated);
  EXPECT_NE(r.check(HealthCheck::PcrAccuracy).notEvaluatedTemplate.find("not constant"), std::string::npos);
  EXPECT_TRUE(r.check(HealthCheck::PcrRepetition).evaluated);
  EXPECT_EQ(r.Verdict(), HealthVerdict::NotEvaluated);
}

TEST(HealthChecks, WithoutPcrsTimingIsUnknownAndTheIntervalChecksAreNotEvaluated) {
  TsStreamBuilder b;
  for (int i = 0; i < 50; ++i) b.Section(0, StandardPat()).Section(kPmtPid, StandardPmt()).NullPackets(10);
  const HealthResult r = Analyse(b.bytes());
  EXPECT_FALSE(r.bitrateBps);
  EXPECT_FALSE(r.durationS);
  for (HealthCheck c : {HealthCheck::Pat, HealthCheck::Pmt, HealthCheck::Pid, HealthCheck::Pts,
                        HealthCheck::PcrRepetition, HealthCheck::PcrAccuracy}) {
    SCOPED_TRACE(GetHealthCheckInfo(c).name);
    EXPECT_FALSE(r.check(c).evaluated);
  }
  EXPECT_TRUE(r.check(HealthCheck::Continuity).evaluated);
  EXPECT_TRUE(r.check(HealthCheck::Crc).evaluated);
  EXPECT_TRUE(r.bitrateSeries.empty());
}

TEST(HealthChecks, TransportErrorIndicatorCountsPerPacket) {
  CbrStream s = Program(0.5);
  for (int k = 0; k < 3; ++k) {
    Scheduled bad;
    bad.header = {.pid = kAudioPid, .tei = 1};
    s.Put(s.FreeSlot(Slot(0.1 + 0.1 * k)), bad);
  }
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(Count(r, HealthCheck::Transport), 3u);
  EXPECT_EQ(FindPid(r, kAudioPid)->teiPackets, 3u);
}

TEST(HealthChecks, CrcErrorsOnEachCheckedTable) {
  const Bytes eit = LongSection({.tableId = 0x4E, .tableIdExtension = 1}, Bytes(20, 0x11));
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 1, .name = TextBytes("One")}});
  const Bytes cat = LongSection({.tableId = 0x01}, {});
  const Bytes nit = LongSection({.tableId = 0x40, .tableIdExtension = 1}, Bytes{0xF0, 0x00, 0xF0, 0x00});
  const Bytes tot = LongSection({.tableId = 0x73, .syntaxIndicator = 0}, Bytes{1, 2, 3, 4, 5, 0xF0, 0x00});
  const struct {
    int pid;
    Bytes section;
  } tables[] = {{0, StandardPat()}, {kPmtPid, StandardPmt()}, {0x12, eit}, {0x11, sdt},
                {0x01, cat},        {0x10, nit},              {0x14, tot}};
  for (const auto& table : tables) {
    SCOPED_TRACE(table.pid);
    CbrStream good = Program(0.5);
    good.Put(good.FreeSlot(Slot(0.25)), SectionPacket(table.pid, table.section));
    EXPECT_EQ(Count(Analyse(good.Build()), HealthCheck::Crc), 0u);
    CbrStream bad = Program(0.5);
    bad.Put(bad.FreeSlot(Slot(0.25)), SectionPacket(table.pid, WithBrokenCrc(table.section)));
    const HealthResult r = Analyse(bad.Build());
    EXPECT_EQ(Count(r, HealthCheck::Crc), 1u);
    EXPECT_EQ(r.check(HealthCheck::Crc).first.at(0).pid, table.pid);
  }
  // A TDT has no CRC; a section split over packets is checked once whole.
  CbrStream split = Program(0.5);
  const Bytes big = LongSection({.tableId = 0x4E}, Bytes(500, 0x22));
  size_t slot = split.FreeSlot(Slot(0.3));
  const Bytes packets = SectionPackets(0x12, WithBrokenCrc(big));
  for (size_t at = 0; at < packets.size(); at += 188) {
    Scheduled raw;
    raw.raw = true;
    raw.payload.assign(packets.begin() + static_cast<std::ptrdiff_t>(at),
                       packets.begin() + static_cast<std::ptrdiff_t>(at + 188));
    split.Put(slot, raw);
    slot = split.FreeSlot(slot + 1);
  }
  EXPECT_EQ(Count(Analyse(split.Build()), HealthCheck::Crc), 1u);
}

TEST(HealthChecks, CatErrorForScramblingWithoutCatAndForAnotherTableOnPid1) {
  auto scrambledVideo = [](CbrStream& s) {
    Scheduled p;
    p.header = {.pid = kVideoPid, .scrambling = 2};
    s.Put(s.FreeSlot(Slot(0.2)), p);
  };
  CbrStream noCat = Program(0.5);
  scrambledVideo(noCat);
  const HealthResult r = Analyse(noCat.Build());
  EXPECT_EQ(Count(r, HealthCheck::Cat), 1u);
  EXPECT_EQ(FindPid(r, kVideoPid)->scrambledPackets, 1u);
  CbrStream withCat = Program(0.5);
  scrambledVideo(withCat);
  withCat.Put(withCat.FreeSlot(Slot(0.3)), SectionPacket(1, LongSection({.tableId = 0x01}, {})));
  EXPECT_EQ(Count(Analyse(withCat.Build()), HealthCheck::Cat), 0u);
  CbrStream wrongTable = Program(0.5);
  wrongTable.Put(wrongTable.FreeSlot(Slot(0.3)), SectionPacket(1, StandardPat()));
  EXPECT_EQ(Count(Analyse(wrongTable.Build()), HealthCheck::Cat), 1u);
}

TEST(HealthChecks, FirstOccurrencesAreBoundedAndTimed) {
  CbrStream s = Program(1.0);
  for (int k = 0; k < 300; ++k) {
    Scheduled bad;
    bad.header = {.pid = kAudioPid, .tei = 1};
    s.Put(s.FreeSlot(Slot(0.003 * k)), bad);
  }
  HealthLimits limits;
  limits.maxOccurrences = 100;
  const HealthResult r = Analyse(s.Build(), limits);
  EXPECT_EQ(Count(r, HealthCheck::Transport), 300u);
  ASSERT_EQ(r.check(HealthCheck::Transport).first.size(), 100u);
  const HealthOccurrence& o = r.check(HealthCheck::Transport).first[50];
  ASSERT_TRUE(o.timeS);
  EXPECT_NEAR(*o.timeS, static_cast<double>(o.packetIndex) / kPacketsPerSecond, 1e-6);
  EXPECT_EQ(o.byteOffset, o.packetIndex * 188);
}

}  // namespace
