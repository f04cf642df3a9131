// The DST, DCT and DTT Setting dialogs: profile defaults, the record-mode
// radios, field reading and refusals, PID visibility by model, list
// selections, what "Apply" and "Capture" store, and the live signal display.
#include <QComboBox>
#include <filesystem>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QRadioButton>
#include <QRegularExpression>

#include "capture/capture_run.h"
#include "capture/dialogs/capture_setting_dlg.h"
#include "platform/ui_hooks.h"
#include "ui/ui_thread.h"
#include "tests/tools/dialog_test_support.h"

namespace {

using namespace capture_ids;

class CaptureSettingDlgTest : public DialogTest {
protected:
  static QString Text(const CResourceDialog& dialog, int id) { return dialog.GetDlgItemText(id); }
  static bool Enabled(const CResourceDialog& dialog, int id) { return dialog.GetDlgItem(id)->isEnabled(); }
  static bool Checked(const CResourceDialog& dialog, int id) { return dialog.Item<QRadioButton>(id)->isChecked(); }
  static void Click(const CResourceDialog& dialog, int id) { dialog.Item<QAbstractButton>(id)->click(); }
};

TEST_F(CaptureSettingDlgTest, EmptyProfileOpensWithTheFamilyDefaults) {
  {
    CDstSettingDlg dst(nullptr);
    dst.InitDialog();
    EXPECT_EQ(dst.windowTitle(), QStringLiteral("DST Setting"));
    EXPECT_EQ(Text(dst, kFrequency), QStringLiteral("12308"));
    EXPECT_EQ(Text(dst, CDstSettingDlg::kSymbolRate), QStringLiteral("22425"));
    EXPECT_EQ(Text(dst, CDstSettingDlg::kPolarisation), QStringLiteral("V"));
    EXPECT_EQ(Text(dst, kMegabytes), QStringLiteral("600"));
    EXPECT_EQ(Text(dst, kSeconds), QStringLiteral("0"));
    EXPECT_EQ(Text(dst, kSaveAs), QStringLiteral("NONAME.DAT"));
    EXPECT_FALSE(dst.GetDlgItem(kIq)->isVisibleTo(&dst));
  }
  {
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    EXPECT_EQ(Text(dct, kFrequency), QStringLiteral("0"));
    EXPECT_EQ(Text(dct, CDctSettingDlg::kSymbolRate), QStringLiteral("6875"));
    EXPECT_EQ(Text(dct, CDctSettingDlg::kQam), QStringLiteral("64"));
    EXPECT_EQ(Text(dct, kMegabytes), QStringLiteral("50"));
    EXPECT_EQ(dct.GetDlgItem(kPid), nullptr);
  }
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  EXPECT_EQ(Text(dtt, kFrequency), QStringLiteral("12308"));
  EXPECT_EQ(Text(dtt, CDttSettingDlg::kBandwidth), QStringLiteral("6"));
  EXPECT_EQ(Text(dtt, kMegabytes), QStringLiteral("600"));
  // By size: the size edit is the enabled one.
  EXPECT_TRUE(Checked(dtt, kInSpace));
  EXPECT_FALSE(Checked(dtt, kInTime));
  EXPECT_TRUE(Enabled(dtt, kMegabytes));
  EXPECT_FALSE(Enabled(dtt, kSeconds));
  EXPECT_TRUE(Text(dtt, SignalMeter::kStrengthLabel).isEmpty());
  EXPECT_TRUE(Text(dtt, SignalMeter::kQualityLabel).isEmpty());
  // The same drives in the same order; the free space itself may change
  // between the two listings, as other programs write.
  const auto drives = [](const QString& listing) {
    QString shape = listing;
    shape.replace(QRegularExpression(QStringLiteral("Free space:\\d+\\(MB\\)")), QStringLiteral("Free space:N(MB)"));
    return shape.toStdString();
  };
  EXPECT_EQ(drives(Text(dtt, kDiskInfo)), drives(QString::fromStdString(ListDriveFreeSpace())));
  EXPECT_TRUE(Text(dtt, kDiskInfo).contains(QStringLiteral("Free space:")));
  EXPECT_FALSE(Enabled(dtt, kDiskInfo));
}

// The Qt hooks the application installs at start, for one test.
class ScopedQtUiHooks {
public:
  ScopedQtUiHooks() : previous_(InstallUiHooks(UiHooks{})) { InstallQtUiHooks(); }
  ~ScopedQtUiHooks() { InstallUiHooks(previous_); }

private:
  UiHooks previous_;
};

TEST_F(CaptureSettingDlgTest, DriveListingSpeaksTheUsersLanguage) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  ScopedQtUiHooks qtHooks;
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  const QString listing = Text(dtt, kDiskInfo);
  EXPECT_TRUE(listing.contains(QRegularExpression(QStringLiteral("可用空间:\\d+\\(MB\\)\r\n")))) << listing.toStdString();
  EXPECT_FALSE(listing.contains(QStringLiteral("Free space"))) << listing.toStdString();
}

