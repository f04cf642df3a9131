// A one-line label that ends in "…" where its text does not fit, instead of
// cutting it off mid-word; text() stays whole (a tooltip can show it).
#pragma once

#include <QLabel>

class ElidedLabel : public QLabel {
public:
  using QLabel::QLabel;

protected:
  void paintEvent(QPaintEvent* event) override;
};
