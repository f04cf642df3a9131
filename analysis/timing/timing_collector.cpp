#include "analysis/timing/timing_collector.h"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "analysis/timing/pes_timestamps.h"

namespace {

constexpr double kPcrHz = 27e6;
constexpr uint64_t kPcrWrap = kPesTimestampWrap * 300;  // 33-bit base x 300
// Without a pace yet, a PCR step beyond this (or backwards) is a jump.
constexpr double kMaxUnpacedStepS = 1.0;
// An offset that moves further than this from one PTS to the next is a new
// piece of the stream (a splice), not drift.
constexpr double kOffsetJumpS = 1.0;
constexpr size_t kMinSeriesBuckets = 16;

// `a - b` on a circle of `period` ticks, the nearer way round. (fmod only
// when needed: it is the costly part, and within a period it changes nothing.)
double WrappedDifference(double a, double b, double period) {
  double d = a - b;
  if (!(std::fabs(d) < period)) d = std::fmod(d, period);
  if (d > period / 2) d -= period;
  if (d < -period / 2) d += period;
  return d;
}

}  // namespace

void DriftFit::Line::Add(double x, double y) {
  ++n;
  const double dx = x - meanX;
  const double dy = y - meanY;
  meanX += dx / static_cast<double>(n);
  meanY += dy / static_cast<double>(n);
  sxx += dx * (x - meanX);
  sxy += dx * (y - meanY);
  syy += dy * (y - meanY);
}

void DriftFit::Line::Break() {
  pooledSxx += sxx;
  pooledSxy += sxy;
  pooledSyy += syy;
  pooledN += n;
  if (n > 0) ++pooledPieces;
  n = 0;
  meanX = meanY = sxx = sxy = syy = 0;
}

std::optional<double> DriftFit::Line::Slope() const {
  const double totalSxx = pooledSxx + sxx;
  if (!(totalSxx > 0)) return std::nullopt;
  return (pooledSxy + sxy) / totalSxx;
}

std::optional<double> DriftFit::Line::StandardError(uint64_t* freedom) const {
  const double totalSxx = pooledSxx + sxx;
  const double totalSxy = pooledSxy + sxy;
  // One slope for all pieces, an intercept for each.
  const uint64_t parameters = 1 + pooledPieces + (n > 0 ? 1 : 0);
  if (!(totalSxx > 0) || Count() <= parameters) return std::nullopt;
  *freedom = Count() - parameters;
  const double residual = std::max(0.0, pooledSyy + syy - totalSxy * totalSxy / totalSxx);
  return std::sqrt(residual / static_cast<double>(*freedom) / totalSxx);
}

void DriftFit::Add(double x, double y) {
  if (points_.n == 0) firstX_ = x;
  lastX_ = x;
  points_.Add(x, y);
  if (batchN_ > 0 && !(x - batchFirstX_ < kBatchX)) CloseBatch();
  if (batchN_ == 0) batchFirstX_ = x;
  ++batchN_;
  batchSumX_ += x;
  batchSumY_ += y;
}

void DriftFit::CloseBatch() {
  if (batchN_ == 0) return;
  means_.Add(batchSumX_ / static_cast<double>(batchN_), batchSumY_ / static_cast<double>(batchN_));
  batchN_ = 0;
  batchSumX_ = batchSumY_ = 0;
}

void DriftFit::Break() {
  CloseBatch();
  span_ += points_.n > 0 ? lastX_ - firstX_ : 0;
  points_.Break();
  means_.Break();
}

std::optional<double> DriftFit::Slope() const { return points_.Slope(); }

std::optional<double> DriftFit::Margin() const {
  // Student's t, two-sided 95 %, by degrees of freedom; beyond the table
  // within 0.003 of it.
  static constexpr double kT95[] = {12.706, 4.303, 3.182, 2.776, 2.571, 2.447, 2.365, 2.306, 2.262, 2.228,
                                    2.201,  2.179, 2.160, 2.145, 2.131, 2.120, 2.110, 2.101, 2.093, 2.086,
                                    2.080,  2.074, 2.069, 2.064, 2.060, 2.056, 2.052, 2.048, 2.045, 2.042};
  auto t95 = [](uint64_t freedom) {
    return freedom <= std::size(kT95) ? kT95[freedom - 1] : 1.960 + 2.4 / static_cast<double>(freedom);
  };
  Line means = means_;
  if (batchN_ > 0) means.Add(batchSumX_ / static_cast<double>(batchN_), batchSumY_ / static_cast<double>(batchN_));
  uint64_t meansFreedom = 0, pointsFreedom = 0;
  const std::optional<double> ofMeans = means.StandardError(&meansFreedom);
  const std::optional<double> ofPoints = points_.StandardError(&pointsFreedom);
  if (!ofMeans || !ofPoints) return std::nullopt;
  return std::max(t95(meansFreedom) * *ofMeans, t95(pointsFreedom) * *ofPoints);
}

