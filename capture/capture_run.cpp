#include "capture/capture_run.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "capture/capture_settings.h"
#include "capture/live_pat_probe.h"
#include "platform/ui_hooks.h"

std::atomic<int> nCaptureProgress{0};
std::atomic<int> bCaptureCancel{0};
std::atomic<int> bWriteActivity{0};
std::shared_ptr<SyncEvent> hCaptureDone;

namespace {

// Milliseconds on a steady clock in 64 bits, so that long time limits cannot
// wrap.
uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The capture file: created anew, binary, locked against a second capture
// into the same file while open. Errors are reported in a message box naming
// the file and the cause.
class CaptureFile {
public:
  explicit CaptureFile(std::string path) : path_(std::move(path)) {}
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() {
    if (fd_ >= 0) ::close(fd_);
  }

  bool Create() {
    // Not O_TRUNC: a file another capture holds must not be emptied before
    // the lock tells us it is busy. Truncate once the lock is ours.
    int fd = ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0666);
    if (fd < 0) return Fail("Cannot create the capture file", errno);
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
      int error = errno;
      ::close(fd);
      if (error == EWOULDBLOCK) {
        ShowMessage("Cannot create the capture file \"" + path_ +
                    "\": it is in use by another capture.");
        return false;
      }
      return Fail("Cannot create the capture file", error);
    }
    struct stat info {};
    // Devices and pipes (a capture to /dev/null or a FIFO) cannot be truncated.
    if (::fstat(fd, &info) == 0 && S_ISREG(info.st_mode) && ::ftruncate(fd, 0) != 0) {
      int error = errno;
      ::close(fd);
      return Fail("Cannot create the capture file", error);
    }
    fd_ = fd;
    return true;
  }

  // One write call per contiguous block; a short write (a disk filling up, a
  // signal) goes on with the rest, so the file never silently misses bytes.
  bool Write(const uint8_t* data, uint64_t size) {
    bWriteActivity.store(1, std::memory_order_relaxed);
    while (size > 0) {
      ssize_t written = ::write(fd_, data, size);
      if (written < 0) {
        if (errno == EINTR) continue;
        return Fail("Cannot write the capture file", errno);
      }
      if (written == 0) return Fail("Cannot write the capture file", ENOSPC);
      data += written;
      size -= static_cast<uint64_t>(written);
    }
    return true;
  }

  bool Close() {
    int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && errno != EINTR) return Fail("Cannot close the capture file", errno);
    return true;
  }

private:
  bool Fail(const char* what, int error) {
    ShowMessage(std::string(what) + " \"" + path_ + "\": " + std::strerror(error) + ".");
    return false;
  }

  std::string path_;
  int fd_ = -1;
};

// Everything one CaptureStreamToFile call keeps between passes.
class RingToFileLoop {
public:
  RingToFileLoop(const CaptureSettings& capture, const uint8_t* ring, StreamLayout layout,
                 CaptureFile& file)
      : timeMode_(capture.nRecordMode == 0),
        limitMs_(static_cast<uint64_t>(static_cast<uint32_t>(capture.nCaptureSeconds)) * 1000),
        ring_(ring),
        ringSize_(layout.ringSize),
        chunk_(layout.chunkSize),
        file_(file),
        timings_(GetCaptureTimings()) {}

  void SetChunkPlan(const ChunkPlan& plan) {
    count_ = plan.count;
    totalChunks_ = plan.count;
    final_ = plan.finalBytes;
  }

