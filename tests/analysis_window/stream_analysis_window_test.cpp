// The Stream Analysis window driven offscreen: the PID table against an
// independent count of a sample, sorting, a continuity error from the checks
// to the packet in hex, cancel on a long file, the event loop during the
// analysis, the packet inspector's reads, search and go-to, the exports, the
// layout kept in the profile, the command of the main frame, both languages.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <unistd.h>

#include <QAbstractItemModel>
#include <QApplication>
#include <QtCharts/QChartView>
#include <QtCharts/QLineSeries>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTextBrowser>
#include <QTimer>
#include <fstream>
#include <iterator>
#include <map>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/engine/ts_file.h"
#include "app/main_frame.h"
#include "app/tollbeck_app.h"
#include "tests/analysis_window/stream_analysis_fixture.h"
#include "tests/analysis_window/timed_stream.h"  // CbrStream, kept clear of Qt's slots macro
#include "tests/support/run_cli.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"
#include "tests/ui/qt_test_support.h"

namespace {

using namespace tsbuild;

std::string SamplePath(const std::string& name) { return std::string(VANTREL_TEST_DATA_DIR) + "/streams/" + name; }

Bytes ReadFileBytes(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

// A program with PAT, PMT and one elementary stream on 0x100 whose counter
// jumps from 9 to 12 at packet kBreakPacket.
constexpr int kBreakPacket = 12;
Bytes StreamWithContinuityBreak() {
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x1000}}))
      .Section(0x1000, PmtSection(1, 0x100, {{0x02, 0x100}}));
  for (int i = 0; i < 10; ++i) stream.Packet({.pid = 0x100, .cc = i}, Bytes(20, static_cast<uint8_t>(i)));
  stream.Packet({.pid = 0x100, .cc = 12}, Bytes(20, 0xEE));
  for (int i = 13; i < 16; ++i) stream.Packet({.pid = 0x100, .cc = i}, Bytes(20, static_cast<uint8_t>(i)));
  stream.NullPackets(4);
  return stream.bytes();
}

class StreamAnalysisWindowTest : public StreamAnalysisFixture {
protected:
  // Column `column` of every row of the PID table as shown.
  static QStringList Column(const CStreamAnalysisWnd& window, int column) {
    QStringList out;
    auto* table = Control<QTableView>(window, kIdSaPidTable);
    const QAbstractItemModel* model = table->model();
    for (int row = 0; row < model->rowCount(); ++row) out << model->index(row, column).data().toString();
    return out;
  }
};

TEST_F(StreamAnalysisWindowTest, SampleFillsThePidTableWithItsPidsAndCounts) {
  const std::string path = SamplePath("mpts-3prog.ts");
  const Bytes bytes = ReadFileBytes(path);
  ASSERT_GT(bytes.size(), 188u * 100);
  std::map<int, uint64_t> expected;
  size_t at = 0;
  while (at < bytes.size() && bytes[at] != 0x47) ++at;
  for (; at + 188 <= bytes.size(); at += 188) ++expected[((bytes[at + 1] & 0x1F) << 8) | bytes[at + 2]];

  auto window = Analyse(path);
  EXPECT_FALSE(window->Result().partial);
  const QStringList pids = Column(*window, PidTableModel::kColPid);
  const QStringList hex = Column(*window, PidTableModel::kColPidHex);
  const QStringList packets = Column(*window, PidTableModel::kColPackets);
  ASSERT_EQ(static_cast<size_t>(pids.size()), expected.size());
  int row = 0;
  for (const auto& [pid, count] : expected) {
    EXPECT_EQ(pids[row].toInt(), pid);
    EXPECT_EQ(hex[row], QStringLiteral("0x%1").arg(pid, 4, 16, QLatin1Char('0')).toUpper().replace(QLatin1String("0X"), QLatin1String("0x")));
    EXPECT_EQ(packets[row].toULongLong(), count) << pid;
    ++row;
  }
  const QString summary = Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText();
  EXPECT_TRUE(summary.contains(QStringLiteral("188"))) << summary.toStdString();
  EXPECT_TRUE(summary.contains(QString::number(bytes.size()))) << summary.toStdString();
  EXPECT_TRUE(Control<QLabel>(*window, kIdSaStatus)->text().startsWith(QStringLiteral("Complete")));
  EXPECT_GE(window->Updates(), 1);
}

