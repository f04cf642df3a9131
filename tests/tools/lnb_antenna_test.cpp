// LNB Setup and the Antenna Tuning Utility, and the signal meter they share
// with the capture settings dialogs.
#include <QComboBox>
#include <QElapsedTimer>
#include <QPainter>
#include <QPushButton>
#include <algorithm>
#include <filesystem>

#include "tests/tools/dialog_test_support.h"
#include "capture/dialogs/capture_setting_dlg.h"
#include "tools/antenna_tuning_dlg.h"
#include "tools/lnb_setup_dlg.h"

namespace {

class LnbSetupDlgTest : public DialogTest {
protected:
  static QComboBox* List(const CLnbSetupDlg& dialog, int id) { return dialog.Item<QComboBox>(id); }
  static void Choose(const CLnbSetupDlg& dialog, int id, int index) {
    QComboBox* list = List(dialog, id);
    list->setCurrentIndex(index);
    emit list->activated(index);
  }
  static bool LoEditsEnabled(const CLnbSetupDlg& dialog) {
    return dialog.GetDlgItem(CLnbSetupDlg::kLo1Edit)->isEnabled() &&
           dialog.GetDlgItem(CLnbSetupDlg::kLo2Edit)->isEnabled();
  }
  static QString Los(const CLnbSetupDlg& dialog) {
    return dialog.GetDlgItemText(CLnbSetupDlg::kLo1Edit) + QLatin1Char('/') +
           dialog.GetDlgItemText(CLnbSetupDlg::kLo2Edit);
  }
};

TEST_F(LnbSetupDlgTest, EmptyProfileShowsANormalLnbWithTheEditsDisabled) {
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("LNB Setup"));
  EXPECT_EQ(dialog.GetDlgItemText(CLnbSetupDlg::kPowerList), QStringLiteral("OFF"));
  EXPECT_EQ(dialog.GetDlgItemText(CLnbSetupDlg::kTypeList), QStringLiteral("Normal"));
  for (int id : {CLnbSetupDlg::kToneList, CLnbSetupDlg::kToneBurstList, CLnbSetupDlg::kDataBurstList,
                 CLnbSetupDlg::kDiseqcList})
    EXPECT_EQ(dialog.GetDlgItemText(id), QStringLiteral("Disable")) << id;
  EXPECT_EQ(Los(dialog), QStringLiteral("5150/5750"));
  EXPECT_FALSE(dialog.GetDlgItem(CLnbSetupDlg::kLo1Edit)->isEnabled());
  EXPECT_FALSE(dialog.GetDlgItem(CLnbSetupDlg::kLo2Edit)->isEnabled());
}

TEST_F(LnbSetupDlgTest, TypeListSwitchesTheLoPairsAndForgetsCustomValues) {
  WriteProfileInt("LNB1", kKeyLnbType, 2);
  WriteProfileInt("LNB1", kKeyCustom1, 5150);
  WriteProfileInt("LNB1", kKeyCustom2, 10600);
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(Los(dialog), QStringLiteral("5150/10600"));
  EXPECT_TRUE(LoEditsEnabled(dialog));
  Choose(dialog, CLnbSetupDlg::kTypeList, 1);
  EXPECT_EQ(Los(dialog), QStringLiteral("10600/9750"));
  EXPECT_FALSE(dialog.GetDlgItem(CLnbSetupDlg::kLo1Edit)->isEnabled());
  Choose(dialog, CLnbSetupDlg::kTypeList, 2);
  EXPECT_EQ(Los(dialog), QStringLiteral("11300/0"));
  EXPECT_TRUE(LoEditsEnabled(dialog));
  Choose(dialog, CLnbSetupDlg::kTypeList, 0);
  EXPECT_EQ(Los(dialog), QStringLiteral("5150/5750"));
  EXPECT_TRUE(Messages().empty());
}

