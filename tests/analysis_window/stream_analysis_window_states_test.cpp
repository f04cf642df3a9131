// The Stream Analysis window as a new user meets it: sizes that stay usable
// whatever was saved, inputs that are no stream, names in any script,
// occurrences in stream order, packets numbered as the engine does after a
// resync, a named pipe that never gets a writer, the export names, the PID
// filter of the packet list, other files by recent list and drop, help.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QCheckBox>
#include <QDropEvent>
#include <QFileInfo>
#include <QLabel>
#include <QMimeData>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QScreen>
#include <QSet>
#include <QShortcut>
#include <QSplitter>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QHeaderView>
#include <QTextBrowser>
#include <QTreeWidget>
#include <QUrl>
#include <QtCharts/QChart>
#include <QtCharts/QChartView>
#include <QtCharts/QValueAxis>
#include <cmath>
#include <random>
#include <string>
#include <vector>

#include "analysis/dialogs/stream_analysis/stream_analysis_help.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_services.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_report.h"
#include "app/tollbeck_app.h"
#include "capture/capture_settings.h"
#include "device/tuner_device.h"
#include "tests/support/boxsim_process.h"
#include "platform/profile.h"
#include "tests/analysis_window/many_programs_stream.h"
#include "tests/analysis_window/stream_analysis_fixture.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"
#include "tests/ui/qt_test_support.h"

namespace {

using namespace tsbuild;

class StreamAnalysisStatesTest : public StreamAnalysisFixture {
protected:
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.File(name);
    EXPECT_TRUE(WriteTsFile(path, bytes));
    return path;
  }
};

TEST_F(StreamAnalysisStatesTest, SavedSizesAreClampedToTheScreenAndCollapsedPanesAreNotRestored) {
  WriteProfileInt("StreamAnalysis", "Width", 8000);
  WriteProfileInt("StreamAnalysis", "Height", 8000);
  for (int id : {kIdSaSplitOverview, kIdSaSplitLeft, kIdSaSplitRight, kIdSaSplitPackets, kIdSaSplitDetail})
    WriteProfileText("StreamAnalysis", "Split" + std::to_string(id), "0,0");
  const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
  {
    CStreamAnalysisWnd window;
    EXPECT_LE(window.width(), screen.width());
    EXPECT_LE(window.height(), screen.height());
    EXPECT_GE(window.width(), std::min(screen.width(), 720));
    window.show();
    Control<QTabWidget>(window, kIdSaTabs)->setCurrentIndex(1);
    QApplication::processEvents();
    for (int id : {kIdSaSplitOverview, kIdSaSplitPackets, kIdSaSplitDetail})
      for (int size : Control<QSplitter>(window, id)->sizes()) EXPECT_GT(size, 20) << id;
    Control<QTabWidget>(window, kIdSaTabs)->setCurrentIndex(0);
    window.close();
  }
  // A window closed without a visit to the Packets tab saves nothing that collapses it.
  {
    CStreamAnalysisWnd window;
    window.show();
    QApplication::processEvents();
    window.close();
  }
  CStreamAnalysisWnd again;
  again.show();
  Control<QTabWidget>(again, kIdSaTabs)->setCurrentIndex(1);
  QApplication::processEvents();
  for (int id : {kIdSaSplitPackets, kIdSaSplitDetail})
    for (int size : Control<QSplitter>(again, id)->sizes()) EXPECT_GT(size, 20) << id;
}

// Whether every row of the checks list is inside its viewport's height.
bool EveryCheckInView(QTableWidget* checks) {
  for (int row = 0; row < checks->rowCount(); ++row) {
    const QRect cell = checks->visualRect(checks->model()->index(row, 0));
    if (cell.top() < 0 || cell.bottom() > checks->viewport()->height() - 1) return false;
  }
  return true;
}

TEST_F(StreamAnalysisStatesTest, EveryCheckIsInViewAt1280x800InBothLanguages) {
  const std::string path = Write("many.ts", ManyProgramsStream(1100));
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    SCOPED_TRACE(static_cast<int>(language));
    CStreamAnalysisWnd window;
    window.resize(1280, 800);
    window.show();
    window.Start(QString::fromStdString(path));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 60000));
    QApplication::processEvents();
    auto* checks = Control<QTableWidget>(window, kIdSaChecks);
    auto* occurrences = Control<QTableWidget>(window, kIdSaOccurrences);
    EXPECT_TRUE(EveryCheckInView(checks));
    EXPECT_EQ(checks->verticalScrollBar()->maximum(), 0);
    EXPECT_LE(checks->columnWidth(0), checks->viewport()->width());  // the names in full
    // The rest stays usable: occurrences below, the chart under the PID table.
    EXPECT_GE(occurrences->viewport()->height(), 4 * occurrences->verticalHeader()->defaultSectionSize());
    EXPECT_GE(Control<QWidget>(window, kIdSaChart)->height(), 160);
    EXPECT_GE(Control<QTableView>(window, kIdSaPidTable)->viewport()->height(), 8 * Control<QTableView>(window, kIdSaPidTable)->verticalHeader()->defaultSectionSize());
    // Whatever the height, the checks take what shows them all and no
    // more, unless the occurrences would go below a few rows.
    auto* right = Control<QSplitter>(window, kIdSaSplitRight);
    for (int height = 500; height <= 1000; height += 100) {
      window.resize(1280, height);
      ProcessEventsUntil([] { return false; }, 50);
      const QList<int> sizes = right->sizes();
      const int least = occurrences->horizontalHeader()->height() + 4 * occurrences->verticalHeader()->defaultSectionSize();
      if (!EveryCheckInView(checks)) {
        EXPECT_LE(sizes[1], std::max(least + 2 * occurrences->frameWidth(), (sizes[0] + sizes[1]) / 2 + 1)) << height;
      } else {
        EXPECT_LE(checks->viewport()->height() - checks->verticalHeader()->length(), checks->verticalHeader()->defaultSectionSize() + 4)
            << height;
      }
    }
    window.resize(1280, 800);
    ProcessEventsUntil([] { return false; }, 50);
    EXPECT_TRUE(EveryCheckInView(checks));
  }
}

