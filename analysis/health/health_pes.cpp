#include "analysis/health/health_pes.h"

namespace health {

bool PesCarriesPts(const uint8_t* payload, size_t length) {
  if (length < 9 || payload[0] != 0 || payload[1] != 0 || payload[2] != 1) return false;
  const int streamId = payload[3];
  // Stream ids without the optional PES header (padding, private 2, ...).
  if (streamId == 0xBC || streamId == 0xBE || streamId == 0xBF || streamId == 0xF0 || streamId == 0xF1 ||
      streamId == 0xFF || streamId == 0xF2 || streamId == 0xF8)
    return false;
  return (payload[7] & 0x80) != 0;
}

}  // namespace health
