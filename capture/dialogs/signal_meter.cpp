#include "capture/dialogs/signal_meter.h"

#include <QPainter>
#include <QWidget>

#include "app/resource_dialog.h"

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
  return label ? label->geometry().translated(kBarOffsetPixels, 0) : QRect();
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
