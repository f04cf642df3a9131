// Runs a built program (vantrel-cli by default) with arguments and captures
// what it printed.
#pragma once

#include <string>
#include <vector>

struct CliRun {
  int exitCode = -1;  // -1 when the program could not be started or did not exit normally
  std::string out;
  std::string err;
};

// Runs `program` with `args` (no shell involved), stdin empty, with the
// environment changed by `envChanges` (NAME=VALUE sets, NAME alone removes);
// killed after `limitS` seconds when that is above 0 (exitCode -1 then).
CliRun RunProgram(const std::string& program, const std::vector<std::string>& args,
                  const std::vector<std::string>& envChanges = {}, int limitS = 0);

// Runs VANTREL_BINARY_DIR/cli/vantrel-cli with `args` (no shell involved),
// stdin empty, and returns its exit code, stdout and stderr.
CliRun RunCli(const std::vector<std::string>& args);
