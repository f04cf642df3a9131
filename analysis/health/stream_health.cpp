// The stream health engine put together: framing hands each packet to the
// per-packet analysis here, which passes its parts on to continuity, PCR
// and clock, PSI tracking and PES timing, all sharing one HealthContext;
// this file also keeps the per-PID counts and the bitrate series and
// assembles the result.
#include "analysis/health/stream_health.h"

#include <algorithm>
#include <cmath>

#include "analysis/health/health_arrival.h"
#include "analysis/health/health_context.h"
#include "analysis/health/health_continuity.h"
#include "analysis/health/health_framing.h"
#include "analysis/health/health_pcr.h"
#include "analysis/health/health_pes.h"
#include "analysis/health/health_psi.h"

using namespace health;

namespace {

constexpr size_t kTsSize = 188;
constexpr double kBitsPerPacket = 188.0 * 8.0;
// Without a clock: packets after which a PCR_PID that never carried a PCR,
// or a stream without a PAT, is an error. Up to 15 Mbit/s they span more than the 100 ms that ISO/IEC
// 13818-1 allows between PCRs; fewer may be a short excerpt.
constexpr uint64_t kPacketsWithoutPcr = 1000;
// The stream time after the last PCR is extrapolated; a gap still open at
// the end counts it at 90 %, so that an encoder's last frames sent in a
// burst after its last PCR raise no false PCR_repetition_error.
constexpr double kTailWeight = 0.9;

struct PidCounts {
  uint64_t packets = 0;
  uint64_t tei = 0;
  uint64_t scrambled = 0;
  uint64_t discontinuities = 0;
  int32_t seriesSlot = -1;
  uint32_t bucketPackets = 0;  // in the series' current bucket, flushed when it closes
};

struct Bucket {
  uint64_t firstPacket = 0;
  uint64_t offset = 0;
  double time = NAN;
};

}  // namespace

std::string DescribePidCarries(PidKind kind, int program, int streamType) {
  const std::string of = program >= 0 ? " of program " + std::to_string(program) : "";
  const std::string type = streamType >= 0 ? Format(" (stream_type 0x%02X)", streamType) : "";
  switch (kind) {
    case PidKind::Pat: return "PAT";
    case PidKind::Cat: return "CAT";
    case PidKind::Nit: return "NIT";
    case PidKind::SdtBat: return "SDT/BAT";
    case PidKind::Eit: return "EIT";
    case PidKind::TdtTot: return "TDT/TOT";
    case PidKind::Pmt: return "PMT" + of;
    case PidKind::Video: return "video" + of + type;
    case PidKind::Audio: return "audio" + of + type;
    case PidKind::Other: return "other stream" + of + type;
    case PidKind::Pcr: return "PCR" + of;
    case PidKind::Null: return "null";
    case PidKind::Unreferenced: break;
  }
  return "unreferenced";
}

struct StreamHealth::Impl final : PacketSink {
  explicit Impl(const HealthLimits& l)
      : context(Normalised(l)),
        framer(context.limits, context.board, *this),
        continuity(context.board),
        pcr(context),
        psi(context, pcr),
        counts(kPidCount) {
    buckets.push_back({0, 0, NAN});
  }

  static HealthLimits Normalised(HealthLimits limits) {
    limits.maxSeriesPoints = std::max<size_t>(limits.maxSeriesPoints & ~size_t{1}, 2);
    return limits;
  }

  HealthContext context;
  PacketFramer framer;
  ContinuityChecker continuity;
  PcrChecks pcr;
  PsiTracker psi;
  ArrivalStamps arrival;
  std::vector<PidCounts> counts;
  const std::bitset<8192>* esWanted = nullptr;  // the observer's EsPayloadWanted()
  bool esStartsWanted = false;                  // and its EsPesStartsWanted()
  bool finished = false;
  bool started = false;
  uint64_t syncGainsSeen = 0;  // the framer's syncGains() at the last run of packets
  uint64_t endOffset = 0;