TEST_F(StreamAnalysisWindowTest, EveryColumnSortsAsNumbersBothWays) {
  auto window = Analyse(SamplePath("mpts-3prog.ts"));
  auto* table = Control<QTableView>(*window, kIdSaPidTable);
  ASSERT_GT(table->model()->rowCount(), 3);
  for (int column : {PidTableModel::kColPackets, PidTableModel::kColPidHex, PidTableModel::kColBitrate,
                     PidTableModel::kColShare}) {
    for (Qt::SortOrder order : {Qt::AscendingOrder, Qt::DescendingOrder}) {
      table->sortByColumn(column, order);
      std::vector<double> values;
      for (int row = 0; row < table->model()->rowCount(); ++row)
        values.push_back(table->model()->index(row, column).data(PidTableModel::kSortRole).toDouble());
      if (order == Qt::AscendingOrder) EXPECT_TRUE(std::is_sorted(values.begin(), values.end())) << column;
      else EXPECT_TRUE(std::is_sorted(values.rbegin(), values.rend())) << column;
    }
  }
  // Packets descending: the largest PID count first, by number not by text.
  table->sortByColumn(PidTableModel::kColPackets, Qt::DescendingOrder);
  const QStringList packets = Column(*window, PidTableModel::kColPackets);
  EXPECT_GE(packets.front().toULongLong(), packets.back().toULongLong());
}

TEST_F(StreamAnalysisWindowTest, ContinuityErrorOpensItsPacketInHex) {
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  auto window = Analyse(path);
  auto* checks = Control<QTableWidget>(*window, kIdSaChecks);
  const CheckRows& rows = window->CheckList();
  EXPECT_EQ(checks->item(rows.RowOf(HealthCheck::Continuity), 1)->text(), QStringLiteral("1 error(s)"));
  EXPECT_EQ(checks->item(rows.RowOf(HealthCheck::SyncLoss), 1)->text(), QStringLiteral("OK"));
  // No PCR: the checks that need the stream's clock say so.
  EXPECT_TRUE(checks->item(rows.RowOf(HealthCheck::PcrAccuracy), 1)->text().startsWith(QStringLiteral("not evaluated:")));
  // The PID with the error is marked in the table.
  auto* table = Control<QTableView>(*window, kIdSaPidTable);
  bool marked = false;
  for (int row = 0; row < table->model()->rowCount(); ++row)
    if (table->model()->index(row, PidTableModel::kColPid).data().toInt() == 0x100)
      marked = table->model()->index(row, 0).data(Qt::BackgroundRole).isValid();
  EXPECT_TRUE(marked);

  checks->selectRow(rows.RowOf(HealthCheck::Continuity));
  auto* occurrences = Control<QTableWidget>(*window, kIdSaOccurrences);
  ASSERT_EQ(occurrences->rowCount(), 1);
  EXPECT_EQ(occurrences->item(0, 1)->text(), QString::number(kBreakPacket));
  EXPECT_EQ(occurrences->item(0, 2)->text(), QString::number(kBreakPacket * 188));
  // The arrows move through the list and stay on the tab; Enter opens the packet.
  ASSERT_TRUE(Activate(*window));
  occurrences->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Home);
  EXPECT_EQ(occurrences->currentRow(), 0);
  EXPECT_EQ(Control<QTabWidget>(*window, kIdSaTabs)->currentIndex(), 0);
  Press(Qt::Key_Return);

  EXPECT_EQ(Control<QTabWidget>(*window, kIdSaTabs)->currentIndex(), 1);
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  EXPECT_EQ(list->currentRow(), kBreakPacket);
  const QString hex = Control<QPlainTextEdit>(*window, kIdSaHex)->toPlainText();
  // 47, PID 0x100, payload only with counter 12, then the payload of 0xEE.
  EXPECT_TRUE(hex.startsWith(QStringLiteral("%1  47 01 00 1C EE EE").arg(kBreakPacket * 188, 10, 16, QLatin1Char('0')).toUpper()))
      << hex.toStdString();
  const QString decoded = Control<QPlainTextEdit>(*window, kIdSaDecoded)->toPlainText();
  EXPECT_TRUE(decoded.contains(QStringLiteral("Continuity counter (continuity_counter): 12"))) << decoded.toStdString();
  EXPECT_TRUE(decoded.contains(QStringLiteral("Packet identifier (PID): 0x0100 (256)")));
}