TEST_F(LnbSetupDlgTest, OkWritesFourIdenticalSections) {
  WriteProfileInt("LNB3", kKeyDiseqc, 4);  // an old value the OK overwrites
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  Choose(dialog, CLnbSetupDlg::kPowerList, 1);
  Choose(dialog, CLnbSetupDlg::kTypeList, 2);
  dialog.SetDlgItemText(CLnbSetupDlg::kLo1Edit, QStringLiteral("9750"));
  dialog.SetDlgItemText(CLnbSetupDlg::kLo2Edit, QStringLiteral(" 10750 "));
  Choose(dialog, CLnbSetupDlg::kToneList, 1);
  Choose(dialog, CLnbSetupDlg::kDataBurstList, 1);
  Choose(dialog, CLnbSetupDlg::kDiseqcList, 3);
  dialog.accept();
  EXPECT_EQ(dialog.result(), kIdOk);
  for (int number = 1; number <= 4; ++number) {
    const LnbSettings lnb = LoadLnbSettings(number);
    EXPECT_EQ(lnb.lnbEnable, 1) << number;
    EXPECT_EQ(lnb.lnbType, 2) << number;
    EXPECT_EQ(lnb.custom1, 9750) << number;
    EXPECT_EQ(lnb.custom2, 10750) << number;
    EXPECT_EQ(lnb.tone22kHz, 1) << number;
    EXPECT_EQ(lnb.toneBurst, 0) << number;
    EXPECT_EQ(lnb.dataBurst, 1) << number;
    EXPECT_EQ(lnb.diseqc, 3) << number;
  }
}

TEST_F(LnbSetupDlgTest, UniversalStoresItsFixedPair) {
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  Choose(dialog, CLnbSetupDlg::kTypeList, 1);
  dialog.accept();
  EXPECT_EQ(LoadLnbSettings(2).custom1, 10600);
  EXPECT_EQ(LoadLnbSettings(2).custom2, 9750);
}

TEST_F(LnbSetupDlgTest, StoredValuesOutsideTheirRangeReadAsTheDefault) {
  std::filesystem::create_directories(profileDir_.path() + "/CAPTURE");
  std::filesystem::copy_file(std::string(VANTREL_TEST_DATA_DIR) + "/profiles/hostile_profile.ini", GetProfilePath());
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  // LNB Enable=7, LNB Type=-3, 22KHz Tone=99, Tone Burst=-1, Data Burst=5,
  // DiSEqC=1000: each list shows its first entry, the key's default.
  for (int id : {CLnbSetupDlg::kPowerList, CLnbSetupDlg::kTypeList, CLnbSetupDlg::kToneList,
                 CLnbSetupDlg::kToneBurstList, CLnbSetupDlg::kDataBurstList, CLnbSetupDlg::kDiseqcList})
    EXPECT_EQ(List(dialog, id)->currentIndex(), 0) << id;
  // Type Normal: its fixed pair, not editable.
  EXPECT_EQ(Los(dialog), QStringLiteral("5150/5750"));
  EXPECT_FALSE(LoEditsEnabled(dialog));
  dialog.accept();
  EXPECT_EQ(ProfileInt("LNB4", kKeyToneBurst), 0);
  EXPECT_EQ(ProfileInt("LNB4", kKeyLnbType), 0);
  EXPECT_EQ(ProfileInt("LNB1", kKeyDiseqc), 0);
  EXPECT_EQ(ProfileInt("LNB1", kKeyLnbEnable), 0);
}

TEST_F(LnbSetupDlgTest, NegativeCustomOscillatorReadsAsZero) {
  WriteProfileInt("LNB1", kKeyLnbType, 2);
  WriteProfileInt("LNB1", kKeyCustom1, -10600);
  WriteProfileInt("LNB1", kKeyCustom2, 9750);
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(Los(dialog), QStringLiteral("0/9750"));
  EXPECT_TRUE(LoEditsEnabled(dialog));
}

