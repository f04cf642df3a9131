#include "capture/dialogs/capture_setting_dlg.h"

#include <QComboBox>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QMessageBox>
#include <QPainter>
#include <QPushButton>
#include <QRadioButton>

#include "ui/shell_state.h"
#include "capture/dialogs/list_selection.h"
#include "capture/capture_run.h"
#include "device/tuner_device.h"
#include "platform/ui_hooks.h"
#include "ui/ui_thread.h"

using namespace capture_ids;

namespace {

// The differences between the families that are not code.
const CaptureDialogFamily kDstFamily{CDstSettingDlg::kResourceId, 250,
                                     {1000, MonitorWake::Pulse, 10000}, true};
const CaptureDialogFamily kDctFamily{CDctSettingDlg::kResourceId, 500,
                                     {1000, MonitorWake::Signal, 10000}, false};
const CaptureDialogFamily kDttFamily{CDttSettingDlg::kResourceId, 250,
                                     {2000, MonitorWake::Signal, 3000}, true};

constexpr int kReplaceFileString = 628;

// The boxes that filter by PID.
bool ModelFiltersPid(int model) { return model == 12 || model == 20; }

// UTF-8 text of at most kCaptureFileSize - 1 bytes, cut between characters.
std::string CaptureFileText(QString text) {
  QByteArray bytes = text.toUtf8();
  while (bytes.size() > static_cast<qsizetype>(kCaptureFileSize - 1)) {
    text.chop(text.size() >= 2 && text.at(text.size() - 1).isLowSurrogate() ? 2 : 1);
    bytes = text.toUtf8();
  }
  return bytes.toStdString();
}

// What channel word `word` of the open box's tuning request can carry (the
// command line checks its options against the same ranges); the widest of the
// dialog's family while no box of it is open.
uint32_t ChannelWordMax(TunerFamily family, int word) {
  return ChannelWordMax(nTunerModel.load(), family, word);
}

}  // namespace

bool AskCaptureFilePath(QWidget* owner, const QString& proposedName, QString* path) {
  QFileDialog dialog(owner);
  dialog.setAcceptMode(QFileDialog::AcceptSave);
  dialog.setFileMode(QFileDialog::AnyFile);
  dialog.setNameFilters({QStringLiteral("*.DAT (*.DAT *.dat)"), QStringLiteral("*.* (*)")});
  dialog.setDefaultSuffix(QStringLiteral("DAT"));
  dialog.selectFile(proposedName);
  // QFileDialog asks before it overwrites an existing file.
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) return false;
  *path = QDir::toNativeSeparators(dialog.selectedFiles().first());
  return true;
}

CCaptureSettingDlg::CCaptureSettingDlg(const CaptureDialogFamily& family, QWidget* parent)
    : CResourceDialog(family.resourceId, parent),
      family_(family),
      signal_(*this, family.monitor, family.timerMs, SignalDisplay::BarColours::Green) {
  if (auto* apply = Item<QPushButton>(kApply)) connect(apply, &QPushButton::clicked, this, &CCaptureSettingDlg::OnApply);
  if (auto* files = Item<QPushButton>(kFiles)) connect(files, &QPushButton::clicked, this, &CCaptureSettingDlg::OnFiles);
  for (int id : {kInTime, kInSpace}) {
    if (auto* radio = Item<QRadioButton>(id))
      connect(radio, &QRadioButton::clicked, this, [this, id] { OnRecordModeClicked(id); });
  }
}

CCaptureSettingDlg::~CCaptureSettingDlg() { signal_.Stop(); }

void CCaptureSettingDlg::OnInitDialog() {
  LoadFields();
  SetDlgItemText(kSaveAs, QString::fromStdString(Limits().captureFile));
  EnableLimitEdits(Limits().recordMode == 0);
  if (family_.hasPid) {
    const bool shown = ModelFiltersPid(nTunerModel.load());
    for (int id : {kPid, kPidLabel}) {
      if (QWidget* control = GetDlgItem(id)) control->setVisible(shown);
    }
  }
  ShowFields();
  ShowLimits();
  SetDlgItemText(kDiskInfo, QString::fromStdString(ListDriveFreeSpace()));  // in the user's language
  signal_.Start();
}

void CCaptureSettingDlg::EnableLimitEdits(bool byTime) {
  if (QWidget* seconds = GetDlgItem(kSeconds)) seconds->setEnabled(byTime);
  if (QWidget* megabytes = GetDlgItem(kMegabytes)) megabytes->setEnabled(!byTime);
}

