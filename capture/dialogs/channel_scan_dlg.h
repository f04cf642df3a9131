// The Channel Scan dialog: scans the open box's family with a plan file (or
// the NIT from it), shows each frequency's progress with signal bars, a
// growing table of transponders and of the services found; Cancel stops the
// scan within a second keeping what was found; Save writes a DVBv5 channel
// file (or JSON). "Capture this service..." (a button, and the services
// table's context menu) captures the chosen service into a file through the
// capture progress dialog. The scan runs on a worker; the dialog never waits on it
// except when it closes.
#pragma once

#include <QDialog>
#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <vector>

#include "capture/scan/channel_scan.h"
#include "capture/scan/service_capture.h"

class QAction;
class QCheckBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTableWidget;

// Control ids (each control's objectName).
constexpr int kIdChannelScanDlg = 2100;
constexpr int kIdScanFamily = 2101;
constexpr int kIdScanPlan = 2102;
constexpr int kIdScanBrowse = 2103;
constexpr int kIdScanNetwork = 2104;
constexpr int kIdScanStart = 2105;
constexpr int kIdScanCancel = 2106;
constexpr int kIdScanSave = 2107;
constexpr int kIdScanClose = 2108;
constexpr int kIdScanProgress = 2109;
constexpr int kIdScanStatus = 2110;
constexpr int kIdScanStrength = 2111;
constexpr int kIdScanQuality = 2112;
constexpr int kIdScanTransponders = 2113;
constexpr int kIdScanServices = 2114;
constexpr int kIdScanCaptureService = 2115;

class CChannelScanDlg : public QDialog {
  Q_OBJECT

public:
  // The box must be open (its model decides the family).
  explicit CChannelScanDlg(QWidget* parent);
  ~CChannelScanDlg() override;

  // Starts a scan of the plan in the plan field; false (with a message in
  // the status line) when it cannot start.
  bool StartScan();
  void CancelScan();
  bool Scanning() const { return worker_.joinable() && !finished_.load(); }
  // Writes the services found: a DVBv5 channel file, or JSON when the name ends in .json.
  bool SaveResults(const QString& path, QString* error);
  const ScanResult& Result() const { return result_; }
  QString StatusText() const;
  // The capture by service of the services table's row `row` into `path`:
  // the capture progress dialog in its service mode, with the limits of the
  // family's settings dialog and the SI capture --service keeps by default.
  // false (nothing started) without such a row, or while scanning.
  bool CaptureService(int row, const QString& path);
  // The request CaptureService makes for `row`; nullopt without such a row.
  std::optional<ServiceCaptureRequest> CaptureRequest(int row, const QString& path) const;

signals:
  void ScanEnded();

protected:
  void reject() override;
  void closeEvent(QCloseEvent* event) override;

private:
  void ShowProgress(const ScanProgress& progress, const ScanTransponder* finished);
  void AddTransponder(const ScanTransponder& t);
  void Finish(const ScanResult& result);
  void UpdateButtons();
  void OnBrowse();
  void OnSave();
  void OnCaptureService();
  void JoinWorker();
  // The worker hands its updates over under updatesLock_ and only wakes the
  // UI thread with a queued call; nothing the worker made travels inside
  // Qt's event, whose locking the thread checkers cannot see.
  void PostUpdate(std::function<void()> update);
  Q_INVOKABLE void RunPostedUpdates();

  QLabel* family_ = nullptr;
  QLineEdit* plan_ = nullptr;
  QCheckBox* network_ = nullptr;
  QPushButton* start_ = nullptr;
  QPushButton* cancel_ = nullptr;
  QPushButton* save_ = nullptr;
  QPushButton* browse_ = nullptr;
  QProgressBar* progress_ = nullptr;
  QLabel* status_ = nullptr;
  QProgressBar* strength_ = nullptr;
  QProgressBar* quality_ = nullptr;
  QTableWidget* transponders_ = nullptr;
  QTableWidget* services_ = nullptr;
  QPushButton* captureService_ = nullptr;
  QAction* captureServiceAction_ = nullptr;
  // What each row of the services table shows: its transponder and service.
  struct ServiceRow {
    ScanTuning tuning;
    int serviceId = 0;
  };
  std::vector<ServiceRow> serviceRows_;

  ScanSettings settings_;
  ScanTuning defaults_;
  ChannelScan* scan_ = nullptr;  // while a worker runs
  std::thread worker_;
  std::atomic<bool> finished_{false};
  std::mutex updatesLock_;
  std::deque<std::function<void()>> updates_;  // guarded by updatesLock_
  ScanResult result_;
};
