// The PAT and SDT reports, the PAT section hex text and the program detail
// text, byte for byte.
#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "analysis/engine/psi.h"
#include "analysis/engine/reports.h"

namespace {

struct ReportFixture : ::testing::Test {
  void SetUp() override {
    std::memset(ProgramTable, 0, sizeof(ProgramTable));
    nProgramCount = 0;
    bSdtExists = 0;
  }
  void TearDown() override { SetUp(); }

  static ProgramRecord& Add(int programNumber, int pmtPid) {
    ProgramRecord& record = ProgramTable[nProgramCount++];
    record.program_number = programNumber;
    record.pmt_pid = pmtPid;
    return record;
  }
};

}  // namespace

TEST_F(ReportFixture, PatReportWithoutProgramsIsTheTwoHeaderLines) {
  BuildPatReport();
  EXPECT_EQ(strPatReport, "Number of program is 0\r\nNo.     p number        mapID\r\n");
}

TEST_F(ReportFixture, PatReportRows) {
  Add(101, 256);
  Add(65535, 0x1FFF);
  Add(7, 0x10);
  BuildPatReport();
  EXPECT_EQ(strPatReport,
            "Number of program is 3\r\n"
            "No.     p number        mapID\r\n"
            "001    101(  65)    256( 100)\r\n"
            "002  65535(FFFF)   8191(1FFF)\r\n"
            "003      7(   7)     16(  10)\r\n");
  EXPECT_EQ(BuildPatReportRow(1), "002  65535(FFFF)   8191(1FFF)\r\n");
}

TEST_F(ReportFixture, RowNumbersFromOneThousandWidenTheFirstColumn) {
  for (int i = 0; i < kMaxPrograms; ++i) Add(i + 1, 0x100 + i);
  BuildPatReport();
  EXPECT_EQ(strPatReport.substr(0, 27), "Number of program is 1024\r\n");
  const std::string row999 = "999    999( 3E7)   1254( 4E6)\r\n";
  const std::string row1000 = "1000   1000( 3E8)   1255( 4E7)\r\n";
  const std::string last = "1024   1024( 400)   1279( 4FF)\r\n";
  EXPECT_NE(strPatReport.find(row999 + row1000), std::string::npos);
  EXPECT_EQ(strPatReport.substr(strPatReport.size() - last.size()), last);

  // The report is replaced, not appended to.
  nProgramCount = 1;
  BuildPatReport();
  EXPECT_EQ(strPatReport, "Number of program is 1\r\nNo.     p number        mapID\r\n"
                          "001      1(   1)    256( 100)\r\n");
}

TEST_F(ReportFixture, SdtReportWithoutProgramsIsItsFirstLine) {
  BuildSdtReport();
  EXPECT_EQ(strSdtReport, "SDT isn't exist.\r\n");
  bSdtExists = 1;
  BuildSdtReport();
  EXPECT_EQ(strSdtReport, "SDT exist.\r\n");
}

TEST_F(ReportFixture, SdtReportRows) {
  bSdtExists = 1;
  ProgramRecord& news = Add(101, 0x100);
  news.service_type = 1;
  news.video_pid = 0x100;
  news.audio_pids[0] = 0x101;
  news.audio_count = 1;
  std::strcpy(news.service_name, "News");
  ProgramRecord& radio = Add(102, 0x200);
  radio.service_type = 2;
  radio.audio_pids[0] = 0x1FFF;
  radio.audio_count = 1;
  std::strcpy(radio.service_name, "\x04P1.1");  // character-table selector stays
  Add(103, 0x300).service_type = 0x19;
  Add(104, 0x400);  // no service descriptor
  BuildSdtReport();
  EXPECT_EQ(strSdtReport,
            "SDT exist.\r\n"
            "001 \"Video PRG\"  VPID:0x0100 APID:0x0101  \"News\"\r\n"
            "002 \"Audio PRG\"  VPID:0x0000 APID:0x1FFF  \"\x04P1.1\"\r\n"
            "003 \"UNTYPE25\"  VPID:0x0000 APID:0x0000  \"NONAME\"\r\n"
            "004 \"UNTYPE 0\"  VPID:0x0000 APID:0x0000  \"NONAME\"\r\n");
}

TEST_F(ReportFixture, SdtReportWithoutSdtStillListsThePrograms) {
  Add(1, 0x100);
  BuildSdtReport();
  EXPECT_EQ(strSdtReport,
            "SDT isn't exist.\r\n001 \"UNTYPE 0\"  VPID:0x0000 APID:0x0000  \"NONAME\"\r\n");
}

TEST_F(ReportFixture, SdtReportStopsAtTheEndOfAnUnterminatedName) {
  ProgramRecord& record = Add(1, 0x100);
  std::memset(record.service_name, 'A', sizeof(record.service_name));
  BuildSdtReport();
  EXPECT_NE(strSdtReport.find("\"" + std::string(256, 'A') + "\"\r\n"), std::string::npos);
}

TEST(SectionHexText, SixteenBytesAreOneLineSeventeenStartASecond) {
  std::vector<uint8_t> bytes;
  for (int i = 0; i < 17; ++i) bytes.push_back(static_cast<uint8_t>(i * 0x11 + 0x0A));
  EXPECT_EQ(BuildSectionHexText(bytes.data(), 16),
            "\r\n0x0A 0x1B 0x2C 0x3D 0x4E 0x5F 0x70 0x81 0x92 0xA3 0xB4 0xC5 0xD6 0xE7 0xF8 0x09 ");
  EXPECT_EQ(BuildSectionHexText(bytes.data(), 17),
            "\r\n0x0A 0x1B 0x2C 0x3D 0x4E 0x5F 0x70 0x81 0x92 0xA3 0xB4 0xC5 0xD6 0xE7 0xF8 0x09 "
            "\r\n0x1A ");
  EXPECT_EQ(BuildSectionHexText(bytes.data(), 0), "");
}

TEST(ProgramDetailText, VideoAndAudioLines) {
  ProgramRecord record;
  std::memset(&record, 0, sizeof(record));
  EXPECT_EQ(BuildProgramDetailText(record), "Video PID :      0(0x00000000)\r\n");

  record.video_pid = 0x100;
  record.audio_pids[0] = 0x101;
  record.audio_pids[1] = 0x102;
  record.audio_count = 2;
  EXPECT_EQ(BuildProgramDetailText(record),
            "Video PID :    256(0x00000100)\r\n"
            "Audio PID :\r\n"
            "No. 1                 257\r\n"
            "No. 2                 258\r\n");

  for (int k = 0; k < kMaxAudioPids; ++k) record.audio_pids[k] = 8191;
  record.audio_count = kMaxAudioPids;
  const std::string text = BuildProgramDetailText(record);
  EXPECT_NE(text.find("No.32                8191\r\n"), std::string::npos);
  record.audio_count = 1000;  // never read past the PID array
  EXPECT_EQ(BuildProgramDetailText(record), text);
}
