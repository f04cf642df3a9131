// Interval checks against the PSI in force: trackers start when the thing is
// first expected (PAT: the start of the stream; PMT, PID, PCR, PTS: the
// PAT or PMT that declares it), a gap still open at the end counts, and
// when the PAT or a PMT changes what is no longer referenced is left alone.
#include <functional>
#include <string>

#include <gtest/gtest.h>

#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

constexpr int kPmt2 = 0x1001;
constexpr int kVideo2 = 0x200;

Bytes Pat(const std::vector<PatEntry>& programs, int version = 0) {
  return LongSection({.tableId = 0x00, .tableIdExtension = 1, .version = version}, PatBody(programs));
}
Bytes Pmt(int program, int pcrPid, const std::vector<PmtStream>& streams, int version = 0) {
  return LongSection({.tableId = 0x02, .tableIdExtension = program, .version = version}, PmtBody(pcrPid, streams));
}

// Program 1 (video 0x100 with the PCRs, audio 0x101) and program 2 (video
// 0x200 with its PCRs): the sections every 100 ms, PCRs every 20 ms, PTSs
// every 40 ms, each from `from` to `until` seconds.
struct Carriage {
  double from = 0, until = 1e9;
};
struct TwoPrograms {
  double seconds = 3.0;
  Carriage pat, pmt1, pcr1, video1, audio1, pcr2;
  Bytes pmt1Section = StandardPmt();
  double dropProgram2 = 1e9;  // from then on a new PAT version names program 1 only
};

CbrStream Build(const TwoPrograms& p) {
  CbrStream s(Slot(p.seconds));
  s.PcrEvery(kVideoPid, 0.020, p.pcr1.from, p.pcr1.until)
      .PcrEvery(kVideo2, 0.020, 0.010, p.pcr2.until)
      .SectionEvery(0, Pat({{1, kPmtPid}, {2, kPmt2}}), 0.100, p.pat.from, std::min(p.pat.until, p.dropProgram2))
      .SectionEvery(0, Pat({{1, kPmtPid}}, 1), 0.100, p.dropProgram2, p.pat.until)
      .SectionEvery(kPmtPid, p.pmt1Section, 0.100, std::max(0.001, p.pmt1.from), p.pmt1.until)
      .SectionEvery(kPmt2, Pmt(2, kVideo2, {{0x02, kVideo2}}), 0.100, 0.002)
      .PtsEvery(kVideoPid, 0xE0, 0.040, std::max(0.003, p.video1.from), p.video1.until)
      .PtsEvery(kAudioPid, 0xC0, 0.040, std::max(0.004, p.audio1.from), p.audio1.until)
      .PtsEvery(kVideo2, 0xE0, 0.040, 0.005);
  return s;
}

