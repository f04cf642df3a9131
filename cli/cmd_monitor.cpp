// `vantrel-cli monitor`: tunes the box as `capture` does, then runs the
// stream health engine over the live stream ring and prints one line (or
// one JSON object) a second until --seconds or Ctrl-C, then a summary.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "analysis/health/health_report.h"
#include "analysis/health/stream_health.h"
#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "capture/stream_ring_feeder.h"
#include "cli/channel_options.h"
#include "cli/command.h"
#include "platform/stop_signals.h"

namespace {

using Clock = std::chrono::steady_clock;

// At 200 Mbit/s the ring holds about 125 ms: poll well within that.
constexpr auto kPollInterval = std::chrono::milliseconds(4);

struct MonitorOptions {
  ChannelOptions channel;
  std::optional<int64_t> seconds;
  std::optional<int64_t> lockSeconds;
  bool json = false;
};

std::atomic<int> stopRequested{0};

// Stores the channel as the family's settings dialog does, keeping its
// capture limits, so that the dialog and `capture` find it next time.
bool StoreMonitorChannel(const MonitorOptions& options, int model) {
  ChannelFields fields;
  std::string error;
  if (!LoadChannelFields(options.channel, model, &fields, &error)) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return false;
  }
  bool written = false;
  switch (fields.family) {
    case TunerFamily::Satellite: written = StoreDstSettings(fields.dst); break;
    case TunerFamily::Cable: written = StoreDctSettings(fields.dct); break;
    default: written = StoreDttSettings(fields.dtt); break;
  }
  if (!written)
    std::fputs("vantrel-cli: warning: the settings could not be saved in the profile\n", stderr);
  return true;
}

struct SecondLine {
  double seconds = 0;
  int strength = 0, quality = 0, locked = 0;
  bool signalRead = false;
  std::optional<double> bitrate;
  double inputBps = 0;
  uint64_t packets = 0;
  uint64_t newCc = 0, newTei = 0;
  bool synced = false;
  uint64_t overruns = 0;
};

void PrintSecond(const SecondLine& s, bool json) {
  if (json) {
    nlohmann::ordered_json line = {
        {"time_s", s.seconds},
        {"locked", s.signalRead ? nlohmann::ordered_json(s.locked != 0) : nlohmann::ordered_json(nullptr)},
        {"strength", s.signalRead ? nlohmann::ordered_json(s.strength) : nlohmann::ordered_json(nullptr)},
        {"quality", s.signalRead ? nlohmann::ordered_json(s.quality) : nlohmann::ordered_json(nullptr)},
        {"bitrate_bps", s.bitrate ? nlohmann::ordered_json(*s.bitrate) : nlohmann::ordered_json(nullptr)},
        {"input_bps", s.inputBps},
        {"packets", s.packets},
        {"new_cc_errors", s.newCc},
        {"new_transport_errors", s.newTei},
        {"synced", s.synced},
        {"ring_overruns", s.overruns},
    };
    std::printf("%s\n", line.dump().c_str());
  } else {
    std::string signal = s.signalRead ? std::string(s.locked ? "locked" : "no lock") + "  strength " +
                                            std::to_string(s.strength) + "  quality " +
                                            std::to_string(s.quality)
                                      : "signal unknown";
    char rate[64];
    if (s.bitrate) std::snprintf(rate, sizeof rate, "%.3f Mbit/s", *s.bitrate / 1e6);
    else std::snprintf(rate, sizeof rate, "unknown");
    std::printf("%6.1f s  %s  bitrate %s  input %.3f Mbit/s  packets %" PRIu64 "  cc +%" PRIu64
                "  tei +%" PRIu64 "  %s%s\n",
                s.seconds, signal.c_str(), rate, s.inputBps / 1e6, s.packets, s.newCc, s.newTei,
                s.synced ? "in sync" : "no sync",
                s.overruns ? ("  ring overruns " + std::to_string(s.overruns)).c_str() : "");
  }
  std::fflush(stdout);
}

