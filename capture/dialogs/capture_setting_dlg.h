// The capture settings dialogs, one per tuner family: "DST Setting"
// (satellite, 136), "DCT Setting" (cable, 153) and "DTT Setting"
// (terrestrial and ATSC, 145). They share everything except what
// CaptureDialogFamily and the three subclasses say: channel fields and the
// order in which fields are read, the profile section, the PID field, the
// timer period, and how the signal monitor waits, is woken and is stopped.
//
// "Apply" stores the fields (settings block and profile) and starts the
// monitor: the worker tunes until a tune succeeds, then polls the signal,
// and a timer repaints the strength and quality bars. "Capture" stores the
// fields and ends the dialog with 1 once every field is accepted; the frame
// then runs the capture progress dialog.
#pragma once

#include <QString>
#include <cstdint>

#include "ui/resource_dialog.h"
#include "capture/capture_settings.h"
#include "capture/dialogs/signal_meter.h"

struct CaptureDialogFamily {
  int resourceId;
  int timerMs;            // signal display refresh
  MonitorConfig monitor;  // worker time-out, wake style, stop wait
  bool hasPid;            // PID field, shown for models 12 and 20
};

// Control ids shared by the three dialogs.
namespace capture_ids {
constexpr int kFrequency = 1020;
constexpr int kIq = 1023;
constexpr int kSeconds = 1024;
constexpr int kMegabytes = 1025;
constexpr int kInTime = 1026;
constexpr int kInSpace = 1027;
constexpr int kSaveAs = 1028;
constexpr int kFiles = 1029;
constexpr int kDiskInfo = 1035;
constexpr int kLnbSetting = 1038;
constexpr int kApply = 1045;
constexpr int kPid = 1050;
constexpr int kPidLabel = 1051;
}  // namespace capture_ids

// End code of "DST Setting" after "LNB setting...".
constexpr int kLnbSettingEndCode = 1038;

class CCaptureSettingDlg : public CResourceDialog {
  Q_OBJECT

public:
  ~CCaptureSettingDlg() override;

  // Button handlers.
  void OnApply();
  void OnFiles();
  void OnRecordModeClicked(int buttonId);
  // "Capture": store, then close with 1 only when every field is accepted
  // and, for a typed path naming a non-empty file, the user agreed to
  // replace it.
  void accept() override;
  // "Cancel", the close box and Escape: close with 2, nothing stored.
  void reject() override;
  // Every end of the dialog stops its worker first.
  void done(int code) override;

  const CaptureDialogFamily& Family() const { return family_; }
  const SignalMonitor& Monitor() const { return signal_.Monitor(); }
  const SignalMeter& Meter() const { return signal_.Meter(); }

protected:
  CCaptureSettingDlg(const CaptureDialogFamily& family, QWidget* parent);

  void OnInitDialog() override;
  void paintEvent(QPaintEvent* event) override;

  // The family's part: profile section to members (and list selections),
  // members to controls, controls to members in the family's order (false at
  // the first refused field; the fields before it are taken over), and the
  // store of "Apply" and "Capture".
  virtual void LoadFields() = 0;
  virtual void ShowFields() = 0;
  virtual bool ReadFields() = 0;
  virtual void StoreValues() = 0;
  virtual CaptureLimitFields& Limits() = 0;

  // Pieces the families share.
  bool ReadRecordMode();  // the radio group; never refuses
  bool ReadPid(int16_t& pid);
  void ShowLimits();
  void ShowNumber(int id, int64_t value) { SetDlgItemText(id, QString::number(value)); }
  // The "Save as" text, as stored in the settings block.
  std::string SaveAsText() const;
  // Selection index of a list (see list_selection.h).
  int ListSelection(int id) const;
  void SelectListEntry(int id, int index);

private:
  void EnableLimitEdits(bool byTime);
  // Asks before a capture replaces an existing non-empty file, unless the
  // path came from the Save As dialog, which asked already.
  bool ConfirmReplacingCaptureFile();

  const CaptureDialogFamily family_;
  SignalDisplay signal_;
  QString confirmedPath_;  // last path chosen with "Files..."
};

class CDstSettingDlg : public CCaptureSettingDlg {
  Q_OBJECT

public:
  static constexpr int kResourceId = 136;
  static constexpr int kSymbolRate = 1021;
  static constexpr int kPolarisation = 1022;

  // Owner: the main frame.
  explicit CDstSettingDlg(QWidget* parent);
  // "LNB setting...": keep the fields in "DSTSETTINGT" and end with 1038.
  void OnLnbSetting();
  const DstFields& Fields() const { return fields_; }

protected:
  void LoadFields() override;
  void ShowFields() override;
  bool ReadFields() override;
  void StoreValues() override;
  CaptureLimitFields& Limits() override { return fields_.limits; }

private:
  void TakeListAndPath();
  DstFields fields_;
};

class CDctSettingDlg : public CCaptureSettingDlg {
  Q_OBJECT

public:
  static constexpr int kResourceId = 153;
  static constexpr int kSymbolRate = 1043;
  static constexpr int kQam = 1056;

  explicit CDctSettingDlg(QWidget* parent);
  const DctFields& Fields() const { return fields_; }

protected:
  void LoadFields() override;
  void ShowFields() override;
  bool ReadFields() override;
  void StoreValues() override;
  CaptureLimitFields& Limits() override { return fields_.limits; }

private:
  DctFields fields_;
};

class CDttSettingDlg : public CCaptureSettingDlg {
  Q_OBJECT

public:
  static constexpr int kResourceId = 145;
  static constexpr int kBandwidth = 1043;

  explicit CDttSettingDlg(QWidget* parent);
  const DttFields& Fields() const { return fields_; }

protected:
  void LoadFields() override;
  void ShowFields() override;
  bool ReadFields() override;
  void StoreValues() override;
  CaptureLimitFields& Limits() override { return fields_.limits; }

private:
  DttFields fields_;
};

// "Files...": the system's Save As dialog with `proposedName`, the "*.DAT"
// and "*.*" filters and the DAT extension, asking before it overwrites a
// file. true with the full path chosen; false when cancelled.
bool AskCaptureFilePath(QWidget* owner, const QString& proposedName, QString* path);