TEST_F(StreamAnalysisWindowTest, ChartPlotsTheMuxAndTheSelectedPidAndShowsTheHoveredValue) {
  auto window = Analyse(SamplePath("mpts-3prog.ts"));
  auto* view = Control<QChartView>(*window, kIdSaChart);
  const QList<QAbstractSeries*> series = view->chart()->series();
  ASSERT_EQ(series.size(), 2);
  auto* mux = qobject_cast<QLineSeries*>(series[0]);
  auto* pid = qobject_cast<QLineSeries*>(series[1]);
  // A line of more points than the chart shows apart is drawn merged: each
  // point drawn is one of the engine's, the highest and the lowest among them.
  const std::vector<BitratePoint>& points = window->Result().bitrateSeries;
  ASSERT_GT(points.size(), 600u);
  auto drawnFromEngine = [&](const QLineSeries* line, auto engineMbits) {
    std::map<double, double> engine;
    double low = INFINITY, high = -INFINITY;
    for (size_t i = 0; i < points.size(); ++i) {
      engine[points[i].timeS] = engineMbits(i);
      low = std::min(low, engineMbits(i));
      high = std::max(high, engineMbits(i));
    }
    bool lowDrawn = false, highDrawn = false;
    for (const QPointF& p : line->points()) {
      if (!engine.count(p.x()) || engine[p.x()] != p.y()) return testing::AssertionFailure() << "not the engine's: " << p.x();
      lowDrawn = lowDrawn || p.y() == low;
      highDrawn = highDrawn || p.y() == high;
    }
    if (line->count() < 2 || line->count() > 512 || !lowDrawn || !highDrawn)
      return testing::AssertionFailure() << line->count() << " points, lowest drawn " << lowDrawn << ", highest " << highDrawn;
    return testing::AssertionSuccess();
  };
  EXPECT_TRUE(drawnFromEngine(mux, [&](size_t i) { return points[i].bitrateBps / 1e6; }));
  EXPECT_FALSE(pid->isVisible());
  // Selecting a PID adds its own line.
  auto* table = Control<QTableView>(*window, kIdSaPidTable);
  table->sortByColumn(PidTableModel::kColPackets, Qt::DescendingOrder);
  table->selectRow(1);  // the busiest PID after the null packets
  EXPECT_TRUE(pid->isVisible());
  EXPECT_TRUE(pid->name().contains(table->model()->index(1, PidTableModel::kColPidHex).data().toString()));
  const int selected = table->selectionModel()->selectedRows().front().data(PidTableModel::kPidRole).toInt();
  const std::vector<double>* pidBitrates = nullptr;
  for (const PidBitrateSeries& s : window->Result().pidSeries)
    if (s.pid == selected) pidBitrates = &s.bitrateBps;
  ASSERT_TRUE(pidBitrates && pidBitrates->size() >= points.size());
  EXPECT_TRUE(drawnFromEngine(pid, [&](size_t i) { return (*pidBitrates)[i] / 1e6; }));
  // The keys read the chart's points, as hovering does: the selected PID's
  // line, then the mux's without a selection; the values are the engine's.
  ASSERT_TRUE(Activate(*window));
  view->setFocus(Qt::TabFocusReason);
  auto* value = Control<QLabel>(*window, kIdSaChartValue);
  auto shown = [&](const QString& name, size_t i, double mbits) {
    return LoadResString(kStrChartValue).arg(name, QString::number(points[i].timeS, 'f', 3), QString::number(mbits, 'f', 3));
  };
  double lastOfPid = -1;
  for (const PidBitrateSeries& s : window->Result().pidSeries)
    if (s.pid == selected && s.bitrateBps.size() >= points.size()) lastOfPid = s.bitrateBps[points.size() - 1] / 1e6;
  Press(Qt::Key_End);
  EXPECT_EQ(value->text(), shown(pid->name(), points.size() - 1, lastOfPid));
  table->clearSelection();
  view->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Home);
  EXPECT_EQ(value->text(), shown(mux->name(), 0, points[0].bitrateBps / 1e6));
  Press(Qt::Key_Right);
  EXPECT_EQ(value->text(), shown(mux->name(), 1, points[1].bitrateBps / 1e6));
  Press(Qt::Key_Left);
  Press(Qt::Key_Left);  // stays on the first
  EXPECT_EQ(value->text(), shown(mux->name(), 0, points[0].bitrateBps / 1e6));
  Press(Qt::Key_PageDown);
  const size_t tenth = std::min<size_t>(10, points.size() - 1);
  EXPECT_EQ(value->text(), shown(mux->name(), tenth, points[tenth].bitrateBps / 1e6));
  emit mux->hovered(QPointF(1.5, 2.25), true);
  EXPECT_EQ(Control<QLabel>(*window, kIdSaChartValue)->text(), QStringLiteral("Mux bitrate at 1.500 s: 2.250 Mbit/s"));
}

