#include "app/tollbeck_view.h"

#include <QPainter>
#include <string>

#include "analysis/engine/ts_file.h"
#include "ui/resource_dialog.h"

CTollbeckView::CTollbeckView(CTollbeckDoc* document, QWidget* parent) : QWidget(parent), document_(document) {
  setObjectName(QStringLiteral("view"));
  setAutoFillBackground(true);
  setBackgroundRole(QPalette::Base);
}

std::vector<CTollbeckView::BannerLine> CTollbeckView::BannerLines() {
  std::string fileName;
  GetTsFileName(fileName);
  return {
      {0, QStringLiteral("Vantrel Tools")},
      {16, QStringLiteral("Version: Beta 1.0")},
      {45, QString(88, QLatin1Char('='))},
      {64, fileName.empty() ? QStringLiteral("No file selected.")
                            : QStringLiteral("Selected file : ") + QString::fromStdString(fileName)},
      {80, GetAnalysingFlag() ? QStringLiteral("Analyzing ... !") : QString()},
  };
}

void CTollbeckView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  OnDraw(painter);
}

void CTollbeckView::OnDraw(QPainter& painter) {
  // Each line's top at its offset, as text output places it.
  const int ascent = painter.fontMetrics().ascent();
  for (const BannerLine& line : BannerLines()) painter.drawText(0, line.y + ascent, line.text);
}
