#include "capture/dialogs/signal_meter.h"

#include <QPainter>
#include <QWidget>
#include <algorithm>

#include "ui/resource_dialog.h"

namespace {

QString PercentText(int value) { return QString::asprintf("%02d%%", value); }

}  // namespace

void SignalMeter::Clear() {
  SetDlgItemText(&dialog_, kStrengthLabel, QString());
  SetDlgItemText(&dialog_, kQualityLabel, QString());
  showing_ = false;
  Invalidate();
}

void SignalMeter::Show(const SignalReadout& readout, const QColor& colour) {
  strength_ = ClampSignalPercent(readout.strength);
  quality_ = ClampSignalPercent(readout.quality);
  colour_ = colour;
  showing_ = true;
  SetDlgItemText(&dialog_, kStrengthLabel, PercentText(strength_));
  SetDlgItemText(&dialog_, kQualityLabel, PercentText(quality_));
  Invalidate();
}

QRect SignalMeter::BarRect(int labelId) const {
  const QWidget* label = GetDlgItem(&dialog_, labelId);
  if (!label) return QRect();
  // 30 pixels clear "00%"; the widest text, "100%", may need a few more.
  const int offset = std::max(kBarOffsetPixels, label->fontMetrics().horizontalAdvance(PercentText(100)) + kTextGapPixels);
  return label->geometry().translated(offset, 0);
}

void SignalMeter::Invalidate() {
  // Only the labels and their bars: the rest of the dialog is not repainted.
  for (int id : {kStrengthLabel, kQualityLabel}) {
    if (const QWidget* label = GetDlgItem(&dialog_, id)) dialog_.update(label->geometry().united(BarRect(id)));
  }
}

void SignalMeter::Paint(QPainter& painter) const {
  if (!showing_) return;
  const QColor face = dialog_.palette().color(QPalette::Button);
  for (const auto& [id, value] : {std::pair{kStrengthLabel, strength_}, std::pair{kQualityLabel, quality_}}) {
    const QRect bar = BarRect(id);
    if (bar.isEmpty()) continue;
    const int filled = std::min(value, bar.width());
    painter.fillRect(QRect(bar.left(), bar.top(), filled, bar.height()), colour_);
    painter.fillRect(QRect(bar.left() + filled, bar.top(), bar.width() - filled, bar.height()), face);
  }
}

SignalDisplay::SignalDisplay(QWidget& dialog, const MonitorConfig& config, int refreshMs, BarColours colours)
    : monitor_(config), meter_(dialog), colours_(colours) {
  timer_.setInterval(refreshMs);
  QObject::connect(&timer_, &QTimer::timeout, [this] { Refresh(); });
}

void SignalDisplay::Start() {
  meter_.Clear();
  monitor_.Start();
  timer_.start();
}

void SignalDisplay::Stop() {
  timer_.stop();
  monitor_.Stop();
}

void SignalDisplay::Refresh() {
  // Nothing is shown before the first "Apply" / "Tuning".
  const SignalReadout readout = monitor_.Read();
  if (!readout.monitoring) return;
  const bool green = colours_ == BarColours::Green || readout.locked != 0;
  meter_.Show(readout, green ? kSignalGreen : kSignalRed);
}