TEST_F(CaptureSettingDlgTest, CaptureFailuresSpeakTheUsersLanguage) {
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  ScopedQtUiHooks qtHooks;
  QStringList shown;
  OnModal<QMessageBox>([&](QMessageBox* box) {
    shown << box->text();
    box->button(QMessageBox::Ok)->click();
  });
  // A file in a folder that does not exist cannot be created.
  const std::string path = files_.path() + "/missing/capture.ts";
  CaptureSettings capture{};
  capture.nRecordMode = 0;
  EXPECT_EQ(CopyStreamRingToFile(capture, StreamRingAccess{}, path.c_str()), 0);
  EXPECT_TRUE(shown.isEmpty()) << "the reason goes into the one result message";
  const std::string failed = DescribeCaptureResult(0, GetLastCaptureReport());
  EXPECT_EQ(failed.rfind("操作失败！\n无法创建采集文件“" + path + "”：", 0), 0u) << failed;
  CaptureReport report;
  report.bytesLost = 1234567;
  report.stalled = true;
  report.longestStallMs = 4000;
  EXPECT_EQ(DescribeCaptureResult(0, report),
            "操作失败！\n采集跟不上数据流：丢失了 1,234,567 字节。\n数据流停顿了 4 秒。");
}

TEST_F(CaptureSettingDlgTest, InSpaceAndInTimeSwitchTheEditsAndReopeningRestoresTheMode) {
  {
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    Click(dct, kInTime);
    EXPECT_TRUE(Enabled(dct, kSeconds));
    EXPECT_FALSE(Enabled(dct, kMegabytes));
    Click(dct, kInSpace);
    EXPECT_FALSE(Enabled(dct, kSeconds));
    EXPECT_TRUE(Enabled(dct, kMegabytes));
    Click(dct, kInTime);
    EXPECT_EQ(dct.Fields().limits.recordMode, 1);  // changes only when the fields are read
    dct.SetDlgItemText(kSeconds, QStringLiteral("30"));
    Click(dct, kApply);
    EXPECT_EQ(dct.Fields().limits.recordMode, 0);
  }
  EXPECT_EQ(ProfileInt(kSectionDct, kKeyRecordMode), 0);
  EXPECT_EQ(ProfileInt(kSectionDct, kKeySeconds), 30);
  EXPECT_EQ(GetSettingsBlock().capture.nRecordMode, 0);
  EXPECT_EQ(GetSettingsBlock().capture.nCaptureSeconds, 30);

  CDctSettingDlg reopened(nullptr);
  reopened.InitDialog();
  EXPECT_TRUE(Checked(reopened, kInTime));
  EXPECT_TRUE(Enabled(reopened, kSeconds));
  EXPECT_FALSE(Enabled(reopened, kMegabytes));
  EXPECT_EQ(Text(reopened, kSeconds), QStringLiteral("30"));
}

