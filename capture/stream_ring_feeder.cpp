#include "capture/stream_ring_feeder.h"

#include "capture/capture_run.h"
#include "device/tuner_device.h"

bool StreamRingFeeder::Poll(StreamHealth& health) {
  return Poll([&health](const uint8_t* data, size_t size) { health.Feed(data, size); }, [&health] { health.MarkGap(); });
}

bool StreamRingFeeder::Poll(const std::function<void(const uint8_t*, size_t)>& data, const std::function<void()>& gap) {
  uint32_t write = 0;
  if (!GetStreamWritePosition(&write) || write >= ringSize_) return false;
  if (write == read_) return true;
  const uint64_t pending = write > read_ ? write - read_ : uint64_t{ringSize_} - read_ + write;
  received_ += pending;
  if (pending > ringSize_ - kRingSafetyMargin) {
    ++overruns_;
    gap();
    read_ = write;
    return true;
  }
  if (write < read_) {
    data(ring_ + read_, ringSize_ - read_);
    read_ = 0;
  }
  data(ring_ + read_, write - read_);
  read_ = write;
  bytes_ += pending;
  return true;
}
