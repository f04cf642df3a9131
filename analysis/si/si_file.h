// Reads a file or standard input through the stream health engine with a
// SiCollector attached: the service information and the stream's health
// from one pass.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "analysis/health/stream_health.h"
#include "analysis/si/si_collector.h"

struct SiFileOptions {
  uint64_t maxBytes = 0;  // 0: all
  const std::atomic<bool>* cancel = nullptr;  // set: stop at the next block (the result is partial)
  std::function<void(uint64_t bytesDone, int64_t bytesTotal)> onBlock;
};

struct SiFileOutcome {
  bool opened = false;     // false: `error` says why
  std::string error;
  bool readError = false;  // the input failed part-way; the result is partial
  HealthResult health;     // health.partial when stopped early
  std::unique_ptr<SiCollector> si;
};

SiFileOutcome ReadServiceInformation(const std::string& path, const HealthLimits& limits = {},
                                     const SiFileOptions& options = {});
