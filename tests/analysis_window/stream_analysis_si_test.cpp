// The Stream Analysis window's service information tabs driven offscreen:
// services, the tables tree with each field's bytes, the guide and its
// XMLTV, the checks grouped by priority with the choice of standard, and
// both languages; what they show is compared with what the engine reads
// from the same file.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QSplitter>
#include <QFile>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QRegularExpression>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTest>
#include <QScrollBar>
#include <QTextBrowser>
#include <QTextEdit>
#include <QTreeWidget>
#include <algorithm>
#include <fstream>
#include <map>
#include <set>

#include "analysis/dialogs/stream_analysis/stream_analysis_guide.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_pid_model.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_services.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_tables.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_layout.h"
#include "analysis/si/si_output.h"
#include "analysis/si/si_tables.h"
#include "tests/analysis_window/stream_analysis_fixture.h"
#include "tests/si/si_test_support.h"
#include "tests/support/run_cli.h"
#include "ui/resources.h"

namespace {

class StreamAnalysisSiTest : public StreamAnalysisFixture {
protected:
  std::string Write(const std::string& name, const Bytes& bytes) {
    const std::string path = dir_.File(name);
    std::ofstream(path, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), static_cast<long>(bytes.size()));
    return path;
  }
};

// What the engine reads from the file, as the command line reads it.
struct Engine {
  explicit Engine(const std::string& path) : read(ReadServiceInformation(path)), report(*read.si, read.health) {}
  SiFileOutcome read;
  SiReport report;
};

std::string SamplePath(const std::string& name) { return std::string(VANTREL_TEST_DATA_DIR) + "/streams/" + name; }

std::vector<QTreeWidgetItem*> AtLevel(QTreeWidget* tree, int level) {
  std::vector<QTreeWidgetItem*> out;
  for (QTreeWidgetItemIterator it(tree); *it; ++it)
    if ((*it)->data(0, SiTablesView::kLevelRole).toInt() == level) out.push_back(*it);
  return out;
}

// A DVB guide of five services, each with events back to back from 20:00
// of its own length (channel 3 has none): 60, 45, 90, -, 30 minutes; each
// event with a description of its own.
Bytes MultiChannelGuideStream() {
  constexpr int kMinutes[] = {60, 45, 90, 0, 30};
  auto bcd = [](int v) { return static_cast<uint8_t>(((v / 10) << 4) | (v % 10)); };
  Bytes sdtServices, pat = Cat({U16(0), U16(0xE010)});
  std::vector<Bytes> eits;
  for (int c = 0; c < 5; ++c) {
    const int sid = c + 1;
    const std::string name = "Kanal " + std::to_string(sid);
    pat = Cat({pat, U16(sid), U16(0xE000 | (0x100 + sid))});
    sdtServices = Cat({sdtServices, U16(sid), {0xFC},
                       Loop(Descriptor(0x48, Cat({{0x01, 3}, Text("ARD"), {static_cast<uint8_t>(name.size())}, Text(name)})))});
    Bytes events = Cat({U16(1), U16(0x2000), {0, 0x50}});
    for (int minute = 0, e = 0; kMinutes[c] > 0 && minute < 240; minute += kMinutes[c], ++e) {
      const std::string title = "Sendung " + std::to_string(sid) + "." + std::to_string(e);
      const std::string story = "Geschichte " + std::to_string(sid) + "." + std::to_string(e);
      const Bytes descriptors =
          Cat({Descriptor(0x4D, Cat({Text("deu"), {static_cast<uint8_t>(title.size())}, Text(title), {0}})),
               Descriptor(0x4E, Cat({{0x00}, Text("deu"), {0}, {static_cast<uint8_t>(story.size())}, Text(story)}))});
      events = Cat({events, U16(100 + e), DvbTime(20 + minute / 60, minute % 60, 0),
                    {bcd(kMinutes[c] / 60), bcd(kMinutes[c] % 60), 0}, Loop(descriptors)});
    }
    eits.push_back(LongSection(0x50, sid, 0, 0, 0, events));
  }
  const Bytes patSection = LongSection(0x00, 1, 0, 0, 0, pat);
  const Bytes sdt = LongSection(0x42, 1, 0, 0, 0, Cat({U16(0x2000), {0xFF}, sdtServices}));
  Bytes stream;
  int cc[0x2000] = {};
  for (int round = 0; round < 2; ++round) {
    stream = Cat({stream, Packetize(0, patSection, cc[0]), Packetize(0x11, sdt, cc[0x11])});
    for (const Bytes& eit : eits) stream = Cat({stream, Packetize(0x12, eit, cc[0x12])});
    stream = Cat({stream, Packetize(0x14, ShortSection(0x70, DvbTime(20, 30, round), false), cc[0x14]), NullPackets(10)});
  }
  return stream;
}

// The Tables tree and the guide are built once their tab is shown.
void ShowPage(QWidget& window, int page) {
  Control<QTabWidget>(window, kIdSaTabs)->setCurrentWidget(window.findChild<QWidget*>(QString::number(page)));
}

QTreeWidgetItem* ChildNamed(QTreeWidgetItem* parent, const QString& start) {
  for (int i = 0; parent && i < parent->childCount(); ++i)
    if (parent->child(i)->text(0).startsWith(start)) return parent->child(i);
  return nullptr;
}

