#include "capture/capture_run.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <mutex>
#include <vector>
#include <cstdio>
#include <cstring>

#include "capture/capture_settings.h"
#include "capture/live_pat_probe.h"
#include "platform/files.h"
#include "platform/ui_hooks.h"

std::atomic<int> nCaptureProgress{0};
std::atomic<int> bCaptureCancel{0};
std::atomic<int> bWriteActivity{0};
std::atomic<uint32_t> nCaptureStallMs{0};
std::atomic<uint32_t> nCaptureLockTimeoutMs{0};
std::atomic<CaptureStage> nCaptureStage{CaptureStage::Idle};
std::shared_ptr<SyncEvent> hCaptureDone;

namespace {

// Milliseconds on a steady clock in 64 bits, so that long time limits cannot
// wrap.
uint64_t NowMs() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

// The capture file: locked against a second capture into the same file as
// soon as it is opened (before the box is touched), emptied at the first
// write, binary. A file the capture created and never wrote is removed again.
// Errors are kept as a translated line naming the file and the cause, for
// the one result message.
class CaptureFile {
public:
  explicit CaptureFile(std::string path) : path_(std::move(path)) {}
  CaptureFile(const CaptureFile&) = delete;
  CaptureFile& operator=(const CaptureFile&) = delete;
  ~CaptureFile() {
    if (file_.IsOpen()) Close();
  }

  bool Open() {
    int error = 0;
    // The file is not emptied here: a file another capture holds must not
    // be emptied before the lock tells us it is busy, nor an earlier file
    // before the stream brought anything to replace it with.
    switch (file_.Open(path_, &error)) {
      case SoleWriterFile::OpenResult::Opened: return true;
      case SoleWriterFile::OpenResult::InUse:
        error_ = TranslateAndFill("Cannot create the capture file \"%s\": it is in use by another capture.",
                                  {path_});
        return false;
      case SoleWriterFile::OpenResult::Failed: break;
    }
    return Fail("Cannot create the capture file \"%s\": %s.", error);
  }

  // Asked while a write waits for a pipe or device to take more: true ends
  // the wait, and the write fails.
  void SetGiveUp(std::function<bool()> giveUp) { giveUp_ = std::move(giveUp); }

  // One write call per contiguous block; a short write (a disk filling up, a
  // signal) goes on with the rest, so the file never silently misses bytes.
  bool Write(const uint8_t* data, uint64_t size) {
    bWriteActivity.store(1, std::memory_order_relaxed);
    int error = 0;
    if (!started_) {
      // Devices and pipes (a capture to /dev/null or a FIFO) cannot be truncated.
      if (file_.Regular() && !file_.Truncate(0, &error)) return Fail("Cannot write the capture file \"%s\": %s.", error);
      started_ = true;
    }
    while (size > 0) {
      // A pipe takes a write of up to PIPE_BUF bytes whole or not at all, so
      // one whose reader stops keeps whole packets.
      const uint64_t piece = file_.Regular() ? size : std::min<uint64_t>(size, kWholePipeWrite);
      const long long written = file_.Write(data, piece, &error);
      if (written < 0) return Fail("Cannot write the capture file \"%s\": %s.", error);
      if (written == 0) {
        if (WaitWritable()) continue;
        notRead_ = true;
        error_ = TranslateAndFill("The reader of \"%s\" took nothing more; the capture ends with what it holds.",
                                  {path_});
        return false;
      }
      data += written;
      size -= static_cast<uint64_t>(written);
      written_ += static_cast<uint64_t>(written);
    }
    return true;
  }

  // Bytes in the file so far.
  uint64_t Written() const { return written_; }
  bool Started() const { return started_; }
  bool NotRead() const { return notRead_; }
  const std::string& Error() const { return error_; }

  // Cuts a regular file back to `size` bytes and goes on writing there; false
  // (nothing changed) for pipes and devices, or when the cut fails.
  bool TruncateTo(uint64_t size) {
    int error = 0;
    if (!file_.IsOpen() || !file_.Regular() || !file_.Truncate(size, &error)) return false;
    written_ = size;
    return true;
  }

  // Closes the file; one it created and never wrote is removed. false when
  // the close failed (the file may not hold all its bytes).
  bool Close() {
    if (!file_.IsOpen()) return true;
    int error = 0;
    if (!file_.Close(file_.Created() && !started_, &removed_, &error))
      return Fail("Cannot close the capture file \"%s\": %s.", error);
    return true;
  }
  bool Removed() const { return removed_; }

private:
  // englishTemplate names the file (first %s) and the cause (second). The
  // first error is the one that counts.
  bool Fail(const char* englishTemplate, int error) {
    if (error_.empty()) error_ = TranslateAndFill(englishTemplate, {path_, SystemErrorText(error)});
    return false;
  }

  // Waits for a pipe or device to take more, in short steps while the
  // capture does not give up; false when it gives up.
  bool WaitWritable() {
    constexpr int kStepMs = 100;
    for (;;) {
      if (giveUp_ && giveUp_()) return false;
      if (file_.WaitWritable(kStepMs)) return true;
    }
  }

  // 21 packets of 188 bytes: within PIPE_BUF (4,096 bytes on Linux).
  static constexpr uint64_t kWholePipeWrite = 21 * 188;

  std::string path_;
  SoleWriterFile file_;
  bool started_ = false;
  bool removed_ = false;
  bool notRead_ = false;
  uint64_t written_ = 0;
  std::string error_;
  std::function<bool()> giveUp_;
};

// Everything one CopyStreamRingToFile call keeps between passes.
class RingToFileLoop {
public:
  RingToFileLoop(const CaptureSettings& capture, const StreamRingAccess& access, CaptureFile& file)
      : timeMode_(capture.nRecordMode == 0),
        limitMs_(static_cast<uint64_t>(static_cast<uint32_t>(capture.nCaptureSeconds)) * 1000),
        access_(access),
        ring_(access.ring),
        ringSize_(access.layout.ringSize),
        chunk_(access.layout.chunkSize),
        file_(file),
        timings_(GetCaptureTimings()),
        stallLimitMs_(access.onePid ? kCaptureStallFailOnePidMs : kCaptureStallFailMs) {}

