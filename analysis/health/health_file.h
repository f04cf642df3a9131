// Running the stream health engine over a file, a named pipe or standard
// input, on the calling thread, with what a polling display needs: progress
// in bytes, a cancel flag and the latest result, all safe to read from
// another thread.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

#include "analysis/health/stream_health.h"

// Shared between the thread that reads (AnalyseHealthFile) and the thread
// that shows the progress (a window's timer, a progress line).
class HealthFileRun {
public:
  std::atomic<uint64_t> bytesDone{0};
  std::atomic<int64_t> bytesTotal{-1};  // -1: not known (a pipe)
  std::atomic<bool> cancel{false};      // set to stop at the next block; the result is partial
  std::atomic<bool> done{false};

  // The result as of the last publication (a copy).
  HealthResult Latest() const { return *LatestShared(); }
  // The same without a copy: the lock is held only to take the pointer, so
  // that a display polling it never holds up the reading thread.
  std::shared_ptr<const HealthResult> LatestShared() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return latest_;
  }
  // Whether a result newer than the last Latest() call was published.
  uint64_t PublishedCount() const { return published_.load(); }

  void Publish(HealthResult result) {
    std::shared_ptr<const HealthResult> next = std::make_shared<const HealthResult>(std::move(result));
    {
      std::lock_guard<std::mutex> lock(mutex_);
      latest_.swap(next);
      published_.fetch_add(1);
    }
    // The previous result, unless a display still holds it, is freed here,
    // outside the lock.
  }

private:
  mutable std::mutex mutex_;
  std::shared_ptr<const HealthResult> latest_ = std::make_shared<const HealthResult>();
  std::atomic<uint64_t> published_{0};
};

struct HealthFileOutcome {
  bool opened = false;       // false: `error` says why
  std::string error;
  bool readError = false;    // the input failed part-way; result is partial
  HealthResult result;       // complete unless partial
};

struct HealthFileOptions {
  uint64_t maxBytes = 0;              // 0: all
  double publishIntervalS = 0.25;     // how often `run` gets a new result
  // Called after every block on the reading thread (for a progress line),
  // and while a pipe keeps it waiting for more.
  std::function<void(uint64_t bytesDone, int64_t bytesTotal)> onBlock;
  // Called once on the engine before the first byte: to attach a
  // StreamObserver, to name the PIDs whose sections to assemble.
  std::function<void(StreamHealth&)> prepare;
};

// Whether `path` names something other than a regular file or a folder
// (a named pipe, a character device); false when it cannot be looked at.
bool IsStreamingInput(const std::string& path);

// Reads `path` ("-" for standard input) to its end (or maxBytes, or a
// cancel), feeding a StreamHealth. `run` may be null. A named pipe is opened
// without waiting for a writer and read with a short timeout, so that
// run->cancel ends it even while no writer has come or a writer stays silent;
// it ends when its writers have gone.
HealthFileOutcome AnalyseHealthFile(const std::string& path, const HealthLimits& limits,
                                    const HealthFileOptions& options = {},
                                    HealthFileRun* run = nullptr);
