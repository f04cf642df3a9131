// The main frame and a box that is unplugged and plugged in again: every box
// command checks the box first, a box that has gone says so before any
// dialog opens, one that came back is opened anew and tuned, and the status
// bar names the box that is there.
#include <QLabel>
#include <QPushButton>
#include <sys/stat.h>

#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "capture/dialogs/capture_setting_dlg.h"
#include "tests/tools/dialog_test_support.h"

namespace {

using namespace capture_ids;

class BoxReplugTest : public DialogTest {
protected:
  void SetUp() override {
    DialogTest::SetUp();
    app_ = std::make_unique<CTollbeckApp>();
    ASSERT_TRUE(app_->CreateMainWindow());
  }
  CMainFrame& Frame() { return *app_->GetMainFrame(); }
  std::string BoxStatus() {
    auto* label = Frame().findChild<QLabel*>(QString::number(kBoxStatusPane));
    return label ? label->text().toStdString() : "(no box field)";
  }
  // Plugs the box in again where it was: new sockets in the same folder.
  bool Replug() {
    const std::string folder = box_.DeviceDirectory();
    std::vector<std::string> arguments = kBox;
    arguments.insert(arguments.end(), {"--device-dir", folder});
    return box_.Start(arguments);
  }
  bool JournalHasTune() const {
    for (const std::string& line : box_.JournalLines())
      if (line.rfind("T 00222328 ", 0) == 0) return true;
    return false;
  }

  const std::vector<std::string> kBox{"--kind", "t", "--lock-ms", "20", "--bitrate", "8000000"};
  std::unique_ptr<CTollbeckApp> app_;
};

TEST_F(BoxReplugTest, ABoxThatCameBackIsReopenedAndTheCaptureTunesIt) {
  ASSERT_TRUE(OpenBox(kBox));
  Frame().ShowBoxStatus();
  EXPECT_EQ(BoxStatus(), "Tuner box: model 46 (DTT)");
  box_.Kill();  // unplugged while open: its handles are dead from now on
  ASSERT_TRUE(Replug());
  box_.ClearJournal();
  const std::string path = files_.File("after-replug.ts");
  OnModal<CDttSettingDlg>([&](CDttSettingDlg* dialog) {
    dialog->SetDlgItemText(kFrequency, QStringLiteral("474000"));
    dialog->SetDlgItemText(kMegabytes, QStringLiteral("1"));
    dialog->SetDlgItemText(kSaveAs, QString::fromStdString(path));
    dialog->Item<QPushButton>(kIdOk)->click();
  });
  Frame().OnCapture();
  EXPECT_TRUE(JournalHasTune()) << "no tune reached the box";
  struct stat info {};
  EXPECT_EQ(stat(path.c_str(), &info), 0);
  EXPECT_EQ(info.st_size, 1048576);
  ASSERT_EQ(Messages().size(), 1u);
  EXPECT_EQ(Messages()[0].rfind("Successful operation !", 0), 0u) << Messages()[0];
  EXPECT_EQ(BoxStatus(), "Tuner box: model 46 (DTT)");
}

TEST_F(BoxReplugTest, AGoneBoxIsReportedBeforeAnyDialogAndTheStatusBarFollowsTheBox) {
  ASSERT_TRUE(OpenBox(kBox));
  box_.Kill();
  ShownDialogRecorder shown;
  Frame().OnCapture();
  Frame().OnAntennaTuning();
  EXPECT_EQ(Messages(), (std::vector<std::string>{"No tuner box found.", "No tuner box found."}));
  EXPECT_TRUE(shown.Shown().isEmpty()) << shown.Shown().join(QLatin1Char(' ')).toStdString();
  EXPECT_EQ(BoxStatus(), "No tuner box");

  // Without a command: the status bar's timer notices the box come and go.
  ASSERT_TRUE(Replug());
  Frame().RefreshBoxStatus();
  EXPECT_EQ(BoxStatus(), "Tuner box: model 46 (DTT)");
  EXPECT_EQ(bDeviceOpen, 1);
  box_.Kill();
  Frame().RefreshBoxStatus();
  EXPECT_EQ(BoxStatus(), "No tuner box");
  EXPECT_EQ(bDeviceOpen, 0);
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  Frame().ShowBoxStatus();
  EXPECT_EQ(BoxStatus(), "无调谐盒");
}

}  // namespace
