#include "tools/antenna_tuning_dlg.h"

#include <QComboBox>
#include <QPainter>
#include <QPushButton>

#include "capture/capture_settings.h"
#include "capture/dialogs/list_selection.h"

namespace {

// The worker steps every 200 ms (a tune that failed is retried that often);
// a failed signal query shows 0.
constexpr MonitorConfig kAntennaMonitor{200, MonitorWake::Pulse, 10000};

}  // namespace

CAntennaTuningDlg::CAntennaTuningDlg(QWidget* parent)
    : CResourceDialog(kResourceId, parent),
      signal_(*this, kAntennaMonitor, kRepaintMilliseconds, SignalDisplay::BarColours::GreenWhileLocked) {
  if (auto* tuning = Item<QPushButton>(kTuningButton))
    connect(tuning, &QPushButton::clicked, this, &CAntennaTuningDlg::OnTuning);
}

CAntennaTuningDlg::~CAntennaTuningDlg() { signal_.Stop(); }

void CAntennaTuningDlg::OnInitDialog() {
  const DttFields stored = LoadDttSettings();
  frequency_ = stored.frequencyKHz;
  bandwidth_ = static_cast<int>(stored.bandwidthMHz);
  SelectListIndex(Item<QComboBox>(kBandwidthList), bandwidth_ - kFirstBandwidthMHz);
  SetDlgItemText(kFrequencyEdit, QString::number(frequency_));
  signal_.Start();
}

void CAntennaTuningDlg::OnTuning() {
  // A refused text keeps the previous frequency.
  ExchangeUnsigned(kFrequencyEdit, frequency_, ChannelWordMax(nTunerModel.load(), TunerFamily::Terrestrial, 0));
  const int index = ListSelectionIndex(Item<QComboBox>(kBandwidthList));
  bandwidth_ = index + kFirstBandwidthMHz;
  ReportProfileWrite(StoreAntennaTuningChannel(frequency_, index));
  signal_.Request();
}

void CAntennaTuningDlg::done(int code) {
  signal_.Stop();
  CResourceDialog::done(code);
}

void CAntennaTuningDlg::paintEvent(QPaintEvent* event) {
  CResourceDialog::paintEvent(event);
  QPainter painter(this);
  signal_.Paint(painter);
}
