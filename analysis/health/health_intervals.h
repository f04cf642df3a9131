// Interval checks: things that must recur within a limit (PAT sections,
// each PMT's sections, packets of each referenced PID, PCRs of each
// PCR_PID, PTSs of each video and audio PID). A tracker starts when the
// thing is first expected, stops (without an error) when it no longer is,
// and reports each gap over its limit once, including one still open at
// the end of the stream.
//
// Positions are timed once the stream clock has passed them; until then a
// tracker keeps only the first and last occurrence since the last clock
// advance and the widest gap between them, which is all the check needs
// since time is linear in position between two PCRs.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/health/health_checks.h"

namespace health {

class StreamClock;

enum class IntervalKind { Pat, Pmt, Packet, Pcr, Pts };

// Told each time the trackers are resolved (the clock reached a new PCR, or
// the stream ended), to time what it keeps by the same clock.
class ClockFollower {
public:
  virtual ~ClockFollower() = default;
  virtual void Timed(const StreamClock& clock, const Mark& now, double tailWeight, CheckBoard& board) = 0;
};

class IntervalTrackers {
public:
  // Starts tracking at `from` (reusing `id` when it is not negative);
  // returns the tracker's id.
  int Start(int id, IntervalKind kind, int pid, double limit, const Mark& from);
  // No longer expected from `at` on: what is pending is judged, nothing
  // after; a gap reported while open is described with its length up to `at`.
  void Stop(int id, const Mark& at);
  bool Active(int id) const { return id >= 0 && trackers_[static_cast<size_t>(id)].active; }

  [[gnu::always_inline]] void Event(int id, const Mark& mark) {
    Tracker& t = trackers_[static_cast<size_t>(id)];
    if (!t.spanAny) {
      t.spanFirst = mark;
      t.spanAny = true;
    } else if (mark.offset - t.spanLast.offset > t.gapBytes) {
      t.gapBytes = mark.offset - t.spanLast.offset;
      t.gapFrom = t.spanLast;
      t.gapTo = mark;
    }
    t.spanLast = mark;
    if (!t.dirty) {
      t.dirty = true;
      dirty_.push_back(id);
    }
  }

  // Judges what the clock has timed up to `now` (the clock's latest
  // anchor, or the end of the stream). Time beyond the latest PCR is
  // extrapolated at the last rate, which a variable-bitrate tail (an
  // encoder's last frames) stretches: it counts with `tailWeight`.
  // A gap is counted when it passes its limit and described with its
  // whole length when it closes, or at `streamEnd`.
  void Resolve(const StreamClock& clock, const Mark& now, CheckBoard& board, double tailWeight = 1.0,
               bool streamEnd = false);
  // `follower` (or none) is told of every Resolve.
  void Follow(ClockFollower* follower) { follower_ = follower; }

private:
  struct Tracker {
    IntervalKind kind = IntervalKind::Pat;
    int pid = 0;
    double limit = 0;
    bool active = false;
    bool stopped = false;
    bool dirty = false;
    bool haveLast = false;
    bool openReported = false;
    bool spanAny = false;
    double lastTime = 0;
    Mark lastAt;  // the occurrence at lastTime
    Mark spanFirst, spanLast, gapFrom, gapTo;
    Mark openAt;  // where the open gap was reported
    Mark stopAt;  // where it stopped being expected
    uint64_t gapBytes = 0;
    // Where it was first expected; until an occurrence came, a gap runs from
    // there and not from a previous one.
    uint64_t startOffset = 0;
    bool awaitingFirst = true;
  };
  void ReportGap(const Tracker& t, const Mark& at, double seconds, bool open, CheckBoard& board,
                 bool first = false) const;
  static Mark WhereLimitPassed(const StreamClock& clock, const Tracker& t, const Mark& now, double tailWeight);
  static Described DescribeGap(const Tracker& t, double seconds, bool open, bool first = false);

  std::vector<Tracker> trackers_;
  std::vector<int> dirty_;
  std::vector<int> free_;
  ClockFollower* follower_ = nullptr;
  // No open gap can pass its limit before this stream time.
  double nextDeadline_ = 0;
};

}  // namespace health
