// Stream Analysis window benchmark (not a test): the time from opening the
// window on FILE to its complete PID table (the end of the last painting the
// analysis caused, not a fixed wait), the longest stall of its event
// loop meanwhile (a 10 ms timer's lateness), with the Overview and then with
// the Timing tab in front (until its last redraw is complete and painted),
// the longest stretch of the window thread's own CPU time between two of the
// timer's ticks (not inflated by other processes on a loaded machine), what
// each step of a display update cost, what a jump of the packet list to a
// far place costs (time, bytes read from the file), and, on a paced input,
// when the services and the Tables tree first show while the analysis runs.
// Run offscreen by bench/stream_analysis.sh.
//
//   bench_stream_analysis_window FILE [RUNS]
#include <QApplication>
#include <QElapsedTimer>
#include <QEvent>
#include <QEventLoop>
#include <QTabWidget>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "analysis/dialogs/stream_analysis/stream_analysis_ids.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_packet_view.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_timing.h"
#include "analysis/dialogs/stream_analysis/stream_analysis_window.h"
#include "ui/ui_thread.h"

namespace {

// The start of a file written into a named pipe at a steady pace by a thread
// of its own, for as long as a reader takes it.
class PacedPipe {
public:
  static constexpr uint64_t kBytes = uint64_t{512} << 20;
  static constexpr double kBytesPerS = 256e6;

  ~PacedPipe() {
    if (writer_.joinable()) writer_.join();
    if (!path_.empty()) ::unlink(path_.c_str());
    if (!dir_.empty()) ::rmdir(dir_.c_str());
  }
  bool Open(const std::string& file) {
    char dir[] = "/tmp/vantrel-bench-XXXXXX";
    if (!::mkdtemp(dir)) return false;
    dir_ = dir;
    path_ = dir_ + "/paced.ts";
    if (::mkfifo(path_.c_str(), 0600) != 0) return false;
    writer_ = std::thread([this, file] { Write(file); });
    return true;
  }
  const std::string& Path() const { return path_; }

private:
  void Write(const std::string& file) {
    const int in = ::open(file.c_str(), O_RDONLY | O_CLOEXEC);
    const int out = ::open(path_.c_str(), O_WRONLY | O_CLOEXEC);  // waits for the reader
    std::vector<char> chunk(1 << 20);
    const auto start = std::chrono::steady_clock::now();
    for (uint64_t sent = 0; in >= 0 && out >= 0 && sent < kBytes;) {
      const ssize_t got = ::read(in, chunk.data(), chunk.size());
      if (got <= 0) break;
      for (ssize_t at = 0; at < got;) {
        const ssize_t put = ::write(out, chunk.data() + at, static_cast<size_t>(got - at));
        if (put <= 0) {
          sent = kBytes;  // the reader went away
          break;
        }
        at += put;
      }
      sent += static_cast<uint64_t>(got);
      std::this_thread::sleep_until(start + std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                                std::chrono::duration<double>(static_cast<double>(sent) / kBytesPerS)));
    }
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
  }

  std::string dir_, path_;
  std::thread writer_;
};