TEST_F(StreamAnalysisWindowTest, PacketInspectorDecodesSectionsAndAdaptationFields) {
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x1000}}));
  const uint64_t pcr = 27000000ull * 3;
  stream.Packet({.pid = 0x100, .pusi = 1, .afc = 3, .cc = 0}, PesHeaderWithPts(0xE0, 90000), PcrAdaptation(pcr, true));
  stream.Section(0x0000, WithBrokenCrc(PatSection(1, {{1, 0x1000}})));
  const std::string path = dir_.File("decode.ts");
  ASSERT_TRUE(WriteTsFile(path, stream.bytes()));
  auto window = Analyse(path);
  auto* decoded = Control<QPlainTextEdit>(*window, kIdSaDecoded);
  window->ShowPacket(0);
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("(table_id): 0x00")));
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("CRC (CRC_32): correct"))) << decoded->toPlainText().toStdString();
  window->ShowPacket(1);
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("(PCR): %1 (3.000000 s)").arg(pcr)))
      << decoded->toPlainText().toStdString();
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("(discontinuity_indicator): 1")));
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("(PTS): 90000 (1.000000 s)")));
  window->ShowPacket(2);
  EXPECT_TRUE(decoded->toPlainText().contains(QStringLiteral("(CRC_32): wrong")));
}

TEST_F(StreamAnalysisWindowTest, SearchAndGoToFindThePackets) {
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  auto window = Analyse(path);
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  auto* field = Control<QComboBox>(*window, kIdSaSearchField);
  auto* value = Control<QLineEdit>(*window, kIdSaSearchValue);
  auto* find = Control<QPushButton>(*window, kIdSaFindNext);
  // The first packets are PAT (0) and PMT (1); PID 0x100 starts at 2.
  window->ShowPacket(0);
  field->setCurrentIndex(static_cast<int>(TsSearchField::Pid));
  value->setText(QStringLiteral("0x100"));
  find->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->currentRow() == 2; }, 10000));
  value->setText(QStringLiteral("256"));
  find->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->currentRow() == 3; }, 10000));
  field->setCurrentIndex(static_cast<int>(TsSearchField::Cc));
  value->setText(QStringLiteral("12"));
  find->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->currentRow() == kBreakPacket; }, 10000));
  value->setText(QStringLiteral("11"));  // no counter 11 anywhere
  find->click();
  ASSERT_TRUE(ProcessEventsUntil(
      [&] { return Control<QLabel>(*window, kIdSaStatus)->text() == QStringLiteral("Not found"); }, 10000));

  Control<QLineEdit>(*window, kIdSaGotoPacket)->setText(QStringLiteral("5"));
  Control<QPushButton>(*window, kIdSaGotoPacketButton)->click();
  EXPECT_EQ(list->currentRow(), 5);
  Control<QLineEdit>(*window, kIdSaGotoOffset)->setText(QString::number(7 * 188 + 100));
  Control<QPushButton>(*window, kIdSaGotoOffsetButton)->click();
  EXPECT_EQ(list->currentRow(), 7);

  // Only PID 0x100: the list shows its 14 packets.
  auto* table = Control<QTableView>(*window, kIdSaPidTable);
  for (int row = 0; row < table->model()->rowCount(); ++row)
    if (table->model()->index(row, PidTableModel::kColPid).data().toInt() == 0x100) table->selectRow(row);
  Control<QCheckBox>(*window, kIdSaOnlySelectedPid)->setChecked(true);
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->model()->rowCount() == 14; }, 10000));
  EXPECT_EQ(list->model()->index(0, 0).data().toString(), QStringLiteral("2"));
}

