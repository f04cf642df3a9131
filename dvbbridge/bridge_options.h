// Command line of vantrel-dvbbridge.
#pragma once

#include <optional>
#include <string>

#include "dvbbridge/dvb_box.h"

struct BridgeOptions {
  std::optional<unsigned> adapter;      // none: the first frontend found
  unsigned frontend = 0;
  std::string deviceDirectory;          // empty: the default directory
  std::string journalPath;              // empty: no journal
  bool list = false;
  std::optional<BoxFamily> system;      // --system: the family a combined frontend presents
  std::optional<BoxFamily> dryRun;      // --dry-run SYSTEM
  std::string streamPath;               // --stream FILE (dry run only)
};

enum class ParseOutcome { Run, Help, Error };

// On Help, *text is the usage; on Error, *text is the message (one line).
ParseOutcome ParseBridgeOptions(int argc, const char* const* argv, BridgeOptions* options,
                                std::string* text);
