// `vantrel-cli capture`: what the family's settings dialog ("Capture") and the
// capture progress dialog do, without the dialogs.
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <ctime>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include "capture/capture_run.h"
#include "capture/capture_settings.h"
#include "cli/channel_options.h"
#include "cli/command.h"
#if VANTREL_SERVICE_CAPTURE
#include "capture/scan/service_capture.h"
#include "cli/scan_command.h"
#endif
#if VANTREL_NETWORK_INPUTS
#include <fcntl.h>
#include <unistd.h>

#include "netinput/net_health.h"
#endif
#include "platform/files.h"
#include "platform/stop_signals.h"
#include "platform/ui_hooks.h"

namespace {

constexpr uint32_t kProgressRefreshMs = 500;
constexpr uint32_t kSignalCheckMs = 50;
// After Ctrl-C the streaming loop ends by itself at its next pass; one that
// has not ended by then is stuck in a device request, which is cancelled.
// Tuning and the PAT probe are cancelled at once.
constexpr uint32_t kStreamingStopGraceMs = 500;
// A capture still running this long after a stop signal is stuck in a write
// that cannot finish (a file system that does not answer): the process ends
// without it; the file keeps every byte written before. (Pipes and devices
// are written without blocking, and give up at once.)
constexpr uint32_t kStuckWriteGraceMs = 10000;
constexpr int kProgressBarWidth = 30;
// The stop requests StopSignals takes on this system, for the help text.
#ifdef _WIN32
const std::string kStopRequests = "Ctrl-C, Ctrl-Break and closing the console";
#else
const std::string kStopRequests = "Ctrl-C, SIGTERM and SIGHUP";
#endif

struct CaptureOptions {
  ChannelOptions channel;
  std::optional<int64_t> seconds;
  std::optional<int64_t> megabytes;
  std::optional<int64_t> pid;
  std::optional<int64_t> lockSeconds;
  std::string output;
  std::string input;  // udp:// or rtp://: capture from the network, not the box
  bool force = false;
  std::string service;        // --service: capture one service of a channel file
#if VANTREL_SERVICE_CAPTURE
  std::string channelsFile = kDefaultChannelsFile;
  std::string keepSi = kDefaultKeptSi;
#endif
};

uint64_t FileSize(const std::string& path) {
  uint64_t size = 0;
  GetFileSize64(path, &size);
  return size;
}

// The progress line on a terminal's stderr. Messages from the worker clear it
// first, so that a message never lands in the middle of the bar.
class ProgressLine {
public:
  explicit ProgressLine(std::string path)
      : path_(std::move(path)), enabled_(StandardErrorIsTerminal()) {
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
    uint32_t now = GetTickCountMs();
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
    const uint32_t stalledMs = nCaptureStallMs.load();
    std::string stall;
    if (stalledMs > 0) stall = "  STALLED: no data for " + std::to_string(stalledMs / 1000) + " s";
    std::lock_guard<std::mutex> lock(mutex_);
    std::fprintf(stderr, "\r[%s] %3d%%  %.1f MB  %.2f MB/s%s\033[K", bar.c_str(), percent,
                 bytes / 1048576.0, rate / 1048576.0, stall.c_str());
    std::fflush(stderr);
    shown_ = true;
  }

