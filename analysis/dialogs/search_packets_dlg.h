// "Searching Packets" (dialog 130): steps through the packets of the open TS
// file and searches forward, on a worker thread, for packets whose header
// matches the conditions.
//
// The engine has no locks, so the worker and the UI thread never step it at
// the same time: "Next" is ignored while an unpaused search runs; pausing
// first waits until the worker has parked between two packets, and only then
// are the conditions stored; the worker's match and completion steps run on
// the UI thread while the worker waits for them. Cancel, Escape and the close
// box stop the worker as OK does.
#pragma once

#include <QString>
#include <atomic>
#include <cstdint>
#include <string>
#include <thread>

#include "ui/resource_dialog.h"
#include "platform/sync.h"

class CSearchPacketsDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 130;
  static constexpr int kCountMilliseconds = 100;

  explicit CSearchPacketsDlg(QWidget* parent);
  ~CSearchPacketsDlg() override;

  // Button handlers.
  void OnNext();
  void OnSearchStop();
  void OnPauseContinue();
  void accept() override;
  void reject() override;

  bool IsSearching() const { return searching_; }
  bool IsPaused() const { return paused_; }

protected:
  void OnInitDialog() override;
  void timerEvent(QTimerEvent* event) override;

private:
  // Reads the controls into the members and fills PacketFilter; false when
  // the PID text was refused (the PID keeps its previous value).
  bool StoreConditions();
  void ShowPacketCount();
  void UpdateButtons();
  void StartWorker();
  // Stops a running worker (if any) and waits until it has ended.
  void StopWorker();
  void WorkerLoop();
  // Waits on the worker for Continue or Stop; false when stopped.
  bool Park();
  // Run on the UI thread on behalf of the worker.
  void OnMatchStep(const std::string& report);
  void OnCompletionStep();

  QString packetText_;
  uint32_t pid_ = 0;
  bool searching_ = false;  // UI thread only
  bool paused_ = false;     // UI thread only
  int timerId_ = 0;
  SyncEvent stopEvent_{false};
  SyncEvent resumeEvent_{false};
  std::atomic<bool> parkRequested_{false};
  std::atomic<bool> parked_{false};
  std::atomic<bool> workerDone_{true};
  std::thread worker_;
};
