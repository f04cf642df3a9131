// "Antenna Tuning Utility" (dialog 151): tunes a terrestrial box once the
// user presses "Tuning", then shows strength and quality live as bars,
// green while the box reports lock and red otherwise. The device work runs
// on the signal monitor's worker; a 250 ms timer repaints the bars.
#pragma once

#include <cstdint>

#include "ui/resource_dialog.h"
#include "capture/dialogs/signal_meter.h"

class CAntennaTuningDlg : public CResourceDialog {
  Q_OBJECT

public:
  static constexpr int kResourceId = 151;
  static constexpr int kFrequencyEdit = 1020;
  static constexpr int kBandwidthList = 1053;
  static constexpr int kTuningButton = 1045;
  static constexpr int kRepaintMilliseconds = 250;

  // No owner window.
  explicit CAntennaTuningDlg(QWidget* parent);
  ~CAntennaTuningDlg() override;

  // "Tuning": store frequency and bandwidth, then tune and monitor.
  void OnTuning();
  // Every end of the dialog stops the worker first.
  void done(int code) override;
  void reject() override { EndDialog(kIdCancel); }

  uint32_t Frequency() const { return frequency_; }
  int Bandwidth() const { return bandwidth_; }
  const SignalMonitor& Monitor() const { return signal_.Monitor(); }
  const SignalMeter& Meter() const { return signal_.Meter(); }

protected:
  void OnInitDialog() override;
  void paintEvent(QPaintEvent* event) override;

private:
  uint32_t frequency_ = 0;  // kHz
  int bandwidth_ = 0;       // MHz: list index + 6
  SignalDisplay signal_;
};
