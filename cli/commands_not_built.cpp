// The Windows command line has the file and the tuner box commands: the
// network layers and the channel scan are not built for Windows yet. The
// commands that need them are still known there, and say so instead of
// "unknown command".
#include <cstdio>

#include "cli/command.h"
#include "platform/ui_hooks.h"

namespace {

constexpr const char* kNetworkNotBuilt =
    "%s is not in this Windows build: the network layer is not built for Windows yet";
constexpr const char* kScanNotBuilt =
    "%s is not in this Windows build: the channel scan is not built for Windows yet";

CliCommandRegistration NotBuilt(const char* name, const char* englishTemplate) {
  return CliCommandRegistration(name, "Not in this Windows build", [name, englishTemplate](CLI::App& command) {
    command.allow_extras();
    return std::function<int()>([name, englishTemplate] {
      std::fprintf(stderr, "vantrel-cli: %s\n", TranslateAndFill(englishTemplate, {name}).c_str());
      return kExitUsage;
    });
  });
}

CliCommandRegistration notBuilt[] = {NotBuilt("monitor", kNetworkNotBuilt), NotBuilt("play", kNetworkNotBuilt),
                                     NotBuilt("scan", kScanNotBuilt)};

}  // namespace
