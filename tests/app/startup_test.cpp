// Start-up and exit with and without a tuner box, and the device commands'
// checks against the simulated box.
#include <gtest/gtest.h>

#include <QLabel>
#include <QMessageBox>
#include <filesystem>
#include <QPushButton>

#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/engine/psi.h"
#include "analysis/engine/ts_file.h"
#include "app/main_frame.h"
#include "capture/capture_settings.h"
#include "app/tollbeck_app.h"
#include "device/tuner_device.h"
#include "platform/ui_hooks.h"
#include "ui/shell_state.h"
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

// Starts the application without a box, answering the question with
// `answer` (or expecting none); returns the question's text.
QString StartWithoutABox(CTollbeckApp& app, QMessageBox::StandardButton answer, bool* started) {
  QString question;
  auto watch = WhenModal<QMessageBox>([&](QMessageBox* box) {
    question = box->windowTitle() + QLatin1Char('|') + box->text();
    box->button(answer)->click();
  });
  *started = app.InitInstance();
  return question;
}

TEST_F(StartupTest, WithoutABoxTheUserIsAskedAndNoEndsTheProgramBeforeItsWindowShows) {
  TempDir devices;
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  bool started = true;
  const QString question = StartWithoutABox(app, QMessageBox::No, &started);
  EXPECT_FALSE(started);
  EXPECT_EQ(question.toStdString(), "VANTREL|No tuner box was found.\nLooked for devices in: " + devices.path() +
                                        "\n\nContinue for file analysis only?");
  ASSERT_NE(app.GetMainFrame(), nullptr);
  EXPECT_FALSE(app.GetMainFrame()->isVisible());
  EXPECT_EQ(bDeviceOpen, 0);
  EXPECT_EQ(nTunerModel.load(), 255);
}

TEST_F(StartupTest, ContinuingWithoutABoxAnalysesFilesAndDeviceCommandsSaySo) {
  TempDir devices;
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  bool started = false;
  StartWithoutABox(app, QMessageBox::Yes, &started);
  ASSERT_TRUE(started);
  EXPECT_TRUE(app.GetMainFrame()->isVisible());
  RecordingUiHooks hooks;
  ShownDialogRecorder shown;
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  app.GetMainFrame()->CommandAction(kCmdAntennaTuning)->trigger();
  EXPECT_EQ(hooks.Messages(), (std::vector<std::string>{"No tuner box found.", "No tuner box found."}));
  EXPECT_TRUE(shown.Shown().isEmpty());
  // File analysis works.
  hooks.QueueOpenFileAnswer(LongSample());
  app.GetMainFrame()->CommandAction(kCmdSelectFile)->trigger();
  ModalWatch acceptResults;
  acceptResults.Watch<QDialog>(
      [](QDialog* dialog) {
        if (dialog->objectName() == QLatin1String("131")) dialog->accept();
      },
      0, true);
  app.GetMainFrame()->CommandAction(kCmdPat)->trigger();
  EXPECT_TRUE(shown.Shown().contains(QStringLiteral("131")));
  EXPECT_NE(nProgramCount, 0);
  app.GetMainFrame()->close();
  app.ExitInstance();
}

TEST_F(StartupTest, NoBoxOptionSkipsTheQuestion) {
  AppOptions options;
  int exitCode = -1;
  ASSERT_TRUE(ParseAppOptions({QStringLiteral("vantrel")}, &options, &exitCode));
  EXPECT_FALSE(options.continueWithoutBox);
  ASSERT_TRUE(ParseAppOptions({QStringLiteral("vantrel"), QStringLiteral("--no-box")}, &options, &exitCode));
  EXPECT_TRUE(options.continueWithoutBox);
  EXPECT_FALSE(ParseAppOptions({QStringLiteral("vantrel"), QStringLiteral("--bogus")}, &options, &exitCode));
  EXPECT_EQ(exitCode, 2);

  TempDir devices;
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  app.SetContinueWithoutBox(true);
  ShownDialogRecorder shown;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_TRUE(app.GetMainFrame()->isVisible());
  EXPECT_TRUE(shown.Shown().isEmpty()) << shown.Shown().join(QLatin1Char(' ')).toStdString();
  app.GetMainFrame()->close();
  app.ExitInstance();
}

TEST_F(StartupTest, TheQuestionAndTheDeviceMessageSpeakTheUsersLanguage) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  TempDir devices;
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  bool started = false;
  const QString question = StartWithoutABox(app, QMessageBox::Yes, &started);
  ASSERT_TRUE(started);
  EXPECT_TRUE(question.contains(QStringLiteral("未找到调谐盒。"))) << question.toStdString();
  EXPECT_TRUE(question.contains(QString::fromStdString(devices.path())));
  RecordingUiHooks hooks;
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  EXPECT_EQ(hooks.Messages(), std::vector<std::string>{"未找到调谐盒。"});
  app.GetMainFrame()->close();
  app.ExitInstance();
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

