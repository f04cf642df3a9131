// The PCR checks on constant-bitrate streams whose PCRs are moved one by
// one: accuracy against ±500 ns exactly, whatever the neighbours do; the
// time axis is the byte position, so damaged or skipped bytes move no PCR;
// only the PIDs a PMT names as PCR_PID are judged or time the stream.
#include <cmath>
#include <random>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

// The standard program over `seconds`, its PCRs (every 20 ms) moved by
// offset(index) ticks.
template <typename Offset>
Bytes MovedPcrs(double seconds, Offset offset) {
  CbrStream s = CbrStream(Slot(seconds)).StandardProgram();
  int index = 0;
  for (double t = 0; Slot(t) < s.slots(); t += 0.020, ++index) s.Put(Slot(t), PcrPacket(kVideoPid, offset(index)));
  return s.Build();
}

TEST(HealthPcr, AccuracyIsJudgedAgainstPlusMinus500NanosecondsExactly) {
  std::mt19937 random(17);
  struct Case {
    const char* what;
    std::function<int64_t(int)> offset;  // ticks of 37 ns
    uint64_t errors;
  };
  const Case cases[] = {
      {"one PCR 13 ticks (481 ns) late", [](int i) { return i == 100 ? 13 : 0; }, 0},
      {"one PCR 14 ticks (519 ns) late", [](int i) { return i == 100 ? 14 : 0; }, 1},
      {"one PCR 14 ticks early", [](int i) { return i == 100 ? -14 : 0; }, 1},
      {"one PCR 10 us late: only itself", [](int i) { return i == 100 ? 270 : 0; }, 1},
      {"every PCR within 481 ns", [&](int) { return static_cast<int64_t>(random() % 27) - 13; }, 0},
      {"1 % of PCRs 1 us late", [](int i) { return i % 100 == 50 ? 27 : 0; }, 2},
      {"the second and the last but one PCR 1 us late: the ends are judged too",
       [](int i) { return i == 1 || i == 198 ? 27 : 0; }, 2},
      {"5 % of PCRs 10 us off either way",
       [](int i) { return i % 20 == 7 && i > 20 && i < 180 ? (i % 40 == 7 ? 270 : -270) : 0; }, 8},
      {"a ramp of 8 ms a second: a program removed without restamping",
       [](int i) { return static_cast<int64_t>((i % 50) * 0.008 / 50 * 27e6); }, 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HealthResult r = Analyse(MovedPcrs(4.0, c.offset));
    ASSERT_TRUE(r.check(HealthCheck::PcrAccuracy).evaluated) << r.check(HealthCheck::PcrAccuracy).notEvaluatedTemplate;
    if (c.errors >= 200) {
      EXPECT_GE(Count(r, HealthCheck::PcrAccuracy), 50u);
    } else {
      EXPECT_EQ(Count(r, HealthCheck::PcrAccuracy), c.errors);
    }
  }
}

TEST(HealthPcr, DamagedOrSkippedBytesMoveNoPcr) {
  const Bytes clean = MovedPcrs(2.0, [](int) { return 0; });
  struct Case {
    const char* what;
    std::vector<size_t> badSyncBytes;  // packet indices
    HealthCheck expected;
    size_t insertedBytes = 0;          // junk put in before packet 20000
  };
  for (const Case& c : {Case{"one damaged sync byte", {20000}, HealthCheck::SyncByte},
                        Case{"a sync loss: two packets skipped", {20000, 20001}, HealthCheck::SyncLoss},
                        Case{"a sync loss: 1000 bytes of junk between packets", {}, HealthCheck::SyncLoss, 1000}}) {
    SCOPED_TRACE(c.what);
    Bytes ts = clean;
    for (size_t k : c.badSyncBytes) ts[188 * k] = 0x00;
    ts.insert(ts.begin() + 188 * 20000, c.insertedBytes, 0x44);
    const HealthResult r = Analyse(ts);
    EXPECT_EQ(Count(r, c.expected), 1u);
    EXPECT_EQ(Count(r, HealthCheck::PcrAccuracy), 0u);
    ASSERT_TRUE(r.durationS);
  }
}

TEST(HealthPcr, AGapOver100MillisecondsIsARepetitionErrorAndADiscontinuity) {
  for (bool indicator : {false, true}) {
    SCOPED_TRACE(indicator);
    CbrStream s = CbrStream(Slot(1.0)).StandardProgram();
    s.Clear(0.4, 0.55).PcrEvery(kVideoPid, 0.020, 0.56);
    s.SectionEvery(0, StandardPat(), 0.1, 0.41).SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.411);
    s.Put(Slot(0.54), PcrPacket(kVideoPid, 0, indicator));
    const HealthResult r = Analyse(s.Build());
    EXPECT_EQ(Count(r, HealthCheck::PcrRepetition), 1u);
    EXPECT_EQ(Count(r, HealthCheck::PcrDiscontinuity), indicator ? 0u : 1u);
    ASSERT_TRUE(FindPid(r, kVideoPid)->maxPcrIntervalS);
    // The real largest interval, unless the indicator says the values jump.
    EXPECT_NEAR(*FindPid(r, kVideoPid)->maxPcrIntervalS, indicator ? 0.020 : 0.160, 1e-6);
  }
}