  // ---- bitrate series
  std::vector<Bucket> buckets;
  uint64_t bucketWidth = 16;
  uint64_t nextBucketPacket = 16;  // the first packet of the next bucket
  size_t firstUntimedBucket = 0;
  std::vector<std::vector<uint32_t>> seriesCounts;
  std::vector<int> seriesPids;

  // ---------------------------------------------------------------- packets

  void OnPackets(const uint8_t* p, size_t count, size_t stride, const Mark& first) override {
    if (!started) Start(first);
    Mark mark = first;
    if (framer.syncGains() != syncGainsSeen) {
      if (syncGainsSeen > 0) {
        // Sync regained after bytes that were no packets, in unknown number
        // for the time they stand for: no PCR accuracy run spans them. The
        // prefix in front of this run's first packet may be stray bytes.
        pcr.AxisChanged();
        if (stride == 192 && arrival.inUse()) arrival.Resynced();
      }
      syncGainsSeen = framer.syncGains();
    }
    if (stride == 192 && arrival.inUse()) {
      for (size_t k = 0; k < count; ++k, p += stride) {
        const int64_t prefix = k == 0 ? framer.runPrefix() : int64_t{ReadBig32(p - 4)};
        if (prefix >= 0) Arrival(static_cast<uint32_t>(prefix), mark);
        Packet(p, mark, false);
        ++mark.packet;
        mark.offset += stride;
      }
      return;
    }
    for (const uint8_t* end = p + count * stride; p != end; p += stride) {
      // The headers of the packets ahead, while this one is analysed.
      __builtin_prefetch(p + 4 * stride);
      Packet(p, mark, false);
      ++mark.packet;
      mark.offset += stride;
    }
  }

  void OnDamagedPacket(const uint8_t* p, const Mark& mark) override {
    if (!started) Start(mark);
    Packet(p, mark, true);
  }

  static uint32_t ReadBig32(const uint8_t* b) {
    return (uint32_t{b[0]} << 24) | (uint32_t{b[1]} << 16) | (uint32_t{b[2]} << 8) | b[3];
  }

  // The arrival timestamp in front of the packet at `mark`.
  void Arrival(uint32_t prefix, const Mark& mark) {
    const ArrivalStamps::Taken taken = arrival.Take(prefix);
    if (taken == ArrivalStamps::Taken::Abandoned) {
      // Not on every packet: the PCRs and the byte position take over.
      if (context.arrivalClock) {
        context.arrivalClock = false;
        pcr.AxisChanged();
      }
      return;
    }
    context.arrivalTicks = arrival.ticks();
    if (!context.arrivalClock) {
      // The first stamp: time 0 of the arrival clock.
      context.arrivalClock = true;
      context.clock.Tick(mark, -1, 0, 1.0);
      arrival.Ticked(mark);
    } else if (taken == ArrivalStamps::Taken::Reanchored) {
      // The time across the lost bytes is not known: the clock goes on at
      // its rate up to here, and the PCRs' runs against the stamps end.
      pcr.AxisChanged();
      arrival.Ticked(mark);
    } else if (arrival.TickDue()) {
      if (context.clock.Tick(mark, arrival.SecondsSinceTick(), arrival.tickedAxis(), 1.0)) ClockAdvanced();
      arrival.Ticked(mark);
    }
  }

  void Start(const Mark& first) {
    started = true;
    context.clock.SetOrigin(first.offset);
    psi.StartStream(first);
  }

