#include "cli/si_command.h"

#include <cstdio>

#include "analysis/si/si_file.h"
#include "cli/read_progress.h"

const char* const kSiCommandFooter =
    "Reads the whole input once through the stream health engine. Times are in UTC, from the "
    "stream's TDT/TOT (DVB) or STT (ATSC). Exit 0 when the input was read, 1 when it cannot be "
    "read or holds no transport stream, 2 on a usage error.";

void AddSiCommandOptions(CLI::App& command, SiCommandOptions& options) {
  command.add_option("FILE", options.input, "Transport-stream file, or - for standard input")->required();
  command.add_flag("--json", options.json, "Print the result as JSON");
  command.add_option("--max-bytes", options.maxBytes, "Read at most N bytes")->check(CliNumber(1, INT64_MAX));
}

int RunSiCommand(const SiCommandOptions& options,
                 const std::function<std::string(const SiReport&, const SiOutputSource&)>& print) {
  SiFileOptions fileOptions;
  if (options.maxBytes) fileOptions.maxBytes = static_cast<uint64_t>(*options.maxBytes);
  ReadProgress progress;
  fileOptions.onBlock = progress.OnBlockFor(options.input);
  SiFileOutcome outcome = ReadServiceInformation(options.input, HealthLimits{}, fileOptions);
  progress.Clear();
  if (!outcome.opened) {
    std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
    return kExitFailure;
  }
  if (outcome.readError) std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
  if (!outcome.health.everSynced) {
    std::fprintf(stderr, "vantrel-cli: %s\n",
                 NoTransportStreamText(options.input == "-" ? "the input" : options.input, outcome.health.bytes,
                                       HealthLimits{}.syncAcquirePackets)
                     .c_str());
    return kExitFailure;
  }
  const SiReport report(*outcome.si, outcome.health);
  const std::string text = print(report, SiOutputSource{options.input, outcome.health.partial});
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kExitFailure;
  return outcome.readError ? kExitFailure : kExitOk;
}
