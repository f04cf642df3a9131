// The Channel Scan dialog offscreen against the simulator playing the
// sample network: found services, failing transponders, Cancel, Save, both
// languages; rendered to PNG for review.
#include <gtest/gtest.h>

#include <QFileDialog>
#include <QLineEdit>
#include <QPushButton>
#include <QTableWidget>

#include <chrono>
#include <fstream>
#include <map>
#include <set>

#include "capture/capture_settings.h"
#include "capture/dialogs/channel_scan_dlg.h"
#include "capture/scan/channel_file.h"
#include "device/tuner_device.h"
#include "platform/profile.h"
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
    const char* noLock;  // the engine's reasons, in the dialog's language
    const char* noPat;
    const char* png;
  };
  for (const Case& c : {Case{ResLanguage::English, "Found", "no lock within 6 s", "no PAT within 12 s", "channel_scan_en.png"},
                        Case{ResLanguage::SimplifiedChinese, "已找到", "6 秒内未锁定", "12 秒内没有 PAT",
                             "channel_scan_zh_CN.png"}}) {
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
    EXPECT_EQ(transponders->item(2, 5)->text(), QString::fromUtf8(c.noLock));
    EXPECT_EQ(transponders->item(3, 5)->text(), QString::fromUtf8(c.noPat));
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

// The PIDs of the packets in a TS file, and the programs its first PAT lists.
struct CapturedFile {
  std::set<int> pids;
  std::map<int, int> patPrograms;  // program_number -> PID
};
CapturedFile ReadCapturedFile(const std::string& path) {
  CapturedFile file;
  const std::string bytes = ReadFileBytes(path);
  for (size_t at = 0; at + 188 <= bytes.size(); at += 188) {
    const auto* p = reinterpret_cast<const uint8_t*>(bytes.data() + at);
    EXPECT_EQ(p[0], 0x47) << "at " << at;
    const int pid = ((p[1] & 0x1F) << 8) | p[2];
    file.pids.insert(pid);
    if (pid != 0 || !file.patPrograms.empty() || !(p[1] & 0x40)) continue;
    const uint8_t* section = p + 5 + p[4];
    const int length = ((section[1] & 0x0F) << 8) | section[2];
    for (int i = 8; i + 4 <= 3 + length - 4; i += 4)
      file.patPrograms[(section[i] << 8) | section[i + 1]] = ((section[i + 2] & 0x1F) << 8) | section[i + 3];
  }
  return file;
}

TEST_F(ChannelScanDlgTest, CaptureThisServiceWritesTheChosenServiceAlone) {
  // Two seconds, as the terrestrial settings dialog last stored it.
  ASSERT_TRUE(WriteProfileInt(kSectionDtt, kKeyRecordMode, 0));
  ASSERT_TRUE(WriteProfileInt(kSectionDtt, kKeySeconds, 2));
  // A quarter of the multiplex's rate (PAT and PMTs still every 400 ms): the
  // capture keeps up on a loaded machine under a sanitizer too.
  CloseTunerDevice();
  ASSERT_TRUE(box_.Start({"--kind", "t", "--lock-ms", "200", "--bitrate", std::to_string(scantest::kStreamBitrate / 4),
                          "--network", files_.network}))
      << box_.StderrText();
  ASSERT_TRUE(OpenTunerDevice());
  nTunerModel.store(GetTunerModel());
  std::ofstream(dir_.File("two.conf")) << "[A]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 474000000\n\tBANDWIDTH_HZ = 8000000\n"
                                          "[B]\n\tDELIVERY_SYSTEM = DVBT\n\tFREQUENCY = 482000000\n\tBANDWIDTH_HZ = 8000000\n";
  RecordingUiHooks messages;
  CChannelScanDlg dialog(nullptr);
  dialog.show();
  bool ended = false;
  QObject::connect(&dialog, &CChannelScanDlg::ScanEnded, [&] { ended = true; });
  Item<QLineEdit>(dialog, kIdScanPlan)->setText(QString::fromStdString(dir_.File("two.conf")));
  ASSERT_TRUE(dialog.StartScan());
  auto* capture = Item<QPushButton>(dialog, kIdScanCaptureService);
  EXPECT_FALSE(capture->isEnabled());  // nothing chosen, and scanning
  ASSERT_TRUE(ProcessEventsUntil([&] { return ended; }, 60000));
  auto* services = Item<QTableWidget>(dialog, kIdScanServices);
  ASSERT_EQ(Column(services, 3), (QStringList{"Vantrel Eins", "Vantrel Radio", "Vantrel Zwei", "Vantrel Info"}));
  EXPECT_EQ(services->contextMenuPolicy(), Qt::ActionsContextMenu);
  ASSERT_EQ(services->actions().size(), 1);
  EXPECT_FALSE(capture->isEnabled());
  EXPECT_FALSE(dialog.CaptureService(-1, QStringLiteral("x.ts")));

  struct Case {
    int row;
    int serviceId;
    int pmtPid;
    std::set<int> pids;  // PAT, NIT (kept by default), PMT, PCR and streams, ECMs
  };
  const Case cases[] = {{1, 102, 0x200, {0x0000, 0x0010, 0x0200, 0x0202}},
                        {2, 201, 0x300, {0x0000, 0x0010, 0x01F0, 0x0300, 0x0301, 0x0302}}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.serviceId);
    const std::string path = dir_.File("service-" + std::to_string(c.serviceId) + ".ts");
    services->selectRow(c.row);
    ASSERT_TRUE(capture->isEnabled());
    auto chooseFile = WhenModal<QFileDialog>([&](QFileDialog* files) {
      files->selectFile(QString::fromStdString(path));
      static_cast<QDialog*>(files)->accept();  // QFileDialog::accept, which takes the file
    });
    capture->click();  // the file dialog, then the capture progress dialog until the capture ends
    const CapturedFile file = ReadCapturedFile(path);
    EXPECT_EQ(file.pids, c.pids);
    EXPECT_EQ(file.patPrograms, (std::map<int, int>{{0, 0x10}, {c.serviceId, c.pmtPid}}));
    ASSERT_FALSE(messages.Messages().empty());
    EXPECT_EQ(messages.Messages().back().rfind("Successful operation !\nSaved ", 0), 0u) << messages.Messages().back();
  }
}

TEST_F(ChannelScanDlgTest, APlanThatCannotBeUsedIsNamedAndNothingStarts) {
  CChannelScanDlg dialog(nullptr);
  Item<QLineEdit>(dialog, kIdScanPlan)->setText(QString::fromStdString(dir_.File("missing.conf")));
  EXPECT_FALSE(dialog.StartScan());
  EXPECT_FALSE(dialog.Scanning());
  EXPECT_NE(dialog.StatusText().indexOf("cannot read the plan file"), -1) << dialog.StatusText().toStdString();
}

}  // namespace