// Why a monitor that ran to its end still failed, and its exit status: no
// packet, never in sync, or a stall longer than a live multiplex allows.
struct MonitorVerdict {
  int exitCode = kExitOk;
  std::string reason;
};
MonitorVerdict JudgeMonitor(const HealthResult& result, uint64_t longestStallMs) {
  if (result.Verdict() == HealthVerdict::NoStream || result.packets == 0)
    return {kExitFailure, "no transport stream packet came from the box"};
  if (!result.everSynced) return {kExitFailure, "the stream never had sync"};
  if (longestStallMs > kCaptureStallFailMs)
    return {kExitStalled, "the stream stalled for " + std::to_string((longestStallMs + 500) / 1000) + " s"};
  return {};
}

int MonitorStream(const MonitorOptions& options, int model) {
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  const StreamLayout layout = GetStreamLayout(model);
  if (!StartStream(&ring, &mapped) || ring == nullptr || mapped < layout.ringSize) {
    if (ring != nullptr) StopStream();
    return ReportBoxProblem("the box did not start its stream");
  }
  StreamHealth health;
  StreamRingFeeder feeder(ring, layout.ringSize);
  const Clock::time_point start = Clock::now();
  Clock::time_point nextLine = start + std::chrono::seconds(1);
  uint64_t lastCc = 0, lastTei = 0, lastBytes = 0;
  Clock::time_point lastLine = start;
  int failedExit = kExitOk;
  int lines = 0;
  // Stalls count from the first bytes on: before them the verdict says it.
  uint64_t lastFed = 0;
  Clock::time_point lastData = start;
  uint64_t longestStallMs = 0;
  while (stopRequested.load() == 0) {
    if (!feeder.Poll(health)) {
      if (stopRequested.load() != 0) break;  // the stop cancelled the request
      failedExit = ReportBoxProblem("the box stopped answering the stream position request");
      break;
    }
    const Clock::time_point now = Clock::now();
    if (feeder.bytes() != lastFed || lastFed == 0) {
      if (feeder.bytes() != lastFed) lastData = now;
      lastFed = feeder.bytes();
    } else {
      longestStallMs = std::max<uint64_t>(
          longestStallMs, std::chrono::duration_cast<std::chrono::milliseconds>(now - lastData).count());
    }
    if (now >= nextLine) {
      const HealthResult r = health.Snapshot();
      SecondLine line;
      line.seconds = std::chrono::duration<double>(now - start).count();
      line.signalRead = GetSignalStatus(&line.strength, &line.quality, &line.locked) != 0;
      line.bitrate = r.recentBitrateBps;
      const double elapsed = std::chrono::duration<double>(now - lastLine).count();
      line.inputBps = elapsed > 0 ? (feeder.bytes() - lastBytes) * 8.0 / elapsed : 0;
      line.packets = r.packets;
      line.newCc = r.check(HealthCheck::Continuity).count - lastCc;
      line.newTei = r.check(HealthCheck::Transport).count - lastTei;
      line.synced = r.synced;
      line.overruns = feeder.overruns();
      PrintSecond(line, options.json);
      lastCc = r.check(HealthCheck::Continuity).count;
      lastTei = r.check(HealthCheck::Transport).count;
      lastBytes = feeder.bytes();
      lastLine = now;
      nextLine += std::chrono::seconds(1);
      if (options.seconds && ++lines >= *options.seconds) break;
    }
    std::this_thread::sleep_for(kPollInterval);
  }
  // A stop signal cancelled the requests; the stream is stopped all the same.
  if (stopRequested.load() != 0) ResumeTunerRequests();
  StopStream();
  health.Finish();
  HealthResult result = health.Snapshot();
  const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
  MonitorVerdict verdict = JudgeMonitor(result, longestStallMs);
  if (failedExit != kExitOk) verdict = {failedExit, "the box stopped answering"};
  if (options.json) {
    std::string json = HealthJson(result, -1);
    // One more object on its own line: the summary, marked as such.
    const std::string failure =
        verdict.exitCode == kExitOk ? "null" : nlohmann::json(verdict.reason).dump();
    json.insert(1, "\"summary\":true,\"monitor_s\":" + std::to_string(seconds) +
                       ",\"ring_overruns\":" + std::to_string(feeder.overruns()) +
                       ",\"longest_stall_ms\":" + std::to_string(longestStallMs) +
                       ",\"failure\":" + failure + ",");
    std::fputs(json.c_str(), stdout);
  } else {
    std::printf("\nMonitored for %.1f s (%" PRIu64 " bytes from the box, %" PRIu64 " ring overruns)\n",
                seconds, feeder.bytes(), feeder.overruns());
    if (verdict.exitCode != kExitOk) std::printf("Failed: %s.\n", verdict.reason.c_str());
    std::fputs(HealthText(result).c_str(), stdout);
  }
  std::fflush(stdout);
  if (verdict.exitCode != kExitOk && failedExit == kExitOk)
    std::fprintf(stderr, "vantrel-cli: %s\n", verdict.reason.c_str());
  return verdict.exitCode;
}

