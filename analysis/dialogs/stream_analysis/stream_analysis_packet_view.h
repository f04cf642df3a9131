// The packet list on screen: draws only the rows in view and asks the model
// for nothing else, so a list of hundreds of millions of packets costs no
// more than a list of ten (an item view keeps per-row state in its headers).
#pragma once

#include <QAbstractScrollArea>

class QAbstractItemModel;

class PacketListView : public QAbstractScrollArea {
  Q_OBJECT

public:
  explicit PacketListView(QWidget* parent = nullptr);

  void setModel(QAbstractItemModel* model);
  QAbstractItemModel* model() const { return model_; }
  // Column widths in pixels, one per model column.
  void setColumnWidths(const QList<int>& widths);

  int currentRow() const { return current_; }
  // Selects `row` and scrolls it into view (centred when it was out of view).
  void setCurrentRow(int row);
  int firstVisibleRow() const;
  int visibleRows() const;

signals:
  void currentRowChanged(int row);

protected:
  void paintEvent(QPaintEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;

private:
  void UpdateScrollRange();
  int RowHeight() const;

  QAbstractItemModel* model_ = nullptr;
  QList<int> widths_;
  int current_ = -1;
};
