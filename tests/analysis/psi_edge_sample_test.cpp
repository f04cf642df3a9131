// The stages on the crafted edge-case streams of tests/data/streams/edge
// (see the README there for what each one holds).
#include <gtest/gtest.h>

#include "analysis/engine/dvb_text.h"
#include "analysis/engine/reports.h"
#include "tests/analysis/psi_test_support.h"

namespace {

std::string EdgeStream(const std::string& name) { return SampleStream("edge/" + name); }

std::string DisplayName(const ProgramRecord& record) {
  const std::string bytes = StoredNameBytes(record.service_name, record.service_name_length);
  return DecodeDvbText(reinterpret_cast<const uint8_t*>(bytes.data()), bytes.size());
}

}  // namespace

TEST_F(PsiStageTest, EdgeTwoPatSectionsInTheirOnlyPacket) {
  OpenFile(EdgeStream("pat_two_sections_one_packet.ts"));
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{{.number = 1, .pmtPid = 0x50},
                                                                 {.number = 2, .pmtPid = 0x51}}));
}

TEST_F(PsiStageTest, EdgePmtsOnOnePid) {
  for (const char* name : {"pmt_packed_back_to_back.ts", "shared_pmt_pid_alternating.ts"}) {
    OpenFile(EdgeStream(name));
    AnalyseSdt();
    const auto programs = ProgramTableSummary();
    ASSERT_EQ(programs.size(), 2u) << name;
    for (const ProgramSummary& program : programs) {
      EXPECT_NE(program.videoPid, 0) << name << " program " << program.number;
      EXPECT_FALSE(program.audioPids.empty()) << name << " program " << program.number;
    }
  }
}

TEST_F(PsiStageTest, EdgeActualSdtAfterAnotherStreamsSdt) {
  OpenFile(EdgeStream("sdt_other_first.ts"));
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 1u);
  EXPECT_EQ(programs[0].name, "RIGHT");
  EXPECT_EQ(programs[0].provider, "Mine");
}

TEST_F(PsiStageTest, EdgePatOfMoreProgramsThanTheTableHolds) {
  OpenFile(EdgeStream("many_programs_1100.ts"));
  EXPECT_EQ(AnalysePat(), 1);
  EXPECT_EQ(nProgramCount, kMaxPrograms);
  EXPECT_EQ(bProgramTableFull, 1);
  ResetAnalysis();
  EXPECT_EQ(bProgramTableFull, 0);

  OpenFile(EdgeStream("pat_two_sections_one_packet.ts"));
  AnalysePat();
  EXPECT_EQ(bProgramTableFull, 0);
}

TEST_F(PsiStageTest, EdgeDamagedLengthsAndPointers) {
  OpenFile(EdgeStream("pat_odd_length.ts"));
  AnalysePat();
  EXPECT_EQ(ProgramTableSummary(), (std::vector<ProgramSummary>{{.number = 1, .pmtPid = 0x50}}))
      << "no program made of the CRC bytes";

  for (const char* name : {"pointer_overflow.ts", "huge_section_length.ts"}) {
    OpenFile(EdgeStream(name));
    AnalyseSdt();
    const auto programs = ProgramTableSummary();
    ASSERT_EQ(programs.size(), 1u) << name;
    EXPECT_EQ(programs[0].videoPid, 0x100) << name;
    EXPECT_EQ(programs[0].audioPids, std::vector<int>{0x101}) << name;
    EXPECT_FALSE(programs[0].name.empty()) << name;
  }
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(PsiStageTest, EdgeStreamTypesOfTodaysMuxers) {
  OpenFile(EdgeStream("multi.ts"));
  AnalyseSdt();
  const auto programs = ProgramTableSummary();
  ASSERT_EQ(programs.size(), 3u);
  EXPECT_EQ(programs[2].audioPids, (std::vector<int>{0x105, 0x106, 0x107}))
      << "AC-3 and E-AC-3 (type 0x87) beside the MPEG audio";
  EXPECT_EQ(DisplayName(ProgramTable[1]), "\u8282\u76EE\u4E8C");

  OpenFile(EdgeStream("audio40.ts"));
  AnalysePmt();
  ASSERT_EQ(nProgramCount, 1);
  EXPECT_EQ(ProgramTable[0].video_pid, 0x101) << "the last video stream";
  EXPECT_EQ(ProgramTable[0].audio_count, kMaxAudioPids);
}

TEST_F(PsiStageTest, EdgeNamesDecodedOneRowEach) {
  OpenFile(EdgeStream("weird_names.ts"));
  AnalyseSdt();
  ASSERT_EQ(nProgramCount, 6);
  EXPECT_EQ(DisplayName(ProgramTable[0]), "\\xFF\\xFE bad utf8 \"q\" \\  ");
  EXPECT_EQ(DisplayName(ProgramTable[1]), "\u4E2D\u6587\\xD8\\x00");
  EXPECT_EQ(DisplayName(ProgramTable[2]), "Caf\u00E9 \u20AC");
  EXPECT_EQ(DisplayName(ProgramTable[3]), "Tab Quote\"Back\\slash\\x07");
  const std::string report = BuildSdtDisplayReport();
  EXPECT_EQ(std::count(report.begin(), report.end(), '\n'), 7) << report;
  BuildSdtReport();
  EXPECT_NE(strSdtReport.find("\x15\xFF\xFE"), std::string::npos) << "the report keeps the bytes";
}

TEST_F(PsiStageTest, EdgeOddPidsAndInnerLengths) {
  // PMT PIDs 0x0000 (the PAT's), 0x1FFF (null packets) and 0x0011 (the SDT's).
  OpenFile(EdgeStream("odd_pmt_pids.ts"));
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{{.number = 0xFFFF, .pmtPid = 0x0000},
                                         {.number = 2, .pmtPid = 0x1FFF, .videoPid = 0x100},
                                         {.number = 3, .pmtPid = 0x0011, .videoPid = 0x101,
                                          .serviceType = 1, .name = "Three", .provider = "P"}}));

  // Inner lengths past the section end: nothing read beyond it, nothing
  // made of the bytes there.
  OpenFile(EdgeStream("bad_inner_lengths.ts"));
  AnalyseSdt();
  EXPECT_EQ(bSdtExists, 1);
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{{.number = 1, .pmtPid = 0x50},
                                         {.number = 2, .pmtPid = 0x51, .videoPid = 0x100,
                                          .audioPids = {0x101}}}));
  EXPECT_EQ(ProgramTable[0].pmt_found, 1);

  // Start packets whose adaptation field leaves no room for a pointer_field.
  OpenFile(EdgeStream("adaptation_oddities.ts"));
  AnalysePmt();
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{{.number = 1, .pmtPid = 0x50, .videoPid = 0x100}}));
  EXPECT_TRUE(hooks.Messages().empty());
}
