// Stream Analysis window benchmark (not a test): the time from opening the
// window on FILE to its complete PID table, the longest the event loop was
// held while the analysis ran, when the services first showed, and what a jump of the packet
// list to a far place costs (time, bytes read from the file). Run offscreen
// by bench/stream_analysis.sh.
//
//   bench_stream_analysis_window FILE [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QTableView>
#include <QThread>
#include <QTreeWidget>
#include <QTreeWidgetItem>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_tables.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_stream_analysis_window FILE [RUNS]\n");
    return 2;
  }
  const QString file = QString::fromLocal8Bit(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  double best = 1e30;
  for (int run = 1; run <= runs; ++run) {
    QElapsedTimer clock;
    clock.start();
    CStreamAnalysisWnd window;
    window.show();
    window.Start(file);
    auto* services = window.findChild<QTreeWidget*>(QString::number(kIdSaServices));
    double longestStallMs = 0;
    double servicesAt = -1;
    auto* tables = window.findChild<SiTablesView*>(QString::number(kIdSaTablesPage));
    // Until the analysis ended and the tables tree holds every section.
    while (!window.Finished() || (tables && !tables->UpToDate())) {
      QElapsedTimer turn;
      turn.start();
      QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
      longestStallMs = std::max(longestStallMs, static_cast<double>(turn.nsecsElapsed()) / 1e6);
      if (servicesAt < 0 && services && services->topLevelItemCount() > 0)
        servicesAt = static_cast<double>(clock.nsecsElapsed()) / 1e9;
      QThread::msleep(1);
    }
    auto* table = window.findChild<QTableView*>(QString::number(kIdSaPidTable));
    const int rows = table ? table->model()->rowCount() : 0;
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    best = std::min(best, seconds);
    std::printf("window run %d: %.3f s to the complete table (%d PIDs, %llu packets, %d display updates)\n", run,
                seconds, rows, static_cast<unsigned long long>(window.Result().packets), window.Updates());
    std::printf("window run %d: longest event-loop turn %.1f ms (target <= 100); services shown after %.3f s; "
                "tables tree complete after %.3f s (%d nodes)\n",
                run, longestStallMs, servicesAt, static_cast<double>(clock.nsecsElapsed()) / 1e9,
                tables ? static_cast<int>(tables->Tree()->findItems(QStringLiteral("*"), Qt::MatchWildcard | Qt::MatchRecursive).size()) : 0);
    if (run == runs) {
      // Jumps of the packet list across the file, each painted.
      auto* list = window.findChild<PacketListView*>(QString::number(kIdSaPacketList));
      const uint64_t packets = window.PacketFile().PacketCount();
      uint64_t worstBytes = 0;
      double worstMs = 0;
      for (int jump = 0; jump < 20 && list && packets > 0; ++jump) {
        const uint64_t target = packets / 20 * static_cast<uint64_t>(jump) + static_cast<uint64_t>(jump) * 7919 % 1000;
        const uint64_t before = window.PacketFile().BytesRead();
        QElapsedTimer jumpClock;
        jumpClock.start();
        window.ShowPacket(std::min(target, packets - 1));
        list->grab();
        worstMs = std::max(worstMs, static_cast<double>(jumpClock.nsecsElapsed()) / 1e6);
        worstBytes = std::max(worstBytes, window.PacketFile().BytesRead() - before);
      }
      std::printf("packet list: 20 jumps across %llu packets, worst %.1f ms and %llu bytes read per screen\n",
                  static_cast<unsigned long long>(packets), worstMs, static_cast<unsigned long long>(worstBytes));
    }
  }
  std::printf("window best: %.3f s\n", best);
  return 0;
}