TEST_F(StreamAnalysisWindowTest, FramedPacketsShowWithTheirPrefixAfterAGarbageHead) {
  Bytes bytes = {0x00, 0x47, 0x12, 0x47, 0x00, 0x00, 0x01};
  Append(bytes, Reframe(StreamWithContinuityBreak(), 192, 0x47000000u));
  const std::string path = dir_.File("m2ts.ts");
  ASSERT_TRUE(WriteTsFile(path, bytes));
  auto window = Analyse(path);
  EXPECT_EQ(window->Result().packetSize, 192);
  EXPECT_EQ(window->PacketFile().FirstOffset(), 7u);
  auto* occurrences = Control<QTableWidget>(*window, kIdSaOccurrences);
  ASSERT_EQ(occurrences->rowCount(), 1);
  emit occurrences->cellClicked(0, 0);
  EXPECT_EQ(Control<PacketListView>(*window, kIdSaPacketList)->currentRow(), kBreakPacket);
  const QString hex = Control<QPlainTextEdit>(*window, kIdSaHex)->toPlainText();
  // The 4-byte prefix, then the packet; 12 lines of 16 bytes.
  EXPECT_TRUE(hex.startsWith(QStringLiteral("%1 ").arg(7 + kBreakPacket * 192, 10, 16, QLatin1Char('0')).toUpper()));
  EXPECT_EQ(hex.section(QLatin1Char('\n'), 0, 0).mid(11, 3 * 8), QStringLiteral(" 47 00 00 0C 47 01 00 1C"))
      << hex.toStdString();
  EXPECT_EQ(hex.count(QLatin1Char('\n')), 12);
  EXPECT_TRUE(Control<QPlainTextEdit>(*window, kIdSaDecoded)->toPlainText().contains(QStringLiteral("Continuity counter (continuity_counter): 12")));
}

TEST_F(StreamAnalysisWindowTest, InputThatIsNoStreamEndsWithAReasonAndAnEmptyList) {
  auto missing = Analyse(dir_.File("missing.ts"));
  EXPECT_TRUE(Control<QLabel>(*missing, kIdSaStatus)->text().startsWith(QStringLiteral("Cannot analyse the file: ")));
  EXPECT_FALSE(missing->ErrorText().isEmpty());
  missing->ShowPacket(5);  // nothing to show, nothing read
  EXPECT_EQ(Control<PacketListView>(*missing, kIdSaPacketList)->model()->rowCount(), 0);

  const std::string zeros = dir_.File("zeros.ts");
  ASSERT_TRUE(WriteTsFile(zeros, Bytes(100000, 0x00)));
  auto window = Analyse(zeros);
  EXPECT_TRUE(window->ErrorText().isEmpty());
  EXPECT_EQ(window->Result().packets, 0u);
  EXPECT_EQ(Control<QTableView>(*window, kIdSaPidTable)->model()->rowCount(), 0);
  EXPECT_EQ(Control<PacketListView>(*window, kIdSaPacketList)->model()->rowCount(), 0);
  EXPECT_TRUE(Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText().contains(QStringLiteral("unknown (no PCR)")));
}

TEST_F(StreamAnalysisWindowTest, KeysAndClicksMoveThroughThePacketList) {
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  auto window = Analyse(path);
  window->resize(900, 500);
  Control<QTabWidget>(*window, kIdSaTabs)->setCurrentIndex(1);
  QApplication::processEvents();
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  const int rows = list->model()->rowCount();
  ASSERT_EQ(rows, 20);
  auto key = [list](int code) {
    QKeyEvent press(QEvent::KeyPress, code, Qt::NoModifier);
    QApplication::sendEvent(list, &press);
  };
  key(Qt::Key_Home);
  EXPECT_EQ(list->currentRow(), 0);
  key(Qt::Key_Down);
  key(Qt::Key_Down);
  EXPECT_EQ(list->currentRow(), 2);
  key(Qt::Key_Up);
  EXPECT_EQ(list->currentRow(), 1);
  key(Qt::Key_End);
  EXPECT_EQ(list->currentRow(), rows - 1);
  key(Qt::Key_Down);  // stays on the last row
  EXPECT_EQ(list->currentRow(), rows - 1);
  key(Qt::Key_PageUp);
  EXPECT_EQ(list->currentRow(), std::max(0, rows - 1 - list->visibleRows()));
  // A click on the third row on screen (the first line is the header).
  const int rowHeight = list->fontMetrics().height() + 4;
  const QPointF at(20, rowHeight * 3 + rowHeight / 2);
  QMouseEvent click(QEvent::MouseButtonPress, at, list->viewport()->mapToGlobal(at), Qt::LeftButton, Qt::LeftButton,
                    Qt::NoModifier);
  QApplication::sendEvent(list->viewport(), &click);
  EXPECT_EQ(list->currentRow(), list->firstVisibleRow() + 2);
  EXPECT_TRUE(Control<QPlainTextEdit>(*window, kIdSaDecoded)
                  ->toPlainText()
                  .startsWith(QStringLiteral("Packet %1,").arg(list->firstVisibleRow() + 2)));
}

