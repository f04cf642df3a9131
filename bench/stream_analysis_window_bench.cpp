// Stream Analysis window benchmark (not a test): the time from opening the
// window on FILE to its complete PID table, the longest stall of its event
// loop meanwhile (a 10 ms timer's lateness), with the Overview and then with
// the Timing tab in front, and what a jump of the packet list to a far place
// costs (time, bytes read from the file). Run offscreen by
// bench/stream_analysis.sh.
//
//   bench_stream_analysis_window FILE [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"
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
  double worstStallMs = 0;
  // The last run has the Timing tab in front (its charts redrawn as it goes).
  for (int run = 1; run <= runs + 1; ++run) {
    const bool timingTab = run == runs + 1;
    QElapsedTimer clock;
    clock.start();
    CStreamAnalysisWnd window;
    window.resize(1260, 760);
    window.show();
    if (timingTab)
      window.findChild<QTabWidget*>(QString::number(kIdSaTabs))
          ->setCurrentWidget(window.findChild<StreamAnalysisTiming*>(QString::number(kIdSaTiming)));
    QEventLoop loop;
    QObject::connect(&window, &CStreamAnalysisWnd::analysisFinished, &loop, &QEventLoop::quit);
    // The event loop's stalls: how late a 10 ms timer fires.
    QElapsedTimer tickClock;
    tickClock.start();
    qint64 lastTickNs = 0, longestStallNs = 0;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const qint64 now = tickClock.nsecsElapsed();
      longestStallNs = std::max(longestStallNs, now - lastTickNs - 10'000'000);
      lastTickNs = now;
    });
    tick.start(10);
    window.Start(file);
    if (!window.Finished()) loop.exec();
    tick.stop();
    auto* table = window.findChild<QTableView*>(QString::number(kIdSaPidTable));
    const int rows = table ? table->model()->rowCount() : 0;
    const double seconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double stallMs = static_cast<double>(longestStallNs) / 1e6;
    worstStallMs = std::max(worstStallMs, stallMs);
    if (!timingTab) best = std::min(best, seconds);
    std::printf("window run %d%s: %.3f s to the complete table (%d PIDs, %llu packets, %d display updates), "
                "longest event-loop stall %.1f ms\n",
                run, timingTab ? " (Timing tab in front)" : "", seconds, rows,
                static_cast<unsigned long long>(window.Result().packets), window.Updates(), stallMs);
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
  std::printf("longest event-loop stall: %.1f ms (target <= 100 ms)\n", worstStallMs);
  std::printf("window best: %.3f s\n", best);
  return 0;
}
