#include "analysis/si/si_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "platform/ui_hooks.h"

namespace {

constexpr size_t kReadBlock = 512 * 1024;

}  // namespace

SiFileOutcome ReadServiceInformation(const std::string& path, const HealthLimits& limits, const SiFileOptions& options) {
  SiFileOutcome outcome;
  const bool standardInput = path == "-";
  const int fd = standardInput ? STDIN_FILENO : ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) {
    outcome.error = TranslateAndFill("cannot open %s: %s", {path, SystemErrorText(errno)});
    return outcome;
  }
  struct stat info {};
  int64_t total = -1;
  if (::fstat(fd, &info) == 0) {
    if (S_ISDIR(info.st_mode)) {
      if (!standardInput) ::close(fd);
      outcome.error = TranslateAndFill("cannot read %s: it is a folder", {path});
      return outcome;
    }
    if (S_ISREG(info.st_mode)) {
      total = static_cast<int64_t>(info.st_size);
      ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL);
    }
  }
  if (total >= 0 && options.maxBytes > 0) total = std::min<int64_t>(total, static_cast<int64_t>(options.maxBytes));
  outcome.opened = true;

  StreamHealth health(limits);
  outcome.si = std::make_unique<SiCollector>([&health](int pid) { health.AssembleSectionsOn(pid); });
  for (int pid : SiCollector::InitialSectionPids()) health.AssembleSectionsOn(pid);
  health.SetObserver(outcome.si.get());

  std::vector<uint8_t> buffer(kReadBlock);
  uint64_t done = 0;
  bool partial = false;
  while (true) {
    if (options.cancel && options.cancel->load(std::memory_order_relaxed)) {
      partial = true;
      break;
    }
    size_t want = kReadBlock;
    if (options.maxBytes > 0) {
      if (done >= options.maxBytes) break;
      want = static_cast<size_t>(std::min<uint64_t>(want, options.maxBytes - done));
    }
    const ssize_t got = ::read(fd, buffer.data(), want);
    if (got < 0) {
      if (errno == EINTR) continue;
      outcome.error = TranslateAndFill("cannot read %s: %s", {path, SystemErrorText(errno)});
      outcome.readError = true;
      partial = true;
      break;
    }
    if (got == 0) break;
    health.Feed(buffer.data(), static_cast<size_t>(got));
    done += static_cast<uint64_t>(got);
    if (options.onBlock) options.onBlock(done, total);
  }
  if (!standardInput) ::close(fd);
  health.Finish();
  health.SetObserver(nullptr);
  outcome.health = health.Snapshot();
  outcome.health.partial = partial;
  return outcome;
}