TEST_F(StreamAnalysisStatesTest, ALayoutSavedByAnExtremeWindowLeavesEveryPaneUsable) {
  // From a window four times the screen: a narrow pane, and the old
  // layouts (the chart with the checks, two panes on the left).
  WriteProfileInt("StreamAnalysis", "Width", 5000);
  WriteProfileInt("StreamAnalysis", "Height", 3000);
  WriteProfileText("StreamAnalysis", "Split" + std::to_string(kIdSaSplitOverview), "4900,60");
  WriteProfileText("StreamAnalysis", "Split" + std::to_string(kIdSaSplitLeft), "300,2600");
  WriteProfileText("StreamAnalysis", "Split" + std::to_string(kIdSaSplitRight), "600,1200,1100");
  WriteProfileText("StreamAnalysis", "Split" + std::to_string(kIdSaSplitGuide), "50,4900");
  WriteProfileText("StreamAnalysis", "Split" + std::to_string(kIdSaSplitTables), "4800,100");
  CStreamAnalysisWnd window;
  window.show();
  window.resize(1000, 700);
  auto* tabs = Control<QTabWidget>(window, kIdSaTabs);
  for (int page = 0; page < tabs->count(); ++page) {
    tabs->setCurrentIndex(page);
    ProcessEventsUntil([] { return false; }, 50);
  }
  tabs->setCurrentIndex(0);
  ProcessEventsUntil([] { return false; }, 50);
  for (int id : {kIdSaSplitOverview, kIdSaSplitLeft, kIdSaSplitRight, kIdSaSplitGuide, kIdSaSplitTables, kIdSaSplitPackets}) {
    const QList<int> sizes = Control<QSplitter>(window, id)->sizes();
    for (int size : sizes) EXPECT_GE(size, 140) << id;
  }
  EXPECT_EQ(Control<QSplitter>(window, kIdSaSplitLeft)->count(), 3);
  EXPECT_TRUE(EveryCheckInView(Control<QTableWidget>(window, kIdSaChecks)));
}

TEST_F(StreamAnalysisStatesTest, InputThatIsNoStreamHasNoVerdictNoGreenCheckAndNoExport) {
  std::mt19937 random(7);
  Bytes noise(200000);
  for (uint8_t& b : noise) b = static_cast<uint8_t>(random() % 0x47);  // never a sync byte
  const struct {
    const char* name;
    std::string path;
    const char* reason;
  } cases[] = {
      {"random bytes", Write("noise.ts", noise), "holds no transport stream (200000 bytes, no run of 5 sync bytes)"},
      {"empty file", Write("empty.ts", {}), "holds no transport stream (0 bytes"},
      {"missing file", dir_.File("missing.ts"), "cannot open"},
      {"folder", dir_.path(), "it is a folder"},
  };
  for (const auto& c : cases) {
    auto window = Analyse(c.path);
    const QString status = Control<QLabel>(*window, kIdSaStatus)->text();
    const QString summary = Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText();
    EXPECT_TRUE(status.contains(QLatin1String(c.reason))) << c.name << ": " << status.toStdString();
    EXPECT_TRUE(summary.contains(QStringLiteral("no verdict"))) << c.name << ": " << summary.toStdString();
    EXPECT_FALSE(summary.contains(QStringLiteral("no errors"))) << c.name;
    auto* checks = Control<QTableWidget>(*window, kIdSaChecks);
    for (int row = 0; row < checks->rowCount(); ++row) {
      if (window->CheckList().CheckAt(row) < 0) continue;  // a priority's heading
      EXPECT_NE(checks->item(row, 1)->text(), QStringLiteral("OK")) << c.name << " row " << row;
      EXPECT_NE(checks->item(row, 1)->background().color(), QColor(214, 245, 214)) << c.name;
    }
    EXPECT_FALSE(window->CanExport()) << c.name;
    EXPECT_FALSE(Control<QPushButton>(*window, kIdSaExportJson)->isEnabled()) << c.name;
    EXPECT_FALSE(Control<QPushButton>(*window, kIdSaExportCsv)->isEnabled()) << c.name;
  }
}

