// `vantrel-cli device`, `tune`, `signal` and `lnb` run as a program against
// vantrel-boxsim, with a private profile.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/capture/text_shape.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

using Lines = std::vector<std::string>;

class DeviceCliTest : public ::testing::Test {
protected:
  TempDir config;
  ScopedEnv profile{"XDG_CONFIG_HOME", config.path().c_str()};
};

bool Contains(const Lines& lines, const std::string& wanted) {
  for (const std::string& line : lines)
    if (line == wanted) return true;
  return false;
}

TEST_F(DeviceCliTest, NoBoxIsReportedOnStderr) {
  TempDir empty;
  ScopedEnv dir("VANTREL_DEVICE_DIR", empty.path().c_str());
  for (const char* command : {"device", "tune", "signal"}) {
    CliRun run = RunCli({command});
    EXPECT_EQ(run.exitCode, 1) << command;
    EXPECT_EQ(run.out, "") << command;
    EXPECT_EQ(run.err, "No tuner box found.\n") << command;
  }
}

TEST_F(DeviceCliTest, ABoxThatDoesNotSayItsModelIsNotTakenForAnother) {
  // A cable box whose model query never comes back: no command goes on as
  // if it were a satellite box.
  BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5", "--hang", "AABB2880"});
  TempDir out;
  const std::vector<std::vector<std::string>> commands = {
      {"device"}, {"capture", "--freq", "474000", "--seconds", "1", "-o", out.path() + "/never.ts"}};
  for (const auto& command : commands) {
    CliRun run = RunCli(command);
    EXPECT_EQ(run.exitCode, 7) << command[0];
    EXPECT_EQ(run.out, "") << command[0];
    EXPECT_EQ(run.err, "vantrel-cli: the box did not answer within 3 s\n") << command[0];
  }
}