TEST(HealthPsi, EachIntervalCheckStartsWhenExpectedAndCountsAGapOpenAtTheEnd) {
  struct Case {
    const char* what;
    TwoPrograms stream;
    HealthCheck check;
    uint64_t errors;
    uint64_t total = errors;  // in every check
  };
  auto with = [](auto change) {
    TwoPrograms p;
    change(p);
    return p;
  };
  const Case cases[] = {
      {"clean", {}, HealthCheck::Pat, 0},
      {"no PAT at all", with([](TwoPrograms& p) { p.pat.from = 9; }), HealthCheck::Pat, 1},
      {"first PAT at 0.49 s", with([](TwoPrograms& p) { p.pat.from = 0.49; }), HealthCheck::Pat, 0},
      {"first PAT at 0.51 s", with([](TwoPrograms& p) { p.pat.from = 0.51; }), HealthCheck::Pat, 1},
      {"PAT stops 0.6 s before the end", with([](TwoPrograms& p) { p.pat.until = 2.4; }), HealthCheck::Pat, 1},
      {"first PMT 0.6 s after the PAT", with([](TwoPrograms& p) { p.pmt1.from = 0.6; }), HealthCheck::Pmt, 1},
      {"audio without any PTS", with([](TwoPrograms& p) { p.audio1.from = 9; }), HealthCheck::Pts, 1},
      {"first audio PTS 0.69 s after the PMT", with([](TwoPrograms& p) { p.audio1.from = 0.69; }),
       HealthCheck::Pts, 0},
      {"first audio PTS 0.72 s after the PMT", with([](TwoPrograms& p) { p.audio1.from = 0.72; }),
       HealthCheck::Pts, 1},
      {"PCRs of program 1 stop, its video goes on", with([](TwoPrograms& p) { p.pcr1.until = 1.5; }),
       HealthCheck::PcrRepetition, 1},
      {"program 1's PCR PID never carries a PCR", with([](TwoPrograms& p) { p.pcr1.from = 9; }),
       HealthCheck::PcrRepetition, 1},
      // Program 2's last PCR at 0.99 s; then a new PAT drops it: the gap up to there counts.
      {"program 2 dropped 35 ms after its last PCR", with([](TwoPrograms& p) {
         p.pcr2.until = 1.0;
         p.dropProgram2 = 1.025;
       }),
       HealthCheck::PcrRepetition, 0},
      {"program 2 dropped 45 ms after its last PCR", with([](TwoPrograms& p) {
         p.pcr2.until = 1.0;
         p.dropProgram2 = 1.035;
       }),
       HealthCheck::PcrRepetition, 1},
      {"a PCR_PID that never appears, so no PCR either",
       with([](TwoPrograms& p) {
         p.pmt1Section = StandardPmt(0x1FF0);
         p.seconds = 5.5;  // the PID_error limit is 5 s
       }),
       HealthCheck::Pid, 1, 2},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HealthResult r = Analyse(Build(c.stream).Build());
    EXPECT_TRUE(r.check(c.check).evaluated);
    EXPECT_EQ(Count(r, c.check), c.errors);
    EXPECT_EQ(r.TotalErrors(), c.total);
  }
}

TEST(HealthPsi, AGapIsDescribedWithItsWholeLength) {
  // Program 2's PCRs keep the clock going, so each gap passes its limit
  // while still open; it is one error, described once its length is known.
  struct Case {
    const char* what;
    std::function<void(TwoPrograms&)> stops;
    std::function<void(CbrStream&)> resume;
    HealthCheck check;
    const char* description;  // its English template
    double length;            // the value it gives
  };
  const Case cases[] = {
      {"PAT from 0.4 s to 1.25 s", [](TwoPrograms& p) { p.pat.until = 0.45; },
       [](CbrStream& s) { s.SectionEvery(0, Pat({{1, kPmtPid}, {2, kPmt2}}), 0.100, 1.25); }, HealthCheck::Pat,
       "PID %s: PAT section %s s after the previous one (limit %s s)", 0.850},
      {"PCRs of program 1 from 0.98 s to 1.3 s", [](TwoPrograms& p) { p.pcr1.until = 1.0; },
       [](CbrStream& s) { s.PcrEvery(kVideoPid, 0.020, 1.3); }, HealthCheck::PcrRepetition,
       "PID %s: PCR interval %s ms", 320},
      {"PCRs of program 1 stop at 1.48 s", [](TwoPrograms& p) { p.pcr1.until = 1.5; }, [](CbrStream&) {},
       HealthCheck::PcrRepetition, "PID %s: no PCR for more than %s s (limit %s s)", 1.52},
      // Open from 1.03 s on, it ends when the PID stops being a PCR_PID.
      {"PCRs of program 2 from 0.99 s to a new PAT without it at 1.2 s",
       [](TwoPrograms& p) {
         p.pcr2.until = 1.0;
         p.dropProgram2 = 1.2;
       },
       [](CbrStream&) {}, HealthCheck::PcrRepetition, "PID %s: PCR interval %s ms", 210},
      // None before: from where it was first expected (the start, the PMT at 0.001 s).
      {"first PAT at 0.6 s", [](TwoPrograms& p) { p.pat.from = 0.6; }, [](CbrStream&) {}, HealthCheck::Pat,
       "PID %s: first PAT section %s s after it was expected (limit %s s)", 0.6},
      {"first audio PTS at 0.9 s", [](TwoPrograms& p) { p.audio1.from = 0.9; }, [](CbrStream&) {}, HealthCheck::Pts,
       "PID %s: first PTS %s s after it was expected (limit %s s)", 0.899},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TwoPrograms p;
    c.stops(p);
    CbrStream s = Build(p);
    c.resume(s);
    const HealthResult r = Analyse(s.Build());
    EXPECT_EQ(Count(r, c.check), 1u);
    ASSERT_EQ(r.check(c.check).first.size(), 1u);
    const HealthOccurrence& o = r.check(c.check).first[0];
    EXPECT_EQ(o.descriptionTemplate, c.description) << o.description;
    ASSERT_GE(o.descriptionValues.size(), 2u);
    EXPECT_NEAR(std::stod(o.descriptionValues[1]), c.length, c.length * 0.01) << o.description;
  }
}

