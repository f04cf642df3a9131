#include <cstdio>
#include <map>
#include <vector>

#include "cli/channel_options.h"
#include "cli/command.h"
#include "platform/files.h"
#include "platform/profile.h"
#include "platform/ui_hooks.h"
#include "platform/version.h"

namespace {

struct Registered {
  std::string name;
  std::string description;
  CommandSetup setup;
};

std::vector<Registered>& Registry() {
  static std::vector<Registered> registry;
  return registry;
}

// The commands that open the tuner box, and those that read the stored settings.
constexpr const char* kBoxCommands[] = {"device", "tune", "signal", "capture", "monitor", "scan"};
constexpr const char* kProfileCommands[] = {"tune", "signal", "lnb", "capture", "monitor", "scan"};

template <size_t N>
bool NameIn(const std::string& name, const char* const (&names)[N]) {
  for (const char* each : names)
    if (name == each) return true;
  return false;
}

// A profile that cannot be read is neither used nor rewritten; the user
// hears where and why before the command's own output.
void WarnAboutAnUnreadableProfile() {
  const std::string problem = ProfileReadProblem();
  if (problem.empty()) return;
  std::fprintf(stderr,
               "vantrel-cli: the settings file %s cannot be read (%s): the stored settings are not used "
               "and the file is left as it is\n",
               GetProfilePath().c_str(), problem.c_str());
}

}  // namespace

CliCommandRegistration::CliCommandRegistration(const char* name, const char* description,
                                               CommandSetup setup) {
  Registry().push_back({name, description, std::move(setup)});
}

std::optional<int64_t> ParseCliNumber(const std::string& text) {
  if (text.empty() || text.size() > 20) return std::nullopt;
  int base = 10;
  size_t start = 0;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    start = 2;
  }
  int64_t value = 0;
  for (size_t i = start; i < text.size(); ++i) {
    char c = text[i];
    int digit;
    if (c >= '0' && c <= '9') digit = c - '0';
    else if (base == 16 && c >= 'a' && c <= 'f') digit = c - 'a' + 10;
    else if (base == 16 && c >= 'A' && c <= 'F') digit = c - 'A' + 10;
    else return std::nullopt;
    if (value > (INT64_MAX - digit) / base) return std::nullopt;
    value = value * base + digit;
  }
  return value;
}

CLI::Validator CliNumber(int64_t min, int64_t max) {
  return CLI::Validator(
      [min, max](std::string& text) -> std::string {
        auto value = ParseCliNumber(text);
        if (!value) return "'" + text + "' is not a decimal or 0x-hex number";
        if (*value < min || *value > max)
          return "'" + text + "' is outside " + std::to_string(min) + ".." + std::to_string(max);
        text = std::to_string(*value);
        return {};
      },
      "NUMBER");
}

std::string WithNewlineEnds(const std::string& report) {
  std::string text;
  text.reserve(report.size());
  // Only line ends change: a lone CR inside a name is data and stays.
  for (size_t i = 0; i < report.size(); ++i)
    if (!(report[i] == '\r' && i + 1 < report.size() && report[i + 1] == '\n')) text += report[i];
  return text;
}

std::string NoTransportStreamText(const std::string& name, uint64_t bytes, int syncRun) {
  return name + " holds no transport stream (" + std::to_string(bytes) + " bytes, no run of " +
         std::to_string(syncRun) + " sync bytes)";
}

void InstallCliUiHooks() {
  UiHooks hooks;
  hooks.showMessage = [](const std::string& text) { std::fprintf(stderr, "%s\n", text.c_str()); };
  hooks.askOpenFile = [](const std::string&, const std::string&, std::string&) { return false; };
  InstallUiHooks(hooks);
}

int main(int argc, char** argv) {
  argv = Utf8Arguments(argc, argv);
  SetStandardStreamsBinary();
  CLI::App app{"Vantrel command line: transport-stream analysis and tuner box tools", "vantrel-cli"};
  // Arguments are never "/option": on Windows CLI11 would otherwise take an
  // absolute path such as /tmp/x.ts for one. Set before the sub-commands,
  // which copy it when they are made.
  app.allow_windows_style_options(false);
  app.require_subcommand(1, 1);
  app.set_version_flag("--version", std::string("vantrel-cli ") + kVantrelVersion);
  std::map<CLI::App*, std::function<int()>> runners;
  for (Registered& command : Registry()) {
    CLI::App* sub = app.add_subcommand(command.name, command.description);
    runners[sub] = command.setup(*sub);
    if (NameIn(command.name, kBoxCommands)) AddBoxOption(*sub);
  }
  try {
    app.parse(argc, argv);
  } catch (const CLI::CallForHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForAllHelp& e) {
    return app.exit(e);
  } catch (const CLI::CallForVersion& e) {
    return app.exit(e);
  } catch (const CLI::ParseError& e) {
    std::fprintf(stderr, "vantrel-cli: %s\n", e.what());
    return kExitUsage;
  }
  InstallCliUiHooks();
  for (auto& [sub, run] : runners) {
    if (!sub->parsed()) continue;
    if (NameIn(sub->get_name(), kProfileCommands)) WarnAboutAnUnreadableProfile();
    return run();
  }
  return kExitUsage;
}
