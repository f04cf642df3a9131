// A page's new size hint does not repaint the rest of the page, while the
// page still follows the tab widget's size and new tabs.
#include <gtest/gtest.h>

#include <QLabel>
#include <QPainter>
#include <QTabBar>
#include <QVBoxLayout>
#include <memory>

#include "tests/ui/qt_test_support.h"
#include "ui/steady_tab_widget.h"

namespace {

class CountedPaints : public QWidget {
public:
  int paints = 0;

protected:
  void paintEvent(QPaintEvent*) override {
    ++paints;
    QPainter(this).fillRect(rect(), Qt::white);
  }
};

// Another widget above a label: the label's new text changes the page's size
// hint and the label's height, not where the other widget is.
struct Page {
  QWidget* page = new QWidget;
  QLabel* label = new QLabel(QStringLiteral("short"));
  CountedPaints* other = new CountedPaints;
  Page() {
    other->setFixedHeight(100);
    auto* layout = new QVBoxLayout(page);
    layout->addWidget(other);
    layout->addWidget(label);
    layout->addStretch(1);
  }
};

void Settle() {
  for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
}

// Repaints of the other widget when the label's text grows.
int RepaintsOnNewText(QTabWidget& tabs, Page& page) {
  tabs.resize(400, 300);
  tabs.show();
  Settle();
  const int before = page.other->paints;
  page.label->setText(QStringLiteral("a longer text\nof three\nlines"));
  Settle();
  return page.other->paints - before;
}

TEST(SteadyTabWidget, ANewSizeHintRepaintsOnlyWhatChanged) {
  TestApplication();
  {
    // What it mends: Qt's own repaints the whole page.
    QTabWidget plain;
    Page page;
    plain.addTab(page.page, QStringLiteral("Page"));
    EXPECT_GT(RepaintsOnNewText(plain, page), 0);
  }
  SteadyTabWidget tabs;
  Page page;
  tabs.addTab(page.page, QStringLiteral("Page"));
  EXPECT_EQ(RepaintsOnNewText(tabs, page), 0);
  EXPECT_EQ(page.label->text(), QStringLiteral("a longer text\nof three\nlines"));
  // The page's layout still gives the label its new height.
  EXPECT_GE(page.label->height(), page.label->sizeHint().height());
  // It still follows the tab widget's size and a tab added later.
  tabs.resize(600, 500);
  Settle();
  EXPECT_GT(page.page->width(), 500);
  EXPECT_GT(page.page->height(), 400);
  Page second;
  tabs.addTab(second.page, QStringLiteral("A tab with a much longer name"));
  tabs.setCurrentIndex(1);
  Settle();
  EXPECT_EQ(second.page->size(), page.page->size());
  EXPECT_GE(tabs.tabBar()->width(), tabs.tabBar()->sizeHint().width());
}

}  // namespace
