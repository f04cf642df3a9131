#include "analysis/dialogs/search_packets_dlg.h"

#include <QComboBox>
#include <QPushButton>
#include <QTimerEvent>
#include <cstring>

#include "analysis/engine/ts_file.h"
#include "device/tuner_device.h"  // kMaxPid, as the capture's PID filter and the command line take it
#include "ui/ui_thread.h"
#include "platform/ui_hooks.h"

namespace {

constexpr int kPacketEdit = 1000;
constexpr int kNextButton = 1001;
constexpr int kPidEdit = 1004;
constexpr int kPayloadStartList = 1005;
constexpr int kAdaptationList = 1009;
constexpr int kSearchButton = 1010;
constexpr int kPauseButton = 1011;
constexpr int kCountEdit = 1012;

constexpr int kSearchString = 612;
constexpr int kStopString = 613;
constexpr int kPauseString = 614;
constexpr int kContinueString = 615;

}  // namespace

CSearchPacketsDlg::CSearchPacketsDlg(QWidget* parent) : CResourceDialog(kResourceId, parent) {
  const std::pair<int, void (CSearchPacketsDlg::*)()> handlers[] = {
      {kNextButton, &CSearchPacketsDlg::OnNext},
      {kSearchButton, &CSearchPacketsDlg::OnSearchStop},
      {kPauseButton, &CSearchPacketsDlg::OnPauseContinue},
  };
  for (const auto& [id, handler] : handlers)
    if (auto* button = Item<QPushButton>(id)) connect(button, &QPushButton::clicked, this, handler);
}

CSearchPacketsDlg::~CSearchPacketsDlg() { StopWorker(); }

void CSearchPacketsDlg::OnInitDialog() {
  SetDlgItemText(kPacketEdit, packetText_);
  SetDlgItemText(kPidEdit, QString::number(pid_));
  if (NextPacket()) {
    SetDlgItemText(kPacketEdit, FromEngineText(PacketHeaderReport()));
    timerId_ = startTimer(kCountMilliseconds);
  }
  UpdateButtons();
}

void CSearchPacketsDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() == timerId_) ShowPacketCount();
  else CResourceDialog::timerEvent(event);
}

void CSearchPacketsDlg::ShowPacketCount() {
  SetDlgItemText(kCountEdit, QString::asprintf("[%12d]", nPacketCount.load()));
}

void CSearchPacketsDlg::UpdateButtons() {
  SetDlgItemText(kSearchButton, LoadResString(searching_ ? kStopString : kSearchString));
  SetDlgItemText(kPauseButton, LoadResString(paused_ ? kContinueString : kPauseString));
  if (QWidget* pause = GetDlgItem(kPauseButton)) pause->setEnabled(searching_);
}

bool CSearchPacketsDlg::StoreConditions() {
  packetText_ = GetDlgItemText(kPacketEdit);
  const bool pidAccepted = ExchangeUnsigned(kPidEdit, pid_, kMaxPid);
  std::memset(&PacketFilter, 0, sizeof PacketFilter);
  PacketFilter.pidEnable = 1;
  PacketFilter.pid = static_cast<int32_t>(pid_);
  if (const auto* list = Item<QComboBox>(kPayloadStartList)) {
    const int index = list->currentIndex();
    if (index == 1 || index == 2) {
      PacketFilter.payloadUnitStartEnable = 1;
      PacketFilter.payloadUnitStart = index - 1;
    }
  }
  if (const auto* list = Item<QComboBox>(kAdaptationList)) {
    const int index = list->currentIndex();
    if (index >= 1 && index <= 4) {
      PacketFilter.adaptationEnable = 1;
      PacketFilter.adaptation = index - 1;
    }
  }
  return pidAccepted;
}

void CSearchPacketsDlg::OnNext() {
  // While an unpaused search runs the worker is stepping the engine.
  if (searching_ && !paused_) return;
  if (NextPacket()) SetDlgItemText(kPacketEdit, FromEngineText(PacketHeaderReport()));
}

void CSearchPacketsDlg::OnSearchStop() {
  if (!searching_) {
    StoreConditions();
    searching_ = true;
    paused_ = false;
    UpdateButtons();
    StartWorker();
    return;
  }
  StopWorker();
  StoreConditions();
  searching_ = false;
  paused_ = false;
  UpdateButtons();
  if (FirstPacket()) SetDlgItemText(kPacketEdit, FromEngineText(PacketHeaderReport()));
}

void CSearchPacketsDlg::OnPauseContinue() {
  if (!searching_) return;
  if (!paused_) {
    // Park the worker between two packets before touching PacketFilter.
    parkRequested_.store(true);
    WaitPumpingUiCalls([this] { return parked_.load() || workerDone_.load(); });
    if (!searching_ || workerDone_.load()) return;  // the search completed meanwhile
    StoreConditions();
    paused_ = true;
    UpdateButtons();
    return;
  }
  StoreConditions();
  paused_ = false;
  UpdateButtons();
  parkRequested_.store(false);
  resumeEvent_.Set();
}

void CSearchPacketsDlg::accept() {
  StopWorker();
  if (searching_) {
    searching_ = false;
    paused_ = false;
    UpdateButtons();
  }
  // The standard OK: read the controls; a refused PID keeps the dialog open.
  packetText_ = GetDlgItemText(kPacketEdit);
  if (!ExchangeUnsigned(kPidEdit, pid_, kMaxPid)) return;
  CResourceDialog::accept();
}

void CSearchPacketsDlg::reject() {
  StopWorker();
  CResourceDialog::reject();
}

void CSearchPacketsDlg::StartWorker() {
  StopWorker();  // a worker that completed is still to be joined
  stopEvent_.Reset();
  resumeEvent_.Reset();
  parkRequested_.store(false);
  parked_.store(false);
  workerDone_.store(false);
  worker_ = std::thread(&CSearchPacketsDlg::WorkerLoop, this);
}

void CSearchPacketsDlg::StopWorker() {
  if (!worker_.joinable()) return;
  stopEvent_.Set();
  resumeEvent_.Set();
  // The worker may be waiting for its match or completion step on this thread.
  WaitPumpingUiCalls([this] { return workerDone_.load(); });
  worker_.join();
  resumeEvent_.Reset();
}

bool CSearchPacketsDlg::Park() {
  parked_.store(true);
  const WaitResult result = WaitForEitherEvent(stopEvent_, resumeEvent_, kInfinite);
  parked_.store(false);
  return result != WaitResult::First;
}

void CSearchPacketsDlg::WorkerLoop() {
  for (;;) {
    if (stopEvent_.IsSignalled()) break;
    if (parkRequested_.load()) {
      if (!Park()) break;
      continue;
    }
    if (!NextPacket()) {
      RunOnUiThread([this] { OnCompletionStep(); });
      break;
    }
    if (MatchPacketFilter()) {
      const std::string report = PacketHeaderReport();
      RunOnUiThread([this, &report] { OnMatchStep(report); });
      if (!Park()) break;
    }
  }
  stopEvent_.Reset();
  workerDone_.store(true);
}

void CSearchPacketsDlg::OnMatchStep(const std::string& report) {
  SetDlgItemText(kPacketEdit, FromEngineText(report));
  paused_ = true;
  UpdateButtons();
}

void CSearchPacketsDlg::OnCompletionStep() {
  searching_ = false;
  paused_ = false;
  UpdateButtons();
  ShowMessage("Searching complete !");
  // The worker waits for this step, so the engine is the UI thread's here.
  RestartTsFile();
}
