// What the Stream Analysis window's collectors add to the engine, without
// the window (not a test): the engine read over FILE as `vantrel-cli
// analyze` reads it (the service information collected, a report at the
// end), then as the window has it read (the service information published
// in snapshots while it runs, and the timing of every program collected),
// taking turns, best of RUNS. Run by bench/stream_analysis.sh.
//
//   bench_engine_observers FILE [RUNS]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>
#include <string>

#include "analysis/health/health_file.h"
#include "analysis/health/stream_observer_fanout.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_report.h"
#include "analysis/si/si_run.h"
#include "analysis/timing/timing_collector.h"

namespace {

double ProcessCpuS() {
  timespec now{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) / 1e9;
}

// As the command line: one collector, its report at the end.
void CommandLineRead(const std::string& file) {
  SiFileOutcome outcome = ReadServiceInformation(file);
  if (outcome.si) SiReport report(*outcome.si, outcome.health);
}

// As the window: snapshots every 0.1 s, the timing collected.
void WindowRead(const std::string& file) {
  auto si = std::make_shared<SiRun>(0.1);
  TimingCollector timing(HealthLimits{}.pcrDiscontinuityS);
  StreamObserverFanout observers;
  observers.Add(&timing);
  HealthFileOptions options;
  options.publishIntervalS = 0.1;
  options.prepare = [&](StreamHealth& health) {
    observers.Add(&si->Attach(health));
    health.SetObserver(&observers);
  };
  options.onBlock = [&si](uint64_t, int64_t) { si->OnBlock(); };
  HealthFileRun run;
  const HealthFileOutcome outcome = AnalyseHealthFile(file, HealthLimits{}, options, &run);
  si->Finish(outcome.result);
  for (int program : timing.Programs()) timing.Snapshot(program);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_engine_observers FILE [RUNS]\n");
    return 2;
  }
  const std::string file = argv[1];
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  double best[2] = {1e30, 1e30}, bestCpu[2] = {1e30, 1e30};
  for (int run = 0; run < runs; ++run) {
    for (int setup = 0; setup < 2; ++setup) {
      const auto start = std::chrono::steady_clock::now();
      const double cpuStart = ProcessCpuS();
      if (setup == 0) CommandLineRead(file);
      else WindowRead(file);
      best[setup] = std::min(best[setup], std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
      bestCpu[setup] = std::min(bestCpu[setup], ProcessCpuS() - cpuStart);
    }
  }
  std::printf("engine alone, best of %d: as the command line reads %.3f s (CPU %.3f s), as the window has it read "
              "%.3f s (CPU %.3f s): %+.1f %%\n",
              runs, best[0], bestCpu[0], best[1], bestCpu[1], (best[1] / best[0] - 1) * 100);
  return 0;
}
