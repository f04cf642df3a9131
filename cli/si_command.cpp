#include "cli/si_command.h"

#include <cstdio>

#include "analysis/si/si_file.h"
#include "cli/read_progress.h"
#include "platform/stop_signals.h"

const char* const kSiCommandFooter =
    "Reads the whole input once through the stream health engine; Ctrl-C ends the reading, and what "
    "was read is then the result, marked as not read to its end. Times are in UTC, from the "
    "stream's TDT/TOT (DVB) or STT (ATSC). Exit 0 when the input was read, 1 when it cannot be "
    "read or holds no transport stream, 2 on a usage error.";

void AddSiLimitOptions(CLI::App& command, SiLimitOptions& o) {
  command
      .add_option("--si", o.si,
                  "Service information the stream carries, for the priority 3 checks: auto (DVB when DVB SI "
                  "beyond a lone SDT, or a network PID, is seen; ATSC when PSIP is; neither: no priority 3 verdict), dvb, atsc, none")
      ->check(CLI::IsMember({"auto", "dvb", "atsc", "none"}));
  command.add_option("--nit-interval-s", o.nitIntervalS, "NIT_error: a NIT section on PID 0x0010 at least every N s (default 10)")
      ->check(CliNumber(1, 86400));
  command.add_option("--sdt-interval-s", o.sdtIntervalS, "SDT_error: SDT actual at least every N s (default 2)")
      ->check(CliNumber(1, 86400));
  command.add_option("--eit-interval-s", o.eitIntervalS,
                     "EIT_error: EIT present/following actual at least every N s (default 2)")
      ->check(CliNumber(1, 86400));
  command.add_option("--tdt-interval-s", o.tdtIntervalS, "TDT_error: TDT (and TOT) at least every N s (default 30)")
      ->check(CliNumber(1, 86400));
  command.add_option("--si-other-interval-s", o.otherIntervalS,
                     "NIT, SDT and EIT present/following of other networks and streams, and BAT, once seen: at "
                     "least every N s (default 10)")
      ->check(CliNumber(1, 86400));
  command.add_option("--eit-schedule-interval-s", o.scheduleIntervalS,
                     "SI_repetition_error: each EIT schedule sub-table of the first 8 days (table_ids 0x50, 0x51, "
                     "0x60, 0x61) at least every N s once seen (default 10)")
      ->check(CliNumber(1, 86400));
  command.add_option("--eit-schedule-later-interval-s", o.laterScheduleIntervalS,
                     "SI_repetition_error: each EIT schedule sub-table beyond 8 days at least every N s once seen "
                     "(default 30)")
      ->check(CliNumber(1, 86400));
  command.add_option("--si-min-interval-ms", o.minIntervalMs,
                     "SI_repetition_error: from the end of a section of an SI sub-table to the start of the next, at least "
                     "N ms (default 25)")
      ->check(CliNumber(0, 100000));
  command.add_option("--unreferenced-pid-ms", o.unreferencedPidMs,
                     "Unreferenced_PID: a PID the PSI does not name within N ms of its first packet, or whose packets "
                     "go on N ms after the PSI stopped naming it (default 500)")
      ->check(CliNumber(1, 86400000));
}

void ApplySiLimitOptions(const SiLimitOptions& o, HealthLimits& limits) {
  if (o.si == "dvb") limits.si = SiStandard::Dvb;
  if (o.si == "atsc") limits.si = SiStandard::Atsc;
  if (o.si == "none") limits.si = SiStandard::None;
  auto seconds = [](const std::optional<int64_t>& value, double& field, double unit) {
    if (value) field = static_cast<double>(*value) * unit;
  };
  seconds(o.nitIntervalS, limits.nitIntervalS, 1);
  seconds(o.sdtIntervalS, limits.sdtIntervalS, 1);
  seconds(o.eitIntervalS, limits.eitIntervalS, 1);
  seconds(o.tdtIntervalS, limits.tdtIntervalS, 1);
  seconds(o.otherIntervalS, limits.nitOtherIntervalS, 1);
  seconds(o.otherIntervalS, limits.sdtOtherIntervalS, 1);
  seconds(o.otherIntervalS, limits.eitOtherIntervalS, 1);
  seconds(o.otherIntervalS, limits.batIntervalS, 1);
  seconds(o.scheduleIntervalS, limits.eitScheduleIntervalS, 1);
  seconds(o.laterScheduleIntervalS, limits.eitScheduleLaterIntervalS, 1);
  seconds(o.minIntervalMs, limits.siMinIntervalS, 1e-3);
  seconds(o.unreferencedPidMs, limits.unreferencedPidS, 1e-3);
}

void AddSiCommandOptions(CLI::App& command, SiCommandOptions& options) {
  command.add_option("FILE", options.input, "Transport-stream file, or - for standard input")->required();
  command.add_flag("--json", options.json, "Print the result as JSON");
  command.add_option("--max-bytes", options.maxBytes, "Read at most N bytes")->check(CliNumber(1, INT64_MAX));
}

SiFileOutcome ReadSiInput(const std::string& input, const HealthLimits& limits, SiFileOptions fileOptions) {
  ReadProgress progress;
  fileOptions.onBlock = progress.OnBlockFor(input);
  HealthFileRun run;
  SiFileOutcome outcome;
  {
    // A pipe from a tuner or a network tool has no end of its own: Ctrl-C
    // ends it, and what came is the result.
    StopSignals stopSignals([&run] { run.cancel.store(true); });
    outcome = ReadServiceInformation(input, limits, fileOptions, &run);
  }
  progress.Clear();
  if (run.cancel.load() && outcome.opened) {
    // Also when the input ended with the stop (the writer of a pipe is
    // stopped by the same Ctrl-C): the user ended it, not the stream.
    outcome.health.partial = true;
    std::fputs("vantrel-cli: stopped; the result covers what was read\n", stderr);
  }
  return outcome;
}

int RunSiCommand(const SiCommandOptions& options,
                 const std::function<std::string(const SiReport&, const SiOutputSource&)>& print) {
  SiFileOptions fileOptions;
  if (options.maxBytes) fileOptions.maxBytes = static_cast<uint64_t>(*options.maxBytes);
  SiFileOutcome outcome = ReadSiInput(options.input, HealthLimits{}, fileOptions);
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
