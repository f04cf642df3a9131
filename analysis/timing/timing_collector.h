// The timing of every program as the health engine passes it on: the PCRs
// of each PCR_PID, the PTS and DTS of each elementary stream a PMT names,
// each stream's offset to its program's clock (PTS - PCR) and the slope of
// that offset (drift, parts per million, a least-squares fit), and where the
// clock jumped or was marked discontinuous. Series are bounded (halved when
// full), so memory stays small on any length of stream.
//
// Fed on the engine's thread (a StreamObserver); Snapshot() may be called
// from any other thread at any time. The engine's thread only queues what
// each call brings (a PCR, a PES header's timestamps, a PMT's streams): the
// bookkeeping is done in batches by a thread of the collector's own, or by
// whoever takes a snapshot, so that it does not slow the analysis.
#pragma once

#include <array>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <vector>

#include "analysis/health/stream_health.h"
#include "analysis/timing/timing_series.h"

// What marks the clock: a PCR with discontinuity_indicator set, or a PCR
// that did not follow from the previous one at the stream's pace.
enum class TimingEventKind { DiscontinuityIndicator, PcrJump };

struct TimingEvent {
  TimingEventKind kind = TimingEventKind::PcrJump;
  int pid = 0;
  uint64_t byteOffset = 0;
  double timeS = 0;   // on the program's clock, which runs on across the event
  double stepS = 0;   // the PCR step as coded (may be negative)
};

// Least-squares slope of y over x, with a fresh intercept after each Break
// (a clock jump moves the line, it does not tilt it), and the margin of that
// slope. The margin is the wider of two: the points' scatter about the line,
// and the scatter of the means of y over each stretch of kBatchX of x, which
// a slow wander (a multiplexer's buffer filling) keeps wide where the points'
// own scatter would make a short fit look surer than it is.
class DriftFit {
public:
  static constexpr double kBatchX = 1.0;

  void Add(double x, double y);
  void Break();
  // y per x; none before two distinct x.
  std::optional<double> Slope() const;
  // Half the width of the slope's 95 % confidence interval; none before
  // three means.
  std::optional<double> Margin() const;
  uint64_t Count() const { return points_.Count(); }
  // The x covered by the points, added over the pieces.
  double Span() const { return span_ + (points_.n > 0 ? lastX_ - firstX_ : 0); }

private:
  // Running means and co-moments of a piece, and of the pieces before it.
  struct Line {
    void Add(double x, double y);
    void Break();
    uint64_t Count() const { return pooledN + n; }
    // Slope and its standard error, with an intercept for each piece.
    std::optional<double> Slope() const;
    std::optional<double> StandardError(uint64_t* freedom) const;
    uint64_t n = 0;
    double meanX = 0, meanY = 0, sxx = 0, sxy = 0, syy = 0;
    uint64_t pooledN = 0, pooledPieces = 0;
    double pooledSxx = 0, pooledSxy = 0, pooledSyy = 0;
  };
  void CloseBatch();

  Line points_, means_;
  // The stretch of x not yet closed into a mean.
  uint64_t batchN_ = 0;
  double batchFirstX_ = 0, batchSumX_ = 0, batchSumY_ = 0;
  double firstX_ = 0, lastX_ = 0, span_ = 0;
};

struct TimingStream {
  int pid = 0;
  int streamType = -1;
  TimingSeries pts;       // seconds (PTS / 90 kHz)
  TimingSeries dts;       // seconds
  TimingSeries offsetMs;  // PTS - PCR, milliseconds
  double meanOffsetMs = 0;
  std::optional<double> driftPpm;        // once the fit covers kMinDriftSpanS
  std::optional<double> driftMarginPpm;  // 95 % confidence: the drift lies within driftPpm +- this
};

// One program's timing as of a moment.
struct TimingView {
  bool known = false;     // its PMT was seen
  int programNumber = 0;
  int pcrPid = -1;
  TimingSeries pcr;       // seconds (PCR / 27 MHz)
  std::vector<TimingStream> streams;  // ascending PID, those with a PTS
  std::vector<TimingEvent> events;    // on its PCR_PID, in stream order
};

class TimingCollector final : public StreamObserver {
public:
  // A fit over less stream time than this gives no drift figure.
  static constexpr double kMinDriftSpanS = 1.0;
  static constexpr size_t kMaxEvents = 2000;
  // `pcrStepLimitS`: a PCR step further than this from what the bytes since
  // the previous PCR lead to expect is a jump. `maxBuckets` per series,
  // fewer when many series share the total budget.
  explicit TimingCollector(double pcrStepLimitS = 0.100, size_t maxBuckets = 2048, size_t bucketBudget = 1u << 19);
  ~TimingCollector() override;
  TimingCollector(const TimingCollector&) = delete;
  TimingCollector& operator=(const TimingCollector&) = delete;