TEST_F(StreamAnalysisSiTest, ServicesShowWhatTheEngineReadsAndAStreamSelectsItsPid) {
  for (const std::string& path : {SamplePath("mpts-3prog.ts"), Write("dvb.ts", MakeDvbGuideStream()),
                                   Write("atsc.ts", MakeAtscGuideStream("Morning Show"))}) {
    SCOPED_TRACE(path);
    const Engine engine(path);
    auto window = Analyse(path);
    auto* services = Control<QTreeWidget>(*window, kIdSaServices);
    const std::vector<SiService>& expected = engine.report.Services();
    ASSERT_EQ(services->topLevelItemCount(), static_cast<int>(expected.size()));
    const bool atsc = engine.report.Kind() == SiKind::Atsc;
    for (size_t i = 0; i < expected.size(); ++i) {
      const SiService& s = expected[i];
      QTreeWidgetItem* row = services->topLevelItem(static_cast<int>(i));
      EXPECT_EQ(row->text(SiServicesView::kColName).toStdString(), s.name.empty() ? "(" + std::to_string(s.serviceId) + ")" : s.name);
      EXPECT_EQ(row->text(SiServicesView::kColProvider).toStdString(), s.provider);
      EXPECT_EQ(row->text(SiServicesView::kColNumber), SiServicesView::ServiceNumber(s));
      EXPECT_EQ(row->text(SiServicesView::kColType), SiServicesView::ServiceType(s.serviceType, atsc));
      ASSERT_EQ(row->childCount(), static_cast<int>(s.streams.size()));
      for (size_t k = 0; k < s.streams.size(); ++k) {
        QTreeWidgetItem* stream = row->child(static_cast<int>(k));
        EXPECT_EQ(stream->data(0, SiServicesView::kPidRole).toInt(), s.streams[k].pid);
        EXPECT_EQ(stream->text(SiServicesView::kColName), SiServicesView::StreamKind(s.streams[k].kind));
        EXPECT_EQ(stream->text(SiServicesView::kColProvider), SiServicesView::StreamFormat(s.streams[k]));
      }
    }
    // A stream chosen with the keys selects its PID in the PID table (and
    // the chart); a stream without packets has no row there to select.
    auto* pids = Control<QTableView>(*window, kIdSaPidTable);
    services->setFocus();
    for (int i = 0; i < services->topLevelItemCount(); ++i) {
      for (int k = 0; k < services->topLevelItem(i)->childCount(); ++k) {
        const int pid = expected[static_cast<size_t>(i)].streams[static_cast<size_t>(k)].pid;
        const bool hasPackets = std::any_of(engine.read.health.pids.begin(), engine.read.health.pids.end(),
                                            [pid](const PidStats& p) { return p.pid == pid && p.packets > 0; });
        pids->clearSelection();
        services->setCurrentItem(services->topLevelItem(i)->child(k));
        const QModelIndexList selected = pids->selectionModel()->selectedRows();
        ASSERT_EQ(selected.size(), hasPackets ? 1 : 0) << pid;
        if (hasPackets) {
          EXPECT_EQ(selected.front().data(PidTableModel::kPidRole).toInt(), pid);
        }
      }
    }
  }
  // The formats of the sample's streams as its README gives them.
  const Engine sample(SamplePath("mpts-3prog.ts"));
  bool h264 = false;
  for (const SiService& s : sample.report.Services())
    for (const SiStream& st : s.streams)
      if (SiServicesView::StreamFormat(st).startsWith(QStringLiteral("H.264"))) h264 = st.es.width > 0;
  EXPECT_TRUE(h264);
}

TEST_F(StreamAnalysisSiTest, TablesTreeHoldsEverySectionAndMarksTheBytesOfEachField) {
  const std::string path = Write("dvb.ts", MakeDvbGuideStream());
  const Engine engine(path);
  auto window = Analyse(path);
  ShowPage(*window, kIdSaTablesPage);
  auto* tables = window->findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
  ASSERT_TRUE(ProcessEventsUntil([&] { return tables->UpToDate(); }, 10000));
  QTreeWidget* tree = Control<QTreeWidget>(*window, kIdSaTablesTree);
  // Every kept section once, under its PID and table.
  const std::vector<QTreeWidgetItem*> sections = AtLevel(tree, SiTablesView::kLevelSection);
  ASSERT_EQ(sections.size(), engine.read.si->Sections().size());
  std::set<std::pair<int, int>> tablesSeen;
  for (const SiSection* s : engine.read.si->Sections()) tablesSeen.insert({s->pid, s->tableId});
  EXPECT_EQ(AtLevel(tree, SiTablesView::kLevelTable).size(), tablesSeen.size());
  EXPECT_EQ(AtLevel(tree, SiTablesView::kLevelPid).size(), engine.read.si->TablesPerPid().size());

  // The PMT's audio stream's ISO 639 descriptor: its node, value and bytes.
  QTreeWidgetItem* pid = nullptr;
  for (QTreeWidgetItem* item : AtLevel(tree, SiTablesView::kLevelPid))
    if (item->text(0).startsWith(QStringLiteral("PID 0x0100"))) pid = item;
  ASSERT_NE(pid, nullptr);
  QTreeWidgetItem* section = pid->child(0)->child(0)->child(0);
  ASSERT_EQ(section->data(0, SiTablesView::kLevelRole).toInt(), SiTablesView::kLevelSection);
  tree->expandItem(section);
  QTreeWidgetItem* descriptor = ChildNamed(ChildNamed(ChildNamed(ChildNamed(section, QStringLiteral("streams")), QStringLiteral("[1]")),
                                                      QStringLiteral("descriptors")),
                                           QStringLiteral("[1] tag 0x0A"));
  ASSERT_NE(descriptor, nullptr);
  QTreeWidgetItem* language = ChildNamed(ChildNamed(ChildNamed(descriptor, QStringLiteral("languages")), QStringLiteral("[0]")),
                                         QStringLiteral("language"));
  ASSERT_NE(language, nullptr);
  EXPECT_EQ(language->text(1), QStringLiteral("deu"));
  tree->setCurrentItem(language);
  // The descriptor's six bytes (0A 04 'd' 'e' 'u' 00) are the marked ones.
  const QString html = Control<QTextEdit>(*window, kIdSaTablesHex)->toHtml();
  QStringList marked;
  for (qsizetype at = html.indexOf(QStringLiteral("background-color:#ffd54f")); at >= 0;
       at = html.indexOf(QStringLiteral("background-color:#ffd54f"), at + 1)) {
    const qsizetype from = html.indexOf(QLatin1Char('>'), at) + 1;
    marked << html.mid(from, html.indexOf(QLatin1Char('<'), from) - from);
  }
  EXPECT_EQ(marked.mid(0, 6), (QStringList{"0A", "04", "64", "65", "75", "00"}));
  // The header field too: section_length's two bytes.
  QTreeWidgetItem* length = ChildNamed(section, QStringLiteral("section_length"));
  ASSERT_NE(length, nullptr);
  EXPECT_EQ(length->data(0, SiTablesView::kRangeRole).toPoint(), QPoint(1, 2));

  // Search by text finds an event title inside an EIT's descriptors.
  auto* search = Control<QLineEdit>(*window, kIdSaTablesSearch);
  search->setText(QStringLiteral("nachtmagazin"));
  Control<QPushButton>(*window, kIdSaTablesFindNext)->click();
  ASSERT_NE(tree->currentItem(), nullptr);
  EXPECT_TRUE(tree->currentItem()->text(1).contains(QStringLiteral("Nachtmagazin"))) << tree->currentItem()->text(1).toStdString();
  search->setText(QStringLiteral("no such text anywhere"));
  Control<QPushButton>(*window, kIdSaTablesFindNext)->click();
  EXPECT_EQ(Control<QLabel>(*window, kIdSaTablesStatus)->text(), QStringLiteral("Not found"));
}