int RunMonitor(const MonitorOptions& options) {
  stopRequested.store(0);
  // Ctrl-C, SIGTERM and SIGHUP end the monitor, at once even while a request
  // to the box hangs.
  StopSignals stopSignals([] {
    stopRequested.store(1);
    CancelTunerRequests();
  });
  const int model = OpenTunerBoxForCli();
  if (model < 0) return kExitFailure;
  int exitCode = kExitFailure;
  if (!StoreMonitorChannel(options, model)) {
    exitCode = kExitUsage;
  } else {
    const CaptureSettingsBlock block = GetSettingsBlock();
    const uint32_t lockMs = LockTimeoutMs(options.lockSeconds, model);
    if (!CheckBoxIsFree()) {
      exitCode = ReportBoxProblem("the box cannot say who streams");
    } else if (!TuneChannel(-1, block.channel, block.capture)) {
      exitCode = stopRequested.load() != 0 ? (std::fputs("vantrel-cli: stopped while tuning\n", stderr), kExitFailure)
                                           : ReportBoxProblem("the box did not accept the channel");
    } else {
      const LockWait lock = stopRequested.load() != 0 ? LockWait::Failed : WaitForTunerLock(lockMs);
      if (lock == LockWait::NoLock) {
        std::fprintf(stderr, "vantrel-cli: the tuner did not lock within %u s\n", lockMs / 1000);
        exitCode = kExitNoLock;
      } else if (stopRequested.load() != 0) {
        std::fputs("vantrel-cli: stopped while waiting for lock\n", stderr);
      } else if (lock == LockWait::Failed && GetTunerProblem().problem != TunerProblem::None) {
        exitCode = ReportBoxProblem("the box did not say whether it locked");
      } else {
        exitCode = MonitorStream(options, model);
      }
    }
  }
  CloseTunerDevice();
  return exitCode;
}

CliCommandRegistration monitorCommand(
    "monitor", "Watch the health of the tuner box's live stream, one line a second",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<MonitorOptions>();
      AddChannelOptions(command, options->channel);
      command.add_option("--seconds", options->seconds, "Stop after N seconds (default: Ctrl-C)")
          ->check(CliNumber(1, UINT32_MAX));
      AddLockTimeoutOption(command, options->lockSeconds);
      command.add_flag("--json", options->json,
                       "One JSON object a second, and the summary as one more object");
      command.footer(
          "Tunes like capture (channel options not given keep the values of the family's "
          "settings dialog; the values used are saved there) but writes no file. Each second: "
          "lock, strength, quality, the mux bitrate on the stream's clock, the rate the box "
          "delivers, packets, new continuity and transport errors, sync. Ctrl-C ends it with a "
          "summary as `analyze` prints it. It first waits for the tuner to lock (--lock-timeout); "
          "a box that streams for another program is refused before anything is tuned.\n"
          "Exit status: 0 the stream came and kept coming; 1 failure (no packet or no sync "
          "ever, the box stopped answering or refused the channel); 2 usage error; 4 the stream "
          "stalled for longer than " + std::to_string(kCaptureStallFailMs / 1000) + " s (the summary says "
          "so); 5 the tuner did not lock; 6 the box is in use by another program; 7 the box did "
          "not answer a request in time.");
      return [options] { return RunMonitor(*options); };
    });

}  // namespace
