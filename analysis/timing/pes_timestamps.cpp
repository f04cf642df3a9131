#include "analysis/timing/pes_timestamps.h"

uint64_t ReadPesTimestamp(const uint8_t* p) {
  return (static_cast<uint64_t>(p[0] & 0x0E) << 29) | (static_cast<uint64_t>(p[1]) << 22) |
         (static_cast<uint64_t>(p[2] & 0xFE) << 14) | (static_cast<uint64_t>(p[3]) << 7) | (p[4] >> 1);
}

bool ReadPesTimestamps(const uint8_t* payload, size_t size, PesTimestamps& out) {
  out = {};
  if (size < 6 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return false;
  out.streamId = payload[3];
  // program_stream_map, padding, private_stream_2, ECM, EMM, directory,
  // DSMCC and H.222.1 type E have no optional header.
  switch (out.streamId) {
    case 0xBC: case 0xBE: case 0xBF: case 0xF0: case 0xF1: case 0xF2: case 0xF8: case 0xFF: return true;
    default: break;
  }
  if (size < 9 || (payload[6] & 0xC0) != 0x80) return true;  // an MPEG-1 header, or damaged
  const unsigned flags = payload[7] >> 6;
  const size_t headerLength = payload[8];
  if ((flags & 2) && headerLength >= 5 && size >= 14) out.pts = ReadPesTimestamp(payload + 9);
  if (flags == 3 && headerLength >= 10 && size >= 19) out.dts = ReadPesTimestamp(payload + 14);
  return true;
}
