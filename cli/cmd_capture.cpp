// `vantrel-cli capture`: what the family's settings dialog ("Capture") and the
// capture progress dialog do, without the dialogs.
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "cli/channel_options.h"
#include "cli/command.h"
#include "platform/ui_hooks.h"

namespace {

constexpr uint32_t kProgressRefreshMs = 500;
constexpr int kProgressBarWidth = 30;

struct CaptureOptions {
  ChannelOptions channel;
  std::optional<int64_t> seconds;
  std::optional<int64_t> megabytes;
  std::optional<int64_t> pid;
  std::string output;
};

void RequestCancel(int) { bCaptureCancel.store(1); }

// Ctrl-C asks the capture to end at its next pass, however often it is
// pressed, until the command ends. The worker blocks the signal, so its device
// requests are never interrupted.
void CancelCaptureOnInterrupt() {
  struct sigaction action {};
  action.sa_handler = RequestCancel;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESTART;
  sigaction(SIGINT, &action, nullptr);
}

uint64_t FileSize(const std::string& path, bool* exists = nullptr) {
  struct stat info {};
  bool found = ::stat(path.c_str(), &info) == 0;
  if (exists) *exists = found;
  return found ? static_cast<uint64_t>(info.st_size) : 0;
}

// The progress line on a terminal's stderr. Messages from the worker clear it
// first, so that a message never lands in the middle of the bar.
class ProgressLine {
public:
  explicit ProgressLine(std::string path)
      : path_(std::move(path)), enabled_(::isatty(STDERR_FILENO) == 1) {
    UiHooks hooks;
    hooks.showMessage = [this](const std::string& text) {
      std::lock_guard<std::mutex> lock(mutex_);
      ClearLocked();
      std::fprintf(stderr, "%s\n", text.c_str());
    };
    hooks.askOpenFile = [](const std::string&, const std::string&, std::string&) { return false; };
    previous_ = InstallUiHooks(hooks);
  }
  ~ProgressLine() {
    Clear();
    InstallUiHooks(previous_);
  }
  ProgressLine(const ProgressLine&) = delete;
  ProgressLine& operator=(const ProgressLine&) = delete;

  void Draw() {
    if (!enabled_) return;
    uint32_t now = GetTickCount();
    uint64_t bytes = FileSize(path_);
    double rate = 0;
    if (lastTick_ != 0 && now != lastTick_)
      rate = static_cast<double>(bytes >= lastBytes_ ? bytes - lastBytes_ : 0) /
             ((now - lastTick_) / 1000.0);
    lastTick_ = now;
    lastBytes_ = bytes;
    int percent = nCaptureProgress.load();
    percent = percent < 0 ? 0 : percent > 100 ? 100 : percent;
    int filled = percent * kProgressBarWidth / 100;
    std::string bar = std::string(static_cast<size_t>(filled), '#') +
                      std::string(static_cast<size_t>(kProgressBarWidth - filled), '-');
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r[%s] %3d%%  %.1f MB  %.2f MB/s\033[K", bar.c_str(), percent,
                 bytes / 1048576.0, rate / 1048576.0);
    std::fflush(stderr);
    shown_ = true;
  }

  void Clear() {
    std::lock_guard<std::mutex> lock(mutex_);
    ClearLocked();
  }

private:
  void ClearLocked() {
    if (!shown_) return;
    std::fputs("\r\033[K", stderr);
    shown_ = false;
  }

  std::string path_;
  bool enabled_;
  std::mutex mutex_;
  bool shown_ = false;
  uint32_t lastTick_ = 0;
  uint64_t lastBytes_ = 0;
  UiHooks previous_;
};

// Stores the channel, limits and file as the family's dialog does on "Capture"
// (settings block, nCapturePid, profile section).
bool StoreCaptureSettings(const CaptureOptions& options, int model) {
  ChannelFields fields;
  std::string error;
  if (!LoadChannelFields(options.channel, model, &fields, &error)) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return false;
  }
  // The dialogs offer the PID field only for boxes that filter (models 12 and 20).
  if (options.pid && model != 12 && model != 20) {
    std::fputs("vantrel-cli: --pid applies only to boxes with a PID filter (models 12 and 20)\n",
               stderr);
    return false;
  }
  const auto applyLimits = [&](CaptureLimitFields& limits) {
    limits.recordMode = options.seconds ? 0 : 1;
    if (options.seconds) limits.seconds = static_cast<uint32_t>(*options.seconds);
    if (options.megabytes) limits.megabytes = static_cast<uint32_t>(*options.megabytes);
    limits.captureFile = options.output;
  };
  const int16_t pid = static_cast<int16_t>(options.pid.value_or(0));
  bool profileWritten = false;
  switch (fields.family) {
    case TunerFamily::Satellite:
      applyLimits(fields.dst.limits);
      fields.dst.pid = pid;
      profileWritten = StoreDstSettings(fields.dst);
      break;
    case TunerFamily::Cable:
      applyLimits(fields.dct.limits);
      profileWritten = StoreDctSettings(fields.dct);
      break;
    default:
      applyLimits(fields.dtt.limits);
      fields.dtt.pid = pid;
      profileWritten = StoreDttSettings(fields.dtt);
      break;
  }
  if (!profileWritten)
    std::fputs("vantrel-cli: warning: the settings could not be saved in the profile\n", stderr);
  return true;
}

