// `vantrel-cli packets`: the packet search of the "Searching Packets" dialog
// without the dialog. The PID condition is always on, as in the dialog.
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

#include "analysis/engine/ts_file.h"
#include "cli/command.h"
#include "device/tuner_device.h"

namespace {

struct PacketsOptions {
  std::string file;
  int pid = 0;
  std::optional<int> payloadUnitStart;
  std::optional<int> adaptation;
  std::optional<int64_t> maxMatches;
};

int RunPackets(const PacketsOptions& options) {
  ResetAnalysis();
  strTsFileName = options.file;
  if (!OpenTsFile()) {
    ResetAnalysis();
    return kExitFailure;
  }
  PacketFilter = PacketFilterRecord{};
  PacketFilter.pidEnable = 1;
  PacketFilter.pid = options.pid;
  if (options.payloadUnitStart) {
    PacketFilter.payloadUnitStartEnable = 1;
    PacketFilter.payloadUnitStart = *options.payloadUnitStart;
  }
  if (options.adaptation) {
    PacketFilter.adaptationEnable = 1;
    PacketFilter.adaptation = *options.adaptation;
  }
  int64_t matches = 0;
  if (ReadTsBlock()) {
    while ((!options.maxMatches || matches < *options.maxMatches) && NextPacket()) {
      if (!MatchPacketFilter()) continue;
      if (matches > 0) std::fputs("\n", stdout);
      std::fputs(WithNewlineEnds(PacketHeaderReport()).c_str(), stdout);
      ++matches;
    }
  }
  std::printf("Analyzed packets: %d\n", nPacketCount.load());
  ResetAnalysis();
  return std::fflush(stdout) == 0 ? kExitOk : kExitFailure;
}

CliCommandRegistration packetsCommand(
    "packets",
    "Search a transport-stream file for packets whose header matches the conditions and print "
    "each match's header fields",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<PacketsOptions>();
      command.add_option("FILE", options->file, "Transport-stream file of 188-byte packets")
          ->required();
      command.add_option("--pid", options->pid, "PID the packets must have (default 0)")
          ->check(CliNumber(0, kMaxPid));
      command.add_option("--pusi", options->payloadUnitStart,
                         "payload_unit_start_indicator the packets must have (0 or 1)")
          ->check(CliNumber(0, 1));
      command.add_option("--afc", options->adaptation,
                         "adaptation_field_control the packets must have (0 to 3)")
          ->check(CliNumber(0, 3));
      command.add_option("--max", options->maxMatches, "Stop after N matching packets")
          ->check(CliNumber(1, INT64_MAX));
      command.footer(
          "Numbers are decimal or 0x-hex. Prints the header fields of every matching packet, a "
          "blank line between packets, then the number of packets read.");
      return [options] { return RunPackets(*options); };
    });

}  // namespace
