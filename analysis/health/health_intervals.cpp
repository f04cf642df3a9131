#include "analysis/health/health_intervals.h"

#include <algorithm>
#include <cmath>

#include "analysis/health/health_clock.h"

namespace health {

namespace {

// Times here are differences of positions on the clock: a gap equal to the
// limit must not pass it by a rounding error. Well below a 27 MHz tick.
constexpr double kRounding = 1e-8;

HealthCheck CheckOf(IntervalKind kind) {
  switch (kind) {
    case IntervalKind::Pat: return HealthCheck::Pat;
    case IntervalKind::Pmt: return HealthCheck::Pmt;
    case IntervalKind::Packet: return HealthCheck::Pid;
    case IntervalKind::Pcr: return HealthCheck::PcrRepetition;
    case IntervalKind::Pts: return HealthCheck::Pts;
  }
  return HealthCheck::Pat;
}

const char* WhatOf(IntervalKind kind) {
  switch (kind) {
    case IntervalKind::Pat: return "PAT section";
    case IntervalKind::Pmt: return "PMT section";
    case IntervalKind::Packet: return "packet";
    case IntervalKind::Pcr: return "PCR";
    case IntervalKind::Pts: return "PTS";
  }
  return "";
}

}  // namespace

int IntervalTrackers::Start(int id, IntervalKind kind, int pid, double limit, const Mark& from) {
  if (id < 0) {
    if (!free_.empty()) {
      id = free_.back();
      free_.pop_back();
    } else {
      trackers_.emplace_back();
      id = static_cast<int>(trackers_.size()) - 1;
    }
  }
  Tracker& t = trackers_[static_cast<size_t>(id)];
  const bool dirty = t.dirty;
  t = Tracker{};
  t.dirty = dirty;  // still listed in dirty_
  t.kind = kind;
  t.pid = pid;
  t.limit = limit;
  t.active = true;
  t.startOffset = from.offset;
  Event(id, from);
  return id;
}

void IntervalTrackers::Stop(int id, const Mark& at) {
  if (!Active(id)) return;
  Tracker& t = trackers_[static_cast<size_t>(id)];
  t.stopped = true;
  t.stopAt = at;
  if (!t.dirty) {
    t.dirty = true;
    dirty_.push_back(id);
  }
}

Described IntervalTrackers::DescribeGap(const Tracker& t, double seconds, bool open, bool first) {
  const std::string what = WhatOf(t.kind);
  if (first && !open)
    return {"PID %s: first " + what + " %s s after it was expected (limit %s s)",
            {Hex4(t.pid), Seconds3(seconds), Seconds3(t.limit)}};
  if (t.kind == IntervalKind::Pcr && !open)
    return {"PID %s: PCR interval %s ms", {Hex4(t.pid), Format("%.3f", seconds * 1e3)}};
  return {open ? "PID %s: no " + what + " for more than %s s (limit %s s)"
               : "PID %s: " + what + " %s s after the previous one (limit %s s)",
          {Hex4(t.pid), Seconds3(seconds), Seconds3(t.limit)}};
}

Mark IntervalTrackers::WhereLimitPassed(const StreamClock& clock, const Tracker& t, const Mark& now, double tailWeight) {
  // The clock is resolved at each PCR: `now` is at most a PCR interval past
  // the limit, unless the PCRs stopped and `now` is the end of the stream.
  // Then the place is found on the clock's last rate, as `now` was timed.
  const Mark& anchor = clock.anchor();
  const double anchorTime = clock.At(anchor.offset);
  const double deadline = t.lastTime + t.limit;
  const double perUnit = clock.SecondsPerAxisUnit() * tailWeight;
  if (!(perUnit > 0) || deadline <= anchorTime || now.packet <= anchor.packet || now.offset <= anchor.offset) return now;
  const double units = (deadline - anchorTime) / perUnit;
  const double span = static_cast<double>(now.offset - anchor.offset);
  if (!(units < span)) return now;
  // Packets are spread evenly between the anchor and now.
  const double packets = static_cast<double>(now.packet - anchor.packet);
  Mark at;
  at.packet = anchor.packet + static_cast<uint64_t>(std::ceil(units / span * packets));
  at.offset = anchor.offset + static_cast<uint64_t>(std::llround(static_cast<double>(at.packet - anchor.packet) / packets * span));
  if (at.offset < t.lastAt.offset || at.packet > now.packet) return now;
  return at;
}

void IntervalTrackers::ReportGap(const Tracker& t, const Mark& at, double seconds, bool open,
                                 CheckBoard& board, bool first) const {
  board.Report(CheckOf(t.kind), at, t.pid, [&] { return DescribeGap(t, seconds, open, first); });
}

void IntervalTrackers::Resolve(const StreamClock& clock, const Mark& now, CheckBoard& board, double tailWeight,
                               bool streamEnd) {
  if (follower_) follower_->Timed(clock, now, tailWeight, board);
  for (int id : dirty_) {
    Tracker& t = trackers_[static_cast<size_t>(id)];
    t.dirty = false;
    if (!t.active) continue;
    if (t.spanAny) {
      const double first = clock.At(t.spanFirst.offset);
      const bool fromStart = t.awaitingFirst && t.haveLast;
      if (t.haveLast && !t.openReported && first - t.lastTime > t.limit + kRounding)
        ReportGap(t, t.spanFirst, first - t.lastTime, false, board, fromStart);
      // Counted when it passed the limit; now its length is known.
      if (t.haveLast && t.openReported)
        board.Amend(CheckOf(t.kind), t.openAt, t.pid, DescribeGap(t, first - t.lastTime, false, fromStart));
      if (t.gapBytes > 0) {
        const double gap = clock.At(t.gapTo.offset) - clock.At(t.gapFrom.offset);
        if (gap > t.limit + kRounding)
          ReportGap(t, t.gapTo, gap, false, board, t.awaitingFirst && t.gapFrom.offset == t.startOffset);
      }
      if (t.spanLast.offset != t.startOffset) t.awaitingFirst = false;
      t.haveLast = true;
      t.lastTime = clock.At(t.spanLast.offset);
      t.lastAt = t.spanLast;
      nextDeadline_ = std::min(nextDeadline_, t.lastTime + t.limit);
      t.openReported = false;
      t.spanAny = false;
      t.gapBytes = 0;
    }
    if (t.stopped) {
      // A gap open when it stopped: its length is known now; one that had
      // passed the limit by then counts.
      const double gap = clock.At(t.stopAt.offset) - t.lastTime;
      if (t.haveLast && t.openReported) board.Amend(CheckOf(t.kind), t.openAt, t.pid, DescribeGap(t, gap, false));
      if (t.haveLast && !t.openReported && gap > t.limit + kRounding) ReportGap(t, t.stopAt, gap, false, board);
      t.active = false;
      free_.push_back(id);
    }
  }
  dirty_.clear();
  const double anchorTime = clock.At(clock.anchor().offset);
  const double nowTime = anchorTime + std::max(0.0, clock.At(now.offset) - anchorTime) * tailWeight;
  if (nowTime <= nextDeadline_ && !streamEnd) return;
  nextDeadline_ = INFINITY;
  for (Tracker& t : trackers_) {
    if (!t.active || !t.haveLast) continue;
    if (t.openReported) {
      if (streamEnd) board.Amend(CheckOf(t.kind), t.openAt, t.pid, DescribeGap(t, nowTime - t.lastTime, true));
      continue;
    }
    if (nowTime - t.lastTime > t.limit + kRounding) {
      t.openReported = true;
      t.openAt = WhereLimitPassed(clock, t, now, tailWeight);
      ReportGap(t, t.openAt, nowTime - t.lastTime, true, board);
    } else {
      nextDeadline_ = std::min(nextDeadline_, t.lastTime + t.limit);
    }
  }
}

}  // namespace health