  int Run() {
    start_ = NowMs();
    watchdogMark_ = start_;
    while (running_ && bCaptureCancel.load(std::memory_order_relaxed) == 0) Pass();
    return result_;
  }

private:
  void Pass() {
    if ((timeMode_ && limitMs_ == 0) || (!timeMode_ && count_ == 0)) {
      running_ = false;
      return;
    }
    uint32_t w = 0;
    // An offset outside the ring is as good as a failed request: reading
    // there would leave the ring.
    if (!GetStreamWritePosition(&w) || w >= ringSize_) {
      result_ = 0;
      running_ = false;
      return;
    }
    if (syncPending_ && NowMs() - start_ > timings_.syncTimeoutMs) {
      result_ = 0;
      running_ = false;
      return;
    }
    if (w == last_) return Idle();
    last_ = w;
    if (syncPending_) {
      if (last_ != 0) FindSync();
      Sleep(timings_.pollIntervalMs);
      return;
    }
    if (read_ == last_) return Idle();
    uint64_t pending = read_ > last_ ? ringSize_ - read_ + last_ : last_ - read_;
    if (pending > ringSize_ - kRingSafetyMargin) {
      // The driver may already be overwriting the oldest part: drop it all.
      read_ = last_;
      return Idle();
    }
    if (timeMode_ ? WriteTimed() : WriteSized()) EndOfPass();
  }

  // A pass that wrote nothing. A stalled or overrunning stream still ends at
  // the time limit and still trips the watchdog.
  void Idle() {
    if (!syncPending_) {
      if (timeMode_ && NowMs() - start_ >= limitMs_) {
        running_ = false;
        return;
      }
      if (!Watchdog()) return;
    }
    Sleep(timings_.pollIntervalMs);
  }

  void FindSync() {
    while (read_ != last_) {
      if (ring_[read_] == 0x47) {
        syncPending_ = false;
        return;
      }
      if (++read_ == ringSize_) read_ = 0;
    }
  }

  // false when the write failed; the loop then ends.
  bool WriteBlock(uint32_t from, uint64_t size) {
    if (size == 0) return true;
    if (file_.Write(ring_ + from, size)) return true;
    result_ = 0;
    running_ = false;
    return false;
  }

  // Time mode: everything pending, in one or (wrapped) two pieces. false when
  // the pass ended the capture.
  bool WriteTimed() {
    if (read_ > last_) {
      if (!WriteBlock(read_, ringSize_ - read_)) return false;
      read_ = 0;
    }
    if (!WriteBlock(read_, last_ - read_)) return false;
    read_ = last_;
    uint64_t elapsed = NowMs() - start_;
    if (elapsed >= limitMs_) {
      running_ = false;
      return false;
    }
    nCaptureProgress.store(static_cast<int>(elapsed * 100 / limitMs_), std::memory_order_relaxed);
    return true;
  }

  uint64_t BytesOwed() const {
    return count_ == 0 ? 0 : static_cast<uint64_t>(count_ - 1) * chunk_ + final_;
  }

  // Writes what is still owed and ends the capture.
  bool WriteRestAndEnd(uint32_t from) {
    WriteBlock(from, BytesOwed());
    count_ = 0;
    running_ = false;
    return false;
  }

  // Size mode: whole chunks, the last one partial. false when the pass ended
  // the capture.
  bool WriteSized() {
    if (read_ > last_) {
      uint32_t n = ringSize_ - read_;
      uint32_t k = n / chunk_;
      uint32_t r = n % chunk_;
      if (count_ <= k) return WriteRestAndEnd(read_);
      // With k + 1 chunks owed and the partial one ending before the ring
      // does, all k whole chunks and the partial one are in this tail.
      if (count_ == k + 1 && r > final_) return WriteRestAndEnd(read_);
      count_ -= k;
      if (!WriteBlock(read_, n)) return false;
      if (final_ > r) {
        final_ -= r;
      } else {
        count_ -= 1;
        final_ = chunk_ - (r - final_);
      }
      read_ = 0;
    }
    if (read_ != last_) {
      uint32_t n = last_ - read_;
      uint32_t k = n / chunk_;
      uint32_t r = n % chunk_;
      if (count_ <= k) return WriteRestAndEnd(read_);
      if (k > 0) {
        if (!WriteBlock(read_, static_cast<uint64_t>(k) * chunk_)) return false;
        count_ -= k;
        read_ = last_ - r;
      }
    }
    uint64_t done = static_cast<uint64_t>(count_) * 100 / totalChunks_;
    nCaptureProgress.store(static_cast<int>(100 - done), std::memory_order_relaxed);
    return true;
  }