// A file whose first megabytes are a real stream and whose rest is a hole:
// long to read, cheap to make.
std::string MakeLongSparseFile(const TempDir& dir, off_t size) {
  const std::string path = dir.File("long.ts");
  EXPECT_TRUE(WriteTsFile(path, ReadFileBytes(SamplePath("mpts-3prog.ts"))));
  const int fd = ::open(path.c_str(), O_WRONLY | O_CLOEXEC);
  EXPECT_GE(fd, 0);
  EXPECT_EQ(::ftruncate(fd, size), 0);
  ::close(fd);
  return path;
}

TEST_F(StreamAnalysisWindowTest, LongAnalysisKeepsTheEventLoopRunningAndCancelKeepsAPartialResult) {
  const std::string path = MakeLongSparseFile(dir_, off_t{64} << 30);
  CStreamAnalysisWnd window;
  window.show();
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  window.Start(QString::fromStdString(path));
  // The display takes several results from the worker while it still reads,
  // and timers of the UI thread keep firing meanwhile.
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Updates() >= 3 && ticks >= 20; }, 60000))
      << window.Updates() << " updates, " << ticks << " ticks, finished " << window.Finished();
  ASSERT_FALSE(window.Finished());
  EXPECT_GT(window.Result().packets, 0u);
  EXPECT_GT(Control<QTableView>(window, kIdSaPidTable)->model()->rowCount(), 0);
  auto* cancel = Control<QPushButton>(window, kIdSaCancel);
  ASSERT_TRUE(cancel->isEnabled());
  cancel->click();
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 60000));
  EXPECT_TRUE(window.Result().partial);
  EXPECT_LT(window.Result().bytes, uint64_t{64} << 30);
  EXPECT_TRUE(Control<QLabel>(window, kIdSaStatus)->text().startsWith(QStringLiteral("Partial result")));
  EXPECT_TRUE(Control<QTextBrowser>(window, kIdSaSummary)->toPlainText().contains(QStringLiteral("(partial: cancelled)")));
  EXPECT_FALSE(cancel->isEnabled());
}

TEST_F(StreamAnalysisWindowTest, ScrollingThePacketListReadsOnlyWhatIsOnScreen) {
  // 64 MiB of repeated packets.
  Bytes block = ReadFileBytes(SamplePath("mpts-3prog.ts"));
  block.resize(block.size() / 188 * 188);
  const std::string path = dir_.File("big.ts");
  {
    std::ofstream out(path, std::ios::binary);
    for (size_t written = 0; written < (size_t{64} << 20); written += block.size())
      out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
  }
  auto window = Analyse(path);
  window->resize(1000, 700);
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  Control<QTabWidget>(*window, kIdSaTabs)->setCurrentIndex(1);
  QApplication::processEvents();
  const uint64_t rows = window->PacketFile().PacketCount();
  ASSERT_GT(rows, 300000u);
  for (uint64_t target : {rows / 2, rows - 1, rows / 3, uint64_t{0}}) {
    const uint64_t before = window->PacketFile().BytesRead();
    window->ShowPacket(target);
    list->grab();  // paints the rows on screen
    EXPECT_EQ(list->currentRow(), static_cast<int>(target));
    EXPECT_LT(window->PacketFile().BytesRead() - before, uint64_t{4} << 20) << target;
  }
}

