// Priority 3: each limit just inside and just outside, on constant-bitrate
// streams whose SI sections sit at chosen times; the standard the checks
// apply to; and priority 3 kept apart from the verdict on priorities 1-2.
#include <gtest/gtest.h>

#include <algorithm>
#include <functional>

#include "tests/health/cbr_stream.h"
#include "tests/health/health_test_support.h"

namespace {

using namespace healthtest;
using namespace tsbuild;

Bytes Nit(int tableId = 0x40) { return LongSection({.tableId = tableId, .tableIdExtension = 1}, {0xF0, 0x00, 0xF0, 0x00}); }
Bytes Sdt(int tableId = 0x42) { return SdtSection(1, 1, {{1}}, tableId); }
Bytes EitPf(int section, int tableId = 0x4E) {
  return LongSection({.tableId = tableId, .tableIdExtension = 1, .sectionNumber = section, .lastSectionNumber = 1},
                     {0x00, 0x01, 0x00, 0x01, 0x01, static_cast<uint8_t>(tableId)});
}
Bytes EitSchedule(int tableId) {
  return LongSection({.tableId = tableId, .tableIdExtension = 1}, {0x00, 0x01, 0x00, 0x01, 0x00, static_cast<uint8_t>(tableId)});
}
Bytes Tdt() { return {0x70, 0x70, 0x05, 0xE4, 0x5B, 0x12, 0x00, 0x00}; }
Bytes Rst() { return {0x71, 0x70, 0x00}; }
Bytes Mgt() { return LongSection({.tableId = 0xC7, .tableIdExtension = 0}, {0x00, 0x00, 0x00, 0xF0, 0x00}); }

// A DVB stream that passes every priority 3 check (NIT and TDT within the
// 1 s limits `Limits` sets, to keep streams short; NIT other too), over `seconds`.
struct SiStream {
  double seconds = 3.0;
  std::function<void(CbrStream&)> change;  // after the usual SI, before building
  bool dvb = true;
};

HealthLimits Limits() {
  HealthLimits limits;
  limits.nitIntervalS = 1.0;
  limits.nitOtherIntervalS = 1.0;
  limits.tdtIntervalS = 1.0;
  limits.eitScheduleIntervalS = 1.0;
  limits.eitScheduleLaterIntervalS = 1.5;
  return limits;
}

Bytes Build(const SiStream& p) {
  CbrStream s(Slot(p.seconds));
  s.StandardProgram();
  if (p.dvb) {
    s.SectionEvery(0x10, Nit(), 0.5, 0.004)
        .SectionEvery(0x11, Sdt(), 0.5, 0.005)
        .SectionEvery(0x12, EitPf(0), 0.5, 0.006)
        .SectionEvery(0x12, EitPf(1), 0.5, 0.036)
        .SectionEvery(0x14, Tdt(), 0.5, 0.007);
  }
  if (p.change) p.change(s);
  return s.Build();
}

struct Case {
  const char* what;
  SiStream stream;
  HealthCheck check;
  uint64_t errors;
  uint64_t repetition = 0;  // SI_repetition_error, counted beside the table's own check
};

TEST(HealthSi, EachPriority3LimitJustInsideAndJustOutside) {
  auto only = [](bool nit, bool sdt, bool eit, bool tdt, std::function<void(CbrStream&)> add) {
    SiStream p;
    p.dvb = false;
    p.change = [=](CbrStream& s) {
      if (nit) s.SectionEvery(0x10, Nit(), 0.5, 0.004);
      if (sdt) s.SectionEvery(0x11, Sdt(), 0.5, 0.005);
      if (eit) s.SectionEvery(0x12, EitPf(0), 0.5, 0.006).SectionEvery(0x12, EitPf(1), 0.5, 0.036);
      if (tdt) s.SectionEvery(0x14, Tdt(), 0.5, 0.007);
      add(s);
    };
    return p;
  };
  auto times = [](int pid, Bytes section, std::vector<double> at) {
    return [=](CbrStream& s) {
      for (double t : at) s.SectionEvery(pid, section, 1e9, t);
    };
  };
  // A two-packet NIT at 1.2 s and 1.22 s, then a one-packet one at `next`.
  auto longNitThen = [](double next) {
    return [=](CbrStream& s) {
      Bytes body = {0xF0, 202, 0x40, 200};
      body.resize(204, 'N');
      Append(body, Bytes{0xF0, 0x00});
      const Bytes nit = LongSection({.tableId = 0x40, .tableIdExtension = 1}, body);
      Scheduled first{.header = {.pid = 0x10, .pusi = 1}, .payload = Bytes{0x00}};
      Append(first.payload, nit);
      s.Put(s.FreeSlot(Slot(1.2)), first)
          .Put(s.FreeSlot(Slot(1.22)), {.header = {.pid = 0x10}, .payload = Bytes(nit.begin() + 183, nit.end())});
      s.SectionEvery(0x10, Nit(), 1e9, next);
    };
  };
  const Case cases[] = {
      {"clean", {}, HealthCheck::Nit, 0},
      // NIT: limit 1 s here (10 s by default), from the start of the stream.
      {"NIT 0.99 s apart", only(false, true, true, true, times(0x10, Nit(), {0.004, 0.994, 1.984, 2.974})),
       HealthCheck::Nit, 0},
      {"NIT 1.01 s apart", only(false, true, true, true, times(0x10, Nit(), {0.004, 1.014, 2.024})),
       HealthCheck::Nit, 2, 2},
      {"no NIT at all", only(false, true, true, true, [](CbrStream&) {}), HealthCheck::Nit, 1},
      {"NIT other every 1.01 s, limit 1 s",
       only(true, true, true, true, times(0x10, Nit(0x41), {0.1, 1.11, 2.12})), HealthCheck::Nit, 2, 2},
      {"NIT actual 26 ms after the previous one",
       only(true, true, true, true, times(0x10, Nit(), {0.030})), HealthCheck::Nit, 0},
      {"NIT actual 24 ms after the previous one",
       only(true, true, true, true, times(0x10, Nit(), {0.028})), HealthCheck::Nit, 1, 1},
      // The minimum runs from the end of one section to the start of the next.
      {"NIT 26 ms after the end of a two-packet one", only(true, true, true, true, longNitThen(1.246)),
       HealthCheck::Nit, 0},
      {"NIT 24 ms after the end of a two-packet one (44 ms after its start)",
       only(true, true, true, true, longNitThen(1.244)), HealthCheck::Nit, 1, 1},
      {"table_id 0x42 on PID 0x0010", only(true, true, true, true, times(0x10, Sdt(), {1.2})), HealthCheck::Nit, 1},
      // SDT actual: 2 s.
      {"SDT 1.99 s apart", only(true, false, true, true, times(0x11, Sdt(), {0.005, 1.995})), HealthCheck::Sdt, 0},
      {"SDT 2.01 s apart", only(true, false, true, true, times(0x11, Sdt(), {0.005, 2.015})), HealthCheck::Sdt, 1, 1},
      {"SDT 24 ms apart", only(true, true, true, true, times(0x11, Sdt(), {0.029})), HealthCheck::Sdt, 1, 1},
      {"table_id 0x40 on PID 0x0011", only(true, true, true, true, times(0x11, Nit(), {1.2})), HealthCheck::Sdt, 1},
      {"SDT other 1.01 s apart: within its 10 s",
       only(true, true, true, true, times(0x11, Sdt(0x46), {0.2, 1.21})), HealthCheck::Sdt, 0},
      // EIT present/following actual: 2 s, and each of its two sections 2 s.
      // Sections 0 and 1 30 ms apart: the gap from section 1 to the next section 0.
      {"EIT p/f 1.99 s apart",
       only(true, true, false, true,
            [](CbrStream& s) { s.SectionEvery(0x12, EitPf(0), 1.99, 0.006).SectionEvery(0x12, EitPf(1), 1.99, 0.036); }),
       HealthCheck::Eit, 0},
      {"EIT p/f with section 0 2.01 s apart",
       only(true, true, false, true,
            [](CbrStream& s) { s.SectionEvery(0x12, EitPf(0), 2.01, 0.006).SectionEvery(0x12, EitPf(1), 0.5, 0.256); }),
       HealthCheck::Eit, 1},
      {"EIT p/f whose section 1 stops",
       only(true, true, false, true,
            [](CbrStream& s) { s.SectionEvery(0x12, EitPf(0), 0.5, 0.006).SectionEvery(0x12, EitPf(1), 0.5, 0.036, 0.5); }),
       HealthCheck::Eit, 1},
      {"EIT p/f 2.01 s apart",
       only(true, true, false, true,
            [](CbrStream& s) { s.SectionEvery(0x12, EitPf(0), 2.04, 0.006).SectionEvery(0x12, EitPf(1), 2.04, 0.036); }),
       HealthCheck::Eit, 1, 1},
      {"EIT p/f section 0 only",
       only(true, true, false, true, [](CbrStream& s) { s.SectionEvery(0x12, EitPf(0), 0.5, 0.006); }),
       HealthCheck::Eit, 1},
      {"table_id 0x70 on PID 0x0012", only(true, true, true, true, times(0x12, Tdt(), {1.2})), HealthCheck::Eit, 1},
      // RST: table_id, and never within 25 ms.
      {"RST 26 ms apart", only(true, true, true, true, times(0x13, Rst(), {1.21, 1.236})), HealthCheck::Rst, 0},
      {"RST 24 ms apart", only(true, true, true, true, times(0x13, Rst(), {1.21, 1.234})), HealthCheck::Rst, 1, 1},
      {"table_id 0x40 on PID 0x0013", only(true, true, true, true, times(0x13, Nit(), {1.2})), HealthCheck::Rst, 1},
      // TDT: limit 1 s here (30 s by default).
      {"TDT 0.99 s apart", only(true, true, true, false, times(0x14, Tdt(), {0.007, 0.997, 1.987, 2.977})),
       HealthCheck::Tdt, 0},
      {"TDT 1.01 s apart", only(true, true, true, false, times(0x14, Tdt(), {0.007, 1.017, 2.027})),
       HealthCheck::Tdt, 2, 2},
      {"table_id 0x42 on PID 0x0014", only(true, true, true, true, times(0x14, Sdt(), {1.2})), HealthCheck::Tdt, 1},
      // BAT, EIT schedule and TOT count only as SI repetition.
      // EIT schedule: limit 1 s here for the first 8 days (10 s by default), 1.5 s beyond (30 s).
      {"EIT schedule 0x50 1.2 s apart", only(true, true, true, true, times(0x12, EitSchedule(0x50), {0.1, 1.3, 2.5})),
       HealthCheck::SiRepetition, 2},
      {"EIT schedule 0x52, beyond 8 days, 1.2 s apart",
       only(true, true, true, true, times(0x12, EitSchedule(0x52), {0.1, 1.3, 2.5})), HealthCheck::SiRepetition, 0},
      {"BAT 24 ms apart", only(true, true, true, true, times(0x11, Sdt(0x4A), {1.21, 1.234})),
       HealthCheck::SiRepetition, 1, 1},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    const HealthResult r = Analyse(Build(c.stream), Limits());
    EXPECT_EQ(r.siStandard, SiStandard::Dvb);
    ASSERT_TRUE(r.check(c.check).evaluated) << r.check(c.check).notEvaluatedTemplate;
    EXPECT_EQ(Count(r, c.check), c.errors);
    if (c.check != HealthCheck::SiRepetition) {
      EXPECT_EQ(Count(r, HealthCheck::SiRepetition), c.repetition);
    }
    EXPECT_EQ(r.SiTotalErrors(), c.errors + (c.check == HealthCheck::SiRepetition ? 0 : c.repetition));
    // Priorities 1 and 2 do not see any of it.
    EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
  }
}

TEST(HealthSi, WithTheDefaultLimitsNitAndTdtMayWaitLongerThanAShortStream) {
  // The NIT's 10 s and the TDT's 30 s are too long for a test stream (the
  // SDT's 2 s and the 25 ms minimum are tested above with the defaults):
  // a 3 s stream without either is within them.
  SiStream p;
  p.dvb = false;
  p.change = [](CbrStream& s) {
    s.SectionEvery(0x11, Sdt(), 0.5, 0.005).SectionEvery(0x12, EitPf(0), 0.5, 0.006).SectionEvery(0x12, EitPf(1), 0.5, 0.036);
  };
  const HealthResult r = Analyse(Build(p));
  EXPECT_EQ(r.SiTotalErrors(), 0u);
  EXPECT_EQ(r.SiVerdict(), HealthVerdict::NoErrors);
}

TEST(HealthSi, UnreferencedPidWithinHalfASecondOfItsFirstPacket) {
  struct UnrefCase {
    const char* what;
    double pmtFrom;      // the PMT naming video 0x100 (first packet at 0) and audio 0x101 (0.003)
    double strayAt;      // a PID no PSI names; <0: none
    uint64_t errors;
    double audioDroppedAt = -1;  // a new PMT version without the audio from here; <0: none
    double audioUntil = 1e9;
  };
  const UnrefCase cases[] = {
      {"PMT 0.49 s after the first video packet", 0.49, -1, 0},
      {"PMT 0.502 s after the first video packet", 0.502, -1, 1},  // audio came 3 ms later: 0.499
      {"PMT 0.55 s after: video and audio", 0.55, -1, 2},
      {"a PID nobody names, 0.6 s before the end", 0.001, 2.4, 1},
      {"a PID nobody names, 0.4 s before the end", 0.001, 2.6, 0},
      {"audio goes on 0.56 s after the PMT drops it", 0.001, -1, 1, 1.0, 1.6},
      {"audio ends 0.44 s after the PMT drops it", 0.001, -1, 0, 1.0, 1.45},
  };
  const Bytes pmtWithoutAudio =
      LongSection({.tableId = 0x02, .tableIdExtension = 1, .version = 1}, {0xE1, 0x00, 0xF0, 0x00, 0x02, 0xE1, 0x00, 0xF0, 0x00});
  for (const UnrefCase& c : cases) {
    SCOPED_TRACE(c.what);
    CbrStream s(Slot(3.0));
    s.PcrEvery(kVideoPid, 0.020)
        .SectionEvery(0, StandardPat(), 0.100)
        .SectionEvery(kPmtPid, StandardPmt(), 0.100, c.pmtFrom, c.audioDroppedAt < 0 ? 1e9 : c.audioDroppedAt)
        .PtsEvery(kVideoPid, 0xE0, 0.040, 0.002)
        .PtsEvery(kAudioPid, 0xC0, 0.040, 0.003, c.audioUntil)
        .SectionEvery(0x11, Sdt(), 0.5, 0.005);
    if (c.audioDroppedAt >= 0) s.SectionEvery(kPmtPid, pmtWithoutAudio, 0.100, c.audioDroppedAt + 0.001);
    if (c.strayAt >= 0) s.PtsEvery(0x300, 0xE0, 0.040, c.strayAt);
    HealthLimits limits;
    limits.si = SiStandard::Dvb;
    const HealthResult r = Analyse(s.Build(), limits);
    EXPECT_EQ(Count(r, HealthCheck::UnreferencedPid), c.errors);
  }
}

TEST(HealthSi, TheStandardDecidesWhatApplies) {
  struct StandardCase {
    const char* what;
    SiStandard asked;
    std::function<void(CbrStream&)> si;
    Bytes pat;
    SiStandard applied;
    std::vector<HealthCheck> evaluated;
    uint64_t errors;
  };
  const std::vector<HealthCheck> all = {HealthCheck::Nit, HealthCheck::SiRepetition, HealthCheck::UnreferencedPid,
                                        HealthCheck::Sdt, HealthCheck::Eit, HealthCheck::Rst, HealthCheck::Tdt};
  const std::vector<HealthCheck> atsc = {HealthCheck::SiRepetition, HealthCheck::UnreferencedPid};
  auto none = [](CbrStream&) {};
  auto mgtEvery = [](double interval) {
    return [=](CbrStream& s) { s.SectionEvery(0x1FFB, Mgt(), interval, 0.004); };
  };
  const StandardCase cases[] = {
      {"an encoder's output: no SI", SiStandard::Auto, none, StandardPat(), SiStandard::None, {}, 0},
      // No SDT nor EIT p/f within 2 s; the NIT's 10 s and the TDT's 30 s not yet passed.
      {"a network PID in the PAT", SiStandard::Auto, none, PatSection(1, {{0, 0x10}, {1, kPmtPid}}),
       SiStandard::Dvb, all, 2},
      // A muxer's lone SDT (ffmpeg) is not broadcast SI; with a TDT it is, and lacks its EIT p/f.
      {"an SDT alone", SiStandard::Auto, [](CbrStream& s) { s.SectionEvery(0x11, Sdt(), 0.5, 0.005); }, StandardPat(),
       SiStandard::None, {}, 0},
      {"an SDT and a TDT", SiStandard::Auto,
       [](CbrStream& s) { s.SectionEvery(0x11, Sdt(), 0.5, 0.005).SectionEvery(0x14, Tdt(), 0.5, 0.007); },
       StandardPat(), SiStandard::Dvb, all, 1},
      {"DVB asked of an encoder's output", SiStandard::Dvb, none, StandardPat(), SiStandard::Dvb, all, 2},
      {"switched off", SiStandard::None, [](CbrStream& s) { s.SectionEvery(0x11, Sdt(), 0.5, 0.005); },
       StandardPat(), SiStandard::None, {}, 0},
      {"PSIP, MGT every 149 ms", SiStandard::Auto, mgtEvery(0.149), StandardPat(), SiStandard::Atsc, atsc, 0},
      {"PSIP, MGT every 151 ms", SiStandard::Auto, mgtEvery(0.151), StandardPat(), SiStandard::Atsc, atsc, 19},
      {"ATSC asked, no MGT", SiStandard::Atsc, none, StandardPat(), SiStandard::Atsc, atsc, 1},
  };
  for (const StandardCase& c : cases) {
    SCOPED_TRACE(c.what);
    CbrStream s(Slot(3.0));
    s.PcrEvery(kVideoPid, 0.020)
        .SectionEvery(0, c.pat, 0.100)
        .SectionEvery(kPmtPid, StandardPmt(), 0.100, 0.001)
        .PtsEvery(kVideoPid, 0xE0, 0.040, 0.002)
        .PtsEvery(kAudioPid, 0xC0, 0.040, 0.003);
    c.si(s);
    HealthLimits limits;
    limits.si = c.asked;
    const HealthResult r = Analyse(s.Build(), limits);
    EXPECT_EQ(r.siStandard, c.applied);
    for (HealthCheck check : all) {
      const bool expected = std::find(c.evaluated.begin(), c.evaluated.end(), check) != c.evaluated.end();
      EXPECT_EQ(r.check(check).evaluated, expected) << GetHealthCheckInfo(check).name;
      if (!expected) {
        EXPECT_FALSE(r.check(check).notEvaluatedTemplate.empty());
      }
    }
    EXPECT_EQ(r.SiTotalErrors(), c.errors);
    // ATSC: the DVB checks stay not evaluated, so never a plain "no errors".
    EXPECT_EQ(r.SiVerdict(), c.errors                              ? HealthVerdict::Errors
                             : c.evaluated.size() == all.size() ? HealthVerdict::NoErrors
                                                                : HealthVerdict::NotEvaluated);
    // The verdict on priorities 1 and 2 stays what it was.
    EXPECT_EQ(r.Verdict(), HealthVerdict::NoErrors);
  }
}

TEST(HealthSi, SectionsAreTimedByTheStreamClock) {
  // The SDT every 0.5 s, the NIT twice 0.3 s apart: repetition in seconds of
  // the stream, whatever way the bytes are fed.
  SiStream p;
  p.change = [](CbrStream& s) { s.SectionEvery(0x10, Nit(0x41), 0.3, 1.0, 1.4); };
  const Bytes bytes = Build(p);
  for (size_t piece : {size_t{0}, size_t{1000}}) {
    const HealthResult r = Analyse(bytes, Limits(), piece);
    const SiTableRepetition* sdt = nullptr;
    const SiTableRepetition* other = nullptr;
    for (const SiTableRepetition& t : r.siTables) {
      if (t.pid == 0x11 && t.tableId == 0x42) sdt = &t;
      if (t.pid == 0x10 && t.tableId == 0x41) other = &t;
    }
    ASSERT_NE(sdt, nullptr);
    ASSERT_NE(other, nullptr);
    EXPECT_EQ(sdt->count, 6u);
    EXPECT_NEAR(sdt->minS, 0.5, 1e-4);
    EXPECT_NEAR(sdt->maxS, 0.5, 1e-4);
    EXPECT_EQ(other->count, 2u);
    EXPECT_NEAR(other->meanS, 0.3, 1e-4);
  }
}

}  // namespace
