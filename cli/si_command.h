// What the service information commands (services, tables, epg) share:
// the input options, reading through the engine, and the exit codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "analysis/health/stream_health.h"
#include "analysis/si/si_file.h"
#include "analysis/si/si_output.h"
#include "cli/command.h"

struct SiCommandOptions {
  std::string input;
  bool json = false;
  std::optional<int64_t> maxBytes;
};

// The priority 3 options of analyze and monitor: which service information
// the stream carries, and the limits of TR 101 290 / TR 101 211.
struct SiLimitOptions {
  std::string si = "auto";
  std::optional<int64_t> nitIntervalS, sdtIntervalS, eitIntervalS, tdtIntervalS, otherIntervalS,
      scheduleIntervalS, laterScheduleIntervalS, minIntervalMs, unreferencedPidMs;
};
void AddSiLimitOptions(CLI::App& command, SiLimitOptions& options);
void ApplySiLimitOptions(const SiLimitOptions& options, HealthLimits& limits);

// FILE, --json and --max-bytes.
void AddSiCommandOptions(CLI::App& command, SiCommandOptions& options);

// Reads a file or standard input through the engine, its progress shown on
// a terminal. A stop request (Ctrl-C, SIGTERM, SIGHUP) ends the reading, and
// the outcome covers what was read (health.partial).
SiFileOutcome ReadSiInput(const std::string& input, const HealthLimits& limits, SiFileOptions fileOptions);

// Reads the input and prints what `print` makes of it. Exit 0 when read,
// 1 when it cannot be read or holds no transport stream.
int RunSiCommand(const SiCommandOptions& options,
                 const std::function<std::string(const SiReport&, const SiOutputSource&)>& print);

// The footer every one of these commands ends its --help with.
extern const char* const kSiCommandFooter;
