// vantrel-analysis-screenshots: the Stream Analysis window on a real sample
// with errors put in (a lost packet, a transport error, a broken PAT CRC),
// saved as PNG: the overview and the packet inspector at the first
// continuity error; then, at 1280 x 800 in English and in Chinese, the
// window on a stream of 1,100 programs, and its Timing tab on a program whose
// audio drifts and whose PCR jumps. The language of the first two follows
// the system locale. Used by scripts/screenshots; not a test. Given a FILE,
// only each tab of the window on that file, in both languages.
//
//   vantrel-analysis-screenshots OUT_DIR [FILE]
#include <QApplication>
#include <QDir>
#include <QKeyEvent>
#include <QTabWidget>
#include <QTableView>
#include <QTableWidget>
#include <QTreeWidget>
#include <cstdio>
#include <functional>
#include <fstream>
#include <iterator>
#include <utility>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_tables.h"
#include "tests/analysis_window/many_programs_stream.h"
#include "tests/si/si_test_support.h"
#include "tests/analysis_window/timed_stream.h"
#include "tests/support/test_env.h"
#include "tests/support/ts_builder.h"
#include "tests/ui/qt_test_support.h"
#include "ui/resources.h"
#include "ui/ui_thread.h"

namespace {

void Settle(int milliseconds) { ProcessEventsUntil([] { return false; }, milliseconds); }

// The sample with faults: every 500th packet of the busiest elementary PIDs
// dropped, a transport error every 3000th packet, one PAT with a broken CRC.
tsbuild::Bytes SampleWithErrors() {
  std::ifstream in(std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts", std::ios::binary);
  const tsbuild::Bytes sample((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  tsbuild::Bytes out;
  bool patBroken = false;
  for (size_t at = 0, index = 0; at + 188 <= sample.size(); at += 188, ++index) {
    tsbuild::Bytes packet(sample.begin() + static_cast<long>(at), sample.begin() + static_cast<long>(at + 188));
    const int pid = ((packet[1] & 0x1F) << 8) | packet[2];
    if (index % 500 == 250 && pid != 0 && pid != 0x1FFF) continue;
    if (index % 3000 == 1500) packet[1] |= 0x80;
    if (!patBroken && pid == 0 && index > 1000) {
      packet[20] ^= 0xFF;
      patBroken = true;
    }
    tsbuild::Append(out, packet);
  }
  return out;
}

// Each tab of the window on `file`, in both languages, as
// stream-analysis-file-TAB-LANGUAGE.png.
int ShootEachTab(const QString& outDir, const QString& file) {
  int failures = 0;
  for (const auto& [language, suffix] : {std::pair{ResLanguage::English, "en"}, std::pair{ResLanguage::SimplifiedChinese, "zh_CN"}}) {
    SetResourceLanguage(language);
    CStreamAnalysisWnd window;
    window.resize(1280, 800);
    window.show();
    window.Start(file);
    ProcessEventsUntil([&] { return window.Finished(); }, 600000);
    auto* tabs = window.findChild<QTabWidget*>(QString::number(kIdSaTabs));
    for (int tab = 0; tab < tabs->count(); ++tab) {
      tabs->setCurrentIndex(tab);
      Settle(200);
      const QString name = QStringLiteral("%1/stream-analysis-file-%2-%3.png").arg(outDir).arg(tab).arg(QLatin1String(suffix));
      if (!window.grab().save(name)) ++failures;
    }
  }
  SetResourceLanguage(ResLanguage::English);
  return failures;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  InstallQtUiHooks();
  if (argc != 2 && argc != 3) {
    std::fprintf(stderr, "usage: vantrel-analysis-screenshots OUT_DIR [FILE]\n");
    return 2;
  }
  const QString outDir = QString::fromLocal8Bit(argv[1]);
  QDir().mkpath(outDir);
  TempDir dir;
  ScopedEnv profile("XDG_CONFIG_HOME", dir.path().c_str());
  if (argc == 3) {
    const int failures = ShootEachTab(outDir, QString::fromLocal8Bit(argv[2]));
    std::printf("vantrel-analysis-screenshots: %s%s\n", qPrintable(outDir), failures ? " (with failures)" : "");
    return failures ? 1 : 0;
  }
  const std::string path = dir.File("sample-with-errors.ts");
  if (!tsbuild::WriteTsFile(path, SampleWithErrors())) return 1;

  int failures = 0;
  CStreamAnalysisWnd window;
  window.resize(1200, 800);
  window.show();
  window.Start(QString::fromStdString(path));
  ProcessEventsUntil([&] { return window.Finished(); }, 60000);
  // The first PID with continuity errors, for the chart.
  auto* table = window.findChild<QTableView*>(QString::number(kIdSaPidTable));
  for (int row = 0; table && row < table->model()->rowCount(); ++row) {
    if (table->model()->index(row, 6).data().toInt() > 0) {
      table->selectRow(row);
      break;
    }
  }
  auto* checks = window.findChild<QTableWidget*>(QString::number(kIdSaChecks));
  if (checks) checks->selectRow(window.CheckList().RowOf(HealthCheck::Continuity));
  Settle(300);
  if (!window.grab().save(outDir + QStringLiteral("/stream-analysis.png"))) ++failures;
  auto* occurrences = window.findChild<QTableWidget*>(QString::number(kIdSaOccurrences));
  if (occurrences && occurrences->rowCount() > 0) emit occurrences->cellActivated(0, 0);
  Settle(300);
  if (!window.grab().save(outDir + QStringLiteral("/stream-analysis-packets.png"))) ++failures;
  // 1,100 programs at 1280 x 800, in both languages.
  const std::string many = dir.File("1100-programs.ts");
  if (!tsbuild::WriteTsFile(many, ManyProgramsStream(1100))) return 1;
  const struct {
    ResLanguage language;
    const char* file;
  } languages[] = {{ResLanguage::English, "/stream-analysis-1100-en.png"},
                   {ResLanguage::SimplifiedChinese, "/stream-analysis-1100-zh_CN.png"}};
  for (const auto& l : languages) {
    SetResourceLanguage(l.language);
    CStreamAnalysisWnd large;
    large.resize(1280, 800);
    large.show();
    large.Start(QString::fromStdString(many));
    ProcessEventsUntil([&] { return large.Finished(); }, 60000);
    Settle(300);
    if (!large.grab().save(outDir + QLatin1String(l.file))) ++failures;
    // The Help tab: what each check means, then Getting started.
    auto* tabs = large.findChild<QTabWidget*>(QString::number(kIdSaTabs));
    tabs->setCurrentWidget(large.findChild<QWidget*>(QString::number(kIdSaHelp)));
    Settle(100);
    if (!large.grab().save(outDir + QString::fromLatin1(l.file).replace(QLatin1String("1100"), QLatin1String("help"))))
      ++failures;
  }
  // The service information tabs in both languages: the services of the
  // three-program sample, the tables and the guide of a stream with a guide.
  const std::string guide = dir.File("guide.ts");
  {
    const Bytes bytes = MakeDvbGuideStream();
    if (!tsbuild::WriteTsFile(guide, tsbuild::Bytes(bytes.begin(), bytes.end()))) return 1;
  }
  const std::string sample = std::string(VANTREL_TEST_DATA_DIR) + "/streams/mpts-3prog.ts";
  for (const auto& l : languages) {
    SetResourceLanguage(l.language);
    const QString suffix = QString::fromLatin1(l.file).section(QLatin1Char('-'), -1);  // "en.png"
    auto shoot = [&](const std::string& file, int page, const QString& name, const std::function<void(CStreamAnalysisWnd&)>& prepare) {
      CStreamAnalysisWnd w;
      w.resize(1280, 800);
      w.show();
      w.Start(QString::fromStdString(file));
      ProcessEventsUntil([&] { return w.Finished(); }, 60000);
      w.findChild<QTabWidget*>(QString::number(kIdSaTabs))->setCurrentWidget(w.findChild<QWidget*>(QString::number(page)));
      Settle(100);
      prepare(w);
      Settle(200);
      if (!w.grab().save(outDir + QStringLiteral("/stream-analysis-") + name + QLatin1Char('-') + suffix)) ++failures;
    };
    shoot(sample, kIdSaServices, QStringLiteral("services"), [](CStreamAnalysisWnd& w) {
      auto* tree = w.findChild<QTreeWidget*>(QString::number(kIdSaServices));
      tree->expandAll();
      if (tree->topLevelItemCount() > 0 && tree->topLevelItem(0)->childCount() > 0)
        tree->setCurrentItem(tree->topLevelItem(0)->child(0));
    });
    shoot(guide, kIdSaTablesPage, QStringLiteral("tables"), [](CStreamAnalysisWnd& w) {
      auto* tree = w.findChild<QTreeWidget*>(QString::number(kIdSaTablesTree));
      // The PMT opened down to the audio stream's language descriptor.
      for (QTreeWidgetItemIterator it(tree); *it; ++it) {
        if ((*it)->data(0, SiTablesView::kLevelRole).toInt() != SiTablesView::kLevelSection) continue;
        if (!(*it)->parent()->parent()->text(0).contains(QLatin1String("0x02"))) continue;
        tree->expandItem(*it);
        for (QTreeWidgetItemIterator field(*it); *field; ++field)
          if ((*field)->text(0).startsWith(QLatin1String("[1] tag 0x0A"))) {
            tree->expandItem(*field);
            tree->setCurrentItem(*field);
            tree->scrollToItem(*field);
            break;
          }
        break;
      }
    });
    shoot(sample, kIdSaHelp, QStringLiteral("packets"), [](CStreamAnalysisWnd& w) { w.ShowPacket(40); });
    shoot(guide, kIdSaGuidePage, QStringLiteral("guide"), [](CStreamAnalysisWnd& w) {
      // The second event focused by the keys in the timeline.
      w.activateWindow();
      auto* timeline = w.findChild<QWidget*>(QString::number(kIdSaGuideTimeline));
      timeline->setFocus(Qt::TabFocusReason);
      QKeyEvent right(QEvent::KeyPress, Qt::Key_Right, Qt::NoModifier);
      QApplication::sendEvent(timeline, &right);
    });
  }
  // The Timing tab, in both languages.
  const std::string timed = dir.File("timed.ts");
  if (!tsbuild::WriteTsFile(timed, TimedStream(6.0))) return 1;
  for (const auto& l : languages) {
    SetResourceLanguage(l.language);
    CStreamAnalysisWnd window;
    window.resize(1280, 800);
    window.show();
    auto* tabs = window.findChild<QTabWidget*>(QString::number(kIdSaTabs));
    tabs->setCurrentWidget(window.findChild<QWidget*>(QString::number(kIdSaTiming)));
    window.Start(QString::fromStdString(timed));
    ProcessEventsUntil([&] { return window.Finished(); }, 60000);
    Settle(300);
    if (!window.grab().save(outDir + QString::fromLatin1(l.file).replace(QLatin1String("1100"), QLatin1String("timing"))))
      ++failures;
  }
  SetResourceLanguage(ResLanguage::English);
  std::printf("vantrel-analysis-screenshots: %s%s\n", qPrintable(outDir), failures ? " (with failures)" : "");
  return failures ? 1 : 0;
}
