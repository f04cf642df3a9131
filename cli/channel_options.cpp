#include "cli/channel_options.h"

#include <cstdio>

#include "capture/capture_settings.h"
#include "cli/command.h"
#include "platform/profile.h"
#include "platform/ui_hooks.h"

void AddChannelOptions(CLI::App& command, ChannelOptions& options) {
  command.add_option("--freq", options.frequency, "Frequency: MHz for satellite boxes, kHz otherwise")
      ->check(CliNumber(0, UINT32_MAX));
  command.add_option("--bw", options.bandwidthMHz, "Bandwidth in MHz (terrestrial boxes)")
      ->check(CLI::IsMember({6, 7, 8}));
  command.add_option("--symbol-rate", options.symbolRate,
                     "Symbol rate in ksymbol/s (satellite and cable boxes)")
      ->check(CliNumber(0, UINT32_MAX));
  command.add_option("--qam", options.qamOrder, "QAM order (cable boxes)")
      ->check(CLI::IsMember({16, 32, 64, 128, 256}));
  command.add_option("--pol", options.polarisation, "Polarisation V or H (satellite boxes)")
      ->check(CLI::IsMember({"V", "H"}));
  command.add_option("--iq", options.iq, "Spectral inversion 0 or 1 (satellite boxes)")
      ->check(CLI::IsMember({0, 1}));
}

namespace {

int QamIndexOf(int64_t qamOrder) {
  int index = 0;
  while (index < 4 && (16 << index) != qamOrder) ++index;
  return index;
}

// The options a family's dialog has no field for.
bool RefuseForeignOptions(const ChannelOptions& options, TunerFamily family, std::string* error) {
  struct Check {
    bool given;
    const char* name;
    bool allowed;
  };
  const Check checks[] = {
      {options.bandwidthMHz.has_value(), "--bw", family == TunerFamily::Terrestrial},
      {options.symbolRate.has_value(), "--symbol-rate",
       family == TunerFamily::Satellite || family == TunerFamily::Cable},
      {options.qamOrder.has_value(), "--qam", family == TunerFamily::Cable},
      {options.polarisation.has_value(), "--pol", family == TunerFamily::Satellite},
      {options.iq.has_value(), "--iq", family == TunerFamily::Satellite},
  };
  for (const Check& check : checks) {
    if (check.given && !check.allowed) {
      *error = std::string(check.name) + " does not apply to this box";
      return false;
    }
  }
  return true;
}

std::string RangeText(const ChannelFieldRange& range) {
  std::string text = std::to_string(range.min) + ".." + std::to_string(range.max);
  if (*range.unit) text += std::string(" ") + range.unit;
  return text;
}

// Values the box's tuning request cannot carry: the options by their names,
// then what the profile gave for the rest.
bool RefuseValuesOutOfRange(const ChannelOptions& options, int model, const ChannelFields& fields,
                            std::string* error) {
  struct Given {
    const std::optional<int64_t>& value;
    const char* name;
    int word;
  };
  const Given given[] = {{options.frequency, "--freq", 0},   {options.symbolRate, "--symbol-rate", 1},
                         {options.bandwidthMHz, "--bw", 1}, {options.qamOrder, "--qam", 2},
                         {options.iq, "--iq", 3}};
  ChannelFieldRange range;
  for (const Given& option : given) {
    if (!option.value || IsChannelFieldValid(model, option.word, *option.value)) continue;
    GetChannelFieldRange(model, option.word, &range);
    *error = std::string(option.name) + " " + std::to_string(*option.value) + " is outside " +
             RangeText(range) + " for this box";
    return false;
  }
  ChannelSettings channel{};
  CaptureSettings capture{};
  switch (fields.family) {
    case TunerFamily::Satellite: FillDstRecords(fields.dst, &channel, &capture); break;
    case TunerFamily::Cable: FillDctRecords(fields.dct, &channel, &capture); break;
    default: FillDttRecords(fields.dtt, &channel, &capture); break;
  }
  const int word = FindChannelFieldOutOfRange(model, channel);
  if (word < 0) return true;
  GetChannelFieldRange(model, word, &range);
  *error = std::string("the stored ") + range.name + " " + std::to_string(channel.words[word]) +
           " (settings profile) is outside " + RangeText(range) + " for this box; give it as an option";
  return false;
}

}  // namespace

bool LoadChannelFields(const ChannelOptions& options, int model, ChannelFields* fields,
                       std::string* error) {
  const TunerFamily family = GetTunerFamily(model);
  if (family == TunerFamily::None) {
    *error = "model " + std::to_string(model) + " has no channel settings";
    return false;
  }
  if (!RefuseForeignOptions(options, family, error)) return false;
  const auto value = [](const std::optional<int64_t>& given, uint32_t stored) {
    return given ? static_cast<uint32_t>(*given) : stored;
  };
  fields->family = family;
  switch (family) {
    case TunerFamily::Satellite: {
      DstFields& dst = fields->dst;
      dst = LoadDstSettings(false);
      dst.frequencyMHz = value(options.frequency, dst.frequencyMHz);
      dst.symbolRate = value(options.symbolRate, dst.symbolRate);
      dst.iq = value(options.iq, dst.iq);
      if (options.polarisation) dst.polarisationIndex = *options.polarisation == "H" ? 1 : 0;
      break;
    }
    case TunerFamily::Cable: {
      DctFields& dct = fields->dct;
      dct = LoadDctSettings();
      dct.frequencyKHz = value(options.frequency, dct.frequencyKHz);
      dct.symbolRate = value(options.symbolRate, dct.symbolRate);
      if (options.qamOrder) dct.qamIndex = QamIndexOf(*options.qamOrder);
      break;
    }
    default: {
      DttFields& dtt = fields->dtt;
      dtt = LoadDttSettings();
      dtt.frequencyKHz = value(options.frequency, dtt.frequencyKHz);
      dtt.bandwidthMHz = value(options.bandwidthMHz, dtt.bandwidthMHz);
      break;
    }
  }
  return RefuseValuesOutOfRange(options, model, *fields, error);
}

