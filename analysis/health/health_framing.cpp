#include "analysis/health/health_framing.h"

#include <algorithm>
#include <cstring>

namespace health {

namespace {

constexpr size_t kTsSize = 188;
// Bytes of new input joined to a carried tail: more than any look-ahead.
constexpr size_t kJoinBytes = 4096;
constexpr int kMaxSyncRun = 10;
// Packets looked at when choosing between packet sizes that all fit.
constexpr int kDetectRun = 10;
constexpr size_t kMaxSegments = 4096;
// Packets handed to the sink in one call at most.
constexpr size_t kRunPackets = 32;

// Sync bytes at `at`, at + stride, ... for `run` packets, within len.
bool Chain(const uint8_t* buf, size_t len, size_t at, int stride, int run) {
  for (int k = 0; k < run; ++k) {
    const size_t pos = at + static_cast<size_t>(k) * static_cast<size_t>(stride);
    if (pos >= len || buf[pos] != 0x47) return false;
  }
  return true;
}

// Sync bytes in a row at `stride` from `at`, up to `limit`.
int ChainLength(const uint8_t* buf, size_t len, size_t at, int stride, int limit) {
  int n = 0;
  while (n < limit && Chain(buf, len, at + static_cast<size_t>(n) * static_cast<size_t>(stride), stride, 1)) ++n;
  return n;
}

}  // namespace

PacketFramer::PacketFramer(const HealthLimits& limits, CheckBoard& board, PacketSink& sink)
    : syncAcquire_(std::clamp(limits.syncAcquirePackets, 1, kMaxSyncRun)),
      syncLoss_(std::clamp(limits.syncLossPackets, 1, kMaxSyncRun)),
      board_(board),
      sink_(sink) {
  const int size = limits.packetSize;
  packetSize_ = size == 188 || size == 192 || size == 204 || size == 208 ? size : 0;
  // Sync hunting looks this far ahead of a candidate sync byte.
  huntLookahead_ = static_cast<size_t>(std::max(syncAcquire_, kDetectRun)) * 208 + 8;
  lossLookahead_ = static_cast<size_t>(syncLoss_) * 208 + 8;
}

// The packet size and sync position at a 0x47 at `at`, or 0. Where several
// sizes fit (a trailer full of 0x47 fits 204 inside 208 for a few packets),
// the one whose run of sync bytes lasts longest wins. A 192-byte stream
// whose 4-byte prefixes begin with 0x47 shows two runs four bytes apart;
// the later one holds the sync bytes.
int PacketFramer::DetectAt(const uint8_t* buf, size_t len, size_t at, int run, size_t* syncAt) const {
  static constexpr int kSizes[] = {188, 204, 208, 192};
  int best = 0;
  int bestLength = 0;
  for (int size : kSizes) {
    if (packetSize_ != 0 && size != packetSize_) continue;
    if (!Chain(buf, len, at, size, run)) continue;
    size_t sync = at;
    if (size == 192 && Chain(buf, len, at + 4, size, run)) sync = at + 4;
    const int length = ChainLength(buf, len, sync, size, kDetectRun);
    if (length > bestLength) {
      best = size;
      bestLength = length;
      *syncAt = sync;
    }
  }
  return best;
}

void PacketFramer::ReportSyncByte(uint8_t value, uint64_t syncOffset) {
  board_.Report(HealthCheck::SyncByte, {packets_, PacketOffset(syncOffset)}, -1, [&]() -> Described {
    return {"sync byte %s instead of 0x47", {Hex2(value)}};
  });
}

size_t PacketFramer::DeliverRun(const uint8_t* buf, size_t len, size_t i, bool final) {
  const size_t size = static_cast<size_t>(packetSize_);
  // Whole packets; at the end of the input the last needs only its 188 bytes.
  size_t room = (len - i) / size;
  if (final && (len - i) % size >= kTsSize) ++room;
  // Few enough to be still in the cache when the sink reads them.
  room = std::min(room, kRunPackets);
  // A 192-byte packet whose prefix is cut off at the start of the input
  // has no offset of its own to count on from.
  if (size == 192 && base_ + i < 4) room = std::min<size_t>(room, 1);
  // The headers of the next run, on their way while this one is analysed:
  // the input was read on another thread, often into another core's cache.
  for (size_t k = 0, ahead = i + kRunPackets * size; k < kRunPackets && ahead < len; ++k, ahead += size)
    __builtin_prefetch(buf + ahead);
  size_t count = 0;
  while (count < room && buf[i + count * size] == 0x47) ++count;
  if (count == 0) return 0;
  if (size == 192) {
    // The prefix, in this buffer or partly in front of it.
    runPrefix_ = -1;
    if (i >= 4 || beforeKnown_ >= 4 - i) {
      uint32_t prefix = 0;
      for (size_t k = 0; k < 4; ++k)
        prefix = (prefix << 8) | (i + k >= 4 ? buf[i + k - 4] : before_[i + k]);
      runPrefix_ = prefix;
    }
  }
  sink_.OnPackets(buf + i, count, size, {packets_, PacketOffset(base_ + i)});
  packets_ += count;
  return std::min(count * size, len - i);
}

// Processes buf[0, len) (input offset base_); returns the bytes consumed.
// Unless `final`, stops where a decision needs bytes beyond len.
size_t PacketFramer::Process(const uint8_t* buf, size_t len, bool final) {
  size_t i = 0;
  while (i < len) {
    if (locked_) {
      const size_t size = static_cast<size_t>(packetSize_);
      // The hot path: whole packets with their sync byte.
      while (const size_t taken = DeliverRun(buf, len, i, final)) i += taken;
      if (i >= len) break;
      if (len - i < kTsSize) {
        if (!final) break;
        // A last packet cut short (with a bad sync byte: stray bytes); with
        // its prefix, which the packet before it took as its successor's.
        if (buf[i] == 0x47) {
          truncatedTail_ += len - i + OrphanPrefix();
        } else {
          ReportSyncByte(buf[i], base_ + i);
          bytesSkipped_ += len - i + OrphanPrefix();
        }
        i = len;
        break;
      }
      if (buf[i] == 0x47) break;  // whole packet not yet here
      // A bad sync byte: sync is lost when the next ones are bad too; the
      // end of the input decides nothing.
      if (len - i < lossLookahead_ && !final) break;
      bool lost = true;
      for (int k = 1; k < syncLoss_ && lost; ++k) {
        const size_t next = i + static_cast<size_t>(k) * size;
        if (next >= len || buf[next] == 0x47) lost = false;
      }
      if (syncLoss_ == 1) lost = true;
      if (!lost) {
        ReportSyncByte(buf[i], base_ + i);
        sink_.OnDamagedPacket(buf + i, {packets_, PacketOffset(base_ + i)});
        ++packets_;
        i += std::min(size, len - i);
        continue;
      }
      for (int k = 0; k < syncLoss_; ++k) {
        const size_t at = i + static_cast<size_t>(k) * size;
        ReportSyncByte(buf[at], base_ + at);
      }
      board_.Report(HealthCheck::SyncLoss, {packets_, PacketOffset(base_ + i)}, -1, [&]() -> Described {
        return {"sync lost after %s bad sync bytes in a row", {std::to_string(syncLoss_)}};
      });
      locked_ = false;
      bytesSkipped_ += 1 + OrphanPrefix();
      i += 1;
      continue;
    }
    // Hunting for sync.
    const void* found = std::memchr(buf + i, 0x47, len - i);
    if (found == nullptr) {
      bytesSkipped_ += len - i;
      i = len;
      break;
    }
    const size_t at = static_cast<size_t>(static_cast<const uint8_t*>(found) - buf);
    bytesSkipped_ += at - i;
    i = at;
    if (len - i < huntLookahead_ && !final) break;
    int run = syncAcquire_;
    size_t syncAt = i;
    int size = 0;
    if (!final || len - i >= huntLookahead_) {
      size = DetectAt(buf, len, i, run, &syncAt);
    } else {
      // The end of the input: a stream shorter than the run it takes still
      // gains sync when every packet left has its sync byte: two for an
      // input that is nothing else, three after other bytes, so that a
      // couple of 0x47 at a packet's distance in the last bytes of noise is
      // not taken for a stream.
      const int fewest = !everSynced_ && base_ + i <= 4 ? 2 : 3;
      for (; run >= std::min(2, syncAcquire_) && size == 0; --run) {
        size = DetectAt(buf, len, i, run, &syncAt);
        if (size != 0 && run < syncAcquire_) {
          const int left = len - syncAt >= kTsSize ? static_cast<int>((len - syncAt - kTsSize) / static_cast<size_t>(size)) + 1 : 0;
          if (left < std::min(fewest, syncAcquire_) || ChainLength(buf, len, syncAt, size, left) < left) size = 0;
        }
      }
    }
    if (size == 0) {
      bytesSkipped_ += 1;
      i += 1;
      continue;
    }
    packetSize_ = size;
    bytesSkipped_ += syncAt - i;
    // The 4-byte prefix in front of the first sync byte belongs to the packet.
    if (size == 192 && base_ + syncAt >= 4) bytesSkipped_ -= std::min<uint64_t>(4, bytesSkipped_);
    i = syncAt;
    locked_ = true;
    everSynced_ = true;
    ++syncGains_;
    if (segments_.size() < kMaxSegments) segments_.push_back({PacketOffset(base_ + syncAt), packets_});
  }
  return i;
}

void PacketFramer::Advance(const uint8_t* buf, size_t consumed) {
  if (consumed >= 4) {
    std::memcpy(before_, buf + consumed - 4, 4);
    beforeKnown_ = 4;
  } else if (consumed > 0) {
    std::memmove(before_, before_ + consumed, 4 - consumed);
    std::memcpy(before_ + 4 - consumed, buf, consumed);
    beforeKnown_ = std::min<size_t>(beforeKnown_ + consumed, 4);
  }
  base_ += consumed;
}

void PacketFramer::Feed(const uint8_t* data, size_t size) {
  if (finished_) return;
  while (size > 0 && !carry_.empty()) {
    const size_t old = carry_.size();
    const size_t take = std::min(size, kJoinBytes);
    carry_.insert(carry_.end(), data, data + take);
    const size_t consumed = Process(carry_.data(), carry_.size(), false);
    sink_.EndOfBuffer();
    Advance(carry_.data(), consumed);
    if (consumed >= old) {
      // Past the carried bytes: go on in the caller's buffer.
      const size_t skip = consumed - old;
      carry_.clear();
      data += skip;
      size -= skip;
      break;
    }
    carry_.erase(carry_.begin(), carry_.begin() + static_cast<std::ptrdiff_t>(consumed));
    data += take;
    size -= take;
  }
  if (size == 0) return;
  const size_t consumed = Process(data, size, false);
  sink_.EndOfBuffer();
  Advance(data, consumed);
  carry_.assign(data + consumed, data + size);
}

void PacketFramer::Finish() {
  if (finished_) return;
  const size_t consumed = Process(carry_.data(), carry_.size(), true);
  sink_.EndOfBuffer();
  Advance(carry_.data(), consumed);
  carry_.clear();
  finished_ = true;
}

void PacketFramer::MarkGap() {
  if (finished_) return;
  if (!carry_.empty()) {
    bytesSkipped_ += carry_.size();
    Advance(carry_.data(), carry_.size());
    carry_.clear();
  }
  // What came before the gap is not in front of what follows.
  beforeKnown_ = 0;
  locked_ = false;
}

}  // namespace health