  void SetChunkPlan(const ChunkPlan& plan) {
    count_ = plan.count;
    totalChunks_ = plan.count;
    final_ = plan.finalBytes;
  }

  int Run(CaptureReport* report) {
    start_ = access_.nowMs();
    streamStart_ = start_;
    lastWriteAt_ = start_;
    lastPollMs_ = start_;
    lastDataMs_ = start_;
    file_.SetGiveUp([this] { return GiveUpWriting(); });
    while (running_ && bCaptureCancel.load(std::memory_order_relaxed) == 0) Pass();
    nCaptureStallMs.store(0, std::memory_order_relaxed);
    const bool exactSize = !timeMode_ && count_ == 0;
    if (!exactSize) EndOnPacketBoundary();
    if (timeMode_ && longestStallMs_ > stallLimitMs_ && end_ == CaptureEnd::Completed) {
      stalled_ = true;
      end_ = CaptureEnd::Stalled;
    }
    if (lost_ > 0 && end_ == CaptureEnd::Completed) end_ = CaptureEnd::DataLost;
    if (stalled_ || lost_ > 0) result_ = 0;
    report->end = end_;
    report->bytesLost = lost_;
    report->overruns = overruns_;
    report->longestStallMs = static_cast<uint32_t>(std::min<uint64_t>(longestStallMs_, UINT32_MAX));
    report->stallLimitMs = stallLimitMs_;
    report->stalled = stalled_;
    report->streamMs = syncPending_ ? 0 : access_.nowMs() - streamStart_;
    if (end_ == CaptureEnd::NoSync || end_ == CaptureEnd::NoPidPackets) report->waitedMs = timings_.syncTimeoutMs;
    return result_;
  }

private:
  uint32_t Distance(uint32_t from, uint32_t to) const {
    return to >= from ? to - from : ringSize_ - from + to;
  }
  uint8_t At(uint32_t from, uint32_t offset) const {
    uint64_t at = static_cast<uint64_t>(from) + offset;
    return ring_[at >= ringSize_ ? at - ringSize_ : at];
  }

  void Pass() {
    if ((timeMode_ && limitMs_ == 0) || (!timeMode_ && count_ == 0)) {
      running_ = false;
      return;
    }
    uint32_t w = 0;
    // An offset outside the ring is as good as a failed request: reading
    // there would leave the ring.
    if (!access_.writeOffset(&w) || w >= ringSize_) return Fail(CaptureEnd::BoxGone);
    const uint64_t now = access_.nowMs();
    const uint64_t sincePoll = now - lastPollMs_;
    lastPollMs_ = now;
    const bool firstPoll = !polled_;
    polled_ = true;
    if (syncPending_ && now - start_ > timings_.syncTimeoutMs)
      return Fail(access_.onePid ? CaptureEnd::NoPidPackets : CaptureEnd::NoSync);
    if (w == last_) {
      if (!syncPending_) NoteStall(now);
      return Idle();
    }
    const uint32_t seen = Distance(last_, w);
    const bool wrapTooLong = WrapTooLong(w, seen, sincePoll);
    if (wrapTooLong && RestartTellable() && w <= MostFreshBytes(sincePoll)) {
      // What the ring holds from the read offset on is the start of another
      // stream, or nothing at all: none of it is written.
      resyncPending_ = true;
      return Fail(CaptureEnd::StreamRestarted);
    }
    const bool suspect = !RateKnown() || MostArrivals(sincePoll) >= ringSize_ - kRingSafetyMargin || MayLapUnseen();
    // Where a sync search puts the read offset it judged by the ring as it
    // was then; the driver may have rewritten that part before the copy, so
    // the copy written from there is judged again by its own packet starts.
    // Once the ring has been overrun, the rate has shown that it cannot keep
    // a backlog safe (a poll interval long enough to hide a lap makes it look
    // slow): every copy is judged so from then on.
    stepsChecked_ = suspect || resyncPending_ || startUnconfirmed_ || overruns_ > 0;
    const uint64_t wraps = WholeRingsMissed(seen, sincePoll);
    if (!firstPoll) NoteRateSample(seen, sincePoll);
    lastDataMs_ = now;
    nCaptureStallMs.store(0, std::memory_order_relaxed);
    last_ = w;
    if (syncPending_) {
      if (last_ != 0) FindSync();
      if (!syncPending_) {
        // The time limit runs from the first stream byte on.
        streamStart_ = now;
        lastWriteAt_ = now;
      }
      access_.sleepMs(timings_.pollIntervalMs);
      return;
    }
    if (packetSize_ == 0 && wraps == 0) DetectPacketSize();
    const uint32_t pending = Distance(read_, last_);
    // When so much may have come since the last poll (or the rate is not
    // known yet) that the driver could have gone round the ring, a backlog
    // that looks small may hide a whole ring: then the next packet's sync
    // byte is not where it should be. (Streams with stray bytes between
    // packets are only judged this way when they come that fast, or once
    // they overran the ring.)
    const bool overwritten = stepsChecked_ && !resyncPending_ && packetSize_ != 0 && !SyncBytesInStep(pending);
    if (pending > ringSize_ - kRingSafetyMargin || wraps > 0 || overwritten || wrapTooLong) {
      // The driver may already be overwriting the oldest part: drop it all.
      DropBacklog(pending, wraps, overwritten || wrapTooLong);
      return Idle();
    }
    if (resyncPending_ && !Resync()) return Idle();
    if (read_ == last_) return Idle();
    if (!CopyBacklog()) return Idle();
    copyValid_ = true;
    // In a pass that judges its copy (see stepsChecked_ above) the driver may
    // have rewritten part of the backlog before or during the copy: only the
    // packets before the first one out of step are written, the rest is
    // dropped as in an overrun.
    const uint32_t intact = stepsChecked_ ? PacketsInStep() : Distance(read_, last_);
    startUnconfirmed_ = false;
    const uint32_t polled = last_;
    last_ = read_ + intact >= ringSize_ ? read_ + intact - ringSize_ : read_ + intact;
    bool passGoesOn = timeMode_ ? WriteTimed() : WriteSized();
    last_ = polled;
    if (running_ && intact < copy_.size()) {
      DropBacklog(Distance(read_, last_), 0, false);
      passGoesOn = false;
    }
    copyValid_ = false;
    if (passGoesOn) EndOfPass();
    else if (running_) Idle();
  }

