// Packet scan throughput: NextPacket + MatchPacketFilter over every packet of
// a file, with a PID condition that never matches (the worst case of the
// "Searching Packets" search). Prints one line of figures per run.
//
// Usage: bench_packet_scan FILE [PID] [RUNS]   (PID default 0x1ABC, RUNS 3)
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "analysis/engine/ts_file.h"

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FILE [PID] [RUNS]\n", argv[0]);
    return 2;
  }
  int pid = argc > 2 ? static_cast<int>(std::strtol(argv[2], nullptr, 0)) : 0x1ABC;
  int runs = argc > 3 ? std::atoi(argv[3]) : 3;
  strTsFileName = argv[1];
  if (!OpenTsFile()) return 1;
  double best = 0;
  for (int run = 0; run < runs; ++run) {
    PacketFilter = PacketFilterRecord{};
    PacketFilter.pidEnable = 1;
    PacketFilter.pid = pid;
    long long matches = 0;
    auto start = std::chrono::steady_clock::now();
    if (RestartTsFile())
      while (NextPacket()) matches += MatchPacketFilter();
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    double bytes = static_cast<double>(nPacketCount.load()) * kPacketSize;
    double rate = bytes / 1e6 / seconds;
    if (rate > best) best = rate;
    std::printf("run %d: %d packets, %lld matches, %.3f s, %.1f MB/s\n", run + 1, nPacketCount.load(),
                matches, seconds, rate);
  }
  std::printf("best: %.1f MB/s\n", best);
  ResetAnalysis();
  return 0;
}
