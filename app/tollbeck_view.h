// The view: a fixed banner, the selected file and the analysing notice.
#pragma once

#include <QString>
#include <QStringList>
#include <QWidget>

class CTollbeckDoc;

class CTollbeckView : public QWidget {
  Q_OBJECT

public:
  explicit CTollbeckView(CTollbeckDoc* document, QWidget* parent = nullptr);

  CTollbeckDoc* GetDocument() const { return document_; }

  // The lines OnDraw paints, with their y offsets in pixels, from the
  // engine's current state.
  struct BannerLine {
    int y;
    QString text;
  };
  static std::vector<BannerLine> BannerLines();
  // The texts of the last paint, top to bottom (what the screen shows).
  const QStringList& PaintedTexts() const { return painted_; }

protected:
  void paintEvent(QPaintEvent* event) override;
  virtual void OnDraw(QPainter& painter);

private:
  CTollbeckDoc* document_;
  QStringList painted_;
};