  // Bytes of the copied backlog up to its first packet start (where the
  // file's packets put one) that holds no sync byte; all of it when every
  // one does. The driver overwrites a backlog from its oldest byte on, so
  // when the very first start is out of step the rest of the file's partial
  // packet before it is no better: none of the backlog is kept.
  uint32_t PacketsInStep() const {
    const uint32_t size = static_cast<uint32_t>(copy_.size());
    if (packetSize_ == 0) return size;
    const uint32_t first = PacketRemainder();
    for (uint64_t at = first; at < size; at += packetSize_)
      if (copy_[at] != 0x47) return at == first ? 0 : static_cast<uint32_t>(at);
    return size;
  }

  // A stream that can go round the whole ring within kUnseenLapMs may do so
  // between two polls without either poll showing it (a driver that catches
  // up in one burst): then every backlog's packet starts are checked. No
  // broadcast multiplex comes this fast (about 250 Mbit/s on the smallest
  // ring), so streams with stray bytes between packets are still written as
  // they come.
  bool MayLapUnseen() const { return bestRate_ * kUnseenLapMs >= ringSize_; }

  // A step back of the write offset is told a restart only for a stream
  // whose rate, measured for a while, shows it cannot go round the ring
  // between two polls. A faster stream's offset may land anywhere after a
  // lap, and its rate, seen through laps, may look far slower than it is:
  // the offset cannot tell the two apart, so the loss is reported instead.
  bool RestartTellable() const { return rateMs_ >= kUnseenLapMs && !MayLapUnseen(); }

  void Fail(CaptureEnd why) {
    if (end_ == CaptureEnd::Completed) end_ = why;
    result_ = 0;
    running_ = false;
  }

  // The driver writes on from where it was, wrapping at the ring's end, so a
  // write offset behind the last one is a wrap. A wrap that would have brought
  // far more than the stream's rate can bring since the last poll is no wrap:
  // the stream started afresh at the ring's start (a start this capture did
  // not make), when the offset is no further on than such a start could
  // have brought it since the last poll and the stream is slow enough to
  // tell (RestartTellable). Any other such wrap means the rate misled: the
  // stream went round the ring more often than its offset showed (a poll
  // interval long against the time the stream takes to fill the ring), so
  // the pass drops its backlog as an overrun.
  bool WrapTooLong(uint32_t w, uint32_t seen, uint64_t sincePollMs) const {
    if (w >= last_ || !RateKnown()) return false;
    return seen > MostFreshBytes(sincePollMs);
  }
  // The most a stream (started afresh or not) can have brought since the
  // last poll, with room for bursts.
  long double MostFreshBytes(uint64_t sincePollMs) const {
    return 4 * MostArrivals(sincePollMs) + kRestartSlackBytes;
  }

  // Whether a write waiting for a pipe or device to take more should give
  // up: on cancel, once a time-limited capture is past its limit by the
  // grace, or when a size-limited one has written nothing for a watchdog
  // period.
  bool GiveUpWriting() const {
    if (bCaptureCancel.load(std::memory_order_relaxed) != 0) return true;
    const uint64_t now = access_.nowMs();
    if (timeMode_) return now - streamStart_ >= limitMs_ + kCapturePipeGraceMs;
    return now - lastWriteAt_ >= timings_.watchdogPeriodMs;
  }

  // A pass that wrote nothing. A stalled or overrunning stream still ends at
  // the time limit and still trips the watchdog.
  void Idle() {
    if (!running_) return;
    if (!syncPending_) {
      if (timeMode_ && access_.nowMs() - streamStart_ >= limitMs_) {
        running_ = false;
        return;
      }
      if (!Watchdog()) return;
    }
    access_.sleepMs(timings_.pollIntervalMs);
  }

  // A poll that found no new data: the stall runs since the last poll that
  // did (time spent writing in between is ours, not the stream's). Keeps the
  // longest and shows the running one from the display threshold on.
  void NoteStall(uint64_t now) {
    const uint64_t stall = now - lastDataMs_;
    longestStallMs_ = std::max(longestStallMs_, stall);
    nCaptureStallMs.store(stall >= kCaptureStallShownMs ? static_cast<uint32_t>(std::min<uint64_t>(stall, UINT32_MAX)) : 0,
                          std::memory_order_relaxed);
  }

  // The write offset only tells where the driver is within the ring, so a
  // backlog that grew past a whole ring looks small. The stream's mean rate
  // so far tells how many whole rings went by since the last poll.
  // The stream's rate, sync passes included. A poll interval in which the
  // driver went round the ring shows far fewer bytes than came, and a burst
  // far more, so once the rate is known samples off it by more than half are
  // left out; an estimate of missed rings is never fed back into the rate,
  // where it would feed on itself. The first poll's bytes came in an
  // unknown time since the stream started (a slow first answer may hide
  // laps), so that poll gives no sample.
  void NoteRateSample(uint32_t seen, uint64_t sincePollMs) {
    if (sincePollMs == 0 || sincePollMs < timings_.pollIntervalMs / 2) return;
    bestRate_ = std::max(bestRate_, static_cast<long double>(seen) / sincePollMs);
    if (RateKnown()) {
      const long double mean = static_cast<long double>(rateBytes_) / rateMs_;
      const long double sample = static_cast<long double>(seen) / sincePollMs;
      if (2 * sample < mean || sample > 2 * mean) return;
    }
    rateBytes_ += seen;
    rateMs_ += sincePollMs;
  }

  // Stream bytes the best rate seen in one interval puts in `sincePollMs`:
  // what may have come, for deciding when to look closer (an interval never
  // shows more than came, so this errs on the side of looking).
  long double MostArrivals(uint64_t sincePollMs) const { return bestRate_ * sincePollMs; }