TEST_F(CaptureSettingDlgTest, RecordModeOutsideTheGroupReadsAsTheDefault) {
  WriteProfileInt(kSectionDtt, kKeyRecordMode, 4);
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  EXPECT_FALSE(Checked(dtt, kInTime));
  EXPECT_TRUE(Checked(dtt, kInSpace));
  Click(dtt, kApply);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyRecordMode), 1);
}

TEST_F(CaptureSettingDlgTest, HostileProfileValuesReadAsTheirDefaults) {
  std::filesystem::create_directories(profileDir_.path() + "/CAPTURE");
  std::filesystem::copy_file(std::string(VANTREL_TEST_DATA_DIR) + "/profiles/hostile_profile.ini", GetProfilePath());
  CDstSettingDlg dst(nullptr);
  dst.InitDialog();
  EXPECT_EQ(Text(dst, kFrequency), QStringLiteral("12308"));               // FREQ=-5
  EXPECT_EQ(Text(dst, CDstSettingDlg::kSymbolRate), QStringLiteral("22425"));  // SYMR=abc
  EXPECT_EQ(Text(dst, kIq), QStringLiteral("0"));                           // IQ=9
  EXPECT_EQ(Text(dst, CDstSettingDlg::kPolarisation), QStringLiteral("V"));  // POLA=-7
  EXPECT_TRUE(Checked(dst, kInSpace));                                      // RECM=5
  EXPECT_EQ(Text(dst, kSeconds), QStringLiteral("0"));                      // SECC=-1
  EXPECT_EQ(Text(dst, kMegabytes), QStringLiteral("600"));                  // SIZE beyond 32 bits
  // What is written back is the defaults, not the damaged values.
  Click(dst, kApply);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyFrequency), 12308);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyPolarisation), 0);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyRecordMode), 1);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeySeconds), 0);
  EXPECT_TRUE(Messages().empty());
}

TEST_F(CaptureSettingDlgTest, ValuesTheRequestCannotHoldAreRefusedWithTheirRange) {
  nTunerModel.store(5);  // the short cable frame: a 16-bit symbol rate
  CDctSettingDlg dct(nullptr);
  dct.InitDialog();
  const std::pair<const char*, std::string> refused[] = {
      {"16777216", kFrequencyKHzPrompt}, {"+474000", kFrequencyKHzPrompt}};
  for (const auto& [text, prompt] : refused) {
    RecordingUiHooks hooks;
    dct.SetDlgItemText(kFrequency, QString::fromLatin1(text));
    Click(dct, kApply);
    EXPECT_EQ(hooks.Messages(), std::vector<std::string>{prompt}) << text;
  }
  dct.SetDlgItemText(kFrequency, QStringLiteral("16777215"));
  dct.SetDlgItemText(CDctSettingDlg::kSymbolRate, QStringLiteral("65536"));
  {
    RecordingUiHooks hooks;
    Click(dct, kApply);
    EXPECT_EQ(hooks.Messages(), std::vector<std::string>{RangePrompt(0, 65535)});
  }
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 16777215);
  EXPECT_EQ(GetSettingsBlock().channel.words[1], 6875);  // the refused symbol rate was not taken
  dct.SetDlgItemText(CDctSettingDlg::kSymbolRate, QStringLiteral("65535"));
  dct.SetDlgItemText(kMegabytes, QStringLiteral("16777216"));
  {
    RecordingUiHooks hooks;
    dct.accept();
    EXPECT_NE(dct.result(), kIdOk);
    EXPECT_EQ(hooks.Messages(), std::vector<std::string>(2, kMegabytesPrompt));
  }
}

