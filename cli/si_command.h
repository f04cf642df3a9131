// What the service information commands (services, tables, epg) share:
// the input options, reading through the engine, and the exit codes.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "analysis/si/si_output.h"
#include "cli/command.h"

struct SiCommandOptions {
  std::string input;
  bool json = false;
  std::optional<int64_t> maxBytes;
};

// FILE, --json and --max-bytes.
void AddSiCommandOptions(CLI::App& command, SiCommandOptions& options);

// Reads the input and prints what `print` makes of it. Exit 0 when read,
// 1 when it cannot be read or holds no transport stream.
int RunSiCommand(const SiCommandOptions& options,
                 const std::function<std::string(const SiReport&, const SiOutputSource&)>& print);

// The footer every one of these commands ends its --help with.
extern const char* const kSiCommandFooter;