  // Stream bytes the mean rate so far puts in `sincePollMs`; 0 while unknown.
  long double ExpectedArrivals(uint64_t sincePollMs) const {
    if (!RateKnown()) return 0;
    return static_cast<long double>(rateBytes_) * sincePollMs / rateMs_;
  }
  // The true count is seen + k rings; the nearest k to the estimate is taken.
  uint64_t WholeRingsMissed(uint32_t seen, uint64_t sincePollMs) const {
    const long double expected = ExpectedArrivals(sincePollMs);
    if (expected <= seen) return 0;
    return static_cast<uint64_t>((expected - seen) / ringSize_ + 0.5L);
  }
  bool RateKnown() const { return rateBytes_ > 0 && rateMs_ >= kRateMeasureMinMs; }

  // The first sync byte of the stream. A 0x47 in the payload of a partial
  // packet the stream may start with is passed over when the stream already
  // shows that no packet length on (188, 192, 204 or 208 bytes) is a sync
  // byte; with less than that in the ring it is taken as it is (a stream
  // filtered to a sparse PID may bring one packet in seconds), and while
  // only some lengths can be checked it waits.
  void FindSync() {
    while (read_ != last_) {
      if (ring_[read_] == 0x47) {
        const uint32_t after = Distance(read_, last_);
        if (after <= kPacketSizes[0]) {
          syncPending_ = false;
          startUnconfirmed_ = true;
          return;
        }
        bool uncheckable = false;
        for (uint32_t size : kPacketSizes) {
          if (after <= size) {
            uncheckable = true;
          } else if (At(read_, size) == 0x47) {
            syncPending_ = false;
            startUnconfirmed_ = true;
            return;
          }
        }
        if (uncheckable) return;
      }
      if (++read_ == ringSize_) read_ = 0;
    }
  }

  // The packet length whose next two sync bytes after the first one are
  // there, 188 first (a box passes 204-byte packets with their parity bytes,
  // a recorded stream played to the box may have 192 or 208); 188 when none.
  void DetectPacketSize() {
    packetSize_ = kPacketSizes[0];
    for (uint32_t size : kPacketSizes) {
      if (Distance(read_, last_) <= 2 * size) return;
      if (At(read_, size) == 0x47 && At(read_, 2 * size) == 0x47) {
        packetSize_ = size;
        return;
      }
    }
  }

  // Whether the next (up to three) packet starts in the backlog hold sync
  // bytes where the file's packets put them.
  bool SyncBytesInStep(uint32_t pending) const {
    for (uint64_t at = PacketRemainder(), n = 0; at < pending && n < 3; at += packetSize_, ++n)
      if (At(read_, static_cast<uint32_t>(at)) != 0x47) return false;
    return true;
  }

  // Bytes still missing from the packet the file ends in.
  uint32_t PacketRemainder() const {
    if (packetSize_ == 0) return 0;
    const uint32_t fill = static_cast<uint32_t>((file_.Written() - boundaryBase_) % packetSize_);
    return fill == 0 ? 0 : packetSize_ - fill;
  }

  // Drops a backlog the driver may be overwriting. The packet the file ends
  // in is completed first (its rest is the oldest part of the backlog, which
  // is still there unless the driver went round the ring since; then the
  // partial packet is cut off instead), and the next write starts at a
  // packet boundary.
  void DropBacklog(uint32_t pending, uint64_t wraps, bool overwritten) {
    uint32_t kept = 0;
    // The bytes that complete the file's last packet lie in the oldest part
    // of the backlog, which the driver may be overwriting right now: they are
    // copied out first and used only if the driver cannot have reached them
    // meanwhile; otherwise the partial packet is cut off.
    if (wraps == 0 && !overwritten) overwritten = !CopyPacketRest(std::min(PacketRemainder(), pending), pending);
    if (wraps == 0 && !overwritten) {
      kept = std::min(PacketRemainder(), pending);
      if (!timeMode_ && kept >= BytesOwed()) {
        WriteRestAndEnd(read_);
        return;
      }
      if (!WriteWrapped(read_, kept)) return;
      if (!timeMode_) ConsumeOwed(kept);
    } else {
      lost_ += CutPartialPacket();
    }
    ++overruns_;
    lost_ += pending - kept + wraps * ringSize_;
    read_ = last_;
    resyncPending_ = true;
    copyValid_ = false;
  }

  // Copies `rest` bytes (the rest of the file's partial packet) out of the
  // ring for WriteBlock, with the byte after them when one of the `available`
  // is there; false when the driver may have reached them before the copy was
  // done, or when packet starts are being checked and the next one is out of
  // step with them.
  bool CopyPacketRest(uint32_t rest, uint32_t available) {
    const uint32_t size = rest < available ? rest + 1 : rest;
    copy_.resize(size);
    const uint32_t first = std::min(size, ringSize_ - read_);
    std::memcpy(copy_.data(), ring_ + read_, first);
    std::memcpy(copy_.data() + first, ring_, size - first);
    copyBase_ = read_;
    copyValid_ = true;
    const bool inStep = !stepsChecked_ || size == rest || copy_[rest] == 0x47;
    if (inStep && (!MayBeOverwrittenSoon(read_) || IntactAfterCopy(read_))) return true;
    copyValid_ = false;
    return false;
  }

  // Seeks a packet boundary from the read offset on: a sync byte with two
  // more one and two packets further (a lone 0x47 in a payload is common).
  // Bytes passed over are lost. false while none is found in what the ring
  // holds so far.
  bool Resync() {
    const uint32_t size = packetSize_ == 0 ? 188 : packetSize_;
    while (Distance(read_, last_) > 2 * size) {
      if (ring_[read_] == 0x47 && At(read_, size) == 0x47 && At(read_, 2 * size) == 0x47) {
        resyncPending_ = false;
        boundaryBase_ = file_.Written();
        return true;
      }
      ++lost_;
      if (++read_ == ringSize_) read_ = 0;
    }
    return false;
  }

