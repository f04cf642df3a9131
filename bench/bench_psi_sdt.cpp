// In-process time of the SDT command on a fresh analysis (PAT, PMT and SDT
// stages, file opened and first block read as the command does).
// Usage: bench_psi_sdt FILE [RUNS]; prints the median in milliseconds and the
// program count.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "analysis/engine/psi.h"
#include "analysis/engine/ts_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: bench_psi_sdt FILE [RUNS]\n");
    return 2;
  }
  const int runs = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  std::vector<double> millis;
  int programs = 0;
  for (int run = 0; run < runs; ++run) {
    ResetAnalysis();
    strTsFileName = argv[1];
    const auto start = std::chrono::steady_clock::now();
    if (!OpenTsFile()) return 1;
    if (RestartTsFile()) AnalyseSdt();
    millis.push_back(
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count());
    programs = nProgramCount;
  }
  ResetAnalysis();
  std::sort(millis.begin(), millis.end());
  std::printf("%.3f ms (median of %d), %d programs\n", millis[millis.size() / 2], runs, programs);
  return 0;
}
