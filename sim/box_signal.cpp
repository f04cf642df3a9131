#include "sim/box_signal.h"

#include <cstdlib>
#include <cstring>
#include <functional>

namespace {

struct ModelCodeRow {
  const char* code;
  int model;
  int signalFormat;
};

constexpr ModelCodeRow kModelCodes[] = {
    {"RZK-A1", 0, 1},   {"RZKMA2", 1, 1},   {"WQ-B3R", 2, 1},  {"WQ-47H", 4, 1},
    {"HVLPX5", 5, 2},   {"HVL-A6", 6, 3},   {"KJNRG8", 10, 10}, {"KJNYB9", 11, 10},
    {"KJN-A3", 13, 3},  {"ZUMEFA", 15, 10}, {"ZUMEQB", 16, 10},
};

const ModelCodeRow* FindModelCode(const char code[6]) {
  for (const ModelCodeRow& row : kModelCodes) {
    if (std::memcmp(row.code, code, 6) == 0) return &row;
  }
  return nullptr;
}

int Quality0(unsigned m) { return m <= 14330 ? 100 - static_cast<int>(m / 144) : 0; }
int Strength0(unsigned l) {
  return l <= 64 ? 100 - static_cast<int>(l / 0.6464646464646465) : 0;
}
int Quality1(unsigned m, bool locked) {
  if (!locked) return 0;
  if (m <= 4608) return 98;
  if (m <= 6400) return 98 - static_cast<int>((m - 4609) / 31);
  if (m <= 13568) return 39 - static_cast<int>((m - 6401) / 188);
  return 0;
}
int Strength1(unsigned l, bool locked) {
  return locked ? static_cast<int>(l) : static_cast<int>(l > 80 ? 80 : l);
}
int Quality2(unsigned m, unsigned s, unsigned f) {
  if (!(s & 0x80)) return 0;
  if (m == 0) return f == 0 ? 98 : 90;
  if (m < 240) return static_cast<int>((240 - m) * 20 / 240 + 40);
  if (m < 3840) return static_cast<int>((3840 - m) * 10 / 3840 + 30);
  return static_cast<int>((65535 - m) * 15 / 65535 + 15);
}
int Strength2(unsigned s, unsigned l) {
  if (!(s & 0x04)) return 8;
  unsigned x = l + (s & 3) * 256;
  unsigned y = x * 100 / 1024;
  if (y >= 90) return 10;
  if (y <= 15) return 90;
  return 100 - static_cast<int>(y);
}

// The candidate in [0, count) whose value is nearest the target; the first
// one on a tie.
unsigned Nearest(unsigned count, int target, const std::function<int(unsigned)>& value) {
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

uint8_t Checksum(const uint8_t* bytes, int first, int last) {
  unsigned sum = 0;
  for (int i = first; i <= last; ++i) sum += bytes[i];
  return static_cast<uint8_t>(0x100 - (sum & 0xFF));
}

}  // namespace

int SignalFormatForModelCode(const char code[6]) {
  const ModelCodeRow* row = FindModelCode(code);
  return row ? row->signalFormat : -1;
}

int ModelNumberForModelCode(const char code[6]) {
  const ModelCodeRow* row = FindModelCode(code);
  return row ? row->model : 3;
}

bool DecodeBusSignalStatus(int signalFormat, const std::array<uint8_t, 9>& reply,
                           SignalReading* reading) {
  unsigned m = reply[3] * 256u + reply[4];
  unsigned s = reply[5], l = reply[6], f = reply[7];
  reading->locked = !(f & 0x10);
  switch (signalFormat) {
    case 0:
      reading->quality = Quality0(m);
      reading->strength = Strength0(l);
      return true;
    case 1:
      reading->quality = Quality1(m, reading->locked);
      reading->strength = Strength1(l, reading->locked);
      return true;
    case 2:
      reading->quality = Quality2(m, s, f);
      reading->strength = Strength2(s, l);
      return true;
    case 3:
      reading->quality = reply[4];
      reading->strength = static_cast<int>(l);
      return true;
    case 10:
      reading->quality = reply[4];
      reading->strength = static_cast<int>(s);
      return true;
    default:
      return false;
  }
}

std::array<uint8_t, 9> EncodeBusSignalStatus(int signalFormat, const SignalReading& reading) {
  unsigned m = 0, s = 0, l = 0;
  unsigned f = reading.locked ? 0x00 : 0x10;
  int quality = reading.quality, strength = reading.strength;
  switch (signalFormat) {
    case 0:
      m = Nearest(0x10000, quality, [](unsigned c) { return Quality0(c); });
      l = Nearest(0x100, strength, [](unsigned c) { return Strength0(c); });
      break;
    case 1: {
      bool locked = reading.locked;
      m = Nearest(0x10000, quality, [locked](unsigned c) { return Quality1(c, locked); });
      l = Nearest(0x100, strength, [locked](unsigned c) { return Strength1(c, locked); });
      break;
    }
    case 2: {
      // Candidates 0..0xFFFF with bit 7 of S set, then 0x10000 for bit 7 clear.
      unsigned q = Nearest(0x10001, quality, [f](unsigned c) {
        return c == 0x10000 ? Quality2(0, 0, f) : Quality2(c, 0x80, f);
      });
      m = q == 0x10000 ? 0 : q;
      s |= q == 0x10000 ? 0 : 0x80;
      // Candidates x = 0..1023 with bit 2 of S set, then 1024 for bit 2 clear.
      unsigned x = Nearest(1025, strength, [](unsigned c) {
        return c == 1024 ? Strength2(0, 0) : Strength2(0x04 | (c >> 8), c & 0xFF);
      });
      if (x != 1024) {
        s |= 0x04 | (x >> 8);
        l = x & 0xFF;
      }
      break;
    }
    case 3:
      m = static_cast<unsigned>(quality < 0 ? 0 : quality > 255 ? 255 : quality);
      l = static_cast<unsigned>(strength < 0 ? 0 : strength > 255 ? 255 : strength);
      break;
    case 10:
      m = static_cast<unsigned>(quality < 0 ? 0 : quality > 255 ? 255 : quality);
      s = static_cast<unsigned>(strength < 0 ? 0 : strength > 255 ? 255 : strength);
      break;
    default:
      break;
  }
  std::array<uint8_t, 9> reply = {0xAA,
                                  0x00,
                                  0x05,
                                  static_cast<uint8_t>(m >> 8),
                                  static_cast<uint8_t>(m),
                                  static_cast<uint8_t>(s),
                                  static_cast<uint8_t>(l),
                                  static_cast<uint8_t>(f),
                                  0};
  reply[8] = Checksum(reply.data(), 1, 7);
  return reply;
}

std::array<uint8_t, 3> EncodeDirectSignalStatus(const SignalReading& reading) {
  auto clamp = [](int value) { return static_cast<uint8_t>(value < 0 ? 0 : value > 127 ? 127 : value); };
  return {clamp(reading.quality), clamp(reading.strength), static_cast<uint8_t>(reading.locked ? 1 : 0)};
}
