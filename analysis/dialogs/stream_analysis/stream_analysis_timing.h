// The Stream Analysis window's Timing tab: for the program chosen, its PCR
// and each stream's PTS and DTS against the position in the stream (bytes or
// stream time), each stream's offset to the PCR (PTS - PCR) with its drift in
// ppm, and where the clock jumped or the checks found errors. Both charts
// zoom together (drag a rectangle, the wheel, + and -, Home resets) and tell
// the value under the cursor. Reads a TimingCollector the analysis feeds.
#pragma once

#include <QWidget>
#include <QtCharts/QChartView>
#include <memory>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/timing/timing_collector.h"

class QComboBox;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QSplitter;
class QTableWidget;
class QValueAxis;

// A chart that zooms by a dragged rectangle, the wheel and the keys, and
// reports the chart value under the mouse.
class TimingChartView : public QChartView {
  Q_OBJECT

public:
  explicit TimingChartView(QChart* chart, QWidget* parent = nullptr);

signals:
  void valueUnderCursor(const QPointF& value);
  void resetRequested();

protected:
  void wheelEvent(QWheelEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
};

class StreamAnalysisTiming : public QWidget {
  Q_OBJECT

public:
  enum Position { kByteOffset, kStreamTime };
  enum Column { kColPid, kColCarries, kColPts, kColDts, kColMeanOffset, kColMinOffset, kColMaxOffset, kColDrift,
                kColumnCount };

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

protected:
  void showEvent(QShowEvent* event) override;

private:
  void Refresh();
  // `budgeted`: while the analysis runs, lines that would take the poll too
  // long are left for the following ones.
  void Draw(bool budgeted = false);
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
  std::vector<QLineSeries*> lines_;
  int program_ = -1;
  bool finished_ = false;
  bool stale_ = false;       // a newer result came while the tab was hidden
  qint64 drawnAtMs_ = 0;     // while running, redrawn at most once a second
  qint64 redrawAfterMs_ = 0; // and at most a small share of the window's time (what a redraw cost, times 20)
  // The checks' occurrences behind each mark (check, index in its first
  // ones): many close together share one mark; described on hover.
  std::vector<std::vector<std::pair<size_t, size_t>>> markOccurrences_;
  bool zoomed_ = false;      // the user's zoom is kept when new values come
  bool drawing_ = false;
  bool drawPending_ = false;  // a budgeted drawing left lines from drawCursor_ on
  size_t drawCursor_ = 0;
  bool syncingAxes_ = false;

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
