// `vantrel-cli pat|pmt|sdt` run as a program: the printed reports, --json,
// unreadable and unopenable files.
#include <gtest/gtest.h>

#include <nlohmann/json.hpp>

#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

using namespace tsbuild;

TEST(CliPsi, PatPrintsTheReportAndTheHexTextOfSectionZero) {
  CliRun run = RunCli({"pat", SampleStream("mpts-3prog.ts")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  const std::string expectedHead =
      "Number of program is 3\n"
      "No.     p number        mapID\n"
      "001    101(  65)    512( 200)\n"
      "002    102(  66)    513( 201)\n"
      "003    103(  67)    514( 202)\n"
      "\n"
      "PAT section 0:\n"
      "0x00 0xB0 0x15 0x00 0x01 0xC1 0x00 0x00 0x00 0x65 0xE2 0x00 0x00 0x66 0xE2 0x01 \n"
      "0x00 0x67 0xE2 0x02 0xB3 0x1B 0x41 0x56 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF \n";
  EXPECT_EQ(run.out.substr(0, expectedHead.size()), expectedHead);
  // 183 collected bytes: eleven full lines and one of seven items.
  EXPECT_EQ(run.out.substr(run.out.size() - 37), "\n0xFF 0xFF 0xFF 0xFF 0xFF 0xFF 0xFF \n");
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
}

TEST(CliPsi, PmtPrintsEachProgramWithItsPids) {
  CliRun run = RunCli({"pmt", SampleStream("mpts-3prog.ts")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "Number of program is 3\n"
            "001    101(  65)    512( 200)\n"
            "Video PID :    768(0x00000300)\n"
            "Audio PID :\n"
            "No. 1                 769\n"
            "No. 2                 770\n"
            "002    102(  66)    513( 201)\n"
            "Video PID :      0(0x00000000)\n"
            "Audio PID :\n"
            "No. 1                 771\n"
            "003    103(  67)    514( 202)\n"
            "Video PID :    772(0x00000304)\n"
            "Audio PID :\n"
            "No. 1                 773\n");
}

TEST(CliPsi, SdtPrintsTheNameList) {
  CliRun run = RunCli({"sdt", SampleStream("mpts-3prog.ts")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "SDT exist.\n"
            "001 \"Video PRG\"  VPID:0x0300 APID:0x0301  \"News 24\"\n"
            "002 \"Video PRG\"  VPID:0x0000 APID:0x0303  \"Radio One\"\n"
            "003 \"Video PRG\"  VPID:0x0304 APID:0x0305  \"Sport HD\"\n");
}

TEST(CliPsi, JsonHoldsTheProgramTableWithNamesAsTextAndHex) {
  CliRun run = RunCli({"sdt", SampleStream("test-025.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["program_count"], 1);
  EXPECT_EQ(json["sdt_exists"], true);
  const auto& program = json["programs"].at(0);
  EXPECT_EQ(program["program_number"], 2064);
  EXPECT_EQ(program["pmt_pid"], 0x810);
  EXPECT_EQ(program["video_pid"], 0x1000);
  EXPECT_EQ(program["audio_pids"], nlohmann::json::array({0x1001}));
  EXPECT_EQ(program["service_type"], 1);
  EXPECT_EQ(program["service_name"], "P1.1") << "the character-table byte selects, it is not text";
  EXPECT_EQ(program["service_name_hex"], "0450312E31");
  EXPECT_EQ(program["provider_name"], "DVB");
  EXPECT_EQ(program["provider_name_hex"], "03445642");

  // The PAT command alone leaves the later stages undone.
  run = RunCli({"pat", SampleStream("test-030.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  const auto pat = nlohmann::json::parse(run.out);
  EXPECT_EQ(pat["pat_done"], true);
  EXPECT_EQ(pat["pmt_done"], false);
  EXPECT_EQ(pat["programs"].size(), 11u);
  EXPECT_EQ(pat["programs"][10]["program_number"], 8899);
  EXPECT_EQ(pat["programs"][10]["pmt_pid"], 0x1003);
}

TEST(CliPsi, JsonNamesInOtherCharacterTablesStayValidText) {
  TempDir dir;
  const Bytes latin9 = {0x0B, 'C', 'a', 'f', 0xE9, ' ', 0xA4};          // ISO 8859-15
  const Bytes ucs2 = {0x11, 0x00, 'T', 0x04, 0x1F, 0xE0, 0x8A, 0x00, 'V'};  // "TП\nV"
  const Bytes brokenUtf8 = {0x15, 'O', 'K', 0xC3};                        // cut sequence
  const Bytes defaultTable = {'A', 0x86, 'B', 0x87, 0xC1, 'e'};          // emphasis codes, a diacritic
  TsStreamBuilder stream;
  const Bytes pat = PatSection(1, {{1, 0x100}, {2, 0x101}, {3, 0x102}, {4, 0x103}});
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 1, .name = latin9},
                                      {.serviceId = 2, .name = ucs2},
                                      {.serviceId = 3, .name = brokenUtf8},
                                      {.serviceId = 4, .name = defaultTable}});
  stream.Section(0x0000, pat).Section(0x0000, pat).Section(0x0011, sdt).Section(0x0011, sdt);
  ASSERT_TRUE(stream.WriteTo(dir.File("names.ts")));
  CliRun run = RunCli({"sdt", dir.File("names.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["programs"][0]["service_name"], "Caf\u00e9 \u20ac");
  EXPECT_EQ(json["programs"][1]["service_name"], "T\u041f\nV");
  EXPECT_EQ(json["programs"][2]["service_name"], "OK\ufffd");
  EXPECT_EQ(json["programs"][3]["service_name"], "AB\ufffde");
  EXPECT_EQ(json["programs"][3]["service_name_hex"], "41864287C165");
}

TEST(CliPsi, UnreadableFilesGiveTheEmptyReports) {
  TempDir dir;
  WriteFileBytes(dir.File("short.ts"), std::string(100, '\x47'));
  for (const char* name : {"short.ts", "nopat.ts"}) {
    if (std::string(name) == "nopat.ts") {
      TsStreamBuilder stream;
      stream.NullPackets(20);
      ASSERT_TRUE(stream.WriteTo(dir.File(name)));
    }
    CliRun run = RunCli({"pat", dir.File(name)});
    EXPECT_EQ(run.exitCode, 0) << name;
    EXPECT_EQ(run.out, "Number of program is 0\nNo.     p number        mapID\n") << name;
    EXPECT_EQ(run.err, "") << name;
    run = RunCli({"pmt", dir.File(name)});
    EXPECT_EQ(run.exitCode, 0) << name;
    EXPECT_EQ(run.out, "Number of program is 0\n") << name;
    run = RunCli({"sdt", dir.File(name)});
    EXPECT_EQ(run.exitCode, 0) << name;
    EXPECT_EQ(run.out, "SDT isn't exist.\n") << name;
    run = RunCli({"sdt", dir.File(name), "--json"});
    EXPECT_EQ(run.exitCode, 0) << name;
    EXPECT_EQ(nlohmann::json::parse(run.out)["programs"].size(), 0u) << name;
  }
}

TEST(CliPsi, FileThatCannotBeOpenedExitsWithOne) {
  TempDir dir;
  for (const char* command : {"pat", "pmt", "sdt"}) {
    CliRun run = RunCli({command, dir.File("missing.ts")});
    EXPECT_EQ(run.exitCode, 1) << command;
    EXPECT_EQ(run.out, "") << command;
    EXPECT_EQ(run.err, "Open file failure !\n") << command;
  }
  CliRun run = RunCli({"sdt"});
  EXPECT_EQ(run.exitCode, 2) << "FILE is required";
}

TEST(CliPsi, TextOutputChangesOnlyLineEndsAndKeepsNameBytes) {
  TempDir dir;
  TsStreamBuilder stream;
  const Bytes pat = PatSection(1, {{1, 0x100}});
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 1, .name = {'A', '\r', 'B'}}});
  stream.Section(0x0000, pat).Section(0x0000, pat).Section(0x0011, sdt).Section(0x0011, sdt);
  ASSERT_TRUE(stream.WriteTo(dir.File("cr.ts")));
  CliRun run = RunCli({"sdt", dir.File("cr.ts")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "SDT exist.\n001 \"Video PRG\"  VPID:0x0000 APID:0x0000  \"A\rB\"\n");
}
