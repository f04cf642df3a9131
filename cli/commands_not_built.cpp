// The Windows command line has the file and the tuner box commands: the
// network layers and the channel scan are not built for Windows yet. The
// commands that need them are still known there, and say so instead of
// "unknown command".
#include <cstdio>

#include "cli/command.h"
#include "platform/ui_hooks.h"

int SayNotInThisBuild(const char* what, NotBuiltPart part) {
  const char* englishTemplate =
      part == NotBuiltPart::Network
          ? "%s is not in this Windows build: the network layer is not built for Windows yet"
          : "%s is not in this Windows build: the channel scan is not built for Windows yet";
  std::fprintf(stderr, "vantrel-cli: %s\n", TranslateAndFill(englishTemplate, {what}).c_str());
  return kExitUsage;
}

namespace {

CliCommandRegistration NotBuilt(const char* name, NotBuiltPart part) {
  return CliCommandRegistration(name, "Not in this Windows build", [name, part](CLI::App& command) {
    command.allow_extras();
    return std::function<int()>([name, part] { return SayNotInThisBuild(name, part); });
  });
}

CliCommandRegistration notBuilt[] = {NotBuilt("monitor", NotBuiltPart::Network),
                                     NotBuilt("play", NotBuiltPart::Network),
                                     NotBuilt("scan", NotBuiltPart::ChannelScan)};

}  // namespace