bool BuildChannelRecords(const ChannelOptions& options, int model, ChannelSettings* channel,
                         CaptureSettings* capture, std::string* error) {
  ChannelFields fields;
  if (!LoadChannelFields(options, model, &fields, error)) return false;
  switch (fields.family) {
    case TunerFamily::Satellite: FillDstRecords(fields.dst, channel, capture); break;
    case TunerFamily::Cable: FillDctRecords(fields.dct, channel, capture); break;
    default: FillDttRecords(fields.dtt, channel, capture); break;
  }
  return true;
}

void AddLockTimeoutOption(CLI::App& command, std::optional<int64_t>& seconds) {
  command.add_option("--lock-timeout", seconds,
                     "Seconds to wait for the tuner to lock after the tune (default: 10 for "
                     "satellite boxes, 6 for the others)")
      ->check(CliNumber(1, 600));
}

uint32_t LockTimeoutMs(const std::optional<int64_t>& seconds, int model) {
  return seconds ? static_cast<uint32_t>(*seconds) * 1000 : GetDefaultLockTimeoutMs(model);
}

int ReportBoxProblem(const char* otherwise) {
  const TunerProblemReport problem = GetTunerProblem();
  switch (problem.problem) {
    case TunerProblem::InUse:
      std::fprintf(stderr, "vantrel-cli: the box is in use by another program (PID %u)\n", problem.ownerPid);
      return kExitBoxInUse;
    case TunerProblem::NotAnswering:
      std::fprintf(stderr, "vantrel-cli: the box did not answer within %u s\n", (problem.timeoutMs + 500) / 1000);
      return kExitNotAnswering;
    case TunerProblem::Gone:
      std::fputs("vantrel-cli: the box stopped answering (unplugged?)\n", stderr);
      return kExitFailure;
    case TunerProblem::None:
      break;
  }
  std::fprintf(stderr, "vantrel-cli: %s\n", otherwise);
  return kExitFailure;
}

bool CheckBoxIsFree() {
  ClearTunerProblem();
  return GetBoxStreamOwner() <= 0;
}

namespace {
std::optional<std::string> chosenBox;  // --box as given
int openExitCode = kExitFailure;       // of the last OpenTunerBoxForCli that failed
}  // namespace

void AddBoxOption(CLI::App& command) {
  command
      .add_option("--box", chosenBox,
#ifdef _WIN32
                  "Which tuner box, when several are present: t, a, s, bus, a#N or bus#N (interface N of "
                  "the class), or a box's device path (default: the first present, in the order t, a, s, "
                  "bus)")
#else
                  "Which tuner box, when several are present: t, a, s, bus, or the path of a box's socket "
                  "in a device folder (default: the first present, in that order). Remembered for the "
                  "desktop application")
#endif
      ->check(CLI::Validator(
          [](std::string& text) {
            TunerBoxChoice choice;
            std::string error;
            return ParseTunerBoxChoice(text, &choice, &error) ? std::string() : error;
          },
          ""))
      ->type_name("t|a|s|bus|PATH");
}

int OpenTunerBoxForCli() {
  openExitCode = kExitFailure;
  if (!kBuildTalksToBoxes) {
    std::fprintf(stderr, "%s\n",
                 TranslateText("This 64-bit Windows build serves file analysis and does not open tuner boxes: the "
                               "boxes' drivers hand the stream to 32-bit programs only. Use the 32-bit (i686) "
                               "build to talk to a tuner box.")
                     .c_str());
    return -1;
  }
  TunerBoxChoice choice;
  if (chosenBox) {
    std::string error;
    ParseTunerBoxChoice(*chosenBox, &choice, &error);  // checked by the option
    SelectTunerBox(choice, true);
  }
  if (!OpenTunerDevice()) {
    CloseTunerDevice();
    if (chosenBox)
      std::fprintf(stderr, "No tuner box found: no %s box (--box %s) in %s.\n",
                   TunerBoxKindName(choice.kind).c_str(), chosenBox->c_str(), GetDeviceDirectory().c_str());
    else
      std::fputs("No tuner box found.\n", stderr);
    return -1;
  }
  if (chosenBox && !StoreTunerBoxChoice(TunerBoxChoiceText(choice)))
    std::fprintf(stderr, "vantrel-cli: warning: the chosen box could not be remembered in %s: %s\n",
                 GetProfilePath().c_str(), LastProfileWriteProblem().c_str());
  // A box that does not answer the model query would be taken for model 1.
  ClearTunerProblem();
  const int model = GetTunerModel();
  if (GetTunerProblem().problem != TunerProblem::None) {
    openExitCode = ReportBoxProblem("the box did not say its model");
    CloseTunerDevice();
    return -1;
  }
  nTunerModel.store(model);
  return model;
}

int OpenBoxExitCode() { return openExitCode; }