TEST_F(StreamAnalysisWindowTest, ExportsTheCommandLineJsonAndThePidTableAsCsv) {
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  auto window = Analyse(path);
  const QString json = QString::fromStdString(dir_.File("out.json"));
  const QString csv = QString::fromStdString(dir_.File("out.csv"));
  ASSERT_TRUE(window->ExportJson(json));
  ASSERT_TRUE(window->ExportCsv(csv));
  const CliRun cli = RunCli({"analyze", path, "--json"});
  ASSERT_EQ(cli.exitCode, 0) << cli.err;
  const Bytes exported = ReadFileBytes(json.toStdString());
  EXPECT_EQ(std::string(exported.begin(), exported.end()), cli.out);
  const Bytes table = ReadFileBytes(csv.toStdString());
  const QStringList lines = QString::fromUtf8(reinterpret_cast<const char*>(table.data()), static_cast<int>(table.size()))
                                .split(QLatin1Char('\n'), Qt::SkipEmptyParts);
  ASSERT_EQ(lines.size(), 1 + static_cast<int>(window->Result().pids.size()));
  EXPECT_TRUE(lines[0].startsWith(QStringLiteral("pid,pid_hex,carries,packets,")));
  bool found = false;
  for (const QString& line : lines)
    if (line.startsWith(QStringLiteral("256,0x0100,"))) found = line.section(QLatin1Char(','), 6, 6) == QStringLiteral("1");
  EXPECT_TRUE(found) << "the CC error of PID 0x100 in its column";
}

TEST_F(StreamAnalysisWindowTest, SizeAndSplittersAreKeptInTheProfile) {
  QList<int> sizes;
  {
    CStreamAnalysisWnd window;
    window.show();
    window.resize(761, 533);  // within the offscreen screen of 800 x 600
    QApplication::processEvents();
    auto* split = Control<QSplitter>(window, kIdSaSplitOverview);
    split->setSizes({300, 440});
    sizes = split->sizes();
    window.close();
  }
  CStreamAnalysisWnd again;
  EXPECT_EQ(again.size(), QSize(761, 533));
  again.show();
  QApplication::processEvents();
  EXPECT_EQ(Control<QSplitter>(again, kIdSaSplitOverview)->sizes(), sizes);
}

TEST_F(StreamAnalysisWindowTest, TheCommandOpensANonModalWindowOnTheSelectedFile) {
  ResetAnalysis();
  auto app = std::make_unique<CTollbeckApp>();
  ASSERT_TRUE(app->CreateMainWindow());
  CMainFrame* frame = app->GetMainFrame();
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  strTsFileName = path;
  frame->CommandAction(kCmdStreamAnalysis)->trigger();
  auto* window = frame->findChild<CStreamAnalysisWnd*>(QString::number(kIdStreamAnalysisWindow));
  ASSERT_NE(window, nullptr);
  EXPECT_TRUE(window->isVisible());
  EXPECT_FALSE(window->isModal());
  EXPECT_EQ(QApplication::activeModalWidget(), nullptr);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window->Finished(); }, 30000));
  EXPECT_EQ(window->Result().check(HealthCheck::Continuity).count, 1u);
  app.reset();
  ResetAnalysis();
}

TEST_F(StreamAnalysisWindowTest, BothLanguagesDefineEveryNewText) {
  EXPECT_TRUE(FindResourceLanguageGaps().isEmpty()) << FindResourceLanguageGaps().join(QLatin1Char(' ')).toStdString();
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    for (int id = kStrStreamAnalysisFirst; id <= kStrStreamAnalysisLast; ++id)
      EXPECT_FALSE(LoadResString(id).isEmpty()) << id;
    for (int id = kStrStreamAnalysisBoundsFirst; id <= kStrStreamAnalysisBoundsLast; ++id)
      EXPECT_FALSE(LoadResString(id).isEmpty()) << id;
    for (int id = kStrStreamAnalysisKeysFirst; id <= kStrStreamAnalysisKeysLast; ++id)
      EXPECT_FALSE(LoadResString(id).isEmpty()) << id;
    EXPECT_FALSE(PromptTooltip(kCmdStreamAnalysis).isEmpty());
  }
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  CStreamAnalysisWnd window;
  EXPECT_EQ(Control<QPushButton>(window, kIdSaCancel)->text(), QStringLiteral("取消"));
  EXPECT_EQ(window.windowTitle(), QStringLiteral("流分析"));
  EXPECT_EQ(Control<QTableWidget>(window, kIdSaChecks)->horizontalHeaderItem(1)->text(), QStringLiteral("状态"));
  // The packet list's header fields by their Chinese names, the standard's in the tooltip.
  const QAbstractItemModel* packets = Control<PacketListView>(window, kIdSaPacketList)->model();
  EXPECT_EQ(packets->headerData(PacketListModel::kColCc, Qt::Horizontal).toString(), QStringLiteral("计数"));
  EXPECT_EQ(packets->headerData(PacketListModel::kColPusi, Qt::Horizontal, Qt::ToolTipRole).toString(),
            QStringLiteral("负载单元起始指示 (payload_unit_start_indicator)"));
}

