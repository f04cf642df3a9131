// What one received datagram holds: transport stream packets, directly or
// behind an RTP header (RFC 3550; payload type 33, MPEG-2 TS, RFC 2250).
// Keeps the network-side counts that the stream itself cannot show: RTP
// sequence gaps (datagrams lost on the way), duplicates, late datagrams, the
// interarrival jitter, datagrams that are not 1 to 7 whole packets.
#pragma once

#include <cstddef>
#include <cstdint>

#include "netinput/net_address.h"

constexpr uint8_t kRtpPayloadTypeMp2t = 33;
constexpr size_t kRtpFixedHeaderBytes = 12;
constexpr int kTsPacketsPerDatagram = 7;  // 7 × 188 = 1316 bytes: fits an Ethernet frame

struct RtpHeader {
  int payloadType = 0;
  bool marker = false;
  uint16_t sequence = 0;
  uint32_t timestamp = 0;
  uint32_t ssrc = 0;
  size_t headerBytes = 0;  // fixed header, CSRCs and extension
  size_t paddingBytes = 0;
};

// Parses the RTP header at the start of `data`; false when it is not a
// version 2 header that fits in `size` (CSRCs, extension and padding included).
bool ParseRtpHeader(const uint8_t* data, size_t size, RtpHeader* header);

// Writes a 12-byte RTP header (version 2, no CSRC, no extension) to `out`.
void WriteRtpHeader(uint8_t* out, int payloadType, uint16_t sequence, uint32_t timestamp, uint32_t ssrc);

// Whether `size` bytes starting with a sync byte are 1 to 7 packets of 188 or 204 bytes.
bool IsWholeTsDatagram(const uint8_t* data, size_t size);

struct NetInputStats {
  uint64_t datagrams = 0;        // received
  uint64_t tsBytes = 0;          // passed on as stream bytes
  uint64_t irregular = 0;        // not 1 to 7 whole packets (passed on all the same)
  uint64_t notRtp = 0;           // rtp:// datagrams without a usable RTP header (dropped)
  uint64_t rtpLost = 0;          // datagrams missing from the RTP sequence
  uint64_t rtpDuplicates = 0;    // dropped
  uint64_t rtpLate = 0;          // arrived after later ones (dropped: their gap is already counted)
  uint64_t rtpRestarts = 0;      // the sequence jumped too far to be loss (a new sender)
  uint64_t rtpOtherPayload = 0;  // payload types other than 33 (dropped)
  bool rtpSeen = false;
  double jitterS = 0;            // RFC 3550 interarrival jitter, seconds (90 kHz clock)
};

class TsDatagramUnpacker {
public:
  explicit TsDatagramUnpacker(NetProtocol protocol) : protocol_(protocol) {}

  // The stream bytes of one datagram that arrived at `arrivalS` (any
  // monotonic clock, seconds): sets *offset and returns their length; 0 for a
  // datagram that carries none (dropped, counted).
  size_t Unpack(const uint8_t* data, size_t size, double arrivalS, size_t* offset);

  const NetInputStats& stats() const { return stats_; }

private:
  bool AcceptSequence(const RtpHeader& header, double arrivalS);

  NetProtocol protocol_;
  NetInputStats stats_;
  bool haveSequence_ = false;
  uint16_t lastSequence_ = 0;
  bool haveTransit_ = false;
  double lastTransit_ = 0;  // in 90 kHz units
  double jitter_ = 0;       // in 90 kHz units
};
