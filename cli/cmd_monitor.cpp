// `vantrel-cli monitor`: tunes the box as `capture` does, then runs the
// stream health engine over the live stream ring and prints one line (or
// one JSON object) a second until --seconds or Ctrl-C, then a summary.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cinttypes>
#include <cstdio>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "analysis/health/health_report.h"
#include "analysis/health/stream_health.h"
#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "capture/stream_ring_feeder.h"
#include "cli/channel_options.h"
#include "cli/cmd_monitor_box.h"
#include "cli/command.h"
#include "cli/si_command.h"
#include "monitoring/metrics_server.h"
#include "monitoring/monitor_events.h"
#include "monitoring/multi_monitor.h"
#include "monitoring/network_source.h"
#include "netinput/net_health.h"
#include "platform/stop_signals.h"

namespace {

// One line of JSON; a byte that is no UTF-8 (in a name from the command
// line) as U+FFFD rather than an exception.
template <typename Json>
std::string Compact(const Json& j) {
  return j.dump(-1, ' ', false, Json::error_handler_t::replace);
}

using Clock = std::chrono::steady_clock;

// At 200 Mbit/s the ring holds about 125 ms: poll well within that.
constexpr auto kPollInterval = std::chrono::milliseconds(4);

struct MonitorOptions {
  ChannelOptions channel;
  std::optional<int64_t> seconds;
  std::optional<int64_t> lockSeconds;
  bool json = false;
  std::vector<std::string> inputs;  // [NAME=]udp://...|rtp://...|box
  std::string metrics;              // ADDRESS:PORT
  std::string events;               // FILE
  SiLimitOptions si;
};

HealthLimits MonitorLimits(const MonitorOptions& options) {
  HealthLimits limits;
  ApplySiLimitOptions(options.si, limits);
  return limits;
}

std::atomic<int> stopRequested{0};
std::atomic<bool> stopAll{false};

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
    std::printf("%s\n", Compact(line).c_str());
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

// Starts the box's stream and maps its ring; an exit status (after saying
// why) when it does not start.
int StartBoxRing(int model, const uint8_t** ring, uint32_t* ringSize) {
  uint8_t* mappedRing = nullptr;
  size_t mapped = 0;
  const StreamLayout layout = GetStreamLayout(model);
  if (!StartStream(&mappedRing, &mapped) || mappedRing == nullptr || mapped < layout.ringSize) {
    if (mappedRing != nullptr) StopStream();
    return ReportBoxProblem("the box did not start its stream");
  }
  *ring = mappedRing;
  *ringSize = layout.ringSize;
  return kExitOk;
}

int MonitorStream(const MonitorOptions& options, int model) {
  const uint8_t* ring = nullptr;
  uint32_t ringSize = 0;
  if (const int started = StartBoxRing(model, &ring, &ringSize); started != kExitOk) return started;
  StreamHealth health(MonitorLimits(options));
  StreamRingFeeder feeder(ring, ringSize);
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

// Opens and tunes the box, waits for lock, then runs `stream` on it.
int RunOnTunedBox(const MonitorOptions& options, const std::function<int(int model)>& stream) {
  const int model = OpenTunerBoxForCli();
  if (model < 0) return OpenBoxExitCode();
  int exitCode = kExitFailure;
  if (!StoreMonitorChannel(options, model)) {
    exitCode = kExitUsage;
  } else {
    const CaptureSettingsBlock block = GetSettingsBlock();
    const uint32_t lockMs = LockTimeoutMs(options.lockSeconds, model);
    if (!CheckBoxIsFree()) {
      exitCode = ReportBoxProblem("the box cannot say who streams");
    } else if (const TuneOutcome tuned = TuneChannelUntil(-1, block.channel, block.capture, lockMs);
               tuned == TuneOutcome::Refused) {
      exitCode = stopRequested.load() != 0 ? (std::fputs("vantrel-cli: stopped while tuning\n", stderr), kExitFailure)
                                           : ReportBoxProblem("the box did not accept the channel");
    } else {
      // A box that took the channel but never got ready did not lock.
      const LockWait lock = stopRequested.load() != 0       ? LockWait::Failed
                            : tuned == TuneOutcome::NotReady ? LockWait::NoLock
                                                             : WaitForTunerLock(lockMs);
      if (lock == LockWait::NoLock) {
        std::fprintf(stderr, "vantrel-cli: the tuner did not lock within %u s\n", lockMs / 1000);
        exitCode = kExitNoLock;
      } else if (stopRequested.load() != 0) {
        std::fputs("vantrel-cli: stopped while waiting for lock\n", stderr);
      } else if (lock == LockWait::Failed && GetTunerProblem().problem != TunerProblem::None) {
        exitCode = ReportBoxProblem("the box did not say whether it locked");
      } else {
        exitCode = stream(model);
      }
    }
  }
  CloseTunerDevice();
  return exitCode;
}

struct InputSpec {
  std::string name;
  std::string source;  // a network address, or "box"
};

// "[NAME=]SOURCE": a name is letters, digits, '-', '_' and '.' before the first '='.
InputSpec ParseInputSpec(const std::string& text) {
  const size_t equals = text.find('=');
  if (equals != std::string::npos && equals > 0) {
    const std::string name = text.substr(0, equals);
    if (name.find_first_not_of("abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789-_.") ==
        std::string::npos)
      return {name, text.substr(equals + 1)};
  }
  return {text, text};
}

void PrintInputSecond(const MonitoredInput& input, double elapsedS, bool json) {
  const HealthResult& now = input.latest();
  const HealthResult& before = input.previous();
  const auto grew = [&](HealthCheck check) { return now.check(check).count - before.check(check).count; };
  uint64_t newErrors = 0;
  for (size_t c = 0; c < kHealthCheckCount; ++c) newErrors += now.checks[c].count - before.checks[c].count;
  const double inputBps = static_cast<double>(now.bytes - before.bytes) * 8.0;
  const NetInputStats* net = input.source().Network();
  const std::optional<double> since = input.SecondsSinceData(MonitoredInput::Clock::now());
  const std::optional<SignalReading>& signal = input.signal();
  if (json) {
    nlohmann::ordered_json line = {
        {"input", input.name()},
        {"time_s", elapsedS},
        {"state", InputStateName(input.state())},
        {"bitrate_bps", now.recentBitrateBps ? nlohmann::ordered_json(*now.recentBitrateBps) : nullptr},
        {"input_bps", inputBps},
        {"packets", now.packets},
        {"new_errors", newErrors},
        {"new_cc_errors", grew(HealthCheck::Continuity)},
        {"new_transport_errors", grew(HealthCheck::Transport)},
        {"synced", now.synced},
        {"seconds_since_last_packet", since ? nlohmann::ordered_json(*since) : nullptr},
    };
    if (net) {
      line["lost_datagrams"] = net->rtpLost;
      line["jitter_s"] = net->rtpSeen ? nlohmann::ordered_json(net->jitterS) : nullptr;
    }
    if (signal) {
      line["locked"] = signal->locked;
      line["strength"] = signal->strength;
      line["quality"] = signal->quality;
    }
    std::printf("%s\n", Compact(line).c_str());
  } else {
    char rate[32] = "unknown";
    if (now.recentBitrateBps) std::snprintf(rate, sizeof rate, "%.3f Mbit/s", *now.recentBitrateBps / 1e6);
    std::string extra;
    if (net) extra += "  lost " + std::to_string(net->rtpLost);
    if (signal)
      extra += std::string(signal->locked ? "  locked" : "  no lock") + "  strength " + std::to_string(signal->strength) +
               "  quality " + std::to_string(signal->quality);
    if (input.state() == InputState::Stopped && !input.lastError().empty()) extra += "  (" + input.lastError() + ")";
    std::printf("%-20s %6.1f s  %-9s  bitrate %s  input %.3f Mbit/s  packets %" PRIu64 "  errors +%" PRIu64
                "  cc +%" PRIu64 "%s\n",
                input.name().c_str(), elapsedS, InputStateName(input.state()), rate, inputBps / 1e6, now.packets,
                newErrors, grew(HealthCheck::Continuity), extra.c_str());
  }
}

int RunInputs(const MonitorOptions& options, const std::vector<InputSpec>& specs,
              std::vector<std::unique_ptr<MonitoredInput>> inputs, MetricsServer* metrics, EventLog* events,
              const uint8_t* ring, uint32_t ringSize, int model) {
  MultiMonitor monitor;
  for (size_t i = 0, n = 0; i < specs.size(); ++i) {
    if (specs[i].source == "box")
      monitor.Add(std::make_unique<MonitoredInput>(
          specs[i].name,
          std::make_unique<BoxSource>(ring, ringSize,
                                      BoxTuning{model, GetSettingsBlock(), LockTimeoutMs(options.lockSeconds, model)}),
          MonitorLimits(options)));
    else
      monitor.Add(std::move(inputs[n++]));
  }
  MultiMonitorOptions run;
  if (options.seconds) run.seconds = static_cast<double>(*options.seconds);
  run.metrics = metrics;
  run.events = events;
  run.onSecond = [&options](const MonitoredInput& input, double elapsedS) {
    PrintInputSecond(input, elapsedS, options.json);
  };
  const auto start = MonitoredInput::Clock::now();
  monitor.Run(stopAll, run);
  const double seconds = std::chrono::duration<double>(MonitoredInput::Clock::now() - start).count();
  int exitCode = kExitOk;
  for (const auto& input : monitor.inputs()) {
    input->TakeSnapshot();
    const HealthResult& result = input->latest();
    std::string failure;
    if (result.packets == 0) {
      failure = "no transport stream packet came";
      exitCode = kExitFailure;
    } else if (input->state() == InputState::Stopped) {
      failure = "stopped: " + input->lastError();
      if (exitCode == kExitOk) exitCode = kExitStalled;
    }
    const NetInputStats* net = input->source().Network();
    if (options.json) {
      std::string json = HealthJson(result, -1);
      std::string head = "\"summary\":true,\"input\":" + Compact(nlohmann::json(input->name())) +
                         ",\"state\":\"" + InputStateName(input->state()) + "\",\"monitor_s\":" +
                         std::to_string(seconds) + ",\"failure\":" +
                         (failure.empty() ? "null" : Compact(nlohmann::json(failure))) + ",";
      if (net) head += "\"lost_datagrams\":" + std::to_string(net->rtpLost) + ",";
      json.insert(1, head);
      std::fputs(json.c_str(), stdout);
    } else {
      std::printf("\n== %s: %s%s ==\n", input->name().c_str(), InputStateName(input->state()),
                  failure.empty() ? "" : (", " + failure).c_str());
      std::fputs(HealthText(result).c_str(), stdout);
      if (net) std::printf("%s\n", DescribeNetworkStats(*net).c_str());
    }
    if (!failure.empty()) std::fprintf(stderr, "vantrel-cli: %s: %s\n", input->name().c_str(), failure.c_str());
  }
  std::fflush(stdout);
  return exitCode;
}

// `monitor --input ...`: every input in one loop, with metrics and events when asked.
int RunManyInputs(const MonitorOptions& options) {
  std::vector<InputSpec> specs;
  for (const std::string& text : options.inputs) specs.push_back(ParseInputSpec(text));
  if (specs.empty()) specs.push_back({"box", "box"});
  std::vector<std::unique_ptr<MonitoredInput>> network;
  int boxes = 0;
  for (size_t i = 0; i < specs.size(); ++i) {
    for (size_t j = 0; j < i; ++j)
      if (specs[j].name == specs[i].name) {
        std::fprintf(stderr, "vantrel-cli: two inputs are named \"%s\": name them with NAME=SOURCE\n",
                     specs[i].name.c_str());
        return kExitUsage;
      }
    if (specs[i].source == "box") {
      if (++boxes > 1) {
        std::fputs("vantrel-cli: one tuner box at a time: give box once\n", stderr);
        return kExitUsage;
      }
      continue;
    }
    std::string error;
    const std::optional<NetAddress> address = ParseNetAddress(specs[i].source, &error);
    if (!address) {
      std::fprintf(stderr, "vantrel-cli: --input %s: %s (or box for the tuner box)\n", specs[i].source.c_str(),
                   error.c_str());
      return kExitUsage;
    }
    auto source = NetworkSource::Open(*address, &error);
    if (!source) {
      std::fprintf(stderr, "vantrel-cli: --input %s: %s\n", specs[i].source.c_str(), error.c_str());
      return kExitFailure;
    }
    network.push_back(std::make_unique<MonitoredInput>(specs[i].name, std::move(source), MonitorLimits(options)));
  }
  std::unique_ptr<MetricsServer> metrics;
  if (!options.metrics.empty()) {
    std::string error;
    if (!(metrics = MetricsServer::Open(options.metrics, &error))) {
      std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
      return kExitFailure;
    }
    std::fprintf(stderr, "vantrel-cli: metrics at http://%s/metrics\n", options.metrics.c_str());
  }
  EventLog events;
  if (!options.events.empty()) {
    std::string error;
    if (!events.Open(options.events, &error)) {
      std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
      return kExitFailure;
    }
  }
  EventLog* const eventLog = events.IsOpen() ? &events : nullptr;
  if (boxes == 0) return RunInputs(options, specs, std::move(network), metrics.get(), eventLog, nullptr, 0, 0);
  return RunOnTunedBox(options, [&](int model) {
    const uint8_t* ring = nullptr;
    uint32_t ringSize = 0;
    if (const int started = StartBoxRing(model, &ring, &ringSize); started != kExitOk) return started;
    const int exitCode =
        RunInputs(options, specs, std::move(network), metrics.get(), eventLog, ring, ringSize, model);
    if (stopRequested.load() != 0) ResumeTunerRequests();
    StopStream();
    return exitCode;
  });
}

int RunMonitor(const MonitorOptions& options) {
  stopRequested.store(0);
  stopAll.store(false);
  // Ctrl-C, SIGTERM and SIGHUP end the monitor, at once even while a request
  // to the box hangs.
  StopSignals stopSignals([] {
    stopRequested.store(1);
    stopAll.store(true);
    CancelTunerRequests();
  });
  if (!options.inputs.empty() || !options.metrics.empty() || !options.events.empty()) return RunManyInputs(options);
  return RunOnTunedBox(options, [&options](int model) { return MonitorStream(options, model); });
}

CliCommandRegistration monitorCommand(
    "monitor", "Watch the health of the tuner box's live stream, one line a second",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<MonitorOptions>();
      AddChannelOptions(command, options->channel);
      command.add_option("--seconds", options->seconds, "Stop after N seconds (default: Ctrl-C)")
          ->check(CliNumber(1, UINT32_MAX));
      AddLockTimeoutOption(command, options->lockSeconds);
      AddSiLimitOptions(command, options->si);
      command.add_flag("--json", options->json,
                       "One JSON object a second, and the summary as one more object");
      command.add_option("--input", options->inputs,
                         "[NAME=]SOURCE, repeatable: udp://[SOURCE@]ADDRESS:PORT, rtp://..., or box (the "
                         "tuner box, tuned with the channel options)");
      command.add_option("--metrics", options->metrics,
                         "Serve Prometheus metrics on http://ADDRESS:PORT/metrics (e.g. 127.0.0.1:9101)");
      command.add_option("--events", options->events,
                         "Append one JSON object per line to FILE for every error and input state change");
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
          "not answer a request in time.\n"
          "Many inputs: with --input (repeatable; a tuner box and network inputs may be mixed), "
          "each input has its own health engine and its own line (or JSON object with its "
          "\"input\" name) a second; all are read by one thread. An input silent for its "
          "timeout (network: 5 s or ?timeout=S; box: " + std::to_string(kCaptureStallFailMs / 1000) +
          " s) is shown as stopped and comes back by itself when bytes come again; its "
          "counters go on. A box that stops answering (unplugged) is opened, tuned and "
          "started again by itself, first after 1 s, then every 2, 4 and at most 5 s, "
          "while the other inputs go on. The summary has one report per input; exit 1 when an input never "
          "delivered, 4 when one was stopped at the end. --metrics serves per input the bit "
          "rate, packets, each check's error counter, continuity errors per PID, network "
          "loss (RTP), seconds since the last packet and the tuner's signal, as Prometheus "
          "text; --events writes each error occurrence and state change as a JSON line with "
          "the UTC time and the input's name.");
      return [options] { return RunMonitor(*options); };
    });

}  // namespace