double TimingCollector::Clock::TimeAt(uint64_t offset) const {
  return timeS + (static_cast<double>(offset) - static_cast<double>(lastOffset)) * secondsPerByte;
}

double TimingCollector::Clock::PcrAt(uint64_t offset) const {
  const double ticks = static_cast<double>(last) +
                       (static_cast<double>(offset) - static_cast<double>(lastOffset)) * secondsPerByte * kPcrHz;
  const double wrap = static_cast<double>(kPcrWrap);
  const double x = ticks + wrap;
  // What fmod gives, without its cost: x itself below one period, and the
  // subtraction (exact there) below two.
  if (x >= 0 && x < wrap) return x;
  if (x >= wrap && x < 2 * wrap) return x - wrap;
  return std::fmod(x, wrap);
}

TimingCollector::TimingCollector(double pcrStepLimitS, size_t maxBuckets, size_t bucketBudget)
    : pcrStepLimitS_(pcrStepLimitS),
      maxBuckets_(std::max(kMinSeriesBuckets, maxBuckets)),
      bucketBudget_(bucketBudget),
      seriesBuckets_(maxBuckets_) {}

TimingCollector::~TimingCollector() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    stopping_ = true;
  }
  wakeUp_.notify_one();
  if (worker_.joinable()) worker_.join();
}

void TimingCollector::Queue(const Queued& call) {
  const uint64_t at = queued_.load(std::memory_order_relaxed);
  if (at - taken_.load(std::memory_order_acquire) >= kQueueSize) {
    // The worker is behind (or there is none): no call is dropped.
    std::lock_guard<std::mutex> lock(mutex_);
    TakeQueued();
  }
  queue_[at % kQueueSize] = call;
  queued_.store(at + 1, std::memory_order_release);
  if (at + 1 - taken_.load(std::memory_order_relaxed) == kQueueSize / 2) Wake();
}

void TimingCollector::Wake() {
  {
    std::lock_guard<std::mutex> lock(wakeMutex_);
    woken_ = true;
  }
  if (!worker_.joinable()) {
    try {
      worker_ = std::thread([this] { Work(); });
    } catch (const std::system_error&) {
      return;  // no thread to be had: the queue is taken when full
    }
  }
  wakeUp_.notify_one();
}

void TimingCollector::Work() {
  std::unique_lock<std::mutex> wake(wakeMutex_);
  while (true) {
    wakeUp_.wait(wake, [this] { return woken_ || stopping_; });
    if (stopping_) return;
    woken_ = false;
    wake.unlock();
    {
      std::lock_guard<std::mutex> lock(mutex_);
      TakeQueued();
    }
    wake.lock();
  }
}

void TimingCollector::TakeQueued() const {
  const uint64_t end = queued_.load(std::memory_order_acquire);
  for (uint64_t at = taken_.load(std::memory_order_relaxed); at < end; ++at) {
    const Queued& call = queue_[at % kQueueSize];
    switch (call.kind) {
      case Queued::kPcr:
        ApplyPcr(call.pid, call.value, call.byteOffset, call.indicator);
        break;
      case Queued::kPts:
        ApplyPts(call.pid, call.value, call.hasDts ? std::optional<uint64_t>(call.dts) : std::nullopt, call.byteOffset);
        break;
      case Queued::kPmt: {
        Program program;
        {
          std::lock_guard<std::mutex> lock(pmtMutex_);
          program = std::move(queuedPmts_.front());
          queuedPmts_.pop_front();
        }
        ApplyPmt(call.programNumber, std::move(program));
        break;
      }
    }
  }
  taken_.store(end, std::memory_order_release);
}

void TimingCollector::Rebudget() const {
  const size_t series = clocks_.size() + 3 * streams_.size();
  const size_t share = series > 0 ? bucketBudget_ / series : maxBuckets_;
  const size_t buckets = std::clamp(share, kMinSeriesBuckets, maxBuckets_);
  if (buckets == seriesBuckets_) return;
  seriesBuckets_ = buckets;
  for (auto& [pid, clock] : clocks_) clock.values.SetMaxBuckets(buckets);
  for (auto& [pid, stream] : streams_)
    for (TimingSeries* s : {&stream.pts, &stream.dts, &stream.offsetMs}) s->SetMaxBuckets(buckets);
}