TEST_F(StreamAnalysisSiTest, EachVersionIsItsOwnEntryAndOpensItsFirstPacket) {
  // PAT version 0, some null packets, then version 1.
  int cc = 0;
  const Bytes stream = Cat({Packetize(0, LongSection(0x00, 1, 0, 0, 0, Cat({U16(1), U16(0xE100)})), cc), NullPackets(20),
                            Packetize(0, LongSection(0x00, 1, 1, 0, 0, Cat({U16(2), U16(0xE200)})), cc), NullPackets(5)});
  const std::string path = Write("versions.ts", stream);
  auto window = Analyse(path);
  ShowPage(*window, kIdSaTablesPage);
  auto* tables = window->findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
  ASSERT_TRUE(ProcessEventsUntil([&] { return tables->UpToDate(); }, 10000));
  QTreeWidget* tree = Control<QTreeWidget>(*window, kIdSaTablesTree);
  const std::vector<QTreeWidgetItem*> versions = AtLevel(tree, SiTablesView::kLevelVersion);
  ASSERT_EQ(versions.size(), 2u);
  EXPECT_TRUE(versions[0]->text(0).endsWith(QStringLiteral("version 0")));
  EXPECT_TRUE(versions[1]->text(0).endsWith(QStringLiteral("version 1")));
  EXPECT_EQ(versions[0]->text(1), QStringLiteral("first at packet 0"));
  EXPECT_EQ(versions[1]->text(1), QStringLiteral("first at packet 21"));
  // Activating the second version (Enter or a double click) opens the inspector at packet 21.
  emit tree->itemActivated(versions[1], 0);
  auto* tabs = Control<QTabWidget>(*window, kIdSaTabs);
  EXPECT_EQ(tabs->currentIndex(), 1);
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  EXPECT_EQ(window->PacketFile().OffsetOf(static_cast<uint64_t>(list->currentRow())), 21u * 188u);
}

