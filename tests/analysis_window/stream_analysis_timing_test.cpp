// The Timing tab on a stream made with a known timing: audio drifting by a
// known ppm, the PCR jumping half a second ahead at 2 s. The drift, the
// offsets, the jump's mark and the checks' marks against the engine's
// result; zoom by wheel and keys, both charts together, reset; the position
// in stream time; the splitter kept; both languages.
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

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
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

class StreamAnalysisTimingTest : public StreamAnalysisFixture {
protected:
  // The window analysed to its end, on its Timing tab.
  std::unique_ptr<CStreamAnalysisWnd> AnalyseOnTimingTab() {
    const std::string path = dir_.File("timed.ts");
    EXPECT_TRUE(tsbuild::WriteTsFile(path, TimedStream()));
    auto window = Analyse(path);
    Control<QTabWidget>(*window, kIdSaTabs)->setCurrentWidget(Control<StreamAnalysisTiming>(*window, kIdSaTiming));
    QApplication::processEvents();
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
  } keys[] = {{Qt::Key_Plus, 1 / 1.25 / 1.25}, {Qt::Key_Minus, 1 / 1.25}, {Qt::Key_Home, 1}};
  for (const auto& k : keys) {
    QKeyEvent press(QEvent::KeyPress, k.key, Qt::NoModifier);
    QApplication::sendEvent(view, &press);
    EXPECT_NEAR((offsetX->max() - offsetX->min()) / (fullMax - fullMin), k.widthShare, 0.01) << k.key;
    EXPECT_DOUBLE_EQ(clockX->max(), offsetX->max());
  }
  // A new result keeps the user's zoom; the button shows everything again.
  QKeyEvent zoomIn(QEvent::KeyPress, Qt::Key_Plus, Qt::NoModifier);
  QApplication::sendEvent(view, &zoomIn);
  auto* timing = Control<StreamAnalysisTiming>(*window, kIdSaTiming);
  timing->Show(window->Result(), true);
  EXPECT_LT(offsetX->max() - offsetX->min(), (fullMax - fullMin) * 0.9);
  Control<QPushButton>(*window, kIdSaTimingResetZoom)->click();
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
  EXPECT_NEAR(offsetX->max(), kSeconds, 0.05);
  // (from the first PCR after the PMT, 20 ms in)
  EXPECT_NEAR(SeriesNamed<QScatterSeries>(view->chart(), LoadResString(kStrClockMarks))->at(0).x(), kJumpAtS - 0.020, 0.005);
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