// Calls `ended` once each paint (of any widget, or of a whole window) has
// returned: a zero timer queued as it starts fires after it.
class PaintEnds : public QObject {
public:
  explicit PaintEnds(std::function<void()> ended) : ended_(std::move(ended)) {}

protected:
  bool eventFilter(QObject*, QEvent* event) override {
    if (event->type() == QEvent::Paint || event->type() == QEvent::UpdateRequest)
      QTimer::singleShot(0, this, [this] { ended_(); });
    return false;
  }

private:
  std::function<void()> ended_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_stream_analysis_window FILE [RUNS]\n");
    return 2;
  }
  const QString file = QString::fromLocal8Bit(argv[1]);
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 3;
  // The process's CPU time (every thread, user and system): what a run cost,
  // comparable with the command line's on a loaded machine.
  auto processCpuS = [] {
    timespec now{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
  };
  double best = 1e30, bestCpu = 1e30;
  double worstStallMs = 0, worstCpuMs = 0;
  {
    // The application has shown windows before this one opens: the first
    // window of a process also loads fonts and styles, which is no part of
    // opening this one.
    CStreamAnalysisWnd warmUp;
    warmUp.resize(1260, 760);
    warmUp.show();
    for (int i = 0; i < 3; ++i) QCoreApplication::processEvents();
  }
  // Then a run with the Timing tab in front (its charts redrawn as it goes),
  // and one with the Tables tab in front on a paced input: the first
  // kPacedBytes of the file through a pipe at kPacedBytesPerS, as a slower
  // disk or a network share gives it, to see the services and tables come
  // while the analysis runs.
  for (int run = 1; run <= runs + 2; ++run) {
    const bool timingTab = run == runs + 1;
    const bool paced = run == runs + 2;
    PacedPipe pipe;
    if (paced && !pipe.Open(file.toStdString())) {
      std::fprintf(stderr, "bench_stream_analysis_window: no pipe for the paced run\n");
      break;
    }
    QElapsedTimer clock;
    clock.start();
    const double cpuStart = processCpuS();
    const int64_t windowCpuStartNs = ThreadCpuNs();
    // As the application opens it on a file: the reading begins before the
    // window is built.
    CStreamAnalysisWnd window(paced ? QString::fromStdString(pipe.Path()) : file);
    window.resize(1260, 760);
    window.show();
    if (timingTab || paced)
      window.findChild<QTabWidget*>(QString::number(kIdSaTabs))
          ->setCurrentWidget(window.findChild<QWidget*>(QString::number(paced ? kIdSaTablesPage : kIdSaTiming)));
    // What constructing and showing the window cost is told apart from what
    // followed.
    const double openSeconds = static_cast<double>(clock.nsecsElapsed()) / 1e9;
    const double openCpuSeconds = processCpuS() - cpuStart;
    const double analysisCpuStart = processCpuS();
    const int64_t analysisWindowCpuStartNs = ThreadCpuNs();
    QEventLoop loop;
    QObject::connect(&window, &CStreamAnalysisWnd::analysisFinished, &loop, &QEventLoop::quit);
    // The event loop's stalls: how late a 10 ms timer fires.
    QElapsedTimer tickClock;
    tickClock.start();
    qint64 lastTickNs = 0, longestStallNs = 0;
    int64_t lastCpuNs = ThreadCpuNs(), longestCpuNs = 0;
    // The stretches of the window thread's CPU time over 8 ms: when they came
    // (ms since the window opened, display updates so far), to tell which work they were.
    std::vector<std::array<double, 3>> bursts;
    // When the services and the Tables tree first showed something, before the end.
    auto* services = window.findChild<QTreeWidget*>(QString::number(kIdSaServices));
    auto* tables = window.findChild<QTreeWidget*>(QString::number(kIdSaTablesTree));
    double servicesShownMs = -1, tablesShownMs = -1;
    QTimer tick;
    tick.setTimerType(Qt::PreciseTimer);
    QObject::connect(&tick, &QTimer::timeout, [&] {
      const qint64 now = tickClock.nsecsElapsed();
      longestStallNs = std::max(longestStallNs, now - lastTickNs - 10'000'000);
      lastTickNs = now;
      const int64_t cpu = ThreadCpuNs();
      longestCpuNs = std::max(longestCpuNs, cpu - lastCpuNs);
      if (cpu - lastCpuNs > 8'000'000 && bursts.size() < 12)
        bursts.push_back({static_cast<double>(now) / 1e6, static_cast<double>(cpu - lastCpuNs) / 1e6,
                          static_cast<double>(window.Updates())});
      lastCpuNs = cpu;
      if (!window.Finished() && servicesShownMs < 0 && services->topLevelItemCount() > 0)
        servicesShownMs = static_cast<double>(now) / 1e6;
      if (!window.Finished() && tablesShownMs < 0 && tables->topLevelItemCount() > 0)
        tablesShownMs = static_cast<double>(now) / 1e6;
    });
    tick.start(10);
    // The Timing tab's redraws, a piece per pass of the event loop.
    auto* timing = window.findChild<StreamAnalysisTiming*>(QString::number(kIdSaTiming));
    int pieces = 0;
    QObject::connect(timing, &StreamAnalysisTiming::pieceDrawn, [&pieces] { ++pieces; });
    if (!window.Finished()) loop.exec();
    // What the end left to draw, and its painting, are part of the run.
    if (timing->Drawing()) {
      QEventLoop drawn;
      QObject::connect(timing, &StreamAnalysisTiming::drawn, &drawn, &QEventLoop::quit);
      drawn.exec();
    }
    // The run ends when the last painting it caused is done: the event loop
    // runs on for a while, and each paint notes when it ended.
    qint64 endNs = clock.nsecsElapsed();
    double endCpuS = processCpuS();
    int64_t endWindowCpuNs = ThreadCpuNs();
    PaintEnds paintEnds([&] {
      endNs = clock.nsecsElapsed();
      endCpuS = processCpuS();
      endWindowCpuNs = ThreadCpuNs();
    });
    application.installEventFilter(&paintEnds);
    QTimer::singleShot(150, &loop, &QEventLoop::quit);
    loop.exec();
    application.removeEventFilter(&paintEnds);
    tick.stop();
    auto* table = window.findChild<QTableView*>(QString::number(kIdSaPidTable));
    const int rows = table ? table->model()->rowCount() : 0;
    const double seconds = static_cast<double>(endNs) / 1e9;
    const double cpuSeconds = endCpuS - cpuStart;
    const double windowCpuSeconds = static_cast<double>(endWindowCpuNs - windowCpuStartNs) / 1e9;
    const double analysisSeconds = seconds - openSeconds;
    const double analysisCpuSeconds = endCpuS - analysisCpuStart;
    const double analysisWindowCpuSeconds = static_cast<double>(endWindowCpuNs - analysisWindowCpuStartNs) / 1e9;
    const double stallMs = static_cast<double>(longestStallNs) / 1e6;
    const double cpuMs = static_cast<double>(longestCpuNs) / 1e6;
    worstStallMs = std::max(worstStallMs, stallMs);
    worstCpuMs = std::max(worstCpuMs, cpuMs);
    if (paced) {
      std::printf("paced run (Tables tab in front; %.0f MiB through a pipe at %.0f MB/s): %.3f s, %d display updates; "
                  "before the end the services showed after %.0f ms, the Tables tree after %.0f ms; "
                  "longest event-loop stall %.1f ms, longest CPU time between ticks %.1f ms\n",
                  static_cast<double>(PacedPipe::kBytes) / (1 << 20), PacedPipe::kBytesPerS / 1e6, seconds,
                  window.Updates(), servicesShownMs, tablesShownMs, stallMs, cpuMs);
      break;
    }
    if (!timingTab) best = std::min(best, seconds), bestCpu = std::min(bestCpu, cpuSeconds);
    std::printf("window run %d%s: %.3f s (CPU %.3f s, of which the window thread %.3f s) to the complete table (%d PIDs, %llu packets, %d display updates), "
                "longest event-loop stall %.1f ms, longest CPU time between ticks %.1f ms\n",
                run, timingTab ? " (Timing tab in front)" : "", seconds, cpuSeconds, windowCpuSeconds, rows,
                static_cast<unsigned long long>(window.Result().packets), window.Updates(), stallMs, cpuMs);
    std::printf("  of which opening the window %.3f s (CPU %.3f s), what followed %.3f s (CPU %.3f s, of which the window thread %.3f s)\n",
                openSeconds, openCpuSeconds, analysisSeconds, analysisCpuSeconds, analysisWindowCpuSeconds);
    std::printf("  window-thread stretches over 8 ms (at ms, CPU ms, updates):");
    for (const auto& b : bursts) std::printf(" %.0f/%.1f/%.0f", b[0], b[1], b[2]);
    std::printf("\n");
    std::printf("  display steps (window thread CPU, longest / total ms):");
    for (int step = 0; step < CStreamAnalysisWnd::kDisplayStepCount; ++step) {
      const CStreamAnalysisWnd::StepCost& cost = window.StepCosts()[static_cast<size_t>(step)];
      std::printf("%s %s %.1f/%.0f", step ? "," : "", CStreamAnalysisWnd::StepName(static_cast<CStreamAnalysisWnd::DisplayStep>(step)),
                  static_cast<double>(cost.longestNs) / 1e6, static_cast<double>(cost.totalNs) / 1e6);
    }
    std::printf("\n");
    std::printf("  Timing tab redraw pieces: %d\n", pieces);
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
  std::printf("longest event-loop stall: %.1f ms (target <= 100 ms); longest window-thread CPU between ticks: %.1f ms\n",
              worstStallMs, worstCpuMs);
  std::printf("window best: %.3f s\n", best);
  std::printf("window best CPU: %.3f s\n", bestCpu);
  return 0;
}
