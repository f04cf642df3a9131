#include "boxserver/box_signal.h"

#include <cstdlib>

#include "device/device_protocol.h"

namespace {

// The candidate in [0, count) whose value is nearest the target; the first
// one on a tie.
template <typename Value>
unsigned Nearest(unsigned count, int target, Value value) {
  unsigned best = 0;
  int bestDistance = -1;
  for (unsigned candidate = 0; candidate < count; ++candidate) {
    int distance = std::abs(value(candidate) - target);
    if (bestDistance < 0 || distance < bestDistance) {
      best = candidate;
      bestDistance = distance;
      if (distance == 0) break;
    }
  }
  return best;
}

std::array<uint8_t, 9> Reply(unsigned m, unsigned s, unsigned l, unsigned f) {
  std::array<uint8_t, 9> reply = {0xAA,
                                  0x00,
                                  kCommandSignalStatus,
                                  static_cast<uint8_t>(m >> 8),
                                  static_cast<uint8_t>(m),
                                  static_cast<uint8_t>(s),
                                  static_cast<uint8_t>(l),
                                  static_cast<uint8_t>(f),
                                  0};
  reply[8] = FrameChecksum(reply.data() + 1, 7);
  return reply;
}

// What the program reads from a reply with these bytes.
struct Decoded {
  int strength = 0, quality = 0;
};
Decoded Decode(int format, unsigned m, unsigned s, unsigned l, unsigned f) {
  auto reply = Reply(m, s, l, f);
  Decoded decoded;
  int locked = 0;
  DecodeBusSignalStatus(reply.data(), format, &decoded.strength, &decoded.quality, &locked);
  return decoded;
}

}  // namespace

int SignalFormatForModelCode(const char code[6]) {
  int format = -1;
  ModelFromModelCode(code, &format);
  return format;
}

int ModelNumberForModelCode(const char code[6]) {
  int format = -1;
  return ModelFromModelCode(code, &format);
}

std::array<uint8_t, 9> EncodeBusSignalStatus(int signalFormat, const SignalReading& reading) {
  unsigned m = 0, s = 0, l = 0;
  const unsigned f = reading.locked ? 0x00 : 0x10;
  const int quality = reading.quality, strength = reading.strength;
  auto clampByte = [](int value) { return static_cast<unsigned>(value < 0 ? 0 : value > 255 ? 255 : value); };
  switch (signalFormat) {
    case 0:
    case 1:
      // Quality comes from M alone, strength from L alone.
      m = Nearest(0x10000, quality, [&](unsigned c) { return Decode(signalFormat, c, 0, 0, f).quality; });
      l = Nearest(0x100, strength, [&](unsigned c) { return Decode(signalFormat, 0, 0, c, f).strength; });
      break;
    case 2: {
      // Quality: M with bit 7 of S set (candidates 0..0xFFFF), or bit 7 clear (0x10000).
      unsigned q = Nearest(0x10001, quality, [&](unsigned c) {
        return c == 0x10000 ? Decode(2, 0, 0, 0, f).quality : Decode(2, c, 0x80, 0, f).quality;
      });
      if (q != 0x10000) {
        m = q;
        s |= 0x80;
      }
      // Strength: x = L + (S & 3) * 256 with bit 2 of S set (0..1023), or bit 2 clear (1024).
      unsigned x = Nearest(1025, strength, [&](unsigned c) {
        return c == 1024 ? Decode(2, 0, 0, 0, f).strength
                         : Decode(2, 0, 0x04 | (c >> 8), c & 0xFF, f).strength;
      });
      if (x != 1024) {
        s |= 0x04 | (x >> 8);
        l = x & 0xFF;
      }
      break;
    }
    case 3:
      m = clampByte(quality);
      l = clampByte(strength);
      break;
    case 10:
      m = clampByte(quality);
      s = clampByte(strength);
      break;
    default:
      break;
  }
  return Reply(m, s, l, f);
}

std::array<uint8_t, 3> EncodeDirectSignalStatus(const SignalReading& reading) {
  auto clamp = [](int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 127 ? 127 : value); };
  return {clamp(reading.quality), clamp(reading.strength), static_cast<uint8_t>(reading.locked ? 1 : 0)};
}
