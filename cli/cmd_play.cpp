// `vantrel-cli play`: sends a recording as a live stream over UDP or RTP, at
// the file's own rate or a given one, once or in a loop.
#include <atomic>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "cli/command.h"
#include "platform/files.h"
#include "platform/stop_signals.h"
#include "netinput/stream_sender.h"

namespace {

struct PlayOptions {
  std::string file;
  std::string to;
  std::optional<double> bitrate;
  std::optional<double> seconds;
  bool loop = false;
  bool quiet = false;
};

int RunPlay(const PlayOptions& options) {
  std::string error;
  const std::optional<NetAddress> address = ParseNetAddress(options.to, &error);
  if (!address) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  StreamSendOptions sendOptions;
  sendOptions.loop = options.loop;
  if (options.bitrate) sendOptions.bitrateBps = *options.bitrate;
  if (options.seconds) sendOptions.maxSeconds = *options.seconds;
  StreamSendPlan plan;
  if (!PlanStreamSend(options.file, sendOptions, &plan, &error)) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return kExitFailure;
  }
  const double bitrate = plan.packetsPerSecond * plan.packetSize * 8.0;
  if (!options.quiet)
    std::fprintf(stderr, "vantrel-cli: sending %s to %s at %.6f Mbit/s (%s), %d-byte packets%s\n",
                 options.file.c_str(), FormatNetAddress(*address).c_str(), bitrate / 1e6,
                 plan.rateFromPcr ? "its PCR rate" : "--bitrate", plan.packetSize, options.loop ? ", in a loop" : "");
  std::atomic<bool> cancel{false};
  const bool progress = !options.quiet && StandardErrorIsTerminal();
  StreamSendOutcome outcome;
  {
    StopSignals stopSignals([&cancel] { cancel.store(true); });
    outcome = SendStreamFile(options.file, *address, plan, sendOptions, cancel, [&](uint64_t packets, double s) {
      if (progress)
        std::fprintf(stderr, "\r%.0f s  %llu packets  %.3f Mbit/s\033[K", s, static_cast<unsigned long long>(packets),
                     s > 0 ? packets * plan.packetSize * 8.0 / s / 1e6 : 0.0);
    });
  }
  if (progress) std::fputs("\r\033[K", stderr);
  if (!outcome.ok) {
    std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
    return kExitFailure;
  }
  if (!options.quiet) {
    // The rate between the first and the last datagram's send times.
    const uint64_t paced = outcome.packets > 0 ? outcome.packets - 1 : 0;
    std::fprintf(stderr, "vantrel-cli: sent %llu packets in %llu datagrams in %.3f s (%.6f Mbit/s)%s\n",
                 static_cast<unsigned long long>(outcome.packets), static_cast<unsigned long long>(outcome.datagrams),
                 outcome.seconds,
                 outcome.seconds > 0 ? paced * plan.packetSize * 8.0 / outcome.seconds / 1e6 : 0.0,
                 outcome.scheduleResets ? (", fell behind " + std::to_string(outcome.scheduleResets) + " times").c_str()
                                        : "");
  }
  return kExitOk;
}

CliCommandRegistration playCommand(
    "play", "Send a transport-stream file as a live stream over UDP or RTP",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<PlayOptions>();
      command.add_option("FILE", options->file, "Transport-stream file (188- or 204-byte packets)")->required();
      command.add_option("--to", options->to,
                         "udp://[SOURCE@]ADDRESS:PORT or rtp://... (?iface=NAME|ADDRESS for multicast, "
                         "?ttl=N, default 16)")
          ->required();
      command.add_option("--bitrate", options->bitrate,
                         "Bits a second of packet bytes (default: the file's own rate from its PCRs)")
          ->check(CLI::Range(1000.0, 10e9));
      command.add_flag("--loop", options->loop, "Start again at the end of the file");
      command.add_option("--seconds", options->seconds, "Stop after this many seconds")
          ->check(CLI::Range(0.001, 31536000.0));
      command.add_flag("-q,--quiet", options->quiet, "No lines on standard error but errors");
      command.footer(
          "Sends 7 packets a datagram (fewer at the end of the file), each datagram at its due "
          "time on one schedule from the first, so the rate holds over any length. rtp:// puts an "
          "RTP header before each (payload type 33, sequence numbers, 90 kHz timestamps of the "
          "schedule). A SOURCE@ address sends from that local address (for source-specific "
          "multicast). Ctrl-C stops it. Exit 0 when sent, 1 when the file cannot be sent, 2 on a "
          "usage error.");
      return [options] { return RunPlay(*options); };
    });

}  // namespace
