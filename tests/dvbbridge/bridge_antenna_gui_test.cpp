// The desktop application on the bridge, offscreen: it starts on a dry-run
// terrestrial box, and its Antenna Tuning Utility shows the frontend's
// statistics as the bridge maps them (-45 dBm and 18 dB CNR: 75 % and 60 %).
#include <QPushButton>

#include <gtest/gtest.h>

#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "capture/dialogs/signal_meter.h"
#include "device/tuner_device.h"
#include "platform/ui_hooks.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"
#include "tests/ui/qt_test_support.h"
#include "tools/antenna_tuning_dlg.h"

namespace {

TEST(BridgeDesktop, AntennaTuningUtilityShowsTheMappedSignal) {
  TestApplication();
  TempDir profile;
  ScopedEnv config("XDG_CONFIG_HOME", profile.path().c_str());
  BoxSimProcess bridge;
  ASSERT_TRUE(bridge.StartDvbBridge({"--dry-run", "dvbt"})) << bridge.StderrText();
  CTollbeckApp app;
  ASSERT_TRUE(app.InitInstance());
  EXPECT_EQ(nTunerModel.load(), 46);
  QString strength, quality;
  ModalWatch watch;
  watch.Watch<CAntennaTuningDlg>(
      [&](CAntennaTuningDlg* dialog) {
        dialog->Item<QPushButton>(CAntennaTuningDlg::kTuningButton)->click();
        ProcessEventsUntil([&] {
          strength = dialog->GetDlgItemText(SignalMeter::kStrengthLabel);
          quality = dialog->GetDlgItemText(SignalMeter::kQualityLabel);
          return strength == QLatin1String("75%") && quality == QLatin1String("60%");
        });
        dialog->reject();
      },
      20000, false);
  app.GetMainFrame()->CommandAction(kCmdAntennaTuning)->trigger();
  EXPECT_TRUE(watch.Ran()) << "the Antenna Tuning Utility did not open";
  EXPECT_EQ(strength.toStdString(), "75%");
  EXPECT_EQ(quality.toStdString(), "60%");
  bool tuned = false;
  for (const std::string& line : bridge.JournalLines()) tuned = tuned || line.rfind("TUNE delsys=DVBT ", 0) == 0;
  EXPECT_TRUE(tuned);
  app.GetMainFrame()->close();
  app.ExitInstance();
  InstallUiHooks({});
  CloseTunerDevice();
}

}  // namespace
