#include "analysis/dialogs/analysis_wait_dlg.h"

#include <QCloseEvent>
#include <QTimerEvent>
#include <memory>

#include "analysis/engine/psi.h"
#include "ui/shell_state.h"
#include "ui/ui_thread.h"
#include "platform/sync.h"

namespace {

// The done event of the popup that is showing; null when none is.
std::unique_ptr<SyncEvent> hAnalysisDone;

void RunAnalysisWorker(SyncEvent* done, std::atomic<bool>* finished) {
  switch (nAnalysisKind.load()) {
    case kAnalysisPat: AnalysePat(); break;
    case kAnalysisPmt: AnalysePmt(); break;
    case kAnalysisSdt: AnalyseSdt(); break;
    default: break;
  }
  done->Set();
  finished->store(true);
}

}  // namespace

CAnalysisWaitDlg::CAnalysisWaitDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {}

CAnalysisWaitDlg::~CAnalysisWaitDlg() { FinishWorker(); }

void CAnalysisWaitDlg::OnInitDialog() {
  hAnalysisDone = std::make_unique<SyncEvent>(false);
  workerFinished_.store(false);
  worker_ = std::thread(RunAnalysisWorker, hAnalysisDone.get(), &workerFinished_);
  timerId_ = startTimer(kPollMilliseconds);
}

void CAnalysisWaitDlg::FinishWorker() {
  if (!worker_.joinable()) return;
  // The worker may be showing a message through the UI thread.
  WaitPumpingUiCalls([this] { return workerFinished_.load(); });
  worker_.join();
  hAnalysisDone.reset();
}

void CAnalysisWaitDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timerId_) {
    CResourceDialog::timerEvent(event);
    return;
  }
  if (!hAnalysisDone || WaitForEvent(*hAnalysisDone, 0) != WaitResult::First) return;
  FinishWorker();
  killTimer(timerId_);
  timerId_ = 0;
  accept();
}

void CAnalysisWaitDlg::closeEvent(QCloseEvent* event) { event->ignore(); }
