// PCR_accuracy_error on one PCR_PID: each PCR against the line that the
// other PCRs of about a second around it follow (position in the stream
// against PCR time), outliers left out. The line is the one from which the
// PCRs stray least (minimax), so PCRs all within the limit are never
// judged against a line they pulled aside. A PCR is judged when the PCRs
// half a window after it have arrived, or when its run ends (a
// discontinuity, the end of the stream). Runs whose bitrate is not
// constant across the window are not judged. PCRs are judged a slice at a
// time against one line from the PCRs outside the slice.
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
  static constexpr double kConstantRateTolerance = 0.01;  // between quarters of the window

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
  bool FitLine(double* at, double* slope, double center, uint64_t firstSerial, uint64_t lastSerial,
               PcrAccuracyTally& tally, size_t judged);

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
