#include "tools/antenna_tuning_dlg.h"

#include <QComboBox>
#include <QPainter>
#include <QPushButton>
#include <QTimerEvent>

#include "capture/capture_settings.h"
#include "capture/dialogs/list_selection.h"

namespace {

// The worker steps every 200 ms (a tune that failed is retried that often);
// a failed signal query shows 0.
constexpr MonitorConfig kAntennaMonitor{200, MonitorWake::Pulse, FailedSignalQuery::ShowZero, 10000};

}  // namespace

CAntennaTuningDlg::CAntennaTuningDlg(QWidget* parent)
    : CResourceDialog(kResourceId, parent), monitor_(kAntennaMonitor), meter_(*this) {
  if (auto* tuning = Item<QPushButton>(kTuningButton))
    connect(tuning, &QPushButton::clicked, this, &CAntennaTuningDlg::OnTuning);
}

CAntennaTuningDlg::~CAntennaTuningDlg() { monitor_.Stop(); }

void CAntennaTuningDlg::OnInitDialog() {
  const DttFields stored = LoadDttSettings();
  frequency_ = stored.frequencyKHz;
  bandwidth_ = static_cast<int>(stored.bandwidthMHz);
  SelectListIndex(Item<QComboBox>(kBandwidthList), bandwidth_ - kFirstBandwidthMHz);
  meter_.Clear();
  SetDlgItemText(kFrequencyEdit, QString::number(frequency_));
  monitor_.Start();
  timerId_ = startTimer(kRepaintMilliseconds);
}

void CAntennaTuningDlg::OnTuning() {
  ExchangeUnsigned(kFrequencyEdit, frequency_);  // a refused text keeps the previous frequency
  const int index = ListSelectionIndex(Item<QComboBox>(kBandwidthList));
  bandwidth_ = index + kFirstBandwidthMHz;
  StoreAntennaTuningChannel(frequency_, index);
  monitor_.Request();
}

void CAntennaTuningDlg::done(int code) {
  monitor_.Stop();
  if (timerId_ != 0) {
    killTimer(timerId_);
    timerId_ = 0;
  }
  CResourceDialog::done(code);
}

void CAntennaTuningDlg::timerEvent(QTimerEvent* event) {
  if (event->timerId() != timerId_) {
    CResourceDialog::timerEvent(event);
    return;
  }
  const std::optional<SignalReadout> readout = monitor_.Read();
  if (readout && readout->monitoring) meter_.Show(*readout, readout->locked != 0 ? kSignalGreen : kSignalRed);
}

void CAntennaTuningDlg::paintEvent(QPaintEvent* event) {
  CResourceDialog::paintEvent(event);
  QPainter painter(this);
  meter_.Paint(painter);
}
