#include "netinput/rtp_reorder.h"

#include <algorithm>

#include "netinput/ts_datagram.h"

namespace {

// RFC 3550 appendix A.1: a jump ahead up to this is loss, further a new
// sequence; up to kMaxMisorder behind is a late or repeated datagram, further
// behind a new sequence too.
constexpr uint16_t kMaxDropout = 3000;
constexpr uint16_t kMaxMisorder = 100;
constexpr uint32_t kDelivered = 0x10000;  // marks a place of passed_ as delivered

uint16_t Ahead(uint16_t from, uint16_t to) { return static_cast<uint16_t>(to - from); }
bool IsAfter(uint16_t sequence, uint16_t reference) {
  const uint16_t step = Ahead(reference, sequence);
  return step != 0 && step < 0x8000;
}

}  // namespace

void RtpReorderBuffer::Pass(uint16_t sequence, const uint8_t* data, size_t size, const Sink& sink) {
  passed_[sequence % passed_.size()] = kDelivered | sequence;
  next_ = static_cast<uint16_t>(sequence + 1);
  stats_->tsBytes += size;
  sink(data, size);
}

void RtpReorderBuffer::PassHeldInOrder(const Sink& sink) {
  size_t taken = 0;
  while (taken < held_.size() && held_[taken].sequence == next_) {
    Held& h = held_[taken++];
    Pass(h.sequence, h.bytes.data(), h.bytes.size(), sink);
    spare_.push_back(std::move(h.bytes));
  }
  held_.erase(held_.begin(), held_.begin() + static_cast<std::ptrdiff_t>(taken));
}

void RtpReorderBuffer::GiveUpGap(const Sink& sink) {
  if (held_.empty()) return;
  const uint16_t gap = Ahead(next_, held_.front().sequence);
  stats_->rtpLost += gap;
  // Only the last places matter for telling late from duplicate.
  for (uint16_t i = gap > passed_.size() ? static_cast<uint16_t>(gap - passed_.size()) : 0; i < gap; ++i) {
    const uint16_t missing = static_cast<uint16_t>(next_ + i);
    passed_[missing % passed_.size()] = missing;
  }
  next_ = held_.front().sequence;
  PassHeldInOrder(sink);
}

bool RtpReorderBuffer::Take(uint16_t sequence, const uint8_t* payload, size_t size, double arrivalS,
                            const Sink& sink) {
  static_assert(kMaxMisorder < std::tuple_size_v<decltype(passed_)>);
  if (!started_) {
    started_ = true;
    next_ = highest_ = sequence;
  }
  const uint16_t ahead = Ahead(next_, sequence);
  if (ahead >= kMaxDropout && ahead <= 0xFFFF - kMaxMisorder) {
    // Too far either way: a new sender or a restarted one.
    ++stats_->rtpRestarts;
    ReleaseAll(sink);
    next_ = highest_ = sequence;
    Pass(sequence, payload, size, sink);
    return true;
  }
  if (ahead > 0xFFFF - kMaxMisorder) {
    // Behind the place the engine is at: seen already, or given up.
    const uint32_t place = passed_[sequence % passed_.size()];
    if (place == (kDelivered | sequence)) ++stats_->rtpDuplicates;
    else ++stats_->rtpLate;
    return false;
  }
  const auto slot = std::lower_bound(held_.begin(), held_.end(), ahead, [this](const Held& h, uint16_t a) {
    return Ahead(next_, h.sequence) < a;
  });
  if (slot != held_.end() && slot->sequence == sequence) {
    ++stats_->rtpDuplicates;
    return false;
  }
  if (IsAfter(highest_, sequence)) ++stats_->rtpReordered;
  else highest_ = sequence;
  if (ahead == 0) {
    Pass(sequence, payload, size, sink);
    PassHeldInOrder(sink);
    return true;
  }
  Held held{sequence, arrivalS, {}};
  if (!spare_.empty()) {
    held.bytes = std::move(spare_.back());
    spare_.pop_back();
  }
  held.bytes.assign(payload, payload + size);
  held_.insert(slot, std::move(held));
  while (held_.size() > kReorderHeldDatagrams) GiveUpGap(sink);
  return true;
}

std::optional<double> RtpReorderBuffer::HoldEnds() const {
  if (held_.empty()) return std::nullopt;
  double first = held_.front().arrivalS;
  for (const Held& h : held_) first = std::min(first, h.arrivalS);
  return first + kReorderHoldS;
}

void RtpReorderBuffer::Release(double nowS, const Sink& sink) {
  for (std::optional<double> ends = HoldEnds(); ends && nowS >= *ends; ends = HoldEnds()) GiveUpGap(sink);
}

void RtpReorderBuffer::ReleaseAll(const Sink& sink) {
  while (!held_.empty()) GiveUpGap(sink);
}
