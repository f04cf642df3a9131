#include "ui/dialog_units.h"

#include <QFontMetrics>
#include <cstdint>
#include <cstdlib>

int MulDiv(int number, int numerator, int denominator) {
  if (denominator == 0) return 0;
  const int64_t product = static_cast<int64_t>(number) * numerator;
  const bool negative = (product < 0) != (denominator < 0);
  const int64_t magnitude = (std::llabs(product) + std::llabs(denominator) / 2) / std::llabs(denominator);
  return static_cast<int>(negative ? -magnitude : magnitude);
}

DialogBaseUnits ComputeDialogBaseUnits(int alphabetWidth, int fontHeight) {
  return DialogBaseUnits{(alphabetWidth / 26 + 1) / 2, fontHeight};
}

DialogBaseUnits GetDialogBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int width = metrics.horizontalAdvance(QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  return ComputeDialogBaseUnits(width, metrics.ascent() + metrics.descent());
}

int DialogUnitsToPixelsX(int units, DialogBaseUnits base) { return MulDiv(units, base.x, 4); }
int DialogUnitsToPixelsY(int units, DialogBaseUnits base) { return MulDiv(units, base.y, 8); }

QRect MapDialogRect(const QRect& units, DialogBaseUnits base) {
  return QRect(DialogUnitsToPixelsX(units.x(), base), DialogUnitsToPixelsY(units.y(), base),
               DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base));
}

QSize MapDialogSize(const QSize& units, DialogBaseUnits base) {
  return QSize(DialogUnitsToPixelsX(units.width(), base), DialogUnitsToPixelsY(units.height(), base));
}
