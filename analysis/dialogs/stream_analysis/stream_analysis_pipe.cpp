#include "analysis/dialogs/stream_analysis/stream_analysis_pipe.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <memory>

#include "platform/ui_hooks.h"

namespace {

constexpr size_t kReadBlock = 512 * 1024;

}  // namespace

bool IsStreamingInput(const std::string& path) {
  struct stat info {};
  return ::stat(path.c_str(), &info) == 0 && !S_ISREG(info.st_mode) && !S_ISDIR(info.st_mode);
}

HealthFileOutcome AnalyseHealthPipe(const std::string& path, const HealthLimits& limits, double publishIntervalS,
                                    HealthFileRun* run, int waitMs) {
  HealthFileOutcome outcome;
  // Without O_NONBLOCK the open of a pipe waits for a writer, beyond a cancel.
  const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    outcome.error = TranslateAndFill("cannot open %s: %s", {path, SystemErrorText(errno)});
    run->done.store(true);
    return outcome;
  }
  outcome.opened = true;
  run->bytesTotal.store(-1);
  StreamHealth health(limits);
  std::unique_ptr<uint8_t[]> buffer(new uint8_t[kReadBlock]);
  using Clock = std::chrono::steady_clock;
  const auto interval =
      std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(publishIntervalS));
  auto nextPublish = Clock::now();
  uint64_t done = 0;
  bool partial = false;
  while (true) {
    if (run->cancel.load()) {
      partial = true;
      break;
    }
    // A pipe that never had a writer polls as nothing to read (no hang-up):
    // the loop waits for one, and ends on the hang-up after the last writer.
    pollfd wait{fd, POLLIN, 0};
    const int ready = ::poll(&wait, 1, waitMs);
    if (ready == 0 || (ready < 0 && errno == EINTR)) continue;
    const ssize_t got = ready < 0 ? -1 : ::read(fd, buffer.get(), kReadBlock);
    if (got < 0) {
      if (errno == EAGAIN || errno == EINTR) continue;
      outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(errno)});
      outcome.readError = partial = true;
      break;
    }
    if (got == 0) break;
    health.Feed(buffer.get(), static_cast<size_t>(got));
    done += static_cast<uint64_t>(got);
    run->bytesDone.store(done);
    if (Clock::now() >= nextPublish) {
      run->Publish(health.Snapshot());
      nextPublish = Clock::now() + interval;
    }
  }
  ::close(fd);
  health.Finish();
  outcome.result = health.Snapshot();
  outcome.result.partial = partial;
  run->Publish(outcome.result);
  run->done.store(true);
  return outcome;
}
