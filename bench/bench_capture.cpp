// Live capture from a running vantrel-boxsim: captures for a time, then checks
// the file against the stream the box plays and reports the CPU time the
// capture took. Driven by bench/capture.sh.
//
//   bench_capture --write-source FILE PACKETS   write a stream of distinct packets
//   bench_capture --source FILE --seconds N --out FILE [--sim-pid PID] [--poll-ms N]
// --poll-ms replaces the loop's wait between polls, to see how long a wait
// the ring's safety margin tolerates at a bitrate.
#include <sys/resource.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "tests/capture/looped_source.h"

namespace {

// Packets on PID 0x100 whose payload starts with their index, so that any
// stretch of the looped stream tells where it came from.
bool WriteSource(const std::string& path, long packets) {
  std::vector<uint8_t> bytes(static_cast<size_t>(packets) * 188, 0xFF);
  for (long i = 0; i < packets; ++i) {
    uint8_t* p = bytes.data() + i * 188;
    p[0] = 0x47;
    p[1] = 0x01;
    p[2] = 0x00;
    p[3] = static_cast<uint8_t>(0x10 | (i & 0x0F));
    for (int b = 0; b < 4; ++b) p[4 + b] = static_cast<uint8_t>(i >> (24 - 8 * b));
  }
  std::ofstream out(path, std::ios::binary);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  return usage.ru_utime.tv_sec + usage.ru_stime.tv_sec +
         (usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// utime + stime of another process, from /proc/PID/stat; -1 when unknown.
double ProcessCpuSeconds(long pid) {
  if (pid <= 0) return -1;
  std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
  std::string text((std::istreambuf_iterator<char>(stat)), std::istreambuf_iterator<char>());
  size_t close = text.rfind(')');
  if (close == std::string::npos) return -1;
  const char* fields = text.c_str() + close + 2;  // field 3 on
  unsigned long utime = 0, stime = 0;
  // Fields 14 and 15 are utime and stime; skip fields 3..13.
  if (std::sscanf(fields, "%*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %*s %lu %lu", &utime, &stime) !=
      2)
    return -1;
  return static_cast<double>(utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
}

std::string ReadWhole(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

}  // namespace

int main(int argc, char** argv) {
  std::string source, out;
  long seconds = 20, simPid = 0;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--write-source" && i + 2 < argc) {
      return WriteSource(argv[i + 1], std::atol(argv[i + 2])) ? 0 : 1;
    } else if (arg == "--source" && i + 1 < argc) {
      source = argv[++i];
    } else if (arg == "--seconds" && i + 1 < argc) {
      seconds = std::atol(argv[++i]);
    } else if (arg == "--out" && i + 1 < argc) {
      out = argv[++i];
    } else if (arg == "--sim-pid" && i + 1 < argc) {
      simPid = std::atol(argv[++i]);
    } else if (arg == "--poll-ms" && i + 1 < argc) {
      CaptureTimings timings = GetCaptureTimings();
      timings.pollIntervalMs = static_cast<uint32_t>(std::atol(argv[++i]));
      SetCaptureTimingsForTesting(timings);
    } else {
      std::fprintf(stderr, "usage: %s --source FILE --seconds N --out FILE [--sim-pid PID] [--poll-ms N]\n",
                   argv[0]);
      return 2;
    }
  }
  std::string sourceText = ReadWhole(source);
  std::vector<uint8_t> sourceBytes(sourceText.begin(), sourceText.end());
  if (sourceBytes.empty() || out.empty()) {
    std::fprintf(stderr, "bench_capture: no source stream or no output file\n");
    return 2;
  }
  if (!OpenTunerDevice()) {
    std::fprintf(stderr, "bench_capture: no tuner box\n");
    return 1;
  }
  nTunerModel.store(GetTunerModel());
  DttFields fields;
  fields.frequencyKHz = 474000;
  fields.bandwidthMHz = 8;
  fields.limits.recordMode = 0;
  fields.limits.seconds = static_cast<uint32_t>(seconds);
  ChannelSettings channel{};
  CaptureSettings capture{};
  FillDttRecords(fields, &channel, &capture);

  double simBefore = ProcessCpuSeconds(simPid);
  double cpuBefore = CpuSeconds();
  auto start = std::chrono::steady_clock::now();
  int result = RunCapture(channel, capture, out.c_str());
  double wall = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  double cpu = CpuSeconds() - cpuBefore;
  double simAfter = ProcessCpuSeconds(simPid);
  CloseTunerDevice();

  std::string captured = ReadWhole(out);
  int64_t offset = -1;
  bool lossless = looped::IsLooped(sourceBytes, captured, &offset) && offset == 0;
  double gigabytes = captured.size() / 1e9;
  std::printf("result=%d bytes=%zu wall_s=%.2f captured_mbit_s=%.1f lossless=%s cpu_s=%.3f "
              "cpu_pct_of_core=%.2f cpu_s_per_gb=%.3f sim_cpu_pct=%.1f\n",
              result, captured.size(), wall, captured.size() * 8 / 1e6 / seconds,
              lossless ? "yes" : "no", cpu, 100 * cpu / wall, gigabytes > 0 ? cpu / gigabytes : 0,
              simBefore >= 0 && simAfter >= 0 ? 100 * (simAfter - simBefore) / wall : -1.0);
  return result != 0 && lossless ? 0 : 1;
}
