// `vantrel-cli pat|pmt|sdt` run as a program: the printed reports, --json,
// unreadable and unopenable files.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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
  EXPECT_EQ(pat["programs"][10]["pmt_found"], false);
  EXPECT_EQ(pat["program_table_full"], false);
}

TEST(CliPsi, JsonTellsWhichPmtsWereFoundAndWhetherTheTableWasFull) {
  // test-018: a PAT of 20 programs, PMTs of programs 1 and 2 only.
  CliRun run = RunCli({"pmt", SampleStream("test-018.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  auto json = nlohmann::json::parse(run.out);
  ASSERT_EQ(json["programs"].size(), 20u);
  int found = 0;
  for (const auto& program : json["programs"]) found += program["pmt_found"].get<bool>() ? 1 : 0;
  EXPECT_EQ(found, 2);
  EXPECT_EQ(json["programs"][0]["pmt_found"], true);
  EXPECT_EQ(json["programs"][1]["pmt_found"], true);
  EXPECT_EQ(json["program_table_full"], false);

  run = RunCli({"pat", SampleStream("edge/many_programs_1100.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["program_count"], 1024);
  EXPECT_EQ(json["program_table_full"], true) << "1,100 programs listed, 1,024 kept";
}

TEST(CliPsi, InputThatCannotBeRewoundIsRefused) {
  TempDir dir;
  const std::string fifo = dir.File("stream.fifo");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto refused = [&] {
    for (const char* command : {"pat", "pmt", "sdt"}) {
      CliRun run = RunCli({command, fifo, "--json"});
      EXPECT_EQ(run.exitCode, 1) << command;
      EXPECT_EQ(run.out, "") << command << ": no result at all rather than a wrong one";
      EXPECT_NE(run.err.find("cannot be read again from its start"), std::string::npos) << run.err;
    }
  };
  // No writer: refused at once, not waited for.
  refused();
  // Held open for reading and writing here, the FIFO already holds a whole stream.
  const int fd = open(fifo.c_str(), O_RDWR);
  ASSERT_GE(fd, 0);
  const std::string sample = ReadFileBytes(SampleStream("edge/pat_two_sections_one_packet.ts"));
  ASSERT_EQ(write(fd, sample.data(), sample.size()), static_cast<ssize_t>(sample.size()));
  refused();
  close(fd);
}

TEST(CliPsi, SdtHelpNamesTheVideoPidItShows) {
  CliRun run = RunCli({"sdt", "--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out.find("first video"), std::string::npos) << run.out;
  EXPECT_NE(run.out.find("the last video stream"), std::string::npos) << run.out;
}

TEST(CliPsi, JsonNamesAreDecodedFromTheirCharacterTables) {
  TempDir dir;
  const Bytes latin9 = {0x0B, 'C', 'a', 'f', 0xE9, ' ', 0xA4};          // ISO 8859-15
  const Bytes ucs2 = {0x11, 0x00, 'T', 0x04, 0x1F, 0xE0, 0x8A, 0x00, 'V'};  // "TП", CR/LF code, "V"
  const Bytes brokenUtf8 = {0x15, 'O', 'K', 0xC3};                        // cut sequence
  const Bytes defaultTable = {'A', 0x86, 'B', 0x87, 0xC1, 'e'};          // emphasis codes, a diacritic
  const Bytes gb2312 = {0x13, 0xD6, 0xD0, 0xCE, 0xC4};                    // "中文"
  TsStreamBuilder stream;
  const Bytes pat = PatSection(1, {{1, 0x100}, {2, 0x101}, {3, 0x102}, {4, 0x103}, {5, 0x104}});
  const Bytes sdt = SdtSection(1, 1, {{.serviceId = 1, .name = latin9},
                                      {.serviceId = 2, .name = ucs2},
                                      {.serviceId = 3, .name = brokenUtf8},
                                      {.serviceId = 4, .name = defaultTable},
                                      {.serviceId = 5, .provider = gb2312, .name = gb2312}});
  stream.Section(0x0000, pat).Section(0x0011, sdt);
  ASSERT_TRUE(stream.WriteTo(dir.File("names.ts")));
  CliRun run = RunCli({"sdt", dir.File("names.ts"), "--json"});
  ASSERT_EQ(run.exitCode, 0);
  const auto json = nlohmann::json::parse(run.out);
  EXPECT_EQ(json["programs"][0]["service_name"], "Caf\u00e9 \u20ac");
  EXPECT_EQ(json["programs"][1]["service_name"], "T\u041f V");
  EXPECT_EQ(json["programs"][2]["service_name"], "OK\\xC3") << "undecodable bytes escaped";
  EXPECT_EQ(json["programs"][3]["service_name"], "AB\u00e8");
  EXPECT_EQ(json["programs"][3]["service_name_hex"], "41864287C165");
  EXPECT_EQ(json["programs"][4]["service_name"], "\u4e2d\u6587");
  EXPECT_EQ(json["programs"][4]["provider_name"], "\u4e2d\u6587");
  EXPECT_EQ(json["programs"][4]["provider_name_hex"], "13D6D0CEC4");
}

TEST(CliPsi, AStreamWithoutTablesGivesTheEmptyReports) {
  TempDir dir;
  const std::string name = dir.File("nopat.ts");
  TsStreamBuilder stream;
  stream.NullPackets(20);
  ASSERT_TRUE(stream.WriteTo(name));
  CliRun run = RunCli({"pat", name});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Number of program is 0\nNo.     p number        mapID\n");
  EXPECT_EQ(run.err, "");
  run = RunCli({"pmt", name});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Number of program is 0\n");
  run = RunCli({"sdt", name});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "SDT isn't exist.\n");
  run = RunCli({"sdt", name, "--json"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(nlohmann::json::parse(run.out)["programs"].size(), 0u);
}

// What analyze says of a file that holds no transport stream, pat, pmt and
// sdt say too, with the same status.
TEST(CliPsi, AFileWithoutATransportStreamFailsAsAnalyzeDoes) {
  TempDir dir;
  std::string random(200000, '\0');
  uint32_t state = 12345;
  for (char& c : random) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  const std::pair<const char*, std::string> files[] = {
      {"empty.ts", ""}, {"short.ts", std::string(100, '\x47')}, {"random.bin", random}};
  for (const auto& [name, bytes] : files) {
    const std::string path = dir.File(name);
    WriteFileBytes(path, bytes);
    const CliRun analyze = RunCli({"analyze", path});
    ASSERT_EQ(analyze.exitCode, 1) << name;
    EXPECT_EQ(analyze.err, "vantrel-cli: " + path + " holds no transport stream (" + std::to_string(bytes.size()) +
                               " bytes, no run of 5 sync bytes)\n");
    for (const char* command : {"pat", "pmt", "sdt"}) {
      for (const bool json : {false, true}) {
        std::vector<std::string> args{command, path};
        if (json) args.push_back("--json");
        const CliRun run = RunCli(args);
        EXPECT_EQ(run.exitCode, 1) << command << " " << name;
        EXPECT_EQ(run.out, "") << command << " " << name;
        EXPECT_EQ(run.err, analyze.err) << command << " " << name;
      }
    }
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

TEST(CliPsi, TextOutputShowsDecodedNamesOneRowPerProgram) {
  CliRun run = RunCli({"sdt", SampleStream("edge/weird_names.ts")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "SDT exist.\n"
            "001 \"Video PRG\"  VPID:0x0101 APID:0x0000  \"\\xFF\\xFE bad utf8 \"q\" \\  \"\n"
            "002 \"Video PRG\"  VPID:0x0102 APID:0x0000  \"\u4e2d\u6587\\xD8\\x00\"\n"
            "003 \"Video PRG\"  VPID:0x0103 APID:0x0000  \"Caf\u00e9 \u20ac\"\n"
            "004 \"Video PRG\"  VPID:0x0104 APID:0x0000  \"Tab Quote\"Back\\slash\\x07\"\n"
            "005 \"Video PRG\"  VPID:0x0105 APID:0x0000  \"Greek\u00e1\"\n"
            "006 \"Video PRG\"  VPID:0x0106 APID:0x0000  \"NONAME\"\n");

  run = RunCli({"sdt", SampleStream("test-025.ts")});
  ASSERT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("\"P1.1\"\n"), std::string::npos) << "no selector byte in the text";
}
