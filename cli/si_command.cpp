#include "cli/si_command.h"

#include <unistd.h>

#include <chrono>
#include <cstdio>

#include "analysis/si/si_file.h"

namespace {

constexpr int64_t kProgressMinBytes = 100'000'000;

}  // namespace

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
  bool progressShown = false;
  auto next = std::chrono::steady_clock::now();
  if (options.input != "-" && ::isatty(STDERR_FILENO) == 1)
    fileOptions.onBlock = [&](uint64_t done, int64_t total) {
      if (total < kProgressMinBytes) return;
      const auto now = std::chrono::steady_clock::now();
      if (progressShown && now < next) return;
      next = now + std::chrono::milliseconds(250);
      std::fprintf(stderr, "\rReading %3d%%  %.1f of %.1f MB\033[K", static_cast<int>(done * 100 / static_cast<uint64_t>(total)),
                   done / 1e6, total / 1e6);
      progressShown = true;
    };
  SiFileOutcome outcome = ReadServiceInformation(options.input, HealthLimits{}, fileOptions);
  if (progressShown) std::fputs("\r\033[K", stderr);
  if (!outcome.opened) {
    std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
    return kExitFailure;
  }
  if (outcome.readError) std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
  if (!outcome.health.everSynced) {
    std::fprintf(stderr, "vantrel-cli: %s holds no transport stream (%llu bytes, no run of %d sync bytes)\n",
                 options.input == "-" ? "the input" : options.input.c_str(),
                 static_cast<unsigned long long>(outcome.health.bytes), HealthLimits{}.syncAcquirePackets);
    return kExitFailure;
  }
  const SiReport report(*outcome.si, outcome.health);
  const std::string text = print(report, SiOutputSource{options.input, outcome.health.partial});
  std::fwrite(text.data(), 1, text.size(), stdout);
  if (std::fflush(stdout) != 0 || std::ferror(stdout)) return kExitFailure;
  return outcome.readError ? kExitFailure : kExitOk;
}