  void OnSection(int pid, const uint8_t* section, size_t size, uint64_t byteOffset) override;
  void OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart, uint64_t byteOffset) override;
  void OnPcr(int pid, uint64_t pcr27MHz, uint64_t byteOffset, bool discontinuityIndicator) override;
  // Only the PES headers are read: the engine passes no other payload.
  const std::bitset<8192>* EsPayloadWanted() const override { return NoEsPayloads(); }
  bool EsPesStartsWanted() const override { return true; }

  // Both include everything fed before the call.
  TimingView Snapshot(int programNumber) const;
  // Program numbers whose PMT was seen, ascending.
  std::vector<int> Programs() const;

private:
  struct Program {
    int pcrPid = -1;
    std::vector<std::pair<int, int>> streams;  // PID, stream_type
  };
  // One call of the engine's, as queued.
  struct Queued {
    enum Kind : uint8_t { kPcr, kPts, kPmt } kind = kPcr;
    bool indicator = false;  // kPcr: discontinuity_indicator
    bool hasDts = false;     // kPts
    uint16_t pid = 0;
    int32_t programNumber = 0;  // kPmt; its streams wait in queuedPmts_
    uint64_t byteOffset = 0;
    uint64_t value = 0;      // kPcr: 27 MHz; kPts: the PTS
    uint64_t dts = 0;
  };
  static constexpr size_t kQueueSize = 8192;

  void Queue(const Queued& call);
  void Wake();
  void Work();
  // Under mutex_: what the queue holds, in order. The bookkeeping below is
  // only ever done through it, so a const snapshot may bring it up to date.
  void TakeQueued() const;
  void ApplyPcr(int pid, uint64_t pcr27MHz, uint64_t byteOffset, bool indicator) const;
  void ApplyPts(int pid, uint64_t pts, const std::optional<uint64_t>& dts, uint64_t byteOffset) const;
  void ApplyPmt(int programNumber, Program program) const;
  struct Clock {
    bool have = false;
    uint64_t last = 0;         // 27 MHz
    uint64_t lastOffset = 0;
    double timeS = 0;          // at lastOffset
    double secondsPerByte = 0; // 0: not known yet
    uint64_t segment = 0;      // counts jumps and discontinuities
    TimingSeries values;
    std::vector<TimingEvent> events;
    double TimeAt(uint64_t offset) const;
    // The clock at `offset` in 27 MHz ticks, modulo the PCR period.
    double PcrAt(uint64_t offset) const;
  };
  struct Stream {
    TimingSeries pts, dts, offsetMs;
    DriftFit fit;
    uint64_t fitSegment = 0;
    double lastOffsetS = 0;
    double offsetSumMs = 0;
  };

  void Rebudget() const;
  TimingSeries NewSeries() const { return TimingSeries(seriesBuckets_); }

  const double pcrStepLimitS_;
  const size_t maxBuckets_;
  const size_t bucketBudget_;

  // The queue: a ring the engine's thread alone writes; it is taken under
  // mutex_. A full ring is taken by the engine's thread itself.
  std::array<Queued, kQueueSize> queue_{};
  std::atomic<uint64_t> queued_{0};
  mutable std::atomic<uint64_t> taken_{0};
  mutable std::mutex pmtMutex_;
  mutable std::deque<Program> queuedPmts_;  // under pmtMutex_, in queue order
  // On the engine's thread: each program's last PMT section queued. A PMT
  // repeats a few times a second unchanged; only a new one is queued.
  std::unordered_map<int, std::vector<uint8_t>> lastPmts_;
  // The thread that takes the queue once it is half full.
  std::mutex wakeMutex_;
  std::condition_variable wakeUp_;
  bool woken_ = false;
  bool stopping_ = false;
  std::thread worker_;

  // The bookkeeping, under mutex_.
  mutable std::mutex mutex_;
  mutable size_t seriesBuckets_;
  mutable std::map<int, Program> programs_;   // by program_number
  mutable std::map<int, Clock> clocks_;       // by PCR_PID
  mutable std::map<int, Stream> streams_;     // by ES PID
  // The same by number, for every PCR and PES header (the maps' nodes never
  // move): -1 or null where there is none.
  mutable std::vector<int> programOfPid_ = std::vector<int>(8192, -1);     // ES PID -> program_number
  mutable std::vector<int> pcrPidOfProgram_ = std::vector<int>(65536, -1);  // program_number -> PCR_PID
  mutable std::vector<Clock*> clockOfPid_ = std::vector<Clock*>(8192, nullptr);
  mutable std::vector<Stream*> streamOfPid_ = std::vector<Stream*>(8192, nullptr);
};
