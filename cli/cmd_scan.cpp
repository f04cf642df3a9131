// `vantrel-cli scan`: a channel scan on the tuner box (a plan file of
// dtv-scan-tables, a list of frequencies, or a range), its results as text or
// JSON, a DVBv5 channel file and an M3U playlist; and capture by service.
#include <sys/stat.h>

#include <cinttypes>
#include <cstdio>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "capture/capture_run.h"
#include "capture/scan/channel_file.h"
#include "capture/scan/channel_scan.h"
#include "capture/scan/scan_json.h"
#include "capture/scan/service_capture.h"
#include "cli/channel_options.h"
#include "cli/command.h"
#include "cli/scan_command.h"
#include "platform/files.h"
#include "platform/stop_signals.h"

namespace {

struct ScanOptions {
  std::string plan;
  std::string frequencies;
  std::string range;
  ChannelOptions channel;
  std::optional<int64_t> lockSeconds;
  int64_t tableSeconds = ScanSettings::kDefaultTableTimeoutMs / 1000;
  bool network = false;
  bool json = false;
  std::string channelsOut;
  std::string m3u;
};

// The tuning values not given per entry: the options, else the family's
// settings dialog (its profile section), as `tune` takes them.
bool LoadScanDefaults(const ChannelOptions& options, int model, ScanSettings* settings, ScanTuning* defaults) {
  std::string error;
  if (!BuildChannelRecords(options, model, &settings->baseChannel, &settings->capture, &error)) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return false;
  }
  settings->model = model;
  settings->family = GetTunerFamily(model);
  *defaults = TuningForChannel(settings->family, settings->baseChannel);
  return true;
}

bool BuildPlan(const ScanOptions& options, const ScanTuning& defaults, std::vector<ScanTuning>* plan) {
  std::string error;
  bool ok;
  if (!options.plan.empty()) {
    int skipped = 0;
    ok = ReadScanPlanFile(options.plan, defaults, plan, &skipped, &error);
    if (ok && skipped > 0)
      std::fprintf(stderr, "vantrel-cli: %d entries of %s are for other delivery systems and were left out\n", skipped,
                   options.plan.c_str());
  } else if (!options.frequencies.empty()) {
    ok = ParseScanFrequencyList(options.frequencies, defaults, plan, &error);
  } else {
    ok = ParseScanRange(options.range, defaults, plan, &error);
  }
  if (!ok) std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
  return ok;
}

std::string SignalText(const ScanTransponder& t) {
  if (!t.strength) return "";
  return " (strength " + std::to_string(*t.strength) + " %, quality " + std::to_string(t.quality.value_or(0)) + " %)";
}

// One line on stderr per transponder as the scan goes.
void PrintTransponderLine(const ScanProgress& progress) {
  const ScanTransponder& t = *progress.finished;
  std::string text;
  switch (t.outcome) {
    case ScanOutcome::Found:
      text = "locked" + SignalText(t) + ", " + std::to_string(t.services.size()) + " services";
      if (t.transportStreamId >= 0) text += ", TS " + std::to_string(t.transportStreamId);
      if (t.networkId >= 0) text += ", network " + std::to_string(t.networkId);
      if (!t.networkName.empty()) text += " \"" + t.networkName + "\"";
      break;
    case ScanOutcome::NoLock: text = "no lock" + SignalText(t); break;
    case ScanOutcome::NoTables: text = "locked" + SignalText(t) + ", no tables"; break;
    default: text = ScanOutcomeName(t.outcome); break;
  }
  if (!t.reason.Empty() && t.outcome != ScanOutcome::NoLock) text += " (" + t.reason.English() + ")";
  std::fprintf(stderr, "[%zu/%zu] %s%s: %s\n", progress.index + 1, progress.total, t.tuning.Text().c_str(),
               t.tuning.source == ScanSource::Network ? " (from the NIT)" : "", text.c_str());
}