void CCaptureSettingDlg::OnRecordModeClicked(int buttonId) {
  // The record mode itself changes only when the fields are read.
  EnableLimitEdits(buttonId == kInTime);
}

bool CCaptureSettingDlg::ReadRecordMode() {
  const auto* inTime = Item<QRadioButton>(kInTime);
  const auto* inSpace = Item<QRadioButton>(kInSpace);
  Limits().recordMode = inTime && inTime->isChecked() ? 0 : inSpace && inSpace->isChecked() ? 1 : -1;
  return true;
}

bool CCaptureSettingDlg::ReadPid(int16_t& pid) {
  int64_t value = 0;
  if (!ExchangeInt(kPid, 0, kMaxPid, value)) return false;
  pid = static_cast<int16_t>(value);
  return true;
}

void CCaptureSettingDlg::ShowLimits() {
  ShowNumber(kSeconds, Limits().seconds);
  ShowNumber(kMegabytes, Limits().megabytes);
  auto* inTime = Item<QRadioButton>(kInTime);
  auto* inSpace = Item<QRadioButton>(kInSpace);
  if (!inTime || !inSpace) return;
  // A record mode other than 0 or 1 selects neither button.
  for (QRadioButton* radio : {inTime, inSpace}) {
    radio->setAutoExclusive(false);
    radio->setChecked(false);
  }
  if (Limits().recordMode == 0) inTime->setChecked(true);
  if (Limits().recordMode == 1) inSpace->setChecked(true);
  for (QRadioButton* radio : {inTime, inSpace}) radio->setAutoExclusive(true);
}

std::string CCaptureSettingDlg::SaveAsText() const { return CaptureFileText(GetDlgItemText(kSaveAs)); }

int CCaptureSettingDlg::ListSelection(int id) const { return ListSelectionIndex(Item<QComboBox>(id)); }

void CCaptureSettingDlg::SelectListEntry(int id, int index) { SelectListIndex(Item<QComboBox>(id), index); }

void CCaptureSettingDlg::OnApply() {
  ReadFields();  // a refused field has shown its prompt; what was taken over is stored
  StoreValues();
  signal_.Request();
}

void CCaptureSettingDlg::OnFiles() {
  QString path;
  if (!AskCaptureFilePath(this, QString::fromStdString(ProposeCaptureFileName()), &path)) return;
  SetDlgItemText(kSaveAs, path);
  confirmedPath_ = path;  // the Save As dialog has asked about replacing it
}

bool CCaptureSettingDlg::ConfirmReplacingCaptureFile() {
  const QString typed = GetDlgItemText(kSaveAs);
  if (!confirmedPath_.isEmpty() && typed == confirmedPath_) return true;
  // The same test as the command line's --force check; the capture resolves
  // a relative name against the current directory.
  const std::string path = SaveAsText();
  if (!IsNonEmptyFile(path)) return true;
  const QFileInfo file(QString::fromStdString(path));
  QString text = LoadResString(kReplaceFileString);
  text.replace(QLatin1String("%s"), QDir::toNativeSeparators(file.absoluteFilePath()));
  QMessageBox box(QMessageBox::Warning, QString::fromLatin1(kApplicationName), text,
                  QMessageBox::Yes | QMessageBox::No, this);
  box.setDefaultButton(QMessageBox::No);
  box.setEscapeButton(QMessageBox::No);
  FitMessageBox(box);
  if (box.exec() == QMessageBox::Yes) return true;
  if (QWidget* field = GetDlgItem(kSaveAs)) field->setFocus();
  return false;
}

void CCaptureSettingDlg::accept() {
  ReadFields();
  StoreValues();
  if (!ReadFields()) return;
  if (!ConfirmReplacingCaptureFile()) return;
  CResourceDialog::accept();
}

void CCaptureSettingDlg::reject() { EndDialog(kIdCancel); }

void CCaptureSettingDlg::done(int code) {
  signal_.Stop();
  CResourceDialog::done(code);
}

void CCaptureSettingDlg::paintEvent(QPaintEvent* event) {
  CResourceDialog::paintEvent(event);
  QPainter painter(this);
  signal_.Paint(painter);
}

// --- DST Setting ---

CDstSettingDlg::CDstSettingDlg(QWidget* parent) : CCaptureSettingDlg(kDstFamily, parent) {
  if (auto* lnb = Item<QPushButton>(kLnbSetting))
    connect(lnb, &QPushButton::clicked, this, &CDstSettingDlg::OnLnbSetting);
}