  // Cuts the file back to its last packet boundary (a file that cannot be cut,
  // such as a pipe, keeps the partial packet). Returns the bytes cut off.
  uint64_t CutPartialPacket() {
    if (packetSize_ == 0) return 0;
    const uint64_t fill = (file_.Written() - boundaryBase_) % packetSize_;
    if (fill == 0 || !file_.TruncateTo(file_.Written() - fill)) return 0;
    if (!timeMode_) SetOwed(BytesOwed() + fill);
    return fill;
  }

  // A capture that ends before its size is reached ends on a packet boundary:
  // the rest of the last packet comes from the ring when it is there (one
  // more look at the write offset), else the partial packet is cut off.
  void EndOnPacketBoundary() {
    uint32_t need = PacketRemainder();
    if (need == 0 || syncPending_) return;
    if (writeFailed_ || resyncPending_) {
      CutPartialPacket();
      return;
    }
    if (!timeMode_) need = static_cast<uint32_t>(std::min<uint64_t>(need, BytesOwed()));
    uint32_t available = Distance(read_, last_);
    uint32_t w = 0;
    if (available < need && access_.writeOffset(&w) && w < ringSize_ &&
        Distance(read_, w) <= ringSize_ - kRingSafetyMargin && Distance(read_, w) >= available) {
      last_ = w;
      available = Distance(read_, w);
    }
    if (MostArrivals(access_.nowMs() - lastPollMs_) >= ringSize_ - kRingSafetyMargin) stepsChecked_ = true;
    if (available < need || !CopyPacketRest(need, available) || !WriteWrapped(read_, need)) {
      CutPartialPacket();
      return;
    }
    if (!timeMode_) ConsumeOwed(need);
  }

  // false when the write failed; the loop then ends. The bytes come from this
  // pass's copy of the backlog when they lie in it, else they are copied out
  // of the ring first (a slow file may take long enough for the driver to
  // overwrite the ring memory a write is still taking).
  bool WriteBlock(uint32_t from, uint64_t size) {
    if (size == 0) return true;
    const uint8_t* data = nullptr;
    const uint64_t offset = Distance(copyBase_, from);
    if (copyValid_ && offset + size <= copy_.size()) {
      data = copy_.data() + offset;
    } else {
      piece_.assign(ring_ + from, ring_ + from + size);
      data = piece_.data();
    }
    if (file_.Write(data, size)) {
      lastWriteAt_ = access_.nowMs();
      return true;
    }
    writeFailed_ = true;
    Fail(bCaptureCancel.load(std::memory_order_relaxed) != 0 ? CaptureEnd::Cancelled
         : file_.NotRead()                                  ? CaptureEnd::PipeNotRead
                                                            : CaptureEnd::WriteFailed);
    return false;
  }

  // Copies the whole backlog out of the ring right after the poll, while it
  // is still at least the safety margin ahead of the driver. With a stream so
  // fast that the driver may reach it during the copy, one more look at the
  // write offset tells whether it was still intact; if not it is dropped as
  // in an overrun (false).
  bool CopyBacklog() {
    const uint32_t pending = Distance(read_, last_);
    const uint32_t first = std::min(pending, ringSize_ - read_);
    copy_.resize(pending);
    if (access_.copying) access_.copying();
    std::memcpy(copy_.data(), ring_ + read_, first);
    std::memcpy(copy_.data() + first, ring_, pending - first);
    copyBase_ = read_;
    if (MayBeOverwrittenSoon(read_) && !IntactAfterCopy(read_)) {
      DropBacklog(pending, 0, true);
      return false;
    }
    return true;
  }

  // Whether the driver could reach `from` within a few milliseconds at the
  // stream's rate (it writes from the last seen write offset on).
  bool MayBeOverwrittenSoon(uint32_t from) const {
    if (!RateKnown()) return false;
    const uint32_t untilReached = from == last_ ? ringSize_ : Distance(last_, from);
    const long double soon = MostArrivals(access_.nowMs() - lastPollMs_ + kCopyAllowanceMs);
    return 2 * soon >= untilReached;
  }

  // One more look at the write offset after copying from `from`.
  bool IntactAfterCopy(uint32_t from) const {
    uint32_t w = 0;
    if (!access_.writeOffset(&w) || w >= ringSize_) return true;  // the next pass fails on it
    const uint32_t seen = Distance(last_, w);
    const uint64_t moved = seen + WholeRingsMissed(seen, access_.nowMs() - lastPollMs_) * ringSize_;
    const uint32_t untilReached = from == last_ ? ringSize_ : Distance(last_, from);
    return moved < untilReached;
  }

  // `size` bytes from `from`, across the ring's end when they run past it.
  bool WriteWrapped(uint32_t from, uint64_t size) {
    const uint64_t first = std::min<uint64_t>(size, ringSize_ - from);
    if (!WriteBlock(from, first)) return false;
    read_ = first == ringSize_ - from ? 0 : from + static_cast<uint32_t>(first);
    if (!WriteBlock(read_, size - first)) return false;
    read_ += static_cast<uint32_t>(size - first);
    return true;
  }

  // Time mode: every whole packet pending, in one or (wrapped) two pieces;
  // the start of a packet waits in the ring for its rest, so that the file
  // is on a packet boundary after every pass, whatever comes next (a pipe
  // cannot be cut back). false when the pass ended the capture.
  bool WriteTimed() {
    uint64_t n = Distance(read_, last_);
    if (packetSize_ != 0) {
      const uint64_t over = (n + file_.Written() - boundaryBase_) % packetSize_;
      n = n >= over ? n - over : 0;
    }
    if (!WriteWrapped(read_, n)) return false;
    uint64_t elapsed = access_.nowMs() - streamStart_;
    if (elapsed >= limitMs_) {
      // A write that ran past the limit (a slow disk, a pipe read late)
      // leaves what the stream brought between the last poll and the limit
      // unseen: one more pass writes it, or counts it lost when the ring
      // could not hold it all.
      if (!lookedPastLimit_ && streamStart_ + limitMs_ > lastPollMs_ + timings_.pollIntervalMs) {
        lookedPastLimit_ = true;
        return true;
      }
      running_ = false;
      return false;
    }
    nCaptureProgress.store(static_cast<int>(elapsed * 100 / limitMs_), std::memory_order_relaxed);
    return true;
  }

