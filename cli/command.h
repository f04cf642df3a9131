// Sub-commands of vantrel-cli register themselves with one static object per
// command file; main() builds the option parser from the registry.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

// Exit codes shared by every sub-command.
constexpr int kExitOk = 0;
constexpr int kExitFailure = 1;
constexpr int kExitUsage = 2;
// Exit codes of the commands that use the tuner box's stream.
constexpr int kExitDataLost = 3;       // capture: stream data lost
constexpr int kExitStalled = 4;        // the stream stalled
constexpr int kExitNoLock = 5;         // the tuner did not lock within the lock time
constexpr int kExitBoxInUse = 6;       // the box streams for another program
constexpr int kExitNotAnswering = 7;   // a request got no answer within its time limit

// setup() declares the sub-command's options on `command` and returns the
// function that runs it once the command line has been parsed.
using CommandSetup = std::function<std::function<int()>(CLI::App& command)>;

struct CliCommandRegistration {
  CliCommandRegistration(const char* name, const char* description, CommandSetup setup);
};

// A number given as decimal or as 0x-hex ("256", "0x100"); nothing else.
std::optional<int64_t> ParseCliNumber(const std::string& text);

// CLI11 validator that accepts what ParseCliNumber accepts within [min, max].
CLI::Validator CliNumber(int64_t min, int64_t max);

// The engine's reports end their lines with "\r\n"; a terminal wants "\n".
std::string WithNewlineEnds(const std::string& report);

// "NAME holds no transport stream (N bytes, no run of R sync bytes)": what
// analyze, pat, pmt and sdt say of an input without one.
std::string NoTransportStreamText(const std::string& name, uint64_t bytes, int syncRun);

// Installs the command line's UI hooks: messages go to stderr; no file dialog.
void InstallCliUiHooks();

// Windows builds: what a command needs that is not built there. Says so on
// stderr ("WHAT is not in this Windows build: ...") and returns kExitUsage.
enum class NotBuiltPart { Network, ChannelScan };
int SayNotInThisBuild(const char* what, NotBuiltPart part);