TEST_F(StreamAnalysisSiTest, TablesAndServicesAnswerTheKeys) {
  // PAT version 0, some null packets, then version 1, and a PMT.
  int cc = 0, pmtCc = 0;
  const Bytes stream = Cat({Packetize(0, LongSection(0x00, 1, 0, 0, 0, Cat({U16(1), U16(0xE100)})), cc), NullPackets(20),
                            Packetize(0, LongSection(0x00, 1, 1, 0, 0, Cat({U16(1), U16(0xE100)})), cc),
                            Packetize(0x100, Pmt(1, 0x101, {{0x1B, 0x101, {}}, {0x03, 0x102, {}}}), pmtCc), NullPackets(5)});
  // Packets of both streams, so that each has its row in the PID table.
  int videoCc = 0, audioCc = 0;
  const Bytes withStreams = Cat({stream, Packetize(0x101, Bytes(100, 0xAA), videoCc), Packetize(0x102, Bytes(100, 0xBB), audioCc)});
  const std::string path = Write("keys.ts", withStreams);
  auto window = Analyse(path);
  ShowPage(*window, kIdSaTablesPage);
  auto* tables = window->findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
  ASSERT_TRUE(ProcessEventsUntil([&] { return tables->UpToDate(); }, 10000));
  auto* tabs = Control<QTabWidget>(*window, kIdSaTabs);
  tabs->setCurrentWidget(tables);
  ASSERT_TRUE(Activate(*window));
  QTreeWidget* tree = Control<QTreeWidget>(*window, kIdSaTablesTree);
  tree->setFocus(Qt::TabFocusReason);
  // Down the tree by the arrows: PID 0, its PAT, version 0, version 1.
  Press(Qt::Key_Home);
  EXPECT_TRUE(tree->currentItem()->text(0).startsWith(QStringLiteral("PID 0x0000")));
  Press(Qt::Key_Right);
  Press(Qt::Key_Down);
  EXPECT_EQ(tree->currentItem()->data(0, SiTablesView::kLevelRole).toInt(), SiTablesView::kLevelTable);
  Press(Qt::Key_Right);
  Press(Qt::Key_Down);
  Press(Qt::Key_Down);
  ASSERT_EQ(tree->currentItem()->data(0, SiTablesView::kLevelRole).toInt(), SiTablesView::kLevelVersion);
  EXPECT_TRUE(tree->currentItem()->text(0).endsWith(QStringLiteral("version 1")));
  // Enter opens the packet inspector at the version's first packet.
  Press(Qt::Key_Return);
  EXPECT_EQ(tabs->currentIndex(), 1);
  auto* list = Control<PacketListView>(*window, kIdSaPacketList);
  EXPECT_EQ(window->PacketFile().OffsetOf(static_cast<uint64_t>(list->currentRow())), 21u * 188u);

  // Ctrl+F from the tree goes to the search; Enter and F3 find the matches in turn.
  tabs->setCurrentWidget(tables);
  tree->setFocus(Qt::TabFocusReason);
  EXPECT_EQ(Press(Qt::Key_F, Qt::ControlModifier)->objectName(), QString::number(kIdSaTablesSearch));
  QTest::keyClicks(QApplication::focusWidget(), QStringLiteral("version"));
  Press(Qt::Key_Return);
  ASSERT_NE(tree->currentItem(), nullptr);
  const QString firstMatch = tree->currentItem()->text(0);
  EXPECT_TRUE(firstMatch.contains(QStringLiteral("version"))) << firstMatch.toStdString();
  Press(Qt::Key_F3);
  EXPECT_TRUE(tree->currentItem()->text(0).contains(QStringLiteral("version")));
  EXPECT_NE(tree->currentItem()->text(0), firstMatch);

  // Services: Enter opens a service, the arrows choose a stream and select
  // its PID, Enter on it shows the PID in the overview.
  auto* services = Control<QTreeWidget>(*window, kIdSaServices);
  tabs->setCurrentWidget(services);
  services->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Home);
  ASSERT_EQ(services->topLevelItemCount(), 1);
  EXPECT_EQ(services->currentItem(), services->topLevelItem(0));
  Press(Qt::Key_Return);
  EXPECT_TRUE(services->topLevelItem(0)->isExpanded());
  Press(Qt::Key_Down);
  Press(Qt::Key_Down);
  auto* pids = Control<QTableView>(*window, kIdSaPidTable);
  ASSERT_EQ(services->currentItem(), services->topLevelItem(0)->child(1));
  const int pid = services->currentItem()->data(0, SiServicesView::kPidRole).toInt();
  EXPECT_EQ(pid, 0x102);
  ASSERT_EQ(pids->selectionModel()->selectedRows().size(), 1);
  EXPECT_EQ(pids->selectionModel()->selectedRows().front().data(PidTableModel::kPidRole).toInt(), pid);
  Press(Qt::Key_Return);
  EXPECT_EQ(tabs->currentIndex(), 0);
  EXPECT_EQ(FocusId(), QString::number(kIdSaPidTable));
  Press(Qt::Key_Return);  // and Enter on a service closes it again
  tabs->setCurrentWidget(services);
  services->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Home);
  Press(Qt::Key_Return);
  EXPECT_FALSE(services->topLevelItem(0)->isExpanded());
}

