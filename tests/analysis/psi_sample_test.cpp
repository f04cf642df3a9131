// The stages on the bundled real streams against the facts in
// tests/data/streams/expected.md.
#include <gtest/gtest.h>

#include "analysis/engine/reports.h"
#include "tests/analysis/psi_test_support.h"

namespace {

ProgramSummary Named(ProgramSummary program, int type, std::string name, std::string provider) {
  program.serviceType = type;
  program.name = std::move(name);
  program.provider = std::move(provider);
  return program;
}

// The first lines of a report.
std::string Head(const std::string& report, const std::string& expected) {
  return report.substr(0, expected.size());
}

}  // namespace

TEST_F(PsiStageTest, Test018TerrestrialCapture) {
  OpenFile(SampleStream("test-018.ts"));
  EXPECT_EQ(AnalyseSdt(), 1);
  EXPECT_EQ(bSdtExists, 1);
  const std::string mediaset = "Mediaset";
  const std::vector<ProgramSummary> expected{
      Named({1, 0x0100, 0x0654, {0x0655, 0x0656}}, 1, "Italia 1", mediaset),
      Named({2, 0x0101, 0x064A, {0x064B, 0x064C}}, 1, "Canale 5", mediaset),
      Named({3, 0x0102}, 1, "Rete 4", mediaset),
      Named({4, 0x0103}, 1, "Iris", mediaset),
      Named({6, 0x0106}, 1, "Boing", mediaset),
      Named({7, 0x0107}, 1, "La 5", mediaset),
      Named({8, 0x0108}, 1, "TgCom24", mediaset),
      Named({9, 0x0109}, 1, "Mediaset EXTRA", mediaset),
      Named({10, 0x010A}, 1, "Mediaset ITALIA DUE", mediaset),
      Named({12, 0x010B}, 1, "Topcrime", mediaset),
      Named({13, 0x010E}, 1, "Cartoonito", ""),
      Named({71, 0x010F}, 1, "LA7", ""),
      Named({72, 0x0110}, 1, "LA7d", ""),
      Named({101, 0x0119}, 2, "Radio R101", ""),
      Named({102, 0x011A}, 2, "Radio Monte Carlo", ""),
      Named({103, 0x011B}, 2, "Radio Monte Carlo 2", ""),
      Named({104, 0x011C}, 2, "Virgin radio", ""),
      Named({105, 0x011D}, 2, "Radio 105", ""),
      Named({805, 0x010D}, 1, "Mediaset On Demand", mediaset),
      Named({899, 0x010C}, 1, "Infinity", ""),
  };
  EXPECT_EQ(ProgramTableSummary(), expected);

  BuildPatReport();
  const std::string patHead =
      "Number of program is 20\r\n"
      "No.     p number        mapID\r\n"
      "001      1(   1)    256( 100)\r\n";
  EXPECT_EQ(Head(strPatReport, patHead), patHead);
  BuildSdtReport();
  const std::string sdtHead =
      "SDT exist.\r\n001 \"Video PRG\"  VPID:0x0654 APID:0x0655  \"Italia 1\"\r\n";
  EXPECT_EQ(Head(strSdtReport, sdtHead), sdtHead);
  EXPECT_TRUE(hooks.Messages().empty());
}

TEST_F(PsiStageTest, Test025NamesKeepTheirCharacterTableByte) {
  OpenFile(SampleStream("test-025.ts"));
  AnalyseSdt();
  EXPECT_EQ(ProgramTableSummary(),
            std::vector<ProgramSummary>{Named({2064, 0x0810, 0x1000, {0x1001}}, 1, "\x04P1.1", "\x03" "DVB")});
  BuildSdtReport();
  EXPECT_EQ(strSdtReport, "SDT exist.\r\n001 \"Video PRG\"  VPID:0x1000 APID:0x1001  \"\x04P1.1\"\r\n");
}

TEST_F(PsiStageTest, Test030PatWithoutPmtOrSdt) {
  OpenFile(SampleStream("test-030.ts"));
  EXPECT_EQ(AnalysePat(), 1);
  ASSERT_NE(PatSectionList, nullptr);
  // The section and the stuffing behind it: "\r\n0x00 0xB0 ..." for table_id 0.
  EXPECT_EQ(Head((*PatSectionList)[0].text, "\r\n0x00 0xB0 "), "\r\n0x00 0xB0 ");
  Restart();
  AnalyseSdt();
  EXPECT_EQ(bSdtExists, 0);
  const std::vector<std::pair<int, int>> pat{{8801, 0x0064}, {8802, 0x00C8}, {8803, 0x012C},
                                             {8804, 0x0190}, {8805, 0x01F4}, {8806, 0x0258},
                                             {8807, 0x02BC}, {8808, 0x0320}, {8809, 0x0384},
                                             {8810, 0x03E8}, {8899, 0x1003}};
  std::vector<ProgramSummary> expected;
  for (auto [number, pid] : pat) expected.push_back({number, pid});
  EXPECT_EQ(ProgramTableSummary(), expected);
  BuildSdtReport();
  const std::string sdtHead =
      "SDT isn't exist.\r\n001 \"UNTYPE 0\"  VPID:0x0000 APID:0x0000  \"NONAME\"\r\n";
  EXPECT_EQ(Head(strSdtReport, sdtHead), sdtHead);
}

TEST_F(PsiStageTest, Mpts3progAcrossTwoBlocks) {
  OpenFile(SampleStream("mpts-3prog.ts"));
  EXPECT_EQ(AnalyseSdt(), 1);
  EXPECT_EQ(ProgramTableSummary(),
            (std::vector<ProgramSummary>{
                Named({101, 0x0200, 0x0300, {0x0301, 0x0302}}, 1, "News 24", "FFmpeg"),
                Named({102, 0x0201, 0, {0x0303}}, 1, "Radio One", "FFmpeg"),
                // H.264 video and AAC audio.
                Named({103, 0x0202, 0x0304, {0x0305}}, 1, "Sport HD", "FFmpeg")}));
}