// Runs CaptureThreadProc on a worker, as the progress dialog does, and draws
// the progress until it signals the end. Returns the capture's result.
int RunCaptureWorker(const std::string& path) {
  nCaptureProgress.store(0);
  auto done = std::make_shared<SyncEvent>(true);
  hCaptureDone = done;
  ProgressLine progress(path);
  int result = 0;
  sigset_t interrupt, previousMask;
  sigemptyset(&interrupt);
  sigaddset(&interrupt, SIGINT);
  pthread_sigmask(SIG_BLOCK, &interrupt, &previousMask);  // inherited by the worker
  std::thread worker([&result] { result = CaptureThreadProc(); });
  pthread_sigmask(SIG_SETMASK, &previousMask, nullptr);
  while (WaitForEvent(*done, kProgressRefreshMs) == WaitResult::Timeout) progress.Draw();
  progress.Clear();
  worker.join();
  hCaptureDone.reset();
  return result;
}

int RunCaptureCommand(CaptureOptions options) {
  if (options.seconds.has_value() == options.megabytes.has_value()) {
    std::fputs("vantrel-cli: give exactly one of --seconds and --megabytes\n", stderr);
    return kExitUsage;
  }
  if (options.output.empty()) options.output = ProposeCaptureFileName() + ".DAT";
  if (options.output.size() >= kCaptureFileSize) {
    std::fprintf(stderr, "vantrel-cli: the output path is longer than %zu characters\n",
                 kCaptureFileSize - 1);
    return kExitUsage;
  }
  bCaptureCancel.store(0);
  CancelCaptureOnInterrupt();
  const int model = OpenTunerBoxForCli();
  if (model < 0) return kExitFailure;
  int exitCode = kExitFailure;
  if (!StoreCaptureSettings(options, model)) {
    exitCode = kExitUsage;
  } else {
    exitCode = RunCaptureWorker(options.output) != 0 ? kExitOk : kExitFailure;
    bool exists = false;
    uint64_t size = FileSize(options.output, &exists);
    if (exists)
      std::printf("%s: %llu bytes\n", options.output.c_str(), static_cast<unsigned long long>(size));
    else
      std::printf("%s: not created\n", options.output.c_str());
  }
  CloseTunerDevice();
  return exitCode;
}

CliCommandRegistration captureCommand(
    "capture", "Capture the tuner box's live stream into a file, limited by time or by size",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<CaptureOptions>();
      AddChannelOptions(command, options->channel);
      auto* seconds = command.add_option("--seconds", options->seconds, "Capture for N seconds")
                          ->check(CliNumber(0, UINT32_MAX));
      auto* megabytes =
          command.add_option("--megabytes", options->megabytes, "Capture N MB (1,048,576 bytes)")
              ->check(CliNumber(0, UINT32_MAX));
      seconds->excludes(megabytes);
      command.add_option("--pid", options->pid, "PID for the box's PID filter (models 12 and 20)")
          ->check(CliNumber(0, 0x1FFF));
      command.add_option("-o,--output", options->output,
                         "Capture file (default: the local time as YYYY_MM_DD_hh_mm_ss.DAT here)");
      command.footer(
          "Channel options not given keep the values of the family's settings dialog; the "
          "values used are saved there as its \"Capture\" button does. Ctrl-C ends the capture "
          "at its next pass (the file keeps what was written). Ends with \"Successful operation "
          "!\" (exit 0) or \"Operation fail !\" (exit 1) and the file's path and size.");
      return [options] { return RunCaptureCommand(*options); };
    });

}  // namespace
