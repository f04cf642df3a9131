// The Channel Scan dialog offscreen against the simulator playing the
// sample network: found services, failing transponders, Cancel, Save, both
// languages; rendered to PNG for review.
#include <gtest/gtest.h>

#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <chrono>
#include <fstream>

#include "capture/dialogs/channel_scan_dlg.h"
#include "capture/scan/channel_file.h"
#include "device/tuner_device.h"
#include "tests/scan/sample_network.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"
#include "tests/ui/qt_test_support.h"

namespace {

using Clock = std::chrono::steady_clock;

class ChannelScanDlgTest : public ::testing::Test {
protected:
  void SetUp() override {
    TestApplication();
    files_ = scantest::WriteSampleNetwork(dir_.path());
    ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "200", "--bitrate", std::to_string(scantest::kStreamBitrate),
                            "--network", files_.network}))
        << box_.StderrText();
    ASSERT_TRUE(OpenTunerDevice());
    nTunerModel.store(GetTunerModel());
  }
  void TearDown() override { CloseTunerDevice(); }

  template <class T>
  T* Item(QWidget& dialog, int id) {
    return dialog.findChild<T*>(QString::number(id));
  }
  QStringList Column(QTableWidget* table, int column) {
    QStringList cells;
    for (int row = 0; row < table->rowCount(); ++row) cells << table->item(row, column)->text();
    return cells;
  }

  TempDir dir_;
  ScopedEnv profileHome_{"XDG_CONFIG_HOME", dir_.path().c_str()};
  scantest::SampleNetworkFiles files_;
  BoxSimProcess box_;
};

TEST_F(ChannelScanDlgTest, ScansThePlanShowsTheServicesAndSavesThem) {
  struct Case {
    ResLanguage language;
    const char* found;
    const char* png;
  };
  for (const Case& c : {Case{ResLanguage::English, "Found", "channel_scan_en.png"},
                        Case{ResLanguage::SimplifiedChinese, "已找到", "channel_scan_zh_CN.png"}}) {
    ScopedResourceLanguage language(c.language);
    ScopedTableTranslation translation;
    CChannelScanDlg dialog(nullptr);
    dialog.show();
    bool ended = false;
    QObject::connect(&dialog, &CChannelScanDlg::ScanEnded, [&] { ended = true; });
    Item<QLineEdit>(dialog, kIdScanPlan)->setText(QString::fromStdString(files_.plan));
    Item<QPushButton>(dialog, kIdScanStart)->click();
    EXPECT_TRUE(dialog.Scanning());
    EXPECT_TRUE(Item<QPushButton>(dialog, kIdScanCancel)->isEnabled());
    EXPECT_FALSE(Item<QPushButton>(dialog, kIdScanStart)->isEnabled());
    ASSERT_TRUE(ProcessEventsUntil([&] { return ended; }, 120000));
    auto* transponders = Item<QTableWidget>(dialog, kIdScanTransponders);
    auto* services = Item<QTableWidget>(dialog, kIdScanServices);
    EXPECT_EQ(Column(services, 3), (QStringList{"Vantrel Eins", "Vantrel Radio", "Vantrel Zwei", "Vantrel Info"}));
    EXPECT_EQ(Column(services, 2), (QStringList{"1", "10", "2", "3"}));
    ASSERT_EQ(transponders->rowCount(), 4);
    EXPECT_EQ(transponders->item(0, 1)->text(), QString::fromUtf8(c.found));
    EXPECT_NE(transponders->item(2, 5)->text().indexOf("no lock"), -1);
    EXPECT_NE(transponders->item(3, 5)->text().indexOf("no PAT"), -1);
    EXPECT_TRUE(Item<QPushButton>(dialog, kIdScanSave)->isEnabled());
    const std::string saved = dir_.File("saved.conf");
    QString error;
    ASSERT_TRUE(dialog.SaveResults(QString::fromStdString(saved), &error)) << error.toStdString();
    std::vector<ChannelFileService> read;
    std::string why;
    ScanTuning defaults;
    defaults.family = TunerFamily::Terrestrial;
    ASSERT_TRUE(ReadScanChannelFile(saved, defaults, &read, &why)) << why;
    EXPECT_EQ(read.size(), 4u);
    const std::string png = std::string(VANTREL_BINARY_DIR) + "/tests/scan/" + c.png;
    EXPECT_TRUE(dialog.grab().save(QString::fromStdString(png)));
  }
}

TEST_F(ChannelScanDlgTest, CancelEndsTheScanWithinASecondKeepingWhatWasFound) {
  std::ofstream(dir_.File("slow.conf")) << "[A]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n\tBANDWIDTH_HZ = 8000000\n"
                                           "[B]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 490000000\n\tBANDWIDTH_HZ = 8000000\n";
  CChannelScanDlg dialog(nullptr);
  dialog.show();
  bool ended = false;
  QObject::connect(&dialog, &CChannelScanDlg::ScanEnded, [&] { ended = true; });
  Item<QLineEdit>(dialog, kIdScanPlan)->setText(QString::fromStdString(dir_.File("slow.conf")));
  ASSERT_TRUE(dialog.StartScan());
  auto* transponders = Item<QTableWidget>(dialog, kIdScanTransponders);
  // 490 MHz never locks: the scan waits there (6 s) until Cancel.
  ASSERT_TRUE(ProcessEventsUntil([&] { return transponders->rowCount() == 1; }, 30000));
  ProcessEventsUntil([] { return false; }, 300);
  const Clock::time_point cancelled = Clock::now();
  Item<QPushButton>(dialog, kIdScanCancel)->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return ended; }, 5000));
  EXPECT_LT(Clock::now() - cancelled, std::chrono::milliseconds(2500));  // a second, with room for a loaded machine
  EXPECT_TRUE(dialog.Result().cancelled);
  EXPECT_EQ(dialog.Result().ServiceCount(), 2u);
  EXPECT_EQ(Item<QTableWidget>(dialog, kIdScanServices)->rowCount(), 2);
  EXPECT_NE(dialog.StatusText().indexOf("Scan stopped"), -1) << dialog.StatusText().toStdString();
}

TEST_F(ChannelScanDlgTest, APlanThatCannotBeUsedIsNamedAndNothingStarts) {
  CChannelScanDlg dialog(nullptr);
  Item<QLineEdit>(dialog, kIdScanPlan)->setText(QString::fromStdString(dir_.File("missing.conf")));
  EXPECT_FALSE(dialog.StartScan());
  EXPECT_FALSE(dialog.Scanning());
  EXPECT_NE(dialog.StatusText().indexOf("cannot read the plan file"), -1) << dialog.StatusText().toStdString();
}

}  // namespace
