#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"

#include <QAbstractItemModel>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <algorithm>

PacketListView::PacketListView(QWidget* parent) : QAbstractScrollArea(parent) {
  setFocusPolicy(Qt::StrongFocus);
  viewport()->setBackgroundRole(QPalette::Base);
  viewport()->setAutoFillBackground(true);
  connect(verticalScrollBar(), &QScrollBar::valueChanged, viewport(), qOverload<>(&QWidget::update));
}

void PacketListView::setModel(QAbstractItemModel* model) {
  model_ = model;
  current_ = -1;
  auto reset = [this] {
    current_ = -1;
    UpdateScrollRange();
    viewport()->update();
  };
  connect(model, &QAbstractItemModel::modelReset, this, reset);
  connect(model, &QAbstractItemModel::rowsInserted, this, [this] {
    UpdateScrollRange();
    viewport()->update();
  });
  UpdateScrollRange();
}

void PacketListView::setColumnWidths(const QList<int>& widths) {
  widths_ = widths;
  viewport()->update();
}

int PacketListView::RowHeight() const { return fontMetrics().height() + 4; }

int PacketListView::visibleRows() const { return std::max(1, viewport()->height() / RowHeight() - 1); }

int PacketListView::firstVisibleRow() const { return verticalScrollBar()->value(); }

void PacketListView::UpdateScrollRange() {
  const int rows = model_ ? model_->rowCount() : 0;
  verticalScrollBar()->setRange(0, std::max(0, rows - visibleRows()));
  verticalScrollBar()->setPageStep(visibleRows());
  verticalScrollBar()->setSingleStep(1);
}

void PacketListView::setCurrentRow(int row) {
  if (!model_ || row < 0 || row >= model_->rowCount()) return;
  const int first = firstVisibleRow();
  if (row < first || row >= first + visibleRows()) verticalScrollBar()->setValue(std::max(0, row - visibleRows() / 2));
  if (row != current_) {
    current_ = row;
    emit currentRowChanged(row);
  }
  viewport()->update();
}

void PacketListView::paintEvent(QPaintEvent*) {
  QPainter painter(viewport());
  const int height = RowHeight();
  const QPalette& pal = palette();
  // The header row.
  painter.fillRect(QRect(0, 0, viewport()->width(), height), pal.button());
  painter.setPen(pal.color(QPalette::ButtonText));
  int x = 4;
  const int columns = model_ ? model_->columnCount() : 0;
  for (int c = 0; c < columns; ++c) {
    const int w = c < widths_.size() ? widths_[c] : 80;
    painter.drawText(QRect(x, 0, w - 6, height), Qt::AlignVCenter | Qt::AlignLeft,
                     model_->headerData(c, Qt::Horizontal, Qt::DisplayRole).toString());
    x += w;
  }
  painter.setPen(pal.color(QPalette::Mid));
  painter.drawLine(0, height - 1, viewport()->width(), height - 1);
  if (!model_) return;
  const int first = firstVisibleRow();
  const int last = std::min(model_->rowCount(), first + visibleRows() + 1);
  for (int row = first; row < last; ++row) {
    const int y = (row - first + 1) * height;
    const QRect line(0, y, viewport()->width(), height);
    const QVariant background = model_->index(row, 0).data(Qt::BackgroundRole);
    const bool selected = row == current_;
    if (selected) painter.fillRect(line, pal.highlight());
    else if (background.canConvert<QColor>()) painter.fillRect(line, background.value<QColor>());
    painter.setPen(pal.color(selected ? QPalette::HighlightedText : QPalette::Text));
    x = 4;
    for (int c = 0; c < columns; ++c) {
      const int w = c < widths_.size() ? widths_[c] : 80;
      painter.drawText(QRect(x, y, w - 6, height), Qt::AlignVCenter | Qt::AlignLeft,
                       model_->index(row, c).data().toString());
      x += w;
    }
  }
}

void PacketListView::resizeEvent(QResizeEvent* event) {
  QAbstractScrollArea::resizeEvent(event);
  UpdateScrollRange();
}

void PacketListView::mousePressEvent(QMouseEvent* event) {
  const int line = static_cast<int>(event->position().y()) / RowHeight();
  if (line >= 1) setCurrentRow(firstVisibleRow() + line - 1);
  setFocus();
}

void PacketListView::keyPressEvent(QKeyEvent* event) {
  if (!model_ || model_->rowCount() == 0) return QAbstractScrollArea::keyPressEvent(event);
  const int rows = model_->rowCount();
  int row = std::max(current_, 0);
  switch (event->key()) {
    case Qt::Key_Down: row += 1; break;
    case Qt::Key_Up: row -= 1; break;
    case Qt::Key_PageDown: row += visibleRows(); break;
    case Qt::Key_PageUp: row -= visibleRows(); break;
    case Qt::Key_Home: row = 0; break;
    case Qt::Key_End: row = rows - 1; break;
    default: return QAbstractScrollArea::keyPressEvent(event);
  }
  row = std::clamp(row, 0, rows - 1);
  const int first = firstVisibleRow();
  if (row < first) verticalScrollBar()->setValue(row);
  else if (row >= first + visibleRows()) verticalScrollBar()->setValue(row - visibleRows() + 1);
  setCurrentRow(row);
}