TEST(HealthPsi, AGapOpenWhenTheClockStopsIsPlacedWhereItPassedItsLimit) {
  // The only PCRs stop at 1 s, the PAT at 1.5 s: both gaps are open until
  // the end at 3 s, and are found where they passed their limits on the
  // clock's last rate (beyond the last PCR a tail counts 0.9), not at the end.
  const Bytes ts = CbrStream(Slot(3.0))
                       .PcrEvery(kVideoPid, 0.020, 0, 1.0)
                       .SectionEvery(0, StandardPat(), 0.1, 0, 1.5)
                       .SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001)
                       .Build();
  const HealthResult r = Analyse(ts);
  const struct {
    HealthCheck check;
    double fromS, toS;  // where the limit passed: the last one + the limit, and the tail's stretch
  } cases[] = {{HealthCheck::PcrRepetition, 0.98 + 0.040, 0.98 + 0.040 / 0.9},
               {HealthCheck::Pat, 1.4 + 0.5, 0.98 + (1.4 + 0.5 - 0.98) / 0.9}};
  for (const auto& c : cases) {
    SCOPED_TRACE(static_cast<int>(c.check));
    ASSERT_EQ(r.check(c.check).first.size(), 1u);
    const HealthOccurrence& o = r.check(c.check).first[0];
    EXPECT_GE(o.packetIndex, Slot(c.fromS) - 1);
    EXPECT_LE(o.packetIndex, Slot(c.toS) + 1);
    EXPECT_EQ(o.byteOffset, o.packetIndex * 188);
  }
}

TEST(HealthPsi, TheClockOutlivesOnePcrPid) {
  // Program 1's PCRs stop at 0.5 s; program 2's go on. Two later PAT holes
  // of 0.6 s are two errors, each timed when it passed the limit.
  TwoPrograms p;
  p.pcr1.until = 0.5;
  CbrStream s = Build(p);
  s.Clear(1.0, 1.6).Clear(2.0, 2.6);
  s.PcrEvery(kVideo2, 0.020, 0.010);
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(Count(r, HealthCheck::Pat), 2u);
  ASSERT_TRUE(r.check(HealthCheck::Pat).first.at(1).timeS);
  EXPECT_NEAR(*r.check(HealthCheck::Pat).first.at(1).timeS, 2.4, 0.03);
  ASSERT_TRUE(r.durationS);
  EXPECT_NEAR(*r.durationS, 3.0, 0.001);
}

