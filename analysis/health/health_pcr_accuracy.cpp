#include "analysis/health/health_pcr_accuracy.h"

#include <algorithm>
#include <cmath>

namespace health {

namespace {

constexpr double kHalfWindowS = PcrAccuracyFit::kWindowS / 2;
// Reference PCRs are kept at least this far apart, so that a PID carrying
// PCRs in every packet costs no more than a usual one.
constexpr double kReferenceSpacingS = PcrAccuracyFit::kWindowS / 128;
constexpr size_t kMaxPending = 4096;
constexpr size_t kMinReferences = 6;
// PCRs judged against one line.
constexpr double kSliceS = 0.1;
constexpr double kPcrHz = 27e6;

double Cross(const XY& o, const XY& a, const XY& b) { return (a.x - o.x) * (b.y - o.y) - (a.y - o.y) * (b.x - o.x); }

// The line y = c + d x from which the points (ascending x) stray least.
bool MinimaxLine(const std::vector<XY>& points, double* c, double* d) {
  std::vector<XY> lower, upper;
  for (const XY& p : points) {
    while (lower.size() >= 2 && Cross(lower[lower.size() - 2], lower.back(), p) <= 0) lower.pop_back();
    lower.push_back(p);
    while (upper.size() >= 2 && Cross(upper[upper.size() - 2], upper.back(), p) >= 0) upper.pop_back();
    upper.push_back(p);
  }
  double best = INFINITY;
  auto consider = [&](const std::vector<XY>& edges, const std::vector<XY>& opposite, double sign) {
    for (size_t k = 0; k + 1 < edges.size(); ++k) {
      const XY& a = edges[k];
      const XY& b = edges[k + 1];
      if (b.x <= a.x) continue;
      const double slope = (b.y - a.y) / (b.x - a.x);
      double width = 0;
      for (const XY& o : opposite) width = std::max(width, sign * (o.y - (a.y + slope * (o.x - a.x))));
      if (width < best) {
        best = width;
        *d = slope;
        *c = a.y - slope * a.x + sign * width / 2;
      }
    }
  };
  consider(lower, upper, 1);
  consider(upper, lower, -1);
  return std::isfinite(best);
}

// Three standard errors of a line through `points` (off by c + d x).
double StandardError(const std::vector<XY>& points, double c, double d) {
  if (points.size() < 3) return 0;
  double sum = 0;
  for (const XY& p : points) sum += (p.y - c - d * p.x) * (p.y - c - d * p.x);
  const double n = static_cast<double>(points.size());
  return 3 * std::sqrt(sum / (n - 2) / n);
}

double Median(std::vector<double>& values) {
  const size_t middle = values.size() / 2;
  std::nth_element(values.begin(), values.begin() + static_cast<std::ptrdiff_t>(middle), values.end());
  return values[middle];
}

}  // namespace

void PcrAccuracyFit::Add(const Mark& mark, uint64_t position, double seconds, uint64_t ticks, CheckBoard& board,
                         PcrAccuracyTally& tally) {
  if (!started_) {
    started_ = true;
    runStart_ = position;
  }
  Point point{static_cast<double>(position), seconds, mark, ++serial_, 0, 0};
  // Past these the exact sums could overflow: the references are then fitted one by one.
  point.bytes = position - runStart_ < kExactLimit ? static_cast<int64_t>(position - runStart_) : -1;
  point.ticks = ticks < kExactLimit ? static_cast<int64_t>(ticks) : -1;
  pending_.push_back(point);
  if (references_.empty() || seconds - references_.back().y >= kReferenceSpacingS) {
    references_.push_back({point, total_});
    const Wide x = point.bytes, y = point.ticks;
    total_.n += 1;
    total_.x += x;
    total_.y += y;
    total_.xx += x * x;
    total_.xy += x * y;
    total_.yy += y * y;
  }
  while (!pending_.empty() &&
         (pending_.front().y + kSliceS + kRateWindowS <= seconds || pending_.size() > kMaxPending)) {
    size_t count = 0;
    while (count < pending_.size() && pending_[count].y < pending_.front().y + kSliceS) ++count;
    JudgeSlice(count, board, tally);
  }
  const double keepFrom = (pending_.empty() ? seconds : pending_.front().y) - kRateWindowS;
  size_t old = 0;
  while (old < references_.size() && references_[old].y < keepFrom) ++old;
  references_.pop_front(old);
}

void PcrAccuracyFit::Flush(CheckBoard& board, PcrAccuracyTally& tally) {
  while (!pending_.empty()) {
    size_t count = 0;
    while (count < pending_.size() && pending_[count].y < pending_.front().y + kSliceS) ++count;
    JudgeSlice(std::max<size_t>(count, 1), board, tally);
  }
  references_.clear();
  total_ = {};
  started_ = false;
}

void PcrAccuracyFit::JudgeSlice(size_t count, CheckBoard& board, PcrAccuracyTally& tally) {
  const Point& first = pending_.front();
  const Point& last = pending_[count - 1];
  double at = 0, slope = 0, uncertainty = 0;
  const double center = (first.y + last.y) / 2;
  const LineFit fit = FitLine(&at, &slope, &uncertainty, center, first.serial, last.serial, tally, count);
  // A line fitted on one side only is judged at its end, where its error is
  // twice that at its middle (evenly spaced references).
  if (oneSided_) uncertainty *= 2;
  for (size_t k = 0; fit != LineFit::None && k < count; ++k) {
    const Point& p = pending_[k];
    const double error =
        fit == LineFit::Sums
            ? ((static_cast<double>(p.ticks) - lineTicks_) - lineSlope_ * (static_cast<double>(p.bytes) - lineBytes_)) /
                  kPcrHz
            : p.y - (at + slope * (p.x - xCenter_));
    ++tally.judged;
    if (std::fabs(error) > limit_ + uncertainty) {
      board.Report(HealthCheck::PcrAccuracy, p.mark, pid_, [&]() -> Described {
        return {"PID %s: PCR off by %s ns", {Hex4(pid_), Format("%.0f", error * 1e9)}};
      });
    }
  }
  pending_.pop_front(count);
}

bool PcrAccuracyFit::SumsLine(References::Iterator from, References::Iterator to, References::Iterator skipFrom,
                              References::Iterator skipTo) {
  const auto before = [&](References::Iterator it) { return it == references_.end() ? total_ : it->before; };
  const Sums s = (before(to) - before(from)) - (before(skipTo) - before(skipFrom));
  // n^2 times the variance of the positions, and the covariance.
  const Wide a = s.n * s.xx - s.x * s.x;
  const Wide b = s.n * s.xy - s.x * s.y;
  if (a <= 0) return false;
  const double count = static_cast<double>(s.n);
  lineSlope_ = static_cast<double>(b) / static_cast<double>(a);
  lineBytes_ = static_cast<double>(s.x) / count;
  lineTicks_ = static_cast<double>(s.y) / count;
  double largest = 0, squares = 0;
  const auto stray = [&](References::Iterator it, References::Iterator end) {
    for (; it != end; ++it) {
      const double r = (static_cast<double>(it->ticks) - lineTicks_) -
                       lineSlope_ * (static_cast<double>(it->bytes) - lineBytes_);
      largest = std::max(largest, std::fabs(r));
      squares += r * r;
    }
  };
  stray(from, skipFrom);
  stray(skipTo, to);
  // PCRs that all follow the line closely: it is the reference.
  if (largest > limit_ * kPcrHz / 8) return false;
  lineUncertainty_ = s.n >= 3 ? 3 * std::sqrt(squares / (count - 2) / count) : 0;
  return true;
}

// Whether the bitrate over the second before `center` and the second after
// agree (the PCRs of the slice being judged left out); `known` is false when
// neither second is long enough to tell. At the stream's start and end (and
// after a reset) only one side is there: its two halves are compared instead,
// and oneSided_ says so.
bool PcrAccuracyFit::ConstantRate(double center, uint64_t firstSerial, uint64_t lastSerial, bool* known) {
  // References rise in time and serial, so each side is a range and the
  // slice left out a range inside them: the ends come from binary searches.
  using Iterator = References::Iterator;
  const auto begin = references_.begin();
  const auto end = references_.end();
  const auto from = std::partition_point(begin, end, [&](const Point& r) { return r.y < center - kRateWindowS - 1e-9; });
  const auto to = std::partition_point(from, end, [&](const Point& r) { return r.y <= center + kRateWindowS + 1e-9; });
  const auto middle = std::partition_point(from, to, [&](const Point& r) { return r.y < center; });
  const auto skipFrom = std::partition_point(from, to, [&](const Point& r) { return r.serial < firstSerial; });
  const auto skipTo = std::partition_point(skipFrom, to, [&](const Point& r) { return r.serial <= lastSerial; });
  const auto left = [&](Iterator it) { return it < skipFrom || it >= skipTo; };
  const std::pair<Iterator, Iterator> sides[2] = {{from, middle}, {middle, to}};
  Iterator ends[2][2] = {{end, end}, {end, end}};  // [before/after][first/last]
  const double enough = kRateWindowS * 0.4;
  bool longEnough[2] = {false, false};
  for (int side = 0; side < 2; ++side) {
    const auto [first, last] = sides[side];
    if (first == last) continue;
    auto lo = left(first) ? first : skipTo;
    auto hi = left(last - 1) ? last - 1 : (skipFrom > first ? skipFrom - 1 : last);
    if (lo >= last || hi == last || hi <= lo) continue;
    ends[side][0] = lo;
    ends[side][1] = hi;
    longEnough[side] = hi->y - lo->y >= enough;
  }
  const auto rate = [](const Point& a, const Point& b) { return (b.x - a.x) / (b.y - a.y); };
  double rates[2];
  *known = false;
  oneSided_ = !(longEnough[0] && longEnough[1]);
  if (!oneSided_) {
    for (int side = 0; side < 2; ++side) rates[side] = rate(*ends[side][0], *ends[side][1]);
  } else {
    const int side = longEnough[0] ? 0 : 1;
    if (!longEnough[side]) return false;
    const Iterator lo = ends[side][0], hi = ends[side][1];
    if (hi->y - lo->y < 2 * enough) return false;
    const double half = (lo->y + hi->y) / 2;
    Iterator mid = std::partition_point(lo, hi, [&](const Point& r) { return r.y < half; });
    if (!left(mid)) mid = skipTo;
    if (mid <= lo || mid >= hi || mid->y - lo->y < enough / 2 || hi->y - mid->y < enough / 2) return false;
    rates[0] = rate(*lo, *mid);
    rates[1] = rate(*mid, *hi);
  }
  *known = true;
  return std::max(rates[0], rates[1]) <= std::min(rates[0], rates[1]) * (1 + kConstantRateTolerance);
}

// The line (PCR time at xCenter_, and seconds per byte) that the reference
// PCRs within half a window of `center` follow, those of the slice being
// judged (serials firstSerial..lastSerial) left out, and its uncertainty.
// False when there are too few, or when the bitrate is not constant
// (counted in `tally`).
PcrAccuracyFit::LineFit PcrAccuracyFit::FitLine(double* at, double* slope, double* uncertainty, double center,
                                                uint64_t firstSerial, uint64_t lastSerial, PcrAccuracyTally& tally,
                                                size_t judged) {
  bool known = false;
  const bool constant = ConstantRate(center, firstSerial, lastSerial, &known);
  if (!known) return LineFit::None;
  if (!constant) {
    tally.variable += judged;
    return LineFit::None;
  }
  const auto from = std::partition_point(references_.begin(), references_.end(),
                                         [&](const Point& r) { return r.y < center - kHalfWindowS - 1e-9; });
  const auto to = std::partition_point(from, references_.end(),
                                       [&](const Point& r) { return r.y <= center + kHalfWindowS + 1e-9; });
  const auto skipFrom = std::partition_point(from, to, [&](const Point& r) { return r.serial < firstSerial; });
  const auto skipTo = std::partition_point(skipFrom, to, [&](const Point& r) { return r.serial <= lastSerial; });
  const size_t n = static_cast<size_t>((to - from) - (skipTo - skipFrom));
  if (n < kMinReferences) return LineFit::None;
  const bool exact = from->bytes >= 0 && from->ticks >= 0 && (to - 1)->bytes >= 0 && (to - 1)->ticks >= 0;
  if (exact && SumsLine(from, to, skipFrom, skipTo)) {
    *uncertainty = lineUncertainty_ / kPcrHz;
    return LineFit::Sums;
  }
  others_.assign(from, skipFrom);
  others_.insert(others_.end(), skipTo, to);

  // Least squares on positions relative to their mean...
  double xm = 0, ym = 0;
  for (const Point& r : others_) {
    xm += r.x;
    ym += r.y;
  }
  xm /= static_cast<double>(n);
  ym /= static_cast<double>(n);
  double sxx = 0, sxy = 0;
  for (const Point& r : others_) {
    sxx += (r.x - xm) * (r.x - xm);
    sxy += (r.x - xm) * (r.y - ym);
  }
  if (sxx <= 0) return LineFit::None;
  const double lsSlope = sxy / sxx;
  xCenter_ = xm;
  residuals_.resize(n);
  double largest = 0;
  for (size_t k = 0; k < n; ++k) {
    const double dx = others_[k].x - xm;
    residuals_[k] = {dx, others_[k].y - ym - lsSlope * dx};
    largest = std::max(largest, std::fabs(residuals_[k].y));
  }
  *at = ym;
  *slope = lsSlope;
  // PCRs that all follow the line closely: it is the reference.
  if (largest <= limit_ / 8) {
    *uncertainty = StandardError(residuals_, 0, 0);
    return LineFit::Points;
  }
  // ...otherwise outliers left out...
  scratch_.resize(n);
  for (size_t k = 0; k < n; ++k) scratch_[k] = residuals_[k].y;
  const double median = Median(scratch_);
  for (size_t k = 0; k < n; ++k) scratch_[k] = std::fabs(residuals_[k].y - median);
  const double spread = Median(scratch_);
  const double keep = std::max(limit_ / 2, 5 * spread);
  inliers_.clear();
  for (const XY& r : residuals_)
    if (std::fabs(r.y - median) <= keep) inliers_.push_back(r);
  // ...and the line they stray least from.
  double c = 0, d = 0;
  if (inliers_.size() < kMinReferences / 2 || !MinimaxLine(inliers_, &c, &d)) return LineFit::None;
  *at = ym + c;
  *slope = lsSlope + d;
  *uncertainty = StandardError(inliers_, c, d);
  return LineFit::Points;
}

}  // namespace health
