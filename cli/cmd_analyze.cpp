// `vantrel-cli analyze`: stream health of a file or a pipe (per-PID
// statistics, the TR 101 290 priority 1 and 2 checks, and apart from them
// priority 3 with the services and how regularly each SI table came).
#include <cstdio>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "analysis/health/health_file.h"
#include "analysis/health/health_report.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_output.h"
#include "analysis/si/si_run.h"
#include "cli/command.h"
#include "cli/si_command.h"
#include "platform/stop_signals.h"
#include "platform/ui_hooks.h"
#if VANTREL_NETWORK_INPUTS
#include "netinput/net_health.h"
#else
#include "netinput/net_address.h"
#endif

namespace {

struct AnalyzeOptions {
  std::string input;
  bool json = false;
  std::string packetSize = "auto";
  std::optional<int64_t> pcrIntervalMs;
  std::optional<int64_t> pidTimeoutS;
  std::optional<int64_t> dataPidTimeoutS;
  std::optional<int64_t> maxBytes;
  std::optional<double> durationS;
  std::optional<int64_t> packets;
  SiLimitOptions si;
};

HealthLimits LimitsFrom(const AnalyzeOptions& options) {
  HealthLimits limits;
  if (options.packetSize != "auto") limits.packetSize = std::stoi(options.packetSize);
  if (options.pcrIntervalMs) limits.pcrIntervalS = static_cast<double>(*options.pcrIntervalMs) / 1e3;
  if (options.pidTimeoutS) limits.pidTimeoutS = static_cast<double>(*options.pidTimeoutS);
  if (options.dataPidTimeoutS) limits.dataPidTimeoutS = static_cast<double>(*options.dataPidTimeoutS);
  ApplySiLimitOptions(options.si, limits);
  return limits;
}

#if !VANTREL_NETWORK_INPUTS
// A build without the network layer (Windows, for now) says so.
int RunNetworkAnalyze(const AnalyzeOptions&) {
  std::fprintf(stderr, "vantrel-cli: %s\n",
               TranslateText("network inputs (udp://, rtp://) are not in this Windows build: it analyses files "
                             "and standard input")
                   .c_str());
  return kExitUsage;
}
#else
// A udp:// or rtp:// input: analysed live until --duration, --packets or Ctrl-C.
int RunNetworkAnalyze(const AnalyzeOptions& options) {
  std::string error;
  const std::optional<NetAddress> address = ParseNetAddress(options.input, &error);
  if (!address) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  if (options.maxBytes) {
    std::fputs("vantrel-cli: --max-bytes applies to files; a network input takes --packets or --duration\n", stderr);
    return kExitUsage;
  }
  if (!options.durationS && !options.packets)
    std::fprintf(stderr, "vantrel-cli: no --duration or --packets given: analysing %s until Ctrl-C\n",
                 options.input.c_str());
  NetAnalysisOptions netOptions;
  if (options.durationS) netOptions.durationS = *options.durationS;
  if (options.packets) netOptions.maxPackets = static_cast<uint64_t>(*options.packets);
  std::unique_ptr<SiCollector> si;
  netOptions.prepare = [&si](StreamHealth& health) {
    si = MakeSiCollector(health);
    health.SetObserver(si.get());
  };
  HealthFileRun run;
  NetAnalysisOutcome outcome;
  {
    StopSignals stopSignals([&run] { run.cancel.store(true); });
    outcome = AnalyseNetworkInput(*address, LimitsFrom(options), netOptions, &run);
  }
  switch (outcome.end) {
    case NetAnalysisEnd::NotOpened:
      std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
      return kExitFailure;
    case NetAnalysisEnd::NoData:
      std::fprintf(stderr, "vantrel-cli: no datagram arrived at %s within %g s (?timeout=S waits longer)\n",
                   options.input.c_str(), address->timeoutS);
      return kExitFailure;
    case NetAnalysisEnd::SocketError:
      std::fprintf(stderr, "vantrel-cli: cannot receive from %s: %s\n", options.input.c_str(), outcome.error.c_str());
      break;
    case NetAnalysisEnd::Stalled:
      std::fprintf(stderr, "vantrel-cli: the stream stopped: no datagram for %g s; the result covers what came\n",
                   address->timeoutS);
      break;
    default: break;
  }
  const HealthResult& result = outcome.result;
  if (!result.everSynced) {
    std::fprintf(stderr, "vantrel-cli: %s\n",
                 NoTransportStreamText(options.input, result.bytes, LimitsFrom(options).syncAcquirePackets).c_str());
    return kExitFailure;
  }
  const NetInputStats& net = outcome.network;
  if (!si) return kExitFailure;  // the engine never started
  const SiReport report(*si, result);
  std::string text;
  if (options.json) {
    text = SiAnalyzeJson(result, report);
    const nlohmann::ordered_json network = {
        {"address", FormatNetAddress(*address)},
        {"received_s", outcome.receivedS},
        {"datagrams", net.datagrams},
        {"rtp", net.rtpSeen},
        {"lost_datagrams", net.rtpLost},
        {"reordered_datagrams", net.rtpReordered},
        {"late_datagrams", net.rtpLate},
        {"duplicate_datagrams", net.rtpDuplicates},
        {"irregular_datagrams", net.irregular},
        {"truncated_datagrams", outcome.truncatedDatagrams},
        {"jitter_s", net.rtpSeen ? nlohmann::ordered_json(net.jitterS) : nlohmann::ordered_json(nullptr)},
        {"receive_buffer_bytes", outcome.receiveBufferBytes},
    };
    text.insert(1, "\"network_input\":" + network.dump() + ",");
  } else {
    text = SiAnalyzeText(result, report) + DescribeNetworkStats(net) + "\n";
  }
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kExitFailure;
  if (outcome.end == NetAnalysisEnd::SocketError) return kExitFailure;
  return outcome.end == NetAnalysisEnd::Stalled ? kExitStalled : kExitOk;
}
#endif

int RunAnalyze(const AnalyzeOptions& options) {
  if (IsNetAddress(options.input)) return RunNetworkAnalyze(options);
  if (options.durationS || options.packets) {
    std::fputs("vantrel-cli: --duration and --packets apply to network inputs (udp://, rtp://)\n", stderr);
    return kExitUsage;
  }
  const HealthLimits limits = LimitsFrom(options);

  SiFileOptions fileOptions;
  if (options.maxBytes) fileOptions.maxBytes = static_cast<uint64_t>(*options.maxBytes);
  SiFileOutcome outcome = ReadSiInput(options.input, limits, fileOptions);
  if (!outcome.opened) {
    std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
    return kExitFailure;
  }
  if (outcome.readError) std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
  const HealthResult& result = outcome.health;
  if (!result.everSynced) {
    std::fprintf(stderr, "vantrel-cli: %s\n",
                 NoTransportStreamText(options.input == "-" ? "the input" : options.input, result.bytes,
                                       limits.syncAcquirePackets)
                     .c_str());
    return kExitFailure;
  }
  const SiReport report(*outcome.si, result);
  const std::string text = options.json ? SiAnalyzeJson(result, report) : SiAnalyzeText(result, report);
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kExitFailure;
  return outcome.readError ? kExitFailure : kExitOk;
}

CliCommandRegistration analyzeCommand(
    "analyze", "Check the health of a transport stream: per-PID statistics and TR 101 290 checks",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<AnalyzeOptions>();
      command.add_option("FILE", options->input, "Transport-stream file, - for standard input, or udp://[SOURCE@]ADDRESS:PORT or rtp://... "
                         "(options ?iface=NAME|ADDRESS&timeout=S)")
          ->required();
      command.add_flag("--json", options->json, "Print the result as JSON");
      command.add_option("--packet-size", options->packetSize, "Packet size (default: detect)")
          ->check(CLI::IsMember({"auto", "188", "192", "204", "208"}));
      command.add_option("--pcr-interval-ms", options->pcrIntervalMs,
                         "PCR repetition limit in milliseconds (default 40)")
          ->check(CliNumber(1, 100000));
      command.add_option("--pid-timeout-s", options->pidTimeoutS,
                         "How long a video, audio or PCR PID a PMT names may be absent, in seconds (default 5)")
          ->check(CliNumber(1, 86400));
      command.add_option("--data-pid-timeout-s", options->dataPidTimeoutS,
                         "How long a subtitle, teletext or data PID a PMT names may be absent, in seconds "
                         "(default: not checked)")
          ->check(CliNumber(1, 86400));
      command.add_option("--max-bytes", options->maxBytes, "Read at most N bytes")
          ->check(CliNumber(1, INT64_MAX));
      command.add_option("--duration", options->durationS,
                         "Network input: analyse this many seconds from the first datagram")
          ->check(CLI::Range(0.001, 31536000.0));
      command.add_option("--packets", options->packets, "Network input: analyse exactly N packets")
          ->check(CliNumber(1, INT64_MAX / 256));
      AddSiLimitOptions(command, options->si);
      command.footer(
          "A network input (udp://, rtp://) is analysed live until --duration, --packets or "
          "Ctrl-C (it says so when neither is given); no datagram within its timeout (5 s, "
          "?timeout=S) is an error, a stream that stops for that long ends the analysis with "
          "what came (exit 4). Datagrams carry 1 to 7 packets of 188 or 204 bytes, bare or "
          "behind an RTP header (payload type 33); RTP sequence gaps are counted as lost "
          "datagrams apart from the continuity errors they cause, and the RTP interarrival "
          "jitter is given. Multicast groups are joined (IGMP/MLD); SOURCE@ asks for "
          "source-specific multicast. --json adds a \"network_input\" object with these counts.\n"
          "Reads the whole input; Ctrl-C ends the reading, and what was read is then the result "
          "(\"Partial\"). Intervals are measured on the stream's own clock: the PCRs of "
          "every PID a PMT names as PCR_PID, against the byte position in the input. Without them "
          "the bitrate and the duration are unknown and the checks that need time say why they "
          "were not evaluated; the summary says \"No errors\" only when every check was "
          "evaluated. Priority 3 (the service information: NIT, SI repetition, unreferenced PIDs, SDT, "
          "EIT, RST, TDT; for ATSC PSIP the MGT, VCT and STT cycle times of A/65 and unreferenced PIDs) "
          "is judged and summed apart, after the verdict on priorities 1 and 2; then how regularly each "
          "table came on the stream clock, and the services as `services` lists them. JSON: the fields "
          "of priorities 1 and 2 as before; checks[] also holds priority 3 (each check with its "
          "priority), with si_standard (dvb, atsc, none), si_errors {key: count}, si_verdict, si_tables "
          "[{pid, table_id, table, table_id_extension, count, first_offset, min_interval_s, "
          "mean_interval_s, max_interval_s}], network {network_id, name} and services[] as in "
          "`services --json`. Exit 0 when the input was analysed "
          "(errors found are results), 1 when it cannot be read or holds no transport stream, "
          "2 on a usage error.");
      return [options] { return RunAnalyze(*options); };
    });

}  // namespace
