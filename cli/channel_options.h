// Channel options of the commands that tune a box (tune, signal, capture),
// and opening the box for a command.
#pragma once

#include <CLI/CLI.hpp>

#include <cstdint>
#include <optional>
#include <string>

#include "capture/capture_settings.h"
#include "device/tuner_device.h"

struct ChannelOptions {
  std::optional<int64_t> frequency;     // MHz for satellite boxes, kHz otherwise
  std::optional<int64_t> bandwidthMHz;  // terrestrial
  std::optional<int64_t> symbolRate;    // ksymbol/s; satellite and cable
  std::optional<int64_t> qamOrder;      // cable: 16, 32, 64, 128, 256
  std::optional<std::string> polarisation;  // satellite: V or H
  std::optional<int64_t> iq;            // satellite: 0 or 1
};

// Declares --freq, --bw, --symbol-rate, --qam, --pol and --iq on `command`.
void AddChannelOptions(CLI::App& command, ChannelOptions& options);

// The fields of the settings dialog of `model`'s family as it would open
// (its profile section), with the values the options give replacing them;
// only the member of the family is filled. false, with the reason, as below.
struct ChannelFields {
  TunerFamily family = TunerFamily::None;
  DstFields dst;
  DctFields dct;
  DttFields dtt;
};
bool LoadChannelFields(const ChannelOptions& options, int model, ChannelFields* fields,
                       std::string* error);

// Fills the records for the family of `model` the way that family's settings
// dialog stores them, starting from the values the dialog would open with
// (its profile section) and replacing those the options give. Satellite boxes
// get nLnbNumber 1 and the LNB table from LNB1..LNB4. Nothing is written to
// the profile. false, with the reason, when an option does not belong to the
// family or the box belongs to no family.
bool BuildChannelRecords(const ChannelOptions& options, int model, ChannelSettings* channel,
                         CaptureSettings* capture, std::string* error);

// Declares --lock-timeout (seconds, 1..600) on `command`.
void AddLockTimeoutOption(CLI::App& command, std::optional<int64_t>& seconds);
// The lock time to use: the option, else the family's default.
uint32_t LockTimeoutMs(const std::optional<int64_t>& seconds, int model);

// The problem the box had (GetTunerProblem), as a line on stderr, and its
// exit status; kExitFailure with `otherwise` printed when there was none.
int ReportBoxProblem(const char* otherwise);
// Refuses, before anything is tuned, a box that streams for another program.
// true when the box is free (or cannot tell); else prints why.
bool CheckBoxIsFree();

// Declares --box on a command that opens the tuner box.
void AddBoxOption(CLI::App& command);

// Opens the box (the one --box chose, else the first present) and returns
// its model number (also cached in nTunerModel); a box chosen with --box is
// remembered in the profile for the desktop application. With no box, closes
// what was half opened, prints "No tuner box found." (and which box was
// looked for where, after a --box) on stderr and returns -1.
int OpenTunerBoxForCli();
// The exit code for the last OpenTunerBoxForCli that returned -1: 1 for no
// box, or the box problem's (a box that did not answer its model query: 7).
int OpenBoxExitCode();