void PrintServices(const ScanResult& result) {
  std::printf("%-10s %6s %6s  %-24s %-16s %5s  %s\n", "FREQUENCY", "SID", "LCN", "NAME", "PROVIDER", "TYPE", "PIDS");
  for (const ScanTransponder& t : result.transponders) {
    for (const ScanService& s : t.services) {
      std::string pids = "PMT " + std::to_string(s.pmtPid);
      if (s.pcrPid >= 0) pids += " PCR " + std::to_string(s.pcrPid);
      for (const ScanStream& stream : s.streams) pids += " " + stream.kind + " " + std::to_string(stream.pid);
      if (s.scrambled) pids += " (scrambled)";
      const std::string number = ScanChannelNumber(s);
      std::printf("%-10u %6d %6s  %-24s %-16s %5s  %s\n", t.tuning.frequency, s.serviceId, number.empty() ? "-" : number.c_str(),
                  s.name.c_str(), s.provider.c_str(), s.serviceType >= 0 ? std::to_string(s.serviceType).c_str() : "-",
                  pids.c_str());
    }
  }
  size_t failed = 0;
  uint64_t lockMs = 0, tablesMs = 0;
  for (const ScanTransponder& t : result.transponders) {
    failed += t.outcome != ScanOutcome::Found;
    lockMs += t.lockMs;
    tablesMs += t.tablesMs;
  }
  std::printf("%zu services on %zu transponders (%zu without services) in %.1f s (%.1f s tuning and waiting for "
              "lock, %.1f s reading tables)%s\n",
              result.ServiceCount(), result.transponders.size() - failed, failed, result.elapsedMs / 1000.0,
              lockMs / 1000.0, tablesMs / 1000.0, result.cancelled ? "; stopped before the end" : "");
}

int RunScan(const ScanOptions& options) {
  const int given = !options.plan.empty() + !options.frequencies.empty() + !options.range.empty();
  if (given != 1) {
    std::fputs("vantrel-cli: give exactly one of PLAN, --frequencies and --range\n", stderr);
    return kExitUsage;
  }
  if (options.channel.frequency) {
    std::fputs("vantrel-cli: scan takes its frequencies from PLAN, --frequencies or --range, not --freq\n", stderr);
    return kExitUsage;
  }
  ChannelScan scan;
  // Ctrl-C, SIGTERM and SIGHUP end the scan within a second; what was found is kept.
  StopSignals stopSignals([&scan] { scan.Cancel(); });
  const int model = OpenTunerBoxForCli();
  if (model < 0) return OpenBoxExitCode();
  int exitCode = kExitOk;
  ScanSettings settings;
  ScanTuning defaults;
  std::vector<ScanTuning> plan;
  if (!LoadScanDefaults(options.channel, model, &settings, &defaults) || !BuildPlan(options, defaults, &plan)) {
    CloseTunerDevice();
    return kExitUsage;
  }
  settings.lockTimeoutMs = LockTimeoutMs(options.lockSeconds, model);
  settings.tableTimeoutMs = static_cast<uint32_t>(options.tableSeconds) * 1000;
  settings.followNetwork = options.network;
  if (!CheckBoxIsFree()) {
    const int code = ReportBoxProblem("the box cannot say who streams");
    CloseTunerDevice();
    return code;
  }
  const ScanResult result = scan.Run(plan, settings, [](const ScanProgress& progress) {
    if (progress.stage == ScanStage::Done && progress.finished) PrintTransponderLine(progress);
  });
  if (result.boxFailed) exitCode = ReportBoxProblem(result.transponders.back().reason.English().c_str());
  CloseTunerDevice();

  if (options.json) std::printf("%s\n", ScanResultJson(result, settings.family).dump(2).c_str());
  else PrintServices(result);
  std::fflush(stdout);
  std::string error;
  if (!options.channelsOut.empty()) {
    if (WriteScanChannelFile(options.channelsOut, result, &error))
      std::fprintf(stderr, "vantrel-cli: channel file %s written\n", options.channelsOut.c_str());
    else {
      std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
      if (exitCode == kExitOk) exitCode = kExitFailure;
    }
  }
  if (!options.m3u.empty()) {
    if (!WriteTextFile(options.m3u, ScanM3u(result), &error)) {
      std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
      if (exitCode == kExitOk) exitCode = kExitFailure;
    }
  }
  if (result.cancelled) {
    std::fputs("vantrel-cli: scan stopped; the results hold what was found until then\n", stderr);
    if (exitCode == kExitOk) exitCode = kExitFailure;
  } else if (exitCode == kExitOk && result.ServiceCount() == 0) {
    std::fputs("vantrel-cli: no service found\n", stderr);
    exitCode = kExitFailure;
  }
  return exitCode;
}