TEST_F(LnbSetupDlgTest, RefusedLoEditKeepsTheDialogOpenAfterWritingThePreviousValue) {
  WriteProfileInt("LNB1", kKeyLnbType, 2);
  WriteProfileInt("LNB1", kKeyCustom1, 9750);
  WriteProfileInt("LNB1", kKeyCustom2, 10600);
  CLnbSetupDlg dialog(nullptr);
  dialog.InitDialog();
  dialog.SetDlgItemText(CLnbSetupDlg::kLo1Edit, QStringLiteral("11000"));
  dialog.SetDlgItemText(CLnbSetupDlg::kLo2Edit, QString());
  dialog.accept();
  EXPECT_NE(dialog.result(), kIdOk);
  EXPECT_EQ(Messages(), std::vector<std::string>(2, kLimitPrompt));
  EXPECT_EQ(ProfileInt("LNB2", kKeyCustom1), 11000);
  EXPECT_EQ(ProfileInt("LNB2", kKeyCustom2), 10600);
}

class AntennaTuningDlgTest : public DialogTest {
protected:
  static QString Text(const CAntennaTuningDlg& dialog, int id) { return dialog.GetDlgItemText(id); }
  static void Tune(const CAntennaTuningDlg& dialog) { dialog.Item<QPushButton>(CAntennaTuningDlg::kTuningButton)->click(); }

  // The colour of the bar of `label` at `offset` pixels from its left edge.
  static QColor BarPixel(CAntennaTuningDlg& dialog, int label, int offset) {
    const QRect bar = dialog.Meter().BarRect(label);
    return PixelAt(dialog, QPoint(bar.left() + offset, bar.center().y()));
  }
  static bool Showing(const CAntennaTuningDlg& dialog, const char* strength, const char* quality) {
    return Text(dialog, SignalMeter::kStrengthLabel) == QLatin1String(strength) &&
           Text(dialog, SignalMeter::kQualityLabel) == QLatin1String(quality);
  }
};

TEST_F(AntennaTuningDlgTest, EmptyProfileOpensWith12308AndSixMegahertzAndNoBars) {
  ASSERT_TRUE(OpenBox({"--kind", "t"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  EXPECT_EQ(dialog.windowTitle(), QStringLiteral("Antenna Tuning Utility"));
  EXPECT_EQ(Text(dialog, CAntennaTuningDlg::kFrequencyEdit), QStringLiteral("12308"));
  EXPECT_EQ(Text(dialog, CAntennaTuningDlg::kBandwidthList), QStringLiteral("6"));
  ProcessEventsUntil([] { return false; }, 400);
  EXPECT_TRUE(Text(dialog, SignalMeter::kStrengthLabel).isEmpty());
  EXPECT_TRUE(Text(dialog, SignalMeter::kQualityLabel).isEmpty());
  EXPECT_FALSE(dialog.Meter().IsShowing());
  EXPECT_EQ(dialog.Monitor().TuneCount(), 0);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kStrengthLabel, 2), dialog.palette().color(QPalette::Window));
}

TEST_F(AntennaTuningDlgTest, TuningWithNoBandwidthSelectedStoresFive) {
  ASSERT_TRUE(OpenBox({"--kind", "t"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  dialog.SetDlgItemText(CAntennaTuningDlg::kFrequencyEdit, QStringLiteral("474000"));
  dialog.Item<QComboBox>(CAntennaTuningDlg::kBandwidthList)->setCurrentIndex(-1);
  Tune(dialog);
  EXPECT_EQ(dialog.Bandwidth(), 5);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyBandwidth), 5);
  EXPECT_EQ(ProfileInt(kSectionDtt, kKeyFrequency), 474000);
  const CaptureSettingsBlock block = GetSettingsBlock();
  EXPECT_EQ(block.channel.words[0], 474000);
  EXPECT_EQ(block.channel.words[1], 5);
  // The box receives the tune at once, bandwidth 5 in byte 5 of the frame.
  ASSERT_TRUE(ProcessEventsUntil([&] { return dialog.Monitor().TuneCount() > 0; }, 3000));
  bool tuneSeen = false;
  for (const std::string& line : box_.JournalLines())
    tuneSeen = tuneSeen || line.rfind("T 00222328 in=09073B90000500", 0) == 0;
  EXPECT_TRUE(tuneSeen);
}

TEST_F(AntennaTuningDlgTest, LockedSignalShowsGreenBarsOfTheValueWidth) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--lock-ms", "20", "--strength", "7", "--quality", "100"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  Tune(dialog);
  ASSERT_TRUE(ProcessEventsUntil([&] { return Showing(dialog, "07%", "100%"); }));
  const QColor face = dialog.palette().color(QPalette::Button);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kStrengthLabel, 6), kSignalGreen);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kStrengthLabel, 7), face);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kQualityLabel, 99), kSignalGreen);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kQualityLabel, 100), face);
}