  [[gnu::always_inline]] void Packet(const uint8_t* p, const Mark& mark, bool syncDamaged) {
    if (mark.packet >= nextBucketPacket) NextBucket(mark);
    const unsigned b1 = p[1];
    const unsigned b3 = p[3];
    const int pid = static_cast<int>(((b1 & 0x1F) << 8) | p[2]);
    PidCounts& s = counts[static_cast<size_t>(pid)];
    if (s.packets++ == 0) FirstPacketOf(pid, s, mark);
    ++s.bucketPackets;
    if (b1 & 0x80) {
      Damaged(pid, s, mark);
      return;
    }
    if (pid == kNullPid) return;  // stuffing: counted, nothing to check
    const PidRole& role = context.pids[static_cast<size_t>(pid)];
    if (role.presenceTracker >= 0) context.trackers.Event(role.presenceTracker, mark);
    if (role.roles & kRoleUnnamed) psi.OnUnnamedPacket(pid, mark);
    const unsigned afc = (b3 >> 4) & 3;
    const unsigned scrambling = b3 >> 6;
    if (scrambling != 0) {
      ++s.scrambled;
      psi.OnScrambled(pid, scrambling, mark);
    }
    bool discontinuity = false;
    bool hasPcr = false;
    size_t payloadStart = 4;
    if (afc & 2) {
      const unsigned length = p[4];
      payloadStart = 5 + length;
      if (length > 0 && length <= 183) {
        discontinuity = (p[5] & 0x80) != 0;
        if (discontinuity) ++s.discontinuities;
        hasPcr = (p[5] & 0x10) && length >= 7;
      }
    }
    const ContinuityChecker::Counter counter = continuity.Check(p, pid, mark, (afc & 1) != 0, discontinuity);
    // A packet whose sync byte was damaged is counted but not read.
    if (syncDamaged) {
      psi.DropSection(pid);
      return;
    }
    if (hasPcr && context.observer && (role.roles & kRolePcr) && counter != ContinuityChecker::Counter::Duplicate)
      context.observer->OnPcr(pid, DecodePcr(p + 6), mark.offset, discontinuity);
    if (hasPcr && counter != ContinuityChecker::Counter::Duplicate && pcr.OnPcr(pid, p + 6, discontinuity, mark))
      ClockAdvanced();
    // A duplicate repeats a payload already taken.
    if (counter == ContinuityChecker::Counter::Duplicate || !(role.roles & (kRoleSections | kRolePts | kRoleEs)))
      return;
    // Most packets of a PES continue it: only sections and the observer read them.
    if (!(b1 & 0x40) && !(role.roles & kRoleSections) && !EsWanted(pid, role, false)) return;
    const bool payload = (afc & 1) && payloadStart < kTsSize;
    if (payload) Payload(p, pid, role, payloadStart, scrambling, counter, mark);
    else if ((role.roles & kRoleSections) && counter == ContinuityChecker::Counter::Broken) psi.DropSection(pid);
  }

  // Damaged in transmission: counted, its content not used.
  [[gnu::noinline]] void Damaged(int pid, PidCounts& s, const Mark& mark) {
    ++s.tei;
    context.board.Report(HealthCheck::Transport, mark, pid,
                         [] { return Described{"transport_error_indicator set", {}}; });
    if (pid != kNullPid) continuity.Forget(pid);
    psi.DropSection(pid);
  }

  void Payload(const uint8_t* p, int pid, const PidRole& role, size_t payloadStart, unsigned scrambling,
               ContinuityChecker::Counter counter, const Mark& mark) {
    const bool unitStart = (p[1] & 0x40) != 0;
    if (scrambling == 0 && EsWanted(pid, role, unitStart))
      context.observer->OnEsPayload(pid, p + payloadStart, kTsSize - payloadStart, unitStart, mark.offset);
    if (role.roles & kRoleSections) {
      if (counter == ContinuityChecker::Counter::Broken) psi.DropSection(pid);
      if (scrambling == 0) psi.OnPayload(pid, p + payloadStart, kTsSize - payloadStart, unitStart, mark);
    }
    if ((role.roles & kRolePts) && unitStart)
      OnPesStart(context, pid, p + payloadStart, kTsSize - payloadStart, scrambling != 0, mark);
  }