CliCommandRegistration scanCommand(
    "scan", "Scan for channels: tune each frequency of a plan, list the services found",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<ScanOptions>();
      command.add_option("plan", options->plan,
                         "Plan file: an initial-scan file of dtv-scan-tables (/usr/share/dvb/...) or a "
                         "DVBv5 channel file");
      command.add_option("--frequencies", options->frequencies,
                         "Comma list of frequencies: MHz for satellite boxes, kHz otherwise");
      command.add_option("--range", options->range, "FROM:TO:STEP in the same unit, e.g. 474000:858000:8000");
      AddChannelOptions(command, options->channel);
      AddLockTimeoutOption(command, options->lockSeconds);
      command.add_option("--table-timeout", options->tableSeconds,
                         "Seconds to wait for PAT, PMTs, SDT (or VCT) and NIT on each locked transponder (default 12); "
                         "a DVB stream whose PAT names no network PID and whose PID 0x0010 stays silent is done "
                         "without a NIT once the rest came and 2 s have passed")
          ->check(CliNumber(1, 120));
      command.add_flag("--network", options->network,
                       "Also scan the transponders the NIT's delivery descriptors name, each once");
      command.add_flag("--json", options->json, "Print the results as JSON (layout below)");
      command.add_option("--channels-out", options->channelsOut,
                         "Write the services to a DVBv5 channel file (as dvbv5-zap and capture --service read it)");
      command.add_option("--m3u", options->m3u, "Write an M3U playlist of the services (VLC's DVB addresses)");
      command.footer(
          "Tuning values a plan entry, --frequencies or --range leave out (bandwidth, symbol rate, QAM, "
          "polarisation) come from --bw, --symbol-rate, --qam, --pol, --iq, else from the family's settings "
          "dialog; satellite boxes tune through LNB1 of LNB Setup as capture does. Each entry is tuned, the "
          "scan waits for lock (--lock-timeout) and then reads the tables from the live stream "
          "(--table-timeout). One line per transponder goes to standard error as the scan goes; the services "
          "found (or the JSON) go to standard output. Ctrl-C ends the scan within a second and keeps what was "
          "found: it is printed and written as usual.\n" +
          ScanJsonSchemaText() +
          "Exit status: 0 services were found; 1 no service found, the scan was stopped, or a file could not be "
          "written; 2 usage error; 6 the box is in use by another program; 7 the box did not answer a request "
          "in time.");
      return [options] { return RunScan(*options); };
    });

// ---- capture --service -----------------------------------------------------

}  // namespace

