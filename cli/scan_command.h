// Capture by service (`vantrel-cli capture --service`), run by the capture
// command and built beside `scan` in cmd_scan.cpp.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "cli/channel_options.h"

struct ServiceCaptureOptions {
  std::string service;        // name or service_id
  std::string channelsFile;   // DVBv5 channel file
  std::string keepSi;         // comma list of SI tables to keep
  ChannelOptions channel;     // only to refuse tuning options given beside --service
  std::optional<int64_t> seconds;
  std::optional<int64_t> megabytes;
  std::optional<int64_t> lockSeconds;
  std::string output;
  bool force = false;
};

// The default channel file of capture --service (the dvbv5 tools' name).
constexpr const char* kDefaultChannelsFile = "dvb_channel.conf";
// Not the SDT: it names every service of the multiplex, and players (ffprobe)
// would list the others as empty programs.
constexpr const char* kDefaultKeptSi = "nit,eit,tdt";

int RunServiceCaptureCommand(const ServiceCaptureOptions& options);
