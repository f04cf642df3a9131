// The live signal display of the capture settings dialogs and the Antenna
// Tuning Utility: the strength and quality labels show "NN%", and beside each
// a bar as many pixels wide as the value is painted over the label's
// rectangle moved 30 pixels to the right (further when the font makes "100%"
// wider than that), the rest of it in the button face.
#pragma once

#include <QColor>
#include <QRect>
#include <QTimer>

#include "capture/dialogs/signal_monitor.h"

class QPainter;
class QWidget;

inline const QColor kSignalGreen(0, 255, 0);
inline const QColor kSignalRed(255, 0, 0);

class SignalMeter {
public:
  static constexpr int kStrengthLabel = 1046;
  static constexpr int kQualityLabel = 1047;
  static constexpr int kBarOffsetPixels = 30;
  static constexpr int kTextGapPixels = 4;

  // The labels are the dialog's controls 1046 and 1047.
  explicit SignalMeter(QWidget& dialog) : dialog_(dialog) {}

  // Empty texts and no bars, as before monitoring starts.
  void Clear();
  // Texts and bars for the values (clamped to 0..100), bars in `colour`;
  // repaints only the labels and their bars.
  void Show(const SignalReadout& readout, const QColor& colour);
  // From the dialog's paint event.
  void Paint(QPainter& painter) const;

  // Where the bar of a label is painted, in dialog coordinates.
  QRect BarRect(int labelId) const;
  bool IsShowing() const { return showing_; }

private:
  void Invalidate();

  QWidget& dialog_;
  bool showing_ = false;
  int strength_ = 0;
  int quality_ = 0;
  QColor colour_ = kSignalGreen;
};

// A dialog's whole live display: the monitor's worker, the meter, and the
// timer that shows the worker's values on the meter.
class SignalDisplay {
public:
  enum class BarColours { Green, GreenWhileLocked };

  SignalDisplay(QWidget& dialog, const MonitorConfig& config, int refreshMs, BarColours colours);

  // Empties the labels, starts the worker (idle until Request) and the timer.
  void Start();
  // "Apply" / "Tuning".
  void Request() { monitor_.Request(); }
  // Timer and worker; nothing of the display runs afterwards.
  void Stop();
  void Paint(QPainter& painter) const { meter_.Paint(painter); }

  const SignalMonitor& Monitor() const { return monitor_; }
  const SignalMeter& Meter() const { return meter_; }

private:
  void Refresh();

  SignalMonitor monitor_;
  SignalMeter meter_;
  QTimer timer_;
  const BarColours colours_;
};