TEST_F(CaptureSettingDlgTest, CableSymbolRateRangeDependsOnTheModel) {
  for (const int model : {5, 6}) {
    nTunerModel.store(model);
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    dct.SetDlgItemText(CDctSettingDlg::kSymbolRate, QStringLiteral("70000"));
    RecordingUiHooks hooks;
    Click(dct, kApply);
    if (model == 6) {  // the long frame carries 24 bits
      EXPECT_TRUE(hooks.Messages().empty());
      EXPECT_EQ(GetSettingsBlock().channel.words[1], 70000);
    } else {
      EXPECT_EQ(hooks.Messages(), std::vector<std::string>{RangePrompt(0, 65535)});
      EXPECT_EQ(GetSettingsBlock().channel.words[1], kDctDefaultSymbolRate);
    }
  }
}

TEST_F(CaptureSettingDlgTest, FailedProfileWriteTellsTheUser) {
  // A file where the profile's folder should be: nothing can be written.
  WriteFileBytes(profileDir_.File("blocked"), "x");
  ScopedEnv blocked("XDG_CONFIG_HOME", profileDir_.File("blocked").c_str());
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  dtt.SetDlgItemText(kFrequency, QStringLiteral("474000"));
  Click(dtt, kApply);
  EXPECT_EQ(Messages(), std::vector<std::string>{"The settings could not be saved in " + GetProfilePath() + "."});
  // The settings block took the values all the same.
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 474000);
}

TEST_F(CaptureSettingDlgTest, TypedPathOfANonEmptyFileAsksBeforeReplacingIt) {
  const std::string existing = files_.File("old.ts");
  WriteFileBytes(existing, "recorded before");
  WriteFileBytes(files_.File("empty.ts"), "");
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  dtt.show();
  QString question;
  OnModal<QMessageBox>([&](QMessageBox* box) {
    question = box->text();
    box->button(QMessageBox::No)->click();
  });
  dtt.SetDlgItemText(kSaveAs, QString::fromStdString(existing));
  dtt.accept();
  EXPECT_TRUE(dtt.isVisible());
  EXPECT_EQ(question.toStdString(), existing + " already exists and is not empty.\nDo you want to replace it?");
  EXPECT_EQ(dtt.focusWidget(), dtt.GetDlgItem(kSaveAs));
  EXPECT_EQ(ReadFileBytes(existing), "recorded before");

  OnModal<QMessageBox>([](QMessageBox* box) { box->button(QMessageBox::Yes)->click(); });
  dtt.accept();
  EXPECT_FALSE(dtt.isVisible());
  EXPECT_EQ(dtt.result(), kIdOk);

  // An empty file or a new name needs no question.
  for (const char* name : {"empty.ts", "new.ts"}) {
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    dct.show();
    ShownDialogRecorder shown;
    dct.SetDlgItemText(kSaveAs, QString::fromStdString(files_.File(name)));
    dct.accept();
    EXPECT_EQ(dct.result(), kIdOk) << name;
    EXPECT_TRUE(shown.Shown().isEmpty()) << name;
  }
}

TEST_F(CaptureSettingDlgTest, EmptyTimeFieldBlocksCaptureEvenWhileDisabled) {
  CDstSettingDlg dst(nullptr);
  bool stayedOpen = false;
  bool focusOnField = false;
  OnModal<CDstSettingDlg>([&](CDstSettingDlg* dialog) {
    ASSERT_FALSE(Enabled(*dialog, kSeconds));  // by size
    dialog->SetDlgItemText(kFrequency, QStringLiteral("11778"));
    dialog->SetDlgItemText(kMegabytes, QStringLiteral("7"));
    dialog->SetDlgItemText(kSeconds, QString());
    dialog->SetDlgItemText(CDstSettingDlg::kSymbolRate, QStringLiteral("27500"));
    Click(*dialog, 1);
    stayedOpen = dialog->isVisible();
    // A refused field that can take the focus gets it: the frequency.
    dialog->SetDlgItemText(kSeconds, QStringLiteral("0"));
    dialog->SetDlgItemText(kFrequency, QStringLiteral(" 12a"));
    Click(*dialog, 1);
    focusOnField = dialog->focusWidget() == dialog->GetDlgItem(kFrequency);
    dialog->reject();
  });
  EXPECT_EQ(dst.DoModal(), kIdCancel);
  EXPECT_TRUE(stayedOpen);
  EXPECT_TRUE(focusOnField);
  // Each press read the fields twice, once to store and once to close.
  EXPECT_EQ(Messages(), std::vector<std::string>(4, kLimitPrompt));
  // The fields before the refused one were taken over and stored; the
  // symbol rate after it was not.
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyFrequency), 11778);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeySize), 7);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeySymbolRate), 22425);
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 11778);
}

