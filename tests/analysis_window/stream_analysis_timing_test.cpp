// The Timing tab on a stream made with a known timing: audio drifting by a
// known ppm, the PCR jumping half a second ahead at 2 s. The drift, the
// offsets, the jump's mark and the checks' marks against the engine's
// result; zoom by wheel and keys, both charts together, reset; the position
// in stream time; the redraw a piece per pass of the event loop; the keyboard
// cursor's readout; the splitter kept; both languages.
#include <gtest/gtest.h>

#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableWidget>
#include <QWheelEvent>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QtCharts/QScatterSeries>
#include <QtCharts/QValueAxis>
#include <cmath>
#include <vector>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packets.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"
#include "tests/analysis_window/stream_analysis_fixture.h"
#include "tests/analysis_window/timed_stream.h"

namespace {

using namespace healthtest;
using tsbuild::Bytes;

constexpr double kSeconds = kTimedSeconds;
constexpr double kAudioPpm = kTimedAudioPpm;
constexpr double kJumpAtS = kTimedJumpAtS;
constexpr double kJumpS = kTimedJumpS;

// Until the tab's redraw under way is complete.
void WaitDrawn(const QWidget& window) {
  const auto* timing = Control<StreamAnalysisTiming>(window, kIdSaTiming);
  EXPECT_TRUE(ProcessEventsUntil([timing] { return !timing->Drawing(); }, 10000));
}

class StreamAnalysisTimingTest : public StreamAnalysisFixture {
protected:
  // The window analysed to its end, on its Timing tab.
  std::unique_ptr<CStreamAnalysisWnd> AnalyseOnTimingTab() {
    const std::string path = dir_.File("timed.ts");
    EXPECT_TRUE(tsbuild::WriteTsFile(path, TimedStream()));
    auto window = Analyse(path);
    Control<QTabWidget>(*window, kIdSaTabs)->setCurrentWidget(Control<StreamAnalysisTiming>(*window, kIdSaTiming));
    QApplication::processEvents();
    WaitDrawn(*window);
    return window;
  }
};

QChart* ChartOf(const QWidget& window, int id) { return Control<QChartView>(window, id)->chart(); }

template <class T>
T* SeriesNamed(QChart* chart, const QString& name) {
  for (QAbstractSeries* s : chart->series())
    if (s->name() == name) return qobject_cast<T*>(s);
  return nullptr;
}

QValueAxis* XAxis(QChart* chart) { return qobject_cast<QValueAxis*>(chart->axes(Qt::Horizontal).front()); }

TEST_F(StreamAnalysisTimingTest, ShowsEachStreamsDriftOffsetsAndMarks) {
  auto window = AnalyseOnTimingTab();
  auto* table = Control<QTableWidget>(*window, kIdSaTimingStreams);
  ASSERT_EQ(table->rowCount(), 2);
  const struct {
    int row;
    int pid;
    double driftPpm, lowMs, highMs;
  } expected[] = {
      // The video's PTS sit on the clock until it jumps 500 ms ahead.
      {0, kVideoPid, 0, -kJumpS * 1e3, 0},
      {1, kAudioPid, kAudioPpm, -kJumpS * 1e3 + kAudioPpm * 1e-6 * kJumpAtS * 1e3, kAudioPpm * 1e-6 * kJumpAtS * 1e3},
  };
  for (const auto& e : expected) {
    SCOPED_TRACE(e.pid);
    EXPECT_TRUE(table->item(e.row, StreamAnalysisTiming::kColPid)->text().startsWith(
        QStringLiteral("0x%1").arg(e.pid, 4, 16, QLatin1Char('0'))));
    EXPECT_NEAR(table->item(e.row, StreamAnalysisTiming::kColDrift)->text().toDouble(), e.driftPpm, 3);
    EXPECT_NEAR(table->item(e.row, StreamAnalysisTiming::kColMinOffset)->text().toDouble(), e.lowMs, 0.2);
    EXPECT_NEAR(table->item(e.row, StreamAnalysisTiming::kColMaxOffset)->text().toDouble(), e.highMs, 0.2);
  }
  EXPECT_EQ(table->item(0, StreamAnalysisTiming::kColDts)->text(), QStringLiteral("0"));
  // The audio's drift is a finding: beyond its margin, and no doubt voiced;
  // the video's is within its margin, and said to be no finding.
  for (int row : {0, 1}) {
    SCOPED_TRACE(row);
    bool isNumber = false;
    const double margin = table->item(row, StreamAnalysisTiming::kColDriftMargin)->text().toDouble(&isNumber);
    EXPECT_TRUE(isNumber);
    const bool finding = std::fabs(table->item(row, StreamAnalysisTiming::kColDrift)->text().toDouble()) > margin;
    EXPECT_EQ(finding, row == 1);
    EXPECT_EQ(table->item(row, StreamAnalysisTiming::kColDrift)->toolTip().isEmpty(), finding);
  }

  QChart* offsets = ChartOf(*window, kIdSaTimingOffsetChart);
  auto* jumps = SeriesNamed<QScatterSeries>(offsets, LoadResString(kStrClockMarks));
  ASSERT_NE(jumps, nullptr);
  ASSERT_EQ(jumps->count(), 1);
  EXPECT_NEAR(jumps->at(0).x(), static_cast<double>(Slot(kJumpAtS) * 188) / 1e6, 1e-6);
  // Every first occurrence the checks kept is marked.
  size_t occurrences = 0;
  for (const HealthCheckResult& check : window->Result().checks)
    if (check.evaluated) occurrences += check.first.size();
  EXPECT_GE(window->Result().check(HealthCheck::PcrDiscontinuity).count, 1u);
  EXPECT_EQ(SeriesNamed<QScatterSeries>(offsets, LoadResString(kStrCheckMarks))->count(), static_cast<int>(occurrences));
  const StreamAnalysisTiming* timing = Control<StreamAnalysisTiming>(*window, kIdSaTiming);
  EXPECT_EQ(Control<QLabel>(*window, kIdSaTimingClockSummary)->text(),
            LoadResString(kStrClockSummary).arg(QStringLiteral("0x0100 (256)")).arg(timing->View().pcr.Count()).arg(1).arg(0));
  // One line per series: PCR, each PTS; each stream's offset.
  EXPECT_NE(SeriesNamed<QLineSeries>(ChartOf(*window, kIdSaTimingClockChart), LoadResString(kStrPcrSeries).arg(QStringLiteral("0x0100"))),
            nullptr);
  auto* audioOffset = SeriesNamed<QLineSeries>(offsets, LoadResString(kStrOffsetSeries).arg(QStringLiteral("0x0101")));
  ASSERT_NE(audioOffset, nullptr);
  EXPECT_EQ(static_cast<uint64_t>(audioOffset->count()), timing->View().streams[1].offsetMs.Count());
}

TEST_F(StreamAnalysisTimingTest, ZoomsBothChartsTogetherAndResets) {
  auto window = AnalyseOnTimingTab();
  window->resize(1200, 800);
  QApplication::processEvents();
  auto* view = Control<QChartView>(*window, kIdSaTimingOffsetChart);
  QValueAxis* clockX = XAxis(ChartOf(*window, kIdSaTimingClockChart));
  QValueAxis* offsetX = XAxis(view->chart());
  const double fullMin = offsetX->min(), fullMax = offsetX->max();
  EXPECT_NEAR(fullMax, kSeconds * 188 * kPacketsPerSecond / 1e6, 0.2);  // the last PTS, a little before the end

  const QPointF centre = view->chart()->plotArea().center();
  QWheelEvent wheel(centre, view->mapToGlobal(centre.toPoint()), QPoint(), QPoint(0, 120), Qt::NoButton, Qt::NoModifier,
                    Qt::NoScrollPhase, false);
  QApplication::sendEvent(view->viewport(), &wheel);
  EXPECT_NEAR(offsetX->max() - offsetX->min(), (fullMax - fullMin) / 1.25, 0.01);
  EXPECT_DOUBLE_EQ(clockX->min(), offsetX->min());
  EXPECT_DOUBLE_EQ(clockX->max(), offsetX->max());
  const struct {
    Qt::Key key;
    double widthShare;  // of the full width after the key
  } keys[] = {{Qt::Key_Plus, 1 / 1.25 / 1.25}, {Qt::Key_Minus, 1 / 1.25}, {Qt::Key_0, 1}};
  for (const auto& k : keys) {
    QKeyEvent press(QEvent::KeyPress, k.key, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    WaitDrawn(*window);  // 0 draws everything again
    EXPECT_NEAR((offsetX->max() - offsetX->min()) / (fullMax - fullMin), k.widthShare, 0.01) << k.key;
    EXPECT_DOUBLE_EQ(clockX->max(), offsetX->max());
  }
  // A new result keeps the user's zoom; the button shows everything again.
  QKeyEvent zoomIn(QEvent::KeyPress, Qt::Key_Plus, Qt::NoModifier);
  QApplication::sendEvent(view, &zoomIn);
  auto* timing = Control<StreamAnalysisTiming>(*window, kIdSaTiming);
  timing->Show(window->Result(), true);
  WaitDrawn(*window);
  EXPECT_LT(offsetX->max() - offsetX->min(), (fullMax - fullMin) * 0.9);
  // Ctrl and an arrow move the zoomed view.
  const double zoomedMin = offsetX->min();
  QKeyEvent pan(QEvent::KeyPress, Qt::Key_Right, Qt::ControlModifier);
  QApplication::sendEvent(view, &pan);
  EXPECT_GT(offsetX->min(), zoomedMin);
  EXPECT_DOUBLE_EQ(clockX->min(), offsetX->min());
  Control<QPushButton>(*window, kIdSaTimingResetZoom)->click();
  WaitDrawn(*window);
  EXPECT_DOUBLE_EQ(offsetX->min(), fullMin);
  EXPECT_DOUBLE_EQ(offsetX->max(), fullMax);

  // The value under the mouse, in the axes' units.
  QMouseEvent move(QEvent::MouseMove, centre, view->mapToGlobal(centre.toPoint()), Qt::NoButton, Qt::NoButton,
                   Qt::NoModifier);
  QApplication::sendEvent(view->viewport(), &move);
  const QString value = Control<QLabel>(*window, kIdSaTimingValue)->text();
  EXPECT_TRUE(value.startsWith(LoadResString(kStrByteOffsetMb) + QLatin1Char(':'))) << value.toStdString();
  EXPECT_TRUE(value.contains(LoadResString(kStrOffsetToPcrMs))) << value.toStdString();

  // In stream time: the program's clock, running on across its jump.
  Control<QComboBox>(*window, kIdSaTimingPosition)->setCurrentIndex(StreamAnalysisTiming::kStreamTime);
  WaitDrawn(*window);
  EXPECT_NEAR(offsetX->max(), kSeconds, 0.05);
  // (from the first PCR after the PMT, 20 ms in)
  EXPECT_NEAR(SeriesNamed<QScatterSeries>(view->chart(), LoadResString(kStrClockMarks))->at(0).x(), kJumpAtS - 0.020, 0.005);
}

// A line as the tab is to draw it from the engine's timing: its buckets'
// extremes, at most StreamAnalysisTiming::kDrawnBuckets buckets, against the
// byte offset.
struct ExpectedLine {
  int chart;
  QString name;
  QList<QPointF> points;
};

std::vector<ExpectedLine> ExpectedLines(const TimingView& view) {
  std::vector<ExpectedLine> lines;
  auto add = [&lines](int chart, const QString& name, const TimingSeries& series) {
    if (series.Empty()) return;
    TimingSeries drawn = series;
    drawn.SetMaxBuckets(StreamAnalysisTiming::kDrawnBuckets);
    ExpectedLine line{chart, name, {}};
    for (const TimingSample& s : drawn.Points()) line.points.append(QPointF(static_cast<double>(s.byteOffset) / 1e6, s.value));
    lines.push_back(line);
  };
  auto hex = [](int pid) { return QStringLiteral("0x%1").arg(pid, 4, 16, QLatin1Char('0')); };
  add(kIdSaTimingClockChart, LoadResString(kStrPcrSeries).arg(hex(view.pcrPid)), view.pcr);
  for (const TimingStream& s : view.streams) {
    add(kIdSaTimingClockChart, LoadResString(kStrPtsSeries).arg(hex(s.pid)), s.pts);
    add(kIdSaTimingClockChart, LoadResString(kStrDtsSeries).arg(hex(s.pid)), s.dts);
    add(kIdSaTimingOffsetChart, LoadResString(kStrOffsetSeries).arg(hex(s.pid)), s.offsetMs);
  }
  return lines;
}

// What the charts' axes show: each one's range and ticks.
QList<double> AxisState(const QWidget& window) {
  QList<double> state;
  for (int id : {kIdSaTimingClockChart, kIdSaTimingOffsetChart})
    for (QAbstractAxis* axis : ChartOf(window, id)->axes()) {
      auto* value = qobject_cast<QValueAxis*>(axis);
      state << value->min() << value->max() << value->tickCount();
    }
  return state;
}

TEST_F(StreamAnalysisTimingTest, RedrawsALineAPassToTheEnginesTiming) {
  auto window = AnalyseOnTimingTab();
  auto* timing = Control<StreamAnalysisTiming>(*window, kIdSaTiming);
  const std::vector<ExpectedLine> expected = ExpectedLines(timing->View());
  ASSERT_EQ(expected.size(), 5u);  // the PCR; each stream's PTS and offset
  auto complete = [&] {
    size_t lines = 0;
    for (const ExpectedLine& e : expected) {
      auto* line = SeriesNamed<QLineSeries>(ChartOf(*window, e.chart), e.name);
      lines += line && line->points() == e.points;
    }
    return lines;
  };
  EXPECT_EQ(complete(), expected.size());
  const QList<double> axes = AxisState(*window);
  const QImage clock = Control<QChartView>(*window, kIdSaTimingClockChart)->grab().toImage();
  const QImage offset = Control<QChartView>(*window, kIdSaTimingOffsetChart)->grab().toImage();

  // The last result again, as the window gives it at the end: drawn in the
  // passes of the event loop that follow, a line at a time.
  std::vector<size_t> completeAfterPiece;
  QObject::connect(timing, &StreamAnalysisTiming::pieceDrawn, timing, [&] { completeAfterPiece.push_back(complete()); });
  timing->Show(window->Result(), true);
  EXPECT_TRUE(timing->Drawing());
  EXPECT_TRUE(completeAfterPiece.empty());
  int passes = 0;
  while (timing->Drawing() && passes < 1000) {
    QCoreApplication::processEvents();
    ++passes;
  }
  EXPECT_FALSE(timing->Drawing());
  EXPECT_GE(passes, static_cast<int>(expected.size()));
  ASSERT_FALSE(completeAfterPiece.empty());
  size_t linePieces = completeAfterPiece.front() == 1 ? 1 : 0;
  for (size_t i = 1; i < completeAfterPiece.size(); ++i) {
    EXPECT_LE(completeAfterPiece[i], completeAfterPiece[i - 1] + 1) << i;
    linePieces += completeAfterPiece[i] == completeAfterPiece[i - 1] + 1;
  }
  EXPECT_EQ(linePieces, expected.size());
  // The same picture as before.
  EXPECT_EQ(completeAfterPiece.back(), expected.size());
  EXPECT_EQ(AxisState(*window), axes);
  QApplication::processEvents();
  EXPECT_EQ(Control<QChartView>(*window, kIdSaTimingClockChart)->grab().toImage(), clock);
  EXPECT_EQ(Control<QChartView>(*window, kIdSaTimingOffsetChart)->grab().toImage(), offset);
}

TEST_F(StreamAnalysisTimingTest, KeyboardCursorReadsThePointsAsTheMouseDoes) {
  auto window = AnalyseOnTimingTab();
  window->resize(1200, 800);
  QApplication::processEvents();
  ASSERT_TRUE(Activate(*window));
  const auto* timing = Control<StreamAnalysisTiming>(*window, kIdSaTiming);
  const auto* value = Control<QLabel>(*window, kIdSaTimingValue);
  std::vector<ExpectedLine> clock, offset;
  for (const ExpectedLine& e : ExpectedLines(timing->View())) (e.chart == kIdSaTimingClockChart ? clock : offset).push_back(e);
  ASSERT_EQ(clock.size(), 3u);
  ASSERT_EQ(offset.size(), 2u);
  // What the label says, and what it is to say for a point (as text, for the messages).
  auto shown = [value] { return value->text().toStdString(); };
  auto text = [](const ExpectedLine& e, int index) {
    const QPointF p = e.points[index];
    return LoadResString(kStrSeriesValue)
        .arg(e.name, LoadResString(kStrByteOffsetMb), QString::number(p.x(), 'f', 3),
             LoadResString(e.chart == kIdSaTimingClockChart ? kStrClockS : kStrOffsetToPcrMs), QString::number(p.y(), 'f', 3))
        .toStdString();
  };
  auto nearest = [](const ExpectedLine& e, double x) {
    int at = 0;
    for (int i = 1; i < e.points.size(); ++i)
      if (std::fabs(e.points[i].x() - x) < std::fabs(e.points[at].x() - x)) at = i;
    return at;
  };

  // Tab comes to the clock chart from the button before it: the cursor on
  // its first line's first point.
  Control<QPushButton>(*window, kIdSaTimingResetZoom)->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Tab);
  ASSERT_EQ(FocusId(), QString::number(kIdSaTimingClockChart));
  EXPECT_EQ(shown(), text(clock[0], 0));
  const int last0 = static_cast<int>(clock[0].points.size()) - 1, last1 = static_cast<int>(clock[1].points.size()) - 1;
  const int page0 = std::max(1, (last0 + 1) / 10);  // a tenth of the line
  constexpr int kNearest = -1;  // the point nearest along the axis to where the cursor was
  const struct {
    Qt::Key key;
    int line;
    int point;
  } steps[] = {
      {Qt::Key_Right, 0, 1},     {Qt::Key_Right, 0, 2},        {Qt::Key_Left, 0, 1},     {Qt::Key_End, 0, last0},
      {Qt::Key_Right, 0, last0}, {Qt::Key_Home, 0, 0},         {Qt::Key_Left, 0, 0},     {Qt::Key_PageDown, 0, page0},
      {Qt::Key_PageUp, 0, 0},    {Qt::Key_Down, 1, kNearest},  {Qt::Key_End, 1, last1},  {Qt::Key_Down, 2, kNearest},
      {Qt::Key_Down, 2, kNearest}, {Qt::Key_Up, 1, kNearest},
  };
  int line = 0, point = 0;
  for (const auto& step : steps) {
    const double x = clock[static_cast<size_t>(line)].points[point].x();
    line = step.line;
    point = step.point == kNearest ? nearest(clock[static_cast<size_t>(line)], x) : step.point;
    Press(step.key);
    EXPECT_EQ(shown(), text(clock[static_cast<size_t>(line)], point)) << step.key << " to " << line << "/" << point;
  }
  // The mouse on that point says the same.
  auto* hovered = SeriesNamed<QLineSeries>(ChartOf(*window, kIdSaTimingClockChart), clock[static_cast<size_t>(line)].name);
  ASSERT_NE(hovered, nullptr);
  Control<QLabel>(*window, kIdSaTimingValue)->clear();
  emit hovered->hovered(hovered->at(point), true);
  EXPECT_EQ(shown(), text(clock[static_cast<size_t>(line)], point));

  // On to the offset chart; below its lines, its marks: the clock's jump last.
  Press(Qt::Key_Tab);
  ASSERT_EQ(FocusId(), QString::number(kIdSaTimingOffsetChart));
  EXPECT_EQ(shown(), text(offset[0], 0));
  Press(Qt::Key_Down);
  EXPECT_EQ(shown(), text(offset[1], 0));
  for (int i = 0; i < 4; ++i) Press(Qt::Key_Down);
  ASSERT_EQ(timing->View().events.size(), 1u);
  const TimingEvent& jump = timing->View().events.front();
  EXPECT_EQ(shown(), LoadResString(kStrPcrJumpMark)
                         .arg(QStringLiteral("0x0100"), QString::number(jump.stepS * 1e3, 'f', 3), QString::number(jump.byteOffset))
                         .toStdString());
  // Zoomed in, a point out of view is brought into it.
  for (int i = 0; i < 4; ++i) Press(Qt::Key_Up);
  for (int i = 0; i < 6; ++i) Press(Qt::Key_Plus);
  Press(Qt::Key_End);
  const QPointF end = offset[0].points.back();
  EXPECT_EQ(shown(), text(offset[0], static_cast<int>(offset[0].points.size()) - 1));
  QValueAxis* offsetX = XAxis(ChartOf(*window, kIdSaTimingOffsetChart));
  EXPECT_LT(offsetX->max() - offsetX->min(), (end.x() - offset[0].points.front().x()) / 2);
  EXPECT_LE(offsetX->min(), end.x());
  EXPECT_GE(offsetX->max(), end.x());
}

TEST_F(StreamAnalysisTimingTest, KeepsItsSplitterAndSpeaksBothLanguages) {
  QList<int> sizes;
  {
    auto window = AnalyseOnTimingTab();
    auto* split = Control<QSplitter>(*window, kIdSaSplitTiming);
    split->setSizes({300, 150, 120});
    sizes = split->sizes();
    window->close();
  }
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  auto window = AnalyseOnTimingTab();
  // In the same proportions (the Chinese texts take other heights).
  const QList<int> restored = Control<QSplitter>(*window, kIdSaSplitTiming)->sizes();
  ASSERT_EQ(restored.size(), sizes.size());
  for (int i = 0; i < sizes.size(); ++i) EXPECT_NEAR(restored[i] * 1.0 / restored[0], sizes[i] * 1.0 / sizes[0], 0.03);
  auto* tabs = Control<QTabWidget>(*window, kIdSaTabs);
  EXPECT_EQ(tabs->tabText(tabs->currentIndex()), QStringLiteral("时序"));
  EXPECT_EQ(Control<QTableWidget>(*window, kIdSaTimingStreams)->horizontalHeaderItem(StreamAnalysisTiming::kColDrift)->text(),
            QStringLiteral("漂移 (ppm)"));
  EXPECT_EQ(Control<QComboBox>(*window, kIdSaTimingProgram)->currentText(), QStringLiteral("节目 1"));
  for (int id = kStrTimingFirst; id <= kStrTimingLast; ++id)
    if (id <= kStrTimingChartTip || id >= kStrLookingForPacket) {
      EXPECT_FALSE(LoadResString(id).isEmpty()) << id;
    }
}

}  // namespace
