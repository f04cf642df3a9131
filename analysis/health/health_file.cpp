#include "analysis/health/health_file.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>

#include "platform/files.h"
#include "platform/ui_hooks.h"

namespace {

// Small enough to stay in the caches while the engine walks it.
constexpr size_t kReadBlock = 128 * 1024;
constexpr std::align_val_t kPageSize{4096};
// How often a read of a silent pipe looks at the cancel flag.
constexpr int kPipeWaitMs = 100;
// A regular file is read ahead in blocks of this size, this many at a time.
constexpr size_t kAheadBlock = 512 * 1024;
constexpr size_t kAheadBlocks = 4;

// Page-aligned: the kernel copies into it several times faster.
struct FreeAligned {
  void operator()(uint8_t* block) const { ::operator delete[](block, kPageSize); }
};
using AlignedBuffer = std::unique_ptr<uint8_t, FreeAligned>;

AlignedBuffer AllocateAligned(size_t size) {
  return AlignedBuffer(static_cast<uint8_t*>(::operator new[](size, kPageSize, std::nothrow)));
}

// Reads a regular file on a thread of its own into a ring of blocks, so that
// the kernel's copy of the next blocks overlaps the analysis of this one.
class ReadAhead {
public:
  struct Block {
    const uint8_t* data = nullptr;
    size_t size = 0;  // 0: the end of the file (or of `limit`), or an error
    int error = 0;    // errno of a failed read
  };

  // Reads at most `limit` bytes (0: all). ok() is false when the memory
  // could not be had.
  ReadAhead(BinaryInput& input, uint64_t limit) : input_(input), limit_(limit) {
    for (Slot& slot : slots_) {
      slot.buffer = AllocateAligned(kAheadBlock);
      if (!slot.buffer) return;
    }
    try {
      thread_ = std::thread([this] { Run(); });
    } catch (const std::system_error&) {
      // No thread to be had: the caller reads on its own.
    }
  }
  ~ReadAhead() {
    {
      std::lock_guard<std::mutex> lock(mutex_);
      stop_ = true;
    }
    changed_.notify_all();
    if (thread_.joinable()) thread_.join();
  }
  bool ok() const { return thread_.joinable(); }

  // The next block; the one before it is given back to the reader.
  Block Next() {
    std::unique_lock<std::mutex> lock(mutex_);
    if (holding_) {
      holding_ = false;
      ++taken_;
      changed_.notify_all();
    }
    changed_.wait(lock, [this] { return filled_ > taken_; });
    const Slot& slot = slots_[taken_ % kAheadBlocks];
    if (slot.size == 0) return {nullptr, 0, slot.error};  // the last one: kept filled
    holding_ = true;
    return {slot.buffer.get(), slot.size, 0};
  }

private:
  struct Slot {
    AlignedBuffer buffer;
    size_t size = 0;
    int error = 0;
  };

  void Run() {
    uint64_t done = 0;
    for (uint64_t block = 0;; ++block) {
      {
        std::unique_lock<std::mutex> lock(mutex_);
        changed_.wait(lock, [&] { return stop_ || block - taken_ < kAheadBlocks; });
        if (stop_) return;
      }
      Slot& slot = slots_[block % kAheadBlocks];
      size_t want = kAheadBlock;
      if (limit_ > 0) want = static_cast<size_t>(std::min<uint64_t>(want, limit_ - done));
      size_t got = 0;
      int error = 0;
      while (got < want) {
        const long long n = input_.Read(slot.buffer.get() + got, want - got, kPipeWaitMs, &error);
        if (n == BinaryInput::kNothingYet) continue;  // only a pipe waits; a regular file never does
        if (n <= 0) break;
        got += static_cast<size_t>(n);
      }
      // An error after some bytes comes with the next block.
      if (got > 0) error = 0;
      slot.size = got;
      slot.error = error;
      done += got;
      {
        std::lock_guard<std::mutex> lock(mutex_);
        ++filled_;
      }
      changed_.notify_all();
      if (got == 0) return;
    }
  }

  BinaryInput& input_;
  const uint64_t limit_;
  Slot slots_[kAheadBlocks];
  std::mutex mutex_;
  std::condition_variable changed_;
  uint64_t filled_ = 0;  // blocks the reader has filled
  uint64_t taken_ = 0;   // blocks the analysis is done with
  bool holding_ = false;
  bool stop_ = false;
  std::thread thread_;
};

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
  // A regular file is read ahead on another thread; a pipe, a device or
  // standard input block by block here, where a cancel can end a wait.
  std::unique_ptr<ReadAhead> ahead;
  if (path != "-" && input.Size() >= 0) {
    ahead = std::make_unique<ReadAhead>(input, options.maxBytes);
    if (!ahead->ok()) ahead.reset();
  }
  AlignedBuffer buffer = ahead ? AlignedBuffer() : AllocateAligned(kReadBlock);
  if (!ahead && !buffer) {
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
  uint64_t publishedDone = 0;
  // The result so far to `run`, at most once per interval.
  auto publishWhenDue = [&] {
    const auto now = Clock::now();
    if (now < nextPublish) return;
    run->Publish(health.Snapshot());
    publishedDone = done;
    nextPublish = now + interval;
  };
  bool partial = false;
  // The bytes read, fed in blocks of kReadBlock (small enough to stay in the
  // caches while the engine walks them); false when cancelled.
  auto feed = [&](const uint8_t* data, size_t size) {
    for (size_t at = 0; at < size;) {
      if (at > 0 && run && run->cancel.load(std::memory_order_relaxed)) return false;
      const size_t piece = std::min(kReadBlock, size - at);
      health.Feed(data + at, piece);
      at += piece;
      done += piece;
      if (run) {
        run->bytesDone.store(done, std::memory_order_relaxed);
        publishWhenDue();
      }
      if (options.onBlock) options.onBlock(done, total);
    }
    return true;
  };
  while (true) {
    if (run && run->cancel.load(std::memory_order_relaxed)) {
      partial = true;
      break;
    }
    int error = 0;
    if (ahead) {
      const ReadAhead::Block block = ahead->Next();
      error = block.error;
      if (block.size == 0 && block.error == 0) break;
      if (block.size > 0) {
        if (!feed(block.data, block.size)) {
          partial = true;
          break;
        }
        continue;
      }
    } else {
      size_t want = kReadBlock;
      if (options.maxBytes > 0) {
        if (done >= options.maxBytes) break;
        want = static_cast<size_t>(std::min<uint64_t>(want, options.maxBytes - done));
      }
      const long long got = input.Read(buffer.get(), want, kPipeWaitMs, &error);
      if (got == BinaryInput::kNothingYet) {
        // A pipe that pauses: what it gave so far is shown meanwhile, not
        // only once more arrives.
        if (run && done != publishedDone) publishWhenDue();
        if (options.onBlock) options.onBlock(done, total);
        continue;
      }
      if (got > 0) {
        feed(buffer.get(), static_cast<size_t>(got));
        continue;
      }
      if (got == 0) break;
    }
    outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(error)});
    outcome.readError = true;
    partial = true;
    break;
  }
  ahead.reset();  // before the input it reads is closed
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = partial;
  if (run) {
    run->Publish(outcome.result);
    run->done.store(true);
  }
  return outcome;
}
