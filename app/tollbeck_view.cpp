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

namespace {
constexpr int kToolsString = 630;
constexpr int kVersionString = 631;
constexpr int kNoFileString = 632;
constexpr int kSelectedFileString = 633;
constexpr int kAnalysingString = 634;
}  // namespace

std::vector<CTollbeckView::BannerLine> CTollbeckView::BannerLines() {
  std::string fileName;
  GetTsFileName(fileName);
  // "%s" of the template replaced by the path as it is, whatever it holds.
  QString selected = LoadResString(kSelectedFileString);
  selected.replace(QLatin1String("%s"), QString::fromStdString(fileName));
  return {
      {0, LoadResString(kToolsString)},
      {16, LoadResString(kVersionString)},
      {45, QString(88, QLatin1Char('='))},
      {64, fileName.empty() ? LoadResString(kNoFileString) : selected},
      {80, GetAnalysingFlag() ? LoadResString(kAnalysingString) : QString()},
  };
}

void CTollbeckView::paintEvent(QPaintEvent*) {
  QPainter painter(this);
  OnDraw(painter);
}

void CTollbeckView::OnDraw(QPainter& painter) {
  // Each line's top at its offset, as text output places it.
  const int ascent = painter.fontMetrics().ascent();
  painted_.clear();
  for (const BannerLine& line : BannerLines()) {
    painter.drawText(0, line.y + ascent, line.text);
    painted_.append(line.text);
  }
}