void CDstSettingDlg::LoadFields() {
  // Values outside what their fields hold read as the keys' defaults.
  fields_ = LoadDstSettings(bBackFromLnbSetup == 1);
  SelectListEntry(kPolarisation, fields_.polarisationIndex);
}

void CDstSettingDlg::ShowFields() {
  ShowNumber(kFrequency, fields_.frequencyMHz);
  ShowNumber(kSymbolRate, fields_.symbolRate);
  ShowNumber(kIq, fields_.iq);
  ShowNumber(kPid, fields_.pid);
}

bool CDstSettingDlg::ReadFields() {
  constexpr TunerFamily kFamily = TunerFamily::Satellite;
  return ExchangeUnsigned(kFrequency, fields_.frequencyMHz, ChannelWordMax(kFamily, 0)) &&
         ExchangeUnsigned(kMegabytes, fields_.limits.megabytes, kMaxCaptureMegabytes) &&
         ExchangeUnsigned(kSeconds, fields_.limits.seconds, kMaxCaptureSeconds) &&
         ExchangeUnsigned(kSymbolRate, fields_.symbolRate, ChannelWordMax(kFamily, 1)) && ReadRecordMode() &&
         ExchangeUnsigned(kIq, fields_.iq, kMaxIq) && ReadPid(fields_.pid);
}

void CDstSettingDlg::TakeListAndPath() {
  fields_.polarisationIndex = ListSelection(kPolarisation);
  fields_.limits.captureFile = SaveAsText();
}

void CDstSettingDlg::StoreValues() {
  TakeListAndPath();
  ReportProfileWrite(StoreDstSettings(fields_));
}

void CDstSettingDlg::OnLnbSetting() {
  ReadFields();
  TakeListAndPath();
  ReportProfileWrite(SaveDstSettingsForLnbSetup(fields_));
  EndDialog(kLnbSettingEndCode);
}

// --- DCT Setting ---

CDctSettingDlg::CDctSettingDlg(QWidget* parent) : CCaptureSettingDlg(kDctFamily, parent) {}

void CDctSettingDlg::LoadFields() {
  fields_ = LoadDctSettings();
  SelectListEntry(kQam, fields_.qamIndex);
}

void CDctSettingDlg::ShowFields() {
  ShowNumber(kFrequency, fields_.frequencyKHz);
  ShowNumber(kSymbolRate, fields_.symbolRate);
}

bool CDctSettingDlg::ReadFields() {
  constexpr TunerFamily kFamily = TunerFamily::Cable;
  return ExchangeUnsigned(kFrequency, fields_.frequencyKHz, ChannelWordMax(kFamily, 0)) &&
         ExchangeUnsigned(kSymbolRate, fields_.symbolRate, ChannelWordMax(kFamily, 1)) && ReadRecordMode() &&
         ExchangeUnsigned(kSeconds, fields_.limits.seconds, kMaxCaptureSeconds) &&
         ExchangeUnsigned(kMegabytes, fields_.limits.megabytes, kMaxCaptureMegabytes);
}

void CDctSettingDlg::StoreValues() {
  fields_.qamIndex = ListSelection(kQam);
  fields_.limits.captureFile = SaveAsText();
  ReportProfileWrite(StoreDctSettings(fields_));
}

// --- DTT Setting ---

CDttSettingDlg::CDttSettingDlg(QWidget* parent) : CCaptureSettingDlg(kDttFamily, parent) {}

void CDttSettingDlg::LoadFields() { fields_ = LoadDttSettings(); }

void CDttSettingDlg::ShowFields() {
  ShowNumber(kFrequency, fields_.frequencyKHz);
  ShowNumber(kBandwidth, fields_.bandwidthMHz);
  ShowNumber(kPid, fields_.pid);
}

bool CDttSettingDlg::ReadFields() {
  return ExchangeUnsigned(kSeconds, fields_.limits.seconds, kMaxCaptureSeconds) &&
         ExchangeUnsigned(kMegabytes, fields_.limits.megabytes, kMaxCaptureMegabytes) && ReadRecordMode() &&
         ExchangeUnsigned(kFrequency, fields_.frequencyKHz, ChannelWordMax(TunerFamily::Terrestrial, 0)) &&
         ExchangeUnsigned(kBandwidth, fields_.bandwidthMHz, ChannelWordMax(TunerFamily::Terrestrial, 1)) &&
         ReadPid(fields_.pid);
}

void CDttSettingDlg::StoreValues() {
  fields_.limits.captureFile = SaveAsText();
  ReportProfileWrite(StoreDttSettings(fields_));
}