// The box refuses only other programs: while a Live Stream Analysis streams,
// the frame's own box commands must not restart the stream under it.
TEST_F(StartupTest, BoxCommandsWaitUntilALiveStreamAnalysisStops) {
  BoxSimProcess box({"--kind", "t", "--lock-ms", "0", "--stream",
                     std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts"});
  ASSERT_TRUE(box.IsRunning());
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  DttFields fields;
  fields.frequencyKHz = 474000;
  fields.bandwidthMHz = 8;
  ASSERT_TRUE(StoreDttSettings(fields));
  CMainFrame* frame = app.GetMainFrame();
  RecordingUiHooks hooks;
  ShownDialogRecorder shown;
  ModalWatch cancelEveryDialog;
  cancelEveryDialog.Watch<QDialog>([](QDialog* dialog) { dialog->reject(); }, 0, true);
  frame->CommandAction(kCmdLiveStreamAnalysis)->trigger();
  ASSERT_EQ(frame->findChildren<CStreamAnalysisWnd*>().size(), 1);
  CStreamAnalysisWnd* live = frame->findChildren<CStreamAnalysisWnd*>().front();
  ASSERT_TRUE(ProcessEventsUntil([&] { return live->Result().packets > 500; }, 30000));

  for (int id : {kCmdCapture, kCmdAntennaTuning, kCmdLiveStreamAnalysis}) frame->CommandAction(id)->trigger();
  {
    ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
    frame->CommandAction(kCmdCapture)->trigger();
  }
  const std::string busy = "Live Stream Analysis is using the box. Stop it first.";
  EXPECT_EQ(hooks.Messages(), (std::vector<std::string>{busy, busy, busy, "实时流分析正在使用调谐盒。请先停止它。"}));
  EXPECT_TRUE(shown.Shown().isEmpty()) << shown.Shown().join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(frame->findChildren<CStreamAnalysisWnd*>().size(), 1);
  // The stream went on undisturbed.
  const uint64_t before = live->Result().packets;
  ASSERT_TRUE(ProcessEventsUntil([&] { return live->Result().packets > before + 500; }, 30000));
  EXPECT_FALSE(live->Finished()) << live->ErrorText().toStdString();

  // Stopped, the box is free again: Capture opens "DTT Setting".
  live->Cancel();
  ASSERT_TRUE(ProcessEventsUntil([&] { return live->Finished(); }, 10000));
  frame->CommandAction(kCmdCapture)->trigger();
  EXPECT_EQ(shown.Shown().value(0).toStdString(), "145");
  EXPECT_EQ(hooks.Messages().size(), 4u);
  frame->close();
  app.ExitInstance();
}

TEST_F(StartupTest, DeviceCommandsSayNoBoxWhenTheBoxCannotBeOpened) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  RecordingUiHooks hooks;
  ShownDialogRecorder shown;
  CloseTunerDevice();
  box.Stop();
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  app.GetMainFrame()->CommandAction(kCmdAntennaTuning)->trigger();
  EXPECT_EQ(hooks.Messages(), (std::vector<std::string>{"No tuner box found.", "No tuner box found."}));
  EXPECT_TRUE(shown.Shown().isEmpty()) << shown.Shown().join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(bDeviceOpen, 0);
  app.GetMainFrame()->close();
  app.ExitInstance();
}

TEST_F(StartupTest, ABoxPluggedInAfterAStartWithoutOneIsTheModelTheCommandsGoBy) {
  TempDir devices;
  ScopedEnv env("VANTREL_DEVICE_DIR", devices.path().c_str());
  CTollbeckApp app;
  bool started = false;
  StartWithoutABox(app, QMessageBox::Yes, &started);
  ASSERT_TRUE(started);
  ASSERT_EQ(nTunerModel.load(), 255);
  BoxSimProcess box({"--kind", "s", "--device-dir", devices.path()});
  ASSERT_TRUE(box.IsRunning());
  RecordingUiHooks hooks;
  ShownDialogRecorder shown;
  ModalWatch cancelEveryDialog;
  cancelEveryDialog.Watch<QDialog>([](QDialog* dialog) { dialog->reject(); }, 0, true);
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  EXPECT_EQ(nTunerModel.load(), 20) << "the capture and its dialogs read the model from here";
  EXPECT_FALSE(shown.Shown().isEmpty()) << "the satellite settings dialog was shown";
  app.GetMainFrame()->close();
  app.ExitInstance();
}

TEST_F(StartupTest, ABoxWhoseRequestsFailedIsReopenedByTheNextDeviceCommand) {
  BoxSimProcess box({"--kind", "t"});
  ASSERT_TRUE(box.IsRunning());
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  RecordingUiHooks hooks;
  ModalWatch cancelEveryDialog;
  cancelEveryDialog.Watch<QDialog>([](QDialog* dialog) { dialog->reject(); }, 0, true);
  const DeviceHandle before = hTunerT;
  ASSERT_NE(before, 0);
  app.GetMainFrame()->CommandAction(kCmdCapture)->trigger();
  EXPECT_EQ(hTunerT, before) << "a box that answers is kept open";
  bDeviceRequestFailed.store(1);  // as a dialog's worker leaves it when the box stops answering
  app.GetMainFrame()->CommandAction(kCmdAntennaTuning)->trigger();
  EXPECT_EQ(bDeviceOpen, 1);
  EXPECT_NE(hTunerT, 0);
  EXPECT_NE(hTunerT, before);  // handles are never reused: the box was opened anew
  EXPECT_EQ(bDeviceRequestFailed.load(), 0);
  EXPECT_EQ(nTunerModel.load(), 46);
  EXPECT_TRUE(hooks.Messages().empty());
  app.GetMainFrame()->close();
  app.ExitInstance();
}

// A profile that cannot be read (a folder stands in its place here, which
// stops root too) is named with the reason at start, in the user's language.
TEST_F(StartupTest, AnUnreadableProfileIsReportedAtStart) {
  TempDir config;
  ScopedEnv profile("XDG_CONFIG_HOME", config.path().c_str());
  std::filesystem::create_directories(config.path() + "/CAPTURE/VANTREL.ini");
  BoxSimProcess box({"--kind", "t"});
  for (const bool chinese : {false, true}) {
    ScopedResourceLanguage language(chinese ? ResLanguage::SimplifiedChinese : ResLanguage::English);
    QString shown;
    auto watch = WhenModal<QMessageBox>([&](QMessageBox* message) {
      shown = message->text();
      message->accept();
    });
    CTollbeckApp app;
    ASSERT_TRUE(app.InitInstance());
    const std::string path = config.path() + "/CAPTURE/VANTREL.ini";
    EXPECT_EQ(shown.toStdString(),
              chinese ? "无法读取设置文件 " + path + "（是一个目录）。\n不使用已保存的设置；在能够读取之前，也不会向其中保存任何内容。"
                      : "The settings file " + path + " cannot be read (Is a directory).\nThe stored settings are not "
                        "used, and nothing is saved there until it can be read.");
    app.GetMainFrame()->close();
    app.ExitInstance();
  }
}

// The box chosen last (vantrel-cli --box, vantrel --box) is the one opened
// when several are there; one that is absent gives way to the first present.
TEST_F(StartupTest, TheBoxChosenLastIsUsedWhenItIsThere) {
  TempDir config;
  ScopedEnv profile("XDG_CONFIG_HOME", config.path().c_str());
  BoxSimProcess boxes({"--kind", "t,s"});
  struct Case {
    const char* stored;
    const char* option;
    int model;
    const char* status;
  };
  const Case cases[] = {{"", "", 46, "Tuner box: model 46 (DTT)"},
                        {"s", "", 20, "Tuner box: model 20 (DST)"},
                        {"s", "t", 46, "Tuner box: model 46 (DTT)"},
                        {"a", "", 46, "Tuner box: model 46 (DTT)"}};
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.stored) + "|" + c.option);
    ASSERT_TRUE(StoreTunerBoxChoice(c.stored));
    CTollbeckApp app;
    app.SetChosenBox(QString::fromLatin1(c.option));
    ASSERT_TRUE(app.InitInstance());
    EXPECT_EQ(nTunerModel.load(), c.model);
    auto* status = app.GetMainFrame()->findChild<QLabel*>(QString::number(kBoxStatusPane));
    ASSERT_NE(status, nullptr);
    EXPECT_EQ(status->text().toStdString(), c.status);
    if (*c.option) {
      EXPECT_EQ(LoadTunerBoxChoice(), c.option) << "an option given is remembered";
    }
    app.GetMainFrame()->close();
    app.ExitInstance();
  }
  AppOptions options;
  int exitCode = 0;
  EXPECT_FALSE(ParseAppOptions({QStringLiteral("vantrel"), QStringLiteral("--box"), QStringLiteral("x")}, &options,
                               &exitCode));
  EXPECT_EQ(exitCode, 2);
  SelectTunerBox(TunerBoxChoice{}, false);
}

}  // namespace
