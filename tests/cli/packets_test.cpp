// `vantrel-cli packets` run as a program: output format, conditions, limits
// and exit codes.
#include <gtest/gtest.h>

#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"

using namespace tsbuild;

namespace {

int CountOf(const std::string& text, const std::string& what) {
  int count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++count;
  return count;
}

TEST(CliPackets, PrintsEachMatchThenTheCount) {
  TempDir dir;
  TsStreamBuilder stream;
  stream.Packet({.pid = 0x100, .pusi = 1, .afc = 3, .cc = 2}, Bytes{0x00}, Bytes{0x10})
      .Packet({.pid = 0x100, .cc = 3})
      .NullPackets(1)
      .Packet({.pid = 0x100, .pusi = 1, .priority = 1, .cc = 4});
  ASSERT_TRUE(stream.WriteTo(dir.File("s.ts")));

  CliRun run = RunCli({"packets", dir.File("s.ts"), "--pid", "0x100", "--pusi", "1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.err, "");
  EXPECT_EQ(run.out,
            "sync_byte                               71 0X47        \n"
            "transport_error_indicator                0 0X0         \n"
            "payload_unit_start_indicator             1 0X1         \n"
            "transport_priority                       0 0X0         \n"
            "PID                                    256 0X100       \n"
            "transport_scrambling_control             0 0X0         \n"
            "adaptation_field_control                 3 0X3         \n"
            "continuity_counter                       2 0X2         \n"
            "\n"
            "sync_byte                               71 0X47        \n"
            "transport_error_indicator                0 0X0         \n"
            "payload_unit_start_indicator             1 0X1         \n"
            "transport_priority                       1 0X1         \n"
            "PID                                    256 0X100       \n"
            "transport_scrambling_control             0 0X0         \n"
            "adaptation_field_control                 1 0X1         \n"
            "continuity_counter                       4 0X4         \n"
            "Analyzed packets: 4\n");

  run = RunCli({"packets", dir.File("s.ts"), "--pid=256", "--afc", "1"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(CountOf(run.out, "sync_byte"), 2);
  EXPECT_EQ(CountOf(run.out, "adaptation_field_control                 1 0X1"), 2);

  // Without --pid the PID condition is still on, with PID 0.
  run = RunCli({"packets", dir.File("s.ts")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Analyzed packets: 4\n");
}

TEST(CliPackets, SampleStreamAndTheMatchLimit) {
  // test-018.ts: 100 packets, nine of them on PID 0 (packets 2, 15, ...).
  CliRun run = RunCli({"packets", SampleStream("test-018.ts"), "--pid", "0"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(CountOf(run.out, "sync_byte"), 9);
  EXPECT_EQ(CountOf(run.out, "PID                                      0 0X0"), 9);
  EXPECT_EQ(CountOf(run.out, "\n\n"), 8);
  EXPECT_EQ(run.out.find('\r'), std::string::npos);
  EXPECT_EQ(run.out.substr(run.out.size() - 23), "\nAnalyzed packets: 100\n");

  run = RunCli({"packets", SampleStream("test-018.ts"), "--pid", "0", "--max", "2"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(CountOf(run.out, "sync_byte"), 2);
  EXPECT_NE(run.out.find("Analyzed packets: 16\n"), std::string::npos);
}

TEST(CliPackets, UsageErrorsExitWithTwo) {
  std::string sample = SampleStream("test-018.ts");
  for (const std::vector<std::string>& args :
       std::vector<std::vector<std::string>>{{"packets", sample, "--pid", "0x2000"},
                                             {"packets", sample, "--pid", "abc"},
                                             {"packets", sample, "--pusi", "2"},
                                             {"packets", sample, "--afc", "4"},
                                             {"packets", sample, "--max", "0"},
                                             {"packets", sample, "--bogus"},
                                             {"packets"}}) {
    SCOPED_TRACE(args.back());
    CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, 2);
    EXPECT_EQ(run.out, "");
    EXPECT_EQ(CountOf(run.err, "\n"), 1) << run.err;
  }
}

TEST(CliPackets, FilesThatCannotBeRead) {
  TempDir dir;
  CliRun run = RunCli({"packets", dir.File("missing.ts")});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "Open file failure !\n");

  // A file without a whole packet is read, not refused.
  ASSERT_TRUE(WriteTsFile(dir.File("short.ts"), Bytes(100, 0x47)));
  run = RunCli({"packets", dir.File("short.ts")});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out, "Analyzed packets: 0\n");
}

TEST(CliPackets, HelpExplainsTheOptions) {
  CliRun run = RunCli({"packets", "--help"});
  EXPECT_EQ(run.exitCode, 0);
  for (const char* option : {"--pid", "--pusi", "--afc", "--max", "FILE"})
    EXPECT_NE(run.out.find(option), std::string::npos) << option;
  run = RunCli({"--help"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_NE(run.out.find("packets"), std::string::npos);
}

}  // namespace