void TimingCollector::OnSection(int, const uint8_t* s, size_t size, uint64_t) {
  // A PMT (its CRC_32 already checked): the program's PCR_PID and streams.
  if (size < 16 || s[0] != 0x02) return;
  const size_t end = std::min(size - 4, static_cast<size_t>(3 + (((s[1] & 0x0F) << 8) | s[2])) - 4);
  const int programNumber = (s[3] << 8) | s[4];
  std::vector<uint8_t>& last = lastPmts_[programNumber];
  if (last.size() == size && std::equal(last.begin(), last.end(), s)) return;
  last.assign(s, s + size);
  Program program;
  program.pcrPid = ((s[8] & 0x1F) << 8) | s[9];
  size_t pos = 12 + static_cast<size_t>(((s[10] & 0x0F) << 8) | s[11]);
  while (pos + 5 <= end) {
    program.streams.emplace_back(((s[pos + 1] & 0x1F) << 8) | s[pos + 2], s[pos]);
    pos += 5 + static_cast<size_t>(((s[pos + 3] & 0x0F) << 8) | s[pos + 4]);
  }
  {
    std::lock_guard<std::mutex> lock(pmtMutex_);
    queuedPmts_.push_back(std::move(program));
  }
  Queued call;
  call.kind = Queued::kPmt;
  call.programNumber = programNumber;
  Queue(call);
}

void TimingCollector::ApplyPmt(int programNumber, Program program) const {
  // A PID the program's new PMT no longer names is no longer its.
  if (const auto old = programs_.find(programNumber); old != programs_.end())
    for (const auto& [pid, type] : old->second.streams)
      if (programOfPid_[static_cast<size_t>(pid)] == programNumber) programOfPid_[static_cast<size_t>(pid)] = -1;
  for (const auto& [pid, type] : program.streams) programOfPid_[static_cast<size_t>(pid)] = programNumber;
  pcrPidOfProgram_[static_cast<size_t>(programNumber)] = program.pcrPid;
  programs_[programNumber] = std::move(program);
}

void TimingCollector::OnPcr(int pid, uint64_t pcr, uint64_t byteOffset, bool indicator) {
  if (pid < 0 || pid >= 8192) return;
  Queued call;
  call.kind = Queued::kPcr;
  call.indicator = indicator;
  call.pid = static_cast<uint16_t>(pid);
  call.byteOffset = byteOffset;
  call.value = pcr;
  Queue(call);
}

void TimingCollector::ApplyPcr(int pid, uint64_t pcr, uint64_t byteOffset, bool indicator) const {
  Clock*& known = clockOfPid_[static_cast<size_t>(pid)];
  if (!known) {
    known = &clocks_[pid];
    known->values = NewSeries();
    Rebudget();
  }
  Clock& c = *known;
  pcr %= kPcrWrap;
  if (c.have) {
    const double bytes = static_cast<double>(byteOffset) - static_cast<double>(c.lastOffset);
    const double step = WrappedDifference(static_cast<double>(pcr), static_cast<double>(c.last),
                                          static_cast<double>(kPcrWrap)) / kPcrHz;
    const bool paced = c.secondsPerByte > 0;
    const double expected = bytes * c.secondsPerByte;
    const bool jump = step < 0 || (paced ? std::fabs(step - expected) > std::max(pcrStepLimitS_, expected / 2)
                                         : step > kMaxUnpacedStepS);
    if (indicator || jump) {
      c.timeS += paced ? expected : 0;
      ++c.segment;
      if (c.events.size() < kMaxEvents)
        c.events.push_back({indicator ? TimingEventKind::DiscontinuityIndicator : TimingEventKind::PcrJump, pid,
                            byteOffset, c.timeS, step});
    } else {
      c.timeS += step;
      if (bytes > 0 && step > 0) c.secondsPerByte = step / bytes;
    }
  }
  c.have = true;
  c.last = pcr;
  c.lastOffset = byteOffset;
  c.values.Add({byteOffset, c.timeS, static_cast<double>(pcr) / kPcrHz});
}

