// PCR_accuracy_error on one PCR_PID: each PCR against the line that the
// other PCRs of about a second around it follow (position in the stream
// against PCR time), outliers left out. The line is the one from which the
// PCRs stray least (minimax). A PCR is off when it strays from the line by
// more than the limit plus the line's own uncertainty (three standard
// errors of the PCRs around it, nothing when they agree exactly). PCRs are
// judged a slice at a time against one line from the PCRs outside the
// slice, once the PCRs a second after them have arrived or their run ends
// (a discontinuity, the end of the stream). Where the bitrate over the
// second before and the second after differ, the stream is not constant-
// bitrate there and its PCRs are not judged.
//
// The reference PCRs carry exact running sums (integer positions and 27 MHz
// ticks), so the least-squares line through any stretch of them, and how
// far the PCRs stray from it, take a few operations instead of a pass over
// the window; the PCRs are looked at one by one only when they do not all
// follow that line closely.
#pragma once

#include <cstdint>
#include <vector>

#include "analysis/health/health_checks.h"
#include "platform/wide_int.h"

namespace health {

struct XY {
  double x;
  double y;
};

struct PcrAccuracyTally {
  uint64_t judged = 0;    // PCRs compared with a line
  uint64_t variable = 0;  // PCRs in a window whose bitrate is not constant
};

class PcrAccuracyFit {
public:
  static constexpr double kWindowS = 1.0;
  // The bitrate is constant when the rates over the second before and the
  // second after a PCR agree within this.
  static constexpr double kRateWindowS = 1.0;
  static constexpr double kConstantRateTolerance = 0.01;

  PcrAccuracyFit(int pid, double limitS) : pid_(pid), limit_(limitS) {}
  // A PCR at `mark`, `position` on the time axis (the input offset, or the
  // arrival time in 27 MHz ticks), `seconds` (`ticks` of 27 MHz) since the
  // start of the run.
  void Add(const Mark& mark, uint64_t position, double seconds, uint64_t ticks, CheckBoard& board,
           PcrAccuracyTally& tally);
  // The run ends: judges what is pending and starts afresh.
  void Flush(CheckBoard& board, PcrAccuracyTally& tally);

private:
  using Wide = WideInt;
  // Sums over reference PCRs, exact.
  struct Sums {
    Wide n = 0, x = 0, y = 0, xx = 0, xy = 0, yy = 0;
    Sums operator-(const Sums& o) const { return {n - o.n, x - o.x, y - o.y, xx - o.xx, xy - o.xy, yy - o.yy}; }
  };
  struct Point {
    double x = 0;  // position on the time axis
    double y = 0;  // PCR time, seconds
    Mark mark;
    uint64_t serial = 0;
    int64_t bytes = 0;   // position since the start of the run, on the time axis
    int64_t ticks = 0;   // PCR time since the start of the run, 27 MHz
  };
  struct Reference : Point {
    Sums before;  // of the references before this one
  };
  // A queue in a vector: taking from the front is a step of an index.
  template <typename T>
  class Queue {
  public:
    using Iterator = typename std::vector<T>::iterator;
    Iterator begin() { return points_.begin() + static_cast<std::ptrdiff_t>(head_); }
    Iterator end() { return points_.end(); }
    bool empty() const { return head_ == points_.size(); }
    size_t size() const { return points_.size() - head_; }
    T& operator[](size_t k) { return points_[head_ + k]; }
    T& front() { return points_[head_]; }
    T& back() { return points_.back(); }
    void push_back(const T& p) { points_.push_back(p); }
    void pop_front(size_t count) {
      head_ += count;
      if (head_ == points_.size()) {
        clear();
      } else if (head_ >= 1024 && head_ * 2 >= points_.size()) {
        points_.erase(points_.begin(), points_.begin() + static_cast<std::ptrdiff_t>(head_));
        head_ = 0;
      }
    }
    void clear() { points_.clear(), head_ = 0; }

  private:
    std::vector<T> points_;
    size_t head_ = 0;
  };
  using References = Queue<Reference>;
  // The least-squares line through the references [from, to) but those of
  // [skipFrom, skipTo), when they all follow it within an eighth of the
  // limit; false otherwise (then outliers are looked for).
  bool SumsLine(References::Iterator from, References::Iterator to, References::Iterator skipFrom,
                References::Iterator skipTo);
  // Judges pending_[0, count).
  void JudgeSlice(size_t count, CheckBoard& board, PcrAccuracyTally& tally);
  enum class LineFit { None, Sums, Points };
  // Sums: the line is lineSlope_ through (lineBytes_, lineTicks_); Points:
  // `at` + `slope` * (x - xCenter_).
  LineFit FitLine(double* at, double* slope, double* uncertainty, double center, uint64_t firstSerial,
                  uint64_t lastSerial, PcrAccuracyTally& tally, size_t judged);
  bool ConstantRate(double center, uint64_t firstSerial, uint64_t lastSerial, bool* known);
  bool oneSided_ = false;  // the last ConstantRate had references on one side of the slice only

  int pid_;
  double limit_;
  uint64_t serial_ = 0;
  // Positions and ticks of a run beyond this are not summed exactly.
  static constexpr uint64_t kExactLimit = uint64_t{1} << 44;
  Queue<Point> pending_;
  References references_;
  Sums total_;            // of every reference of the run
  uint64_t runStart_ = 0;  // where the run's positions count from
  bool started_ = false;
  // The line of SumsLine, in ticks per byte through (lineBytes_, lineTicks_),
  // and three standard errors of the references around it, in ticks.
  double lineSlope_ = 0, lineBytes_ = 0, lineTicks_ = 0, lineUncertainty_ = 0;
  // Scratch of FitLine.
  std::vector<Point> others_;
  std::vector<XY> residuals_;
  std::vector<XY> inliers_;
  std::vector<double> scratch_;
  double xCenter_ = 0;
};

}  // namespace health
