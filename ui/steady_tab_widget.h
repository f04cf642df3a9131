// A tab widget that does not repaint its page in view whenever something on
// a page changes its size hint (a label's new text, a table's new rows). Qt's
// own lays itself out again on each such change and repaints all of its
// area, every widget of the page included; the frame and the tab bar do not
// depend on the pages' size hints, so here that request only passes the new
// size hint on, unless the tab bar itself asks for a new size.
#pragma once

#include <QSize>
#include <QTabWidget>

class SteadyTabWidget : public QTabWidget {
public:
  using QTabWidget::QTabWidget;

protected:
  bool event(QEvent* event) override;

private:
  QSize tabBarHint_;  // the tab bar's size hint at the last full layout
};