  // Whether the observer takes this payload of `pid`.
  bool EsWanted(int pid, const PidRole& role, bool unitStart) const {
    return context.observer && (role.roles & kRoleEs) &&
           (!esWanted || esWanted->test(static_cast<size_t>(pid)) || (unitStart && esStartsWanted));
  }

  void EndOfBuffer() override { continuity.EndOfBuffer(); }

  // The clock reached a new PCR: what lies before it can be timed.
  void ClockAdvanced() {
    const StreamClock& clock = context.clock;
    context.trackers.Resolve(clock, clock.anchor(), context.board);
    context.board.TimeUpTo(clock.anchor().offset, clock);
    while (firstUntimedBucket < buckets.size() && buckets[firstUntimedBucket].offset <= clock.anchor().offset) {
      buckets[firstUntimedBucket].time = clock.At(buckets[firstUntimedBucket].offset);
      ++firstUntimedBucket;
    }
  }

  void FirstPacketOf(int pid, PidCounts& s, const Mark& mark) {
    psi.OnFirstPacket(pid, mark);
    if (seriesPids.size() >= context.limits.maxPidSeries) return;
    s.seriesSlot = static_cast<int32_t>(seriesPids.size());
    s.bucketPackets = 0;
    seriesPids.push_back(pid);
    seriesCounts.emplace_back(buckets.size(), 0);
  }

  void NextBucket(const Mark& mark) {
    for (size_t slot = 0; slot < seriesPids.size(); ++slot) {
      PidCounts& s = counts[static_cast<size_t>(seriesPids[slot])];
      seriesCounts[slot].back() = s.bucketPackets;
      s.bucketPackets = 0;
    }
    if (buckets.size() >= context.limits.maxSeriesPoints) {
      // Halve the resolution: merge neighbours.
      const size_t half = buckets.size() / 2;
      for (size_t k = 0; k < half; ++k) buckets[k] = buckets[2 * k];
      buckets.resize(half);
      for (auto& c : seriesCounts) {
        for (size_t k = 0; k < half; ++k) c[k] = c[2 * k] + c[2 * k + 1];
        c.resize(half);
      }
      bucketWidth *= 2;
      firstUntimedBucket /= 2;
      while (firstUntimedBucket < buckets.size() && !std::isnan(buckets[firstUntimedBucket].time))
        ++firstUntimedBucket;
    }
    buckets.push_back({mark.packet, mark.offset, NAN});
    nextBucketPacket = mark.packet + bucketWidth;
    for (auto& c : seriesCounts) c.push_back(0);
  }

  // ---------------------------------------------------------------- input

  void Finish() {
    if (finished) return;
    framer.Finish();
    finished = true;
    pcr.Finish();
    endOffset = framer.bytesFed();
    if (context.clock.Valid()) {
      // A gap still open at the end counts; the tail after the last PCR is
      // timed at the last rate.
      context.trackers.Resolve(context.clock, {framer.packets(), endOffset}, context.board, kTailWeight, true);
      context.board.TimeAll(context.clock);
    } else {
      JudgeWithoutClock();
    }
  }

  // Without any clock, no PAT at all, or a PCR_PID that never carried a PCR
  // (or never appeared), over a long enough stretch is still an error.
  void JudgeWithoutClock() {
    const Mark end{framer.packets(), framer.bytesFed()};
    if (!psi.PatSeen() && end.packet >= kPacketsWithoutPcr)
      context.board.Report(HealthCheck::Pat, end, 0, [] { return Described{"PID 0x0000: no PAT section at all", {}}; });
    for (int pid = 0; pid < kPidCount; ++pid) {
      const PidRole& role = context.pids[static_cast<size_t>(pid)];
      if (!(role.roles & kRolePcr) || role.pcrSeen) continue;
      if (end.packet - role.pcrDeclaredPacket < kPacketsWithoutPcr) continue;
      context.board.Report(HealthCheck::PcrRepetition, end, pid, [&]() -> Described {
        return {"PID %s: no PCR at all", {Hex4(pid)}};
      });
      if (counts[static_cast<size_t>(pid)].packets == 0)
        context.board.Report(HealthCheck::Pid, end, pid, [&]() -> Described {
          return {"PID %s: no packet at all", {Hex4(pid)}};
        });
    }
  }