  uint64_t BytesOwed() const {
    return count_ == 0 ? 0 : static_cast<uint64_t>(count_ - 1) * chunk_ + final_;
  }
  // Keeps the chunk plan's shape (whole chunks, the last one 1..chunk bytes)
  // for a new number of bytes owed.
  void SetOwed(uint64_t owed) {
    if (owed == 0) {
      count_ = 0;
      return;
    }
    const uint64_t count = (owed + chunk_ - 1) / chunk_;
    count_ = static_cast<uint32_t>(std::min<uint64_t>(count, UINT32_MAX));
    final_ = static_cast<uint32_t>(owed - (count - 1) * chunk_);
    totalChunks_ = std::max(totalChunks_, count_);
  }
  void ConsumeOwed(uint64_t written) { SetOwed(BytesOwed() - std::min(written, BytesOwed())); }

  // Writes what is still owed and ends the capture.
  bool WriteRestAndEnd(uint32_t from) {
    if (WriteWrapped(from, BytesOwed())) {
      count_ = 0;
      running_ = false;
    }
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
      if (!WriteBlock(read_, n)) return false;
      count_ -= k;
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
    if (access_.nowMs() - lastWriteAt_ < timings_.watchdogPeriodMs) return true;
    bWriteActivity.store(0, std::memory_order_relaxed);
    stalled_ = true;
    Fail(CaptureEnd::Stalled);
    return false;
  }

  void EndOfPass() {
    if (Watchdog()) access_.sleepMs(timings_.pollIntervalMs);
  }

  // Below this much streaming time the mean rate says too little to count
  // missed rings by.
  static constexpr uint64_t kRateMeasureMinMs = 30;
  // Time a copy out of the ring is allowed, in the judgement above.
  static constexpr uint64_t kCopyAllowanceMs = 5;
  static constexpr long double kUnseenLapMs = 100;
  static constexpr uint32_t kPacketSizes[] = {188, 192, 204, 208};
  // A restart is told from a wrap only when it brought this much more than
  // the rate allows.
  static constexpr long double kRestartSlackBytes = 65536;

  const bool timeMode_;
  const uint64_t limitMs_;
  const StreamRingAccess& access_;
  const uint8_t* const ring_;
  const uint32_t ringSize_;
  const uint32_t chunk_;
  CaptureFile& file_;
  const CaptureTimings timings_;

