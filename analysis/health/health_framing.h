// Framing: finds the packet size (188, 192, 204 or 208) and the sync bytes
// in bytes fed in pieces of any size, loses sync after a run of bad sync
// bytes and regains it after a run of good ones (TS_sync_loss,
// Sync_byte_error), and hands each packet to a sink. A packet whose sync
// byte alone is damaged is still a packet. Nothing is read or invented past
// the bytes fed.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "analysis/health/health_checks.h"

namespace health {

class PacketSink {
public:
  virtual ~PacketSink() = default;
  // `p` points at the sync byte; 188 bytes are readable. `syncDamaged`: the
  // sync byte was wrong but the packets around it are in place.
  virtual void OnPacket(const uint8_t* p, const Mark& mark, bool syncDamaged) = 0;
  // The buffer that held the packets is about to go.
  virtual void EndOfBuffer() = 0;
};

class PacketFramer {
public:
  PacketFramer(const HealthLimits& limits, CheckBoard& board, PacketSink& sink);

  void Feed(const uint8_t* data, size_t size);
  void Finish();
  void MarkGap();

  int packetSize() const { return packetSize_; }
  bool locked() const { return locked_; }
  bool everSynced() const { return everSynced_; }
  uint64_t packets() const { return packets_; }
  uint64_t bytesFed() const { return base_ + carry_.size(); }
  uint64_t bytesSkipped() const { return bytesSkipped_; }
  uint64_t truncatedTail() const { return truncatedTail_; }
  const std::vector<SyncSegment>& segments() const { return segments_; }

private:
  size_t Process(const uint8_t* buf, size_t len, bool final);
  int DetectAt(const uint8_t* buf, size_t len, size_t at, int run, size_t* syncAt) const;
  uint64_t PacketOffset(uint64_t syncOffset) const {
    return packetSize_ == 192 ? (syncOffset >= 4 ? syncOffset - 4 : 0) : syncOffset;
  }
  void Deliver(const uint8_t* p, uint64_t syncOffset, bool syncDamaged);
  void ReportSyncByte(uint8_t value, uint64_t syncOffset);

  int syncAcquire_;
  int syncLoss_;
  CheckBoard& board_;
  PacketSink& sink_;
  bool finished_ = false;
  int packetSize_ = 0;  // 0 until detected
  bool locked_ = false;
  bool everSynced_ = false;
  uint64_t base_ = 0;  // input offset of the next byte to process
  std::vector<uint8_t> carry_;
  size_t huntLookahead_ = 0;
  size_t lossLookahead_ = 0;
  uint64_t bytesSkipped_ = 0;
  uint64_t truncatedTail_ = 0;
  uint64_t packets_ = 0;
  std::vector<SyncSegment> segments_;
};

}  // namespace health