TEST_F(DeviceCliTest, DeviceNamesModelFamilyAndKind) {
  struct Case {
    std::vector<std::string> box;
    std::string expected;
  };
  const Case cases[] = {
      {{"--kind", "t"}, "model 46 family DTT kind T\n"},
      {{"--kind", "a"}, "model 12 family DTT kind A\n"},
      {{"--kind", "s"}, "model 20 family DST kind S\n"},
      {{"--kind", "bus", "--model-code", "HVLPX5"}, "model 5 family DCT kind BUS\n"},
      {{"--kind", "bus", "--model-code", "ABCDEF"}, "model 3 family DST kind BUS\n"},
      {{"--kind", "bus", "--model-code", "KJN-A3"}, "model 13 family none kind BUS\n"},
  };
  for (const Case& c : cases) {
    BoxSimProcess box(c.box);
    CliRun run = RunCli({"device"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, c.expected);
  }
  BoxSimProcess half({"--kind", "bus", "--no-stream-interface"});
  CliRun run = RunCli({"device"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.err, "No tuner box found.\n");
}

TEST_F(DeviceCliTest, TuneCableFromOptionsWithoutTouchingTheProfile) {
  BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "5"});
  CliRun run = RunCli({"tune", "--freq", "474000", "--symbol-rate", "6875", "--qam", "64"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "tuned\n");
  EXPECT_TRUE(Contains(box.JournalLines(), "BUS AABB2900 in=00073B901ADB0040F9 out=9"));
  EXPECT_EQ(ReadProfileInt("DCTSETTINGP", "FREQ", -1), -1);
}

TEST_F(DeviceCliTest, TuneTakesMissingValuesFromTheFamilySection) {
  ASSERT_TRUE(WriteProfileInt("DTTSETTINGP", "FREQ", 474000));
  ASSERT_TRUE(WriteProfileInt("DTTSETTINGP", "BWID", 7));
  BoxSimProcess box({"--kind", "t"});
  CliRun run = RunCli({"tune", "--bw", "8"});
  EXPECT_EQ(run.out, "tuned\n");
  // The tune, then signal status until locked.
  const Lines journal = box.JournalLines();
  ASSERT_GE(journal.size(), 2u);
  EXPECT_EQ(journal[0], "T 00222328 in=09073B900008000026 out=0");
  for (size_t i = 1; i < journal.size(); ++i) EXPECT_EQ(journal[i], "T 0022234C in=0A0A0B0C0900000000 out=3");
}

TEST_F(DeviceCliTest, TuneRefusesOptionsOfAnotherFamily) {
  BoxSimProcess box({"--kind", "t"});
  for (const std::vector<std::string>& args :
       {Lines{"tune", "--qam", "64"}, Lines{"tune", "--pol", "H"}, Lines{"tune", "--symbol-rate", "6875"},
        Lines{"tune", "--iq", "1"}}) {
    CliRun run = RunCli(args);
    EXPECT_EQ(run.exitCode, 2) << args[1];
    EXPECT_NE(run.err.find(args[1]), std::string::npos) << run.err;
  }
  EXPECT_EQ(RunCli({"tune", "--bw", "9"}).exitCode, 2);
  EXPECT_EQ(RunCli({"tune", "--freq", "abc"}).exitCode, 2);
  EXPECT_TRUE(box.JournalLines().empty());
}

TEST_F(DeviceCliTest, TuneRefusesNumbersTheRequestCannotCarry) {
  struct Case {
    std::vector<std::string> box;
    Lines args;
    std::string err;
  };
  const Case cases[] = {
      {{"--kind", "t"}, {"tune", "--freq", "16777217", "--bw", "8"},
       "vantrel-cli: --freq 16777217 is outside 0..16777215 kHz for this box\n"},
      {{"--kind", "bus", "--model-code", "HVLPX5"},
       {"tune", "--freq", "474000", "--symbol-rate", "4294967295"},
       "vantrel-cli: --symbol-rate 4294967295 is outside 0..65535 ksymbol/s for this box\n"},
      {{"--kind", "bus", "--model-code", "HVL-A6"},  // the long frame: 24 bits
       {"tune", "--freq", "474000", "--symbol-rate", "16777216"},
       "vantrel-cli: --symbol-rate 16777216 is outside 0..16777215 ksymbol/s for this box\n"},
      {{"--kind", "s"}, {"tune", "--freq", "11778", "--symbol-rate", "88000"},
       "vantrel-cli: --symbol-rate 88000 is outside 0..87999 ksymbol/s for this box\n"},
      {{"--kind", "s"}, {"tune", "--freq", "2147483648"},
       "vantrel-cli: --freq 2147483648 is outside 0..2147483647 MHz for this box\n"},
  };
  for (const Case& c : cases) {
    BoxSimProcess box(c.box);
    CliRun run = RunCli(c.args);
    EXPECT_EQ(run.exitCode, 2) << c.args[2];
    EXPECT_EQ(run.err, c.err);
    EXPECT_EQ(run.out, "");
    for (const std::string& line : box.JournalLines())
      for (const char* tune : {" AABB2900 ", " AABB2A04 ", " 00222328 "})
        EXPECT_EQ(line.find(tune), std::string::npos) << "nothing tuned: " << line;
  }
  // The largest values that fit are sent as they are.
  BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5", "--lock-ms", "0"});
  CliRun run = RunCli({"tune", "--freq", "16777215", "--symbol-rate", "65535", "--qam", "256"});
  EXPECT_EQ(run.out, "tuned\n") << run.err;
  EXPECT_TRUE(Contains(box.JournalLines(), "BUS AABB2900 in=00FFFFFFFFFF00FF06 out=9"));
}

TEST_F(DeviceCliTest, CableSymbolRateRangeDependsOnTheModel) {
  // Model 6 sends the long frame: a symbol rate above 16 bits is sent.
  {
    BoxSimProcess box({"--kind", "bus", "--model-code", "HVL-A6", "--lock-ms", "0"});
    CliRun run = RunCli({"tune", "--freq", "474000", "--symbol-rate", "70000", "--qam", "64"});
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, "tuned\n");
  }
  // A stored value that only other models of the family carry is refused on
  // model 5, naming its range.
  ASSERT_TRUE(WriteProfileInt("DCTSETTINGP", "SYMR", 70000));
  BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5"});
  CliRun run = RunCli({"tune", "--freq", "474000"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.err,
            "vantrel-cli: the stored symbol rate 70000 (settings profile) is outside 0..65535 ksymbol/s "
            "for this box; give it as an option\n");
  for (const std::string& line : box.JournalLines())
    EXPECT_EQ(line.find(" AABB2900 "), std::string::npos) << "nothing tuned: " << line;
}

TEST_F(DeviceCliTest, StoredValueNoBoxCanCarryReadsAsTheDefault) {
  // As the DTT Setting dialog shows it: the key's default, 12308 kHz.
  ASSERT_TRUE(WriteProfileInt("DTTSETTINGP", "FREQ", 20000000));
  BoxSimProcess box({"--kind", "t"});
  CliRun run = RunCli({"tune", "--bw", "8"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "tuned\n");
}

TEST_F(DeviceCliTest, LnbShowsAHandEditedProfileAsTheDialogDoes) {
  const std::filesystem::path profile = GetProfilePath();
  std::filesystem::create_directories(profile.parent_path());
  std::filesystem::copy_file(std::string(VANTREL_TEST_DATA_DIR) + "/profiles/hostile_profile.ini", profile);
  CliRun run = RunCli({"lnb"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "power off\ntype normal\nlo1 5150\nlo2 5750\ntone off\ntone-burst off\n"
            "data-burst off\ndiseqc none\n");
  // What is written back is the defaults, not the damaged values.
  ASSERT_EQ(RunCli({"lnb", "--tone", "on"}).exitCode, 0);
  EXPECT_EQ(ReadProfileInt("LNB1", "LNB Enable", -1), 0);
  EXPECT_EQ(ReadProfileInt("LNB1", "DiSEqC", -1), 0);
  EXPECT_EQ(ReadProfileInt("LNB1", "22KHz Tone", -1), 1);
}

TEST_F(DeviceCliTest, SignalGivesUpAfterItsTimeoutAndSaysWhy) {
  {
    BoxSimProcess box({"--kind", "bus", "--never-ready"});
    CliRun run = RunCli({"signal", "--freq", "474000", "--bw", "8", "--timeout", "2"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "not tuned: the box did not accept the channel within 2 s\n");
  }
  {
    // Tuned without a ready poll, but never locked.
    BoxSimProcess box({"--kind", "t", "--never-ready"});
    CliRun run = RunCli({"signal", "--freq", "474000", "--bw", "8", "--count", "2",
                         "--interval-ms", "10", "--timeout", "2"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_TRUE(HasShape(run.out, "strength ##% quality ##% unlocked\nstrength ##% quality ##% unlocked\nnot locked\n")) << run.out;
  }
  {
    // 1,200 MHz with a normal LNB (LOs 5,150 and 5,750 MHz): no IF in 950..2,150 MHz.
    BoxSimProcess box({"--kind", "s"});
    CliRun run = RunCli({"signal", "--freq", "1200", "--symbol-rate", "27500", "--timeout", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out.rfind("not tuned: no LO of the LNB brings 1200 MHz", 0), 0u) << run.out;
  }
  {
    // A request that never comes back is cancelled at the timeout.
    BoxSimProcess box({"--kind", "t", "--hang", "222328"});
    CliRun run = RunCli({"signal", "--freq", "474000", "--bw", "8", "--timeout", "1"});
    EXPECT_EQ(run.exitCode, 1);
    EXPECT_EQ(run.out, "not tuned: the box did not accept the channel within 1 s\n");
  }
}

TEST_F(DeviceCliTest, TuneFailureSaysNotTuned) {
  BoxSimProcess box({"--kind", "bus", "--model-code", "HVLPX5", "--fail", "AABB2900"});
  CliRun run = RunCli({"tune", "--freq", "474000"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "not tuned\n");
  BoxSimProcess unserved({"--kind", "bus", "--model-code", "KJN-A3"});
  run = RunCli({"tune"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(run.out, "");
}

TEST_F(DeviceCliTest, SatelliteTuneUsesTheLnbSettingsOfTheProfile) {
  CliRun setup = RunCli({"lnb", "--power", "on", "--type", "universal", "--diseqc", "A"});
  ASSERT_EQ(setup.exitCode, 0) << setup.err;
  BoxSimProcess box({"--kind", "s"});
  CliRun run = RunCli({"tune", "--freq", "11778", "--symbol-rate", "27500", "--pol", "H"});
  EXPECT_EQ(run.out, "tuned\n") << run.err;
  const Lines expected = {"S 00222374 in= out=10",
                          "S 00222320 in=AA000804E01038F3D9 out=10",
                          "S 00222320 in=AA000900FF010000F7 out=10",
                          "S 00222320 in=AA000902FF010000F5 out=10",
                          "S 00222328 in=00049A0150000064AD out=10"};
  Lines journal = box.JournalLines();
  ASSERT_GT(journal.size(), expected.size());
  // Then signal status until the tuner has locked.
  for (size_t i = expected.size(); i < journal.size(); ++i) EXPECT_EQ(journal[i], "S 0022234C in=0A0A0B0C0900000000 out=3");
  journal.resize(expected.size());
  EXPECT_EQ(journal, expected);
}

TEST_F(DeviceCliTest, SignalPrintsReadingsAfterTuning) {
  BoxSimProcess box({"--kind", "bus", "--model-code", "KJNRG8", "--lock-ms", "5", "--strength",
                     "71", "--quality", "33"});
  CliRun run = RunCli({"signal", "--freq", "474000", "--bw", "8", "--count", "3", "--interval-ms", "20"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out,
            "strength 71% quality 33% locked\n"
            "strength 71% quality 33% locked\n"
            "strength 71% quality 33% locked\n");
}

TEST_F(DeviceCliTest, SignalOfADirectBoxWithTwoDigitReadings) {
  BoxSimProcess box({"--kind", "t", "--lock-ms", "1", "--strength", "5", "--quality", "9"});
  CliRun run = RunCli({"signal", "--freq", "474000", "--bw", "8", "--count", "1", "--interval-ms", "50"});
  EXPECT_EQ(run.exitCode, 0) << run.err;
  EXPECT_EQ(run.out, "strength 05% quality 09% locked\n");
}

TEST_F(DeviceCliTest, SignalOnABoxWithoutStatusFails) {
  BoxSimProcess box({"--kind", "a"});
  CliRun run = RunCli({"signal", "--count", "2", "--interval-ms", "0"});
  EXPECT_EQ(run.exitCode, 1);
  EXPECT_EQ(run.out, "");
  EXPECT_EQ(run.err, "signal query failed\nsignal query failed\n");
}

TEST_F(DeviceCliTest, LnbWithoutOptionsShowsLnb1AsTheDialogDoes) {
  CliRun run = RunCli({"lnb"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(run.out,
            "power off\ntype normal\nlo1 5150\nlo2 5750\ntone off\ntone-burst off\n"
            "data-burst off\ndiseqc none\n");
}

TEST_F(DeviceCliTest, LnbWritesAllFourSectionsWithFixedOrCustomPairs) {
  CliRun run = RunCli({"lnb", "--type", "universal", "--tone", "on", "--data-burst", "on", "--diseqc", "C"});
  ASSERT_EQ(run.exitCode, 0) << run.err;
  for (int number = 1; number <= 4; ++number) {
    const std::string section = "LNB" + std::to_string(number);
    EXPECT_EQ(ReadProfileInt(section, "LNB Type", -1), 1);
    EXPECT_EQ(ReadProfileInt(section, "Custom1", -1), 10600);
    EXPECT_EQ(ReadProfileInt(section, "Custom2", -1), 9750);
    EXPECT_EQ(ReadProfileInt(section, "22KHz Tone", -1), 1);
    EXPECT_EQ(ReadProfileInt(section, "Tone Burst", -1), 0);
    EXPECT_EQ(ReadProfileInt(section, "Data Burst", -1), 1);
    EXPECT_EQ(ReadProfileInt(section, "DiSEqC", -1), 3);
    EXPECT_EQ(ReadProfileInt(section, "LNB Enable", -1), 0);
  }
  // The fixed types have no LO edits.
  run = RunCli({"lnb", "--lo1", "9000"});
  EXPECT_EQ(run.exitCode, 2);
  EXPECT_EQ(ReadProfileInt("LNB2", "Custom1", -1), 10600);
  // Switching to custom starts from 11300/0; later edits keep the custom type.
  run = RunCli({"lnb", "--type", "custom"});
  EXPECT_EQ(ReadProfileInt("LNB4", "Custom1", -1), 11300);
  EXPECT_EQ(ReadProfileInt("LNB4", "Custom2", -1), 0);
  run = RunCli({"lnb", "--lo2", "10750"});
  EXPECT_EQ(run.exitCode, 0);
  EXPECT_EQ(ReadProfileInt("LNB3", "Custom1", -1), 11300);
  EXPECT_EQ(ReadProfileInt("LNB3", "Custom2", -1), 10750);
  run = RunCli({"lnb"});
  EXPECT_NE(run.out.find("type custom\nlo1 11300\nlo2 10750\n"), std::string::npos) << run.out;
  // Back to normal: the fixed pair is stored again.
  RunCli({"lnb", "--type", "normal"});
  EXPECT_EQ(ReadProfileInt("LNB1", "Custom1", -1), 5150);
  EXPECT_EQ(ReadProfileInt("LNB1", "Custom2", -1), 5750);
  EXPECT_EQ(RunCli({"lnb", "--diseqc", "E"}).exitCode, 2);
}

}  // namespace