TEST_F(StreamAnalysisSiTest, EveryTabIsReachedAndLeftByTheKeys) {
  const std::string path = Write("dvb.ts", MakeDvbGuideStream());
  for (ResLanguage language : {ResLanguage::English, ResLanguage::SimplifiedChinese}) {
    ScopedResourceLanguage scoped(language);
    auto window = Analyse(path);
    window->resize(1000, 700);
    ASSERT_TRUE(Activate(*window));
    auto* tabs = Control<QTabWidget>(*window, kIdSaTabs);
    // What Tab must reach on each page, in its order.
    const std::map<int, std::vector<int>> controls = {
        {kIdSaSummary, {kIdSaSummary, kIdSaPidTable, kIdSaChart, kIdSaSiChoice, kIdSaChecks, kIdSaOccurrences}},
        {kIdSaPacketList, {kIdSaOnlySelectedPid, kIdSaSearchField, kIdSaSearchValue, kIdSaFindNext, kIdSaGotoPacket,
                           kIdSaGotoPacketButton, kIdSaGotoOffset, kIdSaGotoOffsetButton, kIdSaPacketList, kIdSaHex, kIdSaDecoded}},
        {kIdSaServices, {kIdSaServices}},
        {kIdSaTablesTree, {kIdSaTablesSearch, kIdSaTablesFindNext, kIdSaTablesTree, kIdSaTablesHex}},
        {kIdSaGuideTimeline, {kIdSaGuideChannels, kIdSaGuideTimeline, kIdSaGuideDetail, kIdSaGuideEvents, kIdSaGuideExport}},
        {kIdSaTimingProgram, {kIdSaTimingProgram}},
        {kIdSaHelp, {kIdSaHelp}}};
    std::set<int> pagesSeen;
    tabs->setCurrentIndex(0);
    tabs->tabBar()->setFocus(Qt::TabFocusReason);
    for (int page = 0; page < tabs->count(); ++page) {
      SCOPED_TRACE(page);
      EXPECT_EQ(tabs->currentIndex(), page);
      // Round the page with Tab: from the tab bar through the page's
      // controls and the window's buttons back to the tab bar.
      tabs->tabBar()->setFocus(Qt::TabFocusReason);
      std::vector<int> seen;
      for (int presses = 0; presses < 60; ++presses) {
        QWidget* now = Press(Qt::Key_Tab);
        ASSERT_NE(now, nullptr);
        if (now == tabs->tabBar()) break;
        bool ok = false;
        const int id = now->objectName().toInt(&ok);
        if (ok && (seen.empty() || seen.back() != id)) seen.push_back(id);
      }
      EXPECT_EQ(QApplication::focusWidget(), tabs->tabBar()) << "Tab stays inside the page";
      EXPECT_TRUE(std::find(seen.begin(), seen.end(), kIdSaOpen) != seen.end());
      for (const auto& [key, wanted] : controls) {
        if (std::find(seen.begin(), seen.end(), key) == seen.end()) continue;
        pagesSeen.insert(key);
        std::vector<int> inOrder;
        for (int id : seen)
          if (std::find(wanted.begin(), wanted.end(), id) != wanted.end()) inOrder.push_back(id);
        EXPECT_EQ(inOrder, wanted);
      }
      // Every text field says what it takes.
      for (QLineEdit* field : tabs->currentWidget()->findChildren<QLineEdit*>())
        if (field->isVisible() && !qobject_cast<QComboBox*>(field->parentWidget())) {
          EXPECT_FALSE(field->placeholderText().isEmpty()) << field->objectName().toStdString();
        }
      // Ctrl+PgDn from a list in the page goes on to the next tab (and
      // into it), as does Ctrl+Tab; Ctrl+PgUp and Ctrl+Shift+Tab go back.
      Press(Qt::Key_Tab);
      Press(Qt::Key_PageDown, Qt::ControlModifier);
      EXPECT_EQ(tabs->currentIndex(), (page + 1) % tabs->count());
      QWidget* focus = QApplication::focusWidget();
      ASSERT_NE(focus, nullptr);
      EXPECT_TRUE(tabs->currentWidget()->isAncestorOf(focus) || tabs->currentWidget() == focus);
      EXPECT_TRUE(focus->focusPolicy() & Qt::TabFocus) << focus->metaObject()->className();
      Press(Qt::Key_PageUp, Qt::ControlModifier);
      EXPECT_EQ(tabs->currentIndex(), page);
      Press(Qt::Key_Tab, Qt::ControlModifier);
      EXPECT_EQ(tabs->currentIndex(), (page + 1) % tabs->count());
      Press(Qt::Key_Backtab, Qt::ControlModifier | Qt::ShiftModifier);
      EXPECT_EQ(tabs->currentIndex(), page);
      Press(Qt::Key_Tab, Qt::ControlModifier);
    }
    EXPECT_EQ(pagesSeen.size(), controls.size());
    EXPECT_EQ(tabs->currentIndex(), 0);
  }
}

TEST_F(StreamAnalysisSiTest, GuideListsTheEnginesEventsAndExportsTheCommandLinesXmltv) {
  for (const std::string& path : {Write("dvb.ts", MakeDvbGuideStream()), Write("atsc.ts", MakeAtscGuideStream("Late & <Great>"))}) {
    SCOPED_TRACE(path);
    const Engine engine(path);
    const std::vector<SiGuideChannel> expected = engine.report.Guide();
    ASSERT_FALSE(expected.empty());
    auto window = Analyse(path);
    ShowPage(*window, kIdSaGuidePage);
    auto* channels = Control<QListWidget>(*window, kIdSaGuideChannels);
    ASSERT_EQ(channels->count(), static_cast<int>(expected.size()));
    auto* events = Control<QTableWidget>(*window, kIdSaGuideEvents);
    for (int c = 0; c < channels->count(); ++c) {
      channels->setCurrentRow(c);
      const std::vector<SiEvent>& list = expected[static_cast<size_t>(c)].events;
      ASSERT_EQ(events->rowCount(), static_cast<int>(list.size()));
      for (int e = 0; e < events->rowCount(); ++e) {
        const SiEvent& event = list[static_cast<size_t>(e)];
        EXPECT_EQ(events->item(e, SiGuideView::kColTitle)->text().toStdString(), event.title);
        EXPECT_EQ(events->item(e, SiGuideView::kColStart)->text().toStdString() + "Z",
                  UtcText(event.startUtc).replace(10, 1, " "));
        EXPECT_EQ(events->item(e, SiGuideView::kColDuration)->text().toDouble(), *event.durationS / 60.0);
        EXPECT_EQ(events->item(e, SiGuideView::kColGenre)->text(), SiGuideView::GenreText(event.genres));
        EXPECT_EQ(events->item(e, SiGuideView::kColRating)->text(), SiGuideView::RatingText(event.minimumAge));
        // The description on hover.
        if (!event.description.empty()) {
          EXPECT_TRUE(events->item(e, SiGuideView::kColTitle)->toolTip().contains(
              QString::fromStdString(event.description).toHtmlEscaped()));
        }
      }
    }
    // The export is the command line's document, byte for byte.
    const QString xml = QString::fromStdString(dir_.File("guide.xml"));
    ASSERT_TRUE(window->ExportXmltv(xml));
    QFile file(xml);
    ASSERT_TRUE(file.open(QIODevice::ReadOnly));
    const CliRun cli = RunCli({"epg", "--xmltv", path});
    ASSERT_EQ(cli.exitCode, 0) << cli.err;
    EXPECT_EQ(file.readAll().toStdString(), cli.out);
  }
  // The DVB events' genre and age, as the engine decoded them, in the table.
  const std::string dvb = Write("dvb2.ts", MakeDvbGuideStream());
  auto window = Analyse(dvb);
  ShowPage(*window, kIdSaGuidePage);
  auto* events = Control<QTableWidget>(*window, kIdSaGuideEvents);
  ASSERT_GT(events->rowCount(), 0);
  EXPECT_EQ(events->item(0, SiGuideView::kColGenre)->text(), QStringLiteral("News/Current affairs"));
  EXPECT_EQ(events->item(0, SiGuideView::kColRating)->text(), QStringLiteral("from 12 years"));
}