  uint32_t read_ = 0;
  uint32_t last_ = 0;
  bool syncPending_ = true;
  bool resyncPending_ = false;
  bool stepsChecked_ = true;    // this pass judges the ring by its sync bytes
  bool startUnconfirmed_ = false;  // the read offset found by the sync search awaits its copy's judgement
  bool lookedPastLimit_ = false;  // the one pass after a write that ran past the time limit
  uint32_t packetSize_ = 0;     // 0 until the first data pass
  uint64_t boundaryBase_ = 0;   // file size at the last known packet boundary
  uint64_t start_ = 0;
  uint64_t streamStart_ = 0;    // the first sync byte: the time limit runs from here
  uint64_t lastWriteAt_ = 0;    // for the watchdog
  const uint32_t stallLimitMs_;
  CaptureEnd end_ = CaptureEnd::Completed;
  uint64_t lastPollMs_ = 0;
  uint64_t lastDataMs_ = 0;     // when the write offset last moved
  bool polled_ = false;         // the write offset has been read once
  uint64_t rateBytes_ = 0;      // stream bytes seen in the intervals measured
  uint64_t rateMs_ = 0;         // and those intervals' length
  long double bestRate_ = 0;    // bytes/ms of the fullest interval
  uint64_t longestStallMs_ = 0;
  uint64_t lost_ = 0;
  uint32_t overruns_ = 0;
  bool stalled_ = false;
  bool writeFailed_ = false;
  std::vector<uint8_t> copy_;    // this pass's backlog, copied out of the ring
  uint32_t copyBase_ = 0;        // ring offset of its first byte
  bool copyValid_ = false;       // while the pass writes from it
  std::vector<uint8_t> piece_;   // a small piece copied out for one write
  uint32_t count_ = 0;
  uint32_t totalChunks_ = 0;
  uint32_t final_ = 0;
  bool running_ = true;
  int result_ = 1;
};

std::mutex gReportMutex;
CaptureReport gLastReport;

void SetLastReport(const CaptureReport& report) {
  std::lock_guard<std::mutex> lock(gReportMutex);
  gLastReport = report;
}

// Groups the digits of a byte count in threes: 1,234,567.
std::string GroupedNumber(uint64_t value) {
  std::string digits = std::to_string(value);
  for (int at = static_cast<int>(digits.size()) - 3; at > 0; at -= 3) digits.insert(static_cast<size_t>(at), ",");
  return digits;
}

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

namespace {

// The loop over an open file; fills *report with what the loop knows.
int CopyStreamRingToOpenFile(const CaptureSettings& capture, const StreamRingAccess& access,
                             CaptureFile& file, CaptureReport* report) {
  ChunkPlan plan{0, 0};
  if (capture.nRecordMode != 0) {
    uint64_t total = static_cast<uint64_t>(static_cast<uint32_t>(capture.nCaptureMegabytes)) << 20;
    if (!PlanCaptureChunks(total, access.layout.chunkSize, &plan)) return 0;
  }
  RingToFileLoop loop(capture, access, file);
  loop.SetChunkPlan(plan);
  return loop.Run(report);
}

// Closes the file and completes the report: what the file holds, and a
// failure to close, which may have lost bytes.
int FinishFile(CaptureFile& file, int result, CaptureReport* report) {
  // A completed capture leaves its file, even with nothing in it (a zero
  // limit from a settings dialog).
  if (result != 0 && !file.Started() && !file.Write(nullptr, 0)) result = 0;
  report->bytesWritten = file.Written();
  report->fileCreated = file.Started();
  if (!file.Close()) {
    result = 0;
    if (report->end == CaptureEnd::Completed) report->end = CaptureEnd::WriteFailed;
  }
  report->fileRemoved = file.Removed();
  if (report->fileError.empty()) report->fileError = file.Error();
  report->cancelled = bCaptureCancel.load(std::memory_order_relaxed) != 0;
  if (report->cancelled) {
    result = 0;
    report->end = CaptureEnd::Cancelled;
  }
  return result;
}

// A problem of the box (in use, not answering, gone) says more than the
// failure it caused.
void BlameTheBox(CaptureReport* report) {
  const TunerProblemReport problem = GetTunerProblem();
  switch (problem.problem) {
    case TunerProblem::InUse:
      report->end = CaptureEnd::InUse;
      report->ownerPid = problem.ownerPid;
      break;
    case TunerProblem::NotAnswering:
      report->end = CaptureEnd::NotAnswering;
      report->waitedMs = problem.timeoutMs;
      break;
    case TunerProblem::Gone:
      report->end = CaptureEnd::BoxGone;
      break;
    case TunerProblem::None:
      break;
  }
}

// Opens (and locks) the capture's file; a file that cannot be used ends the
// capture before anything else.
bool OpenCaptureFile(CaptureFile& file, CaptureReport* report) {
  if (file.Open()) return true;
  report->end = CaptureEnd::FileUnusable;
  report->fileError = file.Error();
  SetLastReport(*report);
  return false;
}

// A fresh report for a capture into `path`, published at once.
CaptureReport StartReport(const char* path) {
  CaptureReport report;
  report.path = path ? path : "";
  SetLastReport(report);
  return report;
}

// Starts the stream and copies it into the open file.
int CaptureStreamToOpenFile(const CaptureSettings& capture, CaptureFile& file, CaptureReport* report) {
  uint8_t* ring = nullptr;
  size_t mapped = 0;
  if (!StartStream(&ring, &mapped)) {
    report->end = CaptureEnd::BoxGone;
    return 0;
  }
  const int pid = nCapturePid.load();
  const int model = nTunerModel.load();
  SetPidFilter(pid);
  StreamRingAccess access;
  access.onePid = pid != 0 && (model == 12 || model == 20);  // the boxes with a PID filter
  access.ring = ring;
  access.layout = GetStreamLayout(model);
  // A model number that does not match the open box could name a longer ring
  // than the one mapped.
  if (ring == nullptr || mapped < access.layout.ringSize) {
    StopStream();
    report->end = CaptureEnd::BoxGone;
    return 0;
  }
  access.writeOffset = [](uint32_t* offset) { return GetStreamWritePosition(offset) != 0; };
  access.nowMs = NowMs;
  access.sleepMs = [](uint32_t milliseconds) { SleepMs(milliseconds); };
  report->pid = pid & kMaxPid;
  int result = CopyStreamRingToOpenFile(capture, access, file, report);
  StopStream();
  return result;
}

}  // namespace

int CopyStreamRingToFile(const CaptureSettings& capture, const StreamRingAccess& access,
                         const char* path) {
  CaptureReport report = StartReport(path);
  CaptureFile file(report.path);
  if (!OpenCaptureFile(file, &report)) return 0;
  int result = CopyStreamRingToOpenFile(capture, access, file, &report);
  result = FinishFile(file, result, &report);
  SetLastReport(report);
  return result;
}

int CaptureStreamToFile(const CaptureSettings& capture, const char* path) {
  ClearTunerProblem();
  CaptureReport report = StartReport(path);
  CaptureFile file(report.path);
  if (!OpenCaptureFile(file, &report)) return 0;
  int result = CaptureStreamToOpenFile(capture, file, &report);
  if (result == 0 && report.end != CaptureEnd::Cancelled) BlameTheBox(&report);
  result = FinishFile(file, result, &report);
  SetLastReport(report);
  return result;
}

int RunCapture(const ChannelSettings& channel, const CaptureSettings& capture, const char* path) {
  ClearTunerProblem();
  CaptureReport report = StartReport(path);
  // Everything that can be checked without the box first: the file is
  // opened and locked before anything is tuned.
  CaptureFile file(report.path);
  if (!OpenCaptureFile(file, &report)) return 0;
  const int model = nTunerModel.load();
  int result = 0;
  const auto failed = [&](CaptureEnd why) {
    report.end = bCaptureCancel.load() != 0 ? CaptureEnd::Cancelled : why;
    return 0;
  };
  nCaptureStage.store(CaptureStage::Tuning);
  const uint32_t lockMs = nCaptureLockTimeoutMs.load() ? nCaptureLockTimeoutMs.load() : GetDefaultLockTimeoutMs(model);
  TuneOutcome tuned = TuneOutcome::Refused;
  if (GetBoxStreamOwner() > 0) {
    result = failed(CaptureEnd::InUse);
  } else if ((tuned = TuneChannelUntil(-1, channel, capture, lockMs)) == TuneOutcome::Refused) {
    const bool noLo = GetTunerFamily(model) == TunerFamily::Satellite && GetSatelliteTuneLo(channel, capture) == 0;
    report.frequency = channel.words[0];
    result = failed(noLo ? CaptureEnd::NoLnbLo : CaptureEnd::TuneRefused);
  } else if (bCaptureCancel.load() != 0) {
    result = failed(CaptureEnd::Cancelled);
  } else {
    // A box that took the channel but never got ready did not lock.
    const LockWait lock = tuned == TuneOutcome::NotReady ? LockWait::NoLock : WaitForTunerLock(lockMs);
    bool go = lock == LockWait::Locked;
    if (lock == LockWait::NoLock) {
      report.waitedMs = lockMs;
      result = failed(CaptureEnd::NoLock);
    } else if (lock == LockWait::Failed) {
      // A box that cannot say whether it locked is judged by its stream.
      go = GetTunerProblem().problem == TunerProblem::None && bCaptureCancel.load() == 0;
      if (!go) result = failed(CaptureEnd::BoxGone);
    }
    if (go) {
      bool patSeen = model == 46 || model == 20 || model == 12;
      nCaptureStage.store(CaptureStage::Probing);
      for (int attempt = 0; attempt < 3 && !patSeen && bCaptureCancel.load() == 0; ++attempt)
        patSeen = ProbeLivePat(1) == 1;
      if (!patSeen) {
        // The probe's own requests note no problem of the box: whether another
        // program took the stream meanwhile, or the box stopped answering its
        // stream requests, is asked here (either is noted, and told below).
        uint32_t offset = 0;
        if (bCaptureCancel.load() == 0 && GetBoxStreamOwner() <= 0) GetStreamWritePosition(&offset);
        report.waitedMs = 3 * GetCaptureTimings().probeTimeoutMs;
        result = failed(CaptureEnd::NoPat);
      } else if (bCaptureCancel.load() != 0) {
        result = failed(CaptureEnd::Cancelled);
      } else {
        nCaptureStage.store(CaptureStage::Streaming);
        result = CaptureStreamToOpenFile(capture, file, &report);
      }
    }
  }
  if (result == 0 && report.end != CaptureEnd::Cancelled) BlameTheBox(&report);
  result = FinishFile(file, result, &report);
  nCaptureStage.store(CaptureStage::Idle);
  SetLastReport(report);
  return result;
}

CaptureReport GetLastCaptureReport() {
  std::lock_guard<std::mutex> lock(gReportMutex);
  return gLastReport;
}

namespace {

std::string Seconds(uint64_t milliseconds) { return std::to_string((milliseconds + 500) / 1000); }

// The line that says why a capture failed; empty when the lines about lost
// data and stalls say it, or nothing is known.
std::string DescribeCaptureEnd(const CaptureReport& report) {
  if (!report.endText.empty() && report.end != CaptureEnd::Cancelled) return report.endText;
  char pid[16];
  std::snprintf(pid, sizeof pid, "0x%04X", static_cast<unsigned>(report.pid));
  switch (report.end) {
    case CaptureEnd::Completed:
    case CaptureEnd::Stalled:
    case CaptureEnd::DataLost:
      return {};
    case CaptureEnd::Cancelled: return TranslateText("The capture was cancelled.");
    case CaptureEnd::FileUnusable:
    case CaptureEnd::WriteFailed:
    case CaptureEnd::PipeNotRead:
      return report.fileError;
    case CaptureEnd::InUse:
      return TranslateAndFill("The box is in use by another program (PID %s).", {std::to_string(report.ownerPid)});
    case CaptureEnd::NotAnswering:
      return TranslateAndFill("The box did not answer within %s s.", {Seconds(report.waitedMs)});
    case CaptureEnd::BoxGone: return TranslateText("The box stopped answering (unplugged?).");
    case CaptureEnd::TuneRefused: return TranslateText("The box did not accept the channel.");
    case CaptureEnd::NoLnbLo:
      return TranslateAndFill("No LO of the LNB brings %s MHz into the tuner's range.",
                              {std::to_string(report.frequency)});
    case CaptureEnd::NoLock:
      return TranslateAndFill("The tuner did not lock within %s s.", {Seconds(report.waitedMs)});
    case CaptureEnd::NoPat:
      return TranslateAndFill("No PAT came in the stream within %s s.", {Seconds(report.waitedMs)});
    case CaptureEnd::NoSync:
      return TranslateAndFill("The stream had no sync byte (0x47) within %s s.", {Seconds(report.waitedMs)});
    case CaptureEnd::NoPidPackets:
      return TranslateAndFill("No packet of PID %s came within %s s.", {pid, Seconds(report.waitedMs)});
    case CaptureEnd::StreamRestarted:
      return TranslateText("The box started its stream afresh under the capture (another program?).");
  }
  return {};
}

}  // namespace

std::string DescribeCaptureResult(int result, const CaptureReport& report) {
  std::string text = TranslateText(result != 0 ? "Successful operation !" : "Operation fail !");
  if (result == 0) {
    const std::string why = DescribeCaptureEnd(report);
    if (!why.empty()) text += "\n" + why;
  }
  if (report.bytesLost > 0)
    text += "\n" + TranslateAndFill("The capture could not keep up with the stream: %s bytes were lost.",
                                    {GroupedNumber(report.bytesLost)});
  if (report.stalled || report.longestStallMs > report.stallLimitMs)
    text += "\n" + TranslateAndFill("The stream stalled for %s s.",
                                    {std::to_string((report.longestStallMs + 500) / 1000)});
  if (report.path.empty()) return text;
  char duration[32];
  std::snprintf(duration, sizeof duration, "%.1f", report.streamMs / 1000.0);
  if (result != 0)
    text += "\n" + TranslateAndFill("Saved %s bytes (%s s of stream) in %s.",
                                    {GroupedNumber(report.bytesWritten), duration, report.path});
  else if (report.fileRemoved)
    text += "\n" + TranslateAndFill("The file %s was removed: nothing was written to it.", {report.path});
  else if (report.fileCreated)
    text += "\n" + TranslateAndFill("The file %s keeps %s bytes.", {report.path, GroupedNumber(report.bytesWritten)});
  else if (report.end != CaptureEnd::FileUnusable)
    text += "\n" + TranslateAndFill("The file %s was left as it was: nothing was written to it.", {report.path});
  return text;
}

bool IsNonEmptyFile(const std::string& path) {
  uint64_t size = 0;
  return GetPathKind(path) == PathKind::File && GetFileSize64(path, &size) && size > 0;
}

int CaptureThreadProc() {
  // Our own reference: whoever started us may drop theirs once it is signalled.
  std::shared_ptr<SyncEvent> done = hCaptureDone;
  CaptureSettingsBlock block = GetSettingsBlock();
  block.szCaptureFile[kCaptureFileSize - 1] = '\0';
  int result = RunCapture(block.channel, block.capture, block.szCaptureFile);
  const std::string message = DescribeCaptureResult(result, GetLastCaptureReport());
  if (done) done->Set();
  ShowMessage(message);
  return result;
}
