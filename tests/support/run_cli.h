// Runs the built vantrel-cli with arguments and captures what it printed.
#pragma once

#include <string>
#include <vector>

struct CliRun {
  int exitCode = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
};

// Runs VANTREL_BINARY_DIR/cli/vantrel-cli with `args` (no shell involved),
// stdin empty, and returns its exit code, stdout and stderr.
CliRun RunCli(const std::vector<std::string>& args);
