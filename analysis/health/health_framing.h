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
  // `count` packets in a row, `stride` bytes apart, from `p` (at the first
  // one's sync byte): packet k is analysed packet first.packet + k at input
  // offset first.offset + k * stride. 188 bytes of each are readable (the
  // last may end there, at the end of the input). One call per run keeps
  // the per-packet path free of calls through the interface.
  virtual void OnPackets(const uint8_t* p, size_t count, size_t stride, const Mark& first) = 0;
  // A packet whose sync byte alone was wrong (the packets around it are in
  // place): counted, not read.
  virtual void OnDamagedPacket(const uint8_t* p, const Mark& mark) = 0;
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
  // How often sync was gained (the first time included).
  uint64_t syncGains() const { return syncGains_; }
  // With 192-byte packets, during OnPackets: the 4-byte prefix of the run's
  // first packet, big-endian (those of the others are in front of them);
  // -1 when it is not known (cut off at the start of the input).
  int64_t runPrefix() const { return runPrefix_; }

private:
  size_t Process(const uint8_t* buf, size_t len, bool final);
  int DetectAt(const uint8_t* buf, size_t len, size_t at, int run, size_t* syncAt) const;
  // With 192-byte packets, the 4 bytes in front of a sync byte where no
  // packet turned out to begin: a run takes them as the prefix of the
  // packet after it.
  uint64_t OrphanPrefix() const { return packetSize_ == 192 ? 4 : 0; }
  uint64_t PacketOffset(uint64_t syncOffset) const {
    return packetSize_ == 192 ? (syncOffset >= 4 ? syncOffset - 4 : 0) : syncOffset;
  }
  // Hands over the whole packets with their sync byte from buf[i]; returns
  // the bytes they take.
  size_t DeliverRun(const uint8_t* buf, size_t len, size_t i, bool final);
  void ReportSyncByte(uint8_t value, uint64_t syncOffset);
  // The first `consumed` bytes of buf are done with.
  void Advance(const uint8_t* buf, size_t consumed);

  int syncAcquire_;
  int syncLoss_;
  CheckBoard& board_;
  PacketSink& sink_;
  bool finished_ = false;
  int packetSize_ = 0;  // 0 until detected
  bool locked_ = false;
  bool everSynced_ = false;
  uint64_t base_ = 0;  // input offset of the next byte to process
  uint8_t before_[4] = {};  // the input bytes just before base_
  size_t beforeKnown_ = 0;  // how many of them there are
  int64_t runPrefix_ = -1;
  std::vector<uint8_t> carry_;
  size_t huntLookahead_ = 0;
  size_t lossLookahead_ = 0;
  uint64_t bytesSkipped_ = 0;
  uint64_t truncatedTail_ = 0;
  uint64_t packets_ = 0;
  uint64_t syncGains_ = 0;
  std::vector<SyncSegment> segments_;
};

}  // namespace health
