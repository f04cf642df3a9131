// The Windows command line has the file commands only: the tuner box and the
// network layers are not built for Windows yet. The commands that need them
// are still known there, and say so instead of "unknown command".
#include <cstdio>

#include "cli/channel_options.h"
#include "cli/command.h"
#include "platform/ui_hooks.h"

void AddBoxOption(CLI::App&) {}

namespace {

CliCommandRegistration NotBuilt(const char* name) {
  return CliCommandRegistration(name, "Not in this Windows build", [name](CLI::App& command) {
    command.allow_extras();
    return std::function<int()>([name] {
      std::fprintf(stderr, "vantrel-cli: %s\n",
                   TranslateAndFill("%s is not in this Windows build: the tuner box and network layers are "
                                    "not built for Windows yet",
                                    {name})
                       .c_str());
      return kExitUsage;
    });
  });
}

CliCommandRegistration notBuilt[] = {NotBuilt("device"),  NotBuilt("tune"),    NotBuilt("signal"),
                                     NotBuilt("lnb"),     NotBuilt("capture"), NotBuilt("monitor"),
                                     NotBuilt("scan"),    NotBuilt("play"),    NotBuilt("packets")};

}  // namespace