TEST_F(StreamAnalysisSiTest, TheGuideTimelineTakesEveryEventByKeysAndShowsItsDescription) {
  const std::string path = Write("guide5.ts", MultiChannelGuideStream());
  const Engine engine(path);
  const std::vector<SiGuideChannel> expected = engine.report.Guide();
  std::vector<int> withEvents;
  for (size_t c = 0; c < expected.size(); ++c)
    if (!expected[c].events.empty()) withEvents.push_back(static_cast<int>(c));
  ASSERT_EQ(withEvents.size(), 4u);
  auto window = Analyse(path);
  window->resize(1000, 700);
  ShowPage(*window, kIdSaGuidePage);
  ASSERT_TRUE(Activate(*window));
  auto* channels = Control<QListWidget>(*window, kIdSaGuideChannels);
  auto* timeline = Control<GuideTimeline>(*window, kIdSaGuideTimeline);
  auto* events = Control<QTableWidget>(*window, kIdSaGuideEvents);
  auto* detail = Control<QTextEdit>(*window, kIdSaGuideDetail);
  ASSERT_EQ(channels->count(), static_cast<int>(expected.size()));

  // Tab goes channels, timeline, description, events, export.
  channels->setFocus(Qt::TabFocusReason);
  QStringList order{FocusId()};
  for (int i = 0; i < 4; ++i) order << Press(Qt::Key_Tab)->objectName();
  EXPECT_EQ(order, (QStringList{QString::number(kIdSaGuideChannels), QString::number(kIdSaGuideTimeline),
                                QString::number(kIdSaGuideDetail), QString::number(kIdSaGuideEvents),
                                QString::number(kIdSaGuideExport)}));
  // Coming in, the keys start on the chosen channel's first event; the
  // table and the description follow the focused event.
  timeline->setFocus(Qt::TabFocusReason);
  QApplication::processEvents();
  auto check = [&](const std::string& where) {
    SCOPED_TRACE(where);
    const auto [c, e] = timeline->Focused();
    ASSERT_GE(c, 0);
    ASSERT_GE(e, 0);
    const SiEvent& event = expected[static_cast<size_t>(c)].events[static_cast<size_t>(e)];
    EXPECT_EQ(channels->currentRow(), c);
    EXPECT_EQ(events->currentRow(), e);
    EXPECT_EQ(events->item(e, SiGuideView::kColTitle)->text().toStdString(), event.title);
    EXPECT_TRUE(detail->toPlainText().contains(QString::fromStdString(event.title))) << detail->toPlainText().toStdString();
    EXPECT_TRUE(detail->toPlainText().contains(QString::fromStdString(event.description)));
    // In view in the scroll area.
    const QRect r = timeline->EventRect({c, e});
    const QPoint topLeft = timeline->mapTo(timeline->parentWidget(), r.topLeft());
    EXPECT_TRUE(timeline->parentWidget()->rect().intersects(QRect(topLeft, r.size())));
  };
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{withEvents.front(), 0}));
  check("first");
  const int first = withEvents.front();
  const int count = static_cast<int>(expected[static_cast<size_t>(first)].events.size());
  Press(Qt::Key_Right);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, 1}));
  check("right");
  Press(Qt::Key_End);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, count - 1}));
  Press(Qt::Key_Right);  // stays at the end
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, count - 1}));
  Press(Qt::Key_Home);
  Press(Qt::Key_Left);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, 0}));

  // Down and up keep to the time: each channel's event there holds the
  // start of the event the keys began on; the empty channel is passed.
  Press(Qt::Key_Right);
  Press(Qt::Key_Right);
  const int64_t time = expected[static_cast<size_t>(first)].events[2].startUtc;
  for (size_t k = 1; k < withEvents.size(); ++k) {
    Press(Qt::Key_Down);
    const auto [c, e] = timeline->Focused();
    EXPECT_EQ(c, withEvents[k]);
    const SiEvent& event = expected[static_cast<size_t>(c)].events[static_cast<size_t>(e)];
    EXPECT_LE(event.startUtc, time) << c;
    EXPECT_GT(event.startUtc + *event.durationS, time) << c;
    check("down " + std::to_string(k));
  }
  Press(Qt::Key_Down);  // the last channel: stays
  EXPECT_EQ(timeline->Focused().first, withEvents.back());
  for (size_t k = 1; k < withEvents.size(); ++k) Press(Qt::Key_Up);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, 2}));
  // A page of channels (all of them fit), and the ends of the guide.
  Press(Qt::Key_PageDown);
  EXPECT_EQ(timeline->Focused().first, withEvents.back());
  Press(Qt::Key_PageUp);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, 2}));
  Press(Qt::Key_End, Qt::ControlModifier);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{withEvents.back(), static_cast<int>(expected[static_cast<size_t>(withEvents.back())].events.size()) - 1}));
  check("ctrl+end");
  Press(Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{first, 0}));

  // The focused event is drawn in the highlight colour, the others not.
  auto highlighted = [&](GuideTimeline::EventRef ref) {
    const QRect r = timeline->EventRect(ref);
    const QColor drawn = timeline->grab().toImage().pixelColor(r.right() - 8, r.center().y());
    const QColor highlight = timeline->palette().color(QPalette::Highlight);
    return std::abs(drawn.red() - highlight.red()) <= 2 && std::abs(drawn.green() - highlight.green()) <= 2 &&
           std::abs(drawn.blue() - highlight.blue()) <= 2;
  };
  EXPECT_TRUE(highlighted({first, 0}));
  EXPECT_FALSE(highlighted({first, 1}));

  // Every event of the guide is reached by the keys alone.
  std::set<std::pair<int, int>> reached;
  for (size_t k = 0; k < withEvents.size(); ++k) {
    Press(Qt::Key_Home);
    for (int steps = 0; steps < 100; ++steps) {
      const GuideTimeline::EventRef at = timeline->Focused();
      reached.insert(at);
      if (Press(Qt::Key_Right) != timeline || timeline->Focused() == at) break;
    }
    Press(Qt::Key_Down);
  }
  size_t all = 0;
  for (const SiGuideChannel& c : expected) all += c.events.size();
  EXPECT_EQ(reached.size(), all);

  // A row of the table chosen by keys is the timeline's focused event too.
  events->setFocus(Qt::TabFocusReason);
  channels->setCurrentRow(withEvents[1]);
  events->setCurrentCell(0, 0);
  Press(Qt::Key_Down);
  EXPECT_EQ(timeline->Focused(), (GuideTimeline::EventRef{withEvents[1], 1}));
  check("table");
}

