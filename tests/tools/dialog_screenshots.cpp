// vantrel-capture-screenshots: renders the capture and tools dialogs with live
// signal bars to PNG files for review (not a test). Each dialog runs against
// its own simulated box in a private device folder and a private profile;
// the language follows the system locale, as in the application.
//
//   vantrel-capture-screenshots OUT_DIR
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QThread>
#include <cstdio>
#include <functional>

#include "ui/resources.h"
#include "ui/ui_thread.h"
#include "capture/capture_settings.h"
#include "capture/dialogs/capture_progress_dlg.h"
#include "capture/dialogs/capture_setting_dlg.h"
#include "device/tuner_device.h"
#include "platform/profile.h"
#include "tests/ui/qt_test_support.h"
#include "tests/support/boxsim_process.h"
#include "tests/support/test_env.h"
#include "tools/antenna_tuning_dlg.h"
#include "tools/lnb_setup_dlg.h"

namespace {

QString gOutDir;
int gFailures = 0;

void Save(QWidget* widget, const char* name) {
  const QString path = gOutDir + QLatin1Char('/') + QLatin1String(name) + QStringLiteral(".png");
  if (!widget->grab().save(path)) {
    std::fprintf(stderr, "vantrel-capture-screenshots: cannot write %s\n", qPrintable(path));
    ++gFailures;
  }
}

void Settle(int milliseconds) { ProcessEventsUntil([] { return false; }, milliseconds); }

void Wait(const char* what, const std::function<bool()>& done) {
  if (ProcessEventsUntil(done, 15000)) return;
  std::fprintf(stderr, "vantrel-capture-screenshots: %s did not happen\n", what);
  ++gFailures;
}

// A box for one dialog, opened as the application opens it.
struct OpenBox {
  explicit OpenBox(const std::vector<std::string>& arguments) : box(arguments) {
    if (!box.IsRunning() || !OpenTunerDevice()) {
      std::fprintf(stderr, "vantrel-capture-screenshots: no simulated box: %s\n", box.StderrText().c_str());
      ++gFailures;
    }
    nTunerModel.store(GetTunerModel());
  }
  ~OpenBox() { CloseTunerDevice(); }
  BoxSimProcess box;
};

bool ShowsSignal(const CResourceDialog& dialog) {
  return !dialog.GetDlgItemText(SignalMeter::kStrengthLabel).isEmpty() &&
         dialog.GetDlgItemText(SignalMeter::kStrengthLabel) != QStringLiteral("00%");
}

template <class Dialog>
void ApplyAndSave(Dialog& dialog, const char* name) {
  dialog.InitDialog();
  dialog.show();
  dialog.template Item<QPushButton>(capture_ids::kApply)->click();
  Wait(name, [&] { return ShowsSignal(dialog); });
  Settle(300);
  Save(&dialog, name);
  dialog.reject();
}

void RenderSettingDialogs(const TempDir& files) {
  WriteProfileText(kSectionDst, kKeyName, files.File("capture.DAT"));
  WriteProfileInt(LnbSectionName(1).c_str(), kKeyLnbType, 1);
  {
    OpenBox box({"--kind", "bus", "--lock-ms", "20", "--strength", "83", "--quality", "71"});
    CDttSettingDlg dtt(nullptr);
    ApplyAndSave(dtt, "dtt-setting");
  }
  {
    OpenBox box({"--kind", "bus", "--model-code", "RZK-A1", "--lock-ms", "20", "--strength", "100", "--quality",
                 "41"});
    CDstSettingDlg dst(nullptr);
    dst.InitDialog();
    dst.SetDlgItemText(capture_ids::kFrequency, QStringLiteral("11778"));
    ApplyAndSave(dst, "dst-setting");
  }
  {
    OpenBox box({"--kind", "s", "--lock-ms", "20", "--strength", "7", "--quality", "66"});
    CDstSettingDlg dst(nullptr);
    dst.InitDialog();
    dst.SetDlgItemText(capture_ids::kFrequency, QStringLiteral("11778"));
    ApplyAndSave(dst, "dst-setting-pid");
  }
  {
    OpenBox box({"--kind", "bus", "--model-code", "HVL-A6", "--lock-ms", "20", "--strength", "58", "--quality", "90"});
    CDctSettingDlg dct(nullptr);
    dct.InitDialog();
    dct.SetDlgItemText(capture_ids::kFrequency, QStringLiteral("474000"));
    ApplyAndSave(dct, "dct-setting");
  }
}

void RenderProgress(const TempDir& files) {
  OpenBox box({"--kind", "bus", "--lock-ms", "20", "--bitrate", "4000000"});
  DttFields fields = LoadDttSettings();
  fields.frequencyKHz = 474000;
  fields.limits.recordMode = 1;
  fields.limits.megabytes = 20;
  fields.limits.captureFile = files.File("progress.ts");
  StoreDttSettings(fields);
  CCaptureProgressDlg progress(nullptr);
  auto watchProgress = WhenModal<CCaptureProgressDlg>([](CCaptureProgressDlg* dialog) {
    Settle(3500);  // a few ticks into the capture
    Save(dialog, "capture-progress");
    dialog->Item<QPushButton>(CCaptureProgressDlg::kCancelId)->click();
  });
  auto watchResult = WhenModal<QMessageBox>([](QMessageBox* box) {
    Settle(200);
    Save(box, "capture-result");
    box->accept();
  }, 30000);
  progress.DoModal();
}

// Every frame of the popup's animation, enlarged, side by side.
void RenderAnimationFrames() {
  constexpr int kSide = 128;
  CCaptureAnimation animation(nullptr);
  animation.resize(kSide, kSide);
  animation.Play();
  QPixmap strip(kSide * CCaptureAnimation::kFrameCount, kSide);
  strip.fill(animation.palette().color(QPalette::Window));
  QPainter painter(&strip);
  for (int frame = 0; frame < CCaptureAnimation::kFrameCount; ++frame) {
    Wait("animation frame", [&] { return animation.Frame() == frame; });
    painter.drawPixmap(frame * kSide, 0, animation.grab());
  }
  painter.end();
  const QString path = gOutDir + QStringLiteral("/capture-animation-frames.png");
  if (!strip.save(path)) ++gFailures;
}

void RenderLnbSetup() {
  {
    CLnbSetupDlg lnb(nullptr);
    lnb.InitDialog();
    lnb.show();
    Settle(200);
    Save(&lnb, "lnb-setup");
  }
  CLnbSetupDlg custom(nullptr);
  custom.InitDialog();
  custom.show();
  QComboBox* type = custom.Item<QComboBox>(CLnbSetupDlg::kTypeList);
  type->setCurrentIndex(2);
  emit type->activated(2);
  custom.Item<QComboBox>(CLnbSetupDlg::kDiseqcList)->setCurrentIndex(2);
  Settle(200);
  Save(&custom, "lnb-setup-custom");
}

void RenderAntenna(const char* name, const std::vector<std::string>& boxArguments) {
  OpenBox box(boxArguments);
  CAntennaTuningDlg antenna(nullptr);
  antenna.InitDialog();
  antenna.show();
  antenna.SetDlgItemText(CAntennaTuningDlg::kFrequencyEdit, QStringLiteral("474000"));
  antenna.Item<QComboBox>(CAntennaTuningDlg::kBandwidthList)->setCurrentIndex(2);
  antenna.Item<QPushButton>(CAntennaTuningDlg::kTuningButton)->click();
  Wait(name, [&] { return ShowsSignal(antenna); });
  Settle(300);
  Save(&antenna, name);
  antenna.reject();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc != 2) {
    std::fprintf(stderr, "usage: vantrel-capture-screenshots OUT_DIR\n");
    return 2;
  }
  gOutDir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(gOutDir);
  InstallFrameworkTranslations();
  InstallQtUiHooks();
  TempDir profile;
  ScopedEnv profileHome("XDG_CONFIG_HOME", profile.path().c_str());
  TempDir files;

  RenderSettingDialogs(files);
  RenderProgress(files);
  RenderAnimationFrames();
  RenderLnbSetup();
  RenderAntenna("antenna-tuning", {"--kind", "t", "--lock-ms", "20", "--strength", "64", "--quality", "100"});
  RenderAntenna("antenna-tuning-unlocked", {"--kind", "t", "--never-ready"});

  std::printf("vantrel-capture-screenshots: %s%s\n", qPrintable(gOutDir), gFailures ? " (with failures)" : "");
  return gFailures ? 1 : 0;
}
