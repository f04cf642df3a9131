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
#pragma once

#include <cstdint>
#include <deque>
#include <vector>

#include "analysis/health/health_checks.h"

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
  // A PCR at `mark`, `seconds` since the start of the run.
  void Add(const Mark& mark, double seconds, CheckBoard& board, PcrAccuracyTally& tally);
  // The run ends: judges what is pending and starts afresh.
  void Flush(CheckBoard& board, PcrAccuracyTally& tally);

private:
  struct Point {
    double x = 0;  // position in the stream, bytes
    double y = 0;  // PCR time, seconds
    Mark mark;
    uint64_t serial = 0;
  };
  // Judges pending_[0, count).
  void JudgeSlice(size_t count, CheckBoard& board, PcrAccuracyTally& tally);
  bool FitLine(double* at, double* slope, double* uncertainty, double center, uint64_t firstSerial,
               uint64_t lastSerial, PcrAccuracyTally& tally, size_t judged);
  bool ConstantRate(double center, uint64_t firstSerial, uint64_t lastSerial, bool* known) const;

  int pid_;
  double limit_;
  uint64_t serial_ = 0;
  std::deque<Point> pending_;
  std::deque<Point> references_;
  // Scratch of FitLine.
  std::vector<Point> others_;
  std::vector<XY> residuals_;
  std::vector<XY> inliers_;
  std::vector<double> scratch_;
  double xCenter_ = 0;
};

}  // namespace health