int RunServiceCaptureCommand(const ServiceCaptureOptions& options) {
  const ChannelOptions& c = options.channel;
  if (c.frequency || c.bandwidthMHz || c.symbolRate || c.qamOrder || c.polarisation || c.iq) {
    std::fputs("vantrel-cli: --service takes the tuning from the channel file; leave out the channel options\n",
               stderr);
    return kExitUsage;
  }
  if (options.seconds.has_value() == options.megabytes.has_value()) {
    std::fputs("vantrel-cli: give exactly one of --seconds and --megabytes\n", stderr);
    return kExitUsage;
  }
  std::set<int> siPids;
  if (std::string error; !ParseKeptSiTables(options.keepSi, &siPids, &error)) {
    std::fprintf(stderr, "vantrel-cli: --keep-si: %s\n", error.c_str());
    return kExitUsage;
  }
  std::string output = options.output.empty() ? ProposeCaptureFileName() + ".ts" : options.output;
  // "-" is standard output, as for the whole-stream capture; the closing line then goes to stderr.
  const bool toStandardOutput = output == "-";
  if (toStandardOutput) output = kStandardOutputPath;
  FILE* const summary = toStandardOutput ? stderr : stdout;
  struct stat info {};
  if (::stat(output.c_str(), &info) == 0 && S_ISDIR(info.st_mode)) {
    std::fprintf(stderr, "vantrel-cli: %s is a folder; give a file name\n", output.c_str());
    return kExitUsage;
  }
  if (!options.force && IsNonEmptyFile(output)) {
    std::fprintf(stderr, "vantrel-cli: %s exists and is not empty; give --force to replace it\n", output.c_str());
    return kExitUsage;
  }
  ServiceCapture capture;
  StopSignals stopSignals([&capture] { capture.Cancel(); });
  const int model = OpenTunerBoxForCli();
  if (model < 0) return OpenBoxExitCode();
  ServiceCaptureRequest request;
  ScanTuning defaults;
  std::vector<ChannelFileService> services;
  std::string error;
  int exitCode = kExitOk;
  const ChannelFileService* service = nullptr;
  bool ambiguous = false;
  if (!LoadScanDefaults(ChannelOptions{}, model, &request.settings, &defaults)) {
    exitCode = kExitUsage;
  } else if (!ReadScanChannelFile(options.channelsFile, defaults, &services, &error)) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    exitCode = kExitUsage;
  } else if ((service = FindChannelFileService(services, options.service, &ambiguous)) == nullptr) {
    std::fprintf(stderr, "vantrel-cli: %s\n",
                 ambiguous ? ("several services of " + options.channelsFile + " are named \"" + options.service +
                              "\"; give its service id")
                                 .c_str()
                           : ("no service \"" + options.service + "\" in " + options.channelsFile).c_str());
    exitCode = kExitUsage;
  } else if (!CheckBoxIsFree()) {
    exitCode = ReportBoxProblem("the box cannot say who streams");
  }
  if (exitCode != kExitOk) {
    CloseTunerDevice();
    return exitCode;
  }
  request.tuning = service->tuning;
  request.settings.lockTimeoutMs = LockTimeoutMs(options.lockSeconds, model);
  request.serviceId = service->serviceId;
  request.siPids = siPids;
  request.path = output;
  if (options.seconds) request.seconds = static_cast<uint32_t>(*options.seconds);
  if (options.megabytes) request.maxBytes = static_cast<uint64_t>(*options.megabytes) * 1048576;
  std::fprintf(stderr, "vantrel-cli: capturing service %d \"%s\" on %s\n", service->serviceId, service->name.c_str(),
               service->tuning.Text().c_str());
  const ServiceCaptureReport report = capture.Run(request, nullptr);
  CloseTunerDevice();
  std::string pids;
  for (int pid : report.pids) pids += (pids.empty() ? "" : ",") + std::to_string(pid);
  std::fprintf(summary, "%s: %" PRIu64 " bytes (service %d, PIDs 0,%s)\n", output.c_str(), report.bytesWritten,
              service->serviceId, pids.c_str());
  if (report.overruns > 0)
    std::fprintf(stderr, "vantrel-cli: stream data lost %" PRIu64 " times (the capture could not keep up)\n",
                 report.overruns);
  const std::string reason = report.reason.English();
  switch (report.end) {
    case ServiceCaptureEnd::Completed: return report.overruns > 0 ? kExitDataLost : kExitOk;
    case ServiceCaptureEnd::NoLock: std::fprintf(stderr, "vantrel-cli: %s\n", reason.c_str()); return kExitNoLock;
    case ServiceCaptureEnd::Stalled: std::fprintf(stderr, "vantrel-cli: %s\n", reason.c_str()); return kExitStalled;
    case ServiceCaptureEnd::BoxFailed: return ReportBoxProblem(reason.c_str());
    default: std::fprintf(stderr, "vantrel-cli: %s\n", reason.c_str()); return kExitFailure;
  }
}
