#include "analysis/health/health_file.h"

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>

#include "platform/files.h"
#include "platform/ui_hooks.h"

namespace {

// Small enough to stay in the caches while the engine walks it.
constexpr size_t kReadBlock = 128 * 1024;
constexpr std::align_val_t kPageSize{4096};
// How often a read of a silent pipe looks at the cancel flag.
constexpr int kPipeWaitMs = 100;

}  // namespace

bool IsStreamingInput(const std::string& path) {
  return GetPathKind(path) == PathKind::Other;
}

HealthFileOutcome AnalyseHealthFile(const std::string& path, const HealthLimits& limits,
                                    const HealthFileOptions& options, HealthFileRun* run) {
  HealthFileOutcome outcome;
  BinaryInput input;
  if (const int error = input.Open(path); error != 0) {
    outcome.error = error == EISDIR ? TranslateAndFill("cannot read %s: it is a folder", {path})
                                    : TranslateAndFill("cannot open %s: %s", {path, SystemErrorText(error)});
    if (run) run->done.store(true);
    return outcome;
  }
  int64_t total = input.Size();
  if (total >= 0 && options.maxBytes > 0) total = std::min<int64_t>(total, static_cast<int64_t>(options.maxBytes));
  if (run) run->bytesTotal.store(total);
  outcome.opened = true;

  StreamHealth health(limits);
  if (options.prepare) options.prepare(health);
  // Page-aligned: the kernel copies into it several times faster.
  const auto freeAligned = [](uint8_t* block) { ::operator delete[](block, kPageSize); };
  std::unique_ptr<uint8_t, decltype(freeAligned)> buffer(
      static_cast<uint8_t*>(::operator new[](kReadBlock, kPageSize, std::nothrow)), freeAligned);
  if (!buffer) {
    outcome.opened = false;
    outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(ENOMEM)});
    if (run) run->done.store(true);
    return outcome;
  }
  uint64_t done = 0;
  using Clock = std::chrono::steady_clock;
  auto nextPublish = Clock::now();
  const auto interval = std::chrono::duration_cast<Clock::duration>(
      std::chrono::duration<double>(options.publishIntervalS));
  bool partial = false;
  while (true) {
    if (run && run->cancel.load(std::memory_order_relaxed)) {
      partial = true;
      break;
    }
    size_t want = kReadBlock;
    if (options.maxBytes > 0) {
      if (done >= options.maxBytes) break;
      want = static_cast<size_t>(std::min<uint64_t>(want, options.maxBytes - done));
    }
    int error = 0;
    const long long got = input.Read(buffer.get(), want, kPipeWaitMs, &error);
    if (got == BinaryInput::kNothingYet) continue;
    if (got < 0) {
      outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(error)});
      outcome.readError = true;
      partial = true;
      break;
    }
    if (got == 0) break;
    health.Feed(buffer.get(), static_cast<size_t>(got));
    done += static_cast<uint64_t>(got);
    if (run) {
      run->bytesDone.store(done, std::memory_order_relaxed);
      const auto now = Clock::now();
      if (now >= nextPublish) {
        run->Publish(health.Snapshot());
        nextPublish = now + interval;
      }
    }
    if (options.onBlock) options.onBlock(done, total);
  }
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = partial;
  if (run) {
    run->Publish(outcome.result);
    run->done.store(true);
  }
  return outcome;
}