TEST_F(StreamAnalysisSiTest, ChecksAreGroupedByPriorityAndTheStandardChoiceAnalysesAgain) {
  const std::string path = Write("dvb.ts", MakeDvbGuideStream());
  auto window = Analyse(path);
  auto* checks = Control<QTableWidget>(*window, kIdSaChecks);
  const CheckRows& rows = window->CheckList();
  ASSERT_EQ(checks->rowCount(), rows.RowCount());
  // Each check below the heading of its own priority, each heading once.
  int heading = 0;
  std::set<int> headings;
  for (int row = 0; row < checks->rowCount(); ++row) {
    const int check = rows.CheckAt(row);
    if (check < 0) {
      heading = checks->item(row, 0)->text().section(QLatin1Char(' '), -1).toInt();
      EXPECT_TRUE(headings.insert(heading).second);
      EXPECT_EQ(checks->columnSpan(row, 0), 2);
      continue;
    }
    EXPECT_EQ(GetHealthCheckInfo(static_cast<HealthCheck>(check)).priority, heading) << row;
    EXPECT_TRUE(checks->item(row, 0)->text().startsWith(QLatin1String(GetHealthCheckInfo(static_cast<HealthCheck>(check)).number)));
  }
  EXPECT_TRUE(headings.count(1) && headings.count(2));
  for (size_t i = 0; i < kHealthCheckCount; ++i) EXPECT_EQ(rows.CheckAt(rows.RowOf(static_cast<HealthCheck>(i))), static_cast<int>(i));
  // The arrows go from check to check over the headings; Enter on a check
  // opens its help.
  ASSERT_TRUE(Activate(*window));
  checks->setFocus(Qt::TabFocusReason);
  Press(Qt::Key_Home, Qt::ControlModifier);
  EXPECT_EQ(checks->currentRow(), 1);  // row 0 is the first heading
  std::set<int> visited;
  for (int row = 1; row < checks->rowCount(); ++row) {
    ASSERT_GE(rows.CheckAt(checks->currentRow()), 0) << checks->currentRow();
    visited.insert(rows.CheckAt(checks->currentRow()));
    Press(Qt::Key_Down);
  }
  EXPECT_EQ(visited.size(), kHealthCheckCount);
  EXPECT_EQ(checks->currentRow(), checks->rowCount() - 1);
  auto* help = Control<QTextBrowser>(*window, kIdSaHelp);
  help->verticalScrollBar()->setValue(0);
  Press(Qt::Key_Return);
  EXPECT_EQ(Control<QTabWidget>(*window, kIdSaTabs)->currentWidget(), help);
  EXPECT_EQ(FocusId(), QString::number(kIdSaHelp));
  EXPECT_GT(help->verticalScrollBar()->value(), 0);

  // The choice analyses the file again and stays chosen.
  auto* choice = Control<QComboBox>(*window, kIdSaSiChoice);
  ASSERT_EQ(choice->count(), 4);
  EXPECT_EQ(choice->currentIndex(), static_cast<int>(SiStandard::Auto));
  const int updates = window->Updates();
  choice->setCurrentIndex(static_cast<int>(SiStandard::Atsc));
  emit choice->activated(static_cast<int>(SiStandard::Atsc));
  EXPECT_FALSE(window->Finished());
  ASSERT_TRUE(ProcessEventsUntil([&] { return window->Finished(); }, 60000));
  EXPECT_GT(window->Updates(), updates);
  EXPECT_EQ(choice->currentIndex(), static_cast<int>(SiStandard::Atsc));
  EXPECT_EQ(Control<QTreeWidget>(*window, kIdSaServices)->topLevelItemCount(), 1);
}