TEST_F(CaptureSettingDlgTest, ApplyGoesOnWithTheFieldsTakenOverBeforeARefusal) {
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  // DTT reads seconds, megabytes, the radios, then frequency and bandwidth.
  dtt.SetDlgItemText(kMegabytes, QStringLiteral("12"));
  dtt.SetDlgItemText(kFrequency, QStringLiteral("-474000"));
  dtt.SetDlgItemText(CDttSettingDlg::kBandwidth, QStringLiteral("8"));
  Click(dtt, kApply);
  EXPECT_EQ(Messages(), std::vector<std::string>{kFrequencyKHzPrompt});
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeySize), 12);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyFrequency), 12308);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyBandwidth), 6);
  EXPECT_TRUE(dtt.Monitor().Read().monitoring);
}

TEST_F(CaptureSettingDlgTest, PidIsShownOnlyForModels12And20) {
  nCapturePid.store(99);
  {
    ASSERT_TRUE(OpenBox({"--kind", "bus"}));  // model 10
    CDttSettingDlg dtt(nullptr);
    dtt.InitDialog();
    EXPECT_FALSE(dtt.GetDlgItem(kPid)->isVisibleTo(&dtt));
    EXPECT_FALSE(dtt.GetDlgItem(kPidLabel)->isVisibleTo(&dtt));
    dtt.SetDlgItemText(kSaveAs, QString::fromStdString(files_.File("x.ts")));
    dtt.accept();
    EXPECT_EQ(dtt.result(), kIdOk);
    EXPECT_EQ(nCapturePid.load(), 0);
  }
  {
    BoxSimProcess interfaceA;
    ASSERT_TRUE(OpenBox(interfaceA, {"--kind", "a"}));
    ASSERT_EQ(nTunerModel.load(), 12);
    CDttSettingDlg dtt(nullptr);
    dtt.InitDialog();
    EXPECT_TRUE(dtt.GetDlgItem(kPid)->isVisibleTo(&dtt));
    EXPECT_TRUE(dtt.GetDlgItem(kPidLabel)->isVisibleTo(&dtt));
    EXPECT_EQ(Text(dtt, kPid), QStringLiteral("0"));
    dtt.SetDlgItemText(kPid, QStringLiteral("256"));
    dtt.accept();
    EXPECT_EQ(nCapturePid.load(), 256);
    // The PID is not kept in the profile.
    EXPECT_EQ(ProfileInt(kSectionDtt, "PID"), -9999);
  }
  BoxSimProcess satellite;
  ASSERT_TRUE(OpenBox(satellite, {"--kind", "s"}));
  ASSERT_EQ(nTunerModel.load(), 20);
  CDstSettingDlg dst(nullptr);
  dst.InitDialog();
  EXPECT_TRUE(dst.GetDlgItem(kPid)->isVisibleTo(&dst));
  // A PID outside 13 bits is refused with a prompt naming the range.
  for (const char* refused : {"8192", "-1", "40000"}) {
    dst.SetDlgItemText(kPid, QString::fromLatin1(refused));
    dst.accept();
    EXPECT_NE(dst.result(), kIdOk);
    ASSERT_FALSE(Messages().empty());
    EXPECT_EQ(Messages().back(), kPidPrompt) << refused;
  }
  dst.SetDlgItemText(kPid, QStringLiteral("8191"));
  dst.SetDlgItemText(kSaveAs, QString::fromStdString(files_.File("sat.ts")));
  dst.accept();
  EXPECT_EQ(dst.result(), kIdOk);
  EXPECT_EQ(nCapturePid.load(), 8191);
}