  // false when the watchdog ended the capture: nothing was written during a
  // whole period.
  bool Watchdog() {
    uint64_t now = NowMs();
    if (now - watchdogMark_ < timings_.watchdogPeriodMs) return true;
    watchdogMark_ = now;
    if (bWriteActivity.exchange(0, std::memory_order_relaxed) == 0) {
      result_ = 0;
      running_ = false;
      return false;
    }
    return true;
  }

  void EndOfPass() {
    if (Watchdog()) Sleep(timings_.pollIntervalMs);
  }

  const bool timeMode_;
  const uint64_t limitMs_;
  const uint8_t* const ring_;
  const uint32_t ringSize_;
  const uint32_t chunk_;
  CaptureFile& file_;
  const CaptureTimings timings_;

  uint32_t read_ = 0;
  uint32_t last_ = 0;
  bool syncPending_ = true;
  uint64_t start_ = 0;
  uint64_t watchdogMark_ = 0;
  uint32_t count_ = 0;
  uint32_t totalChunks_ = 0;
  uint32_t final_ = 0;
  bool running_ = true;
  int result_ = 1;
};

}  // namespace

StreamLayout GetStreamLayout(int model) {
  if (model == 12 || model == 20) return {3133440, 4096};
  if (model == 46) return {3133440, 61380};
  return {3130380, 61380};
}

bool PlanCaptureChunks(uint64_t totalBytes, uint32_t chunk, ChunkPlan* plan) {
  if (chunk == 0) return false;
  uint64_t count = (totalBytes + chunk / 2) / chunk;
  if (count > UINT32_MAX - 1) return false;  // the partial last chunk may add one
  uint64_t covered = count * chunk;
  if (covered < totalBytes) {
    plan->finalBytes = static_cast<uint32_t>(totalBytes - covered);
    ++count;
  } else {
    plan->finalBytes = static_cast<uint32_t>(chunk - (covered - totalBytes));
  }
  plan->count = static_cast<uint32_t>(count);
  return true;
}

int CaptureStreamToFile(const CaptureSettings& capture, const char* path) {
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  if (!StartStream(&ring, &mapped)) return 0;
  SetPidFilter(nCapturePid.load());
  StreamLayout layout = GetStreamLayout(nTunerModel.load());
  // A model number that does not match the open box could name a longer ring
  // than the one mapped.
  if (ring == nullptr || mapped < layout.ringSize) {
    StopStream();
    return 0;
  }
  ChunkPlan plan{0, 0};
  if (capture.nRecordMode != 0) {
    uint64_t total = static_cast<uint64_t>(static_cast<uint32_t>(capture.nCaptureMegabytes)) << 20;
    if (!PlanCaptureChunks(total, layout.chunkSize, &plan)) {
      StopStream();
      return 0;
    }
  }
  CaptureFile file(path ? path : "");
  if (!file.Create()) {
    StopStream();
    return 0;
  }
  RingToFileLoop loop(capture, ring, layout, file);
  loop.SetChunkPlan(plan);
  int result = loop.Run();
  // A file that could not be closed may not hold all its bytes.
  if (!file.Close()) result = 0;
  StopStream();
  if (bCaptureCancel.load(std::memory_order_relaxed) != 0) result = 0;
  return result;
}

int RunCapture(const ChannelSettings& channel, const CaptureSettings& capture, const char* path) {
  if (!TuneChannel(-1, channel, capture)) return 0;
  int model = nTunerModel.load();
  if (model != 46 && model != 20 && model != 12) {
    bool patSeen = false;
    for (int attempt = 0; attempt < 3 && !patSeen; ++attempt) patSeen = ProbeLivePat(1) == 1;
    if (!patSeen) return 0;
  }
  return CaptureStreamToFile(capture, path);
}

int CaptureThreadProc() {
  // Our own reference: whoever started us may drop theirs once it is signalled.
  std::shared_ptr<SyncEvent> done = hCaptureDone;
  CaptureSettingsBlock block = GetSettingsBlock();
  block.szCaptureFile[kCaptureFileSize - 1] = '\0';
  int result = RunCapture(block.channel, block.capture, block.szCaptureFile);
  if (done) done->Set();
  ShowMessage(result != 0 ? "Successful operation !" : "Operation fail !");
  return result;
}