TEST_F(StreamAnalysisStatesTest, SkippedAndTruncatedBytesAndNonAsciiNamesShowInTheSummary) {
  // 中文频道 in UTF-8 (table 0x15); "Café €" in ISO/IEC 8859-15 (0x10 0x00 0x0F).
  Bytes chinese = {0x15};
  Append(chinese, TextBytes("中文频道"));
  const Bytes cafe = {0x10, 0x00, 0x0F, 'C', 'a', 'f', 0xE9, ' ', 0xA4};
  Bytes stream(1000, 0x00);  // garbage first
  Append(stream, ManyProgramsStream(2, {chinese, cafe}));
  stream.resize(stream.size() + 100, 0x00);  // a last packet cut 100 bytes in
  stream[stream.size() - 100] = 0x47;
  const std::string path = Write("names.ts", stream);
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    auto window = Analyse(path);
    const QString summary = Control<QTextBrowser>(*window, kIdSaSummary)->toPlainText();
    EXPECT_TRUE(summary.contains(QStringLiteral("\"中文频道\""))) << summary.toStdString();
    EXPECT_TRUE(summary.contains(QStringLiteral("\"Café €\""))) << summary.toStdString();
    EXPECT_EQ(window->Result().bytesSkipped, 1000u);
    EXPECT_EQ(window->Result().truncatedTailBytes, 100u);
    if (language == ResLanguage::English) {
      EXPECT_TRUE(summary.contains(
          QStringLiteral("%1 (1000 skipped, last packet truncated: 100 bytes)").arg(stream.size())))
          << summary.toStdString();
    }
  }
}

// Errors of three checks whose stream order differs from the checks' order:
// a transport error, then a continuity error, then a second transport error.
Bytes InterleavedErrors() {
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x1000}})).Section(0x1000, PmtSection(1, 0x100, {{0x02, 0x100}}));
  stream.Packet({.pid = 0x100, .cc = 0});
  stream.Packet({.pid = 0x100, .tei = 1, .cc = 1});
  stream.Packet({.pid = 0x100, .cc = 2});
  stream.Packet({.pid = 0x100, .cc = 6});  // continuity: expected 3
  stream.Packet({.pid = 0x100, .tei = 1, .cc = 7});
  stream.NullPackets(3);
  return stream.bytes();
}

TEST_F(StreamAnalysisStatesTest, OccurrencesComeInStreamOrderAndSortByAnyColumn) {
  auto window = Analyse(Write("interleaved.ts", InterleavedErrors()));
  auto* occurrences = Control<QTableWidget>(*window, kIdSaOccurrences);
  ASSERT_GE(occurrences->rowCount(), 3);
  auto column = [&](int c) {
    std::vector<uint64_t> values;
    for (int row = 0; row < occurrences->rowCount(); ++row) values.push_back(occurrences->item(row, c)->text().toULongLong());
    return values;
  };
  std::vector<uint64_t> offsets = column(2);
  EXPECT_TRUE(std::is_sorted(offsets.begin(), offsets.end()));
  EXPECT_TRUE(occurrences->item(0, 4)->text().startsWith(QStringLiteral("2.1:")));
  EXPECT_TRUE(occurrences->item(1, 4)->text().startsWith(QStringLiteral("1.4:")));
  occurrences->sortByColumn(1, Qt::DescendingOrder);
  const std::vector<uint64_t> packets = column(1);
  EXPECT_TRUE(std::is_sorted(packets.rbegin(), packets.rend()));
  // Sorting moves no one to the Packets tab.
  EXPECT_EQ(Control<QTabWidget>(*window, kIdSaTabs)->currentIndex(), 0);
}

TEST_F(StreamAnalysisStatesTest, PacketsAreFramedAndNumberedFromEachPlaceWhereSyncWasGained) {
  // 10 packets, 50 bytes of garbage, 10 packets: the second run starts at 1930.
  TsStreamBuilder stream;
  stream.Numbered(10).Garbage(50).Numbered(10);
  const std::string path = Write("resync.ts", stream.bytes());
  TsPacketFile file;
  ASSERT_TRUE(file.Open(path, 188));
  file.SetSyncSegments({{0, 0}, {1930, 10}});
  EXPECT_EQ(file.PacketCount(), 20u);
  const struct {
    uint64_t offset;
    uint64_t index;
  } table[] = {{0, 0}, {187, 0}, {1879, 9}, {1900, 10}, {1930, 10}, {1930 + 188 * 3 + 5, 13}, {99999, 19}};
  for (const auto& row : table) EXPECT_EQ(file.IndexAt(row.offset), row.index) << row.offset;
  EXPECT_EQ(file.OffsetOf(10), 1930u);
  uint8_t packet[188];
  for (uint64_t index : {0u, 9u, 10u, 19u}) {
    ASSERT_TRUE(file.ReadPacket(index, packet));
    EXPECT_EQ(packet[0], 0x47) << index;
    EXPECT_EQ(PacketIndex(packet), static_cast<int>(index)) << index;
  }
  // Segments that cannot come from this file are not used.
  file.SetSyncSegments({{0, 0}, {100, 10}});
  EXPECT_EQ(file.OffsetOf(10), 1880u);
}