TEST_F(StreamAnalysisSiTest, TabsSpeakBothLanguagesAndAreReachedByKeys) {
  for (int id = kStrStreamAnalysisSiFirst; id <= kStrStreamAnalysisSiLast; ++id) {
    ScopedResourceLanguage english(ResLanguage::English);
    const QString en = LoadResString(id);
    SetResourceLanguage(ResLanguage::SimplifiedChinese);
    const QString zh = LoadResString(id);
    EXPECT_FALSE(en.isEmpty()) << id;
    EXPECT_FALSE(zh.isEmpty()) << id;
    // Placeholders survive the translation.
    for (const QString& mark : {QStringLiteral("%1"), QStringLiteral("%2"), QStringLiteral("%3")})
      EXPECT_EQ(en.contains(mark), zh.contains(mark)) << id;
  }
  ScopedResourceLanguage chinese(ResLanguage::SimplifiedChinese);
  // Every table the engine names has its name in Chinese too.
  for (int tableId = 0; tableId <= 0xFF; ++tableId) {
    const QString name = QString::fromStdString(SiTableName(0x12, tableId));
    EXPECT_NE(TranslateResourceText(name), name) << tableId;
  }
  const std::string path = Write("dvb.ts", MakeDvbGuideStream());
  auto window = Analyse(path);
  ShowPage(*window, kIdSaTablesPage);
  auto* tables = window->findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
  ASSERT_TRUE(ProcessEventsUntil([&] { return tables->UpToDate(); }, 10000));
  const std::vector<QTreeWidgetItem*> tableNodes = AtLevel(Control<QTreeWidget>(*window, kIdSaTablesTree), SiTablesView::kLevelTable);
  ASSERT_FALSE(tableNodes.empty());
  for (QTreeWidgetItem* node : tableNodes)
    EXPECT_TRUE(node->text(0).contains(QRegularExpression(QStringLiteral("[\\x{4E00}-\\x{9FFF}]")))) << node->text(0).toStdString();
  auto* tabs = Control<QTabWidget>(*window, kIdSaTabs);
  QStringList titles;
  for (int i = 0; i < tabs->count(); ++i) titles << tabs->tabText(i);
  EXPECT_TRUE(titles.contains(QStringLiteral("业务")) && titles.contains(QStringLiteral("表")) && titles.contains(QStringLiteral("节目指南")))
      << titles.join(QLatin1Char(',')).toStdString();
  auto* services = Control<QTreeWidget>(*window, kIdSaServices);
  EXPECT_EQ(services->headerItem()->text(SiServicesView::kColName), QStringLiteral("名称 / 内容"));
  ASSERT_EQ(services->topLevelItemCount(), 1);
  EXPECT_EQ(services->topLevelItem(0)->child(0)->text(SiServicesView::kColName), QStringLiteral("视频"));
  // Every list takes the keyboard focus.
  for (int id : {kIdSaServices, kIdSaTablesTree, kIdSaTablesSearch, kIdSaGuideChannels, kIdSaGuideEvents, kIdSaSiChoice})
    EXPECT_NE(window->findChild<QWidget*>(QString::number(id))->focusPolicy() & Qt::TabFocus, 0) << id;
}

TEST_F(StreamAnalysisSiTest, ServiceInformationShowsWhileTheStreamIsStillBeingRead) {
  // A named pipe whose writer stays open: the analysis cannot end until it closes.
  const std::string fifo = dir_.File("live.fifo");
  ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
  CStreamAnalysisWnd window;
  window.show();
  window.Start(QString::fromStdString(fifo));
  const int writer = ::open(fifo.c_str(), O_WRONLY);
  ASSERT_GE(writer, 0);
  const Bytes stream = MakeDvbGuideStream();
  ASSERT_EQ(::write(writer, stream.data(), stream.size()), static_cast<ssize_t>(stream.size()));
  auto* services = Control<QTreeWidget>(window, kIdSaServices);
  auto* tables = window.findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
  auto* channels = Control<QListWidget>(window, kIdSaGuideChannels);
  // The services show at once; the Tables tree and the guide, costly to
  // build, only once their tab is in front.
  EXPECT_TRUE(ProcessEventsUntil([&] { return services->topLevelItemCount() == 1; }, 20000));
  EXPECT_EQ(services->topLevelItem(0)->text(SiServicesView::kColName), QStringLiteral("Eins"));
  EXPECT_EQ(tables->Tree()->topLevelItemCount(), 0);
  EXPECT_EQ(channels->count(), 0);
  auto* tabs = Control<QTabWidget>(window, kIdSaTabs);
  tabs->setCurrentWidget(tables);
  EXPECT_TRUE(ProcessEventsUntil([&] { return tables->UpToDate() && !AtLevel(tables->Tree(), SiTablesView::kLevelSection).empty(); }, 20000));
  tabs->setCurrentWidget(window.findChild<QWidget*>(QString::number(kIdSaGuidePage)));
  EXPECT_TRUE(ProcessEventsUntil([&] { return channels->count() == 1; }, 20000));
  EXPECT_FALSE(window.Finished());
  ::close(writer);
  EXPECT_TRUE(ProcessEventsUntil([&] { return window.Finished(); }, 20000));
  EXPECT_EQ(services->topLevelItemCount(), 1);
}

TEST_F(StreamAnalysisSiTest, TheTablesAndGuideSplittersAreKept) {
  std::map<int, QList<int>> sizes;
  const std::pair<int, int> splitters[] = {{kIdSaTablesPage, kIdSaSplitTables}, {kIdSaGuidePage, kIdSaSplitGuide}};
  {
    CStreamAnalysisWnd window;
    window.show();
    window.resize(761, 533);
    for (const auto& [page, id] : splitters) {
      ShowPage(window, page);
      QApplication::processEvents();
      auto* split = Control<QSplitter>(window, id);
      split->setSizes({250, 480});
      sizes[id] = split->sizes();
    }
    window.close();
  }
  CStreamAnalysisWnd again;
  again.show();
  for (const auto& [page, id] : splitters) {
    ShowPage(again, page);
    QApplication::processEvents();
    EXPECT_EQ(Control<QSplitter>(again, id)->sizes(), sizes[id]) << id;
  }
}

}  // namespace
