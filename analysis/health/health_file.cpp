#include "analysis/health/health_file.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "platform/ui_hooks.h"

namespace {

// Small enough to stay in the caches while the engine walks it.
constexpr size_t kReadBlock = 128 * 1024;
constexpr size_t kPageSize = 4096;
// How often a read of a silent pipe looks at the cancel flag.
constexpr int kPipeWaitMs = 100;

}  // namespace

bool IsStreamingInput(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

HealthFileOutcome AnalyseHealthFile(const std::string& path, const HealthLimits& limits,
                                    const HealthFileOptions& options, HealthFileRun* run) {
  HealthFileOutcome outcome;
  const bool standardInput = path == "-";
  // Without O_NONBLOCK the open of a named pipe waits for a writer, beyond a cancel.
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    outcome.error = TranslateAndFill("cannot open %s: %s", {path, SystemErrorText(errno)});
    if (run) run->done.store(true);
    return outcome;
  }
  struct stat info {};
  int64_t total = -1;
  bool streaming = false;  // a named pipe or a device: waited on with poll
  if (::fstat(fd, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      if (!standardInput) ::close(fd);
      outcome.error = TranslateAndFill("cannot read %s: it is a folder", {path});
      if (run) run->done.store(true);
      return outcome;
    }
    if (S_ISREG(info.st_mode)) {
      total = static_cast<int64_t>(info.st_size);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
    streaming = !standardInput && !S_ISREG(info.st_mode);
  }
  if (!standardInput && !streaming) ::fcntl(fd, F_SETFL, ::fcntl(fd, F_GETFL) & ~O_NONBLOCK);
  if (total >= 0 && options.maxBytes > 0) total = std::min<int64_t>(total, static_cast<int64_t>(options.maxBytes));
  if (run) run->bytesTotal.store(total);
  outcome.opened = true;

  StreamHealth health(limits);
  if (options.prepare) options.prepare(health);
  // Page-aligned: the kernel copies into it several times faster.
  std::unique_ptr<uint8_t, decltype(&std::free)> buffer(static_cast<uint8_t*>(std::aligned_alloc(kPageSize, kReadBlock)),
                                                        &std::free);
  if (!buffer) {
    if (!standardInput) ::close(fd);
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
    int ready = 1;
    if (streaming) {
      // A pipe that never had a writer polls as nothing to read (no hang-up):
      // the loop waits for one, and ends on the hang-up after the last writer.
      pollfd wait{fd, POLLIN, 0};
      ready = ::poll(&wait, 1, kPipeWaitMs);
      if (ready == 0) continue;
    }
    const ssize_t got = ready < 0 ? -1 : ::read(fd, buffer.get(), want);
    if (got < 0) {
      if (errno == EINTR || (streaming && errno == EAGAIN)) continue;
      outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(errno)});
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
  if (!standardInput) ::close(fd);
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = partial;
  if (run) {
    run->Publish(outcome.result);
    run->done.store(true);
  }
  return outcome;
}
