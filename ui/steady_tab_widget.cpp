#include "ui/steady_tab_widget.h"

#include <QEvent>
#include <QTabBar>

bool SteadyTabWidget::event(QEvent* event) {
  if (event->type() == QEvent::LayoutRequest && isVisible() && tabBar()->sizeHint() == tabBarHint_) {
    updateGeometry();
    return true;
  }
  if (event->type() == QEvent::LayoutRequest) tabBarHint_ = tabBar()->sizeHint();
  return QTabWidget::event(event);
}