  void MarkGap() {
    if (finished) return;
    framer.MarkGap();
    continuity.ForgetAll();
    for (int pid = 0; pid < kPidCount; ++pid) psi.DropSection(pid);
    pcr.Gap();
    arrival.Gap();
  }

  // ---------------------------------------------------------------- result

  void SetVerdicts(HealthResult& r) const {
    const StreamClock& clock = context.clock;
    const bool anyPcrPid = psi.AnyPcrPid();
    const char* noClock = NoClockReason(anyPcrPid);
    for (HealthCheck c : {HealthCheck::Pat, HealthCheck::Pmt, HealthCheck::Pid, HealthCheck::Pts}) {
      HealthCheckResult& result = r.checks[static_cast<size_t>(c)];
      // Errors that are not about timing (table_id, scrambling) still count.
      if (!clock.Valid() && result.count == 0) SetNotEvaluated(result, noClock, {});
    }
    for (HealthCheck c : {HealthCheck::PcrRepetition, HealthCheck::PcrDiscontinuity}) {
      HealthCheckResult& result = r.checks[static_cast<size_t>(c)];
      if (!clock.Valid() && result.count == 0) SetNotEvaluated(result, noClock, {});
    }
    HealthCheckResult& accuracy = r.checks[static_cast<size_t>(HealthCheck::PcrAccuracy)];
    const PcrAccuracyTally& tally = pcr.accuracy();
    if (!anyPcrPid) {
      SetNotEvaluated(accuracy, "no PMT names a PCR_PID", {});
    } else if (tally.variable > tally.judged) {
      SetNotEvaluated(accuracy, "the bitrate is not constant: within %s s it varies by more than %s %% at %s of %s PCRs",
                      {Format("%.0f", PcrAccuracyFit::kRateWindowS),
                       Format("%.0f", PcrAccuracyFit::kConstantRateTolerance * 100), std::to_string(tally.variable),
                       std::to_string(tally.variable + tally.judged)});
    } else if (tally.judged == 0) {
      SetNotEvaluated(accuracy, "no PCR_PID carries PCRs over %s s without a discontinuity",
                      {Format("%.1f", PcrAccuracyFit::kRateWindowS * 0.8)});
    }
  }

  HealthResult Snapshot() const {
    HealthResult r;
    const StreamClock& clock = context.clock;
    r.packetSize = framer.packetSize();
    r.packetSizeForced = context.limits.packetSize != 0;
    r.synced = framer.locked();
    r.everSynced = framer.everSynced();
    r.packets = framer.packets();
    r.bytes = framer.bytesFed();
    r.bytesSkipped = framer.bytesSkipped();
    r.truncatedTailBytes = framer.truncatedTail();
    r.syncSegments = framer.segments();
    r.bitrateBps = clock.Bitrate();
    if (r.bitrateBps && *r.bitrateBps > 0)
      r.durationS = static_cast<double>(r.packets) * kBitsPerPacket / *r.bitrateBps;
    r.recentBitrateBps = clock.RecentBitrate();
    r.pcrPid = pcr.clockPid();
    r.timedByArrival = context.arrivalClock && clock.Valid();
    r.checks = context.board.results();
    psi.AddMissingCat(r.checks[static_cast<size_t>(HealthCheck::Cat)], context.limits.maxOccurrences);
    psi.SiResults(r);
    SetVerdicts(r);
    if (clock.Valid()) {
      for (HealthCheckResult& c : r.checks)
        for (HealthOccurrence& o : c.first)
          if (!o.timeS) o.timeS = clock.At(o.byteOffset);
    }

    for (int pid = 0; pid < kPidCount; ++pid) {
      const PidCounts& s = counts[static_cast<size_t>(pid)];
      if (s.packets == 0) continue;
      PidStats p;
      p.pid = pid;
      p.packets = s.packets;
      p.ccErrors = continuity.Errors(pid);
      p.duplicates = continuity.Duplicates(pid);
      p.teiPackets = s.tei;
      p.scrambledPackets = s.scrambled;
      p.discontinuities = s.discontinuities;
      p.pcrCount = pcr.Count(pid);
      p.maxPcrIntervalS = pcr.MaxInterval(pid);
      p.share = r.packets > 0 ? static_cast<double>(s.packets) / static_cast<double>(r.packets) : 0;
      if (r.bitrateBps) p.bitrateBps = *r.bitrateBps * p.share;
      p.kind = psi.KindOf(pid, &p.program, &p.streamType);
      p.carries = DescribePidCarries(p.kind, p.program, p.streamType);
      r.pids.push_back(std::move(p));
    }
    r.programs = psi.Programs();
    if (clock.Valid()) BitrateSeries(r);
    return r;
  }