TEST_F(StreamAnalysisStatesTest, TheInspectorNumbersPacketsAsTheEngineAfterAResync) {
  TsStreamBuilder stream;
  stream.Numbered(10).Garbage(50).Numbered(10);
  auto window = Analyse(Write("resync.ts", stream.bytes()));
  if (window->Result().syncSegments.empty()) GTEST_SKIP() << "the engine gives no sync segments";
  for (const SyncSegment& s : window->Result().syncSegments)
    EXPECT_EQ(window->PacketFile().OffsetOf(s.firstPacket), s.byteOffset);
  for (const HealthCheckResult& check : window->Result().checks)
    for (const HealthOccurrence& o : check.first)
      if (o.byteOffset >= window->PacketFile().FirstOffset()) {
        EXPECT_EQ(window->PacketFile().IndexAt(o.byteOffset), o.packetIndex) << o.byteOffset;
      }
}

// Opens the pipe's write end once a reader has it open; once only.
bool OpenWriter(const std::string& fifo, int& writer) {
  writer = writer >= 0 ? writer : ::open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  return writer >= 0;
}

TEST_F(StreamAnalysisStatesTest, ANamedPipeWithoutWriterCancelsAndCloses) {
  const std::string fifo = dir_.File("pipe.ts");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  {
    CStreamAnalysisWnd window;
    window.show();
    window.Start(QString::fromStdString(fifo));
    ProcessEventsUntil([] { return false; }, 300);
    EXPECT_FALSE(window.Finished());
    EXPECT_TRUE(Control<QLabel>(window, kIdSaStatus)->text().startsWith(QStringLiteral("Waiting for data")));
    EXPECT_EQ(Control<QProgressBar>(window, kIdSaProgress)->maximum(), 0);  // a busy bar
    Control<QPushButton>(window, kIdSaCancel)->click();
    EXPECT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 5000));
  }
  // A writer that stays silent: closing the window still ends the reading.
  int writer = -1;
  {
    auto window = std::make_unique<CStreamAnalysisWnd>();
    window->show();
    window->Start(QString::fromStdString(fifo));
    ASSERT_TRUE(ProcessEventsUntil([&] { return OpenWriter(fifo, writer); }, 5000));
    window->close();
    window.reset();  // joins the worker
  }
  // With data: analysed to the writer's end.
  ::close(writer);
  writer = -1;
  CStreamAnalysisWnd window;
  window.show();
  window.Start(QString::fromStdString(fifo));
  ASSERT_TRUE(ProcessEventsUntil([&] { return OpenWriter(fifo, writer); }, 5000));
  const Bytes bytes = InterleavedErrors();
  ASSERT_EQ(::write(writer, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  ::close(writer);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 10000))
      << Control<QLabel>(window, kIdSaStatus)->text().toStdString() << " " << window.Result().packets;
  EXPECT_EQ(window.Result().packets, bytes.size() / 188);
  EXPECT_FALSE(window.Result().partial);
}

// A thousand programs scroll inside the summary instead of growing the
// window, which stays where the user scrolled as its values change (here
// while a pipe pauses between two writes).
TEST_F(StreamAnalysisStatesTest, AThousandProgramsScrollInsideTheSummaryInsteadOfGrowingTheWindow) {
  const std::string fifo = dir_.File("many.ts");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  const Bytes programs = ManyProgramsStream(1100);
  CStreamAnalysisWnd window;
  window.resize(760, 560);
  window.show();
  window.Start(QString::fromStdString(fifo));
  int writer = -1;
  ASSERT_TRUE(ProcessEventsUntil([&] { return OpenWriter(fifo, writer); }, 5000));
  auto* summary = Control<QTextBrowser>(window, kIdSaSummary);
  auto send = [&] {
    ::fcntl(writer, F_SETFL, 0);  // blocking: all of it
    ASSERT_EQ(::write(writer, programs.data(), programs.size()), static_cast<ssize_t>(programs.size()));
  };
  send();
  ASSERT_TRUE(ProcessEventsUntil([&] { return summary->toPlainText().contains(QStringLiteral("\"Service 1100\"")); }, 10000))
      << summary->toPlainText().left(600).toStdString();
  QScrollBar* bar = summary->verticalScrollBar();
  bar->setValue(bar->maximum() / 2);
  const int scrolled = bar->value();
  ASSERT_GT(scrolled, 0);
  const QString before = summary->toPlainText();
  send();
  ::close(writer);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 10000));
  QApplication::processEvents();
  EXPECT_NE(summary->toPlainText(), before);  // the packet count moved on
  EXPECT_EQ(bar->value(), scrolled);
  EXPECT_EQ(window.Result().programs.size(), 1100u);
  EXPECT_EQ(window.size(), QSize(760, 560));
}

TEST_F(StreamAnalysisStatesTest, AFileIsNeverShownAsAnInputOfUnknownLength) {
  // Also before the worker has opened it and learnt its length.
  const std::string path = Write("errors.ts", InterleavedErrors());
  for (int run = 0; run < 20; ++run) {
    CStreamAnalysisWnd window;
    window.show();
    auto* progress = Control<QProgressBar>(window, kIdSaProgress);
    window.Start(QString::fromStdString(path));
    bool busy = progress->maximum() == 0;
    ASSERT_TRUE(ProcessEventsUntil([&] {
      busy = busy || progress->maximum() == 0;
      return window.Finished();
    }, 10000));
    EXPECT_FALSE(busy) << run;
    EXPECT_EQ(progress->value(), progress->maximum());
  }
}