TEST_F(AntennaTuningDlgTest, UnlockedSignalShowsRedBars) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--never-ready"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  Tune(dialog);
  // An unlocked box reports a weak signal and no quality.
  ASSERT_TRUE(ProcessEventsUntil([&] { return Showing(dialog, "10%", "00%"); }));
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kStrengthLabel, 5), kSignalRed);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kQualityLabel, 0), dialog.palette().color(QPalette::Button));
}

TEST_F(AntennaTuningDlgTest, FailedSignalQueryShowsZeroAndEmptyBars) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--lock-ms", "20", "--fail", "22234C"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  Tune(dialog);
  ASSERT_TRUE(ProcessEventsUntil([&] { return dialog.Monitor().TuneCount() > 0; }));
  ASSERT_TRUE(ProcessEventsUntil([&] {
    int queries = 0;
    for (const std::string& line : box_.JournalLines()) queries += line.rfind("T 0022234C", 0) == 0;
    return queries >= 2;
  }));
  EXPECT_TRUE(ProcessEventsUntil([&] { return Showing(dialog, "00%", "00%"); }));
  const QColor face = dialog.palette().color(QPalette::Button);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kStrengthLabel, 0), face);
  EXPECT_EQ(BarPixel(dialog, SignalMeter::kQualityLabel, 0), face);
  EXPECT_EQ(dialog.Monitor().TuneCount(), 1);  // tuned once, then only queried
}

TEST_F(AntennaTuningDlgTest, RefusedTuneIsRetriedAboutFiveTimesASecond) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--fail", "222328"}));
  CAntennaTuningDlg dialog(nullptr);
  dialog.InitDialog();
  QElapsedTimer clock;
  clock.start();
  Tune(dialog);
  // Retried again and again, however slow the machine; never more often
  // than the worker's 200 ms wait allows (the one wake of "Tuning" aside).
  ASSERT_TRUE(ProcessEventsUntil([&] { return dialog.Monitor().TuneCount() >= 4; }, 20000));
  const int tunes = dialog.Monitor().TuneCount();
  EXPECT_LE(tunes, clock.elapsed() / 200 + 2) << "after " << clock.elapsed() << " ms";
  dialog.reject();
  // No further tune once the dialog has closed.
  const int atClose = static_cast<int>(box_.JournalLines().size());
  ProcessEventsUntil([] { return false; }, 500);
  EXPECT_EQ(static_cast<int>(box_.JournalLines().size()), atClose);
}

TEST_F(AntennaTuningDlgTest, ABoxThatVanishesShowsZeroAndIsReopenedLater) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--lock-ms", "20"}));
  bDeviceRequestFailed.store(0);
  CDttSettingDlg dtt(nullptr);
  dtt.InitDialog();
  dtt.Item<QPushButton>(capture_ids::kApply)->click();
  const auto shows = [&](const char* strength, const char* quality) {
    return dtt.GetDlgItemText(SignalMeter::kStrengthLabel) == QLatin1String(strength) &&
           dtt.GetDlgItemText(SignalMeter::kQualityLabel) == QLatin1String(quality);
  };
  const auto strengthShown = [&] {
    const QString text = dtt.GetDlgItemText(SignalMeter::kStrengthLabel);
    return !text.isEmpty() && text != QLatin1String("00%");
  };
  ASSERT_TRUE(ProcessEventsUntil(strengthShown, 20000));
  EXPECT_EQ(bDeviceRequestFailed.load(), 0);
  box_.Stop();  // unplugged
  // The frame reopens the box at its next device command.
  EXPECT_TRUE(ProcessEventsUntil([&] { return bDeviceRequestFailed.load() == 1; }, 20000));
  EXPECT_TRUE(ProcessEventsUntil([&] { return shows("00%", "00%"); }, 20000));
  dtt.reject();
  bDeviceRequestFailed.store(0);
}

