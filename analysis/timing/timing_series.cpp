#include "analysis/timing/timing_series.h"

#include <algorithm>

namespace {

void Merge(TimingBucket& into, const TimingBucket& next) {
  if (next.low.value < into.low.value) into.low = next.low;
  if (next.high.value > into.high.value) into.high = next.high;
  into.count += next.count;
}

}  // namespace

TimingSeries::TimingSeries(size_t maxBuckets) : maxBuckets_(std::max<size_t>(2, maxBuckets)) {}

void TimingSeries::Add(const TimingSample& sample) {
  min_ = count_ == 0 ? sample.value : std::min(min_, sample.value);
  max_ = count_ == 0 ? sample.value : std::max(max_, sample.value);
  ++count_;
  if (!buckets_.empty() && buckets_.back().count < stride_) {
    Merge(buckets_.back(), TimingBucket{sample, sample, 1});
    return;
  }
  if (buckets_.size() >= maxBuckets_) Halve();
  if (!buckets_.empty() && buckets_.back().count < stride_) {
    Merge(buckets_.back(), TimingBucket{sample, sample, 1});
    return;
  }
  buckets_.push_back({sample, sample, 1});
}

void TimingSeries::SetMaxBuckets(size_t maxBuckets) {
  maxBuckets_ = std::max<size_t>(2, maxBuckets);
  while (buckets_.size() > maxBuckets_) Halve();
}

void TimingSeries::Halve() {
  const size_t half = (buckets_.size() + 1) / 2;
  for (size_t k = 0; k < half; ++k) {
    TimingBucket merged = buckets_[2 * k];
    if (2 * k + 1 < buckets_.size()) Merge(merged, buckets_[2 * k + 1]);
    buckets_[k] = merged;
  }
  buckets_.resize(half);
  stride_ *= 2;
}

std::vector<TimingSample> TimingSeries::Points() const {
  std::vector<TimingSample> out;
  out.reserve(buckets_.size() * 2);
  for (const TimingBucket& b : buckets_) {
    const bool same = b.low.byteOffset == b.high.byteOffset && b.low.value == b.high.value;
    if (same) {
      out.push_back(b.low);
    } else if (b.low.byteOffset <= b.high.byteOffset) {
      out.push_back(b.low);
      out.push_back(b.high);
    } else {
      out.push_back(b.high);
      out.push_back(b.low);
    }
  }
  return out;
}