TEST_F(StreamAnalysisStatesTest, ExportProposesTheFilesNameAndAddsTheExtension) {
  auto window = Analyse(Write("capture.2026.ts", InterleavedErrors()));
  EXPECT_EQ(window->ProposedExportPath(QStringLiteral("json")), QString::fromStdString(dir_.File("capture.2026.json")));
  const struct {
    const char* chosen;
    const char* expected;
  } table[] = {{"/t/a", "/t/a.csv"}, {"/t/a.csv", "/t/a.csv"}, {"/t/a.CSV", "/t/a.CSV"}, {"/t/a.json", "/t/a.json.csv"}};
  for (const auto& row : table)
    EXPECT_EQ(CStreamAnalysisWnd::WithExtension(QLatin1String(row.chosen), QStringLiteral("csv")), QLatin1String(row.expected));
  EXPECT_TRUE(window->CanExport());
  EXPECT_TRUE(Control<QPushButton>(*window, kIdSaExportJson)->isEnabled());
}

TEST_F(StreamAnalysisStatesTest, OnlyTheSelectedPidFollowsThePacketList) {
  auto window = Analyse(Write("interleaved.ts", InterleavedErrors()));
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  auto* only = Control<QCheckBox>(*window, kIdSaOnlySelectedPid);
  // Nothing selected anywhere: the box says what to do and stays unticked.
  Control<QTabWidget>(*window, kIdSaTabs)->setCurrentIndex(1);
  only->setChecked(true);
  EXPECT_FALSE(only->isChecked());
  EXPECT_EQ(Control<QLabel>(*window, kIdSaStatus)->text(), LoadResString(kStrSelectPacketFirst));
  // Packet 4 (PID 0x100) in the inspector: its PID's packets, packet 4 still shown.
  window->ShowPacket(4);
  only->setChecked(true);
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->model()->rowCount() == 5; }, 10000));
  ASSERT_TRUE(ProcessEventsUntil([&] { return list->currentRow() >= 0; }, 10000));
  EXPECT_EQ(list->model()->index(list->currentRow(), 0).data().toString(), QStringLiteral("4"));
  EXPECT_TRUE(Control<QPlainTextEdit>(*window, kIdSaDecoded)->toPlainText().startsWith(QStringLiteral("Packet 4,")));
  only->setChecked(false);
  EXPECT_EQ(list->model()->rowCount(), 10);
  EXPECT_EQ(list->currentRow(), 4);
}

TEST_F(StreamAnalysisStatesTest, OtherFilesComeFromTheRecentListAndFromADrop) {
  const std::string first = Write("first.ts", InterleavedErrors());
  const std::string second = Write("second.ts", ManyProgramsStream(3));
  auto window = Analyse(first);
  window->Start(QString::fromStdString(second));
  ASSERT_TRUE(ProcessEventsUntil([&] { return window->Finished(); }, 30000));
  EXPECT_EQ(window->Result().programs.size(), 3u);
  EXPECT_EQ(CStreamAnalysisWnd::RecentFiles(),
            QStringList({QString::fromStdString(second), QString::fromStdString(first)}));
  // A file dropped on the window is analysed in it.
  QMimeData mime;
  mime.setUrls({QUrl::fromLocalFile(QString::fromStdString(first))});
  QDragEnterEvent enter(QPoint(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &enter);
  EXPECT_TRUE(enter.isAccepted());
  QDropEvent drop(QPointF(10, 10), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
  QApplication::sendEvent(window.get(), &drop);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window->Finished() && window->Result().programs.size() == 1; }, 30000))
      << window->Finished() << " " << window->Result().programs.size() << " " << window->windowTitle().toStdString();
  EXPECT_TRUE(window->windowTitle().endsWith(QStringLiteral("first.ts")));
  EXPECT_EQ(CStreamAnalysisWnd::RecentFiles().front(), QString::fromStdString(first));
  // Ctrl+W and the Close button close it.
  auto* shortcut = window->findChild<QShortcut*>();
  ASSERT_NE(shortcut, nullptr);
  EXPECT_EQ(shortcut->key(), QKeySequence(Qt::CTRL | Qt::Key_W));
  emit shortcut->activated();
  EXPECT_FALSE(window->isVisible());
  window->show();
  Control<QPushButton>(*window, kIdSaClose)->click();
  EXPECT_FALSE(window->isVisible());
}