TEST(HealthPsi, AnotherProgramsBadClockMistimesNothingOfProgram1) {
  // Program 1's PCRs come every 35 ms and are right. Program 2's come every
  // 20 ms in place, their values jittering (from before program 1's, so the
  // clock follows them at first) or running fast (after program 1's).
  const struct {
    const char* what;
    double firstBadPcr;
    int64_t (*offsetTicks)(int k, double t);
    double errorsUntil;  // program 1's checks may be mistimed only before this
  } cases[] = {
      {"jitter of +-4 ms", 0.0, [](int k, double) -> int64_t { return k % 2 ? 108000 : -108000; }, 0.7},
      {"a clock 1.5 times too fast", 0.03, [](int, double t) -> int64_t { return static_cast<int64_t>(t * 13.5e6); },
       0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TwoPrograms p;
    p.pcr1.from = 9;  // both programs' PCRs come as below
    p.pcr2.until = 0;
    CbrStream s = Build(p);
    s.PcrStart(27'000'000).PcrEvery(kVideoPid, 0.035, 0.010);
    int k = 0;
    for (double t = c.firstBadPcr; Slot(t) < s.slots(); t += 0.020, ++k)
      s.Put(s.FreeSlot(Slot(t)), PcrPacket(kVideo2, c.offsetTicks(k, t)));
    const HealthResult r = Analyse(s.Build());
    EXPECT_EQ(r.pcrPid, kVideoPid);
    for (HealthCheck check : {HealthCheck::Pat, HealthCheck::Pmt, HealthCheck::Pts, HealthCheck::PcrRepetition})
      for (const HealthOccurrence& o : r.check(check).first) {
        ASSERT_TRUE(o.timeS);
        EXPECT_LT(*o.timeS, c.errorsUntil) << o.description;
      }
    ASSERT_TRUE(r.durationS);
    EXPECT_NEAR(*r.durationS, 3.0, 0.005);
    ASSERT_TRUE(r.bitrateBps);
    EXPECT_NEAR(*r.bitrateBps, kCbrBitrate, kCbrBitrate * 2e-3);
  }
}

TEST(HealthPsi, WhatThePsiNoLongerReferencesRaisesNoErrors) {
  // At 1 s a new PAT version drops program 2; a new PMT version drops the
  // audio; both stop being sent, their PIDs too.
  struct Case {
    const char* what;
    bool dropProgram2, dropAudio, movePmt;
  };
  for (const Case& c : {Case{"program removed", true, false, false}, Case{"stream removed", false, true, false},
                        Case{"PMT moved to another PID", false, false, true}}) {
    SCOPED_TRACE(c.what);
    HealthLimits limits;
    limits.pidTimeoutS = 0.5;
    CbrStream s(Slot(3.0));
    const int newPmtPid = c.movePmt ? 0x1002 : kPmtPid;
    const std::vector<PatEntry> before = {{1, kPmtPid}, {2, kPmt2}};
    std::vector<PatEntry> after = {{1, newPmtPid}};
    if (!c.dropProgram2) after.push_back({2, kPmt2});
    const std::vector<PmtStream> streams = {{0x02, kVideoPid}, {0x03, kAudioPid}};
    const std::vector<PmtStream> kept = c.dropAudio ? std::vector<PmtStream>{{0x02, kVideoPid}} : streams;
    const bool program2 = !c.dropProgram2;
    s.PcrEvery(kVideoPid, 0.020)
        .SectionEvery(0, Pat(before, 0), 0.1, 0, 1.0)
        .SectionEvery(0, Pat(after, 1), 0.1, 1.0)
        .SectionEvery(kPmtPid, Pmt(1, kVideoPid, streams, 0), 0.1, 0.001, 1.0)
        .SectionEvery(newPmtPid, Pmt(1, kVideoPid, kept, 1), 0.1, 1.001)
        .SectionEvery(kPmt2, Pmt(2, kVideo2, {{0x02, kVideo2}}), 0.1, 0.002, program2 ? 1e9 : 1.0)
        .PcrEvery(kVideo2, 0.020, 0.010, program2 ? 1e9 : 1.0)
        .PtsEvery(kVideoPid, 0xE0, 0.04, 0.003)
        .PtsEvery(kAudioPid, 0xC0, 0.04, 0.004, c.dropAudio ? 1.0 : 1e9)
        .PtsEvery(kVideo2, 0xE0, 0.04, 0.005, program2 ? 1e9 : 1.0);
    const HealthResult r = Analyse(s.Build(), limits);
    EXPECT_EQ(r.TotalErrors(), 0u);
    EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
  }
  // A program the new PAT adds is expected from then on: its PMT never comes.
  CbrStream added(Slot(2.0));
  added.PcrEvery(kVideoPid, 0.020)
      .SectionEvery(0, Pat({{1, kPmtPid}}, 0), 0.1, 0, 1.0)
      .SectionEvery(0, Pat({{1, kPmtPid}, {3, 0x1003}}, 1), 0.1, 1.0)
      .SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001)
      .PtsEvery(kVideoPid, 0xE0, 0.04, 0.002)
      .PtsEvery(kAudioPid, 0xC0, 0.04, 0.003);
  const HealthResult r = Analyse(added.Build());
  EXPECT_EQ(Count(r, HealthCheck::Pmt), 1u);
  EXPECT_EQ(r.check(HealthCheck::Pmt).first.at(0).pid, 0x1003);
}

