// A series of values against stream position that never holds more than a
// set number of buckets: when full, neighbouring buckets are merged and each
// new bucket takes twice as many values. A bucket keeps its lowest and its
// highest value where they occurred, so a spike stays in view at any length.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

// One value where it occurred: the byte offset of its packet and the stream
// time (seconds on the program's clock).
struct TimingSample {
  uint64_t byteOffset = 0;
  double timeS = 0;
  double value = 0;
};

struct TimingBucket {
  TimingSample low;
  TimingSample high;
  uint64_t count = 0;
};

class TimingSeries {
public:
  static constexpr size_t kDefaultBuckets = 2048;
  TimingSeries() : TimingSeries(kDefaultBuckets) {}
  explicit TimingSeries(size_t maxBuckets);

  void Add(const TimingSample& sample);
  // Fewer buckets from now on (at least 2): merged at once if there are more.
  void SetMaxBuckets(size_t maxBuckets);
  size_t MaxBuckets() const { return maxBuckets_; }

  const std::vector<TimingBucket>& Buckets() const { return buckets_; }
  // Values per bucket (1, then 2, 4, ...).
  uint64_t Stride() const { return stride_; }
  uint64_t Count() const { return count_; }
  bool Empty() const { return count_ == 0; }
  // The lowest and highest value added; 0 when empty.
  double Min() const { return min_; }
  double Max() const { return max_; }
  // Every bucket's extremes in stream order (one sample where low and high
  // are the same one): the points to draw.
  std::vector<TimingSample> Points() const;

private:
  void Halve();

  size_t maxBuckets_;
  uint64_t stride_ = 1;
  uint64_t count_ = 0;
  double min_ = 0;
  double max_ = 0;
  std::vector<TimingBucket> buckets_;
};
