// Command line of vantrel-boxsim.
#pragma once

#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "boxserver/box_protocol.h"

struct BoxSimOptions {
  std::vector<BoxKind> kinds;            // one box per kind, all in one directory
  std::string modelCode = "KJNRG8";      // bus kind: six characters
  bool streamInterface = true;           // bus kind publishes class BS
  std::string deviceDirectory;           // empty: the default directory
  std::string journalPath;               // empty: no journal
  int64_t lockMs = 300;
  bool anyChannel = true;                // no --channels list
  std::set<uint32_t> channels;           // kHz, or MHz for satellite boxes
  bool neverReady = false;
  int strength = 75;                     // percent
  int quality = 60;                      // percent
  bool wobble = false;
  std::string streamPath;                // empty: a generated stream
  std::string networkPath;               // --network: transponders with their own streams
  uint64_t bitrate = 20000000;           // bits per second
  bool noSync = false;
  std::set<uint32_t> failCodes;
  std::set<uint32_t> hangCodes;          // received but never answered
  int64_t failAfterMs = -1;              // -1: never
  int64_t stallAfterMs = -1;
  bool showVersion = false;              // --version: print the version, play nothing
};

// Parses argv; on failure returns false with a message in *error. --help
// sets *showHelp and returns true.
bool ParseBoxSimOptions(int argc, char** argv, BoxSimOptions* options, bool* showHelp,
                        std::string* error);

const char* BoxSimUsage();
