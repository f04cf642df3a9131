// Start-up and exit with and without a tuner box, and the device commands'
// checks against the simulated box.
#include <gtest/gtest.h>

#include <cstdio>
#include <sys/wait.h>

#include "analysis/engine/ts_file.h"
#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "device/tuner_device.h"
#include "platform/ui_hooks.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"

namespace {

class StartupTest : public ::testing::Test {
protected:
  void SetUp() override { TestApplication(); }
  void TearDown() override {
    InstallUiHooks({});  // InitInstance installed the Qt message boxes
    CloseTunerDevice();
    ResetAnalysis();
  }
};

TEST_F(StartupTest, WithoutABoxTheProgramEndsBeforeItsWindowShows) {
  TempDir devices;
  TempDir output;
  const std::string command = "VANTREL_DEVICE_DIR='" + devices.path() +
                              "' QT_QPA_PLATFORM=offscreen timeout 60 '" VANTREL_BINARY_DIR "/app/vantrel' 2>'" +
                              output.File("stderr") + "' >/dev/null";
  const int status = std::system(command.c_str());
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_NE(WEXITSTATUS(status), 0);
  EXPECT_NE(WEXITSTATUS(status), 124) << "still running after 60 s";
  const std::string err = ReadFileBytes(output.File("stderr"));
  EXPECT_NE(err.find("vantrel: no tuner box found (looked for devices in " + devices.path() + ")\n"),
            std::string::npos)
      << err;

  // The same in process: the frame exists but was never shown.
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  EXPECT_FALSE(app.InitInstance());
  ASSERT_NE(app.GetMainFrame(), nullptr);
  EXPECT_FALSE(app.GetMainFrame()->isVisible());
  EXPECT_EQ(bDeviceOpen, 0);
  EXPECT_EQ(nTunerModel.load(), 255);
}

TEST_F(StartupTest, WithABoxTheWindowShowsAndExitClosesTheBox) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  RecordingUiHooks hooks;
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_TRUE(app.GetMainFrame()->isVisible());
  EXPECT_EQ(bDeviceOpen, 1);
  EXPECT_EQ(nTunerModel.load(), 46);
  EXPECT_EQ(QCoreApplication::applicationName(), QStringLiteral("VANTREL"));
  strTsFileName = LongSample();
  app.GetMainFrame()->close();
  EXPECT_EQ(app.ExitInstance(), 0);
  EXPECT_EQ(bDeviceOpen, 0);
  EXPECT_TRUE(strTsFileName.empty());
}

// Runs one device command of a frame started on the given simulated box;
// returns the messages it showed and the ids of the dialogs it opened (each
// cancelled at once).
std::vector<std::string> RunDeviceCommand(const std::vector<std::string>& boxArguments, int command,
                                          QStringList* dialogs = nullptr) {
  BoxSimProcess box(boxArguments);
  EXPECT_TRUE(box.IsRunning());
  CTollbeckApp app;
  EXPECT_TRUE(app.InitInstance());
  RecordingUiHooks hooks;  // after InitInstance, which installs the Qt hooks
  ShownDialogRecorder shown;
  ModalWatch cancelEveryDialog;
  cancelEveryDialog.Watch<QDialog>([](QDialog* dialog) { dialog->reject(); }, 0, true);
  app.GetMainFrame()->CommandAction(command)->trigger();
  app.GetMainFrame()->close();
  app.ExitInstance();
  if (dialogs) *dialogs = shown.Shown();
  return hooks.Messages();
}

TEST_F(StartupTest, UnsupportedBoxesGetMessage616) {
  const std::vector<std::string> unsupported{"This device is unsupported!"};
  EXPECT_EQ(RunDeviceCommand({"--kind", "s"}, kCmdAntennaTuning), unsupported);  // satellite, model 20
  EXPECT_EQ(RunDeviceCommand({"--kind", "bus", "--model-code", "HVLPX5"}, kCmdAntennaTuning), unsupported);
  EXPECT_EQ(RunDeviceCommand({"--kind", "a"}, kCmdAntennaTuning), unsupported);  // model 12
  EXPECT_EQ(RunDeviceCommand({"--kind", "bus", "--model-code", "KJN-A3"}, kCmdCapture), unsupported);  // 13
  // Served boxes get their dialog: "DTT Setting", the Antenna Tuning
  // Utility, "DCT Setting", "DST Setting".
  const std::pair<std::vector<std::string>, int> served[] = {
      {{"--kind", "t"}, kCmdCapture}, {{"--kind", "t"}, kCmdAntennaTuning},
      {{"--kind", "bus", "--model-code", "HVLPX5"}, kCmdCapture}, {{"--kind", "s"}, kCmdCapture}};
  const char* const expectedDialog[] = {"145", "151", "153", "136"};
  for (size_t i = 0; i < std::size(served); ++i) {
    QStringList dialogs;
    EXPECT_TRUE(RunDeviceCommand(served[i].first, served[i].second, &dialogs).empty()) << i;
    EXPECT_EQ(dialogs.value(0).toStdString(), expectedDialog[i]) << i;
  }
}

TEST_F(StartupTest, DeviceCommandsStopSilentlyWhenTheBoxCannotBeOpened) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  RecordingUiHooks hooks;
  CloseTunerDevice();
  box.Stop();
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  app.GetMainFrame()->CommandAction(kCmdAntennaTuning)->trigger();
  EXPECT_TRUE(hooks.Messages().empty());
  EXPECT_EQ(bDeviceOpen, 0);
  app.GetMainFrame()->close();
  app.ExitInstance();
}

}  // namespace