TEST(HealthPsi, PtsIsJudgedOnUnscrambledPesOnly) {
  CbrStream s(Slot(2.0));
  s.PcrEvery(kVideoPid, 0.020)
      .SectionEvery(0, StandardPat(), 0.1)
      .SectionEvery(kPmtPid, StandardPmt(), 0.1, 0.001)
      .SectionEvery(1, LongSection({.tableId = 0x01}, {}), 0.1, 0.002)
      .PtsEvery(kVideoPid, 0xE0, 0.04, 0.003)
      .PtsEvery(kAudioPid, 0xC0, 0.04, 0.004, 1.0);
  // From 1 s the audio is scrambled: its PES headers cannot be read, nor
  // their spacing (0.8 s) judged.
  for (double t = 1.0; t < 2.0; t += 0.8) {
    Scheduled p;
    p.header = {.pid = kAudioPid, .pusi = 1, .scrambling = 2};
    p.payload = Bytes(20, 0x5A);
    s.Put(s.FreeSlot(Slot(t)), p);
  }
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(FindPid(r, kAudioPid)->scrambledPackets, 2u);
  EXPECT_EQ(r.TotalErrors(), 0u);
}

TEST(HealthPsi, SubtitleAndDataPidsHaveTheirOwnLimitOffByDefault) {
  const Bytes subtitling = Descriptor(0x59, {'e', 'n', 'g', 0x10, 0x00, 0x01, 0x00, 0x01});
  CbrStream s(Slot(7.0));
  s.PcrEvery(kVideoPid, 0.020)
      .SectionEvery(0, StandardPat(), 0.1)
      .SectionEvery(kPmtPid,
                    PmtSection(1, kVideoPid,
                               {{0x02, kVideoPid}, {0x06, 0x102, subtitling}, {0x05, 0x103}, {0x03, kAudioPid}}),
                    0.1, 0.001)
      .PtsEvery(kVideoPid, 0xE0, 0.04, 0.002)
      .PtsEvery(kAudioPid, 0xC0, 0.04, 0.003, 1.0)   // audio gone after 1 s: 6 s without
      .PtsEvery(0x102, 0xBD, 3.0, 0.5);              // subtitles every 3 s; the data PID never
  const HealthResult r = Analyse(s.Build());
  EXPECT_EQ(Count(r, HealthCheck::Pid), 1u);
  EXPECT_EQ(r.check(HealthCheck::Pid).first.at(0).pid, kAudioPid);
  HealthLimits limits;
  limits.dataPidTimeoutS = 2.5;
  const HealthResult strict = Analyse(s.Build(), limits);
  EXPECT_EQ(Count(strict, HealthCheck::Pid), 1u + 2u + 1u);  // audio; subtitles twice; the data PID
}

}  // namespace