TEST_F(StreamAnalysisStatesTest, TheRecentListPutsTheFileFirstWhateverTheProfileHeld) {
  const std::string file = Write("recent.ts", InterleavedErrors());
  const std::string a = QFileInfo(QString::fromStdString(file)).absoluteFilePath().toStdString();
  const std::string b = "/b.ts", c = "/c.ts";
  struct Case {
    std::vector<std::string> stored;  // Recent1... before
    std::vector<std::string> after;  // as stored after, the rest empty
  };
  std::vector<std::string> seven;
  for (int i = 0; i < 8; ++i) seven.push_back("/" + std::to_string(i) + ".ts");
  std::vector<std::string> full = {a};
  full.insert(full.end(), seven.begin(), seven.begin() + 7);
  const Case cases[] = {
      {{}, {a}},
      {{b, c}, {a, b, c}},
      {{a, b}, {a, b}},
      {{b, a, c}, {a, b, c}},
      {{"", "", b}, {a, b}},
      {{b, b, c}, {a, b, c}},
      {seven, full},
  };
  CStreamAnalysisWnd window;
  for (const Case& k : cases) {
    for (int i = 1; i <= CStreamAnalysisWnd::kMaxRecentFiles; ++i)
      WriteProfileText("StreamAnalysis", "Recent" + std::to_string(i),
                       static_cast<size_t>(i) <= k.stored.size() ? k.stored[static_cast<size_t>(i) - 1] : std::string());
    window.Start(QString::fromStdString(file));
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 30000));
    for (int i = 1; i <= CStreamAnalysisWnd::kMaxRecentFiles; ++i)
      EXPECT_EQ(ReadProfileText("StreamAnalysis", "Recent" + std::to_string(i)),
                static_cast<size_t>(i) <= k.after.size() ? k.after[static_cast<size_t>(i) - 1] : std::string())
          << "slot " << i << " after " << k.stored.size() << " stored";
  }
}

TEST_F(StreamAnalysisStatesTest, EveryCheckExplainsItselfInBothLanguages) {
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    CStreamAnalysisWnd window;
    auto* checks = Control<QTableWidget>(window, kIdSaChecks);
    auto* help = Control<QTextBrowser>(window, kIdSaHelp);
    QSet<QString> texts;
    for (size_t i = 0; i < kHealthCheckCount; ++i) {
      const auto check = static_cast<HealthCheck>(i);
      const QString tip = checks->item(window.CheckList().RowOf(check), 0)->toolTip();
      EXPECT_TRUE(tip.startsWith(QLatin1String(GetHealthCheckInfo(check).number) + QLatin1Char(' '))) << tip.toStdString();
      EXPECT_TRUE(help->toHtml().contains(CheckHelpAnchor(check)));
      const QString title = QStringLiteral("%1 %2").arg(QLatin1String(GetHealthCheckInfo(check).number),
                                                        QLatin1String(GetHealthCheckInfo(check).name));
      EXPECT_EQ(help->toPlainText().count(title), 1) << title.toStdString();
      texts.insert(tip);
    }
    EXPECT_EQ(texts.size(), static_cast<int>(kHealthCheckCount));
    for (int id = kStrStreamAnalysisMoreFirst; id <= kStrStreamAnalysisMoreLast; ++id)
      if (id <= kStrGettingStartedPage) {
        EXPECT_FALSE(LoadResString(id).isEmpty()) << id;
      }
  }
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  EXPECT_TRUE(GettingStartedHtml().contains(QStringLiteral("入门")));
}