TEST_F(CaptureSettingDlgTest, NoListSelectionStoresQam16AndPolarisationMinusOne) {
  {
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    dct.Item<QComboBox>(CDctSettingDlg::kQam)->setCurrentIndex(-1);
    Click(dct, kApply);
    EXPECT_EQ(GetSettingsBlock().channel.words[2], 16);
    EXPECT_EQ(ProfileInt(kSectionDct, kKeyQam), -1);
  }
  {
    CDctSettingDlg reopened(nullptr);
    reopened.InitDialog();
    // Read back, the -1 is outside the list: the key's default, "64".
    EXPECT_EQ(reopened.Item<QComboBox>(CDctSettingDlg::kQam)->currentIndex(), 2);
    reopened.Item<QComboBox>(CDctSettingDlg::kQam)->setCurrentIndex(4);
    Click(reopened, kApply);
    EXPECT_EQ(GetSettingsBlock().channel.words[2], 256);
  }
  CDstSettingDlg dst(nullptr);
  dst.InitDialog();
  // Text typed into the list's edit part is no selection either.
  dst.Item<QComboBox>(CDstSettingDlg::kPolarisation)->setEditText(QStringLiteral("X"));
  Click(dst, kApply);
  EXPECT_EQ(GetSettingsBlock().channel.words[2], -1);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyPolarisation), -1);
  EXPECT_EQ(GetSettingsBlock().capture.nLnbNumber, 1);
}

TEST_F(CaptureSettingDlgTest, TextTypedAndEnteredInAListAddsNoEntry) {
  CDstSettingDlg dst(nullptr);
  dst.InitDialog();
  QComboBox* polarisation = dst.Item<QComboBox>(CDstSettingDlg::kPolarisation);
  polarisation->setEditText(QStringLiteral("X"));
  emit polarisation->lineEdit()->returnPressed();
  EXPECT_EQ(polarisation->count(), 2);
  Click(dst, kApply);
  EXPECT_EQ(GetSettingsBlock().channel.words[2], -1);
  EXPECT_EQ(ProfileInt(kSectionDst, kKeyPolarisation), -1);
}

TEST_F(CaptureSettingDlgTest, DctCaptureLeavesThePidUnchanged) {
  nCapturePid.store(77);
  CDctSettingDlg dct(nullptr);
  dct.InitDialog();
  dct.SetDlgItemText(kFrequency, QStringLiteral("474000"));
  dct.SetDlgItemText(kSaveAs, QString::fromStdString(files_.File("cable.ts")));
  dct.accept();
  EXPECT_EQ(dct.result(), kIdOk);
  EXPECT_EQ(nCapturePid.load(), 77);
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 474000);
  EXPECT_EQ(block.channel.words[1], 6875);
  EXPECT_EQ(block.channel.words[2], 64);
  EXPECT_EQ(std::string(block.szCaptureFile), files_.File("cable.ts"));
  EXPECT_EQ(block.capture.nLnbNumber, 0);  // the LNB table is the satellite dialog's
}

TEST_F(CaptureSettingDlgTest, CancelStoresNothing) {
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  dtt.SetDlgItemText(kFrequency, QStringLiteral("474000"));
  dtt.reject();
  EXPECT_EQ(dtt.result(), kIdCancel);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyFrequency), -9999);
  EXPECT_EQ(GetSettingsBlock().channel.words[0], 0);
}

TEST_F(CaptureSettingDlgTest, LongPathIsCutBetweenCharacters) {
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  // 130 two-byte characters: 260 bytes, one more than the block holds.
  dtt.SetDlgItemText(kSaveAs, QString(130, QChar(0x00E9)));
  Click(dtt, kApply);
  const std::string stored = GetSettingsBlock().szCaptureFile;
  EXPECT_EQ(stored.size(), 258u);
  EXPECT_EQ(QString::fromStdString(stored), QString(129, QChar(0x00E9)));
}

