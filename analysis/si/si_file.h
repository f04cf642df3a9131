// Reads a file or standard input through the stream health engine with a
// SiCollector attached: the service information and the stream's health
// from one pass.
#pragma once

#include <memory>
#include <string>

#include "analysis/health/health_file.h"
#include "analysis/health/stream_health.h"
#include "analysis/si/si_collector.h"

// maxBytes, onBlock as for AnalyseHealthFile; `prepare` runs before the
// collector is attached.
using SiFileOptions = HealthFileOptions;

struct SiFileOutcome {
  bool opened = false;     // false: `error` says why
  std::string error;
  bool readError = false;  // the input failed part-way; the result is partial
  HealthResult health;     // health.partial when stopped early
  std::unique_ptr<SiCollector> si;
};

SiFileOutcome ReadServiceInformation(const std::string& path, const HealthLimits& limits = {},
                                     const SiFileOptions& options = {}, HealthFileRun* run = nullptr);