TEST_F(StreamAnalysisStatesTest, ChartTicksFallOnRoundValuesAndTheWindowOpensCentredOnItsParent) {
  QWidget parent;
  parent.setGeometry(50, 60, 700, 500);
  parent.show();
  auto* window = new CStreamAnalysisWnd(&parent);
  window->resize(720, 480);
  window->show();
  QApplication::processEvents();
  EXPECT_NEAR(window->frameGeometry().center().x(), parent.frameGeometry().center().x(), 2);
  EXPECT_NEAR(window->frameGeometry().center().y(), parent.frameGeometry().center().y(), 2);
  window->Start(QString::fromStdString(std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts"));
  ASSERT_TRUE(ProcessEventsUntil([&] { return window->Finished(); }, 60000));
  auto* chart = Control<QChartView>(*window, kIdSaChart)->chart();
  for (QAbstractAxis* abstract : chart->axes()) {
    auto* axis = qobject_cast<QValueAxis*>(abstract);
    ASSERT_NE(axis, nullptr);
    const double step = axis->tickInterval();
    const double mantissa = step / std::pow(10.0, std::floor(std::log10(step)));
    EXPECT_TRUE(std::abs(mantissa - 1) < 1e-9 || std::abs(mantissa - 2) < 1e-9 || std::abs(mantissa - 2.5) < 1e-9 ||
                std::abs(mantissa - 5) < 1e-9)
        << step;
    EXPECT_NEAR(std::remainder(axis->max(), step), 0, 1e-9) << axis->max();
    EXPECT_EQ(axis->min(), 0);
  }
}

TEST_F(StreamAnalysisStatesTest, AFileOnTheCommandLineIsSelected) {
  AppOptions options;
  int exitCode = -1;
  ASSERT_TRUE(ParseAppOptions({QStringLiteral("vantrel"), QStringLiteral("/data/a.ts")}, &options, &exitCode));
  EXPECT_EQ(options.file, QStringLiteral("/data/a.ts"));
  EXPECT_FALSE(ParseAppOptions({QStringLiteral("vantrel"), QStringLiteral("a.ts"), QStringLiteral("b.ts")}, &options,
                               &exitCode));
  EXPECT_EQ(exitCode, 2);
}

// A simulated terrestrial box playing the sample, opened, with a stored
// channel for the live analysis to tune.
void StartTunedBox(BoxSimProcess& box, std::vector<std::string> extra) {
  std::vector<std::string> args = {"--kind", "t", "--lock-ms", "0", "--stream",
                                   std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts"};
  args.insert(args.end(), extra.begin(), extra.end());
  ASSERT_TRUE(box.Start(args)) << box.StderrText();
  ASSERT_TRUE(OpenTunerDevice());
  nTunerModel.store(GetTunerModel());
  DttFields fields;
  fields.frequencyKHz = 474000;
  fields.bandwidthMHz = 8;
  ASSERT_TRUE(StoreDttSettings(fields));
}

TEST_F(StreamAnalysisStatesTest, LiveAnalysisOfTheSimulatedBoxShowsTheSignalStopsAndLeavesTheBoxUsable) {
  BoxSimProcess box;
  ASSERT_NO_FATAL_FAILURE(StartTunedBox(box, {}));
  {
    CStreamAnalysisWnd window;
    window.show();
    window.StartLive();
    // A poll's display work is done in turns: the status and the summary
    // follow the result within a few passes of the event loop.
    ASSERT_TRUE(ProcessEventsUntil(
        [&] {
          return window.Result().packets > 2000 && window.LiveState().signalRead.load() &&
                 Control<QLabel>(window, kIdSaStatus)->text().startsWith(QStringLiteral("Live: ")) &&
                 Control<QTextBrowser>(window, kIdSaSummary)->toPlainText().contains(QStringLiteral("locked, strength "));
        },
        30000))
        << Control<QLabel>(window, kIdSaStatus)->text().toStdString();
    auto* stop = Control<QPushButton>(window, kIdSaCancel);
    EXPECT_EQ(stop->text(), QStringLiteral("Stop"));
    stop->click();
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 10000));
    EXPECT_GT(window.Result().packets, 2000u);
    EXPECT_TRUE(window.CanExport());
    EXPECT_TRUE(window.ExportJson(QString::fromStdString(dir_.File("live.json"))));
    EXPECT_TRUE(Control<QLabel>(window, kIdSaStatus)->text().startsWith(QStringLiteral("Stopped: ")));
  }
  // The stream was stopped: the box starts another one (as a capture does).
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  EXPECT_TRUE(StartStream(&ring, &mapped));
  EXPECT_TRUE(StopStream());
  // Unplugged during the analysis: the window says so and keeps what it had.
  CStreamAnalysisWnd window;
  window.show();
  window.StartLive();
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Result().packets > 0; }, 30000));
  box.Kill();
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 30000));
  EXPECT_GT(window.Result().packets, 0u);
  EXPECT_TRUE(Control<QLabel>(window, kIdSaStatus)->text().contains(QStringLiteral("stopped answering")))
      << Control<QLabel>(window, kIdSaStatus)->text().toStdString();
  CloseTunerDevice();
  nTunerModel.store(255);
}

// The services' names as the Services tab lists them, sorted (a service
// found late comes last).
QStringList ServiceNames(const std::vector<SiService>& services) {
  QStringList names;
  for (const SiService& s : services)
    names << (s.name.empty() ? QStringLiteral("(%1)").arg(s.serviceId) : QString::fromStdString(s.name));
  names.sort();
  return names;
}

QStringList ShownServiceNames(const QWidget& window) {
  auto* tree = Control<QTreeWidget>(window, kIdSaServices);
  QStringList names;
  for (int i = 0; i < tree->topLevelItemCount(); ++i) names << tree->topLevelItem(i)->text(SiServicesView::kColName);
  names.sort();
  return names;
}

TEST_F(StreamAnalysisStatesTest, ALiveAnalysisFillsTheServiceAndTimingTabsAndKeepsThemHoweverItEnds) {
  const std::string sample = std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts";
  const SiFileOutcome read = ReadServiceInformation(sample);
  ASSERT_TRUE(read.si);
  const SiReport report(*read.si, read.health);
  const QStringList expected = ServiceNames(report.Services());
  ASSERT_EQ(expected.size(), 3);
  // How the run ends: Stop once it streams (or once the tabs filled), the
  // box unplugged once the tabs filled, or by itself.
  enum class End { Stop, Unplug, Itself };
  struct Case {
    std::vector<std::string> box;
    End end;
    bool fills;          // the tabs fill before the end
    const char* status;  // what the status line then says
  };
  const Case cases[] = {
      {{}, End::Stop, true, "Stopped: "},
      {{}, End::Unplug, true, "stopped answering"},
      {{"--fail-after-ms", "4000"}, End::Itself, true, "stopped answering"},  // every request fails from then on
      {{"--fail", "222328"}, End::Itself, false, "tuning failed"},
      {{"--hang", "22233C"}, End::Stop, false, "delivered no transport stream"},  // the stream position is never answered
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.status + (c.box.empty() ? std::string() : " " + c.box[0]));
    BoxSimProcess box;
    ASSERT_NO_FATAL_FAILURE(StartTunedBox(box, c.box));
    CStreamAnalysisWnd window;
    window.show();
    auto* timing = Control<StreamAnalysisTiming>(window, kIdSaTiming);
    Control<QTabWidget>(window, kIdSaTabs)->setCurrentWidget(timing);  // a hidden Timing tab draws nothing
    window.StartLive();
    auto filled = [&] {
      return ShownServiceNames(window) == expected && !timing->View().pcr.Empty() && !timing->View().streams.empty();
    };
    if (c.end != End::Itself) {
      ASSERT_TRUE(ProcessEventsUntil([&] { return c.fills ? filled() : window.LiveState().streaming.load(); }, 30000))
          << ShownServiceNames(window).join(QStringLiteral(", ")).toStdString();
      if (c.end == End::Stop) Control<QPushButton>(window, kIdSaCancel)->click();
      else box.Kill();
    }
    ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 60000));
    const QString status = Control<QLabel>(window, kIdSaStatus)->text();
    EXPECT_TRUE(status.contains(QString::fromUtf8(c.status))) << status.toStdString();
    EXPECT_FALSE(status.contains(QStringLiteral("file"))) << status.toStdString();  // a live stream is no file
    // What came stays, with the last of it: the final service information.
    QApplication::processEvents();
    EXPECT_EQ(filled(), c.fills) << ShownServiceNames(window).join(QStringLiteral(", ")).toStdString();
    // The Tables tree, behind the Timing tab, is built when shown.
    Control<QTabWidget>(window, kIdSaTabs)->setCurrentWidget(window.findChild<QWidget*>(QString::number(kIdSaTablesPage)));
    EXPECT_EQ(Control<QTreeWidget>(window, kIdSaTablesTree)->topLevelItemCount() > 0, c.fills);
    CloseTunerDevice();
    nTunerModel.store(255);
  }
}