TEST_F(CaptureSettingDlgTest, ApplyShowsTheBoxSignalWithClampedTextAndBars) {
  ASSERT_TRUE(OpenBox({"--kind", "bus", "--lock-ms", "20", "--strength", "100", "--quality", "7"}));
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  // Before "Apply" nothing is shown and the box is not tuned.
  ProcessEventsUntil([] { return false; }, 400);
  EXPECT_TRUE(Text(dtt, SignalMeter::kStrengthLabel).isEmpty());
  EXPECT_EQ(dtt.Monitor().TuneCount(), 0);

  Click(dtt, kApply);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Text(dtt, SignalMeter::kStrengthLabel) == QStringLiteral("100%"); }));
  EXPECT_TRUE(ProcessEventsUntil([&] { return Text(dtt, SignalMeter::kQualityLabel) == QStringLiteral("07%"); }));
  const QRect strengthBar = dtt.Meter().BarRect(SignalMeter::kStrengthLabel);
  const QRect qualityBar = dtt.Meter().BarRect(SignalMeter::kQualityLabel);
  const QImage image = dtt.grab().toImage();
  const QColor face = dtt.palette().color(QPalette::Button);
  const int middle = strengthBar.center().y();
  EXPECT_EQ(image.pixelColor(strengthBar.left() + 99, middle), kSignalGreen);
  if (strengthBar.width() > 100) {
    EXPECT_EQ(image.pixelColor(strengthBar.left() + 100, middle), face);
  }
  EXPECT_EQ(image.pixelColor(qualityBar.left() + 6, qualityBar.center().y()), kSignalGreen);
  EXPECT_EQ(image.pixelColor(qualityBar.left() + 7, qualityBar.center().y()), face);
  EXPECT_EQ(dtt.Monitor().TuneCount(), 1);
}

TEST_F(CaptureSettingDlgTest, InterfaceABoxStaysAtZeroAfterApply) {
  // Model 12 tunes, but its signal can never be queried.
  ASSERT_TRUE(OpenBox({"--kind", "a", "--lock-ms", "20", "--strength", "90"}));
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  Click(dtt, kApply);
  ASSERT_TRUE(ProcessEventsUntil([&] { return dtt.Monitor().TuneCount() > 0; }));
  ProcessEventsUntil([] { return false; }, 2500);  // past the worker's next time-out
  EXPECT_EQ(dtt.Monitor().TuneCount(), 1);
  EXPECT_EQ(Text(dtt, SignalMeter::kStrengthLabel), QStringLiteral("00%"));
  const QRect bar = dtt.Meter().BarRect(SignalMeter::kStrengthLabel);
  EXPECT_EQ(PixelAt(dtt, QPoint(bar.left(), bar.center().y())), dtt.palette().color(QPalette::Button));
}

TEST_F(CaptureSettingDlgTest, SatelliteApplyTunesWithTheLnbTable) {
  ASSERT_TRUE(OpenBox({"--kind", "bus", "--model-code", "RZK-A1", "--lock-ms", "20", "--strength", "42",
                       "--quality", "55"}));
  WriteProfileInt("LNB1", kKeyLnbType, 1);  // universal: 11778 MHz lies in its high band
  WriteProfileInt("LNB3", kKeyDiseqc, 3);
  CDstSettingDlg dst(nullptr);
  dst.InitDialog();
  dst.SetDlgItemText(kFrequency, QStringLiteral("11778"));
  Click(dst, kApply);
  EXPECT_EQ(GetSettingsBlock().capture.lnb[0].lnbType, 1);
  EXPECT_EQ(GetSettingsBlock().capture.lnb[2].diseqc, 3);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Text(dst, SignalMeter::kStrengthLabel) == QStringLiteral("42%"); }));
  EXPECT_EQ(Text(dst, SignalMeter::kQualityLabel), QStringLiteral("55%"));
}

}  // namespace
