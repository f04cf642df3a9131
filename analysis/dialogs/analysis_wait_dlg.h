// The analysis wait popup (dialog 147): runs the analysis named by
// nAnalysisKind on a worker thread and ends itself once the worker is done.
// Escape and the close box cannot end it earlier: the result dialogs must
// not read the engine while the worker still writes it.
#pragma once

#include <atomic>
#include <thread>

#include "ui/resource_dialog.h"

class CAnalysisWaitDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 147;
  static constexpr int kPollMilliseconds = 200;

  explicit CAnalysisWaitDlg(QWidget* parent);
  ~CAnalysisWaitDlg() override;

  // Only the worker's done event ends the popup.
  void reject() override {}

protected:
  void OnInitDialog() override;
  void timerEvent(QTimerEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

private:
  void FinishWorker();

  std::thread worker_;
  std::atomic<bool> workerFinished_{false};
  int timerId_ = 0;
};