void TimingCollector::OnEsPayload(int pid, const uint8_t* payload, size_t size, bool unitStart, uint64_t byteOffset) {
  if (!unitStart) return;
  PesTimestamps t;
  if (!ReadPesTimestamps(payload, size, t) || !t.pts) return;
  if (pid < 0 || pid >= 8192) return;
  Queued call;
  call.kind = Queued::kPts;
  call.hasDts = t.dts.has_value();
  call.pid = static_cast<uint16_t>(pid);
  call.byteOffset = byteOffset;
  call.value = *t.pts;
  call.dts = t.dts.value_or(0);
  Queue(call);
}

void TimingCollector::ApplyPts(int pid, uint64_t pts, const std::optional<uint64_t>& dts, uint64_t byteOffset) const {
  const int programNumber = programOfPid_[static_cast<size_t>(pid)];
  if (programNumber < 0) return;
  const int pcrPid = pcrPidOfProgram_[static_cast<size_t>(programNumber)];
  const Clock* const clockOfProgram = pcrPid >= 0 && pcrPid < 8192 ? clockOfPid_[static_cast<size_t>(pcrPid)] : nullptr;
  // Until two PCRs of its program gave the clock's pace, a PTS has nothing
  // to be measured against.
  if (!clockOfProgram || !(clockOfProgram->secondsPerByte > 0)) return;
  const Clock& clock = *clockOfProgram;
  Stream*& known = streamOfPid_[static_cast<size_t>(pid)];
  if (!known) {
    known = &streams_[pid];
    known->pts = known->dts = known->offsetMs = NewSeries();
    Rebudget();
  }
  Stream& s = *known;
  const double time = clock.TimeAt(byteOffset);
  s.pts.Add({byteOffset, time, static_cast<double>(pts) / kPesClockHz});
  if (dts) s.dts.Add({byteOffset, time, static_cast<double>(*dts) / kPesClockHz});
  const double offsetS =
      WrappedDifference(static_cast<double>(pts) * 300, clock.PcrAt(byteOffset), static_cast<double>(kPcrWrap)) /
      kPcrHz;
  if (s.fitSegment != clock.segment || (s.fit.Count() > 0 && std::fabs(offsetS - s.lastOffsetS) > kOffsetJumpS)) {
    s.fit.Break();
    s.fitSegment = clock.segment;
  }
  s.fit.Add(time, offsetS);
  s.lastOffsetS = offsetS;
  s.offsetSumMs += offsetS * 1e3;
  s.offsetMs.Add({byteOffset, time, offsetS * 1e3});
}

TimingView TimingCollector::Snapshot(int programNumber) const {
  std::lock_guard<std::mutex> lock(mutex_);
  TakeQueued();
  TimingView view;
  view.programNumber = programNumber;
  const auto program = programs_.find(programNumber);
  if (program == programs_.end()) return view;
  view.known = true;
  view.pcrPid = program->second.pcrPid;
  if (const auto clock = clocks_.find(view.pcrPid); clock != clocks_.end()) {
    view.pcr = clock->second.values;
    view.events = clock->second.events;
  }
  for (const auto& [pid, type] : program->second.streams) {
    const auto it = streams_.find(pid);
    if (it == streams_.end()) continue;
    const Stream& s = it->second;
    TimingStream out;
    out.pid = pid;
    out.streamType = type;
    out.pts = s.pts;
    out.dts = s.dts;
    out.offsetMs = s.offsetMs;
    out.meanOffsetMs = s.offsetMs.Count() > 0 ? s.offsetSumMs / static_cast<double>(s.offsetMs.Count()) : 0;
    if (const std::optional<double> slope = s.fit.Slope(); slope && s.fit.Span() >= kMinDriftSpanS) {
      out.driftPpm = *slope * 1e6;
      if (const std::optional<double> margin = s.fit.Margin()) out.driftMarginPpm = *margin * 1e6;
    }
    view.streams.push_back(std::move(out));
  }
  std::sort(view.streams.begin(), view.streams.end(),
            [](const TimingStream& a, const TimingStream& b) { return a.pid < b.pid; });
  view.streams.erase(std::unique(view.streams.begin(), view.streams.end(),
                                 [](const TimingStream& a, const TimingStream& b) { return a.pid == b.pid; }),
                     view.streams.end());
  return view;
}

std::vector<int> TimingCollector::Programs() const {
  std::lock_guard<std::mutex> lock(mutex_);
  TakeQueued();
  std::vector<int> out;
  for (const auto& [number, program] : programs_) out.push_back(number);
  return out;
}
