// The Stream Analysis window's Timing tab: for the program chosen, its PCR
// and each stream's PTS and DTS against the position in the stream (bytes or
// stream time), each stream's offset to the PCR (PTS - PCR) with its drift in
// ppm, and where the clock jumped or the checks found errors. Both charts
// zoom together (drag a rectangle, the wheel, + and -, 0 resets) and tell
// the value under the mouse, or under a keyboard cursor that steps from
// point to point. Reads a TimingCollector the analysis feeds.
#pragma once

#include <QWidget>
#include <QtCharts/QChartView>
#include <memory>
#include <optional>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/timing/timing_collector.h"

class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QSplitter;
class QTableWidget;
class QTimer;
class QValueAxis;
class QXYSeries;

// A chart that zooms by a dragged rectangle, the wheel and the keys, and
// reports the chart value under the mouse. With the focus, a cursor steps
// through the points of one of its series: Left and Right one point, Page Up
// and Page Down a tenth of the series, Home and End to its ends, Up and Down
// to the previous or next series (its lines, then its marks).
class TimingChartView : public QChartView {
  Q_OBJECT

public:
  explicit TimingChartView(QChart* chart, QWidget* parent = nullptr);
  // The series the keyboard cursor is on (null: none placed yet) and its point.
  QXYSeries* CursorSeries() const;
  int CursorIndex() const { return cursorIndex_; }
  // After a redraw: the cursor stays on its series and point, within the
  // points there now are.
  void FollowSeries();

signals:
  void valueUnderCursor(const QPointF& value);
  void resetRequested();
  // The keyboard cursor is on point `index` of `series`.
  void cursorMoved(QXYSeries* series, int index);

protected:
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void focusOutEvent(QFocusEvent* event) override;
  void drawForeground(QPainter* painter, const QRectF& rect) override;

private:
  // What the cursor walks through: the lines in order, then the marks; none empty.
  QList<QXYSeries*> Walkable() const;
  void MoveCursor(int key);
  void PlaceCursor(QXYSeries* series, int index, bool scroll);

  QString cursorSeries_;  // by name: a redraw may put new series in place of the old
  int cursorIndex_ = -1;  // -1: no cursor placed
  QScatterSeries* marker_ = nullptr;  // made when first placed
};

class StreamAnalysisTiming : public QWidget {
  Q_OBJECT

public:
  enum Position { kByteOffset, kStreamTime };
  enum Column { kColPid, kColCarries, kColPts, kColDts, kColMeanOffset, kColMinOffset, kColMaxOffset, kColDrift,
                kColDriftMargin, kColumnCount };

  explicit StreamAnalysisTiming(QWidget* parent = nullptr);

  // The collector of the analysis now running (null: none, e.g. no
  // analysis yet); what was shown is cleared.
  void SetSource(std::shared_ptr<const TimingCollector> collector);
  // The analysis's latest result (kept by the caller until the next call or
  // SetSource): its programs, and its checks' occurrences marked on the
  // charts. `finished`: the last one.
  void Show(const HealthResult& result, bool finished);
  // The program shown, and what the charts were last drawn from.
  int Program() const { return program_; }
  const TimingView& View() const { return view_; }
  // Back to the whole stream on both charts.
  void ResetZoom();
  // A redraw is under way: it goes a piece per pass of the event loop (the
  // series one at a time), the charts painted only once it is complete.
  bool Drawing() const { return redraw_.has_value(); }
  // A drawn line holds no more points than twice this (each bucket's extremes).
  static constexpr size_t kDrawnBuckets = 512;

signals:
  // A piece of a redraw is done: what it cost the window's thread.
  void pieceDrawn(qint64 cpuNs);
  // A redraw is complete.
  void drawn();

protected:
  void showEvent(QShowEvent* event) override;

private:
  // What a redraw draws, made ready before the charts are touched.
  struct DrawnLine {
    QChart* chart = nullptr;
    QValueAxis* x = nullptr;
    QValueAxis* y = nullptr;
    QString name;
    QList<QPointF> points;
  };
  struct Redraw {
    std::vector<DrawnLine> lines;
    double xLow = 0, xHigh = 1, clockLow = 0, clockHigh = 1, offsetLow = 0, offsetHigh = 1;
    size_t piece = 0;  // the next: the axes, each line, the marks and the table, the second chart shown
    int64_t costNs = 0;
    bool timed = false;  // started by Refresh, which spaces the redraws by their cost
  };

  void Refresh();
  // Starts a redraw from view_ (the one under way is dropped); its pieces
  // follow in the next passes of the event loop.
  void Draw();
  void DrawPiece();
  void StartAxes();
  void DrawLine(size_t index);
  void FinishDrawing();
  // What hovering over a point of a line or a mark says, and the keyboard cursor.
  QString LineValueText(QXYSeries* line, const QPointF& point) const;
  QString MarkText(QScatterSeries* marks, int mark) const;
  QString CursorText(QXYSeries* series, int index) const;
  void FillTable();
  void PlaceMarkers();
  void PlaceCheckMarks();
  // What the checks' mark number `mark` stands for, in the user's language.
  QString CheckMarkText(int mark) const;
  // Where a sample, or a byte offset, lies on the position axis.
  double X(const TimingSample& sample) const;
  double XAtOffset(uint64_t byteOffset) const;
  void OnXRangeChanged(QValueAxis* from, qreal min, qreal max);

  std::shared_ptr<const TimingCollector> collector_;
  TimingView view_;
  std::vector<TimingSample> pcrPoints_;  // of view_, for the stream time of a byte offset
  const HealthResult* result_ = nullptr;  // the window's, for the checks' occurrences
  std::vector<QLineSeries*> lines_;  // a redraw's, in its order (null: not made yet)
  int program_ = -1;
  bool finished_ = false;
  bool stale_ = false;       // not drawn since a newer result came, or ever, while the tab was hidden
  qint64 drawnAtMs_ = 0;     // while running, redrawn at most once a second
  qint64 redrawAfterMs_ = 0; // and at most a small share of the window's time (what a redraw cost, times 20)
  // The checks' occurrences behind each mark (check, index in its first
  // ones): many close together share one mark; described on hover.
  std::vector<std::vector<std::pair<size_t, size_t>>> markOccurrences_;
  bool zoomed_ = false;      // the user's zoom is kept when new values come
  bool drawing_ = false;
  bool syncingAxes_ = false;
  std::optional<Redraw> redraw_;
  QTimer* pieces_ = nullptr;  // the next piece, in the next pass of the event loop

  QComboBox* programs_ = nullptr;
  QComboBox* position_ = nullptr;
  QLabel* clockSummary_ = nullptr;
  QLabel* value_ = nullptr;
  QSplitter* split_ = nullptr;
  TimingChartView* clockView_ = nullptr;
  TimingChartView* offsetView_ = nullptr;
  QValueAxis* clockX_ = nullptr;
  QValueAxis* clockY_ = nullptr;
  QValueAxis* offsetX_ = nullptr;
  QValueAxis* offsetY_ = nullptr;
  QScatterSeries* discontinuities_ = nullptr;
  QScatterSeries* occurrences_ = nullptr;
  QTableWidget* table_ = nullptr;
};
