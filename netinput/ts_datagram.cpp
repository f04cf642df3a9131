#include "netinput/ts_datagram.h"

#include <cmath>

namespace {

constexpr uint8_t kSyncByte = 0x47;
constexpr double kRtpClockHz = 90000.0;
// RFC 3550 appendix A.1: a jump up to this is loss, beyond it a new sequence;
// this far behind is a late datagram.
constexpr int kMaxDropout = 3000;
constexpr int kMaxMisorder = 100;

uint16_t Read16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t Read32(const uint8_t* p) {
  return uint32_t{p[0]} << 24 | uint32_t{p[1]} << 16 | uint32_t{p[2]} << 8 | p[3];
}

}  // namespace

bool ParseRtpHeader(const uint8_t* data, size_t size, RtpHeader* header) {
  if (size < kRtpFixedHeaderBytes || (data[0] >> 6) != 2) return false;
  const bool padding = (data[0] & 0x20) != 0;
  const bool extension = (data[0] & 0x10) != 0;
  const size_t csrcs = data[0] & 0x0F;
  size_t length = kRtpFixedHeaderBytes + 4 * csrcs;
  if (extension) {
    if (size < length + 4) return false;
    length += 4 + 4 * size_t{Read16(data + length + 2)};
  }
  size_t paddingBytes = 0;
  if (padding) paddingBytes = data[size - 1];
  if (length + paddingBytes > size) return false;
  header->marker = (data[1] & 0x80) != 0;
  header->payloadType = data[1] & 0x7F;
  header->sequence = Read16(data + 2);
  header->timestamp = Read32(data + 4);
  header->ssrc = Read32(data + 8);
  header->headerBytes = length;
  header->paddingBytes = paddingBytes;
  return true;
}

void WriteRtpHeader(uint8_t* out, int payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc) {
  out[0] = 0x80;
  out[1] = static_cast<uint8_t>(payloadType & 0x7F);
  out[2] = static_cast<uint8_t>(sequence >> 8);
  out[3] = static_cast<uint8_t>(sequence);
  for (int i = 0; i < 4; ++i) {
    out[4 + i] = static_cast<uint8_t>(timestamp >> (24 - 8 * i));
    out[8 + i] = static_cast<uint8_t>(ssrc >> (24 - 8 * i));
  }
}

bool IsWholeTsDatagram(const uint8_t* data, size_t size) {
  if (size == 0 || data[0] != kSyncByte) return false;
  for (size_t packet : {size_t{188}, size_t{204}})
    if (size % packet == 0 && size / packet <= kTsPacketsPerDatagram) return true;
  return false;
}

bool TsDatagramUnpacker::AcceptSequence(const RtpHeader& header, double arrivalS) {
  if (haveSequence_) {
    const int step = static_cast<uint16_t>(header.sequence - lastSequence_);
    if (step == 0) {
      ++stats_.rtpDuplicates;
      return false;
    }
    if (step >= 65536 - kMaxMisorder) {
      ++stats_.rtpLate;
      return false;
    }
    if (step <= kMaxDropout) stats_.rtpLost += static_cast<uint64_t>(step - 1);
    else ++stats_.rtpRestarts;
  }
  haveSequence_ = true;
  lastSequence_ = header.sequence;
  // RFC 3550 section 6.4.1: J += (|D| - J) / 16, D the change in transit time.
  const double transit = arrivalS * kRtpClockHz - static_cast<double>(header.timestamp);
  if (haveTransit_) {
    double change = std::fabs(transit - lastTransit_);
    // The timestamp wrapped (about every 13 hours at 90 kHz).
    if (change > 2147483648.0) change = std::fabs(change - 4294967296.0);
    jitter_ += (change - jitter_) / 16.0;
    stats_.jitterS = jitter_ / kRtpClockHz;
  }
  haveTransit_ = true;
  lastTransit_ = transit;
  return true;
}

size_t TsDatagramUnpacker::Unpack(const uint8_t* data, size_t size, double arrivalS, size_t* offset) {
  ++stats_.datagrams;
  *offset = 0;
  RtpHeader header;
  const bool parsed = size > 0 && data[0] != kSyncByte && ParseRtpHeader(data, size, &header);
  if (protocol_ == NetProtocol::Rtp) {
    if (!parsed) {
      ++stats_.notRtp;
      return 0;
    }
    if (header.payloadType != kRtpPayloadTypeMp2t) {
      ++stats_.rtpOtherPayload;
      return 0;
    }
  } else if (!parsed || header.payloadType != kRtpPayloadTypeMp2t ||
             !IsWholeTsDatagram(data + header.headerBytes, size - header.headerBytes - header.paddingBytes)) {
    // udp:// takes RTP too, but only what is surely RTP: a bare stream cut
    // anywhere (not on packet boundaries) may start with any byte.
    if (!IsWholeTsDatagram(data, size)) ++stats_.irregular;
    stats_.tsBytes += size;
    return size;
  }
  stats_.rtpSeen = true;
  if (!AcceptSequence(header, arrivalS)) return 0;
  *offset = header.headerBytes;
  const size_t length = size - header.headerBytes - header.paddingBytes;
  if (!IsWholeTsDatagram(data + *offset, length)) ++stats_.irregular;
  stats_.tsBytes += length;
  return length;
}
