// The live stream of the open tuner box for the Stream Analysis window, as
// `vantrel-cli monitor` reads it: the box tuned with the stored channel, its
// stream ring fed to the health engine (and to whatever observes it), the
// signal read once a second. Runs on the window's worker thread until
// run->cancel.
#pragma once

#include <atomic>
#include <cstdint>

#include "analysis/health/health_file.h"

// What the window shows beside the health result; written by the worker.
struct LiveStatus {
  std::atomic<bool> streaming{false};  // tuned, the stream started
  std::atomic<bool> signalRead{false};
  std::atomic<int> strength{0};
  std::atomic<int> quality{0};
  std::atomic<int> locked{0};
  std::atomic<double> idleS{0};        // since the box last delivered bytes
  std::atomic<uint64_t> overruns{0};   // ring backlogs dropped as gaps
};

// Seconds without new bytes after which the window says the stream stalled.
constexpr double kLiveStallS = 3.0;

// The outcome's error says why it ended early: tuning failed, the stream did
// not start, the box stopped answering (unplugged). The stream is stopped
// before it returns, so the box can capture afterwards. `options` as for a
// file: prepare before the first byte, onBlock after each poll that brought
// bytes (bytesTotal -1), publishIntervalS; maxBytes is not used (a live
// stream runs until run->cancel).
HealthFileOutcome AnalyseLiveStream(const HealthLimits& limits, const HealthFileOptions& options, HealthFileRun* run,
                                    LiveStatus* status);