  void BitrateSeries(HealthResult& r) const {
    const StreamClock& clock = context.clock;
    const uint64_t packets = framer.packets();
    const double end = clock.At(finished ? endOffset : framer.bytesFed());
    r.bitrateSeries.reserve(buckets.size());
    std::vector<size_t> used;
    for (size_t k = 0; k < buckets.size(); ++k) {
      const uint64_t from = buckets[k].firstPacket;
      const uint64_t to = k + 1 < buckets.size() ? buckets[k + 1].firstPacket : packets;
      const double t0 = std::isnan(buckets[k].time) ? clock.At(buckets[k].offset) : buckets[k].time;
      double t1 = end;
      if (k + 1 < buckets.size())
        t1 = std::isnan(buckets[k + 1].time) ? clock.At(buckets[k + 1].offset) : buckets[k + 1].time;
      if (to <= from || t1 <= t0) continue;
      BitratePoint point;
      point.timeS = t0;
      point.durationS = t1 - t0;
      point.firstPacket = from;
      point.bitrateBps = static_cast<double>(to - from) * kBitsPerPacket / (t1 - t0);
      r.bitrateSeries.push_back(point);
      used.push_back(k);
    }
    for (size_t slot = 0; slot < seriesPids.size(); ++slot) {
      PidBitrateSeries series;
      series.pid = seriesPids[slot];
      series.bitrateBps.reserve(used.size());
      for (size_t n = 0; n < used.size(); ++n) {
        // The current bucket's count is still with the PID.
        const uint32_t count = used[n] + 1 == buckets.size() ? counts[static_cast<size_t>(series.pid)].bucketPackets
                                                             : seriesCounts[slot][used[n]];
        series.bitrateBps.push_back(count * kBitsPerPacket / r.bitrateSeries[n].durationS);
      }
      r.pidSeries.push_back(std::move(series));
    }
  }
};

StreamHealth::StreamHealth(const HealthLimits& limits) : impl_(std::make_unique<Impl>(limits)) {}
StreamHealth::~StreamHealth() = default;
void StreamHealth::Feed(const uint8_t* data, size_t size) {
  if (!impl_->finished) impl_->framer.Feed(data, size);
}
void StreamHealth::Finish() { impl_->Finish(); }
void StreamHealth::MarkGap() { impl_->MarkGap(); }
void StreamHealth::SetObserver(StreamObserver* observer) {
  impl_->context.observer = observer;
  impl_->esWanted = observer ? observer->EsPayloadWanted() : nullptr;
  impl_->esStartsWanted = observer && observer->EsPesStartsWanted();
}
void StreamHealth::AssembleSectionsOn(int pid) { impl_->psi.AskSections(pid); }
HealthResult StreamHealth::Snapshot() const { return impl_->Snapshot(); }
uint64_t StreamHealth::BytesFed() const { return impl_->framer.bytesFed(); }
uint64_t StreamHealth::PacketsAnalysed() const { return impl_->framer.packets(); }