TEST_F(AntennaTuningDlgTest, AWorkerThatOutlivesItsStopWaitKeepsRequestsCancelledUntilItEnds) {
  ASSERT_TRUE(OpenBox({"--kind", "t", "--hang", "222328"}));
  // No stop wait at all: the worker inside its hung tune cannot have ended.
  SignalMonitor monitor(MonitorConfig{1000, MonitorWake::Signal, 0});
  monitor.Start();
  monitor.Request();
  ASSERT_TRUE(ProcessEventsUntil([&] {
    for (const std::string& line : box_.JournalLines())
      if (line.rfind("T 00222328", 0) == 0) return true;
    return false;
  }));
  if (monitor.Stop()) {
    // It ended within no time after all: requests were resumed at once.
    EXPECT_FALSE(TunerRequestsCancelled());
    return;
  }
  // Left to end on its own: no request may go out beside it until it has.
  EXPECT_TRUE(TunerRequestsCancelled());
  EXPECT_TRUE(ProcessEventsUntil([] { return !TunerRequestsCancelled(); }, 10000));
}

TEST(SignalMeterTest, ValuesAreClampedNotTakenModuloOneHundred) {
  EXPECT_EQ(ClampSignalPercent(-4), 0);
  EXPECT_EQ(ClampSignalPercent(0), 0);
  EXPECT_EQ(ClampSignalPercent(99), 99);
  EXPECT_EQ(ClampSignalPercent(100), 100);
  EXPECT_EQ(ClampSignalPercent(180), 100);

  TestApplication();
  CAntennaTuningDlg dialog(nullptr);
  SignalMeter meter(dialog);
  SignalReadout readout;
  readout.monitoring = true;
  readout.strength = 180;  // a satellite level byte passed through
  readout.quality = -3;
  meter.Show(readout, kSignalGreen);
  EXPECT_EQ(dialog.GetDlgItemText(SignalMeter::kStrengthLabel), QStringLiteral("100%"));
  EXPECT_EQ(dialog.GetDlgItemText(SignalMeter::kQualityLabel), QStringLiteral("00%"));

  QImage image(dialog.size(), QImage::Format_RGB32);
  image.fill(Qt::black);
  QPainter painter(&image);
  meter.Paint(painter);
  painter.end();
  const QRect bar = meter.BarRect(SignalMeter::kStrengthLabel);
  // The bar starts 30 pixels right of the label, or clear of "100%" if that is wider.
  const QWidget* label = dialog.GetDlgItem(SignalMeter::kStrengthLabel);
  EXPECT_EQ(bar.size(), label->size());
  EXPECT_EQ(bar.top(), label->y());
  EXPECT_GE(bar.left() - label->x(), 30);
  EXPECT_GE(bar.left() - label->x(), label->fontMetrics().horizontalAdvance(QStringLiteral("100%")));
  EXPECT_EQ(image.pixelColor(bar.left() + 99, bar.top()), kSignalGreen);
  EXPECT_NE(image.pixelColor(bar.left() + 100, bar.top()), kSignalGreen);
  EXPECT_EQ(image.pixelColor(bar.left() - 1, bar.top()), QColor(Qt::black));  // nothing left of the bar
  const QRect quality = meter.BarRect(SignalMeter::kQualityLabel);
  EXPECT_EQ(image.pixelColor(quality.left(), quality.top()), dialog.palette().color(QPalette::Button));
}

}  // namespace