TEST_F(StreamAnalysisWindowTest, APidThePmtNamesThatNeverCameIsNamedBesideTheVerdict) {
  // One PID never sent, then ten: eight listed and the rest counted. Over
  // 5.5 s: a shorter excerpt says nothing of a PID's absence.
  auto write = [&](const char* name, int absent) {
    std::vector<PmtStream> streams = {{0x02, healthtest::kVideoPid}};
    for (int k = 0; k < absent; ++k) streams.push_back({0x06, 0x105 + k});
    healthtest::CbrStream stream(healthtest::Slot(5.5));
    stream.PcrEvery(healthtest::kVideoPid, 0.020)
        .SectionEvery(0, healthtest::StandardPat(), 0.100)
        .SectionEvery(healthtest::kPmtPid, PmtSection(1, healthtest::kVideoPid, streams), 0.100, 0.001);
    EXPECT_TRUE(WriteTsFile(dir_.File(name), stream.Build()));
    return dir_.File(name);
  };
  const std::string one = write("one.ts", 1), ten = write("ten.ts", 10);
  const struct {
    ResLanguage language;
    const std::string& path;
    QString text;
  } expected[] = {
      {ResLanguage::English, one, QStringLiteral("Named by a PMT but never seen: 0x0105 (Program 1)")},
      {ResLanguage::SimplifiedChinese, one, QStringLiteral("PMT 列出但从未出现：0x0105 (节目 1)")},
      {ResLanguage::English, ten, QStringLiteral("0x010C (Program 1) and 2 more")},
      {ResLanguage::SimplifiedChinese, ten, QStringLiteral("0x010C (节目 1)，另有 2 个")}};
  for (const auto& e : expected) {
    ScopedResourceLanguage scoped(e.language);
    auto window = Analyse(e.path);
    EXPECT_TRUE(Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText().contains(e.text))
        << Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText().toStdString();
  }
}

TEST_F(StreamAnalysisWindowTest, ChineseShowsWhatEachPidCarriesAndEachOccurrenceInChinese) {
  const std::string path = dir_.File("cc.ts");
  ASSERT_TRUE(WriteTsFile(path, StreamWithContinuityBreak()));
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  ScopedTableTranslation translation;
  auto window = Analyse(path);
  std::map<int, QString> carries;
  const QStringList pids = Column(*window, PidTableModel::kColPid);
  const QStringList shown = Column(*window, PidTableModel::kColCarries);
  for (int row = 0; row < pids.size(); ++row) carries[pids[row].toInt()] = shown[row];
  EXPECT_EQ(carries[0x100], QStringLiteral("节目 1 的视频（stream_type 0x02）"));
  EXPECT_EQ(carries[0x1000], QStringLiteral("节目 1 的PMT（节目映射表）"));
  EXPECT_EQ(carries[0x1FFF], QStringLiteral("空包"));
  EXPECT_EQ(carries[0], QStringLiteral("PAT（节目关联表）"));
  // The checks by their names in Chinese, the standard's names in their tooltips.
  auto* checks = Control<QTableWidget>(*window, kIdSaChecks);
  EXPECT_EQ(checks->item(window->CheckList().RowOf(HealthCheck::Continuity), 0)->text(), QStringLiteral("1.4 连续计数错误"));
  EXPECT_TRUE(checks->item(window->CheckList().RowOf(HealthCheck::Continuity), 0)->toolTip().startsWith(QStringLiteral("1.4 Continuity_count_error")));

  Control<QTableWidget>(*window, kIdSaChecks)->selectRow(window->CheckList().RowOf(HealthCheck::Continuity));
  auto* occurrences = Control<QTableWidget>(*window, kIdSaOccurrences);
  ASSERT_EQ(occurrences->rowCount(), 1);
  EXPECT_EQ(occurrences->item(0, 4)->text(), QStringLiteral("1.4: PID 0x0100：continuity_counter 为 12，应为 10"));
}

}  // namespace