  // Without a terminal there is no progress line; a stall still gets a line
  // when it begins and when the stream comes back.
  void ReportStall() {
    if (enabled_) return;
    const uint32_t stalledMs = nCaptureStallMs.load();
    if ((stalledMs > 0) == stallReported_) return;
    stallReported_ = stalledMs > 0;
    std::lock_guard<std::mutex> lock(mutex_);
    if (stallReported_)
      std::fprintf(stderr, "vantrel-cli: the stream has stalled: no data for %u s\n", stalledMs / 1000);
    else
      std::fputs("vantrel-cli: the stream delivers again\n", stderr);
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
  bool stallReported_ = false;
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
// the progress until it signals the end. A stop signal cancels the device
// requests of a tune or probe at once, those of the streaming loop after a
// short grace. Returns the capture's result.
int RunCaptureWorker(const std::string& path) {
  nCaptureProgress.store(0);
  auto done = std::make_shared<SyncEvent>(true);
  hCaptureDone = done;
  ProgressLine progress(path);
  int result = 0;
  bool requestsCancelled = false;
  {
    // Ctrl-C, SIGTERM and SIGHUP end the capture as its Cancel button does.
    StopSignals stopSignals([] { bCaptureCancel.store(1); });
    std::thread worker([&result] { result = CaptureThreadProc(); });
    uint32_t lastDraw = GetTickCountMs() - kProgressRefreshMs;
    while (WaitForEvent(*done, kSignalCheckMs) == WaitResult::Timeout) {
      if (stopSignals.Received() != 0 && !requestsCancelled &&
          (nCaptureStage.load() != CaptureStage::Streaming ||
           GetTickCountMs() - stopSignals.ReceivedTick() >= kStreamingStopGraceMs)) {
        CancelTunerRequests();
        requestsCancelled = true;
      }
      if (stopSignals.Received() != 0 && GetTickCountMs() - stopSignals.ReceivedTick() >= kStuckWriteGraceMs) {
        progress.Clear();
        std::fputs("vantrel-cli: the capture file takes no more bytes; ending with what it holds\n",
                   stderr);
        std::_Exit(kExitFailure);
      }
      if (GetTickCountMs() - lastDraw >= kProgressRefreshMs) {
        lastDraw = GetTickCountMs();
        progress.Draw();
        progress.ReportStall();
      }
    }
    progress.Clear();
    worker.join();
  }
  hCaptureDone.reset();
  if (requestsCancelled) {
    // The capture's own stop request was refused while requests were
    // cancelled: stop the stream now that the worker is done with the box.
    ResumeTunerRequests();
    StopStream();
  }
  return result;
}

// Refuses output paths a capture must not use: a folder, or a file with
// something in it unless --force. Prints why.
bool CheckOutputPath(const CaptureOptions& options) {
  if (GetPathKind(options.output) == PathKind::Folder) {
    std::fprintf(stderr, "vantrel-cli: %s is a folder; give a file name\n", options.output.c_str());
    return false;
  }
  if (!options.force && IsNonEmptyFile(options.output)) {
    std::fprintf(stderr, "vantrel-cli: %s exists and is not empty; give --force to replace it\n",
                 options.output.c_str());
    return false;
  }
  return true;
}

// Whether `path` is where standard output goes (-o /dev/stdout into a pipe):
// the closing line then goes to standard error, so that the stream written
// there stays whole packets.
bool IsStandardOutput(const std::string& path) { return IsStandardOutputFile(path); }

int CaptureExitCode(int result, const CaptureReport& report) {
  if (result != 0) return kExitOk;
  if (report.cancelled) return kExitFailure;  // stopped by a signal, whatever it met before
  switch (report.end) {
    case CaptureEnd::InUse: return kExitBoxInUse;
    case CaptureEnd::NotAnswering: return kExitNotAnswering;
    case CaptureEnd::NoLock: return kExitNoLock;
    default: break;
  }
  if (report.bytesLost > 0) return kExitDataLost;
  if (report.stalled) return kExitStalled;
  return kExitFailure;
}

#if VANTREL_NETWORK_INPUTS
// Writes the stream bytes of a network input to a file opened at the first
// bytes (so that a capture that gets none leaves an existing file alone).
class NetworkCaptureFile {
public:
  explicit NetworkCaptureFile(std::string path) : path_(std::move(path)) {}
  ~NetworkCaptureFile() {
    if (fd_ >= 0) ::close(fd_);
  }
  bool Write(const uint8_t* data, size_t size, std::string* error) {
    if (fd_ < 0) {
      fd_ = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
      if (fd_ < 0) {
        *error = "cannot create " + path_ + ": " + SystemErrorText(errno);
        return false;
      }
    }
    while (size > 0) {
      const ssize_t written = ::write(fd_, data, size);
      if (written < 0 && errno == EINTR) continue;
      if (written <= 0) {
        *error = "cannot write " + path_ + ": " + SystemErrorText(errno);
        return false;
      }
      data += written;
      size -= static_cast<size_t>(written);
      bytes_ += static_cast<uint64_t>(written);
    }
    return true;
  }
  bool created() const { return fd_ >= 0; }
  uint64_t bytes() const { return bytes_; }

private:
  std::string path_;
  int fd_ = -1;
  uint64_t bytes_ = 0;
};

int RunNetworkCapture(const CaptureOptions& options, FILE* summary) {
  std::string error;
  const std::optional<NetAddress> address = ParseNetAddress(options.input, &error);
  if (!address) {
    std::fprintf(stderr, "vantrel-cli: %s\n", error.c_str());
    return kExitUsage;
  }
  NetAnalysisOptions netOptions;
  if (options.seconds) netOptions.durationS = static_cast<double>(*options.seconds);
  if (options.megabytes) netOptions.maxBytes = static_cast<uint64_t>(*options.megabytes) * 1048576;
  NetworkCaptureFile file(options.output);
  netOptions.onBytes = [&file](const uint8_t* data, size_t size, std::string* why) {
    return file.Write(data, size, why);
  };
  HealthFileRun run;
  NetAnalysisOutcome outcome;
  {
    StopSignals stopSignals([&run] { run.cancel.store(true); });
    outcome = AnalyseNetworkInput(*address, HealthLimits{}, netOptions, &run);
  }
  int exitCode = kExitOk;
  switch (outcome.end) {
    case NetAnalysisEnd::NotOpened:
      std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
      return kExitFailure;
    case NetAnalysisEnd::NoData:
      std::fprintf(stderr, "vantrel-cli: no datagram arrived at %s within %g s\n", options.input.c_str(),
                   address->timeoutS);
      exitCode = kExitFailure;
      break;
    case NetAnalysisEnd::Stalled:
      std::fprintf(stderr, "vantrel-cli: the stream stopped: no datagram for %g s\n", address->timeoutS);
      exitCode = kExitStalled;
      break;
    case NetAnalysisEnd::SocketError:
    case NetAnalysisEnd::SinkFailed:
      std::fprintf(stderr, "vantrel-cli: %s\n", outcome.error.c_str());
      exitCode = kExitFailure;
      break;
    case NetAnalysisEnd::Cancelled: exitCode = kExitFailure; break;
    case NetAnalysisEnd::Limit: break;
  }
  if (outcome.network.rtpLost > 0) {
    std::fprintf(stderr, "vantrel-cli: %llu datagrams were lost on the way (RTP sequence)\n",
                 static_cast<unsigned long long>(outcome.network.rtpLost));
    if (exitCode == kExitOk) exitCode = kExitDataLost;
  }
  if (file.created())
    std::fprintf(summary, "%s: %llu bytes\n", options.output.c_str(), static_cast<unsigned long long>(file.bytes()));
  else
    std::fprintf(summary, "%s: nothing captured\n", options.output.c_str());
  return exitCode;
}

#else
int RunNetworkCapture(const CaptureOptions&, FILE*) {
  return SayNotInThisBuild("capture --input", NotBuiltPart::Network);
}
#endif

int RunCaptureCommand(CaptureOptions options) {
  if (!options.service.empty() && !options.input.empty()) {
    std::fputs("vantrel-cli: --service captures from the tuner box; leave out --input\n", stderr);
    return kExitUsage;
  }
  if (!options.service.empty()) {
#if VANTREL_SERVICE_CAPTURE
    if (options.pid) {
      std::fputs("vantrel-cli: --service chooses the PIDs itself; leave out --pid\n", stderr);
      return kExitUsage;
    }
    return RunServiceCaptureCommand({options.service, options.channelsFile, options.keepSi, options.channel,
                                     options.seconds, options.megabytes, options.lockSeconds, options.output,
                                     options.force});
#else
    return SayNotInThisBuild("capture --service", NotBuiltPart::ChannelScan);
#endif
  }
  if (options.seconds.has_value() == options.megabytes.has_value()) {
    std::fputs("vantrel-cli: give exactly one of --seconds and --megabytes\n", stderr);
    return kExitUsage;
  }
  if (options.output.empty()) options.output = ProposeCaptureFileName() + ".DAT";
  if (options.output == "-") options.output = kStandardOutputPath;  // as analyze reads "-"

  if (options.output.size() >= kCaptureFileSize) {
    std::fprintf(stderr, "vantrel-cli: the output path is longer than %zu characters\n",
                 kCaptureFileSize - 1);
    return kExitUsage;
  }
  if (!CheckOutputPath(options)) return kExitUsage;
  FILE* const summary = IsStandardOutput(options.output) ? stderr : stdout;
  if (!options.input.empty()) return RunNetworkCapture(options, summary);
  bCaptureCancel.store(0);
  // A reader of a pipe that goes away is a write error, reported as such.
  IgnoreBrokenPipes();
  const int model = OpenTunerBoxForCli();
  if (model < 0) return OpenBoxExitCode();
  nCaptureLockTimeoutMs.store(LockTimeoutMs(options.lockSeconds, model));
  int exitCode = kExitFailure;
  if (!StoreCaptureSettings(options, model)) {
    exitCode = kExitUsage;
  } else {
    const int result = RunCaptureWorker(options.output);
    const CaptureReport report = GetLastCaptureReport();
    exitCode = CaptureExitCode(result, report);
    if (report.fileCreated)
      std::fprintf(summary, "%s: %llu bytes\n", options.output.c_str(),
                   static_cast<unsigned long long>(report.bytesWritten));
    else
      std::fprintf(summary, "%s: nothing captured\n", options.output.c_str());
  }
  CloseTunerDevice();
  return exitCode;
}

CliCommandRegistration captureCommand(
    "capture", "Capture the tuner box's live stream into a file, limited by time or by size",
    [](CLI::App& command) -> std::function<int()> {
      auto options = std::make_shared<CaptureOptions>();
      AddChannelOptions(command, options->channel);
      auto* seconds = command.add_option("--seconds", options->seconds,
                                         "Capture for N seconds of stream, counted from the lock")
                          ->check(CliNumber(1, kMaxCaptureSeconds));
      auto* megabytes =
          command.add_option("--megabytes", options->megabytes, "Capture N MB (1,048,576 bytes)")
              ->check(CliNumber(1, kMaxCaptureMegabytes));
      seconds->excludes(megabytes);
      command.add_option("--pid", options->pid, "PID for the box's PID filter (models 12 and 20)")
          ->check(CliNumber(0, kMaxPid));
      AddLockTimeoutOption(command, options->lockSeconds);
      command.add_option("-o,--output", options->output,
                         "Capture file, - for standard output (default: the local time as "
                         "YYYY_MM_DD_hh_mm_ss.DAT here)");
      command.add_flag("--force", options->force, "Replace an output file that is not empty");
      command.add_option("--service", options->service,
                         "Capture one service (its name or service id) of the channel file: its PMT, PCR, "
                         "streams and the SI of --keep-si, with a PAT that lists it alone");
#if VANTREL_SERVICE_CAPTURE
      command.add_option("--channels", options->channelsFile,
                         std::string("DVBv5 channel file for --service, as scan --channels-out writes it "
                                     "(default ") + kDefaultChannelsFile + ")");
      command.add_option("--keep-si", options->keepSi,
                         std::string("SI kept beside the service with --service: comma list of cat, nit, sdt, "
                                     "eit, rst, tdt (TDT and TOT), or none (default ") + kDefaultKeptSi +
                             "). The SDT passes unchanged and names every service of the multiplex, so players "
                             "list the others as programs without streams");
#endif
      command.add_option("--input", options->input,
                         "Capture udp://[SOURCE@]ADDRESS:PORT or rtp://... instead of the box's stream "
                         "(channel options do not apply)");
      command.footer(
          std::string("Channel options not given keep the values of the family's settings dialog; the "
          "values used are saved there as its \"Capture\" button does.\n"
          "Before the box is touched the output file is opened and locked, and a box that streams "
          "for another program is refused (one program streams from a box at a time). After the "
          "tune the capture waits for the tuner to lock (--lock-timeout); the time limit runs from "
          "the first stream byte on. Every request to the box has a time limit (") +
          std::to_string(kTunerRequestTimeoutMs / 1000) + " s, " +
          std::to_string(kTunerTuneRequestTimeoutMs / 1000) +
          " s for tuning): a box that does not answer ends the capture with what it holds.\n"
          "The file holds the stream from its first sync byte on, in whole packets. A capture "
          "limited by --megabytes that completes holds exactly that many MB and may end inside "
          "a packet; every other capture (time limit, Ctrl-C, failure) ends on a packet "
          "boundary. An output file that is not empty is replaced only with --force, and only "
          "once the stream brings its first bytes; a file the capture made and never wrote is "
          "removed again. A pipe that takes nothing more for " +
          std::to_string(kCapturePipeGraceMs / 1000) + " s past the time limit ends the capture.\n" +
          kStopRequests + " end the capture like its Cancel button: the stream is "
          "stopped and the file keeps what was written; a tune or PAT probe in progress is cut "
          "short at once.\n"
          "While the stream delivers nothing the progress shows STALLED. The result is "
          "\"Successful operation !\" or \"Operation fail !\" with a line saying why, lines when "
          "stream data was lost or the stream stalled, and what became of the file; then the "
          "file's path and size (or \"nothing captured\") on standard output, on standard error "
          "when the file is standard output (-o -).\n"
          "With --input the stream comes from the network: the time limit runs from the first "
          "datagram, the file holds the stream bytes of the datagrams (RTP headers removed), and "
          "datagrams missing from an RTP sequence end it with status 3 at the end.\n"
          "Exit status: 0 success; 1 failure or stopped by a signal; 2 usage error or an "
          "output path refused; 3 stream data lost (the capture could not keep up, the file "
          "skips what was lost); 4 the stream stalled (no data for the whole watchdog period, "
          "or, in a time-limited capture, longer than " +
          std::to_string(kCaptureStallFailMs / 1000) + " s, " + std::to_string(kCaptureStallFailOnePidMs / 1000) +
          " s through the PID filter); 5 the tuner did not lock; 6 the box is in use by another "
          "program; 7 the box did not answer a request in time.");
      return [options] { return RunCaptureCommand(*options); };
    });

}  // namespace