TEST(HealthPcr, PcrsOnPidsThatNoPmtNamesAreShownNotJudged) {
  CbrStream s = CbrStream(Slot(1.5)).StandardProgram();
  // A stray PCR before the real ones on an unreferenced PID, and PCRs every
  // 0.5 s with steps all over the place on the audio PID.
  s.Put(0, PcrPacket(0x1234, 5'000'000'000));
  for (double t = 0.25; t < 1.5; t += 0.5) {
    Scheduled audio;
    audio.header = {.pid = kAudioPid, .afc = 3};
    audio.pcr = true;
    audio.pcrOffsetTicks = static_cast<int64_t>(t * 1e8);
    s.Put(s.FreeSlot(Slot(t)), audio);
  }
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(r.TotalErrors(), 0u);
  EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
  EXPECT_EQ(r.pcrPid, kVideoPid);
  ASSERT_TRUE(r.bitrateBps);
  EXPECT_NEAR(*r.bitrateBps, kCbrBitrate, kCbrBitrate * 0.001);
  EXPECT_EQ(FindPid(r, kAudioPid)->pcrCount, 3u);
  EXPECT_EQ(FindPid(r, 0x1234)->pcrCount, 1u);
}

TEST(HealthPcr, TheContentOfPacketsWithTheTransportErrorIndicatorIsNotUsed) {
  CbrStream s = CbrStream(Slot(1.5)).StandardProgram();
  Scheduled damaged = PcrPacket(kVideoPid, 1'000'000);
  damaged.header.tei = 1;
  s.Put(Slot(0.5), damaged);
  Scheduled pat = {};
  pat.header = {.pid = 0, .pusi = 1, .tei = 1};
  pat.payload = Bytes{0x00};
  Append(pat.payload, LongSection({.tableId = 0x00, .tableIdExtension = 1}, PatBody({{1, 0x1777}})));
  s.Put(s.FreeSlot(Slot(0.7)), pat);
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(Count(r, HealthCheck::Transport), 2u);
  EXPECT_EQ(r.TotalErrors(), 2u);
  ASSERT_EQ(r.programs.size(), 1u);
  EXPECT_EQ(r.programs[0].pmtPid, kPmtPid);
}

TEST(HealthPcr, WithoutAPmtNamingAPcrPidThereIsNoClockButNoPatAtAllIsStillAnError) {
  TsStreamBuilder b;
  for (int i = 0; i < 40; ++i) {
    const uint64_t pcr = static_cast<uint64_t>(i) * 20 * 27000;
    b.Packet({.pid = kVideoPid, .afc = 2}, {}, PcrAdaptation(pcr)).NullPackets(539);
  }
  const HealthResult r = Analyse(b.bytes());
  EXPECT_FALSE(r.bitrateBps);
  EXPECT_EQ(Count(r, HealthCheck::Pat), 1u);
  EXPECT_EQ(r.check(HealthCheck::Pat).first.at(0).description, "PID 0x0000: no PAT section at all");
  EXPECT_FALSE(r.check(HealthCheck::Pts).evaluated);
  EXPECT_EQ(r.Verdict(), HealthVerdict::Errors);
}

}  // namespace