TEST_F(StreamAnalysisStatesTest, ALiveStreamThatStallsIsShownAsStalled) {
  BoxSimProcess box;
  ASSERT_NO_FATAL_FAILURE(StartTunedBox(box, {"--stall-after-ms", "300"}));
  {
    CStreamAnalysisWnd window;
    window.show();
    window.StartLive();
    auto* status = Control<QLabel>(window, kIdSaStatus);
    ASSERT_TRUE(ProcessEventsUntil([&] { return status->text().startsWith(QStringLiteral("No data from the box for ")); },
                                   20000))
        << status->text().toStdString();
    window.close();
  }
  CloseTunerDevice();
  nTunerModel.store(255);
}

}  // namespace

TEST_F(StreamAnalysisStatesTest, ManyOccurrencesListTheFirstInStreamOrderAndCountTheRest) {
  // 700 continuity breaks and 40 transport errors, every one kept by the engine.
  TsStreamBuilder stream;
  stream.Section(0x0000, PatSection(1, {{1, 0x1000}})).Section(0x1000, PmtSection(1, 0x100, {{0x02, 0x100}}));
  for (int i = 0; i < 700; ++i) {
    stream.Packet({.pid = 0x100, .cc = (2 * i) % 16});
    if (i % 17 == 0) stream.Packet({.pid = 0x100, .tei = 1, .cc = (2 * i + 1) % 16});
  }
  HealthLimits limits;
  limits.maxOccurrences = 1000;
  CStreamAnalysisWnd window;
  window.show();
  window.Start(QString::fromStdString(Write("many.ts", stream.bytes())), limits);
  ASSERT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 60000));
  auto* occurrences = Control<QTableWidget>(window, kIdSaOccurrences);
  auto* more = Control<QLabel>(window, kIdSaOccurrencesMore);
  auto* checks = Control<QTableWidget>(window, kIdSaChecks);
  // The engine's occurrences of the listed checks, in stream order.
  auto engineOffsets = [&](int only) {
    std::vector<uint64_t> out;
    for (size_t i = 0; i < kHealthCheckCount; ++i)
      if ((only < 0 || static_cast<int>(i) == only) && window.Result().checks[i].evaluated)
        for (const HealthOccurrence& o : window.Result().checks[i].first) out.push_back(o.byteOffset);
    std::sort(out.begin(), out.end());
    return out;
  };
  auto shownOffsets = [&] {
    std::vector<uint64_t> out;
    for (int row = 0; row < occurrences->rowCount(); ++row) out.push_back(occurrences->item(row, 2)->text().toULongLong());
    return out;
  };
  struct Case {
    int check;  // -1: none selected
    size_t rows;
  };
  const int continuity = static_cast<int>(HealthCheck::Continuity);
  const int transport = static_cast<int>(HealthCheck::Transport);
  ASSERT_GE(window.Result().checks[static_cast<size_t>(continuity)].first.size(), 600u);
  for (const Case& c : {Case{-1, 500}, Case{continuity, 500}, Case{transport, 500}, Case{-1, 500}}) {
    SCOPED_TRACE(c.check);
    if (c.check < 0) checks->clearSelection();
    else checks->selectRow(window.CheckList().RowOf(static_cast<HealthCheck>(c.check)));
    std::vector<uint64_t> expected = engineOffsets(c.check);
    const size_t left = expected.size() - std::min(expected.size(), c.rows);
    expected.resize(std::min(expected.size(), c.rows));
    EXPECT_EQ(shownOffsets(), expected);
    EXPECT_EQ(more->isVisible(), left > 0);
    if (left > 0) {
      EXPECT_EQ(more->text(), LoadResString(kStrMoreOccurrences).arg(left));
    }
  }
}
