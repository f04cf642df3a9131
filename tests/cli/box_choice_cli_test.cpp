// `--box` of the box commands: with several boxes present the one chosen is
// opened (by kind, or by the path of its socket, also in another folder), a
// chosen box that is absent is named, and the choice is remembered.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/profile.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"

namespace {

TEST(CliBoxChoice, TheChosenBoxIsOpenedAndRemembered) {
  TempDir config;
  ScopedEnv profile("XDG_CONFIG_HOME", config.path().c_str());
  BoxSimProcess elsewhere({"--kind", "a"});
  const std::string otherFolder = elsewhere.DeviceDirectory();
  BoxSimProcess boxes({"--kind", "t,s,bus", "--model-code", "HVLPX5"});
  ASSERT_TRUE(boxes.IsRunning() && elsewhere.IsRunning());
  const std::string folder = boxes.DeviceDirectory();
  struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string remembered;
  };
  const Case cases[] = {
      {{"device"}, "model 46 family DTT kind T\n", ""},
      {{"device", "--box", "s"}, "model 20 family DST kind S\n", "s"},
      {{"device", "--box", "BUS"}, "model 5 family DCT kind BUS\n", "bus"},
      {{"device", "--box", "t"}, "model 46 family DTT kind T\n", "t"},
      {{"device", "--box", folder + "/QVUSB-S-000"}, "model 20 family DST kind S\n", folder + "/QVUSB-S-000"},
      {{"device", "--box", otherFolder + "/{FCB41FCF-AB28-4E01-AB0E-E7FA22B753C0}#0"},
       "model 12 family DTT kind A\n", otherFolder + "/{FCB41FCF-AB28-4E01-AB0E-E7FA22B753C0}#0"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.args.back());
    const CliRun run = RunCli(c.args);
    EXPECT_EQ(run.exitCode, 0) << run.err;
    EXPECT_EQ(run.out, c.out);
    if (!c.remembered.empty()) {
      EXPECT_EQ(ReadProfileText("Device", "Box"), c.remembered);
    }
  }

  // A chosen box that is not there is named; another box is not taken instead.
  const CliRun absent = RunCli({"device", "--box", "a"});
  EXPECT_EQ(absent.exitCode, 1);
  EXPECT_EQ(absent.out, "");
  EXPECT_EQ(absent.err, "No tuner box found: no A box (--box a) in " + folder + ".\n");
  EXPECT_EQ(ReadProfileText("Device", "Box"), otherFolder + "/{FCB41FCF-AB28-4E01-AB0E-E7FA22B753C0}#0");

  for (const char* bad : {"x", "", "/tmp/not-a-box"}) {
    const CliRun run = RunCli({"tune", "--box", bad});
    EXPECT_EQ(run.exitCode, 2) << bad;
    EXPECT_NE(run.err.find("is neither t, a, s nor bus"), std::string::npos) << run.err;
  }
  EXPECT_EQ(RunCli({"pat", "--box", "t", "x.ts"}).exitCode, 2) << "pat opens no box";
}

}  // namespace
